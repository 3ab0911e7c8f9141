// The process-wide logger: one line per event on standard error, and notes
// for the system log.
#pragma once
#include <cstdint>

// Levels. (Not LOG_INFO and friends: <syslog.h> owns those names.)
enum : uint32_t {
    LOG_LEVEL_DEBUG = 0,
    LOG_LEVEL_INFO = 1,
    LOG_LEVEL_WARN = 2,
    LOG_LEVEL_ERROR = 3,
};

void log_setup(const char *program, uint32_t min_level);
void log_write(uint32_t level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void log_note(uint64_t categories, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Called with the message of every ERROR line (without its time stamp,
// program and level; cut to 511 bytes) after the line is written: the
// run of one VM tells its node-wide run why it failed. nullptr: none.
typedef void (*log_error_hook_fn)(const char *message);
void log_set_error_hook(log_error_hook_fn hook);

// Where log_note hands its finished text (at most 511 bytes). The default
// submits it to the system log at priority info; tests replace it to see
// what would have been sent. nullptr restores the default.
typedef void (*log_note_sink_fn)(const char *text);
void log_set_note_sink(log_note_sink_fn sink);
