// The frozen snapshot set: call order, rollback, the thaw after a failed
// freeze, and the signal handler's installation.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "backup/activation.h"
#include "backup/snapshot_phase.h"
#include "backup/snapshots.h"
#include "fake_tools.h"

namespace {

using strings = std::vector<std::string>;

void previous_handler(int) {}

class SnapshotSet : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to make device nodes";
        snapshot_retry_delay_ms = 1;
        snapshot_device_poll_ms = 1;
        tools_.lvcreate_makes_nodes();
        tools_.on("qm", "echo 1");
        struct sigaction act;
        memset(&act, 0, sizeof act);
        act.sa_handler = previous_handler;
        sigemptyset(&act.sa_mask);
        saved_ = sigaction(SIGTERM, &act, &saved_term_) == 0;
        add("scsi0", "vm-101-disk-0", true);
        add("virtio1", "vm-101-disk-1", false);
        add("sata2", "vm-101-disk-2", true);
    }
    void TearDown() override
    {
        release_signal_handlers();
        if (saved_)
            sigaction(SIGTERM, &saved_term_, nullptr);
        snapshot_retry_delay_ms = 1000;
        snapshot_device_poll_ms = 100;
        thaw_confirm_deadline_ms = 60000;
        thaw_poll_interval_ms = 1000;
    }

    void add(const char *slot, const char *lv, bool thin)
    {
        resolved_disk &row = disks_.rows[disks_.count++];
        strcpy(row.volume.slot, slot);
        strcpy(row.volume.storage, "local-lvm");
        strcpy(row.volume.volume, lv);
        row.status = RESOLVED_LVM;
        snprintf(row.lv.vg_name, sizeof row.lv.vg_name, "%s", tools_.vg().c_str());
        strcpy(row.lv.lv_name, lv);
        strcpy(row.lv.attr, thin ? "Vwi-aotz--" : "-wi-ao----");
        strcpy(row.lv.segtype, thin ? "thin" : "linear");
    }

    std::string lvcreate_line(const char *lv, bool thin, const char *tag = "vm101")
    {
        std::string snap = std::string(lv) + "_vltsnap";
        std::string head = thin ? "lvcreate -s -y -kn -n " + snap : "lvcreate -s -y -n " + snap + " -l 10%ORIGIN";
        return head + " --addtag vlt_agent --addtag " + tag + " " + tools_.vg() + "/" + lv;
    }

    sighandler_t current_term_handler()
    {
        struct sigaction now;
        sigaction(SIGTERM, nullptr, &now);
        return now.sa_handler;
    }

    int32_t run_set(int32_t timeout = 5, const char *tag = "vm101", int32_t skip_freeze = 0)
    {
        freeze_params params = {timeout, nullptr, tag, skip_freeze};
        return create_snapshot_set("101", &disks_, &params, &set_, msg_, sizeof msg_);
    }

    fake_tools tools_;
    resolved_disk_list disks_{};
    snapshot_set set_{};
    char msg_[512] = "";
    struct sigaction saved_term_ {};
    bool saved_ = false;
};

