// Which backup set a restore takes, and the list of them an operator can
// choose from: each set's configuration job is restored to see what the
// backup meant to hold, and a set is complete when every disk the backup
// meant to take has its run in the set.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "restore/backup_sets.h"
#include "restore/disk_plan.h"
#include "restore/restore_options.h"
#include "restore/restore_vm.h"
#include "vmconfig/backup_record.h"
#include "vmconfig/vm_config.h"

// One backup set with its configuration read back.
struct opened_set {
    const backup_job_set *set;
    char config_text[RESTORE_CONFIG_SIZE];
    vm_volume_list volumes;
    backup_record record;
    disk_plan plan;
};

// Restores the configuration job of `set` (through vlt_restore into a
// temporary file that is gone afterwards), parses it and plans its disks
// into *ret. Returns 0, or -1 with the reason in err.
[[nodiscard]] int32_t open_backup_set(const restore_options *opts, const backup_job_set *set, opened_set *ret,
                                      char *err, size_t err_size);

// Opens the newest complete set of the catalog that is not newer than
// --at (when given) into *ret. Says at WARN when newer sets were passed
// over as incomplete and when the directory holds the prefix's backups of
// more than one host. Returns 0, or -1 with the reason in err.
[[nodiscard]] int32_t choose_backup_set(const restore_options *opts, const backup_catalog *cat, opened_set *ret,
                                        char *err, size_t err_size);

// --list: every set of the prefix not newer than --at, newest first, one
// line each (or, with --json, one JSON array) on out. Returns 0, or -1 with
// the reason in err.
[[nodiscard]] int32_t list_backup_sets(const restore_options *opts, FILE *out, char *err, size_t err_size);
