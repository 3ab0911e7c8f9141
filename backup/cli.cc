// The start of vlt_proxmox: version and self-test answers, logging, the
// split into own and forwarded arguments, the configuration file and its
// profile, the checks, the progress segment and the backup run.
#include "backup/cli.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "backup/backup_options.h"
#include "backup/mail.h"
#include "backup/node_run.h"
#include "backup/profile_config.h"
#include "backup/run_backup.h"
#include "backup/snapshots.h"
#include "backup/vm_state.h"
#include "common/log.h"
#include "common/owned.h"
#include "common/options.h"
#include "common/progress.h"
#include "common/stale_files.h"
#include "common/text.h"

int32_t (*backup_run_hook)(const backup_options *opts) = run_backup;

namespace {

// Each VM of a node-wide run is backed up by the run backup_main would use.
int32_t run_node_default(const backup_options *opts, const node_options *node)
{
    return run_node(opts, node, backup_run_hook);
}

}  // namespace

int32_t (*node_run_hook)(const backup_options *opts, const node_options *node) = run_node_default;
const char *backup_default_config_path = config_default_path;

const option_spec backup_option_table[] = {
    {"--config-path", nullptr, 1},
    {"--name", nullptr, 1},
    {"--vmid", nullptr, 1},
    {"--snapshot-size", nullptr, 1},
    {"--freeze-timeout", nullptr, 1},
    {"--consistency", nullptr, 1},
    {"--no-vmconfig", nullptr, 0},
    {"--disk", nullptr, 2},
    {"--pool-limit", nullptr, 1},
    {"--agent-timeout", nullptr, 1},
    {"--pve-dir", nullptr, 1},
    {"--all", nullptr, 0},
    {"--pool", nullptr, 1},
    {"--exclude", nullptr, 1},
    {"--jobs", nullptr, 1},
    {"--json", nullptr, 0},
    {"--mailto", nullptr, 1},
    {"--mail-on", nullptr, 1},
    {nullptr, nullptr, 0},
};

namespace {

const char *const program_name = "vlt_proxmox";

using arg_array = std::unique_ptr<const char *[], free_deleter>;

// The lists a profile produced, freed when the run is over.
struct profile_lists {
    char **own = nullptr;
    int32_t own_count = 0;
    char **agent = nullptr;
    int32_t agent_count = 0;
    profile_lists() = default;
    profile_lists(const profile_lists &) = delete;
    profile_lists &operator=(const profile_lists &) = delete;
    ~profile_lists()
    {
        profile_args_free(own, own_count);
        profile_args_free(agent, agent_count);
    }
};

const char **alloc_args(size_t count)
{
    return static_cast<const char **>(calloc(count + 1, sizeof(const char *)));
}

int out_of_memory()
{
    fputs("error: out of memory\n", stderr);
    return 1;
}

// The own options come from two lists: the command line's (element 0 is
// the program name) and the profile's, appended after it. A value is looked
// up in the command line's list first, so the command line wins; a valued
// option that ends the command line without its value does not take the
// profile's first word as its value.
struct own_lists {
    const char *const *cmd;
    int32_t cmd_count;
    const char *const *prof;  // prof[0] is never examined
    int32_t prof_count;       // counting prof[0]

    const char *value(const char *name) const
    {
        const char *v = option_value(cmd_count, cmd, name, nullptr, nullptr);
        if (v == nullptr)
            v = option_value(prof_count, prof, name, nullptr, nullptr);
        return v;
    }

    bool present(const char *name) const
    {
        return option_present(cmd_count, cmd, name, nullptr) != 0 ||
               option_present(prof_count, prof, name, nullptr) != 0;
    }
};

// Takes the word after every "--disk" of one list as a selected slot.
void collect_disks(const char *const *list, int32_t count, backup_options *opts)
{
    for (int32_t i = 1; i < count; i++) {
        if (strcmp(list[i], "--disk") != 0)
            continue;
        if (i + 1 >= count)
            break;
        const char *slot = list[++i];
        if (opts->slot_count < BACKUP_MAX_SELECTED)
            opts->slots[opts->slot_count++] = slot;
        else
            log_write(LOG_LEVEL_WARN, "--disk '%s' ignored: at most %d --disk entries", slot,
                      static_cast<int>(BACKUP_MAX_SELECTED));
    }
}

// Reads a whole decimal number (leading blanks and a sign as strtol reads
// them) from min to max.
bool parse_whole_number(const char *text, long min, long max, long *ret_value)
{
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < min || v > max)
        return false;
    *ret_value = v;
    return true;
}