TEST_F(SnapshotSet, FreezeEverySnapshotThenThaw)
{
    stderr_capture log;
    ASSERT_EQ(run_set(), 0) << msg_;
    strings lines = log_lines(log.text());
    EXPECT_EQ(tools_.call_lines(),
              (strings{"qm guest cmd 101 fsfreeze-freeze", lvcreate_line("vm-101-disk-0", true),
                       lvcreate_line("vm-101-disk-1", false), lvcreate_line("vm-101-disk-2", true),
                       "qm guest cmd 101 fsfreeze-thaw"}));
    ASSERT_EQ(set_.count, 3u);
    EXPECT_STREQ(set_.rows[1].volume.slot, "virtio1");
    EXPECT_STREQ(set_.rows[1].snapshot_lv_name, "vm-101-disk-1_vltsnap");
    EXPECT_EQ(std::string(set_.rows[1].device_path), "/dev/" + tools_.vg() + "/vm-101-disk-1_vltsnap");
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(g_cleanup.created[i], 1);
    EXPECT_EQ(g_cleanup.created[3], 0);
    EXPECT_EQ(std::string(g_cleanup.snapshot_names[2]), tools_.vg() + "/vm-101-disk-2_vltsnap");
    EXPECT_EQ(g_cleanup.frozen, 0);
    EXPECT_GE(set_.window_seconds, 0.0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(like(lines[0], "INFO  VM 101: consistency window (guest quiesced until thawed): [0-9]*.[0-9][0-9] s over 3 disk(s)"))
        << lines[0];

    // The handler is in force until released, then the earlier one is back.
    EXPECT_EQ(current_term_handler(), cleanup_on_signal);
    release_signal_handlers();
    EXPECT_EQ(current_term_handler(), previous_handler);
}

TEST_F(SnapshotSet, EmptyTagMeansTheFixedTag)
{
    disks_.count = 1;
    ASSERT_EQ(run_set(5, ""), 0) << msg_;
    EXPECT_EQ(tools_.calls_of("lvcreate").size(), 1u);
    EXPECT_EQ("lvcreate " + tools_.calls_of("lvcreate")[0], lvcreate_line("vm-101-disk-0", true, "vlt_agent"));
}

TEST_F(SnapshotSet, FailureOnTheSecondDiskThawsThenRollsBack)
{
    tools_.on("lvcreate",
              "if [ $n -eq 2 ]; then echo '  Volume group full' >&2; exit 5; fi\n"
              "args=(\"$@\"); origin=\"${args[-1]}\"; vg=\"${origin%%/*}\"\n"
              "while [ $# -gt 0 ]; do [ \"$1\" = -n ] && name=\"$2\"; shift; done\n"
              "mkdir -p \"/dev/$vg\"; mknod \"/dev/$vg/$name\" b 240 9");
    stderr_capture log;
    EXPECT_EQ(run_set(), -1);
    EXPECT_TRUE(log_lines(log.text()).empty());
    EXPECT_EQ(std::string(msg_), "could not snapshot virtio1 (vm-101-disk-1): could not create the snapshot of " +
                                     tools_.vg() + "/vm-101-disk-1:   Volume group full");
    EXPECT_EQ(set_.freeze_failed, 0);
    EXPECT_EQ(tools_.call_lines(),
              (strings{"qm guest cmd 101 fsfreeze-freeze", lvcreate_line("vm-101-disk-0", true),
                       lvcreate_line("vm-101-disk-1", false), "qm guest cmd 101 fsfreeze-thaw",
                       "lvremove -f -y " + tools_.vg() + "/vm-101-disk-0_vltsnap"}));
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(g_cleanup.created[i], 0);
    EXPECT_EQ(current_term_handler(), previous_handler);
}

TEST_F(SnapshotSet, RollbackRemovalFailureIsWarned)
{
    tools_.on("lvcreate",
              "if [ $n -eq 3 ]; then exit 5; fi\n"
              "args=(\"$@\"); origin=\"${args[-1]}\"; vg=\"${origin%%/*}\"\n"
              "while [ $# -gt 0 ]; do [ \"$1\" = -n ] && name=\"$2\"; shift; done\n"
              "mkdir -p \"/dev/$vg\"; mknod \"/dev/$vg/$name\" b 240 9");
    tools_.on("lvremove", "case \"$3\" in *disk-0_vltsnap) echo busy; exit 5;; esac");
    stderr_capture log;
    EXPECT_EQ(run_set(), -1);
    EXPECT_EQ(std::string(msg_), "could not snapshot sata2 (vm-101-disk-2): could not create the snapshot of " +
                                     tools_.vg() + "/vm-101-disk-2: lvcreate failed");
    const std::string vg = tools_.vg();
    EXPECT_EQ(log_lines(log.text()),
              (strings{"WARN  snapshot " + vg + "/vm-101-disk-0_vltsnap still exists after a rollback: "
                       "remove it manually (lvremove " + vg + "/vm-101-disk-0_vltsnap failed: busy)"}));
    // five attempts for the stubborn one, one for the other
    EXPECT_EQ(tools_.calls_of("lvremove").size(), 6u);
}

TEST_F(SnapshotSet, FailedFreezeIsFollowedByOneThaw)
{
    tools_.on("qm", "[ \"$4\" = fsfreeze-freeze ] && { echo 'VM 101 qga command failed - got timeout' >&2; exit 255; }; echo 0");
    stderr_capture log;
    EXPECT_EQ(run_set(), -1);
    EXPECT_STREQ(msg_, "qm guest cmd 101 fsfreeze-freeze failed: VM 101 qga command failed - got timeout");
    EXPECT_EQ(set_.freeze_failed, 1);
    EXPECT_EQ(tools_.call_lines(), (strings{"qm guest cmd 101 fsfreeze-freeze", "qm guest cmd 101 fsfreeze-thaw"}));
    EXPECT_TRUE(log_lines(log.text()).empty());
    EXPECT_EQ(g_cleanup.frozen, 0);
    EXPECT_EQ(current_term_handler(), previous_handler);
}

TEST_F(SnapshotSet, FreezeTimeOutThawsWithTheSameLimitAndWarnsWhenThatFails)
{
    // The agent never answers: the thaw, then the status asked until the
    // deadline, each within the freeze timeout.
    tools_.on("qm", "exec sleep 5");
    thaw_confirm_deadline_ms = 500;
    stderr_capture log;
    EXPECT_EQ(run_set(1), -1);
    EXPECT_STREQ(msg_, "qm guest cmd 101 fsfreeze-freeze timed out after 1 s");
    EXPECT_EQ(tools_.call_lines(), (strings{"qm guest cmd 101 fsfreeze-freeze", "qm guest cmd 101 fsfreeze-thaw",
                                            "qm guest cmd 101 fsfreeze-status"}));
    EXPECT_EQ(log_lines(log.text()),
              (strings{"WARN  VM 101: the guest could not be confirmed thawed within 0.5 s (qm guest cmd 101 "
                       "fsfreeze-status timed out after 1 s) (the guest may still be frozen -- check manually)"}));
    EXPECT_TRUE(tools_.calls_of("lvcreate").empty());
    EXPECT_EQ(set_.thaw_unconfirmed, 1);
}

TEST_F(SnapshotSet, FreezeRefusedByTheGuestAgentIsNotAConsistencyWindow)
{
    // The thaw answers the agent's count, as it does on a host.
    tools_.on("qm", "[ \"$4\" = fsfreeze-freeze ] && echo '{ \"error\" : { \"class\" : \"GenericError\", \"desc\" : \"frozen\" } }'; "
                    "[ \"$4\" = fsfreeze-thaw ] && echo 0; exit 0");
    EXPECT_EQ(run_set(), -1);
    EXPECT_STREQ(msg_, "qm guest cmd 101 fsfreeze-freeze failed: { \"error\" : { \"class\" : \"GenericError\", \"desc\" : \"frozen\" } }");
    EXPECT_TRUE(tools_.calls_of("lvcreate").empty());
    EXPECT_EQ(tools_.calls_of("qm").back(), "guest cmd 101 fsfreeze-thaw");
}

TEST_F(SnapshotSet, WithoutAFreezeTheGuestAgentIsNeverCalled)
{
    stderr_capture log;
    ASSERT_EQ(run_set(5, "vm101", 1), 0) << msg_;
    EXPECT_EQ(tools_.call_lines(), (strings{lvcreate_line("vm-101-disk-0", true), lvcreate_line("vm-101-disk-1", false),
                                            lvcreate_line("vm-101-disk-2", true)}));
    // No consistency window to claim: the caller says what the set is.
    EXPECT_TRUE(log_lines(log.text()).empty());
    EXPECT_GE(set_.window_seconds, 0.0);
    EXPECT_EQ(set_.freeze_failed, 0);
    EXPECT_EQ(g_cleanup.frozen, 0);
    // The snapshots are owned and the handler is in force all the same.
    EXPECT_EQ(g_cleanup.created[2], 1);
    EXPECT_EQ(current_term_handler(), cleanup_on_signal);
    release_signal_handlers();

    // A failure rolls back without a thaw.
    tools_.on("lvcreate", "exit 5");
    EXPECT_EQ(run_set(5, "vm101", 1), -1);
    EXPECT_EQ(set_.freeze_failed, 0);
    EXPECT_EQ(tools_.calls_of("qm").size(), 0u);
    EXPECT_EQ(current_term_handler(), previous_handler);
}

TEST_F(SnapshotSet, FreezeRefusedBecauseNothingRunsGetsNoThaw)
{
    for (const char *refusal : {"VM 101 is not running", "QEMU guest agent is not running",
                                "No QEMU guest agent configured"}) {
        SCOPED_TRACE(refusal);
        unlink(tools_.path("calls").c_str());
        tools_.on("qm", std::string("echo '") + refusal + "' >&2; exit 255");
        stderr_capture log;
        EXPECT_EQ(run_set(), -1);
        EXPECT_EQ(std::string(msg_), std::string("qm guest cmd 101 fsfreeze-freeze failed: ") + refusal);
        EXPECT_EQ(set_.freeze_failed, 1);
        // Nothing was frozen: no thaw, and no warning about a frozen guest.
        EXPECT_EQ(tools_.call_lines(), (strings{"qm guest cmd 101 fsfreeze-freeze"}));
        EXPECT_TRUE(log_lines(log.text()).empty());
        EXPECT_EQ(g_cleanup.frozen, 0);
        EXPECT_EQ(current_term_handler(), previous_handler);
    }
    // Another VM's text is no refusal for this one; an agent's answer and
    // a time out may follow a freeze: each gets its thaw.
    for (const char *output : {"echo 'VM 1011 is not running' >&2; exit 255",
                               "echo '{ \"error\" : { \"desc\" : \"QEMU guest agent is not running\" } }'",
                               "echo \"VM 101 qga command 'guest-fsfreeze-freeze' failed - got timeout\" >&2; exit 255"}) {
        SCOPED_TRACE(output);
        unlink(tools_.path("calls").c_str());
        tools_.on("qm", std::string("[ \"$4\" = fsfreeze-thaw ] && { echo 0; exit 0; }; ") + output);
        EXPECT_EQ(run_set(), -1);
        EXPECT_EQ(set_.freeze_failed, 1);
        EXPECT_EQ(tools_.call_lines(), (strings{"qm guest cmd 101 fsfreeze-freeze", "qm guest cmd 101 fsfreeze-thaw"}));
    }
}

TEST_F(SnapshotSet, FailedThawIsLoggedButTheSetStands)
{
    // The guest stays frozen and every thaw fails: the status is asked and
    // the thaw sent again until the deadline.
    tools_.on("qm", "case \"$4\" in\n"
                    "fsfreeze-thaw) echo 'Agent error: boom'; exit 255;;\n"
                    "fsfreeze-status) echo frozen;;\n"
                    "*) echo 2;;\n"
                    "esac");
    thaw_confirm_deadline_ms = 300;
    thaw_poll_interval_ms = 100;
    stderr_capture log;
    ASSERT_EQ(run_set(), 0) << msg_;
    strings lines = log_lines(log.text());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "ERROR VM 101: the guest could not be confirmed thawed within 0.3 s (qm guest cmd 101 "
                        "fsfreeze-thaw failed: Agent error: boom) (the guest may still be frozen -- check manually)");
    EXPECT_EQ(lines[1].rfind("INFO  VM 101: consistency window", 0), 0u);
    EXPECT_EQ(set_.count, 3u);
    EXPECT_EQ(set_.thaw_unconfirmed, 1);
    // the handler keeps trying should the run be interrupted
    EXPECT_EQ(g_cleanup.frozen, 1);
    strings qm = tools_.calls_of("qm");
    ASSERT_GE(qm.size(), 5u);
    EXPECT_EQ(strings(qm.begin(), qm.begin() + 5),
              (strings{"guest cmd 101 fsfreeze-freeze", "guest cmd 101 fsfreeze-thaw", "guest cmd 101 fsfreeze-status",
                       "guest cmd 101 fsfreeze-thaw", "guest cmd 101 fsfreeze-status"}));
    EXPECT_LE(qm.size(), 10u);  // four rounds at most in 0.3 s: polled, not hammered
}

