// The profile configuration file (/etc/vlt/vlt_proxmox.cfg): parsed from
// memory, then every profile turned into argument lists.
#include <cstdio>
#include <cstring>
#include <memory>

#include "backup/profile_config.h"
#include "fuzz/fuzz_util.h"

namespace {

void check_list(char **list, int32_t count) {
    fuzz::require(count >= 0 && (count == 0 || list != nullptr), "an argument list has its entries");
    for (int32_t i = 0; i < count; ++i)
        fuzz::require(list[i] != nullptr, "no argument is missing");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // About 2.3 MB: allocated once.
    static std::unique_ptr<backup_config> cfg(new backup_config());
    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (f == nullptr)
        return 0;  // an empty buffer on a C library that refuses it
    char err[512];
    err[0] = '\0';
    int32_t rc = config_read(f, "fuzz.cfg", cfg.get(), err, sizeof err);
    fclose(f);
    fuzz::require(rc == 0 || rc == -1, "config_read returns 0 or -1");
    fuzz::require(fuzz::terminated(err, sizeof err), "the message is terminated");
    if (rc != 0) {
        fuzz::require(strncmp(err, "fuzz.cfg", 8) == 0, "a failure names the file");
        return 0;
    }
    fuzz::require(cfg->target_count <= config_max_targets && cfg->profile_count <= config_max_profiles,
                  "the counts stay within their arrays");
    for (uint64_t t = 0; t < cfg->target_count; ++t) {
        const target_alias &a = cfg->targets[t];
        fuzz::require(fuzz::terminated(a.name, sizeof a.name) && fuzz::terminated(a.host, sizeof a.host) &&
                          fuzz::terminated(a.tls_ca_path, sizeof a.tls_ca_path),
                      "target fields are terminated");
        fuzz::require(a.port >= 1, "a target port is at least 1");
    }
    for (uint64_t p = 0; p < cfg->profile_count; ++p) {
        const profile &prof = cfg->profiles[p];
        fuzz::require(fuzz::terminated(prof.name, sizeof prof.name) && prof.name[0] != '\0',
                      "a profile has a name");
        fuzz::require(prof.setting_count <= profile_max_settings, "settings stay within their array");
        for (uint64_t s = 0; s < prof.setting_count; ++s)
            fuzz::require(fuzz::terminated(prof.settings[s].key, setting_key_size) &&
                              fuzz::terminated(prof.settings[s].value, setting_value_size) &&
                              prof.settings[s].value[0] != '\0',
                          "a setting has a key and a value");

        char **own = nullptr;
        char **agent = nullptr;
        int32_t own_count = 0;
        int32_t agent_count = 0;
        const char *api_key = nullptr;
        char why[512];
        int32_t found = profile_apply(cfg.get(), prof.name, &own, &own_count, &agent, &agent_count, &api_key,
                                      why, sizeof why);
        // Two sections of one name are refused, so the first one found is this.
        fuzz::require(found == 1 || found == -1, "a parsed profile is found");
        if (found == 1) {
            check_list(own, own_count);
            check_list(agent, agent_count);
            for (int32_t i = 0; i < agent_count; ++i)
                (void)classify_agent_arg(agent[i]);
            if (api_key != nullptr) {
                secret_spec spec;
                fuzz::require(parse_secret_spec(api_key, &spec, why, sizeof why) == 0 && spec.kind != SECRET_KMS,
                              "a handed-back api-key parses and is no kms: url");
            }
        } else {
            fuzz::require(own == nullptr && agent == nullptr && api_key == nullptr, "a failure hands back nothing");
        }
        profile_args_free(own, own_count);
        profile_args_free(agent, agent_count);
    }
    return 0;
}
