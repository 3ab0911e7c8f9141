// Activating snapshots of inactive origins after the thaw, and giving
// every snapshot up under its storage's lock with its origin deactivated
// again when the run activated it.
#include "backup/activation.h"

#include <cstdio>
#include <cstring>

#include "common/child.h"
#include "common/log.h"
#include "common/runner.h"
#include "common/storage_lock.h"
#include "common/text.h"

snapshot_origins g_snapshot_origins;
uint32_t handler_lock_seconds = 10;

namespace {

// Runs lvchange with one activation word on vg/lv; 0, or -1 with its output.
int32_t run_lvchange(const char *activation, const char *name, char *msg, size_t msg_size)
{
    const char *argv[] = {"lvchange", activation, name, nullptr};
    char output[1024];
    command_result result;
    if (run_command(argv, 60, output, sizeof output, &result) == 0 && result.exit_code == 0)
        return 0;
    trim_trailing_space(output);
    put_text(msg, msg_size, "lvchange %s %s failed: %.400s", activation, name,
             result.exit_code == 127 ? "lvchange is not installed"
                                     : output[0] != '\0' ? output : "unknown error");
    return -1;
}

// The storage's lock for snapshot i's later lvremove or lvchange.
void lock_or_warn(storage_locks *lock, size_t index)
{
    lock_storage_or_warn(lock, g_snapshot_origins.storage[index]);
}

// Deactivates the origin of snapshot i when the run activated it.
void deactivate_origin(size_t index)
{
    if (!g_snapshot_origins.activated[index])
        return;
    g_snapshot_origins.activated[index] = 0;
    const char *origin = g_snapshot_origins.origin[index];
    char why[512];
    if (run_lvchange("-an", origin, why, sizeof why) != 0)
        log_write(LOG_LEVEL_WARN,
                  "%s was activated for the backup and is still active (%s): deactivate it with "
                  "'lvchange -an %s' unless its VM runs now",
                  origin, why, origin);
}

}  // namespace

void lock_storage_or_warn(storage_locks *lock, const char *storage)
{
    if (storage == nullptr || storage[0] == '\0')
        return;  // a set made without storages (tests of the parts)
    char why[512];
    if (lock->take_one(storage, why, sizeof why) != 0)
        log_write(LOG_LEVEL_WARN, "%s: going on without the lock", why);
}

void note_snapshot_origin(size_t index, const char *storage, const lv_info *origin)
{
    if (index >= VM_MAX_VOLUMES)
        return;
    g_snapshot_origins.activated[index] = 0;
    put_text(g_snapshot_origins.storage[index], sizeof g_snapshot_origins.storage[index], "%s", storage);
    put_text(g_snapshot_origins.origin[index], sizeof g_snapshot_origins.origin[index], "%s/%s", origin->vg_name,
             origin->lv_name);
}

bool snapshot_comes_up_inactive(const lv_info *origin)
{
    return !is_thin_lv(origin) && !is_active_lv(origin);
}

int32_t activate_new_snapshots(const resolved_disk_list *disks, snapshot_set *set, char *msg, size_t msg_size)
{
    for (uint64_t i = 0; i < set->count && i < VM_MAX_VOLUMES; i++) {
        if (!snapshot_comes_up_inactive(&disks->rows[i].lv))
            continue;
        snapshot_entry &entry = set->rows[i];
        char name[300];
        put_text(name, sizeof name, "%s/%s", entry.vg_name, entry.snapshot_lv_name);
        storage_locks lock;
        lock_or_warn(&lock, i);
        // The origin comes up with the snapshot: from here on it is ours
        // to deactivate again, also when the command is interrupted.
        g_snapshot_origins.activated[i] = 1;
        char why[512] = "";
        if (run_lvchange("-ay", name, why, sizeof why) != 0 ||
            wait_for_snapshot_device(entry.vg_name, entry.snapshot_lv_name, entry.device_path,
                                     sizeof entry.device_path) != 0) {
            if (why[0] == '\0')
                put_text(why, sizeof why, "the snapshot device of %s did not appear", name);
            put_text(msg, msg_size, "could not activate the snapshot of %s (%s): %s", entry.volume.slot,
                     entry.volume.volume, why);
            return -1;
        }
        log_write(LOG_LEVEL_INFO, "disk %s: %s is inactive: activated with its snapshot until the snapshot is removed",
                  entry.volume.slot, g_snapshot_origins.origin[i]);
    }
    return 0;
}

int32_t release_snapshot(size_t index, const snapshot_entry &entry, char *msg, size_t msg_size)
{
    storage_locks lock;
    lock_or_warn(&lock, index);
    // A signal that comes while lvremove runs (systemd stops the whole
    // group) still sees the snapshot: the handler removes it once the
    // command has ended.
    g_cleanup.removing = static_cast<int32_t>(index) + 1;
    int32_t removed = remove_snapshot(entry.vg_name, entry.snapshot_lv_name, msg, msg_size);
    g_cleanup.removing = 0;
    deactivate_origin(index);
    return removed;
}

namespace {

// Deactivates the origin of snapshot i when it is still marked activated.
// Async-signal-safe.
void deactivate_in_handler(size_t index)
{
    if (!g_snapshot_origins.activated[index])
        return;
    g_snapshot_origins.activated[index] = 0;
    const char *argv[] = {"lvchange", "-an", g_snapshot_origins.origin[index], nullptr};
    (void)run_in_handler(argv, 120);
}

}  // namespace

int32_t release_snapshot_in_handler(size_t index, const char *snapshot_name)
{
    if (index >= VM_MAX_VOLUMES)
        return -1;
    int lock = storage_lock_in_handler(g_snapshot_origins.storage[index], handler_lock_seconds);
    const char *remove_argv[] = {"lvremove", "-f", "-y", snapshot_name, nullptr};
    int32_t removed = run_in_handler(remove_argv, 120);
    deactivate_in_handler(index);
    storage_unlock_in_handler(lock);
    return removed;
}

void deactivate_origins_in_handler()
{
    for (size_t i = 0; i < VM_MAX_VOLUMES; i++) {
        if (!g_snapshot_origins.activated[i])
            continue;
        int lock = storage_lock_in_handler(g_snapshot_origins.storage[i], handler_lock_seconds);
        deactivate_in_handler(i);
        storage_unlock_in_handler(lock);
    }
}
