// The backups of one job prefix in a local directory, told apart by their
// run headers alone (job name, creation time, host name).
//
// A backup writes one run per disk, one disk after the other, and the run
// of its configuration job last. So a backup set is one configuration run
// and, for every disk slot, the newest run of that slot's job that was
// written on the same host after the previous configuration run of that
// host and not after this one. A disk run is stamped with the time it
// started; when none of a slot's runs falls in that span, the oldest one
// at most set_skew_seconds after the configuration run counts too: a clock
// set back by a few seconds during the backup does not split it. Runs
// written after the newest configuration run (a backup still under way)
// belong to no set, and runs of another host are never mixed in.
//
//     backup_catalog cat;
//     if (find_backup_sets(dir, "vm101", &cat, err, sizeof err) != 0) ... err
//     for (uint64_t i = 0; i < cat.count; i++) ... cat.sets[i], newest first
//     free_backup_catalog(&cat);
#pragma once
#include <cstddef>
#include <cstdint>

#include "restore/discovery.h"

// How much newer than its configuration run a disk run of the same backup
// may be stamped.
extern const int64_t set_skew_seconds;  // 10

// The run of one disk slot in a backup set.
struct job_slot {
    char name[JOB_SLOT_NAME_SIZE];
    const char *header_path;  // borrowed from the catalog
    int64_t created;
    uint64_t source_size;
};

// One backup: its configuration run and the disk runs that belong to it.
// The texts are borrowed from the catalog that holds the set.
struct backup_job_set {
    job_slot slots[JOB_MAX_SLOTS];  // in the order of the directory scan
    uint64_t slot_count;
    const char *vmconfig_header_path;
    int64_t created;                // the configuration run's: the backup's time
    const char *host;               // the host that wrote it ("" when unknown)
};

// Every backup set of a prefix; owned by the caller, released with
// free_backup_catalog.
struct backup_catalog {
    header_scan_entry *runs;  // the prefix's runs (malloc'ed); the sets point into them
    uint64_t run_count;
    backup_job_set *sets;     // newest first (malloc'ed)
    uint64_t count;
    uint64_t host_count;      // distinct host names among the sets
};

// Fills *ret with the backup sets of the jobs named "<prefix>-vmconfig"
// and "<prefix>-<slot>" (slot a disk slot: other names are not this
// prefix's disks) in search_dir, newest first: by the configuration run's
// time, then by host name. Returns 0 (a missing directory gives no set),
// or -1 with the reason in err and nothing to free.
[[nodiscard]] int32_t find_backup_sets(const char *search_dir, const char *job_prefix,
                                       backup_catalog *ret, char *err, size_t err_size);

// The grouping of find_backup_sets over rows a directory scan gave (the
// catalog copies them; header paths point into the copies).
[[nodiscard]] int32_t group_backup_sets(const header_scan_entry *rows, uint64_t row_count, const char *job_prefix,
                                        backup_catalog *ret, char *err, size_t err_size);

void free_backup_catalog(backup_catalog *cat);

// The run of the slot named name, or nullptr.
const job_slot *find_job_slot(const backup_job_set *set, const char *name);