// VLT_THAW_DEADLINE, when set: how many seconds (a decimal number, at most
// a day) a thaw is retried until the guest is confirmed thawed; the pause
// between tries is a twentieth of it, from 50 ms to 1 s. False after the
// error.
bool read_thaw_deadline()
{
    const char *text = getenv("VLT_THAW_DEADLINE");
    if (text == nullptr || text[0] == '\0')
        return true;
    char *end = nullptr;
    errno = 0;
    double seconds = strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !(seconds > 0) || seconds > 86400) {
        fputs("error: VLT_THAW_DEADLINE must be a positive number of seconds (at most 86400)\n", stderr);
        return false;
    }
    uint32_t ms = static_cast<uint32_t>(seconds * 1000 + 0.5);
    thaw_confirm_deadline_ms = ms > 0 ? ms : 1;
    uint32_t pause = thaw_confirm_deadline_ms / 20;
    thaw_poll_interval_ms = pause < 50 ? 50 : pause > 1000 ? 1000 : pause;
    return true;
}

// Reads the valued option `name` as a whole number from min to max into
// *value, which stays as it is without the option. False after writing
// `error` to standard error.
bool read_number(const own_lists &lists, const char *name, long min, long max, const char *error, long *value)
{
    const char *text = lists.value(name);
    if (text == nullptr || parse_whole_number(text, min, max, value))
        return true;
    fputs(error, stderr);
    return false;
}

// The limits of a run: --freeze-timeout, --pool-limit and --agent-timeout.
// Returns -1 to go on, otherwise the exit status 2 after the error.
int read_limits(const own_lists &lists, backup_options *opts)
{
    long freeze = 0, pool = 0, agent = 0;
    if (!read_number(lists, "--freeze-timeout", 1, INT32_MAX,
                     "error: --freeze-timeout must be a positive number of seconds\n", &freeze) ||
        !read_number(lists, "--pool-limit", 1, 100, "error: --pool-limit must be a whole percentage from 1 to 100\n",
                     &pool) ||
        !read_number(lists, "--agent-timeout", 1, INT32_MAX,
                     "error: --agent-timeout must be a positive number of seconds\n", &agent))
        return 2;
    opts->freeze_timeout = static_cast<int32_t>(freeze);
    opts->pool_limit = static_cast<uint32_t>(pool);
    opts->agent_timeout = static_cast<uint32_t>(agent);
    return -1;
}

// The lists a run is made of: the split command line, the profile's lists
// and their merge. The options borrow from them until the run is over.
struct run_lists {
    arg_array own;
    int32_t own_count = 0;
    arg_array fwd;
    int32_t fwd_count = 0;
    profile_lists prof;
    const char *api_key = nullptr;  // points into the configuration
    arg_array merged_own;
    arg_array merged_fwd;
    int32_t merged_fwd_count = 0;
    char cluster_config[PATH_MAX] = "";  // the cluster file system's copy, when it is used
};

// The configuration file when --config-path does not name one: the
// default, else, when only it exists, the copy on the cluster file system
// (<pve-dir>/vlt_proxmox.cfg, the --pve-dir of the command line or
// /etc/pve), which every node of a cluster reads. *ret_required is set
// for the cluster copy: it exists, so failing to read it is an error.
const char *default_config(const run_lists &l, char *cluster_path, size_t cluster_size, int32_t *ret_required)
{
    struct stat st;
    if (lstat(backup_default_config_path, &st) == 0 || errno != ENOENT)
        return backup_default_config_path;
    const char *pve_dir = option_value(l.own_count, l.own.get(), "--pve-dir", nullptr, nullptr);
    if (pve_dir == nullptr || pve_dir[0] == '\0')
        pve_dir = "/etc/pve";
    put_text(cluster_path, cluster_size, "%s/%s", pve_dir, cluster_config_name);
    if (stat(cluster_path, &st) != 0)
        return backup_default_config_path;
    *ret_required = 1;
    return cluster_path;
}

