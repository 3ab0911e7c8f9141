// The progress segment: a 1208-byte record in POSIX shared memory that a
// monitor reads without talking to the program.
#pragma once
#include <cstdint>

enum : uint8_t {
    PROGRESS_KIND_BACKUP = 2,
    PROGRESS_KIND_RESTORE = 4,
};

enum : uint8_t {
    PROGRESS_PREPARING = 0,
    PROGRESS_WORKING = 1,
    PROGRESS_SUCCEEDED = 3,
    PROGRESS_FAILED = 4,
};

struct progress_record;  // the segment's byte layout, defined with the code

void progress_start(uint8_t kind, const char *job, const char *const *args, int32_t count);
int32_t progress_create(progress_record **out, uint8_t kind, const char *job, uint8_t tool_code,
                        uint64_t total_bytes, const char *detail);
void progress_status(uint8_t phase, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void progress_set_child(int32_t pid);
void progress_finish(int32_t succeeded);
void progress_destroy(progress_record **segment);
