// What becomes of each disk of a backed-up configuration when one backup
// set is restored: its run is restored into a new volume, or the disk was
// left out by that backup (its line is dropped), or the set lacks a disk
// the backup meant to take (the set is incomplete).
#pragma once
#include <cstddef>
#include <cstdint>

#include "restore/backup_sets.h"
#include "vmconfig/backup_record.h"
#include "vmconfig/vm_config.h"

enum disk_fate : int32_t {
    DISK_RESTORE = 0,          // its run in the set goes into a new volume
    DISK_MISSING = 1,          // the backup meant to take it and the set has no run of it
    DISK_LEFT_OUT = 2,         // the backup left it out (--disk): its line is dropped
    DISK_BACKUP_OFF = 3,       // backup=0, so the backup left it out: its line is dropped
    DISK_NOT_BACKED_UP = 4,    // an EFI disk of a backup made before they were backed up
};

struct disk_plan {
    int32_t fate[VM_MAX_VOLUMES];          // per volume of the list
    const job_slot *run[VM_MAX_VOLUMES];   // DISK_RESTORE: the run to restore
    uint64_t restore_count;
    uint64_t missing_count;
    uint64_t restore_bytes;                // source sizes of the runs to restore
};

// Plans every volume of the configuration restored from `set`. With the
// backup's record, the disks it names are expected (one whose job failed
// is missing even when the set holds a run of that slot: such a run is
// another backup's), and the others were left out. Without one (a backup
// made before the record existed) every disk but an EFI disk is expected.
void plan_disks(const vm_volume_list *volumes, const backup_record *record, const backup_job_set *set,
                disk_plan *ret_plan);

// The slots of the volumes whose fate is `fate`, joined by ",", into buf;
// "-" when there is none.
void plan_slots(const vm_volume_list *volumes, const disk_plan *plan, int32_t fate, char *buf, size_t size);
