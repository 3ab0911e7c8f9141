// New volumes for a restore through pvesm: allocation, device path and the
// roll-back that frees them again when the restore fails.
#pragma once
#include <cstddef>
#include <cstdint>

enum : size_t {
    ALLOC_NAME_SIZE = 128,      // storage and volume names: at most 127 characters
    ALLOC_VOLID_SIZE = 300,     // "<storage>:<volume>"
    ALLOC_SIZE_TEXT_SIZE = 32,  // size argument of pvesm alloc
    ALLOC_MESSAGE_SIZE = 256,   // failure texts of the allocation steps
    DEVICE_PATH_SIZE = 512,     // device paths: at most 511 characters
};

enum { ALLOC_MAX_VOLUMES = 32 };

// One volume that pvesm alloc created and named.
struct allocated_volume {
    char storage[ALLOC_NAME_SIZE];
    char volume[ALLOC_NAME_SIZE];
};

// The volumes of one restore, in allocation order.
struct allocation_list {
    allocated_volume rows[ALLOC_MAX_VOLUMES];
    uint64_t count;
};

// Writes the size argument of pvesm alloc: the byte count in KiB, rounded
// up, at least 1, as bare decimal digits (pvesm reads a bare number as KiB
// and refuses a K suffix). Returns 0, or -1 when it does not fit buf.
[[nodiscard]] int32_t format_alloc_size(uint64_t bytes, char *buf, size_t buf_size);

// Takes the new volume id from the "successfully created '<storage>:<volume>'"
// line of pvesm alloc. A volume id with an empty storage or volume, white
// space, a control character, ',' or '=' is malformed. Returns 0 with both
// names, or -1 with a message; both name buffers and err are emptied first.
[[nodiscard]] int32_t parse_alloc_output(const char *output, char *ret_storage,
                                         size_t storage_size, char *ret_volume,
                                         size_t volume_size, char *err, size_t err_size);

// Runs "pvesm alloc <storage> <vmid> <name> <size_text>" (name "" lets
// pvesm pick the next free vm-<vmid>-disk-<n>) and appends the new volume
// to list at once. Returns 0, or -1 with the failure text (at most 255
// characters) in err. A pvesm alloc that timed out or was killed may have
// created the volume all the same: when its output names it, it joins the
// list (so the roll-back frees it); otherwise the volumes of the names it
// uses are looked for, and each one that exists and is not in the list is
// named in a WARN.
[[nodiscard]] int32_t allocate_volume(const char *storage, int64_t vmid, const char *name,
                                      const char *size_text, allocation_list *list, char *err,
                                      size_t err_size);

// Time limit of pvesm alloc in seconds (60); tests shorten it.
extern uint32_t alloc_time_limit_seconds;

// Runs "pvesm path <storage>:<volume>" and stores the device path (at most
// 511 characters) in ret_path. Returns 0, or -1 with the failure text.
[[nodiscard]] int32_t volume_device_path(const allocated_volume *vol, char *ret_path,
                                         size_t path_size, char *err, size_t err_size);

// Frees every volume of the list with pvesm free, first allocated first. A
// volume that could not be freed is logged at WARN; the next one is still
// tried. Reports nothing.
void rollback_allocations(const allocated_volume *list, uint64_t count);
