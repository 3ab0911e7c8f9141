// The monitor's screens: the table, the JSON object and the lines for
// segments that could not be read.
#include "monitor/report.h"

#include <cinttypes>
#include <cstring>
#include <ctime>
#include <string>

#include "common/json.h"

namespace {

// Texts come from a file anybody could have written: control characters
// (escape sequences) are never sent to the terminal as they are. That
// includes the C1 controls U+0080..U+009F (U+009B starts an escape sequence
// like ESC [), encoded in UTF-8 or as single bytes.
void put_printable(FILE *out, const char *s) {
    const unsigned char *p = (const unsigned char *)s;
    while (*p) {
        size_t n = utf8_sequence(p);
        if (n == 2 && p[0] == 0xC2 && p[1] <= 0x9F) {
            fputc('?', out);
            p += 2;
        } else if (n > 1) {
            fwrite(p, 1, n, out);
            p += n;
        } else {
            fputc(*p < 0x20 || (*p >= 0x7F && *p <= 0x9F) ? '?' : *p, out);
            p++;
        }
    }
}

void put_json_string(FILE *out, const char *s) {
    std::string quoted;
    json_append_string(&quoted, s);
    fputs(quoted.c_str(), out);
}

const char *state_name(uint8_t state) {
    return state == SEGMENT_RUNNING ? "running" : state == SEGMENT_STALE ? "stale" : "malformed";
}

}  // namespace

const char *program_of_kind(uint8_t kind, char *buf, size_t size) {
    switch (kind) {
    case 2: return "vlt_proxmox";
    case 4: return "vlt_proxmox_restore";
    default: snprintf(buf, size, "kind %u", (unsigned)kind); return buf;
    }
}

const char *phase_name(uint8_t phase, char *buf, size_t size) {
    switch (phase) {
    case 0: return "preparing";
    case 1: return "working";
    case 3: return "succeeded";
    case 4: return "failed";
    default: snprintf(buf, size, "phase %u", (unsigned)phase); return buf;
    }
}

uint64_t entry_elapsed_ms(const segment_entry *e, uint64_t now_mono_ms) {
    uint64_t written = e->view.elapsed_ms;
    if (e->state != SEGMENT_RUNNING || e->view.start_mono_ms == 0 ||
        e->view.start_mono_ms > now_mono_ms)
        return written;
    uint64_t live = now_mono_ms - e->view.start_mono_ms;
    return live > written ? live : written;
}

void format_elapsed(uint64_t ms, char *buf, size_t size) {
    uint64_t s = ms / 1000;
    snprintf(buf, size, "%" PRIu64 ":%02u:%02u", s / 3600, (unsigned)(s / 60 % 60),
             (unsigned)(s % 60));
}

void write_table(FILE *out, const segment_entry *entries, size_t count, uint64_t now_mono_ms) {
    fprintf(out, "%-8s %-20s %-20s %-8s %-10s %9s %8s  %s\n", "PID", "PROGRAM", "JOB", "STATE",
            "PHASE", "ELAPSED", "CHILD", "STATUS");
    for (size_t i = 0; i < count; i++) {
        const segment_entry *e = &entries[i];
        if (e->state == SEGMENT_MALFORMED) continue;
        char kind_buf[16], phase_buf[16], elapsed[32], child[16];
        format_elapsed(entry_elapsed_ms(e, now_mono_ms), elapsed, sizeof elapsed);
        if (e->view.child_pid)
            snprintf(child, sizeof child, "%u", (unsigned)e->view.child_pid);
        else
            snprintf(child, sizeof child, "-");
        fprintf(out, "%-8u %-20s ", (unsigned)e->view.pid,
                program_of_kind(e->view.kind, kind_buf, sizeof kind_buf));
        int width = (int)strlen(e->view.job);
        put_printable(out, e->view.job);
        fprintf(out, "%*s %-8s %-10s %9s %8s  ", width < 20 ? 20 - width : 0, "",
                state_name(e->state), phase_name(e->view.phase, phase_buf, sizeof phase_buf),
                elapsed, child);
        put_printable(out, e->view.status);
        // The detail is a fact about the whole run, such as the
        // consistency a backup got.
        if (e->view.detail[0] != '\0') {
            fputs(" [", out);
            put_printable(out, e->view.detail);
            fputc(']', out);
        }
        fputc('\n', out);
    }
}

void write_skipped(FILE *out, const char *dir, const segment_entry *entries, size_t count) {
    for (size_t i = 0; i < count; i++) {
        if (entries[i].state != SEGMENT_MALFORMED) continue;
        fprintf(out, "vlt_progress: %s/%s: skipped: %s\n", dir, entries[i].name,
                entries[i].reason);
    }
}

void write_json(FILE *out, const segment_entry *entries, size_t count, uint64_t now_mono_ms) {
    fputs("{\"segments\":[", out);
    int first = 1;
    for (size_t i = 0; i < count; i++) {
        const segment_entry *e = &entries[i];
        if (e->state == SEGMENT_MALFORMED) continue;
        char kind_buf[16], phase_buf[16];
        fprintf(out, "%s{\"pid\":%u,\"program\":", first ? "" : ",", (unsigned)e->view.pid);
        put_json_string(out, program_of_kind(e->view.kind, kind_buf, sizeof kind_buf));
        fprintf(out, ",\"kind\":%u,\"job\":", (unsigned)e->view.kind);
        put_json_string(out, e->view.job);
        fprintf(out, ",\"state\":\"%s\",\"phase\":", state_name(e->state));
        put_json_string(out, phase_name(e->view.phase, phase_buf, sizeof phase_buf));
        fprintf(out, ",\"phase_code\":%u,\"status\":", (unsigned)e->view.phase);
        put_json_string(out, e->view.status);
        fputs(",\"detail\":", out);
        put_json_string(out, e->view.detail);
        fprintf(out,
                ",\"elapsed_ms\":%" PRIu64 ",\"start_time\":%" PRId64
                ",\"child_pid\":%u,\"update_counter\":%" PRIu64 "}",
                entry_elapsed_ms(e, now_mono_ms), e->view.start_time,
                (unsigned)e->view.child_pid, e->view.counter);
        first = 0;
    }
    fputs("],\"skipped\":[", out);
    first = 1;
    for (size_t i = 0; i < count; i++) {
        const segment_entry *e = &entries[i];
        if (e->state != SEGMENT_MALFORMED) continue;
        fprintf(out, "%s{\"name\":", first ? "" : ",");
        put_json_string(out, e->name);
        fputs(",\"reason\":", out);
        put_json_string(out, e->reason);
        fputc('}', out);
        first = 0;
    }
    fputs("]}\n", out);
}
