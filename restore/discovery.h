// Finds the newest run of every job of one job prefix in a local backup
// directory, by reading the fixed header block of each run header file.
#pragma once
#include <cstddef>
#include <cstdint>

enum : size_t {
    RUN_HEADER_SIZE = 131072,       // bytes read from the start of a header file
    RUN_HEADER_MIN_LENGTH = 4096,   // smallest header length accepted
    RUN_HEADER_MAX_LENGTH = 4194304,
    JOB_PATH_SIZE = 1024,           // header paths: at most 1023 characters
    JOB_SLOT_NAME_SIZE = 24,        // slot names: at most 23 characters
    JOB_NAME_SIZE = 64,             // job names in a header: at most 63 characters
    JOB_MATCH_SIZE = 96,            // "<prefix>-" must fit here
};

enum { JOB_MAX_SLOTS = 32 };

// Field offsets of the header block; every integer is little-endian. The
// run header files are written by the per-volume agent, a separate product:
// this layout is kept here on purpose rather than shared with the reference
// engine (engine/run_format.h), and the engine's contract test checks that
// the two agree.
enum : size_t {
    RUN_HEADER_OFF_MAGIC = 0,
    RUN_HEADER_OFF_VERSION = 4,
    RUN_HEADER_OFF_LENGTH = 8,
    RUN_HEADER_OFF_KIND = 16,
    RUN_HEADER_OFF_RUN_ID = 20,
    RUN_HEADER_OFF_PARENT_ID = 36,
    RUN_HEADER_OFF_CREATED = 68,
    RUN_HEADER_OFF_SOURCE_SIZE = 76,
    RUN_HEADER_OFF_JOB_NAME = 484,
    RUN_HEADER_OFF_CARRIED = 25669,
};

// One row per readable header file of a directory scan.
struct header_scan_entry {
    char path[JOB_PATH_SIZE];  // "<dir>/<entry>", cut to 1023 characters
    uint8_t run_id[16];
    uint8_t parent_run_id[16];
    uint8_t run_kind;
    char job_name[JOB_NAME_SIZE];  // at most 63 characters, always terminated
    int64_t creation_time;
    uint64_t carried_value;
};

// The newest run of one disk slot's job.
struct job_slot {
    char name[JOB_SLOT_NAME_SIZE];
    char header_path[JOB_PATH_SIZE];
};

// Everything found for one job prefix; owned by the caller.
struct backup_job_set {
    job_slot slots[JOB_MAX_SLOTS];  // in order of first appearance
    uint64_t slot_count;
    char vmconfig_header_path[JOB_PATH_SIZE];
    int32_t vmconfig_found;
};

// True when name has at least 5 characters and ends in ".infb", ".indb" or
// ".inib" (".infb" alone counts).
bool is_header_file_name(const char *name);

// Reads the first RUN_HEADER_SIZE bytes of path into buf (zero-filled past
// the end of a shorter file) and checks them. Returns 0; -7 for a missing
// magic, fewer than 4096 bytes or a bad header length; -6 for format
// version 2 or newer; or the status of the failed open or read.
[[nodiscard]] int32_t read_run_header(const char *path, uint8_t *buf);

// Fields of a header block that read_run_header accepted.
uint64_t run_header_source_size(const uint8_t *buf);
int64_t run_header_creation_time(const uint8_t *buf);
// Copies the job name (at most 63 characters) into a JOB_NAME_SIZE buffer.
void run_header_job_name(const uint8_t *buf, char *ret_name);

// Lists the header files of dir. On 0, *ret_rows is a malloc'ed array of
// *ret_count rows (nullptr when there are none) that the caller free()s.
// A missing directory gives 0 rows. Returns -2 out of memory, -1 when the
// directory cannot be opened, or the status of a header that could not be
// read (logged at ERROR); corrupt or newer headers are skipped with a WARN.
[[nodiscard]] int32_t scan_backup_dir(const char *dir, header_scan_entry **ret_rows,
                                      uint64_t *ret_count);

// Fills *ret_set with the newest vmconfig run and the newest run of every
// disk slot whose job is named "<prefix>-<slot>". Returns 0, or -1 with the
// reason in err.
[[nodiscard]] int32_t find_backup_jobs(const char *search_dir, const char *job_prefix,
                                       backup_job_set *ret_set, char *err, size_t err_size);

// The slot named name, or nullptr.
const job_slot *find_job_slot(const backup_job_set *set, const char *name);
