// Keeping the backup from filling the storage it reads.
//
// A thin snapshot pins every block the guest overwrites while it lives, in
// the pool it shares with every other VM there; a full pool queues and then
// fails the writes of all of them. So the pools that will hold a snapshot
// are read before the freeze (refused above the limit), and watched every
// few seconds while the agents run: one that goes above the limit ends the
// backup, with every snapshot removed. A thick (COW) snapshot becomes
// invalid when its copy-on-write space runs full: the disk whose snapshot
// nears that is stopped with a clear message, and a snapshot is checked
// once more after it was read.
#pragma once
#include <cstddef>
#include <cstdint>

#include "backup/agent_wait.h"
#include "backup/disks.h"
#include "backup/snapshots.h"

struct guarded_pool {
    char vg[128];
    char pool[128];
    char storage[128];  // the storage of the first disk in it, for messages
};

struct pool_guard {
    uint32_t limit;                          // percent
    guarded_pool pools[VM_MAX_VOLUMES];
    size_t pool_count;
    int32_t disk_pool[VM_MAX_VOLUMES];       // the pool of disk i's snapshot; -1: a thick one
    const snapshot_set *set;                 // while the jobs run
    bool warned;                             // a failed look at the pools was logged
};

// The limit without --pool-limit, in percent.
enum { POOL_LIMIT_DEFAULT = 90 };
// A COW snapshot this full (percent) stops the backup of its disk.
extern double cow_nearly_full_percent;   // 95
// How often the pools are looked at while an agent runs.
extern uint32_t pool_watch_interval_ms;  // 5000

// Before the freeze: finds the thin pool of every thin disk and reads its
// data and metadata usage. Returns 0, or -1 with the reason in msg: a pool
// above the limit (or out of space), or lvs failing.
int32_t pool_guard_prepare(const resolved_disk_list *disks, uint32_t limit, pool_guard *guard, char *msg,
                           size_t msg_size);

// The limits of the disk jobs of `set`: the agent time limit (0: none),
// and the guard's checks while each agent runs and after it.
agent_limits pool_guard_limits(pool_guard *guard, const snapshot_set *set, uint32_t agent_timeout_s);
