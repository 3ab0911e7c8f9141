// The vlt_agent runs of a backup: one per snapshot and one for the VM's
// configuration text.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "backup/agent_wait.h"
#include "backup/snapshots.h"

enum { AGENT_MAX_FORWARDED = 120 };

// How the agent's process is created: fork, unless a test needs it to fail.
extern pid_t (*agent_fork)();

// Runs the agent on snapshot `index` of the set, then removes that snapshot
// whatever the agent's outcome. 0 when the agent exited 0 and the snapshot
// is gone; -1 with the reason otherwise.
int32_t run_disk_job(const snapshot_set *set, size_t index, const char *job_name,
                     const char *const *forwarded, int32_t forwarded_count, char *msg,
                     size_t msg_size);

// run_disk_job under limits: an agent that runs past its time limit or
// that limits.check stops is stopped (SIGTERM, SIGKILL after the grace
// time) and the disk fails; *stop_run is set when the check wants the
// whole backup to end.
int32_t run_disk_job_limited(const snapshot_set *set, size_t index, const char *job_name,
                             const char *const *forwarded, int32_t forwarded_count,
                             const agent_limits &limits, bool *stop_run, char *msg, size_t msg_size);

// Writes the configuration text to a temporary file and runs the agent on it.
int32_t run_vmconfig_job(const char *config_text, const char *job_name,
                         const char *const *forwarded, int32_t forwarded_count, char *msg,
                         size_t msg_size);
// The same with a time limit for the agent (0: none).
int32_t run_vmconfig_job_limited(const char *config_text, const char *job_name,
                                 const char *const *forwarded, int32_t forwarded_count,
                                 uint32_t time_limit_s, char *msg, size_t msg_size);
