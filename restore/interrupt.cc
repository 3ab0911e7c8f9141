// Interrupts of a restore as a note the main flow acts on, and the wait
// for vlt_restore that notices the note at once.
#include "restore/interrupt.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/child.h"
#include "common/owned.h"
#include "common/signals.h"
#include "common/text.h"

uint32_t interrupt_grace_ms = 5000;

namespace {

const int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t g_noted = 0;

void note_signal(int sig) {
    if (g_noted == 0) g_noted = sig;
}

void held_set(sigset_t *set) {
    sigemptyset(set);
    for (int sig : kSignals) sigaddset(set, sig);
}

int64_t now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int32_t exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

// SIGTERM to the group, SIGKILL after the grace period; reaps the child.
void stop_group(pid_t pid) {
    kill(-pid, SIGTERM);
    kill(pid, SIGTERM);
    const int64_t deadline = now_ms() + interrupt_grace_ms;
    int status;
    for (;;) {
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid || (w < 0 && errno != EINTR)) return;
        if (now_ms() >= deadline) break;
        struct timespec pause = {0, 20 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

interrupt_guard::interrupt_guard() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = note_signal;
    sigemptyset(&sa.sa_mask);
    for (int i = 0; i < 3; i++) sigaction(kSignals[i], &sa, &saved_[i]);
}

interrupt_guard::~interrupt_guard() {
    for (int i = 0; i < 3; i++) sigaction(kSignals[i], &saved_[i], nullptr);
}

int interrupt_signal() { return g_noted; }

void interrupt_reset() { g_noted = 0; }

const char *signal_name(int sig) {
    static char other[32];
    switch (sig) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: put_text(other, sizeof other, "signal %d", sig); return other;
    }
}

bool interrupted(char *err, size_t err_size) {
    int sig = g_noted;
    if (sig == 0) return false;
    put_text(err, err_size,
             "interrupted by %s: the restore was rolled back (no volume kept, no configuration installed)",
             signal_name(sig));
    return true;
}

int32_t wait_child_interruptible(pid_t pid) {
    if (pid <= 0) return -1;
    // The signals wait while the loop looks at the note and the child; they
    // come through only inside ppoll, which the handler then interrupts.
    sigset_t held, old;
    held_set(&held);
    sigprocmask(SIG_BLOCK, &held, &old);
    unique_fd child_end(open_child_pidfd(pid));
    int32_t code = -1;
    for (;;) {
        if (g_noted != 0) {
            stop_group(pid);
            break;
        }
        int status;
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) {
            code = exit_code(status);
            break;
        }
        if (w < 0 && errno != EINTR) break;
        struct pollfd pfd = {child_end.get(), POLLIN, 0};
        struct timespec tick = {0, 100 * 1000 * 1000};
        (void)ppoll(child_end.get() >= 0 ? &pfd : nullptr, child_end.get() >= 0 ? 1 : 0,
                    child_end.get() >= 0 ? nullptr : &tick, &old);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return code;
}

signals_held::signals_held() {
    sigset_t held;
    held_set(&held);
    sigprocmask(SIG_BLOCK, &held, &old_);
}

signals_held::~signals_held() { sigprocmask(SIG_SETMASK, &old_, nullptr); }

void end_by_signal(int sig) {
    fflush(nullptr);
    set_default_action(sig);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    sigprocmask(SIG_UNBLOCK, &one, nullptr);
    raise(sig);
    _exit(128 + sig);  // a signal that does not end a process by default
}
