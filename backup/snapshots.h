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
};

// Shared between the main flow and cleanup_on_signal. The main flow changes
// it only with plain stores, setting a flag after the thing it stands for
// exists and clearing it before undoing that thing.
struct cleanup_registry {
    volatile int32_t agent_pid;           // 0 when no agent runs
    removal_slot secret_file;             // armed while a secret file exists
    volatile int32_t frozen;              // the guest is (or may be becoming) frozen
    char thaw_vmid[64];
    const char *thaw_argv[6];             // qm guest cmd <vmid> fsfreeze-thaw
    volatile int32_t created[VM_MAX_VOLUMES];
    char snapshot_names[VM_MAX_VOLUMES][300];  // "vg/lv" of snapshot i
    volatile int32_t creating;            // i + 1 while snapshot i is being created, else 0
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

int32_t create_snapshot_set(const char *vmid, const resolved_disk_list *disks,
                            const freeze_params *params, snapshot_set *set, char *msg,
                            size_t msg_size);

int32_t create_snapshot(const lv_info *origin, const char *tag, const char *size_text,
                        char *vg_name, size_t vg_size, char *snap_name, size_t snap_size,
                        char *device_path, size_t device_size, char *msg, size_t msg_size);

int32_t remove_snapshot(const char *vg_name, const char *snap_name, char *msg, size_t msg_size);

// command is "fsfreeze-freeze" or "fsfreeze-thaw".
int32_t guest_fsfreeze(const char *vmid, const char *command, uint32_t time_limit, char *msg,
                       size_t msg_size);

// Turns a --snapshot-size value into "-L"/"-l" and a value ("512m",
// "10%ORIGIN"); 0 or -1.
int32_t parse_snapshot_size(const char *text, const char **option, char *value, size_t value_size);

// The first 100 characters of the LV name followed by "_vltsnap".
void snapshot_lv_name(const char *lv_name, char *out, size_t out_size);

void release_signal_handlers();
void cleanup_on_signal(int sig);
