// vlt_proxmox end to end on the simulated host: real block devices, the
// reference engine, the host tools' call log and check-clean.
#include "backup_host.h"

namespace {

using namespace backup_host_test;

TEST_F(BackupHost, WholeVmIsCapturedAtTheSnapshotInstant)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    const std::string vg = host_.vg();
    const std::string disk0 = vlt_test::random_bytes(kDisk0, 11);
    const std::string disk1 = vlt_test::random_bytes(kDisk1, 22);
    ASSERT_EQ(vlt_test::sha256_file(host_.lv_device(vg, "vm-101-disk-0")), vlt_test::sha256_hex(disk0));
    std::string qm_config;
    ASSERT_EQ(host_.driver({"env"}), 0);
    auto qm = host_.run("qm", {"config", "101", "--current"});
    ASSERT_EQ(qm.exit_status, 0);
    qm_config = qm.out;
    ASSERT_TRUE(host_.clear_calls());

    // Each agent scribbles over the start of its origin before reading the
    // snapshot: the backup must hold the bytes of the snapshot instant.
    hook("case \"$2\" in /dev/*) dd if=/dev/zero of=\"${2%_vltsnap}\" bs=65536 count=4 conv=notrunc 2>/dev/null;; esac\n");
    auto r = backup_to_out();
    ASSERT_EQ(r.exit_status, 0) << r.err;

    EXPECT_EQ(restore_job("vm101-scsi0"), disk0);
    EXPECT_EQ(restore_job("vm101-virtio1"), disk1);
    // The configuration as qm config printed it, and the line that says
    // which disks this backup took.
    EXPECT_EQ(restore_job("vm101-vmconfig"), qm_config + "#vlt_proxmox_backup: disks=scsi0,virtio1\n");
    EXPECT_TRUE(header_of("vm101-ide2").empty());
    // the origins really were written to after the snapshot
    EXPECT_NE(vlt_test::sha256_file(host_.lv_device(vg, "vm-101-disk-0")), vlt_test::sha256_hex(disk0));

    const std::string lvs = "lvs --noheadings --separator | --units b --nosuffix -o "
                            "vg_name,lv_name,lv_attr,lv_size,segtype,origin,lv_kernel_major,lv_kernel_minor";
    EXPECT_EQ(host_calls(),
              (strings{"qm config 101 --current", "pvesm path local-lvm:vm-101-disk-0", lvs,
                       "pvesm path thick:vm-101-disk-1", lvs,
                       "lvs --noheadings --separator | -o vg_name,lv_name,lv_tags,origin " + vg, "qm status 101",
                       "lvs --noheadings --separator | -o vg_name,lv_name,pool_lv " + vg + "/vm-101-disk-0",
                       "lvs --noheadings --separator | -o vg_name,lv_name,lv_attr,data_percent,metadata_percent " +
                           vg + "/data",
                       "qm guest cmd 101 fsfreeze-freeze",
                       "lvcreate -s -y -kn -n vm-101-disk-0_vltsnap --addtag vlt_agent --addtag vm101 " + vg +
                           "/vm-101-disk-0",
                       "lvcreate -s -y -n vm-101-disk-1_vltsnap -l 10%ORIGIN --addtag vlt_agent --addtag vm101 " + vg +
                           "/vm-101-disk-1",
                       "qm guest cmd 101 fsfreeze-thaw", "lvremove -f -y " + vg + "/vm-101-disk-0_vltsnap",
                       "lvs --noheadings --separator | -o vg_name,lv_name,lv_attr,snap_percent " + vg +
                           "/vm-101-disk-1_vltsnap",
                       "lvremove -f -y " + vg + "/vm-101-disk-1_vltsnap"}));

    // Each agent saw its own snapshot, tagged, and the one before it gone.
    EXPECT_TRUE(like(wrap_file("lv.1"), "*\ntags=vlt_agent\\\\,vm101\n*") || like(wrap_file("lv.1"), "*\ntags=vlt_agent,vm101\n*"))
        << wrap_file("lv.1");
    EXPECT_NE(wrap_file("nodes.1").find("vm-101-disk-1_vltsnap"), std::string::npos);
    EXPECT_EQ(wrap_file("nodes.2").find("vm-101-disk-0_vltsnap"), std::string::npos);
    EXPECT_NE(wrap_file("nodes.2").find("vm-101-disk-1_vltsnap"), std::string::npos);
    EXPECT_EQ(wrap_file("nodes.3").find("_vltsnap"), std::string::npos);

    // While each agent ran, the progress segment named it and its job.
    for (int n = 1; n <= 2; n++) {
        std::string seg = wrap_file("segment." + std::to_string(n));
        ASSERT_EQ(seg.size(), 1208u);
        EXPECT_EQ(seg[20], 2);                     // the backup program
        EXPECT_EQ(seg[22], 1);                     // working
        EXPECT_STREQ(seg.c_str() + 24, "vm101");  // the job prefix
        uint32_t child = 0;
        memcpy(&child, seg.data() + 1200, 4);
        EXPECT_EQ(std::to_string(child) + "\n", wrap_file("pid." + std::to_string(n)));
    }
    EXPECT_STREQ(wrap_file("segment.2").c_str() + 440, "disk virtio1 (2/2): job vm101-virtio1");

    strings lines = log_lines(r.err);
    ASSERT_GE(lines.size(), 6u) << r.err;
    EXPECT_TRUE(like(lines[0], "INFO  VM 101: consistency window (guest quiesced until thawed): [0-9]*.[0-9][0-9] s over 2 disk(s)"))
        << lines[0];
    EXPECT_EQ(lines[lines.size() - 2], "INFO  VM 101 config: job vm101-vmconfig finished");
    EXPECT_EQ(lines.back(), "INFO  VM 101: backup finished, consistency: fs (frozen by the guest agent)");
    EXPECT_FALSE(host_.guest_frozen(101));
    expect_clean();
}

TEST_F(BackupHost, ThickSnapshotSizes)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    const std::string vg = host_.vg();
    strings sizes;
    for (const char *size : {"512", "20G", "25%"}) {
        auto r = backup({"--disk", "virtio1", "--snapshot-size", size, "--no-vmconfig", "--", "--out", out_.path()});
        EXPECT_EQ(r.exit_status, 0) << r.err;
    }
    const std::string tail = " --addtag vlt_agent --addtag vm101 " + vg + "/vm-101-disk-1";
    strings lvcreates;
    for (const auto &c : host_.calls_of("lvcreate"))
        lvcreates.push_back(c.joined());
    EXPECT_EQ(lvcreates, (strings{"-s -y -n vm-101-disk-1_vltsnap -L 512m" + tail,
                                  "-s -y -n vm-101-disk-1_vltsnap -L 20g" + tail,
                                  "-s -y -n vm-101-disk-1_vltsnap -l 25%ORIGIN" + tail}));
    expect_clean();
}

TEST_F(BackupHost, DiskOrderFollowsTheConfiguration)
{
    ASSERT_NO_FATAL_FAILURE(build_vm(std::string(kVm101) + "scsi1: local-lvm:vm-101-disk-2,size=4M\n"));
    ASSERT_TRUE(host_.add_lv_random("local-lvm", "vm-101-disk-2", 4u << 20, 44));
    auto r = backup({"--disk", "scsi1", "--disk", "scsi0", "--name", "nightly", "--no-vmconfig", "--", "--out",
                     out_.path()});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    strings lines = log_lines(r.err);
    strings jobs;
    for (const auto &l : lines)
        if (l.find(": job ") != std::string::npos)
            jobs.push_back(l);
    EXPECT_EQ(jobs, (strings{"INFO  VM 101 disk scsi0: job nightly-scsi0 finished",
                             "INFO  VM 101 disk scsi1: job nightly-scsi1 finished"}));
    EXPECT_EQ(restore_job("nightly-scsi1"), vlt_test::random_bytes(4u << 20, 44));
    expect_clean();
}

TEST_F(BackupHost, RefusalsBeforeAnythingIsTouched)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    auto r = backup({"--disk", "ide2", "--", "--out", out_.path()});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(log_lines(r.err).back(),
              "ERROR VM 101 has no disk-like volume 'ide2' (run 'qm config 101 --current' to see its slots)");

    ASSERT_TRUE(host_.add_vm(102, "agent: 1\nide2: none,media=cdrom\nnet0: virtio,bridge=vmbr0\n"));
    r = host_.run(vlt_test::backup_program(), {"--vmid", "102", "--pve-dir", host_.pve_dir(), "--", "--out", out_.path()},
                  {"PATH=" + wrap_.path() + ":" + path_});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(log_lines(r.err).back(), "ERROR VM 102 has no disk-like volumes to back up");

    vlt_test::fault_spec missing;
    missing.tool = "pvesm";
    missing.action = vlt_test::fault_spec::missing;
    ASSERT_TRUE(host_.add_fault(missing));
    r = backup_to_out();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(log_lines(r.err).back(), "ERROR pvesm is not available (not running on a Proxmox VE host?)");
    EXPECT_TRUE(host_.calls_of("lvcreate").empty());
    EXPECT_EQ(host_.calls_of("qm").size(), 3u);  // three configs read, never a freeze
    EXPECT_TRUE(wrap_file("count").empty());
    expect_clean();
}

