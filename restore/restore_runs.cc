// Starting vlt_restore and waiting for it.
#include "restore/restore_runs.h"

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/progress.h"

namespace {

// Seven fixed arguments, the forwarded ones and the end mark.
enum { kMaxArgs = 7 + RESTORE_MAX_FORWARDED + 1 };

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

    pid_t pid = fork();
    if (pid < 0) {
        if (msg != nullptr && msg_size > 0)
            std::snprintf(msg, msg_size, "fork failed: %s", std::strerror(errno));
        return -1;
    }
    if (pid == 0) {
        // Its own group: a terminal interrupt reaches us, not the tool.
        setpgid(0, 0);
        execvp(argv[0], const_cast<char *const *>(argv));
        _exit(127);
    }
    // Either side may run first; both make the group so it exists at once.
    // The child may already have exec'd (EACCES), which is fine.
    setpgid(pid, pid);
    progress_set_child(static_cast<int32_t>(pid));

    int wstatus = 0;
    pid_t waited;
    do {
        waited = waitpid(pid, &wstatus, 0);
    } while (waited < 0 && errno == EINTR);
    progress_set_child(0);

    int code = -1;
    if (waited == pid && WIFEXITED(wstatus))
        code = WEXITSTATUS(wstatus);
    if (code == 0)
        return 0;
    if (msg != nullptr && msg_size > 0)
        std::snprintf(msg, msg_size, "vlt_restore exited with code %d", code);
    return -1;
}