TEST_F(SnapshotSet, NotLvmDoesNothing)
{
    disks_.rows[1].status = RESOLVED_NOT_LVM;
    strcpy(disks_.rows[1].message, "/x is not an LVM logical volume (storage backend other than LVM/LVM-thin)");
    EXPECT_EQ(run_set(), -1);
    EXPECT_STREQ(msg_, "not every disk is LVM-backed (this version only supports LVM/LVM-thin): virtio1 "
                       "(local-lvm:vm-101-disk-1) not LVM-backed: /x is not an LVM logical volume (storage "
                       "backend other than LVM/LVM-thin)");
    EXPECT_TRUE(tools_.call_lines().empty());
    EXPECT_EQ(current_term_handler(), previous_handler);
}

// Snapshots of inactive origins: a thin one is active at once; a thick one
// comes up inactive and is activated after the thaw, with its origin,
// which is deactivated again once the snapshot is gone.
class InactiveOrigins : public SnapshotSet {
protected:
    void SetUp() override
    {
        SnapshotSet::SetUp();
        if (IsSkipped())
            return;
        // scsi0: inactive thin; virtio1: inactive thick; sata2 active thin.
        for (int i : {0, 1}) {
            lv_info &lv = disks_.rows[i].lv;
            lv.kernel_major = lv.kernel_minor = -1;
            lv.attr[4] = '-';
        }
        // LVM makes no node for the COW snapshot of an inactive origin;
        // lvchange -ay of the snapshot does.
        tools_.on("lvcreate",
                  "args=(\"$@\"); origin=\"${args[-1]}\"; vg=\"${origin%%/*}\"\n"
                  "while [ $# -gt 0 ]; do [ \"$1\" = -n ] && name=\"$2\"; shift; done\n"
                  "[ \"${origin#*/}\" = vm-101-disk-1 ] && exit 0\n"
                  "mkdir -p \"/dev/$vg\"; mknod \"/dev/$vg/$name\" b 240 9");
        tools_.on("lvchange",
                  "[ -f \"$FAKE_DIR/lvchange-fails\" ] && { cat \"$FAKE_DIR/lvchange-fails\"; exit 5; }\n"
                  "[ \"$1\" = -ay ] && { mkdir -p \"/dev/${2%%/*}\"; mknod \"/dev/$2\" b 240 10; }; exit 0");
    }
    std::string vg() const { return tools_.vg(); }
};

