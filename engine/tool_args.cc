#include "engine/tool_args.h"

#include <cstring>

#include "engine/engine_util.h"

namespace engine {

int scan_tool_args(int argc, const char *const *argv, const arg_rule *rules, arg_handler handler, void *ctx,
                   char *msg, size_t msg_size) {
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (arg[0] != '-' || arg[1] == '\0' || strcmp(arg, "--") == 0) {
            put_text(msg, msg_size, "unexpected argument '%.200s'", arg);
            return -1;
        }
        const char *eq = strchr(arg, '=');
        size_t name_len = eq != nullptr && arg[1] == '-' ? static_cast<size_t>(eq - arg) : strlen(arg);
        const arg_rule *rule = nullptr;
        for (const arg_rule *r = rules; r->name != nullptr; ++r) {
            if ((strlen(r->name) == name_len && strncmp(r->name, arg, name_len) == 0) ||
                (r->alias != nullptr && strcmp(r->alias, arg) == 0)) {
                rule = r;
                break;
            }
        }
        if (rule == nullptr) {
            put_text(msg, msg_size, "unknown option '%.*s'", static_cast<int>(name_len > 200 ? 200 : name_len),
                     arg);
            return -1;
        }
        if (rule->refuse != nullptr) {
            put_text(msg, msg_size, "%s: %s", rule->name, rule->refuse);
            return -1;
        }
        const char *value = nullptr;
        bool joined = eq != nullptr && arg[1] == '-';
        if (rule->arity == 0) {
            if (joined) {
                put_text(msg, msg_size, "option %s takes no value", rule->name);
                return -1;
            }
        } else if (joined) {
            value = eq + 1;
        } else {
            if (i + 1 >= argc) {
                put_text(msg, msg_size, "option %s needs a value", rule->name);
                return -1;
            }
            value = argv[++i];
        }
        if (handler(ctx, *rule, value, msg, msg_size) != 0) return -1;
    }
    return 0;
}

bool wants_help(int argc, const char *const *argv) {
    for (int i = 1; i < argc; ++i)
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) return true;
    return false;
}

}  // namespace engine
