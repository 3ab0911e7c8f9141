// vlt_proxmox's own directory for its per-VM locks and run state files:
// $VLT_RUN_DIR, or /run/lock/vlt_proxmox when that is unset or empty. The
// default lives on a tmpfs that a reboot clears, as a reboot also ends
// every run and thaws every guest.
//
// The directory is root's alone (mode 0700): a file planted there would
// tell a later run which snapshots to remove, so a directory that is a
// symbolic link, belongs to another user or lets others write into it is
// refused, never used.
#pragma once
#include <cstddef>
#include <cstdint>

// The production directory.
extern const char *const run_dir_default;

// The directory in force: $VLT_RUN_DIR, else run_dir_default.
const char *run_dir_path();

// Opens the directory, creating it (mode 0700) when create is set and it
// does not exist. Returns 0 with an open descriptor in *dirfd (close-on-
// exec); 1 when it does not exist and create is not set; -1 with the
// reason in msg ("it is a symbolic link", "it belongs to uid 1000",
// "its mode 0777 lets other users write to it", or the system's error).
int32_t run_dir_open(bool create, int *dirfd, char *msg, size_t msg_size);
