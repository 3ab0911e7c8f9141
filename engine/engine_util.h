// Small helpers shared by vlt_agent and vlt_restore: whole reads and
// writes, number parsing and the processor count. (The little-endian field
// codecs of the run files are common/le_bytes.h.)
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/le_bytes.h"
#include "common/text.h"
#include "common/owned.h"

namespace engine {

// Writes all len bytes at offset (pwrite, retried on EINTR and short writes).
// Returns 0 or -1 with errno set.
[[nodiscard]] int write_all_at(int fd, const void *data, uint64_t len, uint64_t offset);

// Reads up to len bytes at offset until len or end of file. Stores the count
// in *ret_len. Returns 0 or -1 with errno set.
[[nodiscard]] int read_full_at(int fd, void *data, uint64_t len, uint64_t offset, uint64_t *ret_len);

// Like read_full_at but from the current position (for sources that cannot seek).
[[nodiscard]] int read_full(int fd, void *data, uint64_t len, uint64_t *ret_len);

// Whole decimal number, no sign, no white space, no overflow. Returns 0 or -1.
[[nodiscard]] int parse_u64(const char *text, uint64_t *ret_value);

// A byte count: decimal digits with an optional binary suffix K, M or G
// (any case, optionally followed by "iB" or "B"). Returns 0 or -1.
[[nodiscard]] int parse_size(const char *text, uint64_t *ret_value);

// True when all len bytes are zero.
bool all_zero(const void *data, uint64_t len);

// The most worker threads either tool runs (--threads).
inline constexpr uint32_t max_threads = 256;

// The processors online, 1 to max_threads: the default of --threads.
uint32_t processor_count();

// Size of a regular file or block device behind fd; 0 and -1 like the rest.
[[nodiscard]] int fd_size(int fd, uint64_t *ret_size);

}  // namespace engine
