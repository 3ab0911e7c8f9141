// The line a backup adds to the configuration text it stores: which disks
// it took and which of them failed. The restore reads it back to tell a
// disk that is missing from a backup (its job failed) from one the backup
// left out on purpose (--disk, backup=0).
//
//     #vlt_proxmox_backup: disks=efidisk0,scsi0,scsi1 failed=scsi1
//
// The leading "#" makes it a comment line for Proxmox VE (its configuration
// files take such lines into the VM's description), so a copy of the text
// installed by hand stays a valid configuration. Backups made before the
// line existed have none.
#pragma once
#include <cstddef>
#include <cstdint>

#include "vmconfig/vm_config.h"

// The key of the line ("#vlt_proxmox_backup").
extern const char *const backup_record_key;

struct backup_record {
    int32_t found;                     // the text has the line
    char slots[VM_MAX_VOLUMES][24];    // the disks the backup took, in its order
    int32_t failed[VM_MAX_VOLUMES];    // 1 when that disk's job failed
    uint64_t count;
};

// Appends the line for the disks `slots` (count of them, failed[i] set for
// the failed ones) to the terminated text in buf (buf_size bytes), after a
// newline when the text does not end with one. Returns 0, or -1 when it does
// not fit (buf is then unchanged).
[[nodiscard]] int32_t append_backup_record(char *buf, size_t buf_size, const char *const *slots,
                                           const int32_t *failed, size_t count);

// Reads the line from the main section of a configuration text into
// *ret_record (found 0 when there is none; slot names that are not disk
// slots, and those past 32, are left out).
void read_backup_record(const char *text, backup_record *ret_record);

// The record's row of slot, or -1.
int32_t backup_record_find(const backup_record *record, const char *slot);
