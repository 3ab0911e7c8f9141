// What the command line (and a profile) hand to one backup run.
#pragma once
#include <cstdint>

enum { BACKUP_MAX_SELECTED = 32 };

// --consistency: what a running VM that cannot be frozen gets.
enum consistency_policy : int32_t {
    CONSISTENCY_FS = 0,     // frozen by the guest agent, or the run fails (the default)
    CONSISTENCY_TRY = 1,    // frozen when possible, else crash-consistent with a warning
    CONSISTENCY_CRASH = 2,  // never call the guest agent
};

struct backup_options {
    const char *vmid;                         // as given, not checked to be numeric
    const char *slots[BACKUP_MAX_SELECTED];   // --disk values in command-line order
    int32_t slot_count;                       // 0: every disk-like volume
    char job_prefix[64];                      // --name, or "vm" and the vmid; cut to 63
    const char *snapshot_size;                // --snapshot-size, or nullptr
    int32_t freeze_timeout;                   // seconds; 0 when not given (60 is used)
    int32_t no_vmconfig;                      // --no-vmconfig given
    const char **forwarded;                   // appended to every vlt_agent command line
    int32_t forwarded_count;
    const char *api_key;                      // the profile's api-key value, or nullptr
    consistency_policy consistency;           // --consistency; CONSISTENCY_FS when not given
    const char *pve_dir;                      // --pve-dir, or nullptr ("/etc/pve")
    uint32_t pool_limit;                      // --pool-limit percent; 0 when not given (90)
    uint32_t agent_timeout;                   // --agent-timeout seconds; 0: none
};
