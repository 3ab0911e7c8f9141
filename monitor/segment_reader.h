// Reading the progress segments that running programs of the suite publish
// under /dev/shm. A segment is written by another process while we read it,
// and anybody may drop a file of that name there, so every read is defensive:
// the size, the magic and version, the update counter and every text field
// are checked before anything is shown.
//
// The record's layout is the writer's own, progress_record of
// common/progress.h: where a field sits is offsetof that record.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/process_info.h"
#include "common/progress.h"

enum : uint32_t {
    SEGMENT_MAX_LISTED = 256,
};

// How often a reader retries while the writer is in the middle of an update
// before it gives up on that segment for this round.
extern uint32_t segment_read_attempts;

// One consistent copy of a segment, decoded.
struct segment_view {
    uint64_t counter;
    uint32_t pid;
    uint8_t kind;
    uint8_t tool_code;
    uint8_t phase;
    char job[sizeof(progress_record::job)];
    char detail[sizeof(progress_record::detail)];
    char status[sizeof(progress_record::status_text)];
    int64_t start_time;     // wall-clock seconds
    uint64_t start_mono_ms;
    uint64_t elapsed_ms;    // as last written by the program
    uint32_t child_pid;
};

// Decodes a 1208-byte copy. Returns 0, or -1 with the reason in err when the
// bytes are not a segment of this format (magic or version wrong, an update
// in progress).
int32_t decode_segment(const unsigned char *bytes, size_t len, segment_view *out, char *err,
                       size_t err_size);

// Takes a consistent copy of the segment file at path by the update-counter
// rule (counter even, and the same before and after the copy) and decodes it.
// Returns 0, or -1 with the reason in err.
int32_t read_segment(const char *path, segment_view *out, char *err, size_t err_size);

enum : uint8_t {
    SEGMENT_RUNNING = 0,   // the writer process exists
    SEGMENT_STALE = 1,     // its writer is gone (a crash or SIGKILL), even if the pid was reused
    SEGMENT_MALFORMED = 2, // not readable as a segment; reason holds why
};

struct segment_entry {
    char name[64];          // file name under the directory
    uint8_t state;
    segment_view view;      // valid unless state is SEGMENT_MALFORMED
    char reason[160];       // why a segment was not readable
};

// Lists every file named vlt_progress.<pid> in dir, sorted by pid, reading
// each one. At most cap entries are filled; *count gets the number filled.
// Returns 0, or -1 with the reason in err when the directory cannot be read.
int32_t list_segments(const char *dir, segment_entry *entries, size_t cap, size_t *count,
                      char *err, size_t err_size);
