// The engine tools' strict reading of their command line.
#include "engine/tool_args.h"

#include "engine/engine_util.h"

namespace engine {

int scan_tool_args(int argc, const char *const *argv, const option_spec *rules, arg_handler handler, void *ctx,
                   char *msg, size_t msg_size) {
    int32_t i = 1;
    while (i < argc) {
        option_word w;
        next_option_word(argc, argv, rules, &i, &w);
        if (w.kind == OPTION_WORD_OPERAND) {
            put_text(msg, msg_size, "unexpected argument '%.200s'", w.arg);
            return -1;
        }
        if (w.kind == OPTION_WORD_UNKNOWN) {
            put_text(msg, msg_size, "unknown option '%.*s'", static_cast<int>(w.name_len > 200 ? 200 : w.name_len),
                     w.arg);
            return -1;
        }
        const option_spec &rule = *w.row;
        if (rule.refused != nullptr) {
            put_text(msg, msg_size, "%s: %s", rule.name, rule.refused);
            return -1;
        }
        if (w.kind == OPTION_WORD_JOINED) {
            put_text(msg, msg_size, "option %s takes no value", rule.name);
            return -1;
        }
        if (w.kind == OPTION_WORD_NO_VALUE) {
            put_text(msg, msg_size, "option %s needs a value", rule.name);
            return -1;
        }
        if (handler(ctx, rule, w.value, msg, msg_size) != 0) return -1;
    }
    return 0;
}

}  // namespace engine
