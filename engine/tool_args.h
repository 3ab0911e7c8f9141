// Command-line scanning for vlt_agent and vlt_restore: long options with a
// value given as the next argument or joined by "=", switches, and options
// that are recognised only to be refused with a reason.
#pragma once
#include <cstddef>
#include <cstdint>

namespace engine {

struct arg_rule {
    const char *name;    // "--out"
    const char *alias;   // "-v", or nullptr
    uint32_t arity;      // 0 switch, 1 takes a value
    const char *refuse;  // non-null: the option is refused with "<name>: <refuse>"
};

// Called for every accepted option, in command-line order; value is nullptr
// for a switch. Returns 0, or -1 with the reason in msg.
using arg_handler = int (*)(void *ctx, const arg_rule &rule, const char *value, char *msg, size_t msg_size);

// Scans argv[1..argc-1] against rules (ended by a rule with a null name).
// Returns 0, or -1 with the reason in msg: unknown option, stray argument,
// missing value, value given to a switch, refused option, or whatever the
// handler reports.
[[nodiscard]] int scan_tool_args(int argc, const char *const *argv, const arg_rule *rules, arg_handler handler,
                                 void *ctx, char *msg, size_t msg_size);

// True when "--help" or "-h" is among argv[1..].
bool wants_help(int argc, const char *const *argv);

}  // namespace engine
