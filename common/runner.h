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

// run_command with input_fd (>= 0) as the tool's standard input, for a
// tool that reads what it is to work on (sendmail reads the mail).
int32_t run_command_input(const char *const *argv, uint32_t time_limit, int input_fd, char *out,
                          size_t out_size, command_result *result);

// A tool's whole output, in memory that grows as the output arrives.
class captured_text {
public:
    captured_text() = default;
    ~captured_text();
    captured_text(const captured_text &) = delete;
    captured_text &operator=(const captured_text &) = delete;

    // The output, terminated; may be changed in place (parsers split it).
    char *text() { return data_ != nullptr ? data_ : empty_; }
    size_t size() const { return size_; }
    // More came than the bound allowed (or memory ran out): text() holds
    // only the beginning, and the rest was read and dropped.
    bool cut() const { return cut_; }

private:
    friend int32_t run_command_whole(const char *const *, uint32_t, size_t, captured_text *,
                                     command_result *);
    char *data_ = nullptr;
    size_t size_ = 0;
    bool cut_ = false;
    char empty_[1] = {'\0'};
};

// run_command into `out`, which takes up to max_bytes of output: a listing
// whose length depends on the host is read whole, or known to be cut.
int32_t run_command_whole(const char *const *argv, uint32_t time_limit, size_t max_bytes,
                          captured_text *out, command_result *result);

// run_command for a Proxmox VE tool (qm, pvesm, pvesh; argv[0]): -1 when it
// could not be run (nothing started, or exit code 127), with "<tool> is not
// available (not running on a Proxmox VE host?)" in err; otherwise 0 and
// the outcome in *result and out as run_command leaves them.
int32_t run_pve_tool(const char *const *argv, uint32_t time_limit, char *out, size_t out_size,
                     command_result *result, char *err, size_t err_size);

// Seconds between the SIGTERM of a time-out and the SIGKILL that follows
// when the child ignores it. 300 in production; tests shorten it.
extern uint32_t runner_kill_grace_seconds;
