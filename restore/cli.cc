// The restore program's command line and the start sequence that hands
// it to the run.
#include "restore/cli.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/log.h"
#include "common/options.h"
#include "common/progress.h"
#include "common/stale_files.h"
#include "restore/interrupt.h"
#include "restore/restore_vm.h"
#include "restore/set_choice.h"
#include "restore/utc_time.h"

const option_spec restore_option_table[] = {
    {"--job", nullptr, 1},
    {"--search-dir", nullptr, 1},
    {"--vmid", nullptr, 1},
    {"--pve-dir", nullptr, 1},
    {"--keep-network-identity", nullptr, 0},
    {"--keep-smbios-uuid", nullptr, 0},
    {"--dry-run", nullptr, 0},
    {"--list", nullptr, 0},
    {"--json", nullptr, 0},
    {"--at", nullptr, 1},
    {"--storage-map", nullptr, 2},
    {nullptr, nullptr, 0},
};

namespace {

const char *const kProgram = "vlt_proxmox_restore";

const char kUsage[] =
    "%s: restore a VM vlt_proxmox backed up into a new VM (V1: LVM/LVM-thin storage only).\n"
    "\n"
    "Usage: %s --job <prefix> --search-dir <dir> [--vmid <id>] [--storage-map <old>=<new>]...\n"
    "                 [--keep-network-identity] [--pve-dir <dir>] [--dry-run] [--at <time>]\n"
    "                 -- <vlt_restore args...>\n"
    "       %s --job <prefix> --search-dir <dir> --list [--json] [--at <time>]\n"
    "\n"
    "  --job <prefix>          the job-name prefix used at backup time (vlt_proxmox --name)\n"
    "  --search-dir <dir>      local directory holding the '<prefix>-*' .meta/.infb etc. files\n"
    "                          (V1: restore directly off a network target is not supported --\n"
    "                          fetch the files into a local directory first, e.g. via rsync)\n"
    "  --vmid <id>             restore to this VMID (must be free); default: the next free\n"
    "                          VMID cluster-wide, via 'pvesh get /cluster/nextid'\n"
    "  --storage-map <old>=<new>  allocate on storage <new> instead of the original VM's\n"
    "                          <old> (repeatable); default: same storage alias as the original\n"
    "  --keep-network-identity  keep each netN line's original MAC address (default: stripped,\n"
    "                          so Proxmox assigns a fresh one -- avoids a MAC clash if the\n"
    "                          original VM is still running)\n"
    "  --keep-smbios-uuid      keep the original smbios1 (SMBIOS system) UUID (default: a\n"
    "                          fresh one is generated -- avoids a UUID clash if the original\n"
    "                          VM is still running; use this if a guest license is bound to\n"
    "                          the hardware UUID and the original VM is being replaced)\n"
    "  --pve-dir <dir>         Proxmox cluster filesystem root (default: /etc/pve); the target\n"
    "                          config is written to <dir>/qemu-server/<vmid>.conf, and VMID\n"
    "                          collision is checked against <dir>/qemu-server and <dir>/lxc\n"
    "  --dry-run               resolve the target VMID and each disk's storage/size plan, log\n"
    "                          it, then stop -- no pvesm alloc, no vlt_restore, no config write\n"
    "  --at <time>             restore the newest complete backup made at or before <time>, in\n"
    "                          UTC: YYYY-MM-DD (the whole day), YYYY-MM-DDTHH:MM or\n"
    "                          YYYY-MM-DDTHH:MM:SS, optionally ending in Z; default: the newest\n"
    "                          complete backup\n"
    "  --list                  print the backups found, newest first, one per line: time, host,\n"
    "                          complete or not, the disks it holds and lacks, their total size;\n"
    "                          restore nothing\n"
    "  --json                  with --list: print them as one JSON array\n"
    "  -- <vlt_restore args...>  forwarded verbatim to every vlt_restore run, e.g. --verify,\n"
    "                          --decrypt-key-file, --threads, --assume-zeroed, --no-progress\n"
    "                          (--assume-zeroed only for disks on LVM-thin storage)\n"
    "\n"
    "The restored VM is left stopped (no 'qm start') so the operator can review it first (e.g.\n"
    "the network bridge assignment) before booting it.\n";

// Checks one --storage-map value and appends it. Returns -1 when accepted,
// otherwise 2 after writing the error.
int add_storage_map_entry(restore_options *opts, const char *value) {
    const char *eq = std::strchr(value, '=');
    if (eq == nullptr || eq == value || eq[1] == '\0') {
        std::fprintf(stderr, "error: --storage-map must be <old>=<new>, got '%s'\n", value);
        return 2;
    }
    if (opts->storage_map_count >= RESTORE_MAX_STORAGE_MAP) {
        std::fprintf(stderr, "error: too many --storage-map entries (max %d)\n",
                     static_cast<int>(RESTORE_MAX_STORAGE_MAP));
        return 2;
    }
    storage_map_entry &entry = opts->storage_map[opts->storage_map_count];
    size_t old_len = static_cast<size_t>(eq - value);
    size_t new_len = std::strlen(eq + 1);
    if (old_len >= sizeof entry.old_storage || new_len >= sizeof entry.new_storage) {
        std::fprintf(stderr, "error: --storage-map storage name too long: '%s'\n", value);
        return 2;
    }
    std::memcpy(entry.old_storage, value, old_len);
    entry.old_storage[old_len] = '\0';
    std::memcpy(entry.new_storage, eq + 1, new_len + 1);
    opts->storage_map_count++;
    return -1;
}

}  // namespace

