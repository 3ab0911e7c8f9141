// Linked into every fuzz target: the warnings the code under test logs
// would fill the fuzzer's output, so the logger keeps quiet.
#include "common/log.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    log_setup("fuzz", LOG_LEVEL_ERROR + 1);
    log_set_note_sink([](const char *) {});
    return 0;
}
