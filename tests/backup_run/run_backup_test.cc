// Whole backup runs against fake host tools: the call sequence, the log
// lines and exit statuses, the api-key file, and interrupts by signals.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <sys/file.h>

#include "backup/backup_options.h"
#include "backup/pool_guard.h"
#include "backup/recovery.h"
#include "backup/run_backup.h"
#include "backup/run_lock.h"
#include "backup/snapshots.h"
#include "backup/vm_state.h"
#include "common/process_info.h"
#include "common/runner.h"
#include "common/progress.h"
#include "common/storage_lock.h"
#include "fake_tools.h"

namespace {

using strings = std::vector<std::string>;

const char kConfig[] =
    "agent: 1\n"
    "boot: order=scsi0;ide2;net0\n"
    "ide2: none,media=cdrom\n"
    "memory: 2048\n"
    "net0: virtio=BC:24:11:2C:69:EC,bridge=vmbr0\n"
    "scsi0: local-lvm:vm-101-disk-0,size=4M\n"
    "virtio1: thick:vm-101-disk-1,size=8M\n";

class RunBackup : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to make device nodes";
        snapshot_retry_delay_ms = 1;
        snapshot_device_poll_ms = 1;
        write_text(tools_.path("conf"), kConfig);
        tools_.on("qm",
                  "case \"$1\" in\n"
                  "config) cat \"$FAKE_DIR/conf\";;\n"
                  "status) echo \"status: $(cat \"$FAKE_DIR/state\")\";;\n"
                  "guest) echo 1;;\n"
                  "esac");
        write_text(tools_.path("state"), "running\n");
        // An inactive LV has no node: its path is /dev/<vg>/<lv>.
        tools_.on("pvesm",
                  "f=\"$FAKE_DIR/node-${2#*:}\"\n"
                  "[ -e \"$FAKE_DIR/inactive-${2#*:}\" ] && { cat \"$FAKE_DIR/inactive-${2#*:}\"; exit 0; }\n"
                  "[ -e \"$f\" ] || { echo \"no such volume '$2'\" >&2; exit 2; }\n"
                  "echo \"$f\"");
        tools_.lvs_from_table();
        tools_.add_lv_row(tools_.vg() + "|data|twi-aotz--|1000|thin-pool||253|5||10.00|5.00|");
        tools_.lvcreate_makes_nodes();
        mkdir(tools_.path("pve").c_str(), 0755);
        write_text(tools_.path("pve/storage.cfg"), "lvmthin: local-lvm\n\tthinpool data\n\tvgname " + tools_.vg() +
                                                       "\n\nlvm: thick\n\tvgname " + tools_.vg() + "\n\tshared 0\n");
        pve_dir_ = tools_.path("pve");
        tools_.on("vlt_agent", "printf '%s\\n' \"$@\" > \"$FAKE_DIR/argv.$n\"");
        add_lv("vm-101-disk-0", true, 7);
        add_lv("vm-101-disk-1", false, 8);
        add_lv("vm-101-disk-2", true, 10);

        opts_.vmid = "101";
        opts_.pve_dir = pve_dir_.c_str();
        strcpy(opts_.job_prefix, "vm101");
        opts_.forwarded = forwarded_;
        opts_.forwarded_count = 2;
    }
    void TearDown() override
    {
        release_signal_handlers();
        snapshot_retry_delay_ms = 1000;
        snapshot_device_poll_ms = 100;
        cleanup_agent_grace_polls = 50;
        pool_watch_interval_ms = 5000;
        storage_lock_wait_seconds = 60;
    }

    // Makes the thick disk vm-101-disk-1 inactive: no node, -1 numbers.
    void make_thick_disk_inactive()
    {
        unlink(tools_.path("node-vm-101-disk-1").c_str());
        write_text(tools_.path("inactive-vm-101-disk-1"), "/dev/" + tools_.vg() + "/vm-101-disk-1\n");
        std::string table = tools_.read("lvtable");
        std::string active = tools_.vg() + "|vm-101-disk-1|-wi-ao----|4194304|linear||253|8|";
        size_t at = table.find(active);
        ASSERT_NE(at, std::string::npos);
        table.replace(at, active.size(), tools_.vg() + "|vm-101-disk-1|-wi-------|4194304|linear||-1|-1|");
        write_text(tools_.path("lvtable"), table);
        tools_.on("lvchange", "[ \"$1\" = -ay ] && { mkdir -p \"/dev/${2%%/*}\"; mknod \"/dev/$2\" b 240 11; }; exit 0");
    }
    // The thin pool's usage in the lvs table.
    void pool_usage(const std::string &attr, const std::string &data, const std::string &meta)
    {
        std::string table = tools_.read("lvtable");
        size_t at = table.find(tools_.vg() + "|data|");
        ASSERT_NE(at, std::string::npos);
        size_t end = table.find('\n', at);
        table.replace(at, end - at, tools_.vg() + "|data|" + attr + "|1000|thin-pool||253|5||" + data + "|" + meta + "|");
        write_text(tools_.path("lvtable"), table);
    }

    void add_lv(const std::string &lv, bool thin, int minor)
    {
        std::string node = tools_.path("node-" + lv);
        ASSERT_EQ(mknod(node.c_str(), S_IFBLK | 0600, makedev(253, minor)), 0);
        tools_.add_lv_row(tools_.vg() + "|" + lv + "|" + (thin ? "Vwi-aotz--" : "-wi-ao----") + "|4194304|" +
                          (thin ? "thin" : "linear") + "||253|" + std::to_string(minor) + "|" + (thin ? "data" : "") +
                          "|||");
    }

    strings agent_argv(int n) { return tools_.read_lines("argv." + std::to_string(n)); }

    // No guest-agent command went out: the guest was never frozen.
    bool never_frozen() const
    {
        for (const std::string &c : tools_.calls_of("qm"))
            if (c.rfind("guest ", 0) == 0)
                return false;
        return !tools_.calls_of("qm").empty();
    }
    static bool has_line(const strings &lines, const std::string &line)
    {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    std::string snap(const char *lv) { return tools_.vg() + "/" + lv + "_vltsnap"; }

    int32_t run(strings *lines = nullptr)
    {
        stderr_capture log;
        int32_t rc = run_backup(&opts_);
        std::string text = log.text();
        if (lines != nullptr)
            *lines = log_lines(text);
        return rc;
    }

    fake_tools tools_;
    std::string pve_dir_;
    const char *forwarded_[4] = {"--out", "/backup", nullptr, nullptr};
    backup_options opts_{};
};

TEST_F(RunBackup, BacksUpEveryDiskThenTheConfiguration)
{
    strings lines;
    ASSERT_EQ(run(&lines), 0);
    const std::string vg = tools_.vg();
    strings calls = tools_.call_lines();
    strings expected = {
        "qm config 101 --current",
        "pvesm path local-lvm:vm-101-disk-0",
        "lvs --noheadings --separator | --units b --nosuffix -o "
        "vg_name,lv_name,lv_attr,lv_size,segtype,origin,lv_kernel_major,lv_kernel_minor",
        "pvesm path thick:vm-101-disk-1",
        "lvs --noheadings --separator | --units b --nosuffix -o "
        "vg_name,lv_name,lv_attr,lv_size,segtype,origin,lv_kernel_major,lv_kernel_minor",
        // snapshots an earlier run may have left, in the disks' volume group
        "lvs --noheadings --separator | -o vg_name,lv_name,lv_tags,origin " + vg,
        "qm status 101",
        "lvs --noheadings --separator | -o vg_name,lv_name,pool_lv " + vg + "/vm-101-disk-0",
        "lvs --noheadings --separator | -o vg_name,lv_name,lv_attr,data_percent,metadata_percent " + vg + "/data",
        "qm guest cmd 101 fsfreeze-freeze",
        "lvcreate -s -y -kn -n vm-101-disk-0_vltsnap --addtag vlt_agent --addtag vm101 " + vg + "/vm-101-disk-0",
        "lvcreate -s -y -n vm-101-disk-1_vltsnap -l 10%ORIGIN --addtag vlt_agent --addtag vm101 " + vg +
            "/vm-101-disk-1",
        "qm guest cmd 101 fsfreeze-thaw",
        "vlt_agent --source /dev/" + vg + "/vm-101-disk-0_vltsnap --snapshot off --name vm101-scsi0 --out /backup",
        "lvremove -f -y " + snap("vm-101-disk-0"),
        "vlt_agent --source /dev/" + vg + "/vm-101-disk-1_vltsnap --snapshot off --name vm101-virtio1 --out /backup",
        "lvs --noheadings --separator | -o vg_name,lv_name,lv_attr,snap_percent " + snap("vm-101-disk-1"),
        "lvremove -f -y " + snap("vm-101-disk-1"),
    };
    ASSERT_EQ(calls.size(), expected.size() + 1) << ::testing::PrintToString(calls);
    EXPECT_EQ(strings(calls.begin(), calls.end() - 1), expected);
    EXPECT_TRUE(like(calls.back(), "vlt_agent --source /tmp/vlt_proxmox_vmconfig.[A-Za-z0-9][A-Za-z0-9][A-Za-z0-9][A-Za-z0-9][A-Za-z0-9][A-Za-z0-9] --snapshot off "
                                   "--name vm101-vmconfig --out /backup"))
        << calls.back();

    ASSERT_EQ(lines.size(), 7u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0].rfind("INFO  VM 101: consistency window (guest quiesced until thawed): ", 0), 0u);
    EXPECT_EQ(lines[1], "INFO  VM 101 disk scsi0: backing up snapshot " + snap("vm-101-disk-0") + " as job vm101-scsi0");
    EXPECT_EQ(lines[2], "INFO  VM 101 disk scsi0: job vm101-scsi0 finished");
    EXPECT_EQ(lines[3], "INFO  VM 101 disk virtio1: backing up snapshot " + snap("vm-101-disk-1") +
                            " as job vm101-virtio1");
    EXPECT_EQ(lines[4], "INFO  VM 101 disk virtio1: job vm101-virtio1 finished");
    EXPECT_EQ(lines[5], "INFO  VM 101 config: job vm101-vmconfig finished");
    EXPECT_EQ(lines[6], "INFO  VM 101: backup finished, consistency: fs (frozen by the guest agent)");

    struct sigaction now;
    sigaction(SIGTERM, nullptr, &now);
    EXPECT_NE(now.sa_handler, cleanup_on_signal);
}

