// Opening vlt_proxmox's lock and state directory safely.
#include "common/run_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/owned.h"
#include "common/text.h"

const char *const run_dir_default = "/run/lock/vlt_proxmox";

const char *run_dir_path()
{
    const char *env = getenv("VLT_RUN_DIR");
    return env != nullptr && env[0] != '\0' ? env : run_dir_default;
}

namespace {

// Whether what lstat found may be used; -1 with the reason otherwise.
int32_t check_safe(const struct stat &st, char *msg, size_t msg_size)
{
    if (S_ISLNK(st.st_mode)) {
        put_text(msg, msg_size, "it is a symbolic link");
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        put_text(msg, msg_size, "it is not a directory");
        return -1;
    }
    if (st.st_uid != geteuid()) {
        put_text(msg, msg_size, "it belongs to uid %u, not to uid %u", static_cast<unsigned>(st.st_uid),
                 static_cast<unsigned>(geteuid()));
        return -1;
    }
    if ((st.st_mode & 022) != 0) {
        put_text(msg, msg_size, "its mode %04o lets other users write to it",
                 static_cast<unsigned>(st.st_mode & 07777));
        return -1;
    }
    return 0;
}

}  // namespace

int32_t run_dir_open(bool create, int *dirfd, char *msg, size_t msg_size)
{
    *dirfd = -1;
    if (msg_size > 0)
        msg[0] = '\0';
    const char *path = run_dir_path();
    struct stat st;
    if (lstat(path, &st) != 0) {
        if (errno != ENOENT) {
            put_text(msg, msg_size, "%s", strerror(errno));
            return -1;
        }
        if (!create)
            return 1;
        if (mkdir(path, 0700) != 0 && errno != EEXIST) {
            put_text(msg, msg_size, "cannot create it: %s", strerror(errno));
            return -1;
        }
        if (lstat(path, &st) != 0) {
            put_text(msg, msg_size, "%s", strerror(errno));
            return -1;
        }
    }
    if (check_safe(st, msg, msg_size) != 0)
        return -1;
    // What is opened must be what was checked: no link followed, the same
    // directory (device and inode) as the lstat saw.
    unique_fd fd(open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat opened;
    if (fd.get() < 0 || fstat(fd.get(), &opened) != 0) {
        put_text(msg, msg_size, "%s", strerror(errno));
        return -1;
    }
    if (opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
        put_text(msg, msg_size, "it was replaced while it was opened");
        return -1;
    }
    if (check_safe(opened, msg, msg_size) != 0)
        return -1;
    *dirfd = fd.release();
    return 0;
}
