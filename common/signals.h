// The end of a clean-up handler's work, the same for every handler of the
// programs: the handler that was in force before it runs too, then the
// signal ends the process with its default action, as it would have done
// without any handler.
#pragma once
#include <signal.h>

// Puts sig back to its default action. Async-signal-safe.
void set_default_action(int sig);

// Runs `previous` when it is a plain handler function (not the default,
// not ignore, not one taking extended information) other than `self`,
// restores errno to saved_errno, sets the default action and raises sig:
// the process ends by it once the calling handler returns.
// Async-signal-safe.
void pass_signal_on(int sig, const struct sigaction &previous, void (*self)(int), int saved_errno);
