// vlt_restore: writes the source bytes of one full run back into a target
// (a block device at least as large as the source, or a regular file that
// ends up exactly the source's length), checking the header, the index
// digest and every chunk's digest on the way.
#pragma once
#include <cstddef>
#include <cstdint>

namespace engine {

struct restore_options {
    const char *meta = nullptr;
    const char *search_dir = nullptr;
    const char *target = nullptr;
    uint32_t threads = 0;  // 0 until given: the number of processors
    bool verify = false;
    bool assume_zeroed = false;
    bool no_progress = false;
    bool verbose = false;
};

// Scans the command line into opts. Returns 0, or -1 with the reason (the
// caller prints "error: <msg>" and exits with 2).
[[nodiscard]] int parse_restore_args(int argc, const char *const *argv, restore_options *opts, char *msg,
                                     size_t msg_size);

const char *restore_usage();

// Restores the run. Returns 0, or -1 with the reason in msg. Faults found in
// the header or the index leave the target untouched; nothing is ever
// written past the source size.
[[nodiscard]] int restore_run(const restore_options &opts, char *msg, size_t msg_size);

}  // namespace engine
