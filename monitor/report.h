// Turning listed progress segments into the monitor's table and JSON.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "monitor/segment_reader.h"

const char *program_of_kind(uint8_t kind, char *buf, size_t size);
const char *phase_name(uint8_t phase, char *buf, size_t size);

// Milliseconds the program has been running: counted on from its start for
// a live process (same monotonic clock), the last written value for a stale one.
uint64_t entry_elapsed_ms(const segment_entry *e, uint64_t now_mono_ms);

// "H:MM:SS".
void format_elapsed(uint64_t ms, char *buf, size_t size);

// The table: a header line and one line per readable segment.
void write_table(FILE *out, const segment_entry *entries, size_t count, uint64_t now_mono_ms);

// One line per segment that could not be read, "<name>: skipped: <reason>".
void write_skipped(FILE *out, const char *dir, const segment_entry *entries, size_t count);

// One JSON object on one line: {"segments":[...],"skipped":[...]}.
void write_json(FILE *out, const segment_entry *entries, size_t count, uint64_t now_mono_ms);
