// The node-wide lock around a run's freeze, snapshots and thaw.
#include "backup/snapshot_phase.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "common/progress.h"
#include "common/run_dir.h"
#include "common/text.h"

const char *const snapshot_phase_file = "snapshots.lock";

int32_t snapshot_phase::take(char *msg, size_t msg_size)
{
    release();
    int dirfd = -1;
    char why[256];
    if (run_dir_open(true, &dirfd, why, sizeof why) != 0) {
        put_text(msg, msg_size, "cannot use the lock directory %s: %s", run_dir_path(), why);
        return -1;
    }
    unique_fd dir(dirfd);
    // Close-on-exec: no tool or agent started while it is held keeps it.
    unique_fd file(openat(dir.get(), snapshot_phase_file, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.get() < 0) {
        put_text(msg, msg_size, "cannot open %s/%s: %s", run_dir_path(), snapshot_phase_file, strerror(errno));
        return -1;
    }
    int rc;
    while ((rc = flock(file.get(), LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (rc != 0 && errno == EWOULDBLOCK) {
        progress_status(0, "waiting for the snapshots of another backup on this node");
        while ((rc = flock(file.get(), LOCK_EX)) != 0 && errno == EINTR) {
        }
    }
    if (rc != 0) {
        put_text(msg, msg_size, "cannot lock %s/%s: %s", run_dir_path(), snapshot_phase_file, strerror(errno));
        return -1;
    }
    file_ = std::move(file);
    return 0;
}