TEST_F(BackupHost, EveryDiskThatIsNotLvmIsReportedTogether)
{
    ASSERT_TRUE(host_.add_storage("local", "dir"));
    ASSERT_NO_FATAL_FAILURE(build_vm(std::string(kVm101) + "sata0: local:101/vm-101-disk-5.raw,size=4M\n"
                                                         "sata1: nowhere:vm-101-disk-6,size=4M\n"));
    ASSERT_TRUE(host_.add_lv("local", "101/vm-101-disk-5.raw", 4u << 20));
    std::string file_path;
    auto pv = host_.run("pvesm", {"path", "local:101/vm-101-disk-5.raw"});
    file_path = pv.out.substr(0, pv.out.find('\n'));
    auto bad = host_.run("pvesm", {"path", "nowhere:vm-101-disk-6"});
    std::string complaint = bad.err.substr(0, bad.err.find('\n'));
    ASSERT_NE(bad.exit_status, 0);
    ASSERT_TRUE(host_.clear_calls());

    auto r = backup_to_out();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(log_lines(r.err),
              (strings{"ERROR VM 101: not every disk is LVM-backed (this version only supports LVM/LVM-thin): "
                       "sata0 (local:101/vm-101-disk-5.raw) not LVM-backed: " + file_path +
                       " is not an LVM logical volume (storage backend other than LVM/LVM-thin); "
                       "sata1 (nowhere:vm-101-disk-6) lookup failed: pvesm path failed: " + complaint}));
    EXPECT_TRUE(host_.calls_of("lvcreate").empty());
    expect_clean();
}

TEST_F(BackupHost, SecondOfThreeSnapshotsFailing)
{
    ASSERT_NO_FATAL_FAILURE(build_vm(std::string(kVm101) + "scsi1: local-lvm:vm-101-disk-2,size=4M\n"));
    ASSERT_TRUE(host_.add_lv_random("local-lvm", "vm-101-disk-2", 4u << 20, 44));
    vlt_test::fault_spec f;
    f.tool = "lvcreate";
    f.nth = 2;
    f.exit_code = 5;
    f.text = "  Volume group \"" + host_.vg() + "\" has insufficient free space (1 extents): 2 required.";
    ASSERT_TRUE(host_.add_fault(f));
    auto r = backup_to_out();
    EXPECT_EQ(r.exit_status, 1);
    const std::string vg = host_.vg();
    // configuration order: scsi0, scsi1, virtio1
    EXPECT_EQ(log_lines(r.err),
              (strings{"ERROR VM 101: could not snapshot scsi1 (vm-101-disk-2): could not create the snapshot of " + vg +
                       "/vm-101-disk-2: " + f.text}));
    strings calls = host_calls();
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(strings(calls.end() - 4, calls.end()),
              (strings{"lvcreate -s -y -kn -n vm-101-disk-0_vltsnap --addtag vlt_agent --addtag vm101 " + vg + "/vm-101-disk-0",
                       "lvcreate -s -y -kn -n vm-101-disk-2_vltsnap --addtag vlt_agent --addtag vm101 " + vg + "/vm-101-disk-2",
                       "qm guest cmd 101 fsfreeze-thaw", "lvremove -f -y " + vg + "/vm-101-disk-0_vltsnap"}));
    EXPECT_TRUE(wrap_file("count").empty());
    expect_clean();
}

TEST_F(BackupHost, FreezeThatCompletesLateIsThawed)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    // The guest freezes, but the answer comes too late for our time limit.
    write_text(wrap_.path() + "/qm",
               "#!/bin/bash\n"
               "real=$(PATH='" + path_ + "' command -v qm)\n"
               "if [ \"$4\" = fsfreeze-freeze ]; then \"$real\" \"$@\"; exec sleep 5; fi\n"
               "exec \"$real\" \"$@\"\n",
               0755);
    auto r = backup({"--freeze-timeout", "1", "--", "--out", out_.path()});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(log_lines(r.err), (strings{"ERROR VM 101: cannot freeze the guest (qm guest cmd 101 fsfreeze-freeze timed "
                                         "out after 1 s): --consistency try backs it up crash-consistent"}));
    strings qm_calls;
    for (const auto &c : host_.calls_of("qm"))
        qm_calls.push_back(c.joined());
    EXPECT_EQ(qm_calls, (strings{"config 101 --current", "status 101", "guest cmd 101 fsfreeze-freeze",
                                 "guest cmd 101 fsfreeze-thaw"}));
    EXPECT_FALSE(host_.guest_frozen(101));
    EXPECT_TRUE(host_.calls_of("lvcreate").empty());
    expect_clean();
}

TEST_F(BackupHost, HangingGuestAgentTimesOutTwice)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    ASSERT_TRUE(host_.set_agent(101, "hanging"));
    auto r = host_.run(vlt_test::backup_program(), {"--vmid", "101", "--pve-dir", host_.pve_dir(), "--freeze-timeout", "1", "--", "--out", out_.path()},
                       {"PATH=" + wrap_.path() + ":" + path_, "VLT_THAW_DEADLINE=2"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(log_lines(r.err),
              (strings{"WARN  VM 101: the guest could not be confirmed thawed within 2 s (qm guest cmd 101 fsfreeze-status "
                       "timed out after 1 s) (the guest may still be frozen -- check manually)",
                       "ERROR VM 101: cannot freeze the guest (qm guest cmd 101 fsfreeze-freeze timed out after 1 s): "
                       "--consistency try backs it up crash-consistent"}));
    // Only the status polls came after the one thaw, never a second freeze.
    strings qm;
    for (const auto &c : host_.calls_of("qm"))
        qm.push_back(c.joined());
    ASSERT_GE(qm.size(), 4u);
    EXPECT_EQ(strings(qm.begin(), qm.begin() + 4), (strings{"config 101 --current", "status 101",
                                                           "guest cmd 101 fsfreeze-freeze", "guest cmd 101 fsfreeze-thaw"}));
    for (size_t i = 4; i < qm.size(); i++)
        EXPECT_EQ(qm[i], "guest cmd 101 fsfreeze-status");
    // The run could not tell whether the guest froze: its state file says
    // so, and the next run asks before it freezes (the guest reads thawed:
    // nothing to repair, nothing logged).
    std::string report;
    EXPECT_FALSE(host_.check_clean(&report));
    EXPECT_EQ(report, "run state " + host_.run_dir() + "/101.state\n");
    ASSERT_TRUE(host_.set_agent(101, "answering"));
    ASSERT_TRUE(host_.clear_calls());
    r = backup({"--no-vmconfig", "--", "--out", out_.path()});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    for (const auto &l : log_lines(r.err))
        EXPECT_EQ(l.rfind("INFO", 0), 0u) << l;
    qm.clear();
    for (const auto &c : host_.calls_of("qm"))
        qm.push_back(c.joined());
    EXPECT_EQ(qm, (strings{"guest cmd 101 fsfreeze-status", "config 101 --current", "status 101",
                           "guest cmd 101 fsfreeze-freeze", "guest cmd 101 fsfreeze-thaw"}));
    expect_clean();
}

TEST_F(BackupHost, AlreadyFrozenGuestIsNotAConsistencyWindow)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    ASSERT_TRUE(host_.set_frozen(101, true));
    auto r = backup_to_out();
    EXPECT_EQ(r.exit_status, 1);
    strings lines = log_lines(r.err);
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_EQ(lines[0], "ERROR VM 101: cannot freeze the guest (qm guest cmd 101 fsfreeze-freeze failed: { \"error\" : "
                        "{ \"class\" : \"CommandNotFound\", \"desc\" : \"Command guest-fsfreeze-freeze has been "
                        "disabled: the command is not allowed\" } }): --consistency try backs it up crash-consistent");
    EXPECT_TRUE(host_.calls_of("lvcreate").empty());
    // the thaw sent after the refused freeze leaves the guest running
    EXPECT_FALSE(host_.guest_frozen(101));
    expect_clean();
}

