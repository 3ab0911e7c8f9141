// What the command line hands to one restore run.
#pragma once
#include <cstddef>
#include <cstdint>

enum { RESTORE_MAX_STORAGE_MAP = 32 };

struct storage_map_entry {
    char old_storage[128];
    char new_storage[128];
};

struct restore_options {
    const char *search_dir;           // --search-dir
    const char *job_prefix;           // --job
    const char *requested_vmid;       // --vmid, unparsed, or nullptr
    const char *pve_dir;              // --pve-dir; nullptr or empty means "/etc/pve"
    storage_map_entry storage_map[RESTORE_MAX_STORAGE_MAP];
    uint64_t storage_map_count;
    int32_t keep_network_identity;
    int32_t keep_smbios_uuid;
    int32_t dry_run;
    int32_t list;                     // --list: print the backup sets, restore nothing
    int32_t json;                     // --json: --list as JSON
    int32_t at_given;                 // --at was given
    int64_t at;                       // --at: the last second a chosen backup may be from
    const char *const *forwarded;     // the arguments after the first "--", or nullptr
    int32_t forwarded_count;
};