TEST_F(RunBackup, SelectionKeepsConfigurationOrder)
{
    write_text(tools_.path("conf"), std::string(kConfig) + "scsi1: local-lvm:vm-101-disk-2,size=4M\n");
    const char *slots[] = {"scsi1", "scsi0", "scsi1"};
    for (int i = 0; i < 3; i++)
        opts_.slots[i] = slots[i];
    opts_.slot_count = 3;
    opts_.no_vmconfig = 1;
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(agent_argv(1)[5], "vm101-scsi0");
    EXPECT_EQ(agent_argv(2)[5], "vm101-scsi1");
    EXPECT_EQ(tools_.calls_of("vlt_agent").size(), 2u);
    EXPECT_EQ(tools_.calls_of("lvcreate").size(), 2u);
}

TEST_F(RunBackup, MissingSlotAndNoDisksStopBeforeTheHost)
{
    opts_.slots[0] = "scsi0";
    opts_.slots[1] = "ide2";
    opts_.slot_count = 2;
    strings lines;
    EXPECT_EQ(run(&lines), 1);
    EXPECT_EQ(lines, (strings{"ERROR VM 101 has no disk-like volume 'ide2' (run 'qm config 101 --current' to see its slots)"}));
    EXPECT_EQ(tools_.call_lines(), (strings{"qm config 101 --current"}));

    opts_.slot_count = 0;
    write_text(tools_.path("conf"), "memory: 512\nide2: none,media=cdrom\nnet0: virtio,bridge=vmbr0\n");
    EXPECT_EQ(run(&lines), 1);
    EXPECT_EQ(lines, (strings{"ERROR VM 101 has no disk-like volumes to back up"}));
    EXPECT_EQ(tools_.calls_of("qm"), (strings{"config 101 --current", "config 101 --current"}));
}

TEST_F(RunBackup, ConfigurationProblems)
{
    strings lines;
    tools_.on("qm", "echo \"Configuration file 'nodes/pve/qemu-server/101.conf' does not exist\" >&2; exit 2");
    EXPECT_EQ(run(&lines), 1);
    EXPECT_EQ(lines, (strings{"ERROR qm config 101 --current failed: Configuration file "
                              "'nodes/pve/qemu-server/101.conf' does not exist"}));
    // Status 0 without a single "key: value" line is no configuration, not a
    // VM without disks.
    for (const char *output : {"echo", "printf 'garbage\\0after a NUL byte\\n'", "head -c 3000 /dev/zero | tr '\\0' x",
                               "printf '\\x9a\\x01: \\x7f\\nX Y: z\\n'"}) {
        SCOPED_TRACE(output);
        tools_.on("qm", output);
        EXPECT_EQ(run(&lines), 1);
        EXPECT_EQ(lines, (strings{"ERROR qm config 101 --current printed no configuration"}));
    }
    tools_.remove("qm");
    EXPECT_EQ(run(&lines), 1);
    EXPECT_EQ(lines, (strings{"ERROR qm is not available (not running on a Proxmox VE host?)"}));
}

TEST_F(RunBackup, ResolutionProblems)
{
    strings lines;
    tools_.remove("pvesm");
    EXPECT_EQ(run(&lines), 1);
    EXPECT_EQ(lines, (strings{"ERROR pvesm is not available (not running on a Proxmox VE host?)"}));
}

TEST_F(RunBackup, EveryNonLvmDiskIsReportedInOneLine)
{
    write_text(tools_.path("conf"), "scsi0: local-lvm:vm-101-disk-0,size=4M\n"
                                    "scsi1: local:101/vm-101-disk-5.raw,size=4M\n"
                                    "sata0: gone:vm-101-disk-6,size=4M\n");
    mkdir(tools_.path("node-101").c_str(), 0755);
    write_text(tools_.path("node-101/vm-101-disk-5.raw"), "raw");
    strings lines;
    EXPECT_EQ(run(&lines), 1);
    const std::string file = tools_.path("node-101/vm-101-disk-5.raw");
    EXPECT_EQ(lines, (strings{"ERROR VM 101: not every disk is LVM-backed (this version only supports LVM/LVM-thin): "
                              "scsi1 (local:101/vm-101-disk-5.raw) not LVM-backed: " + file +
                              " is not an LVM logical volume (storage backend other than LVM/LVM-thin); "
                              "sata0 (gone:vm-101-disk-6) lookup failed: pvesm path failed: no such volume "
                              "'gone:vm-101-disk-6'"}));
    EXPECT_TRUE(tools_.calls_of("lvcreate").empty());
    EXPECT_EQ(tools_.calls_of("qm").size(), 1u);  // never frozen
}

TEST_F(RunBackup, LockedVmIsRefusedBeforeAnythingElse)
{
    write_text(tools_.path("conf"), std::string(kConfig) + "lock: snapshot\n");
    strings lines;
    EXPECT_EQ(run(&lines), 1);
    EXPECT_EQ(lines, (strings{"ERROR VM 101 is locked (snapshot): try again when that operation has finished"}));
    EXPECT_EQ(tools_.call_lines(), (strings{"qm config 101 --current"}));
}

TEST_F(RunBackup, BadRunStateStopsBeforeTheFreeze)
{
    struct row {
        const char *qm_status;  // what "qm status" does
        const char *error;
    } const rows[] = {
        {"echo 'VM 101 not found' >&2; exit 2", "ERROR qm status 101 failed: VM 101 not found"},
        {"echo 'status running'", "ERROR qm status 101 printed something unexpected (expected \"status: <state>\"): "
                                  "status running"},
        {":", "ERROR qm status 101 printed nothing (expected \"status: <state>\")"},
        {"exit 127", "ERROR qm is not available (not running on a Proxmox VE host?)"},
        {"exec sleep 30", "ERROR qm status 101 timed out after 1 s"},
    };
    vm_status_time_limit = 1;
    runner_kill_grace_seconds = 1;
    for (const row &r : rows) {
        SCOPED_TRACE(r.qm_status);
        unlink(tools_.path("calls").c_str());
        tools_.on("qm", std::string("case \"$1\" in\n"
                                    "config) cat \"$FAKE_DIR/conf\";;\n"
                                    "status) ") + r.qm_status + ";;\n"
                                    "*) echo 1;;\n"
                                    "esac");
        strings lines;
        EXPECT_EQ(run(&lines), 1);
        EXPECT_EQ(lines, (strings{r.error}));
        // Nothing frozen, nothing snapshotted.
        EXPECT_EQ(tools_.calls_of("qm"), (strings{"config 101 --current", "status 101"}));
        EXPECT_TRUE(tools_.calls_of("lvcreate").empty());
    }
    vm_status_time_limit = 30;
    runner_kill_grace_seconds = 300;
}

TEST_F(RunBackup, StoppedVmIsSnapshottedWithoutTheGuestAgent)
{
    write_text(tools_.path("state"), "stopped\n");
    strings lines;
    ASSERT_EQ(run(&lines), 0);
    EXPECT_EQ(tools_.calls_of("qm"), (strings{"config 101 --current", "status 101"}));
    EXPECT_EQ(tools_.calls_of("lvcreate").size(), 2u);
    EXPECT_EQ(tools_.calls_of("vlt_agent").size(), 3u);
    ASSERT_EQ(lines.size(), 8u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "INFO  VM 101 is stopped: its disks are consistent without a freeze");
    EXPECT_TRUE(like(lines[1], "INFO  VM 101: no freeze needed (the VM is stopped): snapshots took [0-9]*.[0-9][0-9] s "
                               "over 2 disk(s)"))
        << lines[1];
    EXPECT_EQ(lines[7], "INFO  VM 101: backup finished, consistency: stopped (the VM is stopped)");
}

TEST_F(RunBackup, FreezeRefusedByAnAgentThatDoesNotRun)
{
    // The configuration enables the agent, but none answers in the guest.
    tools_.on("qm", "case \"$1\" in\n"
                    "config) cat \"$FAKE_DIR/conf\";;\n"
                    "status) echo 'status: running';;\n"
                    "guest) echo 'QEMU guest agent is not running' >&2; exit 255;;\n"
                    "esac");
    strings lines;
    EXPECT_EQ(run(&lines), 1);
    EXPECT_EQ(lines, (strings{"ERROR VM 101: cannot freeze the guest (qm guest cmd 101 fsfreeze-freeze failed: QEMU "
                              "guest agent is not running): --consistency try backs it up crash-consistent"}));
    EXPECT_EQ(tools_.calls_of("qm"), (strings{"config 101 --current", "status 101", "guest cmd 101 fsfreeze-freeze"}));
    EXPECT_TRUE(tools_.calls_of("lvcreate").empty());

    // Under try the backup goes on crash-consistent, still without a thaw.
    unlink(tools_.path("calls").c_str());
    opts_.consistency = CONSISTENCY_TRY;
    ASSERT_EQ(run(&lines), 0);
    EXPECT_EQ(tools_.calls_of("qm"), (strings{"config 101 --current", "status 101", "guest cmd 101 fsfreeze-freeze"}));
    EXPECT_EQ(tools_.calls_of("lvcreate").size(), 2u);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "WARN  VM 101: backing up crash-consistent (qm guest cmd 101 fsfreeze-freeze failed: QEMU "
                        "guest agent is not running)");
    EXPECT_TRUE(like(lines[1], "INFO  VM 101: crash-consistent, no freeze (qm guest cmd 101 fsfreeze-freeze failed: "
                               "QEMU guest agent is not running): snapshots took [0-9]*.[0-9][0-9] s over 2 disk(s)"))
        << lines[1];
    EXPECT_EQ(lines.back(), "INFO  VM 101: backup finished, consistency: crash (qm guest cmd 101 fsfreeze-freeze "
                            "failed: QEMU guest agent is not running)");
}