TEST_F(BackupHost, FailingThawDoesNotStopTheRunButFailsIt)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    vlt_test::fault_spec f;
    f.tool = "qm";
    f.match = "guest cmd * fsfreeze-thaw";
    f.times = 0;
    f.exit_code = 255;
    f.text = "VM 101 qga command 'guest-fsfreeze-thaw' failed - got timeout";
    ASSERT_TRUE(host_.add_fault(f));
    auto r = host_.run(vlt_test::backup_program(), {"--vmid", "101", "--pve-dir", host_.pve_dir(), "--", "--out", out_.path()},
                       {"PATH=" + wrap_.path() + ":" + path_, "VLT_THAW_DEADLINE=1"});
    // Every disk is backed up and every snapshot removed, yet a guest that
    // may be frozen fails the run.
    EXPECT_EQ(r.exit_status, 1) << r.err;
    strings lines = log_lines(r.err);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "ERROR VM 101: the guest could not be confirmed thawed within 1 s (qm guest cmd 101 "
                        "fsfreeze-thaw failed: " + f.text + ") (the guest may still be frozen -- check manually)");
    EXPECT_EQ(lines[lines.size() - 3], "INFO  VM 101 config: job vm101-vmconfig finished");
    EXPECT_EQ(lines[lines.size() - 2], "ERROR VM 101: the guest may still be frozen: its thaw could not be confirmed "
                                       "(every disk was backed up); check it with 'qm guest cmd 101 fsfreeze-status'");
    EXPECT_EQ(lines.back(), "INFO  VM 101: backup failed, consistency: fs (frozen by the guest agent)");
    EXPECT_FALSE(header_of("vm101-scsi0").empty());
    EXPECT_FALSE(header_of("vm101-virtio1").empty());
    EXPECT_TRUE(host_.guest_frozen(101));  // as the operator was told
    // The thaw was retried with status checks in between, then given up.
    strings guest_cmds;
    for (const auto &c : host_.calls_of("qm"))
        if (c.joined().rfind("guest cmd", 0) == 0)
            guest_cmds.push_back(c.args[3]);
    ASSERT_GE(guest_cmds.size(), 5u);
    EXPECT_EQ(strings(guest_cmds.begin(), guest_cmds.begin() + 5),
              (strings{"fsfreeze-freeze", "fsfreeze-thaw", "fsfreeze-status", "fsfreeze-thaw", "fsfreeze-status"}));
    std::string report;
    EXPECT_FALSE(host_.check_clean(&report));
    EXPECT_EQ(report, "frozen guest 101\nrun state " + host_.run_dir() + "/101.state\n");

    // Once the agent thaws again, the next run thaws the guest first.
    ASSERT_TRUE(host_.clear_faults());
    r = backup({"--no-vmconfig", "--", "--out", out_.path()});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    lines = log_lines(r.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(like(lines[0], "WARN  VM 101: an earlier run (process [0-9]*) ended abnormally and left the guest frozen: thawed"))
        << lines[0];
    expect_clean();
}

TEST_F(BackupHost, SnapshotDeviceThatNeverAppears)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    vlt_test::fault_spec f;
    f.tool = "lvcreate";
    f.action = vlt_test::fault_spec::no_node;
    ASSERT_TRUE(host_.add_fault(f));
    auto r = backup_to_out();
    EXPECT_EQ(r.exit_status, 1);
    const std::string vg = host_.vg();
    EXPECT_EQ(log_lines(r.err), (strings{"ERROR VM 101: could not snapshot scsi0 (vm-101-disk-0): the snapshot device of " +
                                         vg + "/vm-101-disk-0_vltsnap did not appear"}));
    EXPECT_EQ(host_.calls_of("udevadm").size(), 1u);
    strings calls = host_calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(strings(calls.end() - 3, calls.end()),
              (strings{"udevadm settle -t 5", "lvremove -f -y " + vg + "/vm-101-disk-0_vltsnap",
                       "qm guest cmd 101 fsfreeze-thaw"}));
    expect_clean();
}

TEST_F(BackupHost, LateDeviceNodeIsWaitedFor)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    vlt_test::fault_spec f;
    f.tool = "lvcreate";
    f.action = vlt_test::fault_spec::late_node;
    ASSERT_TRUE(host_.add_fault(f));
    auto r = backup({"--no-vmconfig", "--", "--out", out_.path()});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(host_.calls_of("udevadm").size(), 1u);
    EXPECT_EQ(restore_job("vm101-scsi0"), vlt_test::random_bytes(kDisk0, 11));
    expect_clean();
}

TEST_F(BackupHost, FailingAgentStillGivesUpItsSnapshot)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    hook("[ \"$6\" = vm101-scsi0 ] && exit 3\n");
    auto r = backup_to_out();
    EXPECT_EQ(r.exit_status, 1);
    strings lines = log_lines(r.err);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "ERROR VM 101 disk scsi0: vlt_agent exited with code 3"), lines.end());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "ERROR VM 101: 1 of 2 disk(s) failed: scsi0");
    EXPECT_EQ(lines.back(), "INFO  VM 101: backup failed, consistency: fs (frozen by the guest agent)");
    EXPECT_FALSE(header_of("vm101-virtio1").empty());
    EXPECT_FALSE(header_of("vm101-vmconfig").empty());
    expect_clean();
}

TEST_F(BackupHost, FailingConfigJobAloneFailsTheRun)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    hook("[ \"$6\" = vm101-vmconfig ] && exit 3\n");
    auto r = backup_to_out();
    EXPECT_EQ(r.exit_status, 1);
    strings lines = log_lines(r.err);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "ERROR VM 101 config: vlt_agent exited with code 3");
    for (const auto &l : lines)
        EXPECT_EQ(l.find("disk(s) failed"), std::string::npos);
    expect_clean();
}

TEST_F(BackupHost, SnapshotThatCannotBeRemoved)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    vlt_test::fault_spec f;
    f.tool = "lvremove";
    f.times = 5;
    f.exit_code = 5;
    f.text = "  Logical volume " + host_.vg() + "/vm-101-disk-0_vltsnap in use.";
    ASSERT_TRUE(host_.add_fault(f));
    auto r = backup({"--no-vmconfig", "--", "--out", out_.path()});
    EXPECT_EQ(r.exit_status, 1);
    const std::string vg = host_.vg();
    strings lines = log_lines(r.err);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "ERROR VM 101 disk scsi0: backup succeeded, but could not remove the snapshot: lvremove " + vg +
                            "/vm-101-disk-0_vltsnap failed: " + f.text),
              lines.end())
        << r.err;
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "ERROR VM 101: 1 of 2 disk(s) failed: scsi0");
    EXPECT_EQ(host_.calls_of("lvremove").size(), 6u);
    std::string report;
    EXPECT_FALSE(host_.check_clean(&report));
    EXPECT_NE(report.find("vm-101-disk-0_vltsnap"), std::string::npos) << report;
}

TEST_F(BackupHost, LiteralApiKeyOnlyEverInAPrivateFile)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    const std::string secret = "pk_live_5ecret-Value";
    write_text(wrap_.path() + "/vlt.cfg", "[nightly]\napi-key = " + secret + "\n");
    // The reference agent has no network target: this agent only checks.
    hook("k=\"${@: -1}\"; k=\"${k#file:}\"\n"
         "stat -c '%a %s' \"$k\" > \"$W/keystat.$n\"; cat \"$k\" > \"$W/key.$n\"\n"
         "grep -l -a '" + secret + "' /proc/[0-9]*/cmdline > \"$W/leaks.$n\" 2>/dev/null\n"
         "exit 0\n");
    auto r = backup({"--name", "nightly", "--config-path", wrap_.path() + "/vlt.cfg", "--", "--out", out_.path()});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    std::string key_path;
    for (int n = 1; n <= 3; n++) {
        std::string argv = wrap_file("argv." + std::to_string(n));
        size_t at = argv.rfind("--api-key\nfile:");
        ASSERT_NE(at, std::string::npos) << argv;
        std::string given = argv.substr(at + 15);
        ASSERT_FALSE(given.empty());
        given.pop_back();  // the newline
        EXPECT_TRUE(like(given, "/dev/shm/vlt_proxmox_key.[0-9]*.[A-Za-z0-9][A-Za-z0-9][A-Za-z0-9][A-Za-z0-9][A-Za-z0-9][A-Za-z0-9]")) << given;
        EXPECT_EQ(at + 15 + given.size() + 1, argv.size());  // the last argument
        if (n == 1)
            key_path = given;
        EXPECT_EQ(given, key_path);
        EXPECT_EQ(wrap_file("key." + std::to_string(n)), secret);
        EXPECT_EQ(wrap_file("keystat." + std::to_string(n)), "600 " + std::to_string(secret.size()) + "\n");
        EXPECT_EQ(wrap_file("leaks." + std::to_string(n)), "");
    }
    EXPECT_EQ(access(key_path.c_str(), F_OK), -1);
    expect_clean();
}

