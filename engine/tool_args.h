// The command-line policy of vlt_agent and vlt_restore: every argument
// must be an option of the tool's table (common/options.h reads it), with
// its value given as the next argument or joined by "="; anything else, and
// an option known only to be refused, ends the command line with a reason.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/options.h"

namespace engine {

// Called for every accepted option, in command-line order; value is nullptr
// for a switch. Returns 0, or -1 with the reason in msg.
using arg_handler = int (*)(void *ctx, const option_spec &rule, const char *value, char *msg, size_t msg_size);

// Scans argv[1..argc-1] against rules (ended by a row with a null name).
// Returns 0, or -1 with the reason in msg: unknown option, stray argument,
// missing value, value given to a switch, refused option, or whatever the
// handler reports.
[[nodiscard]] int scan_tool_args(int argc, const char *const *argv, const option_spec *rules, arg_handler handler,
                                 void *ctx, char *msg, size_t msg_size);

}  // namespace engine
