// vlt_agent: reads one source (a block device, a regular file or a pipe)
// from start to end and writes it as one full run into a local directory:
// a chunk-store file, then the run header file that points into it.
#pragma once
#include <cstddef>
#include <cstdint>

namespace engine {

struct agent_options {
    const char *source = nullptr;
    const char *name = nullptr;
    const char *out = nullptr;
    uint32_t chunk_size = 0;      // 0 until given: default_chunk_size
    uint32_t codec = 1;           // zstd
    int32_t level = 3;
    int32_t max_level = 0;        // 0: no cap
    uint32_t threads = 0;         // 0 until given: the number of processors
    bool verify = false;
    bool no_progress = false;
    bool verbose = false;
    // which options were seen: the first occurrence of a repeated one wins
    uint32_t seen = 0;
};

// Scans the agent's command line into opts. Returns 0, or -1 with the
// reason in msg (the caller prints "error: <msg>" and exits with 2).
[[nodiscard]] int parse_agent_args(int argc, const char *const *argv, agent_options *opts, char *msg,
                                   size_t msg_size);

// The usage text printed for --help.
const char *agent_usage();

// Runs the backup. Returns 0, or -1 with the reason in msg; on failure no
// header file is left and the chunk store is removed.
[[nodiscard]] int run_agent(const agent_options &opts, char *msg, size_t msg_size);

}  // namespace engine