TEST_F(RunBackup, SnapshotSetFailureEndsTheRun)
{
    opts_.snapshot_size = "12K";
    strings lines;
    EXPECT_EQ(run(&lines), 1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "ERROR VM 101: could not snapshot virtio1 (vm-101-disk-1): invalid snapshot size '12K'");
    EXPECT_EQ(tools_.calls_of("lvremove"), (strings{"-f -y " + snap("vm-101-disk-0")}));
    EXPECT_EQ(tools_.calls_of("qm").back(), "guest cmd 101 fsfreeze-thaw");
    EXPECT_TRUE(tools_.calls_of("vlt_agent").empty());
}

TEST_F(RunBackup, FailedDiskIsSummedUpAfterTheConfigurationJob)
{
    tools_.on("vlt_agent", "[ $n -eq 1 ] && exit 3; exit 0");
    strings lines;
    EXPECT_EQ(run(&lines), 1);
    ASSERT_EQ(lines.size(), 8u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[2], "ERROR VM 101 disk scsi0: vlt_agent exited with code 3");
    EXPECT_EQ(lines[4], "INFO  VM 101 disk virtio1: job vm101-virtio1 finished");
    EXPECT_EQ(lines[5], "INFO  VM 101 config: job vm101-vmconfig finished");
    EXPECT_EQ(lines[6], "ERROR VM 101: 1 of 2 disk(s) failed: scsi0");
    EXPECT_EQ(lines[7], "INFO  VM 101: backup failed, consistency: fs (frozen by the guest agent)");
    // the vmconfig job ran before the summary, and both snapshots are gone
    EXPECT_EQ(tools_.calls_of("vlt_agent").size(), 3u);
    EXPECT_EQ(tools_.calls_of("lvremove"), (strings{"-f -y " + snap("vm-101-disk-0"), "-f -y " + snap("vm-101-disk-1")}));

    tools_.on("vlt_agent", "exit 3");
    EXPECT_EQ(run(&lines), 1);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "ERROR VM 101: 2 of 2 disk(s) failed: scsi0, virtio1");
}

TEST_F(RunBackup, FailedConfigurationJobAloneFailsTheRun)
{
    tools_.on("vlt_agent", "[ $n -eq 3 ] && exit 5; exit 0");
    strings lines;
    EXPECT_EQ(run(&lines), 1);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "ERROR VM 101 config: vlt_agent exited with code 5");
    EXPECT_EQ(lines.back(), "INFO  VM 101: backup failed, consistency: fs (frozen by the guest agent)");
    for (const auto &line : lines)
        EXPECT_EQ(line.find("disk(s) failed"), std::string::npos);

    opts_.no_vmconfig = 1;
    EXPECT_EQ(run(&lines), 0);
    EXPECT_EQ(tools_.calls_of("vlt_agent").size(), 5u);
}

TEST_F(RunBackup, LiteralApiKeyTravelsOnlyInAPrivateFile)
{
    tools_.on("vlt_agent",
              "printf '%s\\n' \"$@\" > \"$FAKE_DIR/argv.$n\"\n"
              "k=\"${@: -1}\"; k=\"${k#file:}\"\n"
              "stat -c '%a %s' \"$k\" > \"$FAKE_DIR/keystat.$n\"; cat \"$k\" > \"$FAKE_DIR/key.$n\"\n"
              "cat /proc/[0-9]*/cmdline 2>/dev/null | tr '\\0' ' ' > \"$FAKE_DIR/cmdlines.$n\"");
    const char *secret = "s3cr3t-Value with spaces";
    opts_.api_key = secret;
    ASSERT_EQ(run(), 0);
    std::string path;
    for (int n = 1; n <= 3; n++) {
        strings argv = agent_argv(n);
        ASSERT_GE(argv.size(), 10u);
        EXPECT_EQ(argv[argv.size() - 4], "--out");
        EXPECT_EQ(argv[argv.size() - 2], "--api-key");
        std::string arg = argv.back();
        ASSERT_TRUE(like(arg, "file:/dev/shm/vlt_proxmox_key." + std::to_string(getpid()) + ".[A-Za-z0-9][A-Za-z0-9][A-Za-z0-9][A-Za-z0-9][A-Za-z0-9][A-Za-z0-9]"))
            << arg;
        if (n == 1)
            path = arg.substr(5);
        EXPECT_EQ(arg.substr(5), path);  // one file for every run
        EXPECT_EQ(tools_.read("key." + std::to_string(n)), secret);
        EXPECT_EQ(tools_.read("keystat." + std::to_string(n)), "600 " + std::to_string(strlen(secret)) + "\n");
        EXPECT_EQ(tools_.read("cmdlines." + std::to_string(n)).find("s3cr3t"), std::string::npos);
    }
    struct stat st;
    EXPECT_NE(stat(path.c_str(), &st), 0);
    EXPECT_EQ(g_cleanup.secret_file.armed, 0);
}

TEST_F(RunBackup, SecretFileThatCannotBeMadeGivesUpTheSnapshots)
{
    opts_.api_key = "literal";
    secret_file_dir = "/nonexistent-vlt-dir";
    strings lines;
    int32_t rc = run(&lines);
    secret_file_dir = "/dev/shm";
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(lines.back(), "ERROR VM 101: cannot create a secret file under /nonexistent-vlt-dir: No such file or directory");
    EXPECT_EQ(tools_.calls_of("lvremove"), (strings{"-f -y " + snap("vm-101-disk-0"), "-f -y " + snap("vm-101-disk-1")}));
    EXPECT_TRUE(tools_.calls_of("vlt_agent").empty());
    EXPECT_EQ(g_cleanup.created[0], 0);
    struct sigaction now;
    sigaction(SIGTERM, nullptr, &now);
    EXPECT_NE(now.sa_handler, cleanup_on_signal);
}

TEST_F(RunBackup, FileApiKeyIsPassedAsGiven)
{
    opts_.api_key = "file:/etc/vlt/key";
    ASSERT_EQ(run(), 0);
    strings argv = agent_argv(2);
    EXPECT_EQ(strings(argv.end() - 2, argv.end()), (strings{"--api-key", "file:/etc/vlt/key"}));
}

// The lock and the repair of what an earlier run of the VM left, in
// process: the lock's directory is the fixture's run/ (VLT_RUN_DIR).
class RunRecovery : public RunBackup {
protected:
    void SetUp() override
    {
        RunBackup::SetUp();
        if (IsSkipped())
            return;
        // The search for left snapshots gets the tags and origins of the
        // disks' volume group from lvs-tags (none left by default; see
        // fake_tools::lvs_from_table).
        // A guest whose frozen state lives in the file "frozen".
        tools_.on("qm",
                  "case \"$1 $4\" in\n"
                  "'config '*) cat \"$FAKE_DIR/conf\";;\n"
                  "'status '*) echo 'status: running';;\n"
                  "'guest fsfreeze-status') [ -e \"$FAKE_DIR/frozen\" ] && echo frozen || echo thawed;;\n"
                  "'guest fsfreeze-thaw') [ -e \"$FAKE_DIR/thaw-fails\" ] && { echo 'Agent error: stuck'; exit 255; }\n"
                  "  rm -f \"$FAKE_DIR/frozen\"; echo 2;;\n"
                  "'guest fsfreeze-freeze') touch \"$FAKE_DIR/frozen\"; echo 2;;\n"
                  "esac");
        run_dir_ = tools_.path("run");
        snapshot_retry_delay_ms = 1;
        recovery_stop_grace_ms = 5000;
    }
    void TearDown() override
    {
        RunBackup::TearDown();
        thaw_confirm_deadline_ms = 60000;
        thaw_poll_interval_ms = 1000;
        recovery_stop_grace_ms = 5000;
    }

    void state(const std::string &body)
    {
        mkdir(run_dir_.c_str(), 0700);
        write_text(run_dir_ + "/101.state", "vlt_proxmox run state 1\nvmid 101\nrun 999999 1\n" + body + "end\n", 0600);
    }
    bool state_exists() const { return access((run_dir_ + "/101.state").c_str(), F_OK) == 0; }
    std::string tags_line(const std::string &lv, const std::string &tags, const std::string &origin) const
    {
        return "  " + tools_.vg() + "|" + lv + "|" + tags + "|" + origin + "\n";
    }
    // Only the host calls before the freeze, and whether there was one.
    bool froze() const
    {
        for (const auto &c : tools_.calls_of("qm"))
            if (c == "guest cmd 101 fsfreeze-freeze")
                return true;
        return false;
    }

    // A run with a fresh call log.
    int32_t rerun(strings *lines)
    {
        unlink(tools_.path("calls").c_str());
        return run(lines);
    }

    std::string run_dir_;
};