TEST_F(InactiveOrigins, ThickSnapshotIsActivatedAfterTheThawAndItsOriginDeactivatedAfterRemoval)
{
    stderr_capture log;
    ASSERT_EQ(run_set(), 0) << msg_;
    EXPECT_EQ(tools_.call_lines(),
              (strings{"qm guest cmd 101 fsfreeze-freeze", lvcreate_line("vm-101-disk-0", true),
                       lvcreate_line("vm-101-disk-1", false), lvcreate_line("vm-101-disk-2", true),
                       "qm guest cmd 101 fsfreeze-thaw", "lvchange -ay " + vg() + "/vm-101-disk-1_vltsnap"}));
    EXPECT_EQ(std::string(set_.rows[1].device_path), "/dev/" + vg() + "/vm-101-disk-1_vltsnap");
    EXPECT_EQ(log_lines(log.text()).back(), "INFO  disk virtio1: " + vg() +
                                                "/vm-101-disk-1 is inactive: activated with its snapshot until the "
                                                "snapshot is removed");
    EXPECT_EQ(g_snapshot_origins.activated[0], 0);
    EXPECT_EQ(g_snapshot_origins.activated[1], 1);

    for (size_t i = 0; i < 3; i++) {
        g_cleanup.created[i] = 0;
        char why[256];
        EXPECT_EQ(release_snapshot(i, set_.rows[i], why, sizeof why), 0) << why;
    }
    strings calls = tools_.call_lines();
    EXPECT_EQ(strings(calls.end() - 4, calls.end()),
              (strings{"lvremove -f -y " + vg() + "/vm-101-disk-0_vltsnap",
                       "lvremove -f -y " + vg() + "/vm-101-disk-1_vltsnap", "lvchange -an " + vg() + "/vm-101-disk-1",
                       "lvremove -f -y " + vg() + "/vm-101-disk-2_vltsnap"}));
    EXPECT_EQ(g_snapshot_origins.activated[1], 0);
}

