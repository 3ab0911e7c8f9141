// Signals during a restore. A restore that is interrupted must roll back
// like a failed one: stop vlt_restore, free every volume allocated so far,
// remove its temporary files and never install the configuration. All of
// that runs pvesm, waits for children and unlinks files, which a signal
// handler cannot do safely halfway through whatever the main flow was
// doing. So while an interrupt_guard lives, SIGINT, SIGTERM and SIGHUP only
// note which signal came; the main flow looks at the note between its
// steps and while it waits for vlt_restore, rolls back on the normal
// failure path, and the program then ends by the signal (end_by_signal).
//
//     interrupt_guard guard;           // the whole run
//     ... step ...
//     if (interrupted(err, err_size)) return -1;
//     ...
//     // in main, once everything is undone and reported:
//     if (interrupt_signal() != 0) end_by_signal(interrupt_signal());
#pragma once
#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

class interrupt_guard {
public:
    // Installs the noting handler for SIGINT, SIGTERM and SIGHUP.
    interrupt_guard();
    // Puts the handlers that were in force back (a noted signal stays noted).
    ~interrupt_guard();
    interrupt_guard(const interrupt_guard &) = delete;
    interrupt_guard &operator=(const interrupt_guard &) = delete;

private:
    struct sigaction saved_[3];
};

// The first signal noted since the program started, or 0.
int interrupt_signal();

// When a signal was noted, writes "interrupted by <name>: ..." into err
// and returns true.
bool interrupted(char *err, size_t err_size);

// Waits for the child pid, which leads a process group of its own. When a
// signal is noted before it ends, its group gets SIGTERM, and SIGKILL after
// interrupt_grace_ms if it is still there; it is always reaped. Returns the
// exit status (0..255), or -1 when it ended by a signal or was stopped.
int32_t wait_child_interruptible(pid_t pid);

// How long a stopped child may take to end after SIGTERM (5000).
extern uint32_t interrupt_grace_ms;

// Blocks SIGINT, SIGTERM and SIGHUP for the life of the object, so that a
// step that must not be cut in two (the install) either happens whole or
// not at all; a signal sent meanwhile is noted when it ends.
class signals_held {
public:
    signals_held();
    ~signals_held();
    signals_held(const signals_held &) = delete;
    signals_held &operator=(const signals_held &) = delete;

private:
    sigset_t old_;
};

// Ends the program by sig as if no handler had been there.
[[noreturn]] void end_by_signal(int sig);

// "SIGINT", "SIGTERM", "SIGHUP", else "signal <n>" (into a static buffer).
const char *signal_name(int sig);

// Test seam: forgets a noted signal.
void interrupt_reset();
