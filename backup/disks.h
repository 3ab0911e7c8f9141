// Resolution of a VM's disks to the LVM logical volumes behind them.
#pragma once
#include <cstddef>
#include <cstdint>

#include "vmconfig/vm_config.h"

// One line of the lvs listing.
struct lv_info {
    char vg_name[128];
    char lv_name[128];
    char attr[16];      // e.g. -wi-ao---- or Vwi-aotz--
    char segtype[32];   // linear, thin, ...
    char origin[128];   // empty unless the LV is a snapshot
    uint64_t size;      // bytes
    int64_t kernel_major;  // -1 when inactive (empty field)
    int64_t kernel_minor;
};

// 0: an LVM logical volume (lv is filled); 1: not one; 2: the lookup failed.
typedef int32_t resolution_status;
enum : int32_t {
    RESOLVED_LVM = 0,
    RESOLVED_NOT_LVM = 1,
    RESOLVED_FAILED = 2,
};

struct resolved_disk {
    vm_volume volume;
    char device_path[300];
    lv_info lv;
    resolution_status status;
    char message[256];
};

struct resolved_disk_list {
    resolved_disk rows[VM_MAX_VOLUMES];
    uint64_t count;
};

// True when the LV is a thin volume (attribute V, or a thin segment type).
bool is_thin_lv(const lv_info *lv);

// True when the LV is active: it has kernel device numbers.
bool is_active_lv(const lv_info *lv);

// The most an lvs listing may hold; a longer one is refused, never cut.
extern size_t lvs_listing_max_bytes;  // 64 MiB

class captured_text;
// Runs lvs with these arguments and reads its whole listing into out.
// Returns 0; 1 when lvs is not installed (msg says so); -1 when it failed
// or its listing was longer than lvs_listing_max_bytes (msg says why).
int32_t read_lvs_listing(const char *const *argv, captured_text *out, char *msg, size_t msg_size);

// Asks pvesm for each volume's device and finds its LV. Returns 0 when every
// disk was examined (each row carries its own status), -1 when pvesm cannot
// be run at all.
int32_t resolve_disks(const vm_volume_list *selection, resolved_disk_list *list, char *msg,
                      size_t msg_size);

// True when there is at least one disk and every one resolved to an LV;
// otherwise false with every problem listed in msg.
bool require_all_lvm(const resolved_disk_list *list, char *msg, size_t msg_size);

// 0 found, 1 not an LVM logical volume, -1 lookup failed. A path that does
// not exist is looked up by its names, /dev/<vg>/<lv>: an inactive LV has
// no device node.
int32_t find_lv_by_device(const char *device_path, lv_info *out, char *msg, size_t msg_size);

// One line of the lvs listing; 0 or -1.
int32_t parse_lvs_line(const char *line, lv_info *out);
