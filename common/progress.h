// The progress segment: a 1208-byte record in POSIX shared memory that a
// monitor reads without talking to the program.
//
// The segment is named "/vlt_progress.<pid>" (/dev/shm/vlt_progress.<pid> on
// Linux). Integers are little-endian, texts NUL-terminated within their
// field. A reader takes a copy while update_counter is even and accepts it
// when the counter is the same after the copy; the writer makes the counter
// odd for the length of every change after creation.
#pragma once
#include <cstddef>
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

enum : uint32_t {
    PROGRESS_MAGIC = 0x50524F47u,  // "GORP" in memory order
    PROGRESS_VERSION = 6,
    PROGRESS_SEGMENT_SIZE = 1208,
};

// The first 8 bytes of a valid segment, read as one little-endian number.
constexpr uint64_t PROGRESS_MAGIC_VERSION = 0x0000000650524F47ull;

struct progress_record {
    uint32_t magic;                  // PROGRESS_MAGIC
    uint32_t version;                // PROGRESS_VERSION
    uint64_t update_counter;         // odd while an update is being written
    uint32_t pid;                    // the writer
    uint8_t tool_kind;               // PROGRESS_KIND_*
    uint8_t tool_code;
    uint8_t phase;                   // PROGRESS_PREPARING ... PROGRESS_FAILED
    uint8_t reserved0;
    char job[64];
    char detail[256];
    uint64_t total_bytes;
    uint64_t transfer_counters[7];   // not used by the orchestrators
    int64_t start_time;              // wall clock, seconds since the epoch
    uint64_t start_mono_ms;          // monotonic clock at creation
    uint64_t elapsed_ms;             // refreshed by phase and status updates
    int64_t eta_seconds;             // -1: no estimate
    char status_text[128];
    uint64_t transfer_stat0;         // transfer statistics: not used here
    uint64_t transfer_stat1[2];
    uint32_t transfer_stat2;
    uint32_t transfer_stat3;
    int64_t slot_values[64];         // -1 at creation
    uint32_t cpu_features;           // cpu_feature_bits()
    char sha256_impl[16];            // sha256_impl_name()
    uint8_t transfer_stat4;
    uint8_t reserved1[3];
    uint64_t transfer_stat5;
    uint32_t transfer_stat6;
    uint8_t transfer_stat7;
    uint8_t reserved2[3];
    uint8_t transfer_stat8[32];
    uint32_t transfer_stat9;
    uint8_t reserved3[4];
    uint64_t first_stat_time;
    uint32_t child_pid;              // the tool being waited for, 0 when none
    uint8_t reserved4[4];
};

static_assert(sizeof(progress_record) == 1208, "progress segment size");
static_assert(offsetof(progress_record, magic) == 0);
static_assert(offsetof(progress_record, version) == 4);
static_assert(offsetof(progress_record, update_counter) == 8);
static_assert(offsetof(progress_record, pid) == 16);
static_assert(offsetof(progress_record, tool_kind) == 20);
static_assert(offsetof(progress_record, tool_code) == 21);
static_assert(offsetof(progress_record, phase) == 22);
static_assert(offsetof(progress_record, reserved0) == 23);
static_assert(offsetof(progress_record, job) == 24);
static_assert(offsetof(progress_record, detail) == 88);
static_assert(offsetof(progress_record, total_bytes) == 344);
static_assert(offsetof(progress_record, transfer_counters) == 352);
static_assert(offsetof(progress_record, start_time) == 408);
static_assert(offsetof(progress_record, start_mono_ms) == 416);
static_assert(offsetof(progress_record, elapsed_ms) == 424);
static_assert(offsetof(progress_record, eta_seconds) == 432);
static_assert(offsetof(progress_record, status_text) == 440);
static_assert(offsetof(progress_record, transfer_stat0) == 568);
static_assert(offsetof(progress_record, transfer_stat1) == 576);
static_assert(offsetof(progress_record, transfer_stat2) == 592);
static_assert(offsetof(progress_record, transfer_stat3) == 596);
static_assert(offsetof(progress_record, slot_values) == 600);
static_assert(offsetof(progress_record, cpu_features) == 1112);
static_assert(offsetof(progress_record, sha256_impl) == 1116);
static_assert(offsetof(progress_record, transfer_stat4) == 1132);
static_assert(offsetof(progress_record, reserved1) == 1133);
static_assert(offsetof(progress_record, transfer_stat5) == 1136);
static_assert(offsetof(progress_record, transfer_stat6) == 1144);
static_assert(offsetof(progress_record, transfer_stat7) == 1148);
static_assert(offsetof(progress_record, reserved2) == 1149);
static_assert(offsetof(progress_record, transfer_stat8) == 1152);
static_assert(offsetof(progress_record, transfer_stat9) == 1184);
static_assert(offsetof(progress_record, reserved3) == 1188);
static_assert(offsetof(progress_record, first_stat_time) == 1192);
static_assert(offsetof(progress_record, child_pid) == 1200);
static_assert(offsetof(progress_record, reserved4) == 1204);

// The clock of start_mono_ms: the monotonic clock in milliseconds (0 when
// it cannot be read). A reader compares its own reading with the record's.
uint64_t monotonic_ms();

// True when the name is "vlt_progress." followed by a decimal process id
// (the segment of that process under /dev/shm); the id is stored in *pid.
int segment_name_pid(const char *name, uint32_t *pid);

// Opens the segment unless "--no-progress" is among the count args; a
// failure is one WARN line and the run goes on without progress.
void progress_start(uint8_t kind, const char *job, const char *const *args, int32_t count);
// 0, or -1 for every failure. On success the segment is the process's
// current one and the SIGINT/SIGTERM/SIGHUP handler is installed.
int32_t progress_create(progress_record **out, uint8_t kind, const char *job, uint8_t tool_code,
                        uint64_t total_bytes, const char *detail);
// These do nothing when there is no current segment.
void progress_status(uint8_t phase, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// The detail text (a fact about the whole run, such as the consistency a
// backup got), cut to its 256-byte field.
void progress_detail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void progress_set_child(int32_t pid);
void progress_finish(int32_t succeeded);
// In a child made by fork that runs on without executing a program: the
// current segment is the parent's. Forgets it (this process's view of it
// is unmapped, the signal actions from before it are back, its name is
// cleared) without removing the parent's object, so that the child can
// open a segment of its own.
void progress_forget_inherited();
// Restores the previous signal actions, unmaps the segment and removes its
// shared-memory object; *segment becomes nullptr.
void progress_destroy(progress_record **segment);