TEST_F(InactiveOrigins, ActivationThatFailsRollsBackAndDeactivatesTheOrigin)
{
    write_text(tools_.path("lvchange-fails"), "  Failed to activate " + vg() + "/vm-101-disk-1_vltsnap.\n");
    EXPECT_EQ(run_set(), -1);
    EXPECT_EQ(std::string(msg_), "could not activate the snapshot of virtio1 (vm-101-disk-1): lvchange -ay " + vg() +
                                     "/vm-101-disk-1_vltsnap failed:   Failed to activate " + vg() +
                                     "/vm-101-disk-1_vltsnap.");
    strings calls = tools_.call_lines();
    EXPECT_EQ(strings(calls.end() - 6, calls.end()),
              (strings{"qm guest cmd 101 fsfreeze-thaw", "lvchange -ay " + vg() + "/vm-101-disk-1_vltsnap",
                       "lvremove -f -y " + vg() + "/vm-101-disk-0_vltsnap",
                       "lvremove -f -y " + vg() + "/vm-101-disk-1_vltsnap", "lvchange -an " + vg() + "/vm-101-disk-1",
                       "lvremove -f -y " + vg() + "/vm-101-disk-2_vltsnap"}));
    EXPECT_EQ(g_snapshot_origins.activated[1], 0);
    EXPECT_EQ(current_term_handler(), previous_handler);
}