TEST_F(BackupHost, StoppedVmIsBackedUpWithoutAFreeze)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    ASSERT_TRUE(host_.set_run_state(101, "stopped"));
    ASSERT_TRUE(host_.clear_calls());
    auto r = backup_to_out();
    ASSERT_EQ(r.exit_status, 0) << r.err;
    // No guest agent is asked anything: only the configuration and the state.
    strings qm_calls;
    for (const auto &c : host_.calls_of("qm"))
        qm_calls.push_back(c.joined());
    EXPECT_EQ(qm_calls, (strings{"config 101 --current", "status 101"}));
    EXPECT_EQ(host_.calls_of("lvcreate").size(), 2u);
    // Both disks, thin and thick, come back byte for byte.
    EXPECT_EQ(restore_job("vm101-scsi0"), vlt_test::random_bytes(kDisk0, 11));
    EXPECT_EQ(restore_job("vm101-virtio1"), vlt_test::random_bytes(kDisk1, 22));

    strings lines = log_lines(r.err);
    ASSERT_GE(lines.size(), 3u) << r.err;
    EXPECT_EQ(lines[0], "INFO  VM 101 is stopped: its disks are consistent without a freeze");
    EXPECT_TRUE(like(lines[1], "INFO  VM 101: no freeze needed (the VM is stopped): snapshots took [0-9]*.[0-9][0-9] s "
                               "over 2 disk(s)"))
        << lines[1];
    EXPECT_EQ(lines.back(), "INFO  VM 101: backup finished, consistency: stopped (the VM is stopped)");
    for (const auto &l : lines)
        EXPECT_TRUE(l.rfind("INFO", 0) == 0) << l;
    // While the agents ran, the progress segment's detail named the consistency.
    for (int n = 1; n <= 3; n++) {
        std::string seg = wrap_file("segment." + std::to_string(n));
        ASSERT_EQ(seg.size(), 1208u);
        EXPECT_STREQ(seg.c_str() + 88, "consistency: stopped");
    }
    expect_clean();
}

TEST_F(BackupHost, LockedVmIsRefusedWithNothingFrozenOrSnapshotted)
{
    ASSERT_NO_FATAL_FAILURE(build_vm(std::string(kVm101) + "lock: backup\n"));
    auto r = backup_to_out();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(log_lines(r.err), (strings{"ERROR VM 101 is locked (backup): try again when that operation has finished"}));
    EXPECT_EQ(host_calls(), (strings{"qm config 101 --current"}));
    expect_untouched();
}

TEST_F(BackupHost, RunStateThatCannotBeReadStopsTheRun)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    vlt_test::fault_spec garbage;
    garbage.tool = "qm";
    garbage.match = "status";
    garbage.action = vlt_test::fault_spec::print_out;
    garbage.exit_code = 0;
    garbage.text = "<html>502 Bad Gateway</html>";
    ASSERT_TRUE(host_.add_fault(garbage));
    auto r = backup_to_out();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(log_lines(r.err), (strings{"ERROR qm status 101 printed something unexpected (expected \"status: "
                                         "<state>\"): <html>502 Bad Gateway</html>"}));

    ASSERT_TRUE(host_.clear_faults());
    vlt_test::fault_spec fails;
    fails.tool = "qm";
    fails.match = "status";
    fails.exit_code = 255;
    fails.text = "ipcc_send_rec[1] failed: Connection refused";
    ASSERT_TRUE(host_.add_fault(fails));
    r = backup_to_out();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(log_lines(r.err), (strings{"ERROR qm status 101 failed: ipcc_send_rec[1] failed: Connection refused"}));

    ASSERT_TRUE(host_.clear_faults());
    vlt_test::fault_spec missing;
    missing.tool = "qm";
    missing.match = "status";
    missing.action = vlt_test::fault_spec::missing;
    ASSERT_TRUE(host_.add_fault(missing));
    r = backup_to_out();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(log_lines(r.err), (strings{"ERROR qm is not available (not running on a Proxmox VE host?)"}));

    // The guest agent was never called by any of the three.
    for (const auto &c : host_.calls_of("qm"))
        EXPECT_TRUE(c.joined() == "config 101 --current" || c.joined() == "status 101") << c.joined();
    expect_untouched();
}

class BackupSignals : public BackupHost {};

TEST_F(BackupSignals, InterruptWhileAnAgentRuns)
{
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        ASSERT_NO_FATAL_FAILURE(sig == SIGTERM ? build_vm() : (void)host_.clear_calls());
        unlink((wrap_.path() + "/count").c_str());
        unlink((wrap_.path() + "/agent-up").c_str());
        write_text(wrap_.path() + "/vlt.cfg", "[nightly]\napi-key = hush\n");
        hook("k=\"${@: -1}\"; echo \"${k#file:}\" > \"$W/keypath\"\n"
             "trap 'echo $$ > \"$W/agent-term\"; exit 143' TERM\n"
             "sleep 30 & echo $$ > \"$W/agent-up\"; wait; exit 0\n");
        auto run = host_.start(vlt_test::backup_program(),
                               {"--vmid", "101", "--pve-dir", host_.pve_dir(), "--name", "nightly", "--config-path", wrap_.path() + "/vlt.cfg",
                                "--", "--out", out_.path()},
                               {"PATH=" + wrap_.path() + ":" + path_});
        ASSERT_TRUE(run->started());
        for (int i = 0; i < 1000 && access((wrap_.path() + "/agent-up").c_str(), F_OK) != 0; i++)
            usleep(10000);
        ASSERT_EQ(access((wrap_.path() + "/agent-up").c_str(), F_OK), 0) << run->err_so_far();
        std::string key = wrap_file("keypath");
        key.pop_back();
        EXPECT_EQ(access(key.c_str(), F_OK), 0);
        EXPECT_EQ(access(("/dev/shm/vlt_progress." + std::to_string(run->pid())).c_str(), F_OK), 0);
        ASSERT_TRUE(run->send_signal(sig));
        auto r = run->wait(30000);
        EXPECT_EQ(r.term_signal, sig) << r.err;
        EXPECT_EQ(wrap_file("agent-term"), wrap_file("agent-up"));
        EXPECT_EQ(access(key.c_str(), F_OK), -1);
        const std::string vg = host_.vg();
        strings calls = host_calls();
        ASSERT_GE(calls.size(), 2u);
        EXPECT_EQ(strings(calls.end() - 2, calls.end()),
                  (strings{"lvremove -f -y " + vg + "/vm-101-disk-0_vltsnap", "lvremove -f -y " + vg + "/vm-101-disk-1_vltsnap"}));
        expect_clean(run->pid());
        unlink((wrap_.path() + "/agent-term").c_str());
    }
}

TEST_F(BackupSignals, TermWhileTheGuestIsFrozen)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    // Every lvcreate takes 1.5 s; the signal comes while the second runs.
    ASSERT_TRUE(host_.set_delay("lvcreate", 1500));
    auto run = host_.start(vlt_test::backup_program(), {"--vmid", "101", "--pve-dir", host_.pve_dir(), "--", "--out", out_.path()},
                           {"PATH=" + wrap_.path() + ":" + path_});
    ASSERT_TRUE(run->started());
    for (int i = 0; i < 1000 && host_.calls_of("lvcreate").size() < 2; i++)
        usleep(10000);
    ASSERT_EQ(host_.calls_of("lvcreate").size(), 2u);
    EXPECT_TRUE(host_.guest_frozen(101));
    ASSERT_TRUE(run->send_signal(SIGTERM));
    auto r = run->wait(30000);
    EXPECT_EQ(r.term_signal, SIGTERM) << r.err;
    EXPECT_FALSE(host_.guest_frozen(101));
    const std::string vg = host_.vg();
    strings calls = host_calls();
    ASSERT_GE(calls.size(), 3u);
    // thaw first, then the snapshot taken, then the one whose lvcreate was
    // still running when the signal came
    EXPECT_EQ(strings(calls.end() - 3, calls.end()),
              (strings{"qm guest cmd 101 fsfreeze-thaw", "lvremove -f -y " + vg + "/vm-101-disk-0_vltsnap",
                       "lvremove -f -y " + vg + "/vm-101-disk-1_vltsnap"}));
    EXPECT_TRUE(wrap_file("count").empty());
    expect_clean(run->pid());
}

