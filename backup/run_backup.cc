#include "backup/backup_options.h"
#include "common/log.h"

int32_t run_backup(const backup_options *opts)
{
    log_write(LOG_LEVEL_ERROR, "VM %s: the backup run is not available in this build", opts->vmid);
    return 1;
}
