// Snapshots of inactive volumes, and giving a snapshot up under Proxmox's
// storage lock.
//
// Proxmox deactivates a thick volume when its VM stops and keeps template
// base volumes inactive. LVM then behaves as follows: a thin snapshot made
// with -kn of an inactive thin origin comes up active (only the pool must
// be), so nothing changes for it; a COW snapshot of an inactive thick
// origin comes up inactive too, and activating it (lvchange -ay) activates
// its origin with it. Such a snapshot is activated after the thaw, never
// inside the frozen window, and once it is removed its origin is
// deactivated again: every origin ends the run as it was, on every path.
#pragma once
#include <cstddef>
#include <cstdint>

#include "backup/disks.h"
#include "backup/snapshots.h"
#include "common/storage_lock.h"

// Per snapshot i of the set, shared with the signal handler: the storage
// whose lock covers it, and its origin "vg/lv" while the run may have
// activated it. `activated` is set before lvchange -ay runs and cleared
// before the run deactivates the origin itself.
struct snapshot_origins {
    char storage[VM_MAX_VOLUMES][128];
    char origin[VM_MAX_VOLUMES][300];
    volatile int32_t activated[VM_MAX_VOLUMES];
};
extern snapshot_origins g_snapshot_origins;

// Takes the storage's lock for a later lvremove or lvchange. Without it
// within the time limit the step goes on all the same, with a WARN: a
// snapshot left behind fills the pool, and LVM keeps its own metadata
// consistent. Does nothing for an empty storage id.
void lock_storage_or_warn(storage_locks *lock, const char *storage);

// Notes the storage and origin of snapshot i before it is created.
void note_snapshot_origin(size_t index, const char *storage, const lv_info *origin);

// True for an origin whose snapshot comes up inactive: thick and inactive.
bool snapshot_comes_up_inactive(const lv_info *origin);

// After the thaw: activates every snapshot of the set that came up
// inactive and waits for its node. Returns 0, or -1 with "could not
// activate the snapshot of <slot> (<volume>): ..." in msg.
int32_t activate_new_snapshots(const resolved_disk_list *disks, snapshot_set *set, char *msg,
                               size_t msg_size);

// Removes snapshot i (lvremove, retried) and deactivates its origin again
// when the run activated it, under the storage's lock. Returns 0, or -1
// with remove_snapshot's message when the snapshot is still there; an
// origin that stays active is logged at WARN.
int32_t release_snapshot(size_t index, const snapshot_entry &entry, char *msg, size_t msg_size);

// The same from the signal handler, for the snapshot named "vg/lv".
// Returns lvremove's exit status (0: the snapshot is gone), or -1.
// Async-signal-safe.
int32_t release_snapshot_in_handler(size_t index, const char *snapshot_name);

// From the signal handler, after the snapshots: deactivates every origin
// still marked activated (its snapshot was already gone, or going, when
// the signal came). Async-signal-safe.
void deactivate_origins_in_handler();

// How long the handler tries for a storage lock before it goes on
// without it. 10 s.
extern uint32_t handler_lock_seconds;
