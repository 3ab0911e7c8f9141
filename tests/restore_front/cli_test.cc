// The restore command line and the usage text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "front_util.h"
#include "restore/cli.h"

namespace {

class CommandLine : public testing::Test {
protected:
    void SetUp() override { log_setup("vlt_proxmox_restore", LOG_LEVEL_INFO); }

    // Reads args (the program name is added) and keeps the status and what
    // went to standard error.
    int read(std::vector<std::string> args) {
        args.insert(args.begin(), "vlt_proxmox_restore");
        storage_.assign(args.begin(), args.end());
        argv_.clear();
        for (std::string &a : storage_)
            argv_.push_back(a.data());
        argv_.push_back(nullptr);
        testing::internal::CaptureStderr();
        int status = read_restore_command_line(static_cast<int>(storage_.size()), argv_.data(),
                                               &opts_);
        err_ = testing::internal::GetCapturedStderr();
        return status;
    }

    restore_options opts_{};
    std::string err_;

private:
    std::vector<std::string> storage_;
    std::vector<char *> argv_;
};

const std::vector<std::string> kRequired = {"--job", "vm100", "--search-dir", "/restore"};

std::vector<std::string> with_required(std::vector<std::string> more) {
    std::vector<std::string> args = kRequired;
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

TEST_F(CommandLine, ReadsOptionsFlagsAndForwardedArguments) {
    ASSERT_EQ(read({"--job=vm100", "--search-dir", "/restore", "--vmid", "105", "--pve-dir",
                    "/pve", "--keep-smbios-uuid", "--dry-run", "--", "--verify", "--threads",
                    "4"}),
              -1);
    EXPECT_STREQ(opts_.job_prefix, "vm100");
    EXPECT_STREQ(opts_.search_dir, "/restore");
    EXPECT_STREQ(opts_.requested_vmid, "105");
    EXPECT_STREQ(opts_.pve_dir, "/pve");
    EXPECT_EQ(opts_.keep_network_identity, 0);
    EXPECT_EQ(opts_.keep_smbios_uuid, 1);
    EXPECT_EQ(opts_.dry_run, 1);
    ASSERT_EQ(opts_.forwarded_count, 3);
    EXPECT_STREQ(opts_.forwarded[0], "--verify");
    EXPECT_STREQ(opts_.forwarded[2], "4");
    EXPECT_EQ(err_, "");

    // The first occurrence counts; a flag written with "=" is no flag.
    ASSERT_EQ(read({"--job", "a", "--job", "b", "--search-dir", "/r", "--dry-run=1",
                    "--keep-network-identity"}),
              -1);
    EXPECT_STREQ(opts_.job_prefix, "a");
    EXPECT_EQ(opts_.dry_run, 0);
    EXPECT_EQ(opts_.keep_network_identity, 1);
    EXPECT_EQ(opts_.forwarded, nullptr);
    EXPECT_EQ(opts_.forwarded_count, 0);
    EXPECT_NE(err_.find("unknown option '--dry-run=...' ignored"), std::string::npos) << err_;

    // A --vmid without its value counts as no --vmid.
    ASSERT_EQ(read(with_required({"--vmid"})), -1);
    EXPECT_EQ(opts_.requested_vmid, nullptr);
}

TEST_F(CommandLine, RequiresJobAndSearchDirBeforeLookingAtTheMap) {
    const std::string message = "error: --job and --search-dir are required (use --help)\n";
    EXPECT_EQ(read({"--job", "vm100"}), 2);
    EXPECT_EQ(err_, message);
    EXPECT_EQ(read({"--search-dir", "/r", "--storage-map", "bad"}), 2);
    EXPECT_EQ(err_, message);
    // Given only after "--" they are forwarded, not options.
    EXPECT_EQ(read({"--", "--job", "vm100", "--search-dir", "/r"}), 2);
    EXPECT_EQ(err_, message);
}

TEST_F(CommandLine, StorageMapSplitsAtTheFirstEquals) {
    ASSERT_EQ(read(with_required({"--storage-map", "a=b=c", "--storage-map", "local-lvm=fast"})),
              -1);
    ASSERT_EQ(opts_.storage_map_count, 2u);
    EXPECT_STREQ(opts_.storage_map[0].old_storage, "a");
    EXPECT_STREQ(opts_.storage_map[0].new_storage, "b=c");
    EXPECT_STREQ(opts_.storage_map[1].old_storage, "local-lvm");
    EXPECT_STREQ(opts_.storage_map[1].new_storage, "fast");
}

TEST_F(CommandLine, StorageMapRejectsValuesWithoutBothNames) {
    for (const char *value : {"=x", "x=", "x", ""}) {
        EXPECT_EQ(read(with_required({"--storage-map", value})), 2) << value;
        EXPECT_EQ(err_, std::string("error: --storage-map must be <old>=<new>, got '") + value +
                            "'\n");
    }
}

TEST_F(CommandLine, StorageMapOnlyInTwoArgumentFormAndBeforeTheSeparator) {
    ASSERT_EQ(read(with_required({"--storage-map=a=b"})), -1);
    EXPECT_EQ(opts_.storage_map_count, 0u);
    EXPECT_NE(err_.find("unknown option '--storage-map=...' ignored"), std::string::npos) << err_;

    ASSERT_EQ(read(with_required({"--", "--storage-map", "a=b"})), -1);
    EXPECT_EQ(opts_.storage_map_count, 0u);
    EXPECT_EQ(opts_.forwarded_count, 2);

    // The last option without a value is ignored, also right before "--".
    ASSERT_EQ(read(with_required({"--storage-map"})), -1);
    EXPECT_EQ(opts_.storage_map_count, 0u);
    ASSERT_EQ(read(with_required({"--storage-map", "--", "a=b"})), -1);
    EXPECT_EQ(opts_.storage_map_count, 0u);
}

TEST_F(CommandLine, StorageMapCountIsCheckedBeforeNameLengths) {
    std::vector<std::string> args = kRequired;
    for (int i = 0; i < 32; i++) {
        args.push_back("--storage-map");
        args.push_back("s" + std::to_string(i) + "=t" + std::to_string(i));
    }
    ASSERT_EQ(read(args), -1);
    ASSERT_EQ(opts_.storage_map_count, 32u);
    EXPECT_STREQ(opts_.storage_map[31].old_storage, "s31");
    EXPECT_STREQ(opts_.storage_map[31].new_storage, "t31");

    args.push_back("--storage-map");
    args.push_back(std::string(200, 'x') + "=y");
    EXPECT_EQ(read(args), 2);
    EXPECT_EQ(err_, "error: too many --storage-map entries (max 32)\n");
}

TEST_F(CommandLine, StorageNamesUpTo127Characters) {
    const std::string n127(127, 'a');
    const std::string n128(128, 'b');
    ASSERT_EQ(read(with_required({"--storage-map", n127 + "=" + n127})), -1);
    ASSERT_EQ(opts_.storage_map_count, 1u);
    EXPECT_EQ(opts_.storage_map[0].old_storage, n127);
    EXPECT_EQ(opts_.storage_map[0].new_storage, n127);

    for (const std::string &value : {n128 + "=x", "x=" + n128}) {
        EXPECT_EQ(read(with_required({"--storage-map", value})), 2);
        EXPECT_EQ(err_, "error: --storage-map storage name too long: '" + value + "'\n");
    }
}

const char *const kUsageLines[] = {
    "prog: restore a VM vlt_proxmox backed up into a new VM (V1: LVM/LVM-thin storage only).",
    "",
    "Usage: prog --job <prefix> --search-dir <dir> [--vmid <id>] [--storage-map <old>=<new>]...",
    "                 [--keep-network-identity] [--pve-dir <dir>] [--dry-run] [--at <time>]",
    "                 -- <vlt_restore args...>",
    "       prog --job <prefix> --search-dir <dir> --list [--json] [--at <time>]",
    "",
    "  --job <prefix>          the job-name prefix used at backup time (vlt_proxmox --name)",
    "  --search-dir <dir>      local directory holding the '<prefix>-*' .meta/.infb etc. files",
    "                          (V1: restore directly off a network target is not supported --",
    "                          fetch the files into a local directory first, e.g. via rsync)",
    "  --vmid <id>             restore to this VMID (must be free); default: the next free",
    "                          VMID cluster-wide, via 'pvesh get /cluster/nextid'",
    "  --storage-map <old>=<new>  allocate on storage <new> instead of the original VM's",
    "                          <old> (repeatable); default: same storage alias as the original",
    "  --keep-network-identity  keep each netN line's original MAC address (default: stripped,",
    "                          so Proxmox assigns a fresh one -- avoids a MAC clash if the",
    "                          original VM is still running)",
    "  --keep-smbios-uuid      keep the original smbios1 (SMBIOS system) UUID (default: a",
    "                          fresh one is generated -- avoids a UUID clash if the original",
    "                          VM is still running; use this if a guest license is bound to",
    "                          the hardware UUID and the original VM is being replaced)",
    "  --pve-dir <dir>         Proxmox cluster filesystem root (default: /etc/pve); the target",
    "                          config is written to <dir>/qemu-server/<vmid>.conf, and VMID",
    "                          collision is checked against <dir>/qemu-server and <dir>/lxc",
    "  --dry-run               resolve the target VMID and each disk's storage/size plan, log",
    "                          it, then stop -- no pvesm alloc, no vlt_restore, no config write",
    "  --at <time>             restore the newest complete backup made at or before <time>, in",
    "                          UTC: YYYY-MM-DD (the whole day), YYYY-MM-DDTHH:MM or",
    "                          YYYY-MM-DDTHH:MM:SS, optionally ending in Z; default: the newest",
    "                          complete backup",
    "  --list                  print the backups found, newest first, one per line: time, host,",
    "                          complete or not, the disks it holds and lacks, their total size;",
    "                          restore nothing",
    "  --json                  with --list: print them as one JSON array",
    "  -- <vlt_restore args...>  forwarded verbatim to every vlt_restore run, e.g. --verify,",
    "                          --decrypt-key-file, --threads, --assume-zeroed, --no-progress",
    "                          (--assume-zeroed only for disks on LVM-thin storage)",
    "",
    "The restored VM is left stopped (no 'qm start') so the operator can review it first (e.g.",
    "the network bridge assignment) before booting it.",
};

TEST(Usage, EveryLineWithTheInvocationName) {
    std::string expected;
    for (const char *line : kUsageLines)
        expected += std::string(line) + "\n";
    ASSERT_EQ(sizeof kUsageLines / sizeof kUsageLines[0], 41u);
    testing::internal::CaptureStderr();
    print_restore_usage("prog");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
}

// --list and --json choose the listing, --at a point in time: every form
// the usage names, each meaning the last second of what it names.
TEST_F(CommandLine, ListJsonAndAt) {
    ASSERT_EQ(read(with_required({"--list", "--json"})), -1);
    EXPECT_EQ(opts_.list, 1);
    EXPECT_EQ(opts_.json, 1);
    EXPECT_EQ(opts_.at_given, 0);
    EXPECT_EQ(err_, "");

    const struct {
        const char *text;
        int64_t at;
    } times[] = {
        {"2026-05-05", 1778025599},            // 2026-05-05T23:59:59Z
        {"2026-05-05T01:00", 1777942859},      // ... 01:00:59
        {"2026-05-05T01:00Z", 1777942859},
        {"2026-05-05 01:00:07", 1777942807},
        {"2026-05-05T01:00:07Z", 1777942807},
        {"2024-02-29", 1709251199},            // a leap day
        {"1970-01-01T00:00:00Z", 0},
    };
    for (const auto &t : times) {
        ASSERT_EQ(read(with_required({"--at", t.text})), -1) << t.text << err_;
        EXPECT_EQ(opts_.at_given, 1);
        EXPECT_EQ(opts_.at, t.at) << t.text;
    }
    ASSERT_EQ(read(with_required({"--at=2026-05-05", "--list"})), -1);
    EXPECT_EQ(opts_.at, 1778025599);

    for (const char *bad : {"2026-5-5", "2026-05-05T1:00", "2025-02-29", "2026-13-01", "2026-04-31",
                            "2026-05-05T24:00", "2026-05-05T01:60", "2026-05-05T01:00:60",
                            "2026-05-05T01:00+02:00", "2026-05-05Z1", "yesterday", ""}) {
        EXPECT_EQ(read(with_required({"--at", bad})), 2) << bad;
        EXPECT_EQ(err_, std::string("error: --at must be an ISO 8601 date or date-time in UTC (YYYY-MM-DD, "
                                    "YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS, optionally ending in Z), got '") +
                            bad + "'\n");
    }
    EXPECT_EQ(read(with_required({"--json"})), 2);
    EXPECT_EQ(err_, "error: --json goes with --list\n");
}

TEST_F(CommandLine, HelpPrintsUsageUnlessForwarded) {
    EXPECT_EQ(read({"-h"}), 0);
    EXPECT_EQ(err_.rfind("vlt_proxmox_restore: restore a VM", 0), 0u) << err_;
    EXPECT_EQ(read(with_required({"--help", "--storage-map", "bad"})), 0);
    EXPECT_EQ(err_.rfind("vlt_proxmox_restore: restore a VM", 0), 0u) << err_;
    EXPECT_EQ(read(with_required({"--", "--help"})), -1);
    EXPECT_EQ(err_, "");
}

}  // namespace
