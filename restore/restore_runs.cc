// Starting vlt_restore and waiting for it.
#include "restore/restore_runs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/child.h"
#include "common/progress.h"
#include "restore/interrupt.h"

namespace {

// Seven fixed arguments, the forwarded ones and the end mark.
enum { kMaxArgs = 7 + RESTORE_MAX_FORWARDED + 1 };

// The progress segment shows the tool from the moment it exists.
void show_child(pid_t pid, void *)
{
    progress_set_child(static_cast<int32_t>(pid));
}

}  // namespace

int32_t run_restore_tool(const char *meta_path, const char *search_dir, const char *target,
                         const char *const *forwarded, int32_t forwarded_count, char *msg,
                         size_t msg_size) {
    if (msg != nullptr && msg_size > 0)
        msg[0] = '\0';

    const char *argv[kMaxArgs];
    int n = 0;
    argv[n++] = "vlt_restore";
    argv[n++] = "--meta";
    argv[n++] = meta_path;
    argv[n++] = "--search-dir";
    argv[n++] = search_dir;
    argv[n++] = "--target";
    argv[n++] = target;
    int32_t count = forwarded == nullptr ? 0 : forwarded_count;
    if (count > RESTORE_MAX_FORWARDED)
        count = RESTORE_MAX_FORWARDED;
    for (int32_t i = 0; i < count; i++)
        argv[n++] = forwarded[i];
    argv[n] = nullptr;

    // Its own group: a terminal interrupt reaches us, not the tool.
    child_setup setup;
    setup.argv = argv;
    setup.own_group = true;
    setup.started = show_child;
    pid_t pid = start_child(setup);
    if (pid < 0) {
        if (msg != nullptr && msg_size > 0)
            std::snprintf(msg, msg_size, "fork failed: %s", std::strerror(errno));
        return -1;
    }
    // An interrupt stops it (its group) and reaps it before the run rolls back.
    int32_t code = wait_child_interruptible(pid);
    progress_set_child(0);

    if (code == 0 && interrupt_signal() == 0)
        return 0;
    if (msg != nullptr && msg_size > 0) {
        if (interrupt_signal() != 0)
            std::snprintf(msg, msg_size, "vlt_restore stopped: interrupted by %s", signal_name(interrupt_signal()));
        else
            std::snprintf(msg, msg_size, "vlt_restore exited with code %d", code);
    }
    return -1;
}

int32_t without_assume_zeroed(const char *const *forwarded, int32_t forwarded_count, const char **ret,
                              bool *ret_withheld) {
    *ret_withheld = false;
    int32_t n = 0;
    for (int32_t i = 0; forwarded != nullptr && i < forwarded_count; i++) {
        if (std::strcmp(forwarded[i], "--assume-zeroed") == 0) {
            *ret_withheld = true;
            continue;
        }
        if (n < RESTORE_MAX_FORWARDED)
            ret[n++] = forwarded[i];
    }
    return n;
}
