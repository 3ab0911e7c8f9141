// The consistent snapshot set: freeze the guest, snapshot every disk, thaw,
// and the signal handler that undoes all of it when the run is interrupted.
#pragma once
#include <signal.h>

#include <cstddef>
#include <cstdint>

#include "backup/disks.h"
#include "common/temp_file.h"
#include "vmconfig/vm_config.h"

struct freeze_params {
    int32_t freeze_timeout;      // seconds per qm guest cmd call; 0 means 60
    const char *snapshot_size;   // --snapshot-size; absent or empty means "10%"
    const char *tag;             // the job prefix; absent or empty means "vlt_agent"
    int32_t skip_freeze = 0;     // 1: snapshots at once, no guest agent call
};

struct snapshot_entry {
    vm_volume volume;
    char vg_name[128];
    char snapshot_lv_name[128];
    char device_path[300];
};

struct snapshot_set {
    snapshot_entry rows[VM_MAX_VOLUMES];
    uint64_t count;
    double window_seconds;  // freeze to thaw (first to last snapshot without a freeze)
    int32_t freeze_failed;  // the set failed at the freeze: nothing was taken
    int32_t thaw_unconfirmed;  // the guest could not be confirmed thawed: it may be frozen
};

// Shared between the main flow and cleanup_on_signal. The main flow changes
// it only with plain stores, setting a flag after the thing it stands for
// exists and clearing it before undoing that thing.
struct cleanup_registry {
    volatile int32_t agent_pid;           // 0 when no agent runs
    volatile int32_t guest_cmd_pid;       // the qm guest cmd being waited for, 0 when none
    removal_slot secret_file;             // armed while a secret file exists
    removal_slot config_file;             // armed while the configuration job's file exists
    volatile int32_t frozen;              // the guest is (or may be) frozen: not confirmed thawed
    char thaw_vmid[64];
    volatile uint32_t guest_cmd_limit;    // seconds per qm guest cmd
    volatile int32_t created[VM_MAX_VOLUMES];
    char snapshot_names[VM_MAX_VOLUMES][300];  // "vg/lv" of snapshot i
    volatile int32_t creating;            // i + 1 while snapshot i is being created, else 0
    volatile int32_t removing;            // i + 1 while snapshot i is being removed, else 0
    volatile int32_t installed;
    struct sigaction saved[3];            // SIGINT, SIGTERM, SIGHUP before installation
};

extern cleanup_registry g_cleanup;

// Test seams: the pause between lvremove attempts, the pause between checks
// for a new snapshot device, and how many 100 ms polls the signal handler
// gives an agent to end after SIGTERM before it kills it.
extern uint32_t snapshot_retry_delay_ms;      // 1000
extern uint32_t snapshot_device_poll_ms;      // 100
extern uint32_t cleanup_agent_grace_polls;    // 50
// How long a thaw is retried, asking fsfreeze-status in between, until the
// guest reads thawed; and the pause between two tries (milliseconds).
extern uint32_t thaw_confirm_deadline_ms;     // 60000
extern uint32_t thaw_poll_interval_ms;        // 1000

int32_t create_snapshot_set(const char *vmid, const resolved_disk_list *disks,
                            const freeze_params *params, snapshot_set *set, char *msg,
                            size_t msg_size);

int32_t create_snapshot(const lv_info *origin, const char *tag, const char *size_text,
                        char *vg_name, size_t vg_size, char *snap_name, size_t snap_size,
                        char *device_path, size_t device_size, char *msg, size_t msg_size);

int32_t remove_snapshot(const char *vg_name, const char *snap_name, char *msg, size_t msg_size);

// Waits for the node of the active snapshot vg/snap (/dev/<vg>/<snap> or
// under /dev/mapper), settling udev once on the way; 0 with its path, or
// -1 when it did not appear.
int32_t wait_for_snapshot_device(const char *vg_name, const char *snap_name, char *device_path,
                                 size_t device_size);

// command is "fsfreeze-freeze" or "fsfreeze-thaw".
int32_t guest_fsfreeze(const char *vmid, const char *command, uint32_t time_limit, char *msg,
                       size_t msg_size);

// Makes sure the guest is thawed: sends the thaw (first, with thaw_first;
// its success is the confirmation), then asks fsfreeze-status and sends
// the thaw again while it reads frozen, pausing thaw_poll_interval_ms
// while the agent does not answer (it is busy until a late freeze
// completes), until the guest reads thawed or thaw_confirm_deadline_ms
// have passed. A guest whose agent is not configured or that does not run
// cannot be frozen and counts as thawed. 0, with the number of thaws that
// succeeded in *thaws (optional); -1 with the reason.
int32_t thaw_guest_confirmed(const char *vmid, uint32_t time_limit, bool thaw_first, int32_t *thaws,
                             char *msg, size_t msg_size);

// Turns a --snapshot-size value into "-L"/"-l" and a value ("512m",
// "10%ORIGIN"); 0 or -1.
int32_t parse_snapshot_size(const char *text, const char **option, char *value, size_t value_size);

// The first 100 characters of the LV name followed by "_vltsnap".
void snapshot_lv_name(const char *lv_name, char *out, size_t out_size);

void release_signal_handlers();
void cleanup_on_signal(int sig);
