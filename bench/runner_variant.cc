#include "bench/runner_variant.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr int kPollMs = 100;
constexpr size_t kChunk = 65536;

class unique_fd {
public:
    explicit unique_fd(int fd = -1) : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

struct sink {
    char *buf;
    size_t cap;
    size_t len;
    void append(const char *data, size_t n) {
        size_t room = cap - len;
        if (n > room) n = room;
        memcpy(buf + len, data, n);
        len += n;
        buf[len] = '\0';
    }
};

int64_t monotonic_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

// One read of up to 64 KiB, straight into the caller's buffer while it has
// room, into a scratch area to be dropped once it is full. False at end of
// file or on an error other than an interruption.
bool read_some(int fd, sink *s) {
    static char scratch[kChunk];
    size_t room = s->cap - s->len;
    ssize_t n = room > 0 ? read(fd, s->buf + s->len, room < kChunk ? room : kChunk) : read(fd, scratch, sizeof scratch);
    if (n > 0) {
        if (room > 0) {
            s->len += static_cast<size_t>(n);
            s->buf[s->len] = '\0';
        }
        return true;
    }
    return n < 0 && (errno == EINTR || errno == EAGAIN);
}

void signal_child(pid_t pid, int sig) {
    kill(-pid, sig);
    kill(pid, sig);
}

}  // namespace

int32_t run_command_pidfd(const char *const *argv, uint32_t time_limit, char *out, size_t out_size,
                          command_result *res) {
    res->exit_code = -1;
    res->timed_out = 0;
    sink s{out, out_size - 1, 0};
    out[0] = '\0';

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    unique_fd rd(fds[0]), wr(fds[1]);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        setpgid(0, 0);
        int w = fcntl(fds[1], F_DUPFD, 3);
        if (w < 0 || dup2(w, 1) < 0 || dup2(w, 2) < 0) _exit(127);
        setenv("LVM_SUPPRESS_FD_WARNINGS", "1", 1);
        execvp(argv[0], const_cast<char *const *>(argv));
        _exit(127);
    }
    setpgid(pid, pid);
    wr.reset();
    // The process descriptor becomes readable when the child ends.
    unique_fd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));

    const int64_t start = monotonic_seconds();
    bool term_sent = false, pipe_open = true, reaped = false;
    int64_t term_at = 0;
    int status = 0;
    for (;;) {
        struct pollfd p[2];
        nfds_t n = 0;
        if (pipe_open) p[n++] = {rd.get(), POLLIN, 0};
        if (pidfd.get() >= 0) p[n++] = {pidfd.get(), POLLIN, 0};
        int r = poll(p, n, kPollMs);
        if (r > 0 && pipe_open && (p[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) pipe_open = read_some(rd.get(), &s);
        // Without a process descriptor, fall back to a plain look each pass.
        if (pidfd.get() < 0 || r > 0) {
            pid_t w = waitpid(pid, &status, WNOHANG);
            if (w == pid) {
                reaped = true;
                break;
            }
        }
        int64_t now = monotonic_seconds();
        if (term_sent) {
            if (now - term_at >= static_cast<int64_t>(runner_kill_grace_seconds)) {
                signal_child(pid, SIGKILL);
                reaped = waitpid(pid, &status, 0) == pid;
                break;
            }
            continue;
        }
        if (now - start >= static_cast<int64_t>(time_limit)) {
            res->timed_out = 1;
            term_sent = true;
            term_at = now;
            signal_child(pid, SIGTERM);
        }
    }
    if (pipe_open) {
        int flags = fcntl(rd.get(), F_GETFL);
        if (flags >= 0) fcntl(rd.get(), F_SETFL, flags | O_NONBLOCK);
        for (;;) {
            errno = 0;
            if (!read_some(rd.get(), &s) || errno == EAGAIN) break;
        }
    }
    if (reaped && WIFEXITED(status)) res->exit_code = WEXITSTATUS(status);
    return 0;
}