// Runs side by side: one at a time per VM, never waiting across VMs.
class BackupConcurrency : public BackupHost {
protected:
    void add_vm102()
    {
        ASSERT_TRUE(host_.add_vm(102, "agent: 1\nscsi0: local-lvm:vm-102-disk-0,size=4M\n"));
        ASSERT_TRUE(host_.add_lv_random("local-lvm", "vm-102-disk-0", 4u << 20, 55));
    }
    std::unique_ptr<vlt_test::background_run> start(const std::string &vmid, std::vector<std::string> own = {})
    {
        std::vector<std::string> a = {"--vmid", vmid, "--pve-dir", host_.pve_dir()};
        a.insert(a.end(), own.begin(), own.end());
        a.insert(a.end(), {"--no-vmconfig", "--", "--out", out_.path()});
        return host_.start(vlt_test::backup_program(), a, {"PATH=" + wrap_.path() + ":" + path_});
    }
    bool wait_for_file(const std::string &name)
    {
        for (int i = 0; i < 3000 && access((wrap_.path() + "/" + name).c_str(), F_OK) != 0; i++)
            usleep(10000);
        return access((wrap_.path() + "/" + name).c_str(), F_OK) == 0;
    }
    size_t qm_calls(const std::string &args) const
    {
        size_t n = 0;
        for (const auto &c : host_.calls_of("qm"))
            n += c.joined() == args;
        return n;
    }
};

TEST_F(BackupConcurrency, TwoRunsOfOneVmStartedTogether)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    // The run that gets the lock holds it in its first agent until the
    // other run has ended.
    hook("touch \"$W/holding.$PPID\"; i=0; while [ ! -e \"$W/release\" ] && [ $i -lt 3000 ]; do sleep 0.01; "
         "i=$((i+1)); done\n");
    auto a = start("101");
    auto b = start("101");
    ASSERT_TRUE(a->started() && b->started());
    vlt_test::background_run *winner = nullptr, *loser = nullptr;
    for (int i = 0; i < 3000 && loser == nullptr; i++) {
        if (!a->running())
            loser = a.get(), winner = b.get();
        else if (!b->running())
            loser = b.get(), winner = a.get();
        else
            usleep(10000);
    }
    ASSERT_NE(loser, nullptr) << "neither run ended";
    auto lost = loser->wait(1000);
    EXPECT_EQ(lost.exit_status, 1) << lost.err;
    EXPECT_EQ(log_lines(lost.err),
              (strings{"ERROR VM 101 is already being backed up (by process " + std::to_string(winner->pid()) + ")"}));
    ASSERT_TRUE(wait_for_file("holding." + std::to_string(winner->pid())));
    write_text(wrap_.path() + "/release", "");
    auto won = winner->wait(60000);
    EXPECT_EQ(won.exit_status, 0) << won.err;
    // One configuration read, one freeze, one thaw: the loser touched nothing.
    EXPECT_EQ(qm_calls("config 101 --current"), 1u);
    EXPECT_EQ(qm_calls("guest cmd 101 fsfreeze-freeze"), 1u);
    EXPECT_EQ(qm_calls("guest cmd 101 fsfreeze-thaw"), 1u);
    EXPECT_EQ(host_.calls_of("lvcreate").size(), 2u);
    EXPECT_EQ(wrap_file("count"), "2\n");
    expect_clean();
}

TEST_F(BackupConcurrency, TwoVmsBackUpAtTheSameTime)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    ASSERT_NO_FATAL_FAILURE(add_vm102());
    // Each first agent waits until the other VM's first agent runs too: a
    // run that waited for the other's lock would never get there.
    hook("touch \"$W/up.$6\"; i=0\n"
         "while [ ! -e \"$W/up.vm101-scsi0\" ] || [ ! -e \"$W/up.vm102-scsi0\" ]; do\n"
         "  [ $i -lt 3000 ] || exit 9; sleep 0.01; i=$((i+1)); done\n");
    auto a = start("101");
    auto b = start("102");
    auto ra = a->wait(60000);
    auto rb = b->wait(60000);
    EXPECT_EQ(ra.exit_status, 0) << ra.err;
    EXPECT_EQ(rb.exit_status, 0) << rb.err;
    EXPECT_EQ(restore_job("vm102-scsi0"), vlt_test::random_bytes(4u << 20, 55));
    expect_clean();
}

TEST_F(BackupConcurrency, LiveRunsFilesSurviveAnotherVmsRun)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    ASSERT_NO_FATAL_FAILURE(add_vm102());
    write_text(wrap_.path() + "/vlt.cfg", "[nightly]\nvmid = 101\napi-key = hush\n");
    // VM 101's run waits in its first agent, its key file and segment in place.
    hook("[ \"${@: -2:1}\" = --api-key ] && set -- \"${@:1:$#-2}\"\n"
         "if [ \"$6\" = nightly-scsi0 ]; then touch \"$W/a-up\"; i=0\n"
         "  while [ ! -e \"$W/release\" ] && [ $i -lt 3000 ]; do sleep 0.01; i=$((i+1)); done; fi\n");
    auto a = start("101", {"--name", "nightly", "--config-path", wrap_.path() + "/vlt.cfg"});
    ASSERT_TRUE(wait_for_file("a-up")) << a->err_so_far();
    std::string argv = wrap_file("argv.1");
    std::string key = argv.substr(argv.rfind("file:") + 5);
    key.pop_back();
    const std::string segment = "/dev/shm/vlt_progress." + std::to_string(a->pid());
    ASSERT_EQ(access(key.c_str(), F_OK), 0) << key;
    ASSERT_EQ(access(segment.c_str(), F_OK), 0);

    auto b = host_.run(vlt_test::backup_program(), {"--vmid", "102", "--pve-dir", host_.pve_dir(), "--no-vmconfig", "--", "--out", out_.path()},
                       {"PATH=" + wrap_.path() + ":" + path_});
    EXPECT_EQ(b.exit_status, 0) << b.err;
    EXPECT_EQ(access(key.c_str(), F_OK), 0) << b.err;
    EXPECT_EQ(access(segment.c_str(), F_OK), 0) << b.err;
    // and a restore run leaves them too
    auto r = host_.run(vlt_test::restore_program(), {"--job", "nosuchjob", "--search-dir", out_.path()});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(access(key.c_str(), F_OK), 0) << r.err;
    EXPECT_EQ(access(segment.c_str(), F_OK), 0) << r.err;

    write_text(wrap_.path() + "/release", "");
    auto ra = a->wait(60000);
    EXPECT_EQ(ra.exit_status, 0) << ra.err;
    EXPECT_EQ(access(key.c_str(), F_OK), -1);
    expect_clean(a->pid());
}

TEST_F(BackupConcurrency, HandlerNeverTouchesAnotherRunsSnapshot)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    // The signal comes while the first lvcreate of run A still runs. Run B
    // of the same VM, started meanwhile, is refused before it does
    // anything: the name A's handler removes can only be A's.
    ASSERT_TRUE(host_.set_delay("lvcreate", 1500));
    auto a = start("101");
    ASSERT_TRUE(host_.wait_for_call("lvcreate", "-s -y -kn -n vm-101-disk-0_vltsnap", 30000));
    auto b = host_.run(vlt_test::backup_program(), {"--vmid", "101", "--pve-dir", host_.pve_dir(), "--", "--out", out_.path()},
                       {"PATH=" + wrap_.path() + ":" + path_});
    EXPECT_EQ(b.exit_status, 1);
    EXPECT_EQ(log_lines(b.err),
              (strings{"ERROR VM 101 is already being backed up (by process " + std::to_string(a->pid()) + ")"}));
    ASSERT_TRUE(a->send_signal(SIGTERM));
    auto ra = a->wait(60000);
    EXPECT_EQ(ra.term_signal, SIGTERM) << ra.err;
    const std::string vg = host_.vg();
    strings lvremoves;
    for (const auto &c : host_.calls_of("lvremove"))
        lvremoves.push_back(c.joined());
    EXPECT_EQ(lvremoves, (strings{"-f -y " + vg + "/vm-101-disk-0_vltsnap"}));
    EXPECT_EQ(qm_calls("config 101 --current"), 1u);
    EXPECT_EQ(host_.calls_of("lvcreate").size(), 1u);
    EXPECT_FALSE(host_.guest_frozen(101));
    expect_clean(a->pid());
}

