// What programs of the suite that ended abnormally (SIGKILL, a crash, a
// power loss of a host whose /dev/shm survived) left behind, removed by
// any later run of either program:
//   - /dev/shm/vlt_proxmox_key.<pid>.XXXXXX, a literal api-key's secret
//     file, and /dev/shm/vlt_progress.<pid>, a progress segment: the owner
//     is the process the name carries;
//   - /tmp/vlt_proxmox_vmconfig.XXXXXX, the configuration job's temporary
//     file, and a secret file, when the state file of their backup run
//     (common/run_state.h) names them: the owner is that run.
// A file is removed only when its owner provably no longer runs (a pid
// that is gone, or that a later process got, by the start time the state
// file or the segment records); a file whose owner is alive or cannot be
// known is never touched, nor is a file that is not a plain file of ours.
// Each removal is one WARN line.
#pragma once
#include <sys/types.h>

// Where the secret files and progress segments are; "/dev/shm".
extern const char *stale_shm_dir;

void sweep_stale_files();

// Removes path when it is a plain file of ours and logs "<what> <path>
// was left behind by process <pid>, which ended abnormally: removed".
// True when it was removed.
bool remove_left_file(const char *what, const char *path, pid_t owner);
