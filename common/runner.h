// Runs an outside tool with a time limit and captures its merged output.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

struct command_result {
    int32_t exit_code;  // 0..255 on exit, -1 for a signal or nothing started
    int32_t timed_out;  // 1 once the time limit ran out
};

// argv is null-terminated; element 0 is looked up on PATH. out_size > 0.
int32_t run_command(const char *const *argv, uint32_t time_limit, char *out, size_t out_size,
                    command_result *result);

// run_command that tells started(pid, ctx) the tool's process id before
// any signal can be handled, for a signal handler that must end the tool.
int32_t run_command_watched(const char *const *argv, uint32_t time_limit, char *out, size_t out_size,
                            command_result *result, void (*started)(pid_t pid, void *ctx), void *ctx);

// run_command for a Proxmox VE tool (qm, pvesm, pvesh; argv[0]): -1 when it
// could not be run (nothing started, or exit code 127), with "<tool> is not
// available (not running on a Proxmox VE host?)" in err; otherwise 0 and
// the outcome in *result and out as run_command leaves them.
int32_t run_pve_tool(const char *const *argv, uint32_t time_limit, char *out, size_t out_size,
                     command_result *result, char *err, size_t err_size);

// Seconds between the SIGTERM of a time-out and the SIGKILL that follows
// when the child ignores it. 300 in production; tests shorten it.
extern uint32_t runner_kill_grace_seconds;
