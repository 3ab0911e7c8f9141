// Turns a VM's configuration text into its list of disk-like volumes.
#pragma once
#include <cstddef>
#include <cstdint>

enum { VM_MAX_VOLUMES = 32 };

struct vm_volume {
    char slot[24];      // scsi0, virtio1, ...
    char storage[128];  // before the first ':'
    char volume[128];   // after it, up to the first ','
};

struct vm_volume_list {
    vm_volume rows[VM_MAX_VOLUMES];
    uint64_t count;
};

// 1 when key is virtio, scsi, sata, ide or tpmstate followed by digits only.
int is_disk_slot(const char *key);

// 1 when a line "key: value" (both trimmed) names a disk-like volume: a
// disk slot whose value is a "storage:volume" reference and not a CD-ROM
// ("media=cdrom" among its comma-separated options; a value longer than
// 511 characters is not searched for it). The parser lists exactly these.
int is_disk_volume(const char *key, const char *value);

int32_t parse_vm_config(const char *text, vm_volume_list *list, char *msg, size_t msg_size);

// The value of the first "key: value" line of the main section (before the
// first "[" line), trimmed, into out (cut to fit). 1 when the key is there,
// 0 when it is not (out is then empty).
int vm_config_value(const char *text, const char *key, char *out, size_t out_size);
