// The wait for an agent that serves three things at once: the agent's
// end, its time limit and the periodic check.
#include "backup/agent_wait.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>

#include <cerrno>

#include "common/child.h"
#include "common/owned.h"
#include "common/text.h"

uint32_t agent_stop_grace_ms = 5000;

namespace {

// Without a pidfd the loop looks at the child this often.
constexpr int64_t kFallbackPollMs = 100;

int64_t now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until the child ends or `until` (monotonic ms) passes. True when
// it ended, with its wait status.
bool ended_by(pid_t pid, int pidfd, int64_t until, int *status)
{
    for (;;) {
        pid_t got = waitpid(pid, status, WNOHANG);
        if (got == pid)
            return true;
        if (got < 0 && errno != EINTR) {
            *status = -1;  // reaped elsewhere: the outcome is unknown
            return true;
        }
        int64_t left = until - now_ms();
        if (left <= 0)
            return false;
        if (pidfd >= 0) {
            struct pollfd pfd = {pidfd, POLLIN, 0};
            (void)poll(&pfd, 1, static_cast<int>(left > 60000 ? 60000 : left));
        } else {
            int64_t nap = left < kFallbackPollMs ? left : kFallbackPollMs;
            struct timespec ts = {static_cast<time_t>(nap / 1000), static_cast<long>(nap % 1000) * 1000000L};
            nanosleep(&ts, nullptr);
        }
    }
}

// SIGTERM to the group and the agent, SIGKILL after the grace time.
void stop_agent(pid_t pid, int pidfd, int *status)
{
    kill(-pid, SIGTERM);
    kill(pid, SIGTERM);
    if (ended_by(pid, pidfd, now_ms() + agent_stop_grace_ms, status))
        return;
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    while (waitpid(pid, status, 0) < 0) {
        if (errno != EINTR) {
            *status = -1;
            return;
        }
    }
}

}  // namespace

int32_t wait_for_agent(pid_t pid, const agent_limits &limits, size_t index, int32_t *exit_code,
                       int32_t *stop, char *why, size_t why_size)
{
    *exit_code = -1;
    *stop = AGENT_GO_ON;
    put_text(why, why_size, "%s", "");
    unique_fd pidfd(open_child_pidfd(pid));
    const int64_t start = now_ms();
    const int64_t deadline = limits.time_limit_s > 0 ? start + int64_t{limits.time_limit_s} * 1000 : INT64_MAX;
    const bool checking = limits.check != nullptr && limits.check_interval_ms > 0;
    int64_t next_check = checking ? start + limits.check_interval_ms : INT64_MAX;

    int status = -1;
    int32_t outcome = AGENT_EXITED;
    for (;;) {
        int64_t until = deadline < next_check ? deadline : next_check;
        if (ended_by(pid, pidfd.get(), until, &status))
            break;
        int64_t now = now_ms();
        if (now >= deadline) {
            outcome = AGENT_TIMED_OUT;
            stop_agent(pid, pidfd.get(), &status);
            break;
        }
        if (now >= next_check) {
            int32_t verdict = limits.check(limits.ctx, index, why, why_size);
            if (verdict != AGENT_GO_ON) {
                outcome = AGENT_STOPPED;
                *stop = verdict;
                stop_agent(pid, pidfd.get(), &status);
                break;
            }
            next_check = now_ms() + limits.check_interval_ms;
        }
    }
    if (status != -1 && WIFEXITED(status))
        *exit_code = WEXITSTATUS(status);
    return outcome;
}
