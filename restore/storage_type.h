// The type of a Proxmox storage (lvmthin, lvm, dir, ...), read from the
// cluster's storage.cfg.
#pragma once
#include <cstddef>
#include <cstdint>

// Stores the type of `storage` as "<pve_dir>/storage.cfg" defines it (a
// section header "<type>: <storage>" at the start of a line) in ret_type.
// Returns 0, or -1 (ret_type empty) when the file cannot be read or has no
// such section.
[[nodiscard]] int32_t storage_type(const char *pve_dir, const char *storage, char *ret_type, size_t type_size);
