// One backup of one VM: from its configuration to the summary of its jobs.
#pragma once
#include <cstdint>

#include "backup/backup_options.h"

// One backup of one VM; returns the exit status 0, 1 or 2.
int32_t run_backup(const backup_options *opts);

// Whether the forwarded arguments leave room in the agent's argument vector
// for the "--api-key" pair a profile's api-key adds (the agent gets at most
// AGENT_MAX_FORWARDED of them). False after writing the error to standard
// error: the run must end with status 2 before anything is frozen.
bool api_key_fits(const backup_options *opts);

// Directory of the secret file that carries a literal api-key to the
// agents: "/dev/shm" (memory only, never written to disk). Tests point it
// elsewhere to make its creation fail.
extern const char *secret_file_dir;
