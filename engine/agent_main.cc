// vlt_agent: command line, then one backup run.
#include <cstdio>

#include "common/log.h"
#include "common/options.h"
#include "engine/agent.h"

int main(int argc, char **argv) {
    const char *const *args = argv;
    int32_t early = handle_version_selftest(argc, args, "vlt_agent");
    if (early >= 0) return early;
    if (option_present(argc, args, "--help", "-h")) {
        fputs(engine::agent_usage(), stderr);
        return 0;
    }
    engine::agent_options opts;
    char msg[1024];
    if (engine::parse_agent_args(argc, args, &opts, msg, sizeof msg) != 0) {
        fprintf(stderr, "error: %s\n", msg);
        return 2;
    }
    log_setup("vlt_agent", opts.verbose ? LOG_LEVEL_DEBUG : LOG_LEVEL_INFO);
    if (engine::run_agent(opts, msg, sizeof msg) != 0) {
        log_write(LOG_LEVEL_ERROR, "job %s: backup failed: %s", opts.name, msg);
        return 1;
    }
    return 0;
}
