// The summary of a node-wide run as a table, as JSON and as a mail.
#include "backup/node_summary.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/json.h"

namespace {

const char *result_word(vm_result r)
{
    switch (r) {
    case VM_RESULT_OK:
        return "ok";
    case VM_RESULT_FAILED:
        return "failed";
    case VM_RESULT_SKIPPED:
        return "skipped";
    default:
        return "pending";
    }
}

std::string disks_cell(const vm_row &r)
{
    if (r.disks < 0)
        return "-";
    return std::to_string(r.disks_backed_up) + "/" + std::to_string(r.disks);
}

std::string utc(int64_t seconds)
{
    time_t t = static_cast<time_t>(seconds);
    struct tm tm;
    char text[32] = "";
    if (gmtime_r(&t, &tm) != nullptr)
        strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// Table cells are one line each, whatever a name or reason holds.
std::string one_line(const std::string &text, size_t max)
{
    std::string out;
    for (char c : text) {
        if (out.size() >= max)
            break;
        out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    }
    return out;
}

void append_field(std::string *out, const char *name, const std::string &text, bool null_when_empty)
{
    *out += ",\"";
    *out += name;
    *out += "\":";
    if (null_when_empty && text.empty())
        *out += "null";
    else
        json_append_string(out, text.c_str());
}

}  // namespace

summary_counts count_rows(const node_summary &s)
{
    summary_counts c;
    for (const vm_row &r : s.rows) {
        c.total++;
        if (r.result == VM_RESULT_OK)
            c.ok++;
        else if (r.result == VM_RESULT_SKIPPED)
            c.skipped++;
        else
            c.failed++;  // a row still pending at the end did not get backed up
    }
    return c;
}

bool summary_failed(const node_summary &s)
{
    return count_rows(s).failed > 0 || !s.error.empty() || s.interrupted_by != 0;
}

std::string summary_count_line(const summary_counts &c)
{
    char line[160];
    snprintf(line, sizeof line, "%d of %d VM(s) backed up, %d failed, %d skipped", static_cast<int>(c.ok),
             static_cast<int>(c.total), static_cast<int>(c.failed), static_cast<int>(c.skipped));
    return line;
}

std::vector<std::string> summary_table(const node_summary &s)
{
    const size_t columns = 8;
    std::vector<std::vector<std::string>> cells;
    cells.push_back({"VMID", "NAME", "RESULT", "DISKS", "CONSISTENCY", "DURATION", "READ", "WHY"});
    for (const vm_row &r : s.rows) {
        cells.push_back({std::to_string(r.vmid), r.name.empty() ? "-" : one_line(r.name, 40), result_word(r.result),
                         disks_cell(r), r.consistency.empty() ? "-" : r.consistency,
                         r.duration_ms < 0 ? "-" : format_duration(r.duration_ms),
                         r.bytes_known ? format_bytes(r.bytes_read) : "-", one_line(r.reason, 400)});
    }
    std::vector<size_t> width(columns, 0);
    for (const auto &row : cells)
        for (size_t i = 0; i < columns; i++)
            width[i] = std::max(width[i], row[i].size());
    std::vector<std::string> lines;
    for (const auto &row : cells) {
        std::string line;
        for (size_t i = 0; i < columns; i++) {
            line += row[i];
            if (i + 1 < columns)
                line += std::string(width[i] - row[i].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string summary_json(const node_summary &s)
{
    summary_counts c = count_rows(s);
    std::string out = "{\"node\":";
    json_append_string(&out, s.node.c_str());
    append_field(&out, "job", s.label, false);
    out += ",\"selection\":";
    out += s.pool.empty() ? "\"all\"" : "\"pool\"";
    append_field(&out, "pool", s.pool, true);
    out += ",\"excluded\":[";
    for (size_t i = 0; i < s.excluded.size(); i++) {
        out += i > 0 ? "," : "";
        out += std::to_string(s.excluded[i]);
    }
    out += "]";
    append_field(&out, "error", s.error, true);
    out += ",\"interrupted_by\":";
    out += s.interrupted_by != 0 ? std::to_string(s.interrupted_by) : "null";
    out += ",\"started\":";
    json_append_string(&out, utc(s.started).c_str());
    out += ",\"ended\":";
    json_append_string(&out, utc(s.ended).c_str());
    char counts[160];
    snprintf(counts, sizeof counts, ",\"total\":%zu,\"backed_up\":%zu,\"failed\":%zu,\"skipped\":%zu,\"exit_status\":%d",
             c.total, c.ok, c.failed, c.skipped, summary_failed(s) ? 1 : 0);
    out += counts;
    out += ",\"vms\":[";
    for (size_t i = 0; i < s.rows.size(); i++) {
        const vm_row &r = s.rows[i];
        out += i > 0 ? ",{\"vmid\":" : "{\"vmid\":";
        out += std::to_string(r.vmid);
        append_field(&out, "name", r.name, false);
        append_field(&out, "job_prefix", r.job_prefix, false);
        out += ",\"result\":\"";
        out += result_word(r.result);
        out += "\"";
        append_field(&out, "reason", r.reason, true);
        out += ",\"disks\":";
        out += r.disks < 0 ? "null" : std::to_string(r.disks);
        out += ",\"disks_backed_up\":" + std::to_string(r.disks_backed_up);
        append_field(&out, "consistency", r.consistency, true);
        out += ",\"duration_s\":";
        if (r.duration_ms < 0) {
            out += "null";
        } else {
            char seconds[32];
            snprintf(seconds, sizeof seconds, "%.3f", static_cast<double>(r.duration_ms) / 1000.0);
            out += seconds;
        }
        out += ",\"bytes_read\":";
        out += r.bytes_known ? std::to_string(r.bytes_read) : "null";
        out += "}";
    }
    out += "]}\n";
    return out;
}

std::string summary_mail_subject(const node_summary &s)
{
    std::string subject = "vlt_proxmox " + s.label + " on " + (s.node.empty() ? "?" : s.node) + ": ";
    if (!s.error.empty())
        return subject + "failed: " + one_line(s.error, 200);
    subject += summary_count_line(count_rows(s));
    if (s.interrupted_by != 0)
        subject += " (interrupted)";
    return subject;
}

std::string summary_mail_body(const node_summary &s)
{
    std::string body = "vlt_proxmox " + s.label + " on node " + (s.node.empty() ? "?" : s.node) + ", " +
                       utc(s.started) + " to " + utc(s.ended) + "\n\n";
    if (!s.error.empty())
        body += "No VM was backed up: " + s.error + "\n\n";
    if (!s.rows.empty()) {
        for (const std::string &line : summary_table(s))
            body += line + "\n";
        body += "\n";
    }
    body += summary_count_line(count_rows(s)) + "\n";
    if (s.interrupted_by != 0)
        body += "The run was ended by signal " + std::to_string(s.interrupted_by) + " (" +
                strsignal(s.interrupted_by) + ").\n";
    if (!s.excluded.empty()) {
        body += "Excluded:";
        for (long id : s.excluded) {
            body += ' ';
            body += std::to_string(id);
        }
        body += "\n";
    }
    return body;
}

std::string format_bytes(uint64_t bytes)
{
    static const char *const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    double v = static_cast<double>(bytes) / 1024.0;
    size_t unit = 0;
    while (v >= 1024.0 && unit + 1 < sizeof units / sizeof units[0]) {
        v /= 1024.0;
        unit++;
    }
    char text[32];
    snprintf(text, sizeof text, "%.1f %s", v, units[unit]);
    return text;
}

std::string format_duration(int64_t ms)
{
    int64_t s = ms < 0 ? 0 : ms / 1000;
    char text[32];
    snprintf(text, sizeof text, "%" PRId64 ":%02d:%02d", s / 3600, static_cast<int>(s / 60 % 60),
             static_cast<int>(s % 60));
    return text;
}

bool agent_bytes_read(const char *line, const char *job_prefix, uint64_t *bytes)
{
    static const char marker[] = "[vlt_agent] INFO  job ";
    const char *p = strstr(line, marker);
    if (p == nullptr)
        return false;
    p += sizeof marker - 1;
    const char *colon = strstr(p, ": run written to ");
    if (colon == nullptr)
        return false;
    std::string job(p, static_cast<size_t>(colon - p));
    std::string prefix = std::string(job_prefix) + "-";
    if (job.compare(0, prefix.size(), prefix) != 0 || job.size() == prefix.size() || job == prefix + "vmconfig")
        return false;
    // "(<n> bytes read," after the path, which may itself hold anything:
    // the last such group counts.
    const char *found = nullptr;
    for (const char *q = strstr(colon, " bytes read"); q != nullptr; q = strstr(q + 1, " bytes read")) {
        const char *d = q;
        while (d > colon && d[-1] >= '0' && d[-1] <= '9')
            d--;
        if (d < q && d > colon && d[-1] == '(')
            found = d;
    }
    if (found == nullptr)
        return false;
    uint64_t v = 0;
    for (const char *d = found; *d >= '0' && *d <= '9'; d++) {
        if (v > (UINT64_MAX - 9) / 10)
            return false;
        v = v * 10 + static_cast<uint64_t>(*d - '0');
    }
    *bytes = v;
    return true;
}
