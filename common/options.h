// Long-option scanning over an argument vector, and the --version and
// --selftest answers every program of the suite gives.
#pragma once
#include <cstdint>

struct option_spec {
    const char *name;   // with its leading "--"; nullptr ends a table
    const char *alias;  // matched exactly, or nullptr
    uint32_t arity;     // 0 flag, 1 value (inline or next), 2 value always next
};

extern const char *const vlt_version;  // "1.0.2-alpha028"

const char *option_value(int32_t argc, const char *const *argv, const char *name,
                         const char *alias, const char *def);
int option_present(int32_t argc, const char *const *argv, const char *name, const char *alias);
const option_spec *match_option(const option_spec *table, const char *arg,
                                const char **inline_value);
int32_t scan_options(int32_t argc, const char *const *argv, const option_spec *table,
                     int32_t max_positional);
int32_t handle_version_selftest(int32_t argc, const char *const *argv, const char *program);