// Reads the configuration file (required when --config-path names it) and
// applies the profile --name names. Returns -1 to go on, otherwise the
// exit status after the error.
int apply_profile(run_lists *l, backup_config *config, const char **ret_config_path, const char **ret_name)
{
    const char *config_path = option_value(l->own_count, l->own.get(), "--config-path", nullptr, nullptr);
    int32_t config_required = 0;
    for (int32_t i = 1; i < l->own_count; i++)
        if (strcmp(l->own[i], "--config-path") == 0 || strncmp(l->own[i], "--config-path=", 14) == 0)
            config_required = 1;
    if (config_path == nullptr)
        config_path = default_config(*l, l->cluster_config, sizeof l->cluster_config, &config_required);
    *ret_config_path = config_path;
    char err[256];
    if (config_load(config_path, config_required, config, err, sizeof err) != 0) {
        fprintf(stderr, "error: %s\n", err);
        return 2;
    }

    const char *name = option_value(l->own_count, l->own.get(), "--name", nullptr, nullptr);
    *ret_name = name;
    profile_lists &prof = l->prof;
    if (name != nullptr && profile_apply(config, name, &prof.own, &prof.own_count, &prof.agent,
                                         &prof.agent_count, &l->api_key, err, sizeof err) < 0) {
        fprintf(stderr, "error: %s\n", err);
        return 2;
    }
    return -1;
}

// The merged lists: the command line's first, the profile's after it.
// False when out of memory.
bool merge_lists(run_lists *l)
{
    const profile_lists &prof = l->prof;
    l->merged_own.reset(alloc_args(static_cast<size_t>(l->own_count + prof.own_count)));
    l->merged_fwd.reset(alloc_args(static_cast<size_t>(l->fwd_count + prof.agent_count)));
    if (!l->merged_own || !l->merged_fwd)
        return false;
    for (int32_t i = 0; i < l->own_count; i++)
        l->merged_own[i] = l->own[i];
    for (int32_t i = 0; i < prof.own_count; i++)
        l->merged_own[l->own_count + i] = prof.own[i];
    for (int32_t i = 0; i < l->fwd_count; i++)
        l->merged_fwd[i] = l->fwd[i];
    for (int32_t i = 0; i < prof.agent_count; i++)
        l->merged_fwd[l->fwd_count + i] = prof.agent[i];
    l->merged_fwd_count = l->fwd_count + prof.agent_count;
    return true;
}

// The words of one list that choose the VMs to back up.
struct selection_words {
    const char *vmid = nullptr;
    bool all = false;
    const char *pool = nullptr;
    bool any() const { return vmid != nullptr || all || pool != nullptr; }
};

selection_words selection_in(const char *const *list, int32_t count)
{
    selection_words w;
    w.vmid = option_value(count, list, "--vmid", nullptr, nullptr);
    w.all = option_present(count, list, "--all", nullptr) != 0;
    w.pool = option_value(count, list, "--pool", nullptr, nullptr);
    return w;
}

// Whether a list gives an option, with or without its value.
bool given_in(const char *const *list, int32_t count, const char *flag)
{
    return option_present(count, list, flag, nullptr) != 0 || option_value(count, list, flag, nullptr, nullptr);
}

// The settings of a node-wide run, and their profile keys (--json has none).
struct node_setting {
    const char *flag;
    const char *key;
};
const node_setting node_settings[] = {
    {"--exclude", "exclude"}, {"--jobs", "jobs"}, {"--json", nullptr}, {"--mailto", "mailto"},
    {"--mail-on", "mail-on"},
};

