// Waiting for a vlt_agent run that may have to end before the agent does:
// when it runs longer than its time limit, or when a check made every few
// seconds while it runs (the thin pools filling up) says so. Such an agent
// is stopped the way the signal handler stops one: SIGTERM to its process
// group and to it, SIGKILL after a grace time.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// What a check says about the running agent.
enum : int32_t {
    AGENT_GO_ON = 0,
    AGENT_STOP_DISK = 1,  // stop it: this disk's backup fails
    AGENT_STOP_RUN = 2,   // stop it: the whole backup ends
};

struct agent_limits {
    uint32_t time_limit_s = 0;       // 0: none
    uint32_t check_interval_ms = 0;  // how often `check` runs; 0: never
    // Called every interval while the agent of snapshot `index` runs;
    // returns AGENT_GO_ON or a stop with the reason in why.
    int32_t (*check)(void *ctx, size_t index, char *why, size_t why_size) = nullptr;
    // Called once the agent exited with 0, before its snapshot is removed:
    // 0, or -1 when its backup is not usable after all (why says why).
    int32_t (*check_after)(void *ctx, size_t index, char *why, size_t why_size) = nullptr;
    void *ctx = nullptr;
};

// How an agent run ended.
enum : int32_t {
    AGENT_EXITED = 0,     // on its own
    AGENT_TIMED_OUT = 1,  // stopped at its time limit
    AGENT_STOPPED = 2,    // stopped because a check said so
};

// Milliseconds between SIGTERM and SIGKILL when an agent is stopped: 5000.
extern uint32_t agent_stop_grace_ms;

// Waits for the agent `pid` (a child of ours leading its own process
// group) under the limits. Returns how it ended; *exit_code is its exit
// status, or -1 when it ended by a signal (a stopped one usually does);
// after AGENT_STOPPED, *stop is the check's verdict and why its reason.
int32_t wait_for_agent(pid_t pid, const agent_limits &limits, size_t index, int32_t *exit_code,
                       int32_t *stop, char *why, size_t why_size);