TEST_F(InactiveOrigins, AnOriginThatStaysActiveIsWarned)
{
    ASSERT_EQ(run_set(), 0) << msg_;
    write_text(tools_.path("lvchange-fails"), "  Logical volume " + vg() + "/vm-101-disk-1 in use.\n");
    stderr_capture log;
    char why[256];
    g_cleanup.created[1] = 0;
    EXPECT_EQ(release_snapshot(1, set_.rows[1], why, sizeof why), 0) << why;
    const std::string origin = vg() + "/vm-101-disk-1";
    EXPECT_EQ(log_lines(log.text()),
              (strings{"WARN  " + origin + " was activated for the backup and is still active (lvchange -an " + origin +
                       " failed:   Logical volume " + origin + " in use.): deactivate it with 'lvchange -an " +
                       origin + "' unless its VM runs now"}));
}

// The node-wide lock of the snapshot phase: exclusive while held (another
// process's try fails), given back by release() and by its end, in a file
// of the run directory that only root may use.
TEST_F(SnapshotSet, SnapshotPhaseLockIsExclusiveUntilReleased)
{
    const std::string lock = tools_.path("run/") + snapshot_phase_file;
    const std::string probe = "flock -n '" + lock + "' true";
    snapshot_phase phase;
    ASSERT_EQ(phase.take(msg_, sizeof msg_), 0) << msg_;
    EXPECT_TRUE(phase.held());
    struct stat st;
    ASSERT_EQ(stat(lock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_NE(system(probe.c_str()), 0);
    phase.release();
    EXPECT_FALSE(phase.held());
    EXPECT_EQ(system(probe.c_str()), 0);
    {
        snapshot_phase scoped;
        ASSERT_EQ(scoped.take(msg_, sizeof msg_), 0) << msg_;
        EXPECT_NE(system(probe.c_str()), 0);
    }
    EXPECT_EQ(system(probe.c_str()), 0);
}

// A run directory that cannot be used: no lock, and the reason.
TEST_F(SnapshotSet, SnapshotPhaseRefusesAnUnusableRunDirectory)
{
    ASSERT_EQ(mkdir(tools_.path("run").c_str(), 0700), 0);
    ASSERT_EQ(chmod(tools_.path("run").c_str(), 0777), 0);
    snapshot_phase phase;
    EXPECT_EQ(phase.take(msg_, sizeof msg_), -1);
    EXPECT_FALSE(phase.held());
    EXPECT_EQ(std::string(msg_), "cannot use the lock directory " + tools_.path("run") +
                                     ": its mode 0777 lets other users write to it");
}

}  // namespace
