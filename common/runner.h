// Runs an outside tool with a time limit and captures its merged output.
#pragma once
#include <cstddef>
#include <cstdint>

struct command_result {
    int32_t exit_code;  // 0..255 on exit, -1 for a signal or nothing started
    int32_t timed_out;  // 1 once the time limit ran out
};

// argv is null-terminated; element 0 is looked up on PATH. out_size > 0.
int32_t run_command(const char *const *argv, uint32_t time_limit, char *out, size_t out_size,
                    command_result *result);

// The message for a Proxmox VE tool (qm, pvesm, pvesh) that could not be
// run: "<tool> is not available (not running on a Proxmox VE host?)".
// Formats like put_text (common/text.h).
int put_tool_missing(char *buf, size_t size, const char *tool);

// Seconds between the SIGTERM of a time-out and the SIGKILL that follows
// when the child ignores it. 300 in production; tests shorten it.
extern uint32_t runner_kill_grace_seconds;