// A run of one VM has no use for the node-wide settings: given on the
// command line they are an error; from the profile (one that also serves
// node-wide runs) they are ignored with a warning. -1 to go on, else 2.
int refuse_node_settings(const own_lists &lists, const char *name)
{
    for (const node_setting &s : node_settings) {
        if (given_in(lists.cmd, lists.cmd_count, s.flag)) {
            fprintf(stderr, "error: %s goes with --all or --pool (it is for runs of many VMs)\n", s.flag);
            return 2;
        }
        if (s.key != nullptr && given_in(lists.prof, lists.prof_count, s.flag))
            log_write(LOG_LEVEL_WARN, "[%s]: %s= is ignored in a run of one VM (it applies with all= or pool=)",
                      name != nullptr ? name : "", s.key);
    }
    return -1;
}

// A list of VMIDs separated by commas or blanks. False when a word is not
// a VMID (1 to 999999999), the list is empty, or longer than max.
bool parse_vmid_list(const char *text, long *out, int32_t max, int32_t *ret_count)
{
    int32_t count = 0;
    const char *p = text;
    for (;;) {
        while (*p == ',' || *p == ' ' || *p == '\t')
            p++;
        if (*p == '\0')
            break;
        if (*p < '0' || *p > '9')
            return false;
        char *end = nullptr;
        errno = 0;
        long v = strtol(p, &end, 10);
        if (errno != 0 || v < 1 || v > 999999999 || (*end != '\0' && *end != ',' && *end != ' ' && *end != '\t'))
            return false;
        if (count >= max)
            return false;
        out[count++] = v;
        p = end;
    }
    *ret_count = count;
    return count > 0;
}

// A Proxmox pool name: letters, digits, '.', '_' and '-'.
bool valid_pool_name(const char *name)
{
    if (name[0] == '\0' || strlen(name) > 120)
        return false;
    for (const char *c = name; *c != '\0'; c++)
        if (!isalnum(static_cast<unsigned char>(*c)) && *c != '.' && *c != '_' && *c != '-')
            return false;
    return true;
}

// The settings of a run with --all or --pool. -1 to go on, else 2.
int read_node_options(const own_lists &lists, const selection_words &chosen, const char *name,
                      const backup_options *opts, node_options *node)
{
    node->selection = chosen.all ? SELECT_ALL : SELECT_POOL;
    node->pool = chosen.pool;
    node->name = name;
    if (chosen.pool != nullptr && !valid_pool_name(chosen.pool)) {
        fprintf(stderr, "error: --pool: '%s' is not a pool name (letters, digits, '.', '_' and '-')\n", chosen.pool);
        return 2;
    }
    if (opts->slot_count > 0) {
        fputs("error: --disk cannot be combined with --all or --pool (the VMs have slots of their own)\n", stderr);
        return 2;
    }
    if (name != nullptr && strlen(name) > NODE_NAME_MAX) {
        fprintf(stderr,
                "error: --name must be at most %d characters with --all or --pool (each VM's job prefix is "
                "<name>-<vmid>)\n",
                static_cast<int>(NODE_NAME_MAX));
        return 2;
    }
    const char *exclude = lists.value("--exclude");
    if (exclude != nullptr &&
        !parse_vmid_list(exclude, node->excluded, NODE_MAX_EXCLUDED, &node->excluded_count)) {
        fprintf(stderr, "error: --exclude takes VMIDs separated by commas, at most %d (not '%s')\n",
                static_cast<int>(NODE_MAX_EXCLUDED), exclude);
        return 2;
    }
    long jobs = 1;
    const char *jobs_text = lists.value("--jobs");
    if (jobs_text != nullptr && !parse_whole_number(jobs_text, 1, NODE_MAX_JOBS, &jobs)) {
        fprintf(stderr, "error: --jobs must be a whole number from 1 to %d\n", static_cast<int>(NODE_MAX_JOBS));
        return 2;
    }
    node->jobs = static_cast<int32_t>(jobs);
    node->json = option_present(lists.cmd_count, lists.cmd, "--json", nullptr) ? 1 : 0;
    node->mailto = lists.value("--mailto");
    char mail_msg[256];
    if (node->mailto != nullptr && check_mail_addresses(node->mailto, mail_msg, sizeof mail_msg) != 0) {
        fprintf(stderr, "error: --mailto: %s\n", mail_msg);
        return 2;
    }
    const char *mail_on = lists.value("--mail-on");
    if (mail_on != nullptr) {
        if (strcmp(mail_on, "always") == 0) {
            node->mail_on = MAIL_ALWAYS;
        } else if (strcmp(mail_on, "failure") == 0) {
            node->mail_on = MAIL_ON_FAILURE;
        } else {
            fprintf(stderr, "error: --mail-on must be always or failure (not '%s')\n", mail_on);
            return 2;
        }
    }
    if (name != nullptr)
        put_text(node->label, sizeof node->label, "%s", name);
    else if (chosen.pool != nullptr)
        put_text(node->label, sizeof node->label, "pool %s", chosen.pool);
    else
        put_text(node->label, sizeof node->label, "all");
    return -1;
}

