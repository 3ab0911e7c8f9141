// Runs an outside tool in its own process group, captures its merged
// standard output and standard error, and enforces a time limit.
#include "common/runner.h"

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
constexpr size_t kChunk = 512;

// A descriptor that closes itself.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// The caller's buffer, kept a terminated string; output beyond its
// capacity is read and dropped.
struct output_sink {
    char *buf;
    size_t cap;  // usable bytes: size - 1
    size_t len;

    void append(const char *data, size_t n) {
        if (buf == nullptr) return;
        size_t room = cap - len;
        if (n > room) n = room;
        memcpy(buf + len, data, n);
        len += n;
        buf[len] = '\0';
    }
};

int64_t monotonic_seconds() {
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0;
    return ts.tv_sec;
}

// One read of at most 512 bytes. False at end of file, on an empty
// non-blocking pipe, or on an error other than an interruption.
bool read_chunk(int fd, output_sink *sink) {
    char scratch[kChunk];
    ssize_t n = read(fd, scratch, sizeof scratch);
    if (n > 0) {
        sink->append(scratch, static_cast<size_t>(n));
        return true;
    }
    return n < 0 && errno == EINTR;
}

[[noreturn]] void exec_child(const char *const *argv, int read_fd, int write_fd) {
    setpgid(0, 0);
    // Move the write end above the standard descriptors first, so that a
    // pipe that landed on descriptor 1 or 2 is still duplicated correctly.
    int w = fcntl(write_fd, F_DUPFD, 3);
    if (w < 0 || dup2(w, 1) < 0 || dup2(w, 2) < 0) _exit(127);
    close(w);
    if (read_fd > 2) close(read_fd);
    if (write_fd > 2) close(write_fd);
    // A signal mask blocked by the caller would survive exec and make the
    // tool deaf to the time-out's SIGTERM.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    setenv("LVM_SUPPRESS_FD_WARNINGS", "1", 1);
    execvp(argv[0], const_cast<char *const *>(argv));
    _exit(127);
}

void signal_child(pid_t pid, int sig) {
    kill(-pid, sig);  // the whole group first
    kill(pid, sig);
}

}  // namespace

int32_t run_command(const char *const *argv, uint32_t time_limit, char *out, size_t out_size,
                    command_result *result) {
    command_result local;
    command_result *res = result != nullptr ? result : &local;
    res->exit_code = -1;
    res->timed_out = 0;
    output_sink sink{out_size > 0 ? out : nullptr, out_size > 0 ? out_size - 1 : 0, 0};
    if (sink.buf != nullptr) sink.buf[0] = '\0';
    if (argv == nullptr || argv[0] == nullptr) return -1;

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    unique_fd read_end(fds[0]);
    unique_fd write_end(fds[1]);

    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) exec_child(argv, fds[0], fds[1]);

    setpgid(pid, pid);  // whichever side runs first, the group exists
    write_end.reset();

    const int64_t start = monotonic_seconds();
    bool term_sent = false;
    int64_t term_sent_at = 0;
    bool pipe_open = true;
    int eof_passes = 0;
    bool reaped = false;
    int status = 0;

    for (;;) {
        if (pipe_open) {
            struct pollfd pfd = {read_end.get(), POLLIN, 0};
            int r = poll(&pfd, 1, kPollMs);
            if (r > 0 && (pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0)
                pipe_open = read_chunk(read_end.get(), &sink);
        } else {
            // The pipe is at end of file but the child has not been seen to
            // end: usually it is just exiting, so look again soon; one that
            // closed its output and runs on is checked at the normal pace.
            poll(nullptr, 0, eof_passes < 20 ? 5 : kPollMs);
            eof_passes++;
        }

        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) {
            reaped = true;
            break;
        }
        if (w < 0 && errno != EINTR) break;  // reaped elsewhere; status unknown

        int64_t now = monotonic_seconds();
        if (term_sent) {
            if (now - term_sent_at >= static_cast<int64_t>(runner_kill_grace_seconds)) {
                signal_child(pid, SIGKILL);
                while ((w = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
                }
                reaped = w == pid;
                break;
            }
            continue;
        }
        if (now - start >= static_cast<int64_t>(time_limit)) {
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