TEST_F(RunRecovery, OneRunPerVmAndNoWaitingAcrossVms)
{
    // Another process holds VM 101's lock.
    int go[2], ready[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0) {
        vm_run_lock lock;
        char ok = take_vm_lock("101", &lock) == 0 ? 1 : 0;
        (void)!write(ready[1], &ok, 1);
        char c;
        (void)!read(go[0], &c, 1);
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 1);
    strings lines;
    EXPECT_EQ(run(&lines), 1);
    EXPECT_EQ(lines, (strings{"ERROR VM 101 is already being backed up (by process " + std::to_string(holder) + ")"}));
    EXPECT_TRUE(tools_.call_lines().empty());

    // Another VM is not held up, and the lock file carries the holder's pid.
    vm_run_lock other;
    {
        stderr_capture quiet;
        EXPECT_EQ(take_vm_lock("102", &other), 0);
    }
    EXPECT_EQ(tools_.read("run/101.lock"), std::to_string(holder) + "\n");
    struct stat st;
    ASSERT_EQ(stat(run_dir_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);

    // Once the holder has gone (any way at all), the VM is free again.
    ASSERT_EQ(write(go[1], "x", 1), 1);
    int status;
    waitpid(holder, &status, 0);
    for (int fd : {go[0], go[1], ready[0], ready[1]})
        close(fd);
    EXPECT_EQ(run(&lines), 0) << ::testing::PrintToString(lines);
    EXPECT_EQ(tools_.read("run/101.lock"), std::to_string(getpid()) + "\n");
}

TEST_F(RunRecovery, ARunDirectoryThatIsNotOursAlone)
{
    const std::string base = tools_.path("dirs");
    ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((base + "/open").c_str(), 0700), 0);
    ASSERT_EQ(chmod((base + "/open").c_str(), 0777), 0);
    ASSERT_EQ(mkdir((base + "/foreign").c_str(), 0700), 0);
    ASSERT_EQ(chown((base + "/foreign").c_str(), 4321, 4321), 0);
    ASSERT_EQ(symlink((base + "/open").c_str(), (base + "/link").c_str()), 0);
    write_text(base + "/file", "");
    struct {
        std::string dir, why;
    } cases[] = {
        {base + "/missing/run", "cannot create it: No such file or directory"},
        {base + "/link", "it is a symbolic link"},
        {base + "/file", "it is not a directory"},
        {base + "/open", "its mode 0777 lets other users write to it"},
        {base + "/foreign", "it belongs to uid 4321, not to uid 0"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.dir);
        setenv("VLT_RUN_DIR", c.dir.c_str(), 1);
        strings lines;
        EXPECT_EQ(run(&lines), 1);
        EXPECT_EQ(lines, (strings{"ERROR cannot use the lock directory " + c.dir + ": " + c.why}));
        EXPECT_TRUE(tools_.call_lines().empty());
    }
    EXPECT_EQ(vlt_test::list_dir(base + "/open"), strings{});
    setenv("VLT_RUN_DIR", run_dir_.c_str(), 1);

    opts_.vmid = "10x";
    strings lines;
    EXPECT_EQ(run(&lines), 1);
    EXPECT_EQ(lines, (strings{"ERROR VM 10x: not a VMID (a number from 1 to 999999999)"}));
    EXPECT_TRUE(tools_.call_lines().empty());
}

TEST_F(RunRecovery, AStateFileThatCannotBeWrittenMeansNoFreeze)
{
    ASSERT_EQ(mkdir(run_dir_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((run_dir_ + "/101.state.new").c_str(), 0700), 0);
    strings lines;
    EXPECT_EQ(run(&lines), 1);
    EXPECT_EQ(lines, (strings{"ERROR VM 101: cannot write the state file " + run_dir_ + "/101.state: File exists"}));
    EXPECT_FALSE(froze());
    EXPECT_TRUE(tools_.calls_of("lvcreate").empty());
}

TEST_F(RunRecovery, AStateFileThatCannotBeUsedStopsEverything)
{
    // A snapshot of ours is there too: nothing is repaired without the file.
    write_text(tools_.path("lvs-tags"), tags_line("vm-101-disk-0_vltsnap", "vlt_agent,vm101", "vm-101-disk-0"));
    const std::string hint = " (nothing was repaired or frozen: check the guest with 'qm guest cmd 101 "
                             "fsfreeze-status' and look for its *_vltsnap snapshots, then remove the file)";
    const std::string file = run_dir_ + "/101.state";
    struct {
        std::function<void()> make;
        std::string why;
    } cases[] = {
        {[&] { state("frozen 1\nsnapshot x/y_vltsnap\nbogus 1\n"); }, "line 6 (\"bogus\") is not understood"},
        {[&] { state("frozen 1\nsnapshot vg/../etc_vltsnap\n"); }, "line 5 (\"snapshot\") is not understood"},
        {[&] { state("frozen 1\nsecret /etc/passwd\n"); }, "line 5 (\"secret\") is not understood"},
        {[&] { state("frozen 1\nvmconfig /tmp/../etc/vlt_proxmox_vmconfig.abcdef\n"); },
         "line 5 (\"vmconfig\") is not understood"},
        {[&] { write_text(file, "vlt_proxmox run state 1\nvmid 101\nrun 999999 1\nfrozen 1\n", 0600); },
         "it is not complete"},
        {[&] { write_text(file, "vlt_proxmox run state 1\nvmid 102\nrun 999999 1\nfrozen 1\nend\n", 0600); },
         "it is the state of VM 102"},
        {[&] { write_text(file, "garbage\n", 0600); }, "it does not start with \"vlt_proxmox run state 1\""},
        {[&] { state("frozen 0\n"); chmod(file.c_str(), 0666); }, "it is not ours alone (uid 0, mode 0666)"},
        {[&] { unlink(file.c_str()); symlink("/etc/hostname", file.c_str()); }, "it is a symbolic link"},
        {[&] { unlink(file.c_str()); mkdir(file.c_str(), 0700); }, "it is not a plain file"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.why);
        mkdir(run_dir_.c_str(), 0700);
        c.make();
        strings lines;
        EXPECT_EQ(run(&lines), 1);
        EXPECT_EQ(lines, (strings{"ERROR VM 101: cannot use the state file " + file + " of an earlier run: " + c.why + hint}));
        EXPECT_TRUE(tools_.call_lines().empty());
    }
    rmdir(file.c_str());
    // A state file naming a process that still runs is not a dead run's.
    uint64_t ticks = 0;
    ASSERT_TRUE(process_start_ticks(getpid(), &ticks));
    write_text(file, "vlt_proxmox run state 1\nvmid 101\nrun " + std::to_string(getpid()) + " " +
                         std::to_string(ticks) + "\nfrozen 1\nend\n", 0600);
    strings lines;
    EXPECT_EQ(run(&lines), 1);
    EXPECT_EQ(lines, (strings{"ERROR VM 101: the state file " + file + " names process " + std::to_string(getpid()) +
                              ", which still runs: nothing was repaired or frozen"}));
    EXPECT_TRUE(tools_.call_lines().empty());
}

TEST_F(RunRecovery, AGuestLeftFrozenIsThawedBeforeAnythingElse)
{
    state("frozen 1\n");
    write_text(tools_.path("frozen"), "");
    strings lines;
    ASSERT_EQ(run(&lines), 0) << ::testing::PrintToString(lines);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "WARN  VM 101: an earlier run (process 999999) ended abnormally and left the guest frozen: thawed");
    strings qm = tools_.calls_of("qm");
    ASSERT_GE(qm.size(), 4u);
    EXPECT_EQ(strings(qm.begin(), qm.begin() + 4), (strings{"guest cmd 101 fsfreeze-status", "guest cmd 101 fsfreeze-thaw",
                                                            "guest cmd 101 fsfreeze-status", "config 101 --current"}));
    EXPECT_FALSE(state_exists());

    // A guest that reads thawed needs nothing: no thaw, no line.
    state("frozen 1\n");
    ASSERT_EQ(rerun(&lines), 0);
    EXPECT_EQ(lines[0].rfind("INFO", 0), 0u) << lines[0];
    EXPECT_EQ(tools_.calls_of("qm")[0], "guest cmd 101 fsfreeze-status");
    EXPECT_EQ(tools_.calls_of("qm")[1], "config 101 --current");
}

TEST_F(RunRecovery, AGuestThatCannotBeThawedIsNeverFrozenAgain)
{
    state("frozen 1\nsnapshot " + tools_.vg() + "/vm-101-disk-0_vltsnap\n");
    write_text(tools_.path("frozen"), "");
    write_text(tools_.path("thaw-fails"), "");
    thaw_confirm_deadline_ms = 200;
    thaw_poll_interval_ms = 50;
    strings lines;
    EXPECT_EQ(run(&lines), 1);
    EXPECT_EQ(lines, (strings{"ERROR VM 101: an earlier run (process 999999) ended abnormally and may have left the guest "
                              "frozen, and the guest could not be confirmed thawed within 0.2 s (qm guest cmd 101 "
                              "fsfreeze-thaw failed: Agent error: stuck): nothing was frozen (check the guest; once "
                              "it answers thawed, or after " + run_dir_ + "/101.state is removed, the next run goes "
                              "on)"}));
    for (const auto &c : tools_.calls_of("qm"))
        EXPECT_TRUE(c == "guest cmd 101 fsfreeze-status" || c == "guest cmd 101 fsfreeze-thaw") << c;
    EXPECT_TRUE(tools_.calls_of("lvremove").empty());
    EXPECT_TRUE(state_exists());  // for the next run
}

TEST_F(RunRecovery, AChildOfTheEarlierRunIsStoppedFirst)
{
    for (bool ignores_term : {false, true}) {
        SCOPED_TRACE(ignores_term);
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t child = fork();
        if (child == 0) {
            setpgid(0, 0);
            if (ignores_term)
                signal(SIGTERM, SIG_IGN);
            (void)!write(ready[1], "r", 1);
            for (;;)
                pause();
        }
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1);  // its signals are set up
        close(ready[0]);
        close(ready[1]);
        uint64_t ticks = 0;
        ASSERT_TRUE(process_start_ticks(child, &ticks));
        recovery_stop_grace_ms = 300;
        state("frozen 0\nchild vlt_agent " + std::to_string(child) + " " + std::to_string(ticks) + "\n");
        strings lines;
        EXPECT_EQ(run(&lines), 0);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], "WARN  VM 101: vlt_agent (process " + std::to_string(child) +
                                ") of an earlier run (process 999999) that ended abnormally was still running: stopped");
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), ignores_term ? SIGKILL : SIGTERM);
    }
}

