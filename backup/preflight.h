// Checks of the selected disks before anything on the host is changed:
// volumes whose bytes are not the disk (qcow2 images on LVM), and disks on
// a storage that other cluster nodes change too (shared LVM).
#pragma once
#include <cstddef>
#include <cstdint>

#include "backup/disks.h"
#include "vmconfig/vm_config.h"

// Refuses every selected volume that is not a raw image: a volume name
// ending in ".qcow2", or a drive line with a format= other than raw.
// Returns 0, or -1 with every refused slot in msg, joined by "; ".
int32_t check_raw_volumes(const char *config_text, const vm_volume_list *selection, char *msg,
                          size_t msg_size);

// Looks every resolved disk's storage up in <pve_dir>/storage.cfg and
// refuses a shared one. Returns 0 (go on); 1 when storage.cfg does not
// exist (go on; msg is the warning that the check was skipped); -1 when
// the file cannot be read or parsed, a storage is missing from it or is
// shared (msg says which, every disk's problem joined by "; ").
int32_t check_storage_definitions(const char *pve_dir, const resolved_disk_list *disks, char *msg,
                                  size_t msg_size);