// The run's options from the merged lists. Returns -1 to go on, otherwise
// the exit status 2 after the error.
int fill_options(const run_lists &l, const char *name, const char *config_path, const char *usage_name,
                 backup_options *opts, node_options *node)
{
    own_lists lists{l.merged_own.get(), l.own_count, l.merged_own.get() + l.own_count - 1,
                    l.prof.own_count + 1};
    *opts = backup_options{};
    *node = node_options{};
    node->jobs = 1;
    // The command line's choice of VMs replaces the profile's.
    selection_words chosen = selection_in(lists.cmd, lists.cmd_count);
    if (!chosen.any())
        chosen = selection_in(lists.prof, lists.prof_count);
    const char *job_name = lists.value("--name");
    opts->snapshot_size = lists.value("--snapshot-size");
    const char *consistency = lists.value("--consistency");
    opts->pve_dir = lists.value("--pve-dir");
    opts->no_vmconfig = lists.present("--no-vmconfig") ? 1 : 0;

    if (chosen.vmid != nullptr && (chosen.all || chosen.pool != nullptr)) {
        fputs("error: --vmid cannot be combined with --all or --pool\n", stderr);
        return 2;
    }
    if (chosen.all && chosen.pool != nullptr) {
        fputs("error: --all and --pool cannot be combined (--pool backs up the pool's VMs on this node)\n", stderr);
        return 2;
    }
    bool node_wide = chosen.all || chosen.pool != nullptr;
    opts->vmid = chosen.vmid;
    if (!node_wide && (opts->vmid == nullptr || opts->vmid[0] == '\0')) {
        fprintf(stderr,
                "error: --vmid is required (either --vmid on the command line or vmid= in a [%s] "
                "section of %s)\n\n",
                name != nullptr ? name : "<name>", config_path);
        print_backup_usage(usage_name);
        return 2;
    }
    int status = read_limits(lists, opts);
    if (status >= 0)
        return status;
    if (consistency != nullptr && parse_consistency_policy(consistency, &opts->consistency) != 0) {
        fprintf(stderr, "error: --consistency must be fs, try or crash (not '%s')\n", consistency);
        return 2;
    }

    collect_disks(lists.cmd, lists.cmd_count, opts);
    collect_disks(lists.prof, lists.prof_count, opts);
    status = node_wide ? read_node_options(lists, chosen, job_name, opts, node) : refuse_node_settings(lists, name);
    if (status >= 0)
        return status;
    if (job_name != nullptr && job_name[0] != '\0')
        snprintf(opts->job_prefix, sizeof opts->job_prefix, "%s", job_name);
    else if (!node_wide)
        snprintf(opts->job_prefix, sizeof opts->job_prefix, "vm%s", opts->vmid);
    opts->forwarded = l.merged_fwd.get();
    opts->forwarded_count = l.merged_fwd_count;
    opts->api_key = l.api_key;
    return -1;
}

}  // namespace

