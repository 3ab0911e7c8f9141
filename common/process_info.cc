// Reading /proc/<pid>/stat: the state and the start time of a process.
#include "common/process_info.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/owned.h"

namespace {

// The state letter (3rd field) and the start time in ticks (22nd field) of
// <proc_dir>/<pid>/stat. The command name in parentheses may itself hold
// blanks and ")": the fields are counted from the last ")".
bool read_proc_stat(pid_t pid, const char *proc_dir, char *state, uint64_t *ticks)
{
    if (pid <= 0)
        return false;
    char path[256];
    snprintf(path, sizeof path, "%s/%d/stat", proc_dir, static_cast<int>(pid));
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return false;
    char buf[1024];
    ssize_t n;
    while ((n = read(fd.get(), buf, sizeof buf - 1)) < 0 && errno == EINTR) {
    }
    if (n <= 0)
        return false;
    buf[n] = '\0';
    const char *p = strrchr(buf, ')');
    if (p == nullptr)
        return false;
    p++;
    while (*p == ' ')
        p++;
    if (*p == '\0')
        return false;
    *state = *p;
    for (int field = 3; field < 22; field++) {
        while (*p == ' ')
            p++;
        while (*p != '\0' && *p != ' ')
            p++;
        if (*p == '\0')
            return false;
    }
    char *end = nullptr;
    unsigned long long value = strtoull(p, &end, 10);
    if (end == p)
        return false;
    *ticks = value;
    return true;
}

}  // namespace

int process_exists(uint32_t pid)
{
    if (pid == 0 || pid > 0x7FFFFFFFu)
        return 0;
    if (kill(static_cast<pid_t>(pid), 0) == 0)
        return 1;
    return errno == EPERM;
}

int process_started_after(uint32_t pid, uint64_t mono_ms, const char *proc_dir)
{
    char state;
    uint64_t ticks;
    if (pid > 0x7FFFFFFFu || !read_proc_stat(static_cast<pid_t>(pid), proc_dir, &state, &ticks))
        return 0;
    long hz = sysconf(_SC_CLK_TCK);
    if (hz <= 0)
        return 0;
    uint64_t started_ms = ticks / static_cast<uint64_t>(hz) * 1000 +
                          ticks % static_cast<uint64_t>(hz) * 1000 / static_cast<uint64_t>(hz);
    // A writer creates its segment after it started. The slack covers the
    // tick granularity and the clocks drifting apart.
    return started_ms > mono_ms + 5000;
}

bool process_start_ticks(pid_t pid, uint64_t *ticks, const char *proc_dir)
{
    char state;
    if (!read_proc_stat(pid, proc_dir, &state, ticks))
        return false;
    return state != 'Z' && state != 'X' && state != 'x';
}

bool process_still_runs(pid_t pid, uint64_t ticks)
{
    uint64_t now;
    return process_start_ticks(pid, &now) && now == ticks;
}

bool process_gone(pid_t pid)
{
    if (pid <= 0)
        return false;  // not an id that names one process
    char state;
    uint64_t ticks;
    if (read_proc_stat(pid, "/proc", &state, &ticks))
        return state == 'Z' || state == 'X' || state == 'x';
    return !process_exists(static_cast<uint32_t>(pid));
}
