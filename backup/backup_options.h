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

// Which VMs a run backs up.
enum selection_kind : int32_t {
    SELECT_ONE_VM = 0,  // --vmid
    SELECT_ALL = 1,     // --all: every VM of this node
    SELECT_POOL = 2,    // --pool: the pool's VMs on this node
};

// When a node-wide run mails its summary.
enum mail_policy : int32_t {
    MAIL_ALWAYS = 0,
    MAIL_ON_FAILURE = 1,
};

enum {
    NODE_MAX_EXCLUDED = 1024,  // --exclude VMIDs
    NODE_MAX_JOBS = 64,        // --jobs
    NODE_NAME_MAX = 53,        // --name with --all/--pool: "<name>-<vmid>" fits 63
};

// What a node-wide run (--all or --pool) adds: each selected VM is then
// backed up by a run of its own with the backup_options above, its vmid
// and job prefix filled in.
struct node_options {
    selection_kind selection;                 // SELECT_ONE_VM: no node-wide run
    const char *pool;                         // --pool
    long excluded[NODE_MAX_EXCLUDED];         // --exclude, in the order given
    int32_t excluded_count;
    int32_t jobs;                             // --jobs; 1 when not given
    int32_t json;                             // --json: the summary as JSON on standard output
    const char *mailto;                       // --mailto: addresses separated by commas or blanks
    mail_policy mail_on;                      // --mail-on; MAIL_ALWAYS when not given
    const char *name;                         // --name, or nullptr: prefixes <name>-<vmid>, else vm<vmid>
    char label[64];                           // the run's name in its progress segment and mail
};
