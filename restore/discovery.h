// Reads the run header files of a local backup directory: the fixed
// header block of each run, checked, and one row per run.
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
    HOST_NAME_SIZE = 64,            // host names in a header: at most 63 characters
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
    RUN_HEADER_OFF_HOST_NAME = 164,
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
    uint64_t source_size;
    char host_name[HOST_NAME_SIZE];  // at most 63 characters, always terminated
};

// True when name has at least 5 characters and ends in ".infb", ".indb" or
// ".inib" (".infb" alone counts).
bool is_header_file_name(const char *name);

// Reads the first RUN_HEADER_SIZE bytes of path into buf (zero-filled past
// the end of a shorter file) and checks them. Returns 0; -7 for a missing
// magic, fewer than 4096 bytes or a bad header length; -6 for format
// version 2 or newer; or the status of the failed open or read.
[[nodiscard]] int32_t read_run_header(const char *path, uint8_t *buf);

// The checks of read_run_header on a block of which got bytes came from the
// file (the rest zero): 0, -7 or -6 as there.
[[nodiscard]] int32_t check_run_header(const uint8_t *buf, uint64_t got);

// Fields of a header block that read_run_header accepted.
uint64_t run_header_source_size(const uint8_t *buf);
int64_t run_header_creation_time(const uint8_t *buf);
// Copies the job name (at most 63 characters) into a JOB_NAME_SIZE buffer.
void run_header_job_name(const uint8_t *buf, char *ret_name);
// Copies the writer's host name (at most 63 characters) into a
// HOST_NAME_SIZE buffer.
void run_header_host_name(const uint8_t *buf, char *ret_name);

// Lists the header files of dir. On 0, *ret_rows is a malloc'ed array of
// *ret_count rows (nullptr when there are none) that the caller free()s.
// A missing directory gives 0 rows. Returns -2 out of memory, -1 when the
// directory cannot be opened, or the status of a header that could not be
// read (logged at ERROR); corrupt or newer headers are skipped with a WARN.
[[nodiscard]] int32_t scan_backup_dir(const char *dir, header_scan_entry **ret_rows,
                                      uint64_t *ret_count);
