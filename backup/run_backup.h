// One backup of one VM (run_backup itself is declared with the options it
// takes, in backup/backup_options.h).
#pragma once

#include "backup/backup_options.h"

// Directory of the secret file that carries a literal api-key to the
// agents: "/dev/shm" (memory only, never written to disk). Tests point it
// elsewhere to make its creation fail.
extern const char *secret_file_dir;
