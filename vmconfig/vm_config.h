// Turns a VM's configuration text into its list of disk-like volumes, and
// tells what each drive line of it holds.
#pragma once
#include <cstddef>
#include <cstdint>

enum { VM_MAX_VOLUMES = 32 };

struct vm_volume {
    char slot[24];      // scsi0, virtio1, efidisk0, ...
    char storage[128];  // before the first ':'
    char volume[128];   // after it, up to the first ','
    int32_t no_backup;  // the line says backup=0: Proxmox's own backups leave it out
};

struct vm_volume_list {
    vm_volume rows[VM_MAX_VOLUMES];
    uint64_t count;
};

// 1 when key is virtio, scsi, sata, ide, tpmstate or efidisk followed by
// digits only.
int is_disk_slot(const char *key);

// What the value of a drive line holds (key and value trimmed).
enum drive_kind : int32_t {
    DRIVE_OTHER = 0,      // no disk slot, an empty value, or neither a volume nor a
                          // device ("none")
    DRIVE_VOLUME = 1,     // a disk-like volume "storage:volume": the parser lists these
    DRIVE_CDROM = 2,      // a CD-ROM ("media=cdrom"): an ISO image, an empty or the
                          // host's drive
    DRIVE_CLOUDINIT = 3,  // a CD-ROM on a cloud-init volume (vm-<vmid>-cloudinit)
    DRIVE_DEVICE = 4,     // a block device of the host passed through ("/dev/...")
};

// The kind of the line "key: value". A CD-ROM is a value whose
// comma-separated options include "media=cdrom"; a value longer than 511
// characters is not searched for it.
int32_t drive_kind_of(const char *key, const char *value);

// 1 when a line "key: value" (both trimmed) names a disk-like volume
// (drive_kind_of gives DRIVE_VOLUME). The parser lists exactly these.
int is_disk_volume(const char *key, const char *value);

// 1 when the options of a drive value switch backups off: backup=0 (or no,
// off, false, in any case), as Proxmox reads a boolean.
int drive_backup_off(const char *value);

enum : size_t {
    CONFIG_KEY_SIZE = 64,      // keys: at most 63 bytes
    CONFIG_VALUE_SIZE = 1024,  // values: at most 1023 bytes
};

// Splits one line of len bytes (no newline) at its first ':' into key and
// value, both trimmed and cut to fit (CONFIG_KEY_SIZE, CONFIG_VALUE_SIZE
// bytes). Returns 1, or 0 for a line of white space only or without ':'
// (key and value then empty).
int split_config_line(const char *line, size_t len, char *ret_key, char *ret_value);

// Calls visit(key, value, ctx) for every "key: value" line of the main
// section of text (the part before the first line starting with "["), in
// order, both trimmed; keys are cut to 63 and values to 1023 characters.
// Stops at the first visit that returns non-zero and returns that value;
// 0 when every line was visited. A null text has no lines.
typedef int (*config_line_visitor)(const char *key, const char *value, void *ctx);
int for_each_config_line(const char *text, config_line_visitor visit, void *ctx);

// 1 when text has a "key: value" line whose key is written as Proxmox
// writes its keys (lower-case letters, digits, '_' and '-'), as every VM's
// configuration has ("scsi0", "vmgenid"); an empty text or stray bytes,
// even with a colon in them, have none.
int has_config_key_line(const char *text);

int32_t parse_vm_config(const char *text, vm_volume_list *list, char *msg, size_t msg_size);

// The value of the first "key: value" line of the main section (before the
// first "[" line), trimmed, into out (cut to fit). 1 when the key is there,
// 0 when it is not (out is then empty).
int vm_config_value(const char *text, const char *key, char *out, size_t out_size);

// The value of option `name` ("format", "size", ...) among the comma-
// separated options of the drive line of `slot` in the main section of the
// configuration text (the volume reference before the first comma is not
// an option). Returns 1 with the value in out (cut to out_size - 1), 0
// when the slot or the option is not there.
int vm_config_drive_option(const char *text, const char *slot, const char *name, char *out,
                           size_t out_size);
