// The vlt_agent runs of a backup: one per snapshot and one for the VM's
// configuration text.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

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

// Writes the configuration text to a temporary file and runs the agent on it.
int32_t run_vmconfig_job(const char *config_text, const char *job_name,
                         const char *const *forwarded, int32_t forwarded_count, char *msg,
                         size_t msg_size);
