// The start sequence of vlt_proxmox: the split of the command line, the
// configuration file and profile merge, the checks, the options handed to
// the run, the progress segment and the exit statuses.
#include "backup/cli.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "backup/backup_options.h"
#include "backup/node_run.h"
#include "backup/run_backup.h"
#include "backup/profile_config.h"
#include "backup/snapshots.h"
#include "tests/backup_front/test_util.h"

namespace {

using strings = std::vector<std::string>;

// The usage text as the operator sees it for the program name "vlt_proxmox".
const char *const usage_lines[] = {
    "vlt_proxmox: back up a ProxmoxVE VM's disk-like volumes via one atomically-frozen set of LVM",
    "snapshots (V1: LVM/LVM-thin storage only).",
    "",
    "Usage: vlt_proxmox --vmid <id> [--disk <slot>]... [--name <job-prefix>] [--snapshot-size <spec>]",
    "                 [--freeze-timeout <seconds>] [--consistency fs|try|crash] [--no-vmconfig]",
    "                 [--pool-limit <percent>] [--agent-timeout <seconds>] [--pve-dir <dir>]",
    "                 [--config-path <file>]",
    "                 -- <vlt_agent args...>",
    "       vlt_proxmox --all | --pool <pool> [--exclude <id,...>] [--jobs <n>] [--json]",
    "                 [--mailto <addresses>] [--mail-on always|failure] [--name <profile>]",
    "                 [the options above but --vmid and --disk] -- <vlt_agent args...>",
    "",
    "  --vmid <id>             Proxmox VM id, e.g. 101 (may instead come from vmid= in the config)",
    "  --disk <slot>           back up only this disk-like volume (repeatable); default: every",
    "                          disk-like volume the VM has (run 'qm config <id> --current' to see them)",
    "  --all                   instead of --vmid: every VM whose configuration lives on this node",
    "                          (<pve-dir>/nodes/<node>/qemu-server/*.conf; never containers), each",
    "                          backed up by a run of its own in ascending VMID order, then a summary",
    "  --pool <pool>           instead of --vmid: the VMs of this Proxmox pool that live on this node",
    "  --exclude <id,...>      leave these VMIDs out of --all or --pool",
    "  --jobs <n>              back up to n VMs at once (default: 1); their freezes and snapshots",
    "                          still take turns, so no guest stays frozen longer",
    "  --json                  write the summary of --all or --pool as JSON to standard output",
    "  --mailto <addresses>    mail the summary of --all or --pool through /usr/sbin/sendmail",
    "                          (addresses separated by commas)",
    "  --mail-on <when>        always (default) or failure: when the summary is mailed",
    "  --name <job-prefix>     vlt_agent job name prefix (default: vm<vmid>); each disk's job is",
    "                          named <prefix>-<disk-slot>, the VM config's job <prefix>-vmconfig.",
    "                          With --all or --pool each VM's prefix is <name>-<vmid> (vm<vmid>",
    "                          without --name). If --name matches a \"[name]\" section of the",
    "                          config file, its settings fill in any flag not given on the command line.",
    "  --snapshot-size <spec>  COW space for a thick LVM snapshot (default: 10%, see vlt_agent --help)",
    "  --freeze-timeout <sec>  timeout for each 'qm guest cmd fsfreeze-*' call (default: 60)",
    "  --consistency <policy>  a running VM that its guest agent cannot freeze: fs (default)",
    "                          fails the run, try backs it up crash-consistent with a warning,",
    "                          crash never calls the guest agent. Stopped VMs and templates",
    "                          need no freeze; a VM whose agent setting has freeze-fs=0 is",
    "                          never frozen.",
    "  --pool-limit <percent>  refuse, or stop, the backup when a thin pool holding one of its",
    "                          snapshots is fuller than this (data or metadata; default: 90)",
    "  --agent-timeout <sec>   stop a vlt_agent run that takes longer (default: no limit)",
    "  --pve-dir <dir>         Proxmox cluster filesystem root (default: /etc/pve); its",
    "                          storage.cfg tells which storages are shared",
    "  --no-vmconfig           do not additionally back up the VM's own configuration",
    "  --config-path <file>    configuration file (default /etc/vlt/vlt_proxmox.cfg; when that does",
    "                          not exist, <pve-dir>/vlt_proxmox.cfg on the cluster file system); a",
    "                          \"[targets]\" section of 'alias:host:port:tls-ca-path' lines lets a",
    "                          profile say \"target=<alias>\" instead of repeating --target/--tls-ca.",
    "                          Example: vlt_proxmox --name <job-prefix>",
    "  -- <vlt_agent args...>  forwarded verbatim to every vlt_agent run, e.g. --out/--target/--type",
    "                          (--source, --snapshot and --name are set by vlt_proxmox itself);",
    "                          the vlt_agent flags a profile may set (--type, --out, --verify,",
    "                          ...) are also forwarded when given before \"--\"",
};

std::string usage_text()
{
    std::string text;
    for (const char *line : usage_lines)
        text += std::string(line) + "\n";
    return text;
}

std::string vmid_required(const std::string &name, const std::string &path)
{
    return "error: --vmid is required (either --vmid on the command line or vmid= in a [" + name +
           "] section of " + path + ")\n\n";
}

// What the run received, copied while the run was going on.
struct seen_run {
    int calls = 0;
    std::string vmid;
    strings slots;
    std::string job_prefix;
    std::string snapshot_size = "<null>";
    int32_t freeze_timeout = -1;
    int32_t no_vmconfig = -1;
    int32_t consistency = -1;
    strings forwarded;
    std::string api_key = "<null>";
    bool segment_existed = false;
    unsigned char *segment = nullptr;  // kept mapped to read the final phase
};

seen_run g_seen;
int32_t g_run_result = 0;

std::string segment_path() { return "/dev/shm/vlt_progress." + std::to_string(getpid()); }

int32_t capture_run(const backup_options *o)
{
    g_seen.calls++;
    g_seen.vmid = o->vmid != nullptr ? o->vmid : "<null>";
    for (int32_t i = 0; i < o->slot_count; i++)
        g_seen.slots.emplace_back(o->slots[i]);
    g_seen.job_prefix = o->job_prefix;
    if (o->snapshot_size != nullptr)
        g_seen.snapshot_size = o->snapshot_size;
    g_seen.freeze_timeout = o->freeze_timeout;
    g_seen.no_vmconfig = o->no_vmconfig;
    g_seen.consistency = o->consistency;
    for (int32_t i = 0; i < o->forwarded_count; i++)
        g_seen.forwarded.emplace_back(o->forwarded[i]);
    if (o->api_key != nullptr)
        g_seen.api_key = o->api_key;

    int fd = open(segment_path().c_str(), O_RDWR);
    g_seen.segment_existed = fd >= 0;
    if (fd >= 0) {
        void *p = mmap(nullptr, 1208, PROT_READ, MAP_SHARED, fd, 0);
        close(fd);
        if (p != MAP_FAILED)
            g_seen.segment = static_cast<unsigned char *>(p);
    }
    return g_run_result;
}

// What a node-wide run received.
struct seen_node {
    int calls = 0;
    int32_t selection = -1;
    std::string pool = "<null>";
    std::vector<long> excluded;
    int32_t jobs = -1;
    int32_t json = -1;
    std::string mailto = "<null>";
    int32_t mail_on = -1;
    std::string name = "<null>";
    std::string label;
    std::string job_prefix;  // of the options every VM's run starts from
    std::string vmid;
    std::string segment_job;
    strings forwarded;
};

seen_node g_node;

int32_t capture_node(const backup_options *o, const node_options *n)
{
    g_node.calls++;
    g_node.selection = n->selection;
    if (n->pool != nullptr)
        g_node.pool = n->pool;
    g_node.excluded.assign(n->excluded, n->excluded + n->excluded_count);
    g_node.jobs = n->jobs;
    g_node.json = n->json;
    if (n->mailto != nullptr)
        g_node.mailto = n->mailto;
    g_node.mail_on = n->mail_on;
    if (n->name != nullptr)
        g_node.name = n->name;
    g_node.label = n->label;
    g_node.job_prefix = o->job_prefix;
    g_node.vmid = o->vmid != nullptr ? o->vmid : "<null>";
    for (int32_t i = 0; i < o->forwarded_count; i++)
        g_node.forwarded.emplace_back(o->forwarded[i]);
    int fd = open(segment_path().c_str(), O_RDONLY);
    if (fd >= 0) {
        char seg[1208] = "";
        if (read(fd, seg, sizeof seg) == 1208)
            g_node.segment_job = seg + 24;
        close(fd);
    }
    return g_run_result;
}

class BackupMainTest : public testing::Test {
  protected:
    bf_test::temp_dir dir_;
    std::string default_path_ = dir_.file("default.cfg");  // absent unless written
    std::string err_;