void print_backup_usage(const char *program)
{
    fprintf(stderr,
            "%s: back up a ProxmoxVE VM's disk-like volumes via one atomically-frozen set of LVM\n"
            "snapshots (V1: LVM/LVM-thin storage only).\n"
            "\n"
            "Usage: %s --vmid <id> [--disk <slot>]... [--name <job-prefix>] [--snapshot-size <spec>]\n"
            "                 [--freeze-timeout <seconds>] [--consistency fs|try|crash] [--no-vmconfig]\n"
            "                 [--pool-limit <percent>] [--agent-timeout <seconds>] [--pve-dir <dir>]\n"
            "                 [--config-path <file>]\n"
            "                 -- <vlt_agent args...>\n"
            "       %s --all | --pool <pool> [--exclude <id,...>] [--jobs <n>] [--json]\n"
            "                 [--mailto <addresses>] [--mail-on always|failure] [--name <profile>]\n"
            "                 [the options above but --vmid and --disk] -- <vlt_agent args...>\n"
            "\n"
            "  --vmid <id>             Proxmox VM id, e.g. 101 (may instead come from vmid= in the config)\n"
            "  --disk <slot>           back up only this disk-like volume (repeatable); default: every\n"
            "                          disk-like volume the VM has (run 'qm config <id> --current' to see them)\n"
            "  --all                   instead of --vmid: every VM whose configuration lives on this node\n"
            "                          (<pve-dir>/nodes/<node>/qemu-server/*.conf; never containers), each\n"
            "                          backed up by a run of its own in ascending VMID order, then a summary\n"
            "  --pool <pool>           instead of --vmid: the VMs of this Proxmox pool that live on this node\n"
            "  --exclude <id,...>      leave these VMIDs out of --all or --pool\n"
            "  --jobs <n>              back up to n VMs at once (default: 1); their freezes and snapshots\n"
            "                          still take turns, so no guest stays frozen longer\n"
            "  --json                  write the summary of --all or --pool as JSON to standard output\n"
            "  --mailto <addresses>    mail the summary of --all or --pool through /usr/sbin/sendmail\n"
            "                          (addresses separated by commas)\n"
            "  --mail-on <when>        always (default) or failure: when the summary is mailed\n"
            "  --name <job-prefix>     vlt_agent job name prefix (default: vm<vmid>); each disk's job is\n"
            "                          named <prefix>-<disk-slot>, the VM config's job <prefix>-vmconfig.\n"
            "                          With --all or --pool each VM's prefix is <name>-<vmid> (vm<vmid>\n"
            "                          without --name). If --name matches a \"[name]\" section of the\n"
            "                          config file, its settings fill in any flag not given on the command line.\n"
            "  --snapshot-size <spec>  COW space for a thick LVM snapshot (default: 10%%, see vlt_agent --help)\n"
            "  --freeze-timeout <sec>  timeout for each 'qm guest cmd fsfreeze-*' call (default: 60)\n"
            "  --consistency <policy>  a running VM that its guest agent cannot freeze: fs (default)\n"
            "                          fails the run, try backs it up crash-consistent with a warning,\n"
            "                          crash never calls the guest agent. Stopped VMs and templates\n"
            "                          need no freeze; a VM whose agent setting has freeze-fs=0 is\n"
            "                          never frozen.\n"
            "  --pool-limit <percent>  refuse, or stop, the backup when a thin pool holding one of its\n"
            "                          snapshots is fuller than this (data or metadata; default: 90)\n"
            "  --agent-timeout <sec>   stop a vlt_agent run that takes longer (default: no limit)\n"
            "  --pve-dir <dir>         Proxmox cluster filesystem root (default: /etc/pve); its\n"
            "                          storage.cfg tells which storages are shared\n"
            "  --no-vmconfig           do not additionally back up the VM's own configuration\n"
            "  --config-path <file>    configuration file (default /etc/vlt/vlt_proxmox.cfg; when that does\n"
            "                          not exist, <pve-dir>/vlt_proxmox.cfg on the cluster file system); a\n"
            "                          \"[targets]\" section of 'alias:host:port:tls-ca-path' lines lets a\n"
            "                          profile say \"target=<alias>\" instead of repeating --target/--tls-ca.\n"
            "                          Example: vlt_proxmox --name <job-prefix>\n"
            "  -- <vlt_agent args...>  forwarded verbatim to every vlt_agent run, e.g. --out/--target/--type\n"
            "                          (--source, --snapshot and --name are set by vlt_proxmox itself);\n"
            "                          the vlt_agent flags a profile may set (--type, --out, --verify,\n"
            "                          ...) are also forwarded when given before \"--\"\n",
            program, program, program);
}