void print_restore_usage(const char *invocation) {
    std::fprintf(stderr, kUsage, invocation, invocation, invocation);
}

int read_restore_command_line(int argc, char **argv, restore_options *opts) {
    std::memset(opts, 0, sizeof *opts);
    const char *const *args = argv;

    // Only what stands before the first bare "--" belongs to this program.
    int option_count = own_options_end(argc, args);
    if (option_count < argc) {
        opts->forwarded = args + option_count + 1;
        opts->forwarded_count = argc - option_count - 1;
    }

    if (option_present(option_count, args, "--help", "-h")) {
        print_restore_usage(argc > 0 && argv[0] != nullptr ? argv[0] : kProgram);
        return 0;
    }
    scan_options(option_count, args, restore_option_table, 0);

    opts->job_prefix = option_value(option_count, args, "--job", nullptr, nullptr);
    opts->search_dir = option_value(option_count, args, "--search-dir", nullptr, nullptr);
    opts->requested_vmid = option_value(option_count, args, "--vmid", nullptr, nullptr);
    opts->pve_dir = option_value(option_count, args, "--pve-dir", nullptr, nullptr);
    opts->keep_network_identity =
        option_present(option_count, args, "--keep-network-identity", nullptr);
    opts->keep_smbios_uuid = option_present(option_count, args, "--keep-smbios-uuid", nullptr);
    opts->dry_run = option_present(option_count, args, "--dry-run", nullptr);
    opts->list = option_present(option_count, args, "--list", nullptr);
    opts->json = option_present(option_count, args, "--json", nullptr);
    const char *at = option_value(option_count, args, "--at", nullptr, nullptr);

    if (opts->job_prefix == nullptr || opts->search_dir == nullptr) {
        std::fputs("error: --job and --search-dir are required (use --help)\n", stderr);
        return 2;
    }
    if (opts->json && !opts->list) {
        std::fputs("error: --json goes with --list\n", stderr);
        return 2;
    }
    if (at != nullptr) {
        if (parse_utc_time(at, &opts->at) != 0) {
            std::fprintf(stderr,
                         "error: --at must be an ISO 8601 date or date-time in UTC (YYYY-MM-DD, "
                         "YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS, optionally ending in Z), got '%s'\n",
                         at);
            return 2;
        }
        opts->at_given = 1;
    }

    for (int i = 1; i + 1 < option_count; i++) {
        if (std::strcmp(argv[i], "--storage-map") != 0)
            continue;
        int status = add_storage_map_entry(opts, argv[i + 1]);
        if (status >= 0)
            return status;
        i++;  // the value is not an option of its own
    }
    return -1;
}

int restore_main(int argc, char **argv) {
    int32_t early = handle_version_selftest(argc, argv, kProgram);
    if (early >= 0)
        return early;
    log_setup(kProgram, LOG_LEVEL_INFO);

    restore_options opts;
    int status = read_restore_command_line(argc, argv, &opts);
    if (status >= 0)
        return status;

    char err[1024];
    err[0] = '\0';
    if (opts.list) {
        if (list_backup_sets(&opts, stdout, err, sizeof err) == 0)
            return 0;
        log_write(LOG_LEVEL_ERROR, "%s", err);
        if (interrupt_signal() != 0)
            end_by_signal(interrupt_signal());
        return 1;
    }

    // What dead runs of either program left behind (a listing only reads);
    // before our own segment, as a dead process with our pid may have left
    // one.
    sweep_stale_files();
    progress_start(PROGRESS_KIND_RESTORE, opts.job_prefix, opts.forwarded, opts.forwarded_count);
    int64_t vmid = 0;
    int32_t rc = restore_vm(&opts, &vmid, err, sizeof err);
    progress_finish(rc == 0 ? 1 : 0);
    if (rc != 0)
        log_write(LOG_LEVEL_ERROR, "%s", err);
    else
        log_write(LOG_LEVEL_INFO, "done (VMID %" PRId64 ")%s", vmid, opts.dry_run ? " [dry run]" : "");
    // Rolled back (or, past the install, finished): now the signal ends us.
    if (interrupt_signal() != 0)
        end_by_signal(interrupt_signal());
    return rc == 0 ? 0 : 1;
}