    void SetUp() override
    {
        g_seen = seen_run{};
        g_run_result = 0;
        backup_run_hook = capture_run;
        node_run_hook = capture_node;
        g_node = seen_node{};
        backup_default_config_path = default_path_.c_str();
    }

    void TearDown() override
    {
        if (g_seen.segment != nullptr)
            munmap(g_seen.segment, 1208);
        g_seen.segment = nullptr;
        backup_run_hook = run_backup;
        node_run_hook = saved_node_run_;
        backup_default_config_path = config_default_path;
    }
    int32_t (*saved_node_run_)(const backup_options *, const node_options *) = node_run_hook;

    // Runs backup_main with "vlt_proxmox" and `args`; standard error lands in
    // err_, what the run received in g_seen.
    int run(const strings &args)
    {
        std::vector<std::string> storage = {"vlt_proxmox"};
        storage.insert(storage.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &s : storage)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        if (g_seen.segment != nullptr)
            munmap(g_seen.segment, 1208);
        g_seen = seen_run{};
        g_node = seen_node{};
        bf_test::stderr_capture cap;
        int rc = backup_main(static_cast<int>(storage.size()), argv.data());
        err_ = cap.text();
        return rc;
    }

    // The log lines of err_ with their timestamp and program prefix cut off.
    strings log_lines() const
    {
        strings out;
        size_t pos = 0;
        while (pos < err_.size()) {
            size_t nl = err_.find('\n', pos);
            std::string line = err_.substr(pos, nl == std::string::npos ? nl : nl - pos);
            pos = nl == std::string::npos ? err_.size() : nl + 1;
            size_t tag = line.find("Z [vlt_proxmox] ");
            if (tag == 19)  // after "2026-12-08T02:35:30"
                out.push_back(line.substr(tag + 16));
        }
        return out;
    }