int32_t split_command_line(int argc, char **argv, const char ***ret_own, int32_t *ret_own_count,
                           const char ***ret_forwarded, int32_t *ret_forwarded_count)
{
    size_t n = argc > 0 ? static_cast<size_t>(argc) : 0;
    arg_array own(alloc_args(n + 1));
    arg_array fwd(alloc_args(n));
    if (!own || !fwd)
        return -1;

    int32_t end = own_options_end(argc, argv);

    int32_t own_count = 0;
    int32_t fwd_count = 0;
    own[own_count++] = argc > 0 ? argv[0] : program_name;
    for (int32_t i = 1; i < end; i++) {
        switch (classify_agent_arg(argv[i])) {
        case 0:
            own[own_count++] = argv[i];
            break;
        case 2:
            fwd[fwd_count++] = argv[i];
            if (i + 1 < end)
                fwd[fwd_count++] = argv[++i];
            break;
        default:  // 1 and 3: one word on its own
            fwd[fwd_count++] = argv[i];
            break;
        }
    }
    for (int32_t i = end + 1; i < argc; i++)
        fwd[fwd_count++] = argv[i];

    *ret_own = own.release();
    *ret_own_count = own_count;
    *ret_forwarded = fwd.release();
    *ret_forwarded_count = fwd_count;
    return 0;
}

int backup_main(int argc, char **argv)
{
    int32_t early = handle_version_selftest(argc, argv, program_name);
    if (early >= 0)
        return early;

    log_setup(program_name, LOG_LEVEL_INFO);

    run_lists lists;
    const char **own_raw = nullptr;
    const char **fwd_raw = nullptr;
    if (split_command_line(argc, argv, &own_raw, &lists.own_count, &fwd_raw, &lists.fwd_count) != 0)
        return out_of_memory();
    lists.own.reset(own_raw);
    lists.fwd.reset(fwd_raw);
    const char *usage_name = argc > 0 ? argv[0] : program_name;

    if (option_present(lists.own_count, lists.own.get(), "--help", "-h")) {
        print_backup_usage(usage_name);
        return 0;
    }
    (void)scan_options(lists.own_count, lists.own.get(), backup_option_table, 0);

    std::unique_ptr<backup_config> config(new (std::nothrow) backup_config);
    if (!config)
        return out_of_memory();
    const char *config_path = nullptr;
    const char *name = nullptr;
    int status = apply_profile(&lists, config.get(), &config_path, &name);
    if (status >= 0)
        return status;
    if (!merge_lists(&lists))
        return out_of_memory();
    backup_options opts;
    std::unique_ptr<node_options> node(new (std::nothrow) node_options);
    if (!node)
        return out_of_memory();
    status = fill_options(lists, name, config_path, usage_name, &opts, node.get());
    if (status >= 0)
        return status;
    if (!read_thaw_deadline() || !api_key_fits(&opts))
        return 2;

    // Before our own segment: a dead process with our pid may have left one.
    sweep_stale_files();
    bool node_wide = node->selection != SELECT_ONE_VM;
    progress_start(PROGRESS_KIND_BACKUP, node_wide ? node->label : opts.job_prefix, opts.forwarded,
                   opts.forwarded_count);
    int32_t rc = node_wide ? node_run_hook(&opts, node.get()) : backup_run_hook(&opts);
    progress_finish(rc == 0 ? 1 : 0);
    return rc;
}
