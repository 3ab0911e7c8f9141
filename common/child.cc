// Starting a child process with every signal blocked across the fork and
// every handler put back to its default before the program runs.
#include "common/child.h"
#include "common/signals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Every handler of ours becomes the default action again; ignored signals
// stay ignored. Async-signal-safe.
void reset_handlers()
{
    for (int sig = 1; sig < NSIG; sig++) {
        if (sig == SIGKILL || sig == SIGSTOP)
            continue;
        struct sigaction now;
        if (sigaction(sig, nullptr, &now) != 0)
            continue;  // a number the C library keeps for itself
        if (now.sa_handler != SIG_DFL && now.sa_handler != SIG_IGN)
            set_default_action(sig);
    }
}

// In the child, with every signal blocked: becomes the program or ends
// with 127.
[[noreturn]] void become_program(const child_setup &setup, bool from_handler,
                                 const sigset_t &caller_mask)
{
    if (setup.own_group)
        setpgid(0, 0);
    if (setup.output_fd >= 0) {
        // Moved above the standard descriptors first, so that an output
        // descriptor that is 1 or 2 itself is still duplicated correctly.
        int w = fcntl(setup.output_fd, F_DUPFD, 3);
        if (w < 0 || dup2(w, 1) < 0 || dup2(w, 2) < 0)
            _exit(127);
        close(w);
    }
    if (from_handler) {
        for (int fd = 3; fd < 1024; fd++)
            close(fd);
    }
    for (const char *const *e = setup.env; e != nullptr && *e != nullptr; e++)
        putenv(const_cast<char *>(*e));  // the text outlives the exec
    reset_handlers();
    sigset_t mask = caller_mask;
    if (setup.clear_signal_mask)
        sigemptyset(&mask);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    execvp(setup.argv[0], const_cast<char *const *>(setup.argv));
    _exit(127);
}

pid_t spawn(const child_setup &setup, bool from_handler)
{
    sigset_t all, caller_mask;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &caller_mask);
    // In a handler, _Fork: fork would run the C library's fork preparations,
    // which take locks the interrupted main flow may hold.
    pid_t pid = from_handler ? _Fork() : setup.make_process != nullptr ? setup.make_process() : fork();
    if (pid == 0)
        become_program(setup, from_handler, caller_mask);
    int saved_errno = errno;
    if (pid > 0) {
        if (setup.own_group)
            setpgid(pid, pid);  // whichever side runs first, the group exists
        if (setup.started != nullptr)
            setup.started(pid, setup.started_ctx);
    }
    sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
    errno = saved_errno;
    return pid;
}

}  // namespace

int open_child_pidfd(pid_t pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

pid_t start_child(const child_setup &setup)
{
    return spawn(setup, false);
}

pid_t start_child_in_handler(const char *const *argv, int output_fd)
{
    child_setup setup;
    setup.argv = argv;
    setup.output_fd = output_fd;
    setup.own_group = true;
    setup.clear_signal_mask = true;
    return spawn(setup, true);
}

int32_t wait_child(pid_t pid)
{
    if (pid <= 0)
        return -1;  // never "any child"
    int status = 0;
    pid_t got;
    while ((got = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (got == pid && WIFEXITED(status))
        return WEXITSTATUS(status);
    return -1;
}
