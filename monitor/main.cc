// vlt_progress: shows what the running programs of the suite are doing, from
// the progress segments they publish under /dev/shm. It only reads: segments
// left behind by dead processes are shown as stale and never removed.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "common/options.h"
#include "monitor/report.h"
#include "monitor/segment_reader.h"

namespace {

volatile sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

void usage(const char *prog) {
    fprintf(stderr,
            "%s: show the phase, job, status text and child process of every running\n"
            "vlt_proxmox and vlt_proxmox_restore, from their progress segments.\n"
            "\n"
            "Usage: %s [--watch [--count <n>]] [--json] [--dir <dir>]\n"
            "\n"
            "  --watch         redraw every second until interrupted (Ctrl-C)\n"
            "  --count <n>     with --watch: stop after n screens\n"
            "  --json          one JSON object per screen, for scripts\n"
            "  --dir <dir>     where the segments are (default: /dev/shm)\n"
            "  --version       print the version and exit\n"
            "\n"
            "Segments of processes that no longer exist are shown as stale and never removed\n"
            "here; the next run of vlt_proxmox or vlt_proxmox_restore removes them.\n",
            prog, prog);
}

struct settings {
    int watch = 0;
    int json = 0;
    long count = 0;  // 0: until interrupted
    const char *dir = "/dev/shm";
};

const option_spec kMonitorOptions[] = {
    {"--help", "-h", 0},   {"--watch", nullptr, 0}, {"--json", nullptr, 0},
    {"--dir", nullptr, 1}, {"--count", nullptr, 1}, {nullptr, nullptr, 0},
};

// Returns -1 to go on, otherwise the exit status.
int parse_command_line(int argc, char **argv, settings *s) {
    int32_t i = 1;
    while (i < argc) {
        option_word w;
        next_option_word(argc, argv, kMonitorOptions, &i, &w);
        if (w.kind != OPTION_WORD_KNOWN && w.kind != OPTION_WORD_NO_VALUE) {
            fprintf(stderr, "error: unknown argument '%s' (use --help)\n", w.arg);
            return 2;
        }
        const char *name = w.row->name;
        const char *v = w.value;
        if (!strcmp(name, "--help")) {
            usage(argv[0]);
            return 0;
        } else if (!strcmp(name, "--watch")) {
            s->watch = 1;
        } else if (!strcmp(name, "--json")) {
            s->json = 1;
        } else if (!strcmp(name, "--dir")) {
            if (!v || !*v) {
                fprintf(stderr, "error: --dir needs a directory\n");
                return 2;
            }
            s->dir = v;
        } else if (!strcmp(name, "--count")) {
            char *end = nullptr;
            errno = 0;
            long n = v ? strtol(v, &end, 10) : 0;
            if (!v || !*v || *end || errno || n < 1) {
                fprintf(stderr, "error: --count must be a positive number\n");
                return 2;
            }
            s->count = n;
        }
    }
    if (s->count && !s->watch) {
        fprintf(stderr, "error: --count needs --watch\n");
        return 2;
    }
    return -1;
}

// One screen; returns 0, or 1 when the directory could not be read.
int show_once(const settings &s, int clear_screen) {
    std::unique_ptr<segment_entry[]> entries(new segment_entry[SEGMENT_MAX_LISTED]);
    size_t count = 0;
    char err[512];
    if (list_segments(s.dir, entries.get(), SEGMENT_MAX_LISTED, &count, err, sizeof err) != 0) {
        fprintf(stderr, "vlt_progress: %s\n", err);
        return 1;
    }
    uint64_t now = monotonic_ms();
    if (s.json) {
        write_json(stdout, entries.get(), count, now);
    } else {
        if (clear_screen) fputs("\033[H\033[2J", stdout);
        write_table(stdout, entries.get(), count, now);
        if (s.watch && !clear_screen) fputc('\n', stdout);
    }
    fflush(stdout);
    write_skipped(stderr, s.dir, entries.get(), count);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    int32_t early = handle_version_selftest(argc, (const char *const *)argv, "vlt_progress");
    if (early >= 0) return early;

    settings s;
    int rc = parse_command_line(argc, argv, &s);
    if (rc >= 0) return rc;

    if (!s.watch) return show_once(s, 0);

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = request_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    int clear_screen = !s.json && isatty(STDOUT_FILENO);
    for (long shown = 0; !stop_requested;) {
        if (show_once(s, clear_screen) != 0) return 1;
        if (s.count && ++shown >= s.count) break;
        struct timespec left = {1, 0};
        while (!stop_requested && nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
    }
    return 0;
}
