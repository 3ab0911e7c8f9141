// The option scanners over a fuzzed argument vector: the reading of one
// option word and the warning scanner of the two orchestrators
// (common/options) with their option tables, the --snapshot-size and --at
// values, and the engine tools' command lines.
//
// Input: the arguments after the program name, separated by NUL bytes.
#include <cstring>

#include "backup/cli.h"
#include "backup/snapshots.h"
#include "common/options.h"
#include "engine/agent.h"
#include "engine/restore_tool.h"
#include "fuzz/fuzz_util.h"
#include "restore/cli.h"
#include "restore/utc_time.h"

namespace {

const size_t kMaxArgs = 64;

// True when p is def or points into one of the arguments.
bool from_argv(const char *p, int32_t argc, const char *const *argv, const char *def) {
    if (p == def) return true;
    for (int32_t i = 0; i < argc; ++i) {
        size_t len = strlen(argv[i]);
        if (p >= argv[i] && p <= argv[i] + len) return true;
    }
    return false;
}

// The one reading every policy is built on: each word is one argument, or
// a valued option and the argument after it.
void check_words(const option_spec *table, int32_t argc, const char *const *argv) {
    int32_t index = 1;
    while (index < argc) {
        int32_t at = index;
        option_word word;
        next_option_word(argc, argv, table, &index, &word);
        fuzz::require(index == at + 1 || index == at + 2, "a word takes one or two arguments");
        fuzz::require(word.arg == argv[at] && word.name_len <= strlen(word.arg), "a word is its argument");
        bool has_row = word.kind == OPTION_WORD_KNOWN || word.kind == OPTION_WORD_NO_VALUE ||
                       word.kind == OPTION_WORD_JOINED;
        fuzz::require(has_row == (word.row != nullptr), "a row exactly for the kinds that have one");
        fuzz::require(index == at + 1 ||
                          (word.kind == OPTION_WORD_KNOWN && word.row->arity != 0 && word.value == argv[at + 1]),
                      "only a valued option takes the next argument, as its value");
        fuzz::require(word.value == nullptr || from_argv(word.value, argc, argv, nullptr),
                      "a value lies within the arguments");
        fuzz::require(word.kind != OPTION_WORD_NO_VALUE || index == argc, "a missing value ends the arguments");
    }
    int32_t end = own_options_end(argc, argv);
    fuzz::require(end >= 1 && end <= argc && (end == argc || strcmp(argv[end], "--") == 0),
                  "own options end at a bare \"--\" or with the arguments");
    for (int32_t i = 1; i < end; ++i)
        fuzz::require(strcmp(argv[i], "--") != 0, "at the first one");
}

void check_table(const option_spec *table, int32_t argc, const char *const *argv) {
    check_words(table, argc, argv);
    static const char def[] = "default";
    for (int32_t max_positional = 0; max_positional <= 1; ++max_positional) {
        int32_t warnings = scan_options(argc, argv, table, max_positional);
        fuzz::require(warnings >= 0 && warnings < argc, "at most one warning per argument");
    }
    for (const option_spec *row = table; row->name != nullptr; ++row) {
        const char *value = option_value(argc, argv, row->name, row->alias, def);
        fuzz::require(from_argv(value, argc, argv, def), "a value is an argument or the default");
        int present = option_present(argc, argv, row->name, row->alias);
        fuzz::require(present == 0 || present == 1, "option_present answers 0 or 1");
    }
    for (int32_t i = 0; i < argc; ++i) {
        const char *inline_value = argv[i];
        const option_spec *row = match_option(table, argv[i], &inline_value);
        if (row == nullptr) {
            fuzz::require(inline_value == nullptr, "no match, no value");
            continue;
        }
        fuzz::require(strncmp(argv[i], row->name, strlen(row->name)) == 0 ||
                          (row->alias != nullptr && strcmp(argv[i], row->alias) == 0),
                      "a match starts with the option's name or is its alias");
        fuzz::require(inline_value == nullptr ||
                          (row->arity == 1 && inline_value > argv[i] && inline_value[-1] == '='),
                      "an inline value follows the '=' of a valued option");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> parts = fuzz::split_at_nul(data, size);
    if (parts.size() > kMaxArgs) parts.resize(kMaxArgs);
    std::vector<const char *> argv;
    argv.push_back("fuzz");
    for (const std::string &p : parts) argv.push_back(p.c_str());
    const int32_t argc = static_cast<int32_t>(argv.size());
    argv.push_back(nullptr);

    check_table(backup_option_table, argc, argv.data());
    check_table(restore_option_table, argc, argv.data());

    // A --snapshot-size value becomes one lvcreate option and its value.
    for (int32_t i = 1; i < argc; ++i) {
        const char *option = nullptr;
        char value[32];
        if (parse_snapshot_size(argv[i], &option, value, sizeof value) != 0) continue;
        fuzz::require(option != nullptr && (strcmp(option, "-L") == 0 || strcmp(option, "-l") == 0),
                      "the size is given with -L or -l");
        size_t digits = strspn(value, "0123456789");
        fuzz::require(digits > 0 && value[0] != '0', "the size is a positive number");
        fuzz::require(strcmp(option, "-l") == 0 ? strcmp(value + digits, "%ORIGIN") == 0
                                                : strlen(value + digits) == 1 && strchr("mgt", value[digits]),
                      "a percentage of the origin or a size in m, g or t");
    }

    // An --at time is the last second of what it names, and the time the
    // restore prints for it reads back as the same second.
    for (int32_t i = 1; i < argc; ++i) {
        int64_t at = 0;
        if (parse_utc_time(argv[i], &at) != 0) continue;
        char shown[UTC_TIME_SIZE];
        format_utc_time(at, shown);
        fuzz::require(strncmp(shown, argv[i], 10) == 0, "the date is the one given");
        int64_t again = 0;
        fuzz::require(parse_utc_time(shown, &again) == 0 && again == at, "a shown time reads back");
        fuzz::require((at % 60 + 60) % 60 == 59 || strlen(argv[i]) >= 19, "a time without seconds ends its minute");
    }

    char msg[256];
    engine::agent_options agent;
    if (engine::parse_agent_args(argc, argv.data(), &agent, msg, sizeof msg) == 0) {
        fuzz::require(agent.source != nullptr && agent.name != nullptr && agent.out != nullptr,
                      "an accepted agent command line names source, name and output");
        fuzz::require(agent.chunk_size != 0 && agent.threads != 0, "chunk size and threads are set");
    } else {
        fuzz::require(fuzz::terminated(msg, sizeof msg) && msg[0] != '\0', "a refusal says why");
    }
    engine::restore_options restore;
    if (engine::parse_restore_args(argc, argv.data(), &restore, msg, sizeof msg) == 0) {
        fuzz::require(restore.meta != nullptr && restore.search_dir != nullptr && restore.target != nullptr,
                      "an accepted restore command line names header, directory and target");
    } else {
        fuzz::require(fuzz::terminated(msg, sizeof msg) && msg[0] != '\0', "a refusal says why");
    }
    return 0;
}