TEST_F(RunRecovery, LeftSnapshotsAreRemovedOnlyWhenProvablyOurs)
{
    const std::string vg = tools_.vg();
    // Ours: tagged, named after a disk of the VM, that disk its origin.
    write_text(tools_.path("lvs-tags"), "  " + vg + "|vm-101-disk-0|||\n" +
                                            tags_line("vm-101-disk-0_vltsnap", "vlt_agent,vm101", "vm-101-disk-0") +
                                            tags_line("vm-101-disk-1_vltsnap", "vm101,vlt_agent", ""));
    strings lines;
    ASSERT_EQ(run(&lines), 0);
    EXPECT_EQ(strings(lines.begin(), lines.begin() + 2),
              (strings{"WARN  VM 101: snapshot " + vg + "/vm-101-disk-0_vltsnap was left by an earlier run that ended "
                       "abnormally: removed",
                       "WARN  VM 101: snapshot " + vg + "/vm-101-disk-1_vltsnap was left by an earlier run that ended "
                       "abnormally: removed"}));
    strings removed = tools_.calls_of("lvremove");
    ASSERT_GE(removed.size(), 2u);
    EXPECT_EQ(strings(removed.begin(), removed.begin() + 2),
              (strings{"-f -y " + snap("vm-101-disk-0"), "-f -y " + snap("vm-101-disk-1")}));

    // A tag that only starts like ours, and a snapshot of the wrong origin.
    struct {
        std::string listing, error;
    } cases[] = {
        {tags_line("vm-101-disk-0_vltsnap", "vlt_agentx,vm101", "vm-101-disk-0"),
         "ERROR VM 101: " + vg + "/vm-101-disk-0_vltsnap exists but does not carry the tag vlt_agent, so it is not a "
         "snapshot of vlt_proxmox: not removed (rename or remove it by hand; the backup needs its name)"},
        {tags_line("vm-101-disk-0_vltsnap", "vlt_agent", "vm-101-disk-9"),
         "ERROR VM 101: " + vg + "/vm-101-disk-0_vltsnap is not the snapshot of a disk of this VM (its origin is "
         "vm-101-disk-9): not removed (remove it by hand if nothing needs it)"},
    };
    for (const auto &c : cases) {
        write_text(tools_.path("lvs-tags"), c.listing);
        EXPECT_EQ(rerun(&lines), 1);
        EXPECT_EQ(lines, strings{c.error});
        EXPECT_TRUE(tools_.calls_of("lvremove").empty());
        EXPECT_FALSE(froze());
    }

    // One of ours that will not go: the run stops before the freeze.
    write_text(tools_.path("lvs-tags"), tags_line("vm-101-disk-0_vltsnap", "vlt_agent", "vm-101-disk-0"));
    tools_.on("lvremove", "echo '  Logical volume " + vg + "/vm-101-disk-0_vltsnap in use.'; exit 5");
    EXPECT_EQ(rerun(&lines), 1);
    EXPECT_EQ(lines, (strings{"ERROR VM 101: cannot remove the snapshot " + vg + "/vm-101-disk-0_vltsnap that an earlier "
                              "run left: lvremove " + vg + "/vm-101-disk-0_vltsnap failed:   Logical volume " + vg +
                              "/vm-101-disk-0_vltsnap in use."}));
    EXPECT_EQ(tools_.calls_of("lvremove").size(), 5u);
    EXPECT_FALSE(froze());
}

TEST_F(RunRecovery, LeftSnapshotAtTheEndOfALongListingGoesUnderItsStoragesLock)
{
    const std::string vg = tools_.vg();
    // Thousands of volumes in front (more than 256 KiB of listing), the
    // snapshot an earlier run left at the very end.
    std::string listing;
    for (int i = 0; i < 6000; i++)
        listing += "  " + vg + "|vm-" + std::to_string(1000 + i) + "-disk-0|some,tags,of,another,vm|\n";
    ASSERT_GT(listing.size(), 262144u);
    listing += tags_line("vm-101-disk-1_vltsnap", "vlt_agent,vm101", "vm-101-disk-1");
    write_text(tools_.path("lvs-tags"), listing);
    // lvremove notes whether Proxmox's lock of the thick storage is free.
    mkdir(tools_.lock_dir().c_str(), 0755);
    tools_.on("lvremove", "flock -n -E 9 '" + tools_.lock_dir() + "/pve-storage-thick' true; echo $? >> \"$FAKE_DIR/lock-seen\"");
    strings lines;
    ASSERT_EQ(run(&lines), 0) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "WARN  VM 101: snapshot " + vg + "/vm-101-disk-1_vltsnap was left by an earlier run that ended "
                        "abnormally: removed");
    strings removed = tools_.calls_of("lvremove");
    ASSERT_FALSE(removed.empty());
    EXPECT_EQ(removed[0], "-f -y " + snap("vm-101-disk-1"));
    // held by the run while the left snapshot was removed
    EXPECT_EQ(tools_.read_lines("lock-seen")[0], "9");
}

TEST_F(RunRecovery, TheStateFileNamesWhatTheRunMayLeave)
{
    // Seen by the agent of the first disk: the run's state file.
    opts_.api_key = "literal";
    tools_.on("vlt_agent", "[ $n -eq 1 ] && cp \"$FAKE_DIR/run/101.state\" \"$FAKE_DIR/state.1\"\n"
                           "[ $n -eq 3 ] && cp \"$FAKE_DIR/run/101.state\" \"$FAKE_DIR/state.3\"; exit 0");
    strings lines;
    ASSERT_EQ(run(&lines), 0) << ::testing::PrintToString(lines);
    strings st = tools_.read_lines("state.1");
    const std::string vg = tools_.vg();
    ASSERT_EQ(st.size(), 9u) << ::testing::PrintToString(st);
    EXPECT_EQ(strings(st.begin(), st.begin() + 2), (strings{"vlt_proxmox run state 1", "vmid 101"}));
    EXPECT_TRUE(like(st[2], "run " + std::to_string(getpid()) + " [0-9]*")) << st[2];
    EXPECT_EQ(st[3], "frozen 0");
    EXPECT_EQ(st[4], "snapshot " + vg + "/vm-101-disk-0_vltsnap");
    EXPECT_EQ(st[5], "snapshot " + vg + "/vm-101-disk-1_vltsnap");
    EXPECT_TRUE(like(st[6], "child vlt_agent [0-9]* [0-9]*")) << st[6];
    EXPECT_TRUE(like(st[7], "secret /dev/shm/vlt_proxmox_key.*")) << st[7];
    EXPECT_EQ(st[8], "end");
    strings st3 = tools_.read_lines("state.3");
    ASSERT_EQ(st3.size(), 10u) << ::testing::PrintToString(st3);
    EXPECT_TRUE(like(st3[8], "vmconfig /tmp/vlt_proxmox_vmconfig.??????")) << st3[8];
    // Nothing left to repair: the file is gone, the lock file stays.
    EXPECT_FALSE(state_exists());
    EXPECT_EQ(access((run_dir_ + "/101.lock").c_str(), F_OK), 0);
}

// The EFI disk is one more disk of the frozen set; a disk with backup=0
// is left out unless --disk names it; a disk passed through from the host
// is named at WARN. The configuration job's text ends with the line that
// says which disks the backup took and which failed.
TEST_F(RunBackup, DiskSelectionEfiDiskBackupOffAndHostDevices)
{
    add_lv("vm-101-disk-9", true, 19);
    write_text(tools_.path("conf"), std::string(kConfig) +
                                        "efidisk0: local-lvm:vm-101-disk-9,efitype=4m,pre-enrolled-keys=1,size=528K\n"
                                        "sata0: /dev/disk/by-path/pci-0000:00:1f.2-ata-1,size=100G\n"
                                        "scsi1: local-lvm:vm-101-disk-2,backup=0,size=4M\n");
    // The agent keeps a copy of the configuration text it was given.
    tools_.on("vlt_agent", "printf '%s\\n' \"$@\" > \"$FAKE_DIR/argv.$n\"\n"
                           "case \"$2\" in /tmp/*) cp \"$2\" \"$FAKE_DIR/config.$n\";; esac\n"
                           "[ \"$6\" = vm101-virtio1 ] && exit 4; exit 0");
    strings lines;
    EXPECT_EQ(run(&lines), 1);
    EXPECT_EQ(agent_argv(1)[5], "vm101-scsi0");
    EXPECT_EQ(agent_argv(2)[5], "vm101-virtio1");
    EXPECT_EQ(agent_argv(3)[5], "vm101-efidisk0");
    EXPECT_EQ(agent_argv(3)[1], "/dev/" + tools_.vg() + "/vm-101-disk-9_vltsnap");
    EXPECT_EQ(agent_argv(4)[5], "vm101-vmconfig");
    EXPECT_EQ(tools_.calls_of("lvcreate").size(), 3u);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "WARN  VM 101 disk sata0: /dev/disk/by-path/pci-0000:00:1f.2-ata-1 is a device of this "
                        "host passed through, not a storage volume: it is not backed up");
    EXPECT_EQ(lines[1], "INFO  VM 101 disk scsi1: left out (backup=0 in its configuration)");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "ERROR VM 101: 1 of 3 disk(s) failed: virtio1"), lines.end())
        << ::testing::PrintToString(lines);
    EXPECT_EQ(slurp(tools_.path("config.4")),
              slurp(tools_.path("conf")) + "#vlt_proxmox_backup: disks=scsi0,virtio1,efidisk0 failed=virtio1\n");

    // Named with --disk, a backup=0 disk is taken.
    tools_.on("vlt_agent", "printf '%s\\n' \"$@\" > \"$FAKE_DIR/argv.$n\"\n"
                           "case \"$2\" in /tmp/*) cp \"$2\" \"$FAKE_DIR/config.$n\";; esac");
    opts_.slots[0] = "scsi1";
    opts_.slots[1] = "efidisk0";
    opts_.slot_count = 2;
    ASSERT_EQ(run(&lines), 0);
    EXPECT_EQ(agent_argv(5)[5], "vm101-efidisk0");
    EXPECT_EQ(agent_argv(6)[5], "vm101-scsi1");
    EXPECT_EQ(slurp(tools_.path("config.7")),
              slurp(tools_.path("conf")) + "#vlt_proxmox_backup: disks=efidisk0,scsi1\n");
    for (const std::string &line : lines)
        EXPECT_EQ(line.find("backup=0"), std::string::npos) << line;
}

