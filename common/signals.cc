// Handing a signal on to the handler before ours and to its default action.
#include "common/signals.h"

#include <cerrno>
#include <cstring>

void set_default_action(int sig)
{
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
}

void pass_signal_on(int sig, const struct sigaction &previous, void (*self)(int), int saved_errno)
{
    if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler != SIG_DFL &&
        previous.sa_handler != SIG_IGN && previous.sa_handler != self)
        previous.sa_handler(sig);
    set_default_action(sig);
    errno = saved_errno;
    raise(sig);  // delivered with the default action once the handler returns
}
