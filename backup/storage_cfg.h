// The storage definitions of the Proxmox cluster file system
// (<pve-dir>/storage.cfg): which storages are shared, their volume groups
// and thin pools. Text written by Proxmox and read as it comes: every
// line is checked, nothing is guessed.
//
// The file is a list of sections, each a header "<type>: <storage id>"
// followed by indented "<property> <value>" lines and ended by an empty
// line; lines starting with "#" are comments:
//
//     lvmthin: local-lvm
//     <TAB>thinpool data
//     <TAB>vgname pve
//     <TAB>content images,rootdir
//
//     lvm: san
//     <TAB>vgname vg_san
//     <TAB>shared 1
#pragma once
#include <cstddef>
#include <cstdint>

enum {
    STORAGE_CFG_MAX_STORAGES = 256,
    STORAGE_CFG_MAX_BYTES = 1 << 20,  // a larger file is refused
    STORAGE_CFG_NAME_SIZE = 128,
    STORAGE_CFG_TYPE_SIZE = 32,
};

struct storage_def {
    char id[STORAGE_CFG_NAME_SIZE];
    char type[STORAGE_CFG_TYPE_SIZE];  // lvm, lvmthin, dir, ...
    int32_t shared;                    // 1 with "shared 1" (or yes, on, true)
    char vgname[STORAGE_CFG_NAME_SIZE];
    char thinpool[STORAGE_CFG_NAME_SIZE];
};

// About 100 KB: keep it on the heap.
struct storage_cfg {
    storage_def rows[STORAGE_CFG_MAX_STORAGES];
    uint64_t count;
};

// Parses len bytes of storage.cfg text (a NUL byte among them is an error).
// Returns 0, or -1 with "line N: ..." in msg.
[[nodiscard]] int32_t parse_storage_cfg(const char *text, size_t len, storage_cfg *cfg, char *msg,
                                        size_t msg_size);

// Reads and parses the file. Returns 0; 1 when the file does not exist
// (cfg empty, msg says so); -1 when it cannot be read or parsed (msg says
// why, naming the file).
[[nodiscard]] int32_t load_storage_cfg(const char *path, storage_cfg *cfg, char *msg, size_t msg_size);

// The storage of that id, or nullptr.
const storage_def *find_storage_def(const storage_cfg *cfg, const char *id);
