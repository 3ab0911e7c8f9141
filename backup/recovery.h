// What an earlier run of the same VM left behind, repaired under the VM's
// lock before anything is frozen: its child that may still run, a guest it
// may have left frozen, its temporary files, its snapshots. Each repair is
// one WARN line saying what was found, that an earlier run ended
// abnormally, and what was done; whatever cannot be repaired, or cannot be
// shown to be the earlier run's, ends the run with an ERROR before the
// freeze, and nothing that is not provably ours is removed.
#pragma once
#include <cstdint>

#include "backup/disks.h"
#include "backup/run_lock.h"
#include "common/run_state.h"
#include "vmconfig/vm_config.h"

// The earlier run's state file, as the first step found it.
struct earlier_run {
    bool found;
    run_state state;
};

// Right after the lock, before the VM's configuration is read: a child of
// the earlier run that still runs is stopped, its temporary files are
// removed and a guest it may have left frozen is thawed (status polling
// within the thaw deadline; guest_cmd_limit seconds per qm call). 0, or -1
// after logging the ERROR.
int32_t recover_guest(const char *vmid, const vm_run_lock &lock, uint32_t guest_cmd_limit, earlier_run *earlier);

// Once the disks are known: the snapshots the earlier run's state file
// names, and a snapshot "<lv>_vltsnap" of each disk to back up (a run cut
// short by a power loss leaves no state file behind on a tmpfs, but its
// snapshots), are removed when they carry the tag vlt_agent and are
// snapshots of this VM's own disks (`volumes`: every disk-like volume of
// its configuration); then the state file goes. 0, or -1 after logging
// the ERROR.
int32_t recover_snapshots(const char *vmid, const vm_run_lock &lock, const vm_volume_list *volumes,
                          const resolved_disk_list *disks, earlier_run *earlier);

// Test seam: how long a child of an earlier run gets to end after SIGTERM,
// and again after SIGKILL (milliseconds).
extern uint32_t recovery_stop_grace_ms;  // 5000
