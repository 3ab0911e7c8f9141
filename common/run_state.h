// The state file of a backup run, one per VM in vlt_proxmox's run
// directory (common/run_dir.h): "<vmid>.state", written before the guest is
// frozen and removed once the run has undone everything it did. A file
// that is still there when the next run of the VM takes its lock tells it
// what an earlier run left: a guest that may be frozen, the snapshots the
// run made, a child process that may still run, and the temporary files it
// made. Any later run of either program may read it to learn who owns a
// temporary file.
//
// The file is text, one item per line, ending with "end":
//     vlt_proxmox run state 1
//     vmid 101
//     run <pid> <start ticks>
//     frozen 0|1
//     snapshot <vg>/<lv>_vltsnap          (up to 32)
//     child vlt_agent|qm <pid> <start ticks>
//     secret /dev/shm/vlt_proxmox_key.<pid>.XXXXXX
//     vmconfig /tmp/vlt_proxmox_vmconfig.XXXXXX
//     end
// Start ticks (the 22nd field of /proc/<pid>/stat) tell the process apart
// from a later one that got the same pid.
#pragma once
#include <limits.h>

#include <cstddef>
#include <cstdint>

enum { RUN_STATE_MAX_SNAPSHOTS = 32 };

struct run_state {
    long vmid;
    int32_t pid;                  // the run
    uint64_t start_ticks;
    int32_t frozen;               // a freeze was sent and no thaw confirmed since
    uint32_t snapshot_count;
    char snapshots[RUN_STATE_MAX_SNAPSHOTS][260];  // "vg/lv" of each snapshot the run makes
    char child_kind[16];          // "vlt_agent" or "qm"; empty when none
    int32_t child_pid;
    uint64_t child_ticks;
    char secret_file[PATH_MAX];   // empty when none
    char vmconfig_file[PATH_MAX]; // empty when none
};

// "<vmid>.state"
void run_state_name(long vmid, char *out, size_t out_size);

// The file's text; false when it does not fit out_size.
bool run_state_format(const run_state *state, char *out, size_t out_size);
// Reads the text strictly: every line known, each value well formed (a
// snapshot "vg/lv" ending in "_vltsnap", a secret or configuration file
// named as the programs name them), "end" last. 0, or -1 with the reason.
int32_t run_state_parse(const char *text, run_state *state, char *msg, size_t msg_size);

// Replaces the VM's state file in the directory atomically (a new file,
// mode 0600, renamed over the old one). 0, or -1 with the reason.
int32_t run_state_write(int dirfd, const run_state *state, char *msg, size_t msg_size);
// Reads the VM's state file: 0 read, 1 there is none, -1 it cannot be used
// (unreadable, not a plain file of ours, malformed, another VM's) with the
// reason in msg.
int32_t run_state_read(int dirfd, long vmid, run_state *state, char *msg, size_t msg_size);
// Reads a state file by its name in the directory (the sweep's way).
int32_t run_state_read_name(int dirfd, const char *name, run_state *state, char *msg, size_t msg_size);
// Removes the VM's state file; 0 (also when there was none) or -1.
int32_t run_state_remove(int dirfd, long vmid, char *msg, size_t msg_size);

// True for "vg/lv" of a snapshot as vlt_proxmox names them (LVM's name
// characters, the LV ending in "_vltsnap").
bool run_state_snapshot_name_ok(const char *name);
