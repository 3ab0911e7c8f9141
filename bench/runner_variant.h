// A variant of run_command measured next to the real one, to size what two
// changes would gain: the child's end is awaited on a process descriptor
// (pidfd) together with the pipe, so it is seen the moment it happens instead
// of at the next short sleep, and each pass reads up to 64 KiB instead of 512
// bytes. Same contract as run_command (group, merged output, time limit,
// terminating buffer), for the benchmark only.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/runner.h"

int32_t run_command_pidfd(const char *const *argv, uint32_t time_limit, char *out, size_t out_size,
                          command_result *result);
