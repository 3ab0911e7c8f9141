// Long-option scanning: values, flags, the warnings for what does not fit,
// and the --version and --selftest answers.
#include "common/options.h"

#include <cstdio>
#include <cstring>

#include "common/digest.h"
#include "common/log.h"

#ifndef VLT_VERSION
#error "VLT_VERSION must be defined by the build"
#endif

const char *const vlt_version = VLT_VERSION;

namespace {

const option_spec kCommonOptions[] = {
    {"--help", "-h", 0},
    {"--version", nullptr, 0},
    {"--selftest", nullptr, 0},
    {nullptr, nullptr, 0},
};

// Whether arg starts with name; *after then points at what follows it.
bool starts_with(const char *arg, const char *name, const char **after) {
    size_t n = strlen(name);
    if (strncmp(arg, name, n) != 0) return false;
    *after = arg + n;
    return true;
}

// Every warning goes to standard error and, with the same text, to the
// system log.
#define SCAN_WARN(...)                              \
    do {                                            \
        log_write(LOG_LEVEL_WARN, __VA_ARGS__);     \
        log_note(1, __VA_ARGS__);                   \
    } while (0)

// The "%.*s" precision of a text shown in a warning.
int32_t shown_len(size_t n) { return n > 0x7fffffff ? 0x7fffffff : static_cast<int32_t>(n); }

}  // namespace

int32_t own_options_end(int32_t argc, const char *const *argv) {
    for (int32_t i = 1; i < argc && argv[i] != nullptr; i++)
        if (strcmp(argv[i], "--") == 0) return i;
    return argc;
}

const char *option_value(int32_t argc, const char *const *argv, const char *name,
                         const char *alias, const char *def) {
    if (argc < 2 || argv == nullptr || (name == nullptr && alias == nullptr)) return def;
    for (int32_t i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (arg == nullptr) break;
        const char *after = nullptr;
        bool named = false;
        if (name != nullptr && starts_with(arg, name, &after)) {
            if (*after == '=') return after + 1;
            named = *after == '\0';
        }
        if (!named && alias != nullptr && strcmp(arg, alias) == 0) named = true;
        if (named) return i + 1 < argc && argv[i + 1] != nullptr ? argv[i + 1] : def;
    }
    return def;
}

int option_present(int32_t argc, const char *const *argv, const char *name, const char *alias) {
    if (argc < 2 || argv == nullptr) return 0;
    for (int32_t i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (arg == nullptr) break;
        if (name != nullptr && strcmp(arg, name) == 0) return 1;
        if (alias != nullptr && strcmp(arg, alias) == 0) return 1;
    }
    return 0;
}

const option_spec *match_option(const option_spec *table, const char *arg,
                                const char **inline_value) {
    if (inline_value != nullptr) *inline_value = nullptr;
    if (table == nullptr || arg == nullptr) return nullptr;
    for (const option_spec *row = table; row->name != nullptr; row++) {
        const char *after = nullptr;
        if (starts_with(arg, row->name, &after)) {
            if (*after == '\0') return row;
            if (*after == '=' && row->arity == 1) {
                if (inline_value != nullptr) *inline_value = after + 1;
                return row;
            }
        }
        if (row->alias != nullptr && strcmp(arg, row->alias) == 0) return row;
    }
    return nullptr;
}

void next_option_word(int32_t argc, const char *const *argv, const option_spec *table, int32_t *index,
                      option_word *word) {
    const char *arg = argv[*index];
    *index += 1;
    *word = option_word{OPTION_WORD_OPERAND, nullptr, arg, nullptr, static_cast<uint32_t>(strlen(arg))};
    if (arg[0] != '-' || arg[1] == '\0' || strcmp(arg, "--") == 0) return;

    const char *eq = arg[1] == '-' ? strchr(arg, '=') : nullptr;
    if (eq != nullptr) word->name_len = static_cast<uint32_t>(eq - arg);
    const char *inline_value = nullptr;
    const option_spec *row = match_option(table, arg, &inline_value);
    if (row != nullptr) {
        word->row = row;
        if (row->arity == 0) {
            word->kind = OPTION_WORD_KNOWN;
        } else if (inline_value != nullptr) {
            word->kind = OPTION_WORD_KNOWN;
            word->value = inline_value;
        } else if (*index < argc && argv[*index] != nullptr) {
            word->kind = OPTION_WORD_KNOWN;
            word->value = argv[*index];
            *index += 1;
        } else {
            word->kind = OPTION_WORD_NO_VALUE;
        }
        return;
    }
    for (const option_spec *r = table; eq != nullptr && r != nullptr && r->name != nullptr; r++) {
        if (strlen(r->name) == word->name_len && strncmp(r->name, arg, word->name_len) == 0) {
            word->kind = OPTION_WORD_JOINED;
            word->row = r;
            word->value = eq + 1;
            return;
        }
    }
    word->kind = OPTION_WORD_UNKNOWN;
}

int32_t scan_options(int32_t argc, const char *const *argv, const option_spec *table,
                     int32_t max_positional) {
    if (argc < 2 || argv == nullptr) return 0;
    int32_t warnings = 0;
    int32_t positional = 0;
    int32_t i = 1;
    while (i < argc && argv[i] != nullptr) {
        option_word w;
        next_option_word(argc, argv, table, &i, &w);
        const char *arg = w.arg;
        if (w.kind == OPTION_WORD_KNOWN) continue;
        if (w.kind == OPTION_WORD_NO_VALUE) break;  // the value is missing; the caller notices
        if (w.kind == OPTION_WORD_OPERAND) {
            if (strcmp(arg, "--") == 0) break;
            if (positional >= max_positional) {
                SCAN_WARN("unexpected argument '%.*s' ignored", shown_len(strlen(arg)), arg);
                warnings++;
            }
            positional++;
            continue;
        }
        if (match_option(kCommonOptions, arg, nullptr) != nullptr) continue;
        const char *eq = strchr(arg, '=');
        if (eq != nullptr) {
            SCAN_WARN("unknown option '%.*s=...' ignored", shown_len(static_cast<size_t>(eq - arg)), arg);
        } else if (i < argc && argv[i] != nullptr && argv[i][0] != '-') {
            SCAN_WARN("unknown option '%.*s' ignored (with the value after it)", shown_len(strlen(arg)), arg);
            i += 1;
        } else {
            SCAN_WARN("unknown option '%.*s' ignored", shown_len(strlen(arg)), arg);
        }
        warnings++;
    }
    return warnings;
}

int32_t handle_version_selftest(int32_t argc, const char *const *argv, const char *program) {
    if (program == nullptr) program = "";
    if (option_present(argc, argv, "--version", nullptr)) {
        fprintf(stdout, "%s %s\n", program, vlt_version);
        fflush(stdout);
        return 0;
    }
    if (!option_present(argc, argv, "--selftest", nullptr)) return -1;
    char msg[256];
    memset(msg, 0, sizeof msg);
    if (run_selftest(msg, sizeof msg) != 0) {
        fprintf(stderr, "%s: selftest failed: %s\n", program, msg);
        return 1;
    }
    fprintf(stdout, "%s %s: selftest ok\n", program, vlt_version);
    fflush(stdout);
    return 0;
}
