// vlt_restore: command line, then one restore.
#include <cstdio>

#include "common/log.h"
#include "common/options.h"
#include "engine/restore_tool.h"

int main(int argc, char **argv) {
    const char *const *args = argv;
    int32_t early = handle_version_selftest(argc, args, "vlt_restore");
    if (early >= 0) return early;
    if (option_present(argc, args, "--help", "-h")) {
        fputs(engine::restore_usage(), stderr);
        return 0;
    }
    engine::restore_options opts;
    char msg[1024];
    if (engine::parse_restore_args(argc, args, &opts, msg, sizeof msg) != 0) {
        fprintf(stderr, "error: %s\n", msg);
        return 2;
    }
    log_setup("vlt_restore", opts.verbose ? LOG_LEVEL_DEBUG : LOG_LEVEL_INFO);
    if (engine::restore_run(opts, msg, sizeof msg) != 0) {
        log_write(LOG_LEVEL_ERROR, "restore of %s failed: %s", opts.meta, msg);
        return 1;
    }
    return 0;
}
