// The snapshot phases of the backups on one node take turns: each run
// holds a node-wide lock from just before its freeze (or its first
// snapshot, when there is no freeze) until its thaw is done. The lock is
// an exclusive flock on "snapshots.lock" in vlt_proxmox's run directory
// (common/run_dir.h), so the kernel drops it when the process ends in any
// way.
//
// Why: snapshots taken at the same moment compete for the same LVM
// metadata and disks, and a freeze of one guest would last as long as
// another guest's snapshots. A run waits for the lock before it freezes
// its guest, and holds it while it waits for nothing else, so the wait
// never lengthens a freeze; runs of several VMs at once (--jobs) overlap
// only in their agent runs.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/owned.h"

class snapshot_phase {
public:
    snapshot_phase() = default;
    snapshot_phase(const snapshot_phase &) = delete;
    snapshot_phase &operator=(const snapshot_phase &) = delete;
    ~snapshot_phase() { release(); }

    // Takes the lock, waiting as long as another run holds it. 0, or -1
    // with the reason (the run directory or the file cannot be used).
    [[nodiscard]] int32_t take(char *msg, size_t msg_size);
    // Gives it back (nothing when not held).
    void release() { file_.reset(); }
    bool held() const { return file_.get() >= 0; }

private:
    unique_fd file_;
};

// The lock file's name in the run directory.
extern const char *const snapshot_phase_file;
