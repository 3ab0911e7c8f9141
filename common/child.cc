// Starting a child process with every signal blocked across the fork and
// every handler put back to its default before the program runs.
#include "common/child.h"
#include "common/signals.h"

#include <alloca.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

// True when the "NAME=value" text `entry` sets the variable named by the
// first name_len bytes of `name`.
bool sets_variable(const char *entry, const char *name, size_t name_len)
{
    return strncmp(entry, name, name_len) == 0 && entry[name_len] == '=';
}

size_t name_length(const char *entry)
{
    const char *eq = strchr(entry, '=');
    return eq != nullptr ? static_cast<size_t>(eq - entry) : strlen(entry);
}

bool set_by(const char *const *env, const char *entry)
{
    for (const char *const *e = env; e != nullptr && *e != nullptr; e++) {
        if (sets_variable(entry, *e, name_length(*e)))
            return true;
    }
    return false;
}

size_t count_entries(const char *const *list)
{
    size_t n = 0;
    for (const char *const *e = list; e != nullptr && *e != nullptr; e++)
        n++;
    return n;
}

// Room the program's environment needs, in entries: ours, setup.env,
// LC_ALL=C and the end mark.
size_t environment_slots(const child_setup &setup)
{
    return count_entries(environ) + count_entries(setup.env) + 2;
}

// The program's environment: ours without LC_ALL, LANGUAGE and the
// variables of setup.env, then setup.env, then LC_ALL=C. Without
// allocation, so that a child made in a signal handler can build it.
void fill_environment(const child_setup &setup, const char **envp)
{
    size_t n = 0;
    for (char **e = environ; *e != nullptr; e++) {
        if (sets_variable(*e, "LC_ALL", 6) || sets_variable(*e, "LANGUAGE", 8) || set_by(setup.env, *e))
            continue;
        envp[n++] = *e;
    }
    for (const char *const *e = setup.env; e != nullptr && *e != nullptr; e++)
        envp[n++] = *e;
    envp[n++] = "LC_ALL=C";
    envp[n] = nullptr;
}

// What the child runs: the program of setup.argv, or a function of ours.
struct child_body {
    int (*fn)(void *ctx) = nullptr;
    void *ctx = nullptr;
};

// In the child, with every signal blocked: becomes the program (or ends
// with 127), or runs the body's function and ends with its result.
[[noreturn]] void become_program(const child_setup &setup, bool from_handler,
                                 const sigset_t &caller_mask, const child_body &body)
{
    if (setup.own_group)
        setpgid(0, 0);
    if (setup.input_fd >= 0) {
        // Moved above the standard descriptors first, like the output.
        int r = fcntl(setup.input_fd, F_DUPFD, 3);
        if (r < 0 || dup2(r, 0) < 0)
            _exit(127);
        close(r);
    }
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
    if (body.fn != nullptr) {
        reset_handlers();
        sigset_t mask = caller_mask;
        if (setup.clear_signal_mask)
            sigemptyset(&mask);
        sigprocmask(SIG_SETMASK, &mask, nullptr);
        int status = body.fn(body.ctx);
        fflush(nullptr);
        // Not exit(): the parent's atexit work and static objects are the
        // parent's to finish.
        _exit(status & 0xFF);
    }
    // On the child's stack: it lives until the exec.
    const char **envp = static_cast<const char **>(alloca(environment_slots(setup) * sizeof(char *)));
    fill_environment(setup, envp);
    reset_handlers();
    sigset_t mask = caller_mask;
    if (setup.clear_signal_mask)
        sigemptyset(&mask);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    execvpe(setup.argv[0], const_cast<char *const *>(setup.argv), const_cast<char *const *>(envp));
    _exit(127);
}

pid_t spawn(const child_setup &setup, bool from_handler, const child_body &body = child_body{})
{
    sigset_t all, caller_mask;
    // Buffered output would otherwise be written twice, by both processes.
    if (body.fn != nullptr)
        fflush(nullptr);
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &caller_mask);
    // In a handler, _Fork: fork would run the C library's fork preparations,
    // which take locks the interrupted main flow may hold.
    pid_t pid = from_handler ? _Fork() : setup.make_process != nullptr ? setup.make_process() : fork();
    if (pid == 0)
        become_program(setup, from_handler, caller_mask, body);
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

pid_t start_child_function(const child_setup &setup, int (*fn)(void *ctx), void *ctx)
{
    child_body body;
    body.fn = fn;
    body.ctx = ctx;
    return spawn(setup, false, body);
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

int32_t run_in_handler(const char *const *argv, unsigned alarm_seconds)
{
    pid_t pid = start_child_in_handler(argv);
    if (pid < 0)
        return -1;
    alarm(alarm_seconds);
    int32_t code = wait_child(pid);
    alarm(0);
    return code;
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