// What the recovery may and may not remove.
TEST_F(BackupHost, LeftSnapshotOfOursIsRemovedEvenWithoutAStateFile)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    const std::string vg = host_.vg();
    // A power loss took the state file (a tmpfs) but not the snapshot.
    auto made = host_.run("lvcreate", {"-s", "-y", "-kn", "-n", "vm-101-disk-0_vltsnap", "--addtag", "vlt_agent",
                                       "--addtag", "vm101", vg + "/vm-101-disk-0"});
    ASSERT_EQ(made.exit_status, 0) << made.err;
    ASSERT_TRUE(host_.clear_calls());
    auto r = backup({"--no-vmconfig", "--", "--out", out_.path()});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    strings lines = log_lines(r.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "WARN  VM 101: snapshot " + vg + "/vm-101-disk-0_vltsnap was left by an earlier run that "
                        "ended abnormally: removed");
    strings calls = host_calls();
    auto freeze = std::find(calls.begin(), calls.end(), "qm guest cmd 101 fsfreeze-freeze");
    auto removal = std::find(calls.begin(), calls.end(), "lvremove -f -y " + vg + "/vm-101-disk-0_vltsnap");
    EXPECT_LT(removal - calls.begin(), freeze - calls.begin());
    expect_clean();
}

TEST_F(BackupHost, SnapshotsThatAreNotProvablyOursAreNeverRemoved)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    const std::string vg = host_.vg();
    // Our name on one of the VM's disks, without our tag: somebody else's.
    auto made = host_.run("lvcreate", {"-s", "-y", "-kn", "-n", "vm-101-disk-0_vltsnap", vg + "/vm-101-disk-0"});
    ASSERT_EQ(made.exit_status, 0) << made.err;
    // The run fails on the snapshot before the freeze, and leaves it.
    auto refused = [&](const std::string &lv, const std::string &error) {
        ASSERT_TRUE(host_.clear_calls());
        auto r = backup_to_out();
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(log_lines(r.err), (strings{"ERROR VM 101: " + vg + "/" + lv + error}));
        EXPECT_TRUE(host_.lv_exists(vg, lv));
        EXPECT_TRUE(host_.calls_of("lvremove").empty());
        EXPECT_TRUE(host_.calls_of("lvcreate").empty());
        EXPECT_EQ(host_.calls_of("qm").size(), 1u);  // the configuration only: never a freeze
        ASSERT_EQ(host_.driver({"remove-lv", vg, lv}), 0);
    };
    refused("vm-101-disk-0_vltsnap", " exists but does not carry the tag vlt_agent, so it is not a snapshot of "
                                     "vlt_proxmox: not removed (rename or remove it by hand; the backup needs its name)");

    // A state file naming a snapshot, tagged, of another VM's disk.
    ASSERT_TRUE(host_.add_lv_random("local-lvm", "vm-102-disk-0", 4u << 20, 55));
    made = host_.run("lvcreate", {"-s", "-y", "-kn", "-n", "vm-102-disk-0_vltsnap", "--addtag", "vlt_agent",
                                  vg + "/vm-102-disk-0"});
    ASSERT_EQ(made.exit_status, 0) << made.err;
    mkdir(host_.run_dir().c_str(), 0700);  // made by the first run
    write_text(host_.run_dir() + "/101.state",
               "vlt_proxmox run state 1\nvmid 101\nrun 999999 1\nfrozen 0\nsnapshot " + vg +
                   "/vm-102-disk-0_vltsnap\nend\n",
               0600);
    refused("vm-102-disk-0_vltsnap", ", named by the state file of an earlier run, is not the snapshot of a disk of "
                                     "this VM (its origin is vm-102-disk-0): not removed (remove it by hand if nothing "
                                     "needs it)");
}

// The api-key pair always reaches the agent, or the run does not start.
TEST_F(BackupHost, ApiKeyWithManyForwardedArguments)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    write_text(wrap_.path() + "/vlt.cfg", "[nightly]\nvmid = 101\napi-key = hush\n");
    hook("exit 0\n");
    auto with = [&](int forwarded) {
        std::vector<std::string> a = {"--name",   "nightly", "--config-path", wrap_.path() + "/vlt.cfg",
                                      "--pve-dir", host_.pve_dir(), "--no-vmconfig", "--disk", "scsi0", "--", "--out",
                                      out_.path()};
        for (int i = 2; i < forwarded; i++)
            a.push_back("--verify");
        return host_.run(vlt_test::backup_program(), a, {"PATH=" + wrap_.path() + ":" + path_});
    };
    for (int n : {130, 119}) {
        SCOPED_TRACE(n);
        auto r = with(n);
        EXPECT_EQ(r.exit_status, 2);
        EXPECT_EQ(r.err, "error: too many arguments for vlt_agent: " + std::to_string(n) +
                             " forwarded, at most 118 when the profile gives an api-key (--api-key and its value take "
                             "the last 2 of 120 places)\n");
        EXPECT_TRUE(host_.calls().empty());
        EXPECT_TRUE(wrap_file("count").empty());
    }
    auto r = with(118);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    strings argv;
    std::string text = wrap_file("argv.1");
    for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        argv.push_back(text.substr(at, nl - at));
    ASSERT_EQ(argv.size(), 126u);  // six of our own, 118 forwarded, the pair
    EXPECT_EQ(argv[124], "--api-key");
    EXPECT_EQ(argv[125].rfind("file:/dev/shm/vlt_proxmox_key.", 0), 0u) << argv[125];
    expect_clean();
}

// A freeze the agent completes after qm gave up: the status is asked until
// the guest can be thawed.
TEST_F(BackupHost, FreezeThatOutlastsItsTimeoutIsThawedOnceItCompletes)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    ASSERT_TRUE(host_.set_freeze_time(101, 2500));
    auto r = backup({"--freeze-timeout", "1", "--no-vmconfig", "--", "--out", out_.path()});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(log_lines(r.err), (strings{"ERROR VM 101: cannot freeze the guest (qm guest cmd 101 fsfreeze-freeze timed "
                                         "out after 1 s): --consistency try backs it up crash-consistent"}));
    EXPECT_FALSE(host_.guest_frozen(101));
    EXPECT_FALSE(host_.guest_freezing(101));
    strings commands;
    std::vector<int> ends;
    std::vector<vlt_test::call_record> all = host_.calls();
    for (const auto &c : all) {
        if (c.is_end || c.tool != "qm" || c.args[0] != "guest")
            continue;
        commands.push_back(c.args[3]);
        int end = -1;
        for (const auto &e : all)
            if (e.is_end && e.pid == c.pid)
                end = e.exit_status;
        ends.push_back(end);
    }
    // freeze (ended by the time-out), a thaw the busy agent misses, status
    // polls it misses too, then frozen, a thaw, and thawed
    ASSERT_GE(commands.size(), 6u) << ::testing::PrintToString(commands);
    EXPECT_EQ(strings(commands.begin(), commands.begin() + 3),
              (strings{"fsfreeze-freeze", "fsfreeze-thaw", "fsfreeze-status"}));
    EXPECT_EQ(ends[1], 255);
    EXPECT_EQ(ends[2], 255);
    EXPECT_EQ(strings(commands.end() - 3, commands.end()),
              (strings{"fsfreeze-status", "fsfreeze-thaw", "fsfreeze-status"}));
    EXPECT_EQ(ends[ends.size() - 3], 0);
    EXPECT_EQ(ends[ends.size() - 2], 0);
    EXPECT_TRUE(host_.calls_of("lvcreate").empty());
    expect_clean();
}

TEST_F(BackupSignals, TermDuringASlowFreezeEndsItThenThaws)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    ASSERT_TRUE(host_.set_freeze_time(101, 2000));
    auto run = host_.start(vlt_test::backup_program(), {"--vmid", "101", "--pve-dir", host_.pve_dir(), "--", "--out", out_.path()},
                           {"PATH=" + wrap_.path() + ":" + path_});
    // The signal comes once the guest agent is inside the freeze, which
    // completes in the guest whatever becomes of qm.
    for (int i = 0; i < 3000 && !host_.guest_freezing(101); i++)
        usleep(10000);
    ASSERT_TRUE(host_.guest_freezing(101));
    ASSERT_TRUE(run->send_signal(SIGTERM));
    auto r = run->wait(60000);
    EXPECT_EQ(r.term_signal, SIGTERM) << r.err;
    std::vector<vlt_test::call_record> all = host_.calls();
    long freeze_pid = 0;
    size_t freeze_end = 0, first_thaw = 0;
    for (size_t i = 0; i < all.size(); i++) {
        const auto &c = all[i];
        if (!c.is_end && c.tool == "qm" && c.joined() == "guest cmd 101 fsfreeze-freeze")
            freeze_pid = c.pid;
        if (c.is_end && c.pid == freeze_pid && freeze_end == 0) {
            freeze_end = i;
            EXPECT_EQ(c.exit_status, 143);  // ended by our SIGTERM
        }
        if (!c.is_end && c.tool == "qm" && c.joined() == "guest cmd 101 fsfreeze-thaw" && first_thaw == 0)
            first_thaw = i;
    }
    ASSERT_GT(freeze_end, 0u) << "the freeze was never ended";
    ASSERT_GT(first_thaw, 0u);
    EXPECT_LT(freeze_end, first_thaw);
    // The busy agent missed the first thaw; the status was asked until the
    // guest could be thawed.
    strings after;
    for (size_t i = first_thaw; i < all.size(); i++)
        if (!all[i].is_end && all[i].tool == "qm")
            after.push_back(all[i].args[3]);
    ASSERT_GE(after.size(), 4u) << ::testing::PrintToString(after);
    EXPECT_EQ(after[1], "fsfreeze-status");
    EXPECT_EQ(strings(after.end() - 2, after.end()), (strings{"fsfreeze-thaw", "fsfreeze-status"}));
    EXPECT_FALSE(host_.guest_frozen(101));
    EXPECT_FALSE(host_.guest_freezing(101));
    EXPECT_TRUE(host_.calls_of("lvcreate").empty());
    expect_clean(run->pid());
}

