// Long-option scanning over an argument vector, and the --version and
// --selftest answers every program of the suite gives.
//
// next_option_word is the one reading of a command line against a table
// of options; each program puts its own policy on top of it: scan_options
// below warns about what does not fit and goes on (the two orchestrators),
// the engine's tools refuse it (engine/tool_args.h), and vlt_progress
// rejects it with its own texts.
#pragma once
#include <cstdint>

struct option_spec {
    const char *name;   // with its leading "--"; nullptr ends a table
    const char *alias;  // matched exactly, or nullptr
    uint32_t arity;     // 0 flag, 1 value (inline or next), 2 value always next
    // Non-null: the option is known only to be refused, for this reason
    // (the strict policies report it; scan_options treats it as known).
    const char *refused = nullptr;
};

// What one argument is, read against a table.
enum option_word_kind : uint32_t {
    OPTION_WORD_KNOWN = 0,       // a row: a flag, or a valued row with its value
    OPTION_WORD_NO_VALUE = 1,    // a valued row that ends the arguments
    OPTION_WORD_JOINED = 2,      // a row written "name=value" that takes no
                                 // value that way (a flag, or arity 2)
    OPTION_WORD_UNKNOWN = 3,     // starts with "-", is not "-" or "--", names no row
    OPTION_WORD_OPERAND = 4,     // anything else, "-" and "--" included
};

struct option_word {
    option_word_kind kind;
    const option_spec *row;   // the row (KNOWN, NO_VALUE, JOINED), else nullptr
    const char *arg;          // the argument as written
    const char *value;        // KNOWN valued row: its value; JOINED: the text
                              // after "="; otherwise nullptr
    uint32_t name_len;        // length of the name in arg: up to "=" in an
                              // argument that starts with "--", else all of it
};

// Reads argv[*index] (which must exist) and moves *index past it, and past
// the next argument when that is the value.
void next_option_word(int32_t argc, const char *const *argv, const option_spec *table, int32_t *index,
                      option_word *word);

extern const char *const vlt_version;  // "1.0.2-alpha028"

// Where a program's own options end: the index of the first bare "--"
// after element 0, or argc. What follows it is forwarded.
int32_t own_options_end(int32_t argc, const char *const *argv);

const char *option_value(int32_t argc, const char *const *argv, const char *name,
                         const char *alias, const char *def);
int option_present(int32_t argc, const char *const *argv, const char *name, const char *alias);
// The row arg names: its name exactly, its name followed by "=" and a value
// when it takes one (arity 1), or its alias exactly. *inline_value gets
// the text after "=", or nullptr.
const option_spec *match_option(const option_spec *table, const char *arg,
                                const char **inline_value);
// Warns about unknown options (and the value word after one) and about more
// than max_positional operands, up to the first "--" or a valued option
// without its value. Returns the number of warnings.
int32_t scan_options(int32_t argc, const char *const *argv, const option_spec *table,
                     int32_t max_positional);
int32_t handle_version_selftest(int32_t argc, const char *const *argv, const char *program);
