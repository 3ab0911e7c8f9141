// Runs an outside tool in its own process group, captures its merged
// standard output and standard error, and enforces a time limit.
#include "common/runner.h"
#include "common/child.h"
#include "common/text.h"
#include "common/owned.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

uint32_t runner_kill_grace_seconds = 300;

namespace {

constexpr int kPollMs = 100;
// Output past the caller's buffer is read in pieces of this size and dropped.
constexpr size_t kDropChunk = 64 * 1024;

// Growing buffers start with this much room.
constexpr size_t kFirstGrowth = 64 * 1024;

// Where the output goes, kept a terminated string: the caller's buffer,
// or (max > 0) a malloc'ed one that grows up to max bytes. Output beyond
// the capacity is read and dropped.
struct output_sink {
    char *buf;
    size_t cap;  // usable bytes: size - 1
    size_t len;
    size_t max = 0;
    bool cut = false;
};

// More room for a growing sink; false when it may not grow or memory ran out.
bool grow(output_sink *sink) {
    if (sink->cap >= sink->max) return false;
    size_t want = sink->cap < kFirstGrowth / 2 ? kFirstGrowth : sink->cap * 2;
    if (want > sink->max) want = sink->max;
    char *bigger = static_cast<char *>(realloc(sink->buf, want + 1));
    if (bigger == nullptr) return false;
    if (sink->buf == nullptr) bigger[0] = '\0';
    sink->buf = bigger;
    sink->cap = want;
    return true;
}

// Milliseconds: a limit of N seconds is N whole seconds from the start, not
// whatever is left of the clock's current second plus N - 1.
int64_t monotonic_msec() {
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0;
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// One read: straight into the caller's buffer while it has room, into a
// scratch area to be dropped once it is full. False at end of file, on an
// empty non-blocking pipe, or on an error other than an interruption.
bool read_chunk(int fd, output_sink *sink) {
    size_t room = sink->buf != nullptr ? sink->cap - sink->len : 0;
    if (room == 0 && sink->max > 0 && grow(sink)) room = sink->cap - sink->len;
    ssize_t n;
    if (room > 0) {
        n = read(fd, sink->buf + sink->len, room);
        if (n > 0) {
            sink->len += static_cast<size_t>(n);
            sink->buf[sink->len] = '\0';
            return true;
        }
    } else {
        char scratch[kDropChunk];
        n = read(fd, scratch, sizeof scratch);
        if (n > 0) {
            sink->cut = true;
            return true;
        }
    }
    return n < 0 && errno == EINTR;
}

// Every tool gets the LVM tools' switch that silences their warnings about
// inherited descriptors.
const char *const kToolEnvironment[] = {"LVM_SUPPRESS_FD_WARNINGS=1", nullptr};

void signal_child(pid_t pid, int sig) {
    kill(-pid, sig);  // the whole group first
    kill(pid, sig);
}

}  // namespace

int32_t run_pve_tool(const char *const *argv, uint32_t time_limit, char *out, size_t out_size,
                     command_result *result, char *err, size_t err_size) {
    if (run_command(argv, time_limit, out, out_size, result) == 0 && result->exit_code != 127) return 0;
    put_text(err, err_size, "%s is not available (not running on a Proxmox VE host?)", argv[0]);
    return -1;
}

namespace {

// The runner itself, for both kinds of sink; started(pid, ctx) learns the
// tool's pid before any signal can be handled.
int32_t run_into(const char *const *argv, uint32_t time_limit, output_sink &sink, command_result *result,
                 void (*started)(pid_t pid, void *ctx), void *ctx, int input_fd = -1) {
    command_result local;
    command_result *res = result != nullptr ? result : &local;
    res->exit_code = -1;
    res->timed_out = 0;
    if (argv == nullptr || argv[0] == nullptr) return -1;

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    unique_fd read_end(fds[0]);
    unique_fd write_end(fds[1]);

    // A signal mask blocked by the caller would survive exec and make the
    // tool deaf to the time-out's SIGTERM: the tool starts with none.
    child_setup setup;
    setup.argv = argv;
    setup.output_fd = write_end.get();
    setup.input_fd = input_fd;
    setup.own_group = true;
    setup.clear_signal_mask = true;
    setup.env = kToolEnvironment;
    setup.started = started;
    setup.started_ctx = ctx;
    pid_t pid = start_child(setup);
    if (pid < 0) return -1;
    write_end.reset();
    unique_fd child_end(open_child_pidfd(pid));

    const int64_t start = monotonic_msec();
    bool term_sent = false;
    int64_t term_sent_at = 0;
    bool pipe_open = true;
    int eof_passes = 0;
    bool reaped = false;
    int status = 0;

    for (;;) {
        struct pollfd pfds[2];
        nfds_t nfds = 0;
        if (pipe_open) pfds[nfds++] = {read_end.get(), POLLIN, 0};
        if (child_end.get() >= 0) pfds[nfds++] = {child_end.get(), POLLIN, 0};
        int wait_ms = kPollMs;
        if (!pipe_open && child_end.get() < 0) {
            // The pipe is at end of file but the child has not been seen to
            // end: usually it is just exiting, so look again soon; one that
            // closed its output and runs on is checked at the normal pace.
            wait_ms = eof_passes < 20 ? 5 : kPollMs;
            eof_passes++;
        }
        int r = poll(nfds > 0 ? pfds : nullptr, nfds, wait_ms);
        if (r > 0 && pipe_open && (pfds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
            pipe_open = read_chunk(read_end.get(), &sink);

        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) {
            reaped = true;
            break;
        }
        if (w < 0 && errno != EINTR) break;  // reaped elsewhere; status unknown

        int64_t now = monotonic_msec();
        if (term_sent) {
            if (now - term_sent_at >= static_cast<int64_t>(runner_kill_grace_seconds) * 1000) {
                signal_child(pid, SIGKILL);
                while ((w = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
                }
                reaped = w == pid;
                break;
            }
            continue;
        }
        if (now - start >= static_cast<int64_t>(time_limit) * 1000) {
            res->timed_out = 1;
            term_sent = true;
            term_sent_at = now;
            signal_child(pid, SIGTERM);
        }
    }

    // Collect what the child left in the pipe. Without blocking: a process
    // the tool left behind may hold the write end open indefinitely.
    if (pipe_open) {
        int flags = fcntl(read_end.get(), F_GETFL);
        if (flags >= 0) fcntl(read_end.get(), F_SETFL, flags | O_NONBLOCK);
        while (read_chunk(read_end.get(), &sink)) {
        }
    }
    read_end.reset();

    if (reaped && WIFEXITED(status)) res->exit_code = WEXITSTATUS(status);
    return 0;
}

}  // namespace

int32_t run_command(const char *const *argv, uint32_t time_limit, char *out, size_t out_size,
                    command_result *result) {
    return run_command_watched(argv, time_limit, out, out_size, result, nullptr, nullptr);
}

int32_t run_command_watched(const char *const *argv, uint32_t time_limit, char *out, size_t out_size,
                            command_result *result, void (*started)(pid_t pid, void *ctx), void *ctx) {
    output_sink sink{out_size > 0 ? out : nullptr, out_size > 0 ? out_size - 1 : 0, 0};
    if (sink.buf != nullptr) sink.buf[0] = '\0';
    return run_into(argv, time_limit, sink, result, started, ctx);
}

captured_text::~captured_text() { free(data_); }

int32_t run_command_input(const char *const *argv, uint32_t time_limit, int input_fd, char *out,
                          size_t out_size, command_result *result) {
    output_sink sink{out_size > 0 ? out : nullptr, out_size > 0 ? out_size - 1 : 0, 0};
    if (out_size > 0) out[0] = '\0';
    return run_into(argv, time_limit, sink, result, nullptr, nullptr, input_fd);
}

int32_t run_command_whole(const char *const *argv, uint32_t time_limit, size_t max_bytes,
                          captured_text *out, command_result *result) {
    free(out->data_);
    out->data_ = nullptr;
    out->size_ = 0;
    out->cut_ = false;
    output_sink sink{nullptr, 0, 0, max_bytes};
    int32_t rc = run_into(argv, time_limit, sink, result, nullptr, nullptr);
    out->data_ = sink.buf;
    out->size_ = sink.len;
    out->cut_ = sink.cut;
    return rc;
}
