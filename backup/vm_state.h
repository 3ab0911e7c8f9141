// What a backup does about the guest's file systems. The VM's run state
// (qm status), its guest-agent setting and template flag (its
// configuration) and the consistency policy decide between a freeze by the
// guest agent, snapshots without a freeze, and refusing the run. Also the
// refusal of a VM that Proxmox has locked.
#pragma once
#include <cstddef>
#include <cstdint>

#include "backup/backup_options.h"

enum : size_t {
    RUN_STATE_SIZE = 32,          // QEMU's run state word, at most 31 characters
    CONSISTENCY_REASON_SIZE = 512,
};

// Time limit of qm status in seconds (30); tests shorten it.
extern uint32_t vm_status_time_limit;

// The VM configuration's `agent:` property string: "1", "0",
// "enabled=1,freeze-fs=0", "1,freeze-fs-on-backup=0", ...
struct agent_setting {
    int32_t enabled;    // the default key enabled (or a bare value) is true
    int32_t freeze_fs;  // 0 when freeze-fs, freeze-fs-on-backup or guest-fsfreeze is false
};

// Reads the property string (nullptr or empty: no agent). Booleans are
// 1/0, yes/no, on/off, true/false in any letter case; a value that is none
// of them leaves the default (not enabled; freeze on).
void parse_agent_setting(const char *value, agent_setting *out);

// "fs", "try" or "crash": 0, or -1 for any other text.
int32_t parse_consistency_policy(const char *text, consistency_policy *out);

// The state word of qm status's output ("status: <state>"), ignoring Perl's
// locale warnings before it. 0, or -1 when the output is anything else.
int32_t parse_qm_status(const char *output, char *state, size_t state_size);

// Runs qm status <vmid>. 0 with the state word, or -1 with the reason in
// msg: qm missing, failing, timing out, or printing something unexpected.
int32_t read_run_state(const char *vmid, char *state, size_t state_size, char *msg, size_t msg_size);

// 0 when the configuration has no lock: line; otherwise -1 with
// "VM <id> is locked (<lock>): try again when that operation has finished".
int32_t check_vm_unlocked(const char *vmid, const char *config_text, char *msg, size_t msg_size);

enum freeze_decision : int32_t {
    DECIDE_FREEZE = 0,   // the guest agent freezes the file systems around the snapshots
    DECIDE_STOPPED = 1,  // no QEMU runs (stopped VM, template): consistent without a freeze
    DECIDE_CRASH = 2,    // snapshots at once while the VM runs: crash-consistent
    DECIDE_REFUSE = 3,   // --consistency fs, and the guest cannot be frozen
};

// The outcome of the decision, and what the log says about it.
struct freeze_plan {
    freeze_decision decision;
    char reason[CONSISTENCY_REASON_SIZE];  // how the consistency came about, or why refused
    uint32_t note_level;                   // level of the note; the note is empty when none
    char note[CONSISTENCY_REASON_SIZE + 128];
};

// The decision for a VM with this configuration text and run state under
// the policy. Pure: runs nothing, logs nothing.
void decide_consistency(const char *vmid, const char *config_text, const char *run_state,
                        consistency_policy policy, freeze_plan *plan);

// The step before the snapshot set: reads the run state, decides, and logs
// the plan's note. 0 with the plan (never DECIDE_REFUSE), or -1 with the
// message for the run's ERROR line (nothing on the host was changed).
int32_t plan_consistency(const backup_options *opts, const char *config_text, freeze_plan *plan, char *msg,
                         size_t msg_size);

// After a freeze that failed (freeze_msg says why; any thaw it needed was
// sent): under --consistency try the plan becomes crash-consistent with a
// WARN and the result is 0; otherwise -1 with the message for the run's
// ERROR line.
int32_t plan_after_failed_freeze(const backup_options *opts, const char *freeze_msg, freeze_plan *plan,
                                 char *msg, size_t msg_size);

// The consistency word of a plan, as the summary, the progress segment and
// the journal show it: "fs", "stopped" or "crash".
const char *consistency_word(const freeze_plan *plan);
