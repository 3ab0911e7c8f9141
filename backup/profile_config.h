// The backup configuration file: [targets] aliases and named profiles whose
// settings fill in the orchestrator's own options and the agent flags it
// forwards; the test that tells an agent flag on the command line; the
// parser of an api-key value.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

enum {
    config_max_targets = 64,
    config_max_profiles = 64,
    profile_max_settings = 32,
    target_name_size = 128,
    target_host_size = 256,
    target_tls_ca_size = 600,
    profile_name_size = 128,
    setting_key_size = 64,
    setting_value_size = 1024,
    profile_key_count = 44,
};

extern const char *const config_default_path;  // "/etc/vlt/vlt_proxmox.cfg"
// The file's name on the Proxmox cluster file system ("vlt_proxmox.cfg"
// under /etc/pve), read when the default file does not exist.
extern const char *const cluster_config_name;

// One line of the [targets] section: name:host:port:tls-ca-path.
struct target_alias {
    char name[target_name_size];
    char host[target_host_size];
    uint16_t port;
    char tls_ca_path[target_tls_ca_size];
};

// One key = value line of a profile; a switch's value is stored as "yes" or "no".
struct profile_setting {
    char key[setting_key_size];
    char value[setting_value_size];
};

// One section other than [targets], its settings in file order.
struct profile {
    char name[profile_name_size];
    profile_setting settings[profile_max_settings];
    uint64_t setting_count;
};

// The whole file. About 2.3 MB: keep it on the heap.
struct backup_config {
    target_alias targets[config_max_targets];
    uint64_t target_count;
    profile profiles[config_max_profiles];
    uint64_t profile_count;
};

// How a profile key is turned into arguments.
enum profile_key_kind : uint32_t {
    KEY_OWN_VALUE = 0,    // flag and value, to the orchestrator's own list
    KEY_OWN_SWITCH = 1,   // flag alone, to the own list
    KEY_AGENT_VALUE = 2,  // flag and value, to the agent list
    KEY_AGENT_SWITCH = 3, // flag alone, to the agent list
    KEY_TARGET = 4,       // alias expanded to --target host:port --tls-ca path
    KEY_API_KEY = 5,      // handed back to the driver separately
};

struct profile_key {
    const char *key;   // as written in the file
    const char *flag;  // the command-line flag, or nullptr (target, api-key)
    profile_key_kind kind;
};

// The 44 keys a profile may set, in their fixed order.
extern const profile_key profile_keys[profile_key_count];

// Parses the file at `path` into `cfg` (zero-filled first). A file that
// cannot be opened is an empty configuration unless `required` is set.
// Returns 0, or -1 with one message ("path:line: ...") in `err`.
[[nodiscard]] int32_t config_load(const char *path, int32_t required, backup_config *cfg,
                                  char *err, size_t err_size);

// Parses the configuration text read from f into `cfg` (zero-filled
// first); messages name the file `path`. Returns 0, or -1 like config_load.
[[nodiscard]] int32_t config_read(FILE *f, const char *path, backup_config *cfg, char *err,
                                  size_t err_size);

// Turns the profile called `name` into two argument lists (flags and values
// in the file's order) and the api-key value (pointing into `cfg`, or
// nullptr). Returns 1 when the profile exists, 0 when no section has that
// name, -1 on error with the message in `err`. On 0 and -1 every result is
// empty. The lists are malloc'ed arrays of malloc'ed strings: release them
// with profile_args_free.
[[nodiscard]] int32_t profile_apply(const backup_config *cfg, const char *name,
                                    char ***ret_own, int32_t *ret_own_count,
                                    char ***ret_agent, int32_t *ret_agent_count,
                                    const char **ret_api_key, char *err, size_t err_size);

// Frees a list made by profile_apply (nullptr is fine).
void profile_args_free(char **list, int32_t count);

enum secret_kind : int32_t {
    SECRET_LITERAL = 0,
    SECRET_FILE = 1,
    SECRET_KMS = 2,
};

// A parsed api-key value. `text` points into the parsed value: the path for
// file:, the url for kms:, the whole value for a literal.
struct secret_spec {
    secret_kind kind;
    const char *text;
};

// Parses "file:<path>", "kms:<url>" or a literal. Returns 0, or -1 with
// "file: needs a path" / "kms: needs a url" in `err`; `out` is untouched then.
[[nodiscard]] int32_t parse_secret_spec(const char *value, secret_spec *out, char *err,
                                        size_t err_size);

// Tells what one command-line argument before "--" is:
// 0 the orchestrator's own, 1 an agent switch, 2 an agent option whose value
// is the next argument, 3 an agent option with its value after "=".
[[nodiscard]] int32_t classify_agent_arg(const char *arg);