// --- a real node's storage

class NodeStorage : public BackupHost {
protected:
    // An LV of a storage from a file of known bytes, with driver options.
    void add_known_lv(const std::string &storage, const std::string &lv, uint64_t size, uint32_t seed,
                      std::vector<std::string> options)
    {
        std::string file = wrap_.path() + "/data-" + lv;
        ASSERT_TRUE(vlt_test::write_file(file, vlt_test::random_bytes(size, seed)));
        options.insert(options.begin(), {"--data", file});
        ASSERT_TRUE(host_.add_lv_with(storage, lv, size, options));
    }
    // No guest-agent command went out: the guest was never frozen.
    bool never_frozen() const
    {
        for (const auto &c : host_.calls_of("qm"))
            if (!c.args.empty() && c.args[0] == "guest")
                return false;
        return true;
    }
    static bool has_line(const strings &lines, const std::string &line)
    {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    // The index of the first host call equal to `call` (calls.size() when none).
    static size_t index_of(const strings &calls, const std::string &call)
    {
        return static_cast<size_t>(std::find(calls.begin(), calls.end(), call) - calls.begin());
    }
};

TEST_F(NodeStorage, InactiveVolumesAreBackedUpAndLeftInactive)
{
    // A thick disk its VM's stop deactivated, and a template's thin base
    // volume (read-only, activation skip), both without a device node.
    const std::string config = "agent: 1\n"
                               "scsi0: local-lvm:base-101-disk-3,size=4M\n"
                               "virtio1: thick:vm-101-disk-1,size=4M\n";
    ASSERT_TRUE(host_.add_vm(101, config));
    ASSERT_NO_FATAL_FAILURE(add_known_lv("local-lvm", "base-101-disk-3", 4u << 20, 71,
                                         {"--inactive", "--read-only", "--skip"}));
    ASSERT_NO_FATAL_FAILURE(add_known_lv("thick", "vm-101-disk-1", kDisk1, 72, {"--inactive"}));
    const std::string vg = host_.vg();
    for (const char *form : {"", "-1"}) {
        SCOPED_TRACE(std::string("inactive LVs listed with kernel numbers '") + form + "'");
        ASSERT_TRUE(host_.set_setting("inactive_kernel", form));
        ASSERT_FALSE(host_.lv_active(vg, "base-101-disk-3"));
        ASSERT_FALSE(host_.lv_active(vg, "vm-101-disk-1"));
        ASSERT_TRUE(host_.record_activation());
        ASSERT_TRUE(host_.clear_calls());
        // (Both rounds back up the same bytes into the same directory.)
        auto r = backup({"--no-vmconfig", "--", "--out", out_.path()});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(restore_job("vm101-scsi0"), vlt_test::random_bytes(4u << 20, 71));
        EXPECT_EQ(restore_job("vm101-virtio1"), vlt_test::random_bytes(kDisk1, 72));

        strings calls = host_calls();
        const std::string activate = "lvchange -ay " + vg + "/vm-101-disk-1_vltsnap";
        const std::string deactivate = "lvchange -an " + vg + "/vm-101-disk-1";
        // The thick snapshot is activated only after the thaw, and its
        // origin deactivated once the snapshot is gone; the thin template
        // base needs neither.
        EXPECT_LT(index_of(calls, "qm guest cmd 101 fsfreeze-thaw"), index_of(calls, activate));
        EXPECT_LT(index_of(calls, "lvremove -f -y " + vg + "/vm-101-disk-1_vltsnap"), index_of(calls, deactivate));
        EXPECT_LT(index_of(calls, deactivate), calls.size());
        size_t lvchanges = 0;
        for (const auto &c : calls)
            lvchanges += c.rfind("lvchange ", 0) == 0;
        EXPECT_EQ(lvchanges, 2u) << ::testing::PrintToString(calls);
        EXPECT_FALSE(host_.lv_active(vg, "base-101-disk-3"));
        EXPECT_FALSE(host_.lv_active(vg, "vm-101-disk-1"));
        expect_clean();
    }
}

TEST_F(NodeStorage, AStoppedVmAndATemplateWithInactiveVolumes)
{
    // As Proxmox leaves them: the stopped VM's thick disk deactivated, the
    // template's thin base volume inactive, read-only, activation skipped.
    ASSERT_TRUE(host_.add_vm_with(101, "agent: 1\nvirtio1: thick:vm-101-disk-1,size=4M\n", {"--stopped"}));
    ASSERT_TRUE(host_.add_vm_with(102, "agent: 1\nscsi0: local-lvm:base-102-disk-0,size=4M\ntemplate: 1\n",
                                  {"--stopped"}));
    ASSERT_NO_FATAL_FAILURE(add_known_lv("thick", "vm-101-disk-1", kDisk1, 81, {"--inactive"}));
    ASSERT_NO_FATAL_FAILURE(add_known_lv("local-lvm", "base-102-disk-0", 4u << 20, 82,
                                         {"--inactive", "--read-only", "--skip"}));
    const std::string vg = host_.vg();
    ASSERT_TRUE(host_.record_activation());
    ASSERT_TRUE(host_.clear_calls());
    for (const char *vmid : {"101", "102"}) {
        auto r = host_.run(vlt_test::backup_program(),
                           {"--vmid", vmid, "--pve-dir", host_.pve_dir(), "--", "--out", out_.path()},
                           {"PATH=" + wrap_.path() + ":" + path_});
        ASSERT_EQ(r.exit_status, 0) << r.err;
    }
    EXPECT_EQ(restore_job("vm101-virtio1"), vlt_test::random_bytes(kDisk1, 81));
    EXPECT_EQ(restore_job("vm102-scsi0"), vlt_test::random_bytes(4u << 20, 82));
    EXPECT_TRUE(never_frozen());
    strings calls = host_calls();
    EXPECT_LT(index_of(calls, "lvchange -ay " + vg + "/vm-101-disk-1_vltsnap"),
              index_of(calls, "lvremove -f -y " + vg + "/vm-101-disk-1_vltsnap"));
    EXPECT_LT(index_of(calls, "lvremove -f -y " + vg + "/vm-101-disk-1_vltsnap"),
              index_of(calls, "lvchange -an " + vg + "/vm-101-disk-1"));
    EXPECT_LT(index_of(calls, "lvchange -an " + vg + "/vm-101-disk-1"), calls.size());
    EXPECT_FALSE(host_.lv_active(vg, "vm-101-disk-1"));
    EXPECT_FALSE(host_.lv_active(vg, "base-102-disk-0"));
    expect_clean();
}

TEST_F(NodeStorage, AFullPoolIsRefusedAndAFillingOneStopsTheBackup)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    const std::string vg = host_.vg();
    ASSERT_TRUE(host_.set_pool_usage("local-lvm", 95));
    auto r = backup_to_out();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(log_lines(r.err), (strings{"ERROR VM 101: thin pool " + vg + "/data of storage 'local-lvm' is 95.00% "
                                         "full (data; limit 90%, --pool-limit): no snapshot taken"}));
    EXPECT_TRUE(never_frozen());
    EXPECT_TRUE(host_.calls_of("lvcreate").empty());

