// A file of ours that must not outlive the step that made it: removed when
// its owner goes out of scope unless it was kept (renamed into place,
// handed on). A signal handler can be told about it through a
// removal_slot, so that an interrupt does not leave it behind either.
//
// Usage:
//     temp_file file;
//     if (!file.create_unique("/tmp/vlt_proxmox_vmconfig.XXXXXX")) ... errno
//     write(file.fd(), ...); file.close_now();
//     ... use file.path() ...
//     // gone at the end of the scope; file.keep() once it is someone else's
#pragma once
#include <limits.h>
#include <signal.h>
#include <sys/types.h>

#include "common/owned.h"

// A name a signal handler removes when the program is interrupted. The
// path is complete before armed is set, and armed is cleared before the
// main flow removes or keeps the file, so the handler never removes a file
// twice or one that is no longer ours.
struct removal_slot {
    char path[PATH_MAX];
    volatile sig_atomic_t armed;
};

// Async-signal-safe, for the handler: removes the slot's file when it is
// armed, and disarms it.
void removal_slot_fire(removal_slot *slot);

class temp_file {
public:
    temp_file() = default;
    // The file will be known to slot while it exists.
    explicit temp_file(removal_slot *slot) : slot_(slot) {}
    ~temp_file() { remove(); }
    temp_file(const temp_file &) = delete;
    temp_file &operator=(const temp_file &) = delete;

    // Creates a file with a unique name made from tmpl (ending in XXXXXX),
    // mode 0600, close-on-exec, and keeps it open. False with errno set.
    bool create_unique(const char *tmpl);
    // Creates path, which must not exist yet, with mode, and keeps it open.
    // False with errno set (EEXIST when something is there).
    bool create_exclusive(const char *path, mode_t mode);

    int fd() const { return fd_.get(); }
    // Empty when there is no file.
    const char *path() const { return path_; }
    // Closes the descriptor now; close's own result (0, or -1 with errno).
    int close_now() { return fd_.close_now(); }
    // The file is no longer ours: it stays.
    void keep();
    // Removes the file now (closing it first).
    void remove();

private:
    void own(const char *path);

    char path_[PATH_MAX] = "";
    unique_fd fd_;
    removal_slot *slot_ = nullptr;
};
