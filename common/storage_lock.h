// Proxmox's lock of a storage: flock on <lock dir>/pve-storage-<storeid>,
// taken by pvesm alloc and free and by Proxmox's own snapshots around their
// changes of the storage's volumes. Holding it around our lvcreate,
// lvremove and lvchange calls keeps our changes of the volume group apart
// from theirs.
//
// Usage:
//     storage_locks locks;
//     const char *ids[] = {"local-lvm", "thick"};
//     if (locks.take(ids, 2, msg, sizeof msg) != 0) ...;   // msg says why
//     ... lvcreate ...
//     // released at the end of the scope
//
// A lock the process already holds is not taken again (flock locks of two
// opens of one file exclude each other, also within one process), so a
// step may take the locks of a storage its caller holds.
#pragma once
#include <cstddef>
#include <cstdint>

// The lock directory: this when not null, else $VLT_PVE_LOCK_DIR when set
// and not empty, else /var/lock/pve-manager. Tests point it elsewhere.
extern const char *pve_lock_dir;
// How long take() waits for the locks, in all. 60 s; tests shorten it.
extern uint32_t storage_lock_wait_seconds;

enum { STORAGE_LOCK_MAX = 32, STORAGE_ID_SIZE = 128 };

class storage_locks {
public:
    storage_locks() = default;
    ~storage_locks() { release(); }
    storage_locks(const storage_locks &) = delete;
    storage_locks &operator=(const storage_locks &) = delete;

    // Takes the lock of every storage named (each once, in the byte order
    // of their ids, so that two processes never wait for each other),
    // waiting at most storage_lock_wait_seconds in all. Returns 0, or -1
    // with the reason in msg and nothing held.
    int32_t take(const char *const *storage_ids, size_t count, char *msg, size_t msg_size);
    // The one storage's lock.
    int32_t take_one(const char *storage_id, char *msg, size_t msg_size);
    // Gives back every lock this owner took.
    void release();

private:
    int32_t slots_[STORAGE_LOCK_MAX];  // indexes into the process's table of held locks
    size_t count_ = 0;
};

// For a signal handler, async-signal-safe: takes the storage's lock unless
// the interrupted main flow holds it, trying for at most `seconds`. Returns
// the descriptor to give to storage_unlock_in_handler, or -1 when nothing
// was taken (held already, or not had in time: the caller goes on without).
int storage_lock_in_handler(const char *storage_id, uint32_t seconds);
void storage_unlock_in_handler(int fd);
