// Files removed on every path out of the step that made them, and the
// slots through which a signal handler removes them too.
#include "common/temp_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "common/text.h"

void removal_slot_fire(removal_slot *slot)
{
    if (!slot->armed)
        return;
    slot->armed = 0;
    (void)unlink(slot->path);
}

bool temp_file::create_unique(const char *tmpl)
{
    remove();
    char name[PATH_MAX];
    if (put_text(name, sizeof name, "%s", tmpl) >= static_cast<int>(sizeof name)) {
        errno = ENAMETOOLONG;
        return false;
    }
    int fd = mkostemp(name, O_CLOEXEC);
    if (fd < 0)
        return false;
    fd_.reset(fd);
    own(name);
    return true;
}

bool temp_file::create_exclusive(const char *path, mode_t mode)
{
    remove();
    if (strlen(path) >= sizeof path_) {
        errno = ENAMETOOLONG;
        return false;
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    fd_.reset(fd);
    own(path);
    return true;
}

void temp_file::own(const char *path)
{
    put_text(path_, sizeof path_, "%s", path);
    if (slot_ != nullptr) {
        memcpy(slot_->path, path_, strlen(path_) + 1);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        slot_->armed = 1;
    }
}

void temp_file::keep()
{
    if (slot_ != nullptr) {
        slot_->armed = 0;
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    path_[0] = '\0';
}

void temp_file::remove()
{
    fd_.reset();
    if (path_[0] == '\0')
        return;
    if (slot_ != nullptr) {
        slot_->armed = 0;
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    (void)unlink(path_);
    path_[0] = '\0';
}