    std::string config(const std::string &text) { return dir_.write("vlt.cfg", text); }
};

TEST_F(BackupMainTest, ForwardedArgumentsAfterTheSeparator)
{
    EXPECT_EQ(0, run({"--vmid", "101", "--", "--out", "/backup", "--type", "disk"}));
    EXPECT_EQ("", err_);
    ASSERT_EQ(1, g_seen.calls);
    EXPECT_EQ("101", g_seen.vmid);
    EXPECT_EQ("vm101", g_seen.job_prefix);
    EXPECT_EQ((strings{"--out", "/backup", "--type", "disk"}), g_seen.forwarded);
    EXPECT_TRUE(g_seen.slots.empty());
    EXPECT_EQ("<null>", g_seen.snapshot_size);
    EXPECT_EQ(0, g_seen.freeze_timeout);
    EXPECT_EQ(0, g_seen.no_vmconfig);
    EXPECT_EQ("<null>", g_seen.api_key);
}

TEST_F(BackupMainTest, AgentFlagsBeforeTheSeparator)
{
    EXPECT_EQ(0, run({"--vmid", "101", "--out", "/backup", "--threads=4", "--verify"}));
    EXPECT_EQ("", err_);
    EXPECT_EQ("101", g_seen.vmid);
    EXPECT_EQ((strings{"--out", "/backup", "--threads=4", "--verify"}), g_seen.forwarded);

    // An agent option as the last word is forwarded alone.
    EXPECT_EQ(0, run({"--vmid", "102", "--out"}));
    EXPECT_EQ("102", g_seen.vmid);
    EXPECT_EQ((strings{"--out"}), g_seen.forwarded);
}

TEST_F(BackupMainTest, SplitCommandLine)
{
    std::vector<std::string> storage = {
        "prog",        "--vmid",   "101",    "--target", "nas1:443", "--verify=yes",
        "--api-key",   "k",        "--disk", "--out",    "/b",       "--out",
        "--",          "--vmid",   "7",      "--",       "x"};
    std::vector<char *> argv;
    for (std::string &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    const char **own = nullptr;
    const char **fwd = nullptr;
    int32_t own_n = -1, fwd_n = -1;
    ASSERT_EQ(0, split_command_line(static_cast<int>(storage.size()), argv.data(), &own, &own_n,
                                    &fwd, &fwd_n));
    strings own_v(own, own + own_n), fwd_v(fwd, fwd + fwd_n);
    // "--out" before the separator takes "/b"; the second "--out" is the last
    // examined word and goes alone; the separator itself goes nowhere.
    EXPECT_EQ((strings{"prog", "--vmid", "101", "--verify=yes", "--api-key", "k", "--disk"}), own_v);
    EXPECT_EQ((strings{"--target", "nas1:443", "--out", "/b", "--out", "--vmid", "7", "--", "x"}),
              fwd_v);
    EXPECT_EQ(nullptr, own[own_n]);
    EXPECT_EQ(nullptr, fwd[fwd_n]);
    // Texts are borrowed from the vector, not copied.
    EXPECT_EQ(argv[2], own[2]);
    free(own);
    free(fwd);
}

TEST_F(BackupMainTest, HelpBeforeTheSeparatorOnly)
{
    // Before "--": the usage, status 0, nothing else checked (no vmid, a
    // missing configuration file).
    EXPECT_EQ(0, run({"--config-path", dir_.file("missing.cfg"), "--help"}));
    EXPECT_EQ(usage_text(), err_);
    EXPECT_EQ(0, g_seen.calls);
    EXPECT_EQ(0, run({"--freeze-timeout", "bad", "-h", "--", "--out", "/b"}));
    EXPECT_EQ(usage_text(), err_);
    EXPECT_EQ(0, g_seen.calls);

    // After "--" it belongs to the agents.
    EXPECT_EQ(0, run({"--vmid", "5", "--", "--help"}));
    EXPECT_EQ("", err_);
    EXPECT_EQ(1, g_seen.calls);
    EXPECT_EQ((strings{"--help"}), g_seen.forwarded);
    // "--help=x" is not the help switch: it is an unknown option.
    EXPECT_EQ(0, run({"--vmid", "5", "--help=x"}));
    EXPECT_EQ((strings{"WARN  unknown option '--help=...' ignored"}), log_lines());
}

TEST_F(BackupMainTest, NoArguments)
{
    EXPECT_EQ(2, run({}));
    EXPECT_EQ(vmid_required("<name>", default_path_) + usage_text(), err_);
    EXPECT_EQ(0, g_seen.calls);

    // With --name the section named is shown, with --config-path its file.
    std::string cfg = config("[other]\nout = /b\n");
    EXPECT_EQ(2, run({"--name", "prod", "--config-path=" + cfg, "--", "--out", "/b"}));
    EXPECT_EQ(vmid_required("prod", cfg) + usage_text(), err_);
    // An empty vmid is no vmid.
    EXPECT_EQ(2, run({"--vmid="}));
    EXPECT_EQ(vmid_required("<name>", default_path_) + usage_text(), err_);
    EXPECT_EQ(0, g_seen.calls);
}

TEST_F(BackupMainTest, FirstOccurrenceWins)
{
    EXPECT_EQ(0, run({"--vmid=101"}));
    EXPECT_EQ("101", g_seen.vmid);
    EXPECT_EQ(0, run({"--vmid", "101", "--vmid", "102", "--name", "a", "--name=b",
                      "--snapshot-size", "5G", "--snapshot-size", "1G"}));
    EXPECT_EQ("101", g_seen.vmid);
    EXPECT_EQ("a", g_seen.job_prefix);
    EXPECT_EQ("5G", g_seen.snapshot_size);
}

TEST_F(BackupMainTest, FreezeTimeout)
{
    for (const char *bad : {"0", "10s", "", "-5", " ", "45 ", "0x10", "99999999999", "2147483648"}) {
        EXPECT_EQ(2, run({"--vmid", "101", "--freeze-timeout", bad})) << "'" << bad << "'";
        EXPECT_EQ("error: --freeze-timeout must be a positive number of seconds\n", err_);
        EXPECT_EQ(0, g_seen.calls);
    }
    struct {
        const char *text;
        int32_t seconds;
    } good[] = {{"45", 45}, {" 45", 45}, {"+45", 45}, {"007", 7}, {"2147483647", 2147483647}};
    for (const auto &g : good) {
        EXPECT_EQ(0, run({"--vmid", "101", std::string("--freeze-timeout=") + g.text}));
        EXPECT_EQ(g.seconds, g_seen.freeze_timeout) << g.text;
    }
}

TEST_F(BackupMainTest, DiskSelection)
{
    strings args = {"--vmid", "101"};
    for (int i = 1; i <= 33; i++) {
        args.push_back("--disk");
        args.push_back("d" + std::to_string(i));
    }
    EXPECT_EQ(0, run(args));
    ASSERT_EQ(32u, g_seen.slots.size());
    EXPECT_EQ("d1", g_seen.slots[0]);
    EXPECT_EQ("d32", g_seen.slots[31]);
    EXPECT_EQ((strings{"WARN  --disk 'd33' ignored: at most 32 --disk entries"}), log_lines());

    // The joined form is an unknown option and selects nothing; a trailing
    // --disk selects nothing either.
    EXPECT_EQ(0, run({"--disk", "scsi0", "--vmid", "101", "--disk=virtio1", "--disk", "sata2",
                      "--disk"}));
    EXPECT_EQ((strings{"scsi0", "sata2"}), g_seen.slots);
    EXPECT_EQ((strings{"WARN  unknown option '--disk=...' ignored"}), log_lines());
}

TEST_F(BackupMainTest, JobPrefix)
{
    std::string name(80, 'j');
    name[62] = 'X';
    name[63] = 'Y';
    EXPECT_EQ(0, run({"--vmid", "101", "--name", name}));
    EXPECT_EQ(name.substr(0, 63), g_seen.job_prefix);

    std::string vmid(70, '9');
    EXPECT_EQ(0, run({"--vmid", vmid}));
    EXPECT_EQ("vm" + vmid.substr(0, 61), g_seen.job_prefix);

    // An empty --name would make job names like "-scsi0": the default is used.
    EXPECT_EQ(0, run({"--vmid", "104", "--name="}));
    EXPECT_EQ("vm104", g_seen.job_prefix);
}

TEST_F(BackupMainTest, UnknownOptionsAreWarnedAboutAndIgnored)
{
    EXPECT_EQ(0, run({"--bogus", "--vmid", "101", "--colour", "red", "stray", "--x=1",
                      "--verify=yes", "--", "--whatever"}));
    EXPECT_EQ((strings{"WARN  unknown option '--bogus' ignored",
                       "WARN  unknown option '--colour' ignored (with the value after it)",
                       "WARN  unexpected argument 'stray' ignored",
                       "WARN  unknown option '--x=...' ignored",
                       "WARN  unknown option '--verify=...' ignored"}),
              log_lines());
    EXPECT_EQ("101", g_seen.vmid);
    EXPECT_EQ((strings{"--whatever"}), g_seen.forwarded);
}

TEST_F(BackupMainTest, ConfigPath)
{
    std::string missing = dir_.file("missing.cfg");
    EXPECT_EQ(2, run({"--vmid", "101", "--config-path", missing}));
    EXPECT_EQ("error: cannot read the configuration file " + missing + "\n", err_);
    EXPECT_EQ(2, run({"--vmid", "101", "--config-path=" + missing}));
    EXPECT_EQ("error: cannot read the configuration file " + missing + "\n", err_);
    EXPECT_EQ(0, g_seen.calls);

    // No --config-path and no default file: the run goes on; --name only names.
    EXPECT_EQ(0, run({"--vmid", "101", "--name", "prod"}));
    EXPECT_EQ("", err_);
    EXPECT_EQ("prod", g_seen.job_prefix);
    EXPECT_TRUE(g_seen.forwarded.empty());

    // The default file is read when it is there, with or without --name.
    dir_.write("default.cfg", "[prod]\nvmid = 300\nout = /from-default\n");
    EXPECT_EQ(0, run({"--name", "prod"}));
    EXPECT_EQ("300", g_seen.vmid);
    EXPECT_EQ((strings{"--out", "/from-default"}), g_seen.forwarded);
    dir_.write("default.cfg", "[prod]\nbogus = 1\n");
    EXPECT_EQ(2, run({"--vmid", "1"}));
    EXPECT_EQ("error: " + default_path_ + ":2: unknown setting 'bogus'\n", err_);
}

TEST_F(BackupMainTest, NodeWideRunFromTheCommandLine)
{
    EXPECT_EQ(0, run({"--all", "--exclude", "104, 105,1000", "--jobs=2", "--json", "--mailto", "root,ops@x",
                      "--mail-on", "failure", "--", "--out", "/b"}));
    EXPECT_EQ("", err_);
    EXPECT_EQ(0, g_seen.calls);  // no run of one VM
    ASSERT_EQ(1, g_node.calls);
    EXPECT_EQ(SELECT_ALL, g_node.selection);
    EXPECT_EQ("<null>", g_node.pool);
    EXPECT_EQ((std::vector<long>{104, 105, 1000}), g_node.excluded);
    EXPECT_EQ(2, g_node.jobs);
    EXPECT_EQ(1, g_node.json);
    EXPECT_EQ("root,ops@x", g_node.mailto);
    EXPECT_EQ(MAIL_ON_FAILURE, g_node.mail_on);
    EXPECT_EQ("<null>", g_node.name);
    EXPECT_EQ("all", g_node.label);
    EXPECT_EQ("all", g_node.segment_job);  // the node-wide run's own segment
    EXPECT_EQ("<null>", g_node.vmid);
    EXPECT_EQ("", g_node.job_prefix);  // each VM gets its own
    EXPECT_EQ((strings{"--out", "/b"}), g_node.forwarded);

    // Defaults; the run's result is the exit status.
    g_run_result = 1;
    EXPECT_EQ(1, run({"--pool", "web-farm_2.a"}));
    EXPECT_EQ(SELECT_POOL, g_node.selection);
    EXPECT_EQ("web-farm_2.a", g_node.pool);
    EXPECT_TRUE(g_node.excluded.empty());
    EXPECT_EQ(1, g_node.jobs);
    EXPECT_EQ(0, g_node.json);
    EXPECT_EQ("<null>", g_node.mailto);
    EXPECT_EQ(MAIL_ALWAYS, g_node.mail_on);
    EXPECT_EQ("pool web-farm_2.a", g_node.label);
    g_run_result = 0;

    // --name names the run and each VM's prefix.
    EXPECT_EQ(0, run({"--all", "--name", "nightly"}));
    EXPECT_EQ("nightly", g_node.name);
    EXPECT_EQ("nightly", g_node.label);
}

TEST_F(BackupMainTest, NodeWideRunFromAProfile)
{
    std::string cfg = config("[nightly]\n"
                             "all = yes\n"
                             "exclude = 9\n"
                             "jobs = 3\n"
                             "mailto = ops@example.org\n"
                             "mail-on = failure\n"
                             "out = /b\n");
    EXPECT_EQ(0, run({"--config-path", cfg, "--name", "nightly"}));
    EXPECT_EQ("", err_);
    ASSERT_EQ(1, g_node.calls);
    EXPECT_EQ(SELECT_ALL, g_node.selection);
    EXPECT_EQ((std::vector<long>{9}), g_node.excluded);
    EXPECT_EQ(3, g_node.jobs);
    EXPECT_EQ("ops@example.org", g_node.mailto);
    EXPECT_EQ(MAIL_ON_FAILURE, g_node.mail_on);
    EXPECT_EQ((strings{"--out", "/b"}), g_node.forwarded);

    // The command line's choice of VMs replaces the profile's, and its
    // settings beat the profile's.
    EXPECT_EQ(0, run({"--config-path", cfg, "--name", "nightly", "--pool", "web", "--jobs", "1"}));
    EXPECT_EQ(SELECT_POOL, g_node.selection);
    EXPECT_EQ("web", g_node.pool);
    EXPECT_EQ(1, g_node.jobs);
    EXPECT_EQ((std::vector<long>{9}), g_node.excluded);

    // A run of one VM with that profile: its node-wide settings are ignored
    // with a warning each.
    EXPECT_EQ(0, run({"--config-path", cfg, "--name", "nightly", "--vmid", "101"}));
    EXPECT_EQ(0, g_node.calls);
    ASSERT_EQ(1, g_seen.calls);
    EXPECT_EQ("101", g_seen.vmid);
    EXPECT_EQ((strings{"WARN  [nightly]: exclude= is ignored in a run of one VM (it applies with all= or pool=)",
                       "WARN  [nightly]: jobs= is ignored in a run of one VM (it applies with all= or pool=)",
                       "WARN  [nightly]: mailto= is ignored in a run of one VM (it applies with all= or pool=)",
                       "WARN  [nightly]: mail-on= is ignored in a run of one VM (it applies with all= or pool=)"}),
              log_lines());

    // "all = no" selects nothing: the vmid is required again.
    cfg = config("[one]\nall = no\n");
    EXPECT_EQ(2, run({"--config-path", cfg, "--name", "one"}));
    EXPECT_EQ(0, err_.find(vmid_required("one", cfg)));
}

TEST_F(BackupMainTest, NodeWideUsageErrorsEndWithStatusTwoBeforeAnyRun)
{
    struct bad {
        strings args;
        std::string error;
    } const cases[] = {
        {{"--vmid", "101", "--all"}, "error: --vmid cannot be combined with --all or --pool\n"},
        {{"--pool", "web", "--vmid=101"}, "error: --vmid cannot be combined with --all or --pool\n"},
        {{"--all", "--pool", "web"},
         "error: --all and --pool cannot be combined (--pool backs up the pool's VMs on this node)\n"},
        {{"--pool", "web/../x"}, "error: --pool: 'web/../x' is not a pool name (letters, digits, '.', '_' and '-')\n"},
        {{"--pool", ""}, "error: --pool: '' is not a pool name (letters, digits, '.', '_' and '-')\n"},
        {{"--all", "--disk", "scsi0"},
         "error: --disk cannot be combined with --all or --pool (the VMs have slots of their own)\n"},
        {{"--all", "--exclude", "101,abc"}, "error: --exclude takes VMIDs separated by commas, at most 1024 (not '101,abc')\n"},
        {{"--all", "--exclude", "0"}, "error: --exclude takes VMIDs separated by commas, at most 1024 (not '0')\n"},
        {{"--all", "--exclude", ","}, "error: --exclude takes VMIDs separated by commas, at most 1024 (not ',')\n"},
        {{"--all", "--exclude", "101x"}, "error: --exclude takes VMIDs separated by commas, at most 1024 (not '101x')\n"},
        {{"--all", "--jobs", "0"}, "error: --jobs must be a whole number from 1 to 64\n"},
        {{"--all", "--jobs", "65"}, "error: --jobs must be a whole number from 1 to 64\n"},
        {{"--all", "--jobs", "2x"}, "error: --jobs must be a whole number from 1 to 64\n"},
        {{"--all", "--mailto", "-oQ/tmp"}, "error: --mailto: '-oQ/tmp' is not a mail address\n"},
        {{"--all", "--mailto", ","}, "error: --mailto: no mail address\n"},
        {{"--all", "--mail-on", "sometimes"}, "error: --mail-on must be always or failure (not 'sometimes')\n"},
        {{"--all", "--name", std::string(54, 'n')},
         "error: --name must be at most 53 characters with --all or --pool (each VM's job prefix is "
         "<name>-<vmid>)\n"},
        {{"--vmid", "101", "--jobs", "2"}, "error: --jobs goes with --all or --pool (it is for runs of many VMs)\n"},
        {{"--vmid", "101", "--json"}, "error: --json goes with --all or --pool (it is for runs of many VMs)\n"},
        {{"--vmid", "101", "--exclude", "1"},
         "error: --exclude goes with --all or --pool (it is for runs of many VMs)\n"},
        {{"--vmid", "101", "--mailto=root"},
         "error: --mailto goes with --all or --pool (it is for runs of many VMs)\n"},
    };
    for (const bad &c : cases) {
        EXPECT_EQ(2, run(c.args)) << c.args[0] << " " << c.args[1];
        EXPECT_EQ(c.error, err_);
        EXPECT_EQ(0, g_seen.calls);
        EXPECT_EQ(0, g_node.calls);
    }
    // A name of 53 characters still fits "<name>-<vmid>" into 63.
    EXPECT_EQ(0, run({"--all", "--name", std::string(53, 'n')}));
    EXPECT_EQ(1, g_node.calls);
}

TEST_F(BackupMainTest, ConfigurationFromTheClusterFileSystem)
{
    std::string pve = dir_.file("pve");
    ASSERT_EQ(0, mkdir(pve.c_str(), 0755));
    // Neither file: nothing is read.
    EXPECT_EQ(0, run({"--pve-dir", pve, "--name", "nightly", "--vmid", "1"}));
    EXPECT_TRUE(g_seen.forwarded.empty());
    // Only the cluster's: it is read, by every node alike.
    dir_.write("pve/vlt_proxmox.cfg", "[nightly]\nall = 1\nout = /cluster\n");
    EXPECT_EQ(0, run({"--pve-dir", pve, "--name", "nightly"}));
    EXPECT_EQ("", err_);
    ASSERT_EQ(1, g_node.calls);
    EXPECT_EQ((strings{"--out", "/cluster"}), g_node.forwarded);
    dir_.write("pve/vlt_proxmox.cfg", "[nightly]\nall = 1\nbogus = 2\n");
    EXPECT_EQ(2, run({"--pve-dir", pve, "--name", "nightly"}));
    EXPECT_EQ("error: " + pve + "/vlt_proxmox.cfg:3: unknown setting 'bogus'\n", err_);
    // The node's own file comes first.
    dir_.write("default.cfg", "[nightly]\nall = 1\nout = /local\n");
    EXPECT_EQ(0, run({"--pve-dir", pve, "--name", "nightly"}));
    EXPECT_EQ((strings{"--out", "/local"}), g_node.forwarded);
    // So does --config-path.
    std::string cfg = config("[nightly]\npool = web\n");
    EXPECT_EQ(0, run({"--pve-dir", pve, "--config-path", cfg, "--name", "nightly"}));
    EXPECT_EQ(SELECT_POOL, g_node.selection);
}

TEST_F(BackupMainTest, ConfigurationErrorsEndWithStatusTwo)
{
    std::string cfg = config("[targets]\nnas:h:443:/ca\n[prod]\ntarget = nas\n\n[q]\ntarget = x\n");
    EXPECT_EQ(2, run({"--config-path", cfg, "--vmid", "101"}));
    EXPECT_EQ("error: " + cfg + ": [q]: unknown target 'x' (not in [targets])\n", err_);

    cfg = config("[prod]\napi-key = kms:https://kms/k\n");
    EXPECT_EQ(2, run({"--config-path", cfg, "--vmid", "101", "--name", "prod"}));
    EXPECT_EQ("error: [prod]: api-key: kms: scheme is recognized but not yet implemented\n", err_);
    // The broken profile is not applied when the run does not use it.
    EXPECT_EQ(0, run({"--config-path", cfg, "--vmid", "101", "--name", "other"}));
    EXPECT_EQ(1, g_seen.calls);

    cfg = config("[prod]\nout = \"/x\" y\n");
    EXPECT_EQ(2, run({"--config-path", cfg, "--vmid", "101"}));
    EXPECT_EQ("error: " + cfg + ":2: unterminated quote or text after the closing quote\n", err_);
    EXPECT_EQ(0, g_seen.calls);
}

// An api-key value the run cannot use is refused when the profile is
// applied: status 2 before the run starts, so the guest is never frozen.
TEST_F(BackupMainTest, UnusableApiKeyEndsWithStatusTwoBeforeTheRun)
{
    std::string cfg = config("[prod]\napi-key = file:\n[vault]\napi-key = kms:https://kms.example/k1\n");
    EXPECT_EQ(2, run({"--config-path", cfg, "--vmid", "101", "--name", "prod"}));
    EXPECT_EQ("error: [prod]: api-key: file: needs a path\n", err_);
    EXPECT_EQ(0, g_seen.calls);
    EXPECT_EQ(2, run({"--config-path", cfg, "--vmid", "101", "--name", "vault"}));
    EXPECT_EQ("error: [vault]: api-key: kms: scheme is recognized but not yet implemented\n", err_);
    EXPECT_EQ(0, g_seen.calls);
}

TEST_F(BackupMainTest, ApiKeyPairMustFitIntoTheAgentsArguments)
{
    std::string cfg = config("[prod]\napi-key = hush\n");
    auto with = [&](int forwarded) {
        strings args = {"--config-path", cfg, "--vmid", "101", "--name", "prod", "--"};
        for (int i = 0; i < forwarded; i++)
            args.push_back("--verify");
        return run(args);
    };
    EXPECT_EQ(2, with(119));
    EXPECT_EQ("error: too many arguments for vlt_agent: 119 forwarded, at most 118 when the profile gives an api-key "
              "(--api-key and its value take the last 2 of 120 places)\n",
              err_);
    EXPECT_EQ(0, g_seen.calls);
    EXPECT_EQ(0, with(118));
    EXPECT_EQ(1, g_seen.calls);
    EXPECT_EQ(118u, g_seen.forwarded.size());
    // Without an api-key more arguments are the agent's business.
    EXPECT_EQ(0, run({"--vmid", "101", "--", "-a", "-b"}));
}

TEST_F(BackupMainTest, ThawDeadlineFromTheEnvironment)
{
    for (const char *bad : {"0", "-1", "abc", "2s", "86401", "nan"}) {
        setenv("VLT_THAW_DEADLINE", bad, 1);
        EXPECT_EQ(2, run({"--vmid", "101"})) << bad;
        EXPECT_EQ("error: VLT_THAW_DEADLINE must be a positive number of seconds (at most 86400)\n", err_);
        EXPECT_EQ(0, g_seen.calls);
    }
    struct {
        const char *text;
        uint32_t deadline_ms, pause_ms;
    } good[] = {{"2.5", 2500, 125}, {"0.5", 500, 50}, {"600", 600000, 1000}, {"", 600000, 1000}};
    for (const auto &g : good) {
        setenv("VLT_THAW_DEADLINE", g.text, 1);
        EXPECT_EQ(0, run({"--vmid", "101"})) << g.text;
        EXPECT_EQ(g.deadline_ms, thaw_confirm_deadline_ms) << g.text;
        EXPECT_EQ(g.pause_ms, thaw_poll_interval_ms) << g.text;
    }
    unsetenv("VLT_THAW_DEADLINE");
    thaw_confirm_deadline_ms = 60000;
    thaw_poll_interval_ms = 1000;
}

TEST_F(BackupMainTest, ProfileMerge)
{
    std::string cfg = config("[targets]\nnas:nas1:443:/etc/ca.pem\n"
                             "[prod]\n"
                             "vmid = 200\n"
                             "threads = 8\n"
                             "target = nas\n"
                             "snapshot-size = 2G\n"
                             "freeze-timeout = 30\n"
                             "verify = yes\n"
                             "api-key = file:/etc/vlt/key\n");
    // The command line beats the profile for own options; agent flags of the
    // profile come after everything the command line forwards.
    EXPECT_EQ(0, run({"--config-path", cfg, "--name", "prod", "--vmid", "101", "--threads", "4",
                      "--freeze-timeout", "45", "--", "--out", "/b"}));
    EXPECT_EQ("", err_);
    EXPECT_EQ("101", g_seen.vmid);
    EXPECT_EQ("prod", g_seen.job_prefix);
    EXPECT_EQ(45, g_seen.freeze_timeout);
    EXPECT_EQ("2G", g_seen.snapshot_size);
    EXPECT_EQ(0, g_seen.no_vmconfig);
    EXPECT_EQ("file:/etc/vlt/key", g_seen.api_key);
    EXPECT_EQ((strings{"--threads", "4", "--out", "/b", "--threads", "8", "--target", "nas1:443",
                       "--tls-ca", "/etc/ca.pem", "--verify"}),
              g_seen.forwarded);

    // The same profile alone supplies the vmid and the timeout.
    EXPECT_EQ(0, run({"--config-path", cfg, "--name", "prod"}));
    EXPECT_EQ("200", g_seen.vmid);
    EXPECT_EQ(30, g_seen.freeze_timeout);
}

TEST_F(BackupMainTest, ProfileSwitchesAndValueChecks)
{
    std::string cfg = config("[a]\nno-vmconfig = yes\n[b]\nno-vmconfig = no\n"
                             "[c]\nfreeze-timeout = soon\nvmid = 9\n");
    EXPECT_EQ(0, run({"--config-path", cfg, "--name", "a", "--vmid", "1"}));
    EXPECT_EQ(1, g_seen.no_vmconfig);
    // "no" in the profile cannot switch off the command line's switch.
    EXPECT_EQ(0, run({"--config-path", cfg, "--name", "b", "--vmid", "1", "--no-vmconfig"}));
    EXPECT_EQ(1, g_seen.no_vmconfig);
    EXPECT_EQ(0, run({"--config-path", cfg, "--name", "b", "--vmid", "1"}));
    EXPECT_EQ(0, g_seen.no_vmconfig);
    // A profile's value is checked like the command line's.
    EXPECT_EQ(2, run({"--config-path", cfg, "--name", "c"}));
    EXPECT_EQ("error: --freeze-timeout must be a positive number of seconds\n", err_);
}

TEST_F(BackupMainTest, ConsistencyPolicyFromTheProfileAndTheCommandLine)
{
    std::string cfg = config("[prod]\nvmid = 200\nconsistency = try\n[bad]\nvmid = 9\nconsistency = Crash\n");
    // Not given anywhere: fs.
    EXPECT_EQ(0, run({"--vmid", "101"}));
    EXPECT_EQ(CONSISTENCY_FS, g_seen.consistency);
    // The profile's value; the command line's beats it, in either form.
    EXPECT_EQ(0, run({"--config-path", cfg, "--name", "prod"}));
    EXPECT_EQ(CONSISTENCY_TRY, g_seen.consistency);
    EXPECT_EQ(0, run({"--config-path", cfg, "--name", "prod", "--consistency", "crash"}));
    EXPECT_EQ(CONSISTENCY_CRASH, g_seen.consistency);
    EXPECT_EQ(0, run({"--config-path", cfg, "--name", "prod", "--consistency=fs"}));
    EXPECT_EQ(CONSISTENCY_FS, g_seen.consistency);
    // Another word is a usage error naming the three, before the run.
    for (const char *bad : {"Crash", "", "none", "fs,try"}) {
        EXPECT_EQ(2, run({"--vmid", "101", "--consistency", bad})) << bad;
        EXPECT_EQ("error: --consistency must be fs, try or crash (not '" + std::string(bad) + "')\n", err_);
        EXPECT_EQ(0, g_seen.calls);
    }
    // A profile's value is checked the same way.
    EXPECT_EQ(2, run({"--config-path", cfg, "--name", "bad"}));
    EXPECT_EQ("error: --consistency must be fs, try or crash (not 'Crash')\n", err_);
    EXPECT_EQ(0, g_seen.calls);
    // --consistency is the program's own: never forwarded to the agents.
    EXPECT_EQ(0, run({"--vmid", "101", "--consistency", "try", "--out", "/b"}));
    EXPECT_EQ((strings{"--out", "/b"}), g_seen.forwarded);
}

TEST_F(BackupMainTest, ValuelessOptionAtTheEndDoesNotEatTheProfile)
{
    // A --vmid without its value must not take the profile's first word
    // ("--vmid" itself) as the VM id.
    std::string cfg = config("[prod]\nvmid = 200\nsnapshot-size = 1G\n");
    EXPECT_EQ(0, run({"--config-path", cfg, "--name", "prod", "--vmid"}));
    EXPECT_EQ("200", g_seen.vmid);
    EXPECT_EQ("1G", g_seen.snapshot_size);
    EXPECT_TRUE(g_seen.slots.empty());

    EXPECT_EQ(0, run({"--config-path", cfg, "--name", "prod", "--disk"}));
    EXPECT_EQ("200", g_seen.vmid);
    EXPECT_TRUE(g_seen.slots.empty());
}

TEST_F(BackupMainTest, RunResultIsTheExitStatusAndTheProgressOutcome)
{
    for (int32_t result : {0, 1, 2}) {
        g_run_result = result;
        EXPECT_EQ(result, run({"--vmid", "101", "--name", "job-x"}));
        ASSERT_TRUE(g_seen.segment_existed) << "no progress segment during the run";
        ASSERT_NE(nullptr, g_seen.segment);
        // Kind 2, the job prefix, and after the end the run's outcome.
        EXPECT_EQ(0, memcmp(g_seen.segment, "GORP\x06\0\0\0", 8));
        EXPECT_EQ(2, g_seen.segment[20]);
        EXPECT_STREQ("job-x", reinterpret_cast<const char *>(g_seen.segment + 24));
        EXPECT_EQ(result == 0 ? 3 : 4, g_seen.segment[22]) << "result " << result;
        struct stat st;
        EXPECT_NE(0, stat(segment_path().c_str(), &st)) << "segment left behind";
        munmap(g_seen.segment, 1208);
        g_seen.segment = nullptr;
    }
}

TEST_F(BackupMainTest, NoProgressAmongTheForwardedArguments)
{
    EXPECT_EQ(0, run({"--vmid", "101", "--", "--no-progress"}));
    EXPECT_FALSE(g_seen.segment_existed);
    EXPECT_EQ((strings{"--no-progress"}), g_seen.forwarded);
    EXPECT_EQ("", err_);

    // Before "--" it is recognised as an agent switch; from a profile too.
    EXPECT_EQ(0, run({"--no-progress", "--vmid", "101"}));
    EXPECT_FALSE(g_seen.segment_existed);
    std::string cfg = config("[quiet]\nno-progress = true\n");
    EXPECT_EQ(0, run({"--config-path", cfg, "--name", "quiet", "--vmid", "101"}));
    EXPECT_FALSE(g_seen.segment_existed);
    EXPECT_EQ((strings{"--no-progress"}), g_seen.forwarded);
}

// The built program, run as the operator runs it.
class ProgramTest : public testing::Test {
  protected:
    bf_test::program_result run(const strings &args)
    {
        strings all = {VLT_PROXMOX_BIN};
        all.insert(all.end(), args.begin(), args.end());
        return bf_test::run_program(all);
    }
};

TEST_F(ProgramTest, VersionAndSelftest)
{
    for (const strings &args : {strings{"--version"}, strings{"--", "--version"},
                                strings{"--vmid", "1", "--selftest", "--version"}}) {
        bf_test::program_result r = run(args);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ("vlt_proxmox 1.0.2-alpha028\n", r.out);
        EXPECT_EQ("", r.err);
    }
    bf_test::program_result r = run({"--selftest"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("vlt_proxmox 1.0.2-alpha028: selftest ok\n", r.out);
    EXPECT_EQ("", r.err);
}

TEST_F(ProgramTest, UsageAndCommandLineErrors)
{
    bf_test::program_result r = run({"--help"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.out);
    // The usage names the program as it was invoked.
    std::string bin_usage = usage_text();
    std::string from = "Usage: vlt_proxmox ";
    bin_usage.replace(bin_usage.find(from), from.size(),
                      "Usage: " + std::string(VLT_PROXMOX_BIN) + " ");
    std::string second = "       vlt_proxmox --all";
    bin_usage.replace(bin_usage.find(second), second.size(), "       " + std::string(VLT_PROXMOX_BIN) + " --all");
    bin_usage.replace(0, strlen("vlt_proxmox"), VLT_PROXMOX_BIN);
    EXPECT_EQ(bin_usage, r.err);

    r = run({});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(vmid_required("<name>", "/etc/vlt/vlt_proxmox.cfg") + bin_usage, r.err);

    r = run({"--vmid", "101", "--freeze-timeout", "0"});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("error: --freeze-timeout must be a positive number of seconds\n", r.err);
}

TEST_F(ProgramTest, FailedRunExitsWithOneAfterTheWarnings)
{
    // With no Proxmox tools on PATH the run itself fails: status 1, the
    // warning for the unknown option first, then the run's ERROR line.
    bf_test::temp_dir empty;
    strings args = {VLT_PROXMOX_BIN, "--vmid", "101", "--bogus", "--", "--no-progress"};
    bf_test::program_result r = bf_test::run_program(args, empty.path().c_str());
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_EQ("", r.out);
    size_t warn = r.err.find("Z [vlt_proxmox] WARN  unknown option '--bogus' ignored\n");
    size_t error = r.err.find("Z [vlt_proxmox] ERROR ");
    EXPECT_NE(std::string::npos, warn) << r.err;
    EXPECT_NE(std::string::npos, error) << r.err;
    EXPECT_LT(warn, error);
}

}  // namespace