    // The pool starts to fill once the first agent runs: the next look at
    // it stops that agent, removes every snapshot and ends the run.
    ASSERT_TRUE(host_.set_pool_usage("local-lvm", 50));
    ASSERT_TRUE(host_.clear_calls());
    hook("if [ \"$6\" = vm101-scsi0 ]; then\n"
         "  '" + std::string(vlt_test::simhost_driver()) + "' set-pool-usage local-lvm 88 0 --rise 1\n"
         "  trap 'touch \"$W/agent-term\"; exit 143' TERM; sleep 60 & wait; exit 0\n"
         "fi\n");
    r = backup_to_out();
    EXPECT_EQ(r.exit_status, 1);
    strings lines = log_lines(r.err);
    bool stopped = false;
    for (const std::string &l : lines)
        stopped = stopped || like(l, "ERROR VM 101: thin pool " + vg + "/data of storage 'local-lvm' is 9[0-9].[0-9][0-9]% "
                                     "full (data; limit 90%, --pool-limit): the backup was stopped to protect the pool");
    EXPECT_TRUE(stopped) << r.err;
    EXPECT_EQ(access((wrap_.path() + "/agent-term").c_str(), F_OK), 0);
    EXPECT_TRUE(header_of("vm101-vmconfig").empty());
    bool looked = false;
    for (const auto &c : host_.calls_of("lvs"))
        looked = looked || c.joined() == "--noheadings --separator | -o vg_name,lv_name,lv_attr,data_percent,"
                                         "metadata_percent,snap_percent " + vg + "/data";
    EXPECT_TRUE(looked);
    expect_clean();
}

TEST_F(NodeStorage, AThickSnapshotThatRanFullFailsItsDisk)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    // Every COW snapshot is full (invalid) from its creation on.
    ASSERT_TRUE(host_.set_snap_usage("", "", 100));
    auto r = backup_to_out();
    EXPECT_EQ(r.exit_status, 1);
    strings lines = log_lines(r.err);
    const std::string snapshot = host_.vg() + "/vm-101-disk-1_vltsnap";
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "ERROR VM 101 disk virtio1: snapshot " + snapshot + " became invalid while it was read (its "
                        "copy-on-write space ran full): this disk's backup is not usable (give it more with "
                        "--snapshot-size)"),
              lines.end())
        << r.err;
    EXPECT_TRUE(has_line(lines, "ERROR VM 101: 1 of 2 disk(s) failed: virtio1"));
    expect_clean();
}

TEST_F(NodeStorage, SharedStorageIsRefusedAndAMissingStorageCfgIsWarned)
{
    ASSERT_TRUE(host_.add_storage_with("san", "lvm", {"--shared"}));
    ASSERT_NO_FATAL_FAILURE(build_vm(std::string(kVm101) + "sata0: san:vm-101-disk-5,size=4M\n"));
    ASSERT_TRUE(host_.add_lv("san", "vm-101-disk-5", 4u << 20));
    auto r = backup_to_out();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(log_lines(r.err),
              (strings{"ERROR VM 101: sata0: storage 'san' is shared LVM: taking snapshots there is not safe"}));
    EXPECT_TRUE(never_frozen());
    EXPECT_TRUE(host_.calls_of("lvcreate").empty());
    expect_clean();

    // Without storage.cfg (the cluster file system is not mounted) the
    // check is skipped, said so, and the backup goes on.
    ASSERT_TRUE(host_.remove_storage_cfg());
    r = backup({"--disk", "scsi0", "--no-vmconfig", "--", "--out", out_.path()});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(log_lines(r.err)[0], "WARN  VM 101: " + host_.pve_dir() + "/storage.cfg does not exist: the check "
                                   "for shared storages was skipped (is the cluster file system mounted?)");
    expect_clean();
}

TEST_F(NodeStorage, WaitsForProxmoxsStorageLockWithoutFreezing)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    auto lock = host_.hold_storage_lock("thick");
    ASSERT_TRUE(lock);
    auto run = host_.start(vlt_test::backup_program(),
                           {"--vmid", "101", "--pve-dir", host_.pve_dir(), "--no-vmconfig", "--", "--out", out_.path()},
                           {"PATH=" + wrap_.path() + ":" + path_});
    ASSERT_TRUE(run->started());
    std::string so_far;
    for (int i = 0; i < 3000 && so_far.find("waiting for the lock") == std::string::npos; i++) {
        usleep(10000);
        so_far += run->err_so_far();
    }
    ASSERT_NE(so_far.find("INFO  waiting for the lock of storage 'thick' (" + host_.lock_dir() +
                          "/pve-storage-thick is held by another task)"),
              std::string::npos)
        << so_far;
    EXPECT_TRUE(run->running());
    EXPECT_TRUE(never_frozen());  // not frozen while it waits
    struct timespec released;
    clock_gettime(CLOCK_REALTIME, &released);
    lock->release();
    auto r = run->wait(60000);
    EXPECT_EQ(r.exit_status, 0) << so_far << r.err;
    auto qm = host_.calls_of("qm");
    ASSERT_EQ(qm.size(), 4u);
    EXPECT_EQ(qm[2].joined(), "guest cmd 101 fsfreeze-freeze");
    EXPECT_GT(qm[2].time, released.tv_sec + released.tv_nsec / 1e9 - 0.001);
    expect_clean();
}

TEST_F(NodeStorage, PerlsLocaleWarningsInFrontOfEveryAnswer)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    auto qm = host_.run("qm", {"config", "101", "--current"});
    ASSERT_EQ(qm.exit_status, 0);
    ASSERT_TRUE(host_.set_setting("locale_warnings", "always"));
    hook("env > \"$W/env.$n\"\n");
    auto r = host_.run(vlt_test::backup_program(),
                       {"--vmid", "101", "--pve-dir", host_.pve_dir(), "--", "--out", out_.path()},
                       {"PATH=" + wrap_.path() + ":" + path_, "LANGUAGE=de:en", "LC_ALL=de_DE.UTF-8"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(restore_job("vm101-scsi0"), vlt_test::random_bytes(kDisk0, 11));
    // The configuration job holds the configuration, not Perl's complaint.
    EXPECT_EQ(restore_job("vm101-vmconfig"), qm.out + "#vlt_proxmox_backup: disks=scsi0,virtio1\n");
    // Every program ran in the C locale, the rest of the environment kept.
    std::string env = wrap_file("env.1");
    EXPECT_NE(env.find("\nLC_ALL=C\n"), std::string::npos) << env;
    EXPECT_EQ(env.find("LANGUAGE="), std::string::npos) << env;
    EXPECT_NE(env.find("\nVLT_SIM_ROOT=" + host_.root() + "\n"), std::string::npos) << env;
    expect_clean();
}

TEST_F(NodeStorage, AListingOfTwentyThousandLvsIsReadWhole)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    ASSERT_TRUE(host_.set_lvs_padding(20000));
    auto r = backup({"--disk", "scsi0", "--no-vmconfig", "--", "--out", out_.path()});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(restore_job("vm101-scsi0"), vlt_test::random_bytes(kDisk0, 11));
    expect_clean();
}

TEST_F(NodeStorage, Qcow2VolumesAreRefusedNamingTheSlot)
{
    ASSERT_NO_FATAL_FAILURE(build_vm(std::string(kVm101) + "scsi1: thick:vm-101-disk-2.qcow2,size=4M\n"
                                                         "scsi2: local-lvm:vm-101-disk-3,format=qcow2,size=4M\n"));
    ASSERT_TRUE(host_.add_lv("thick", "vm-101-disk-2.qcow2", 4u << 20));
    ASSERT_TRUE(host_.add_lv("local-lvm", "vm-101-disk-3", 4u << 20));
    ASSERT_TRUE(host_.clear_calls());
    auto r = backup_to_out();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(log_lines(r.err), (strings{"ERROR VM 101: scsi1 (thick:vm-101-disk-2.qcow2) is a qcow2 image: only raw "
                                         "volumes can be backed up; scsi2 (local-lvm:vm-101-disk-3) has "
                                         "format=qcow2: only raw volumes can be backed up"}));
    EXPECT_EQ(host_calls(), (strings{"qm config 101 --current"}));
    expect_clean();
}

TEST_F(NodeStorage, AnAgentOverItsTimeLimitIsStopped)
{
    ASSERT_NO_FATAL_FAILURE(build_vm());
    hook("[ \"$6\" = vm101-scsi0 ] && { trap 'exit 143' TERM; sleep 60 & wait; }\n");
    auto r = backup({"--agent-timeout", "1", "--", "--out", out_.path()});
    EXPECT_EQ(r.exit_status, 1);
    strings lines = log_lines(r.err);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "ERROR VM 101 disk scsi0: vlt_agent ran longer than the time limit of 1 s (--agent-timeout) "
                        "and was stopped"),
              lines.end())
        << r.err;
    EXPECT_TRUE(has_line(lines, "ERROR VM 101: 1 of 2 disk(s) failed: scsi0"));
    EXPECT_FALSE(header_of("vm101-virtio1").empty());
    expect_clean();
}

}  // namespace