TEST_F(RunBackup, StorageThatMustNotBeTouchedIsRefusedFirst)
{
    const std::string cfg = tools_.path("pve/storage.cfg");
    write_text(cfg, "lvmthin: local-lvm\n\tthinpool data\n\tvgname " + tools_.vg() + "\n\nlvm: thick\n\tvgname " +
                        tools_.vg() + "\n\tshared 1\n");
    strings lines;
    EXPECT_EQ(run(&lines), 1);
    EXPECT_EQ(lines, (strings{"ERROR VM 101: virtio1: storage 'thick' is shared LVM: taking snapshots there is not safe"}));
    EXPECT_TRUE(tools_.calls_of("lvcreate").empty());
    EXPECT_TRUE(never_frozen());

    write_text(cfg, "lvmthin: local-lvm\n\tvgname x\n");
    EXPECT_EQ(run(&lines), 1);
    EXPECT_EQ(lines, (strings{"ERROR VM 101: virtio1: storage 'thick' is not defined in " + cfg}));

    write_text(cfg, "lvmthin: local-lvm\n  vgname x\nlvm: thick\n");
    EXPECT_EQ(run(&lines), 1);
    EXPECT_EQ(lines, (strings{"ERROR VM 101: cannot parse " + cfg +
                              ": line 3: expected an indented property or an empty line"}));
    EXPECT_TRUE(tools_.calls_of("lvcreate").empty());

    // Without the file the check is skipped, and said so.
    unlink(cfg.c_str());
    opts_.no_vmconfig = 1;
    EXPECT_EQ(run(&lines), 0);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "WARN  VM 101: " + cfg + " does not exist: the check for shared storages was skipped (is "
                                                  "the cluster file system mounted?)");
}

TEST_F(RunBackup, NonRawVolumesAreRefusedBeforeTheHostIsAsked)
{
    write_text(tools_.path("conf"), std::string(kConfig) + "scsi1: thick:vm-101-disk-2.qcow2,size=4M\n"
                                                          "scsi2: local-lvm:vm-101-disk-3,format=qcow2,size=4M\n");
    strings lines;
    EXPECT_EQ(run(&lines), 1);
    EXPECT_EQ(lines, (strings{"ERROR VM 101: scsi1 (thick:vm-101-disk-2.qcow2) is a qcow2 image: only raw volumes "
                              "can be backed up; scsi2 (local-lvm:vm-101-disk-3) has format=qcow2: only raw "
                              "volumes can be backed up"}));
    EXPECT_EQ(tools_.call_lines(), (strings{"qm config 101 --current"}));

    // Not selected, not refused.
    opts_.slots[0] = "scsi0";
    opts_.slot_count = 1;
    EXPECT_EQ(run(&lines), 0);
}

TEST_F(RunBackup, ThinPoolAboveTheLimitIsRefusedBeforeTheFreeze)
{
    const std::string pool = tools_.vg() + "/data";
    struct {
        const char *attr, *data, *meta;
        uint32_t limit;
        std::string error;
    } cases[] = {
        {"twi-aotz--", "95.00", "5.00", 0,
         "thin pool " + pool + " of storage 'local-lvm' is 95.00% full (data; limit 90%, --pool-limit)"},
        {"twi-aotz--", "95.00", "5.00", 94,
         "thin pool " + pool + " of storage 'local-lvm' is 95.00% full (data; limit 94%, --pool-limit)"},
        {"twi-aotz--", "10.00", "90.01", 0,
         "thin pool " + pool + " of storage 'local-lvm' is 90.01% full (metadata; limit 90%, --pool-limit)"},
        {"twi-aotzD-", "99.99", "5.00", 100,
         "thin pool " + pool + " of storage 'local-lvm' is 100.00% full (data; limit 100%, --pool-limit)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.error);
        pool_usage(c.attr, c.data, c.meta);
        opts_.pool_limit = c.limit;
        strings lines;
        EXPECT_EQ(run(&lines), 1);
        EXPECT_EQ(lines, (strings{"ERROR VM 101: " + c.error + ": no snapshot taken"}));
        EXPECT_TRUE(tools_.calls_of("lvcreate").empty());
        EXPECT_TRUE(never_frozen());
    }
    // At the limit is not above it.
    pool_usage("twi-aotz--", "95.00", "95.00");
    opts_.pool_limit = 95;
    opts_.no_vmconfig = 1;
    EXPECT_EQ(run(), 0);

    // A pool whose usage cannot be read is not guessed at.
    pool_usage("twi---tz--", "", "");
    strings lines;
    EXPECT_EQ(run(&lines), 0);
    EXPECT_EQ(lines[0], "WARN  the usage of thin pool " + pool + " is unknown (is it inactive?): not checked");
}

// A listing that leaves the thin pool out (stray output with status 0) is
// no usage to go by: the run is refused before the freeze, naming lvs.
TEST_F(RunBackup, PoolListingsThatLeaveThePoolOutRefuseTheRun)
{
    const std::string vg = tools_.vg();
    std::string table = tools_.read("lvtable");
    // The usage listing: no row for the pool.
    std::string without_pool = table;
    size_t at = without_pool.find(vg + "|data|");
    ASSERT_NE(at, std::string::npos);
    without_pool.erase(at, without_pool.find('\n', at) + 1 - at);
    write_text(tools_.path("lvtable"), without_pool);
    strings lines;
    EXPECT_EQ(run(&lines), 1);
    EXPECT_EQ(lines, (strings{"ERROR VM 101: cannot read the usage of thin pool " + vg +
                              "/data: lvs does not list it"}));
    EXPECT_TRUE(tools_.calls_of("lvcreate").empty());
    EXPECT_TRUE(never_frozen());

    // The pool listing of the thin disk: no pool named.
    std::string without_pool_lv = table;
    const std::string thin = vg + "|vm-101-disk-0|Vwi-aotz--|4194304|thin||253|7|data|";
    at = without_pool_lv.find(thin);
    ASSERT_NE(at, std::string::npos);
    without_pool_lv.replace(at, thin.size(), vg + "|vm-101-disk-0|Vwi-aotz--|4194304|thin||253|7||");
    write_text(tools_.path("lvtable"), without_pool_lv);
    lines.clear();
    EXPECT_EQ(run(&lines), 1);
    EXPECT_EQ(lines, (strings{"ERROR VM 101: cannot find the thin pool of " + vg +
                              "/vm-101-disk-0: lvs does not list its pool"}));
    EXPECT_TRUE(tools_.calls_of("lvcreate").empty());
    EXPECT_TRUE(never_frozen());
}

TEST_F(RunBackup, PoolFillingWhileAnAgentRunsStopsTheBackup)
{
    pool_watch_interval_ms = 20;
    // The first agent's disk fills the pool, then it keeps reading.
    tools_.on("vlt_agent",
              "printf '%s\\n' \"$@\" > \"$FAKE_DIR/argv.$n\"\n"
              "sed -i 's/|data|twi-aotz--|1000|thin-pool||253|5||10.00|/|data|twi-aotz--|1000|thin-pool||253|5||91.50|/' "
              "\"$FAKE_DIR/lvtable\"\n"
              "trap 'echo term > \"$FAKE_DIR/agent-term\"; exit 143' TERM\n"
              "sleep 30 & wait");
    strings lines;
    EXPECT_EQ(run(&lines), 1);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "ERROR VM 101: thin pool " + tools_.vg() + "/data of storage 'local-lvm' is 91.50% full "
                            "(data; limit 90%, --pool-limit): the backup was stopped to protect the pool");
    EXPECT_EQ(tools_.read("agent-term"), "term\n");
    // Every snapshot goes; no other job runs.
    EXPECT_EQ(tools_.calls_of("lvremove"), (strings{"-f -y " + snap("vm-101-disk-0"), "-f -y " + snap("vm-101-disk-1")}));
    EXPECT_EQ(tools_.calls_of("vlt_agent").size(), 1u);
    strings looks;
    for (const std::string &c : tools_.calls_of("lvs"))
        if (c.find("snap_percent") != std::string::npos)
            looks.push_back(c);
    ASSERT_FALSE(looks.empty());
    // the pool with a live snapshot, and not the thick snapshot waiting its turn
    EXPECT_EQ(looks[0], "--noheadings --separator | -o vg_name,lv_name,lv_attr,data_percent,metadata_percent,"
                        "snap_percent " + tools_.vg() + "/data");
    EXPECT_EQ(g_cleanup.created[0] + g_cleanup.created[1], 0);
}

TEST_F(RunBackup, ThickSnapshotRunningFullFailsItsDiskOnly)
{
    pool_watch_interval_ms = 20;
    // The second disk is thick: its snapshot fills while it is read.
    tools_.on("vlt_agent",
              "printf '%s\\n' \"$@\" > \"$FAKE_DIR/argv.$n\"\n"
              "[ \"$6\" = vm101-virtio1 ] || exit 0\n"
              "echo 96.00 > \"$FAKE_DIR/snap-percent\"\n"
              "trap 'exit 143' TERM; sleep 30 & wait");
    strings lines;
    EXPECT_EQ(run(&lines), 1);
    const std::string snapshot = snap("vm-101-disk-1");
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "ERROR VM 101 disk virtio1: snapshot " + snapshot + " is 96.00% full: its copy-on-write space "
                        "ran out while the disk was read (give it more with --snapshot-size)"),
              lines.end())
        << ::testing::PrintToString(lines);
    EXPECT_TRUE(has_line(lines, "ERROR VM 101: 1 of 2 disk(s) failed: virtio1"));
    EXPECT_EQ(tools_.calls_of("vlt_agent").size(), 3u);  // the configuration job still ran

    // Invalid after a read that went through: the disk's backup is no good.
    write_text(tools_.path("snap-percent"), "100.00\n");
    tools_.on("vlt_agent", "exit 0");
    EXPECT_EQ(run(&lines), 1);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "ERROR VM 101 disk virtio1: snapshot " + snapshot + " became invalid while it was read (its "
                        "copy-on-write space ran full): this disk's backup is not usable (give it more with "
                        "--snapshot-size)"),
              lines.end())
        << ::testing::PrintToString(lines);
}

TEST_F(RunBackup, AgentTimeLimitFailsTheDiskAndTheRunGoesOn)
{
    opts_.agent_timeout = 1;
    tools_.on("vlt_agent", "[ \"$6\" = vm101-scsi0 ] || exit 0; trap 'exit 143' TERM; sleep 30 & wait");
    strings lines;
    EXPECT_EQ(run(&lines), 1);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "ERROR VM 101 disk scsi0: vlt_agent ran longer than the time limit of 1 s (--agent-timeout) "
                        "and was stopped"),
              lines.end());
    EXPECT_TRUE(has_line(lines, "ERROR VM 101: 1 of 2 disk(s) failed: scsi0"));
    EXPECT_EQ(tools_.calls_of("lvremove"), (strings{"-f -y " + snap("vm-101-disk-0"), "-f -y " + snap("vm-101-disk-1")}));
}

TEST_F(RunBackup, StorageLockHeldByAnotherTaskStopsTheRunBeforeTheFreeze)
{
    storage_lock_wait_seconds = 1;
    mkdir(tools_.lock_dir().c_str(), 0755);
    std::string file = tools_.lock_dir() + "/pve-storage-thick";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0) {
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        flock(fd, LOCK_EX);
        (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    strings lines;
    int32_t rc = run(&lines);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(lines, (strings{"INFO  waiting for the lock of storage 'thick' (" + file + " is held by another task)",
                              "ERROR VM 101: could not get the lock of storage 'thick' within 1 s (" + file +
                                  " is held by another task)"}));
    EXPECT_TRUE(never_frozen());
    EXPECT_TRUE(tools_.calls_of("lvcreate").empty());
}

TEST_F(RunBackup, InactiveThickDiskIsBackedUpAndLeftInactive)
{
    ASSERT_NO_FATAL_FAILURE(make_thick_disk_inactive());
    opts_.no_vmconfig = 1;
    strings lines;
    ASSERT_EQ(run(&lines), 0) << ::testing::PrintToString(lines);
    const std::string vg = tools_.vg();
    strings calls = tools_.call_lines();
    auto at = [&](const std::string &call) { return std::find(calls.begin(), calls.end(), call) - calls.begin(); };
    // activated after the thaw, deactivated after its snapshot is gone
    EXPECT_LT(at("qm guest cmd 101 fsfreeze-thaw"), at("lvchange -ay " + snap("vm-101-disk-1")));
    EXPECT_LT(at("lvchange -ay " + snap("vm-101-disk-1")),
              at("vlt_agent --source /dev/" + snap("vm-101-disk-1") + " --snapshot off --name vm101-virtio1 --out /backup"));
    EXPECT_EQ(strings(calls.end() - 2, calls.end()),
              (strings{"lvremove -f -y " + snap("vm-101-disk-1"), "lvchange -an " + vg + "/vm-101-disk-1"}));
}

TEST_F(RunBackup, PerlsLocaleWarningsAreNoPartOfTheConfiguration)
{
    tools_.on("qm",
              "printf 'perl: warning: Setting locale failed.\\n\\tLC_ALL = (unset),\\n"
              "perl: warning: Falling back to the standard locale (\"C\").\\n' >&2\n"
              "case \"$1\" in\n"
              "config) cat \"$FAKE_DIR/conf\";;\n"
              "status) echo 'status: running';;\n"
              "guest) echo 1;;\n"
              "esac");
    tools_.on("vlt_agent", "[ \"$6\" = vm101-vmconfig ] && cp \"$2\" \"$FAKE_DIR/config-copy\"; exit 0");
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(tools_.read("config-copy"), std::string(kConfig) + "#vlt_proxmox_backup: disks=scsi0,virtio1\n");
}

// Runs the backup in a child process (with a progress segment, like the
// program), sends `sig` once the file `ready` exists and, with `second`,
// sends that signal once the file `second_after` exists and then makes the
// file "second-sent".
struct child_outcome {
    pid_t pid = 0;
    int status = 0;
    std::string log;
};

class RunBackupSignals : public RunBackup {
protected:
    child_outcome run_and_signal(const std::string &ready, int sig, bool with_progress = false, int second = 0,
                                 const std::string &second_after = "")
    {
        std::string log_path = tools_.path("child.log");
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 2);
            int null_fd = open("/dev/null", O_WRONLY);
            dup2(null_fd, 1);
            if (with_progress)
                progress_start(PROGRESS_KIND_BACKUP, opts_.job_prefix, opts_.forwarded, opts_.forwarded_count);
            int32_t rc = run_backup(&opts_);
            _exit(rc);
        }
        child_outcome out;
        out.pid = pid;
        std::string marker = tools_.path(ready);
        for (int i = 0; i < 1000 && access(marker.c_str(), F_OK) != 0; i++)
            usleep(10000);
        EXPECT_EQ(access(marker.c_str(), F_OK), 0) << "never reached " << ready;
        kill(pid, sig);
        if (second != 0) {
            std::string after = tools_.path(second_after);
            for (int i = 0; i < 1000 && access(after.c_str(), F_OK) != 0; i++)
                usleep(10000);
            EXPECT_EQ(access(after.c_str(), F_OK), 0) << "never reached " << second_after;
            kill(pid, second);
            write_text(tools_.path("second-sent"), "");
        }
        waitpid(pid, &out.status, 0);
        out.log = slurp(log_path);
        return out;
    }
};

TEST_F(RunBackupSignals, TermWhileAnAgentRunsCleansUpAndDiesByTheSignal)
{
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        unlink(tools_.path("calls").c_str());
        unlink(tools_.path("count.vlt_agent").c_str());
        unlink(tools_.path("agent-up").c_str());
        tools_.on("vlt_agent",
                  "trap 'echo term > \"$FAKE_DIR/agent-term\"; exit 143' TERM\n"
                  "k=\"${@: -1}\"; echo \"${k#file:}\" > \"$FAKE_DIR/keypath\"\n"
                  "sleep 20 & echo $$ > \"$FAKE_DIR/agent-up\"; wait");
        opts_.api_key = "literal-key";
        child_outcome out = run_and_signal("agent-up", sig, true);
        ASSERT_TRUE(WIFSIGNALED(out.status)) << out.status << out.log;
        EXPECT_EQ(WTERMSIG(out.status), sig);
        EXPECT_EQ(tools_.read("agent-term"), "term\n");
        const std::string vg = tools_.vg();
        strings calls = tools_.call_lines();
        ASSERT_GE(calls.size(), 3u);
        // the first agent was interrupted: both snapshots go, nothing else runs
        EXPECT_EQ(strings(calls.end() - 3, calls.end()),
                  (strings{calls[calls.size() - 3], "lvremove -f -y " + snap("vm-101-disk-0"),
                           "lvremove -f -y " + snap("vm-101-disk-1")}));
        EXPECT_EQ(calls[calls.size() - 3].rfind("vlt_agent --source /dev/" + vg + "/vm-101-disk-0_vltsnap", 0), 0u);
        std::string key = tools_.read("keypath");
        ASSERT_FALSE(key.empty());
        key.pop_back();
        EXPECT_EQ(access(key.c_str(), F_OK), -1) << key;
        EXPECT_EQ(access(("/dev/shm/vlt_progress." + std::to_string(out.pid)).c_str(), F_OK), -1);
        EXPECT_TRUE(out.log.find("ERROR") == std::string::npos) << out.log;
        unlink(tools_.path("agent-term").c_str());
    }
}

TEST_F(RunBackupSignals, TermDuringTheConfigJobStillRemovesTheSecretFile)
{
    tools_.on("vlt_agent",
              "k=\"${@: -1}\"; echo \"${k#file:}\" > \"$FAKE_DIR/keypath\"\n"
              "[ \"$6\" = vm101-vmconfig ] || exit 0\n"
              "echo \"$2\" > \"$FAKE_DIR/config-source\"\n"
              "trap 'echo term > \"$FAKE_DIR/agent-term\"; exit 143' TERM\n"
              "sleep 20 & echo $$ > \"$FAKE_DIR/agent-up\"; wait");
    opts_.api_key = "literal-key";
    child_outcome out = run_and_signal("agent-up", SIGTERM, true);
    ASSERT_TRUE(WIFSIGNALED(out.status)) << out.log;
    EXPECT_EQ(WTERMSIG(out.status), SIGTERM);
    EXPECT_EQ(tools_.read("agent-term"), "term\n");
    std::string key = tools_.read("keypath");
    ASSERT_FALSE(key.empty());
    key.pop_back();
    EXPECT_EQ(access(key.c_str(), F_OK), -1) << key;
    // both snapshots were removed by their jobs, none by the handler
    EXPECT_EQ(tools_.calls_of("lvremove").size(), 2u);
    EXPECT_EQ(access(("/dev/shm/vlt_progress." + std::to_string(out.pid)).c_str(), F_OK), -1);
    // The handler stays in force through the configuration job: its
    // temporary file goes too, and so does the run's state file.
    std::string config = tools_.read("config-source");
    ASSERT_FALSE(config.empty());
    config.pop_back();
    EXPECT_EQ(access(config.c_str(), F_OK), -1) << config;
    EXPECT_EQ(access(tools_.path("run/101.state").c_str(), F_OK), -1);
    EXPECT_EQ(access(tools_.path("run/101.lock").c_str(), F_OK), 0);
}

TEST_F(RunBackupSignals, SecondSignalDoesNotCutTheCleanUpShort)
{
    // The handler's SIGTERM reaches the agent, which then holds the
    // clean-up until a SIGINT has followed: the SIGINT arrives while the
    // clean-up of the SIGTERM runs, whatever the machine's load.
    tools_.on("vlt_agent",
              "trap 'touch \"$FAKE_DIR/agent-term\"; i=0; "
              "while [ ! -e \"$FAKE_DIR/second-sent\" ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); done; "
              "exit 143' TERM\n"
              "sleep 20 & echo $$ > \"$FAKE_DIR/agent-up\"; wait");
    child_outcome out = run_and_signal("agent-up", SIGTERM, false, SIGINT, "agent-term");
    ASSERT_TRUE(WIFSIGNALED(out.status));
    EXPECT_EQ(WTERMSIG(out.status), SIGTERM);
    EXPECT_EQ(tools_.calls_of("lvremove"), (strings{"-f -y " + snap("vm-101-disk-0"), "-f -y " + snap("vm-101-disk-1")}));
}

TEST_F(RunBackupSignals, AgentIgnoringTermIsKilled)
{
    cleanup_agent_grace_polls = 2;
    tools_.on("vlt_agent", "trap '' TERM; echo $$ > \"$FAKE_DIR/agent-up\"; while :; do sleep 0.05; done");
    child_outcome out = run_and_signal("agent-up", SIGTERM);
    ASSERT_TRUE(WIFSIGNALED(out.status));
    EXPECT_EQ(WTERMSIG(out.status), SIGTERM);
    pid_t agent = std::stoi(tools_.read("agent-up"));
    EXPECT_EQ(kill(agent, 0), -1);  // reaped, not even a zombie
    EXPECT_EQ(tools_.calls_of("lvremove").size(), 2u);
}

TEST_F(RunBackupSignals, TermWhileFrozenThawsFirstAndWaitsForTheSnapshotInTheMaking)
{
    // The second lvcreate is under way when the signal comes; it finishes a
    // moment later, and what it made is removed too.
    tools_.on("lvcreate",
              "if [ $n -eq 2 ]; then touch \"$FAKE_DIR/in-lvcreate\"; sleep 0.5; touch \"$FAKE_DIR/lvcreate-done\"; exit 0; fi\n"
              "args=(\"$@\"); origin=\"${args[-1]}\"; vg=\"${origin%%/*}\"\n"
              "while [ $# -gt 0 ]; do [ \"$1\" = -n ] && name=\"$2\"; shift; done\n"
              "mkdir -p \"/dev/$vg\"; mknod \"/dev/$vg/$name\" b 240 9");
    tools_.on("lvremove", "[ -f \"$FAKE_DIR/lvcreate-done\" ] && echo \"$3\" >> \"$FAKE_DIR/removed-after-create\"");
    child_outcome out = run_and_signal("in-lvcreate", SIGTERM);
    ASSERT_TRUE(WIFSIGNALED(out.status));
    EXPECT_EQ(WTERMSIG(out.status), SIGTERM);
    strings calls = tools_.call_lines();
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(strings(calls.end() - 4, calls.end()),
              (strings{"lvcreate -s -y -n vm-101-disk-1_vltsnap -l 10%ORIGIN --addtag vlt_agent --addtag vm101 " +
                           tools_.vg() + "/vm-101-disk-1",
                       "qm guest cmd 101 fsfreeze-thaw", "lvremove -f -y " + snap("vm-101-disk-0"),
                       "lvremove -f -y " + snap("vm-101-disk-1")}));
    EXPECT_EQ(tools_.read("removed-after-create"), snap("vm-101-disk-1") + "\n");
}

// The origin the run activated is inactive again however far its snapshot
// got: still there while its agent runs, or being removed by the main flow.
TEST_F(RunBackupSignals, TermGivesBackTheActivationOfAnInactiveOrigin)
{
    ASSERT_NO_FATAL_FAILURE(make_thick_disk_inactive());
    struct {
        const char *tool, *script, *ready;
        size_t tail;
    } moments[] = {
        {"vlt_agent", "trap 'exit 143' TERM; sleep 20 & echo $$ > \"$FAKE_DIR/agent-up\"; wait", "agent-up", 3},
        {"lvremove", "case \"$3\" in *disk-1_vltsnap) touch \"$FAKE_DIR/in-lvremove\"; sleep 0.5;; esac",
         "in-lvremove", 2},
    };
    const strings ending = {"lvremove -f -y " + snap("vm-101-disk-0"), "lvremove -f -y " + snap("vm-101-disk-1"),
                            "lvchange -an " + tools_.vg() + "/vm-101-disk-1"};
    for (const auto &m : moments) {
        SCOPED_TRACE(m.ready);
        unlink(tools_.path("calls").c_str());
        tools_.on("vlt_agent", "exit 0");
        tools_.on("lvremove", "exit 0");
        tools_.on(m.tool, m.script);
        child_outcome out = run_and_signal(m.ready, SIGTERM);
        ASSERT_TRUE(WIFSIGNALED(out.status)) << out.log;
        strings calls = tools_.call_lines();
        ASSERT_GE(calls.size(), m.tail);
        EXPECT_EQ(strings(calls.end() - m.tail, calls.end()), strings(ending.end() - m.tail, ending.end()));
    }
}

TEST_F(RunBackupSignals, TermWhileASnapshotIsRemovedStillRemovesIt)
{
    // The first job's lvremove is cut short by the signal (systemd stops
    // the whole group) before it removed anything: the handler removes
    // that snapshot again once the command has ended, and the other one.
    cleanup_agent_grace_polls = 2;
    tools_.on("lvremove",
              "echo \"$3\" >> \"$FAKE_DIR/removals\"\n"
              "if [ $n -eq 1 ]; then touch \"$FAKE_DIR/in-lvremove\"; exec sleep 0.3; fi\n"
              "echo \"$3\" >> \"$FAKE_DIR/removed\"");
    child_outcome out = run_and_signal("in-lvremove", SIGTERM);
    ASSERT_TRUE(WIFSIGNALED(out.status)) << out.log;
    EXPECT_EQ(WTERMSIG(out.status), SIGTERM);
    EXPECT_EQ(tools_.read_lines("removed"), (strings{snap("vm-101-disk-1"), snap("vm-101-disk-0")}));
    EXPECT_EQ(access(tools_.path("run/101.state").c_str(), F_OK), -1);
}

TEST_F(RunBackupSignals, TermDuringTheFreezeCommandStillThaws)
{
    tools_.on("qm",
              "case \"$1\" in\n"
              "config) cat \"$FAKE_DIR/conf\";;\n"
              "status) echo 'status: running';;\n"
              "guest) [ \"$4\" = fsfreeze-freeze ] && { touch \"$FAKE_DIR/in-freeze\"; exec sleep 2; }; echo 1;;\n"
              "esac");
    child_outcome out = run_and_signal("in-freeze", SIGTERM);
    ASSERT_TRUE(WIFSIGNALED(out.status));
    EXPECT_EQ(tools_.call_lines().back(), "qm guest cmd 101 fsfreeze-thaw");
    EXPECT_TRUE(tools_.calls_of("lvcreate").empty());
}

TEST_F(RunBackupSignals, ProgressSegmentShowsTheRunningAgent)
{
    // The agent copies the segment once it names a child (the orchestrator
    // publishes the agent a moment after starting it).
    tools_.on("vlt_agent",
              "seg=/dev/shm/vlt_progress.$PPID; i=0\n"
              "while [ \"$(od -An -tu4 -j1200 -N4 \"$seg\" | tr -d ' ')\" = 0 ] && [ $i -lt 1000 ]; do\n"
              "  sleep 0.01; i=$((i+1)); done\n"
              "cp \"$seg\" \"$FAKE_DIR/segment.$n\"; echo $$ > \"$FAKE_DIR/pid.$n\"\n"
              "[ $n -eq 2 ] && { touch \"$FAKE_DIR/second\"; sleep 20; }; exit 0");
    child_outcome out = run_and_signal("second", SIGTERM, true);
    ASSERT_TRUE(WIFSIGNALED(out.status));
    std::string seg = tools_.read("segment.1");
    ASSERT_EQ(seg.size(), 1208u);
    EXPECT_EQ(seg[20], 2);                                 // kind: backup
    EXPECT_EQ(seg[22], 1);                                 // phase: working
    EXPECT_STREQ(seg.c_str() + 24, "vm101");              // job prefix
    EXPECT_STREQ(seg.c_str() + 440, "disk scsi0 (1/2): job vm101-scsi0");
    uint32_t child = 0;
    memcpy(&child, seg.data() + 1200, 4);
    EXPECT_EQ(child, static_cast<uint32_t>(std::stoi(tools_.read("pid.1"))));
    uint32_t writer = 0;
    memcpy(&writer, seg.data() + 16, 4);
    EXPECT_EQ(writer, static_cast<uint32_t>(out.pid));
    EXPECT_EQ(access(("/dev/shm/vlt_progress." + std::to_string(out.pid)).c_str(), F_OK), -1);
}

}  // namespace
