// The VM's side of a backup's consistency: the agent property string, the
// policy word, qm status and its bad answers, the lock refusal, and the
// decision for every state under every policy.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "backup/vm_state.h"
#include "common/log.h"
#include "common/runner.h"
#include "fake_tools.h"

namespace {

using strings = std::vector<std::string>;

TEST(AgentSetting, PropertyStringForms)
{
    struct row {
        const char *value;
        int32_t enabled;
        int32_t freeze_fs;
    } const rows[] = {
        {nullptr, 0, 1},
        {"", 0, 1},
        {"1", 1, 1},
        {"0", 0, 1},
        {"enabled=1", 1, 1},
        {"enabled=0", 0, 1},
        {"enabled=1,freeze-fs=0", 1, 0},
        {"1,freeze-fs-on-backup=0", 1, 0},
        {"1,guest-fsfreeze=0", 1, 0},
        {"1,freeze-fs-on-backup=1", 1, 1},
        {" 1 , freeze-fs = 0 ", 1, 0},
        {"yes", 1, 1},
        {"On,freeze-fs=False", 1, 0},
        {"TRUE,type=isa,fstrim_cloned_disks=1", 1, 1},
        {"type=virtio,enabled=1", 1, 1},
        // The freeze is off as soon as one of its three names says so.
        {"1,freeze-fs=1,guest-fsfreeze=0", 1, 0},
        // A value that is no boolean leaves the defaults.
        {"maybe", 0, 1},
        {"1,freeze-fs=perhaps", 1, 1},
        {"enabled=", 0, 1},
        // freeze-fs=0 without an enabled agent: the agent stays off.
        {"freeze-fs=0", 0, 0},
    };
    for (const row &r : rows) {
        agent_setting got{7, 7};
        parse_agent_setting(r.value, &got);
        EXPECT_EQ(got.enabled, r.enabled) << (r.value != nullptr ? r.value : "(null)");
        EXPECT_EQ(got.freeze_fs, r.freeze_fs) << (r.value != nullptr ? r.value : "(null)");
    }
}

TEST(ConsistencyPolicy, ThreeWordsExactly)
{
    consistency_policy p = CONSISTENCY_CRASH;
    ASSERT_EQ(parse_consistency_policy("fs", &p), 0);
    EXPECT_EQ(p, CONSISTENCY_FS);
    ASSERT_EQ(parse_consistency_policy("try", &p), 0);
    EXPECT_EQ(p, CONSISTENCY_TRY);
    ASSERT_EQ(parse_consistency_policy("crash", &p), 0);
    EXPECT_EQ(p, CONSISTENCY_CRASH);
    for (const char *bad : {"FS", "", "try ", "crash-consistent", "none"}) {
        EXPECT_EQ(parse_consistency_policy(bad, &p), -1) << bad;
        EXPECT_EQ(p, CONSISTENCY_CRASH);
    }
    EXPECT_EQ(parse_consistency_policy(nullptr, &p), -1);
}

TEST(QmStatusOutput, OneStatusLineAfterAnyLocaleWarning)
{
    char state[RUN_STATE_SIZE];
    ASSERT_EQ(parse_qm_status("status: running\n", state, sizeof state), 0);
    EXPECT_STREQ(state, "running");
    ASSERT_EQ(parse_qm_status("status: stopped", state, sizeof state), 0);
    EXPECT_STREQ(state, "stopped");
    ASSERT_EQ(parse_qm_status("\nstatus: io-error\r\n\n", state, sizeof state), 0);
    EXPECT_STREQ(state, "io-error");
    ASSERT_EQ(parse_qm_status("perl: warning: Setting locale failed.\n"
                              "perl: warning: Please check that your locale settings:\n"
                              "\tLANGUAGE = (unset),\n"
                              "\tLC_ALL = (unset),\n"
                              "\tLANG = \"en_US.UTF-8\"\n"
                              "    are supported and installed on your system.\n"
                              "perl: warning: Falling back to the standard locale (\"C\").\n"
                              "status: paused\n",
                              state, sizeof state),
              0);
    EXPECT_STREQ(state, "paused");

    for (const char *bad : {"", "\n", "status:", "status: ", "status: Running", "status: running now",
                            "qmpstatus: running", "status: running\nstatus: paused", "status: running\nuptime: 5",
                            "Configuration file 'nodes/pve/qemu-server/101.conf' does not exist",
                            "status: a-state-name-that-is-far-too-long-to-be-one"}) {
        strcpy(state, "x");
        EXPECT_EQ(parse_qm_status(bad, state, sizeof state), -1) << bad;
        EXPECT_STREQ(state, "") << bad;
    }
}

TEST(LockedVm, RefusedWithTheLockNamed)
{
    char msg[256];
    EXPECT_EQ(check_vm_unlocked("101", "agent: 1\nscsi0: a:b\n", msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "");
    // A snapshot section's own lock line is history, not a lock.
    EXPECT_EQ(check_vm_unlocked("101", "agent: 1\n[snap]\nlock: snapshot\n", msg, sizeof msg), 0);
    EXPECT_EQ(check_vm_unlocked("101", "agent: 1\nlock: backup\nscsi0: a:b\n", msg, sizeof msg), -1);
    EXPECT_STREQ(msg, "VM 101 is locked (backup): try again when that operation has finished");
    EXPECT_EQ(check_vm_unlocked("7", "lock: migrate", msg, sizeof msg), -1);
    EXPECT_STREQ(msg, "VM 7 is locked (migrate): try again when that operation has finished");
}

// The decision for each kind of VM under each policy: what happens, the
// word the summary shows, how it came about, and the line the log gets.
TEST(Decision, EveryStateUnderEveryPolicy)
{
    struct row {
        const char *what;
        const char *config;
        const char *state;
        consistency_policy policy;
        freeze_decision decision;
        const char *word;
        const char *reason;
        const char *note;  // "LEVEL text", or empty
    } const rows[] = {
        {"answering agent", "agent: 1\n", "running", CONSISTENCY_FS, DECIDE_FREEZE, "fs", "frozen by the guest agent", ""},
        {"answering agent", "agent: 1\n", "running", CONSISTENCY_TRY, DECIDE_FREEZE, "fs", "frozen by the guest agent", ""},
        {"answering agent", "agent: 1\n", "running", CONSISTENCY_CRASH, DECIDE_CRASH, "crash", "--consistency crash", ""},
        {"no agent line", "memory: 512\n", "running", CONSISTENCY_FS, DECIDE_REFUSE, "none",
         "the guest agent is not enabled in the VM's configuration", ""},
        {"agent: 0", "agent: 0\n", "running", CONSISTENCY_TRY, DECIDE_CRASH, "crash",
         "the guest agent is not enabled in the VM's configuration",
         "WARN VM 101: backing up crash-consistent (the guest agent is not enabled in the VM's configuration)"},
        {"agent: enabled=0", "agent: enabled=0,freeze-fs=1\n", "running", CONSISTENCY_CRASH, DECIDE_CRASH, "crash",
         "--consistency crash", ""},
        {"freeze turned off", "agent: 1,freeze-fs-on-backup=0\n", "running", CONSISTENCY_FS, DECIDE_CRASH, "crash",
         "the VM's own agent setting turns the freeze off",
         "INFO VM 101: the VM's own setting turns the freeze off (agent: 1,freeze-fs-on-backup=0): snapshots "
         "without a freeze, crash-consistent"},
        {"freeze turned off", "agent: enabled=1,freeze-fs=0\n", "running", CONSISTENCY_CRASH, DECIDE_CRASH, "crash",
         "the VM's own agent setting turns the freeze off",
         "INFO VM 101: the VM's own setting turns the freeze off (agent: enabled=1,freeze-fs=0): snapshots without "
         "a freeze, crash-consistent"},
        {"paused", "agent: 1\n", "paused", CONSISTENCY_FS, DECIDE_REFUSE, "none", "the VM's run state is paused", ""},
        {"paused", "agent: 1\n", "paused", CONSISTENCY_TRY, DECIDE_CRASH, "crash", "the VM's run state is paused",
         "WARN VM 101: backing up crash-consistent (the VM's run state is paused)"},
        {"in migration", "agent: 1\n", "inmigrate", CONSISTENCY_CRASH, DECIDE_CRASH, "crash", "--consistency crash",
         ""},
        {"stopped", "agent: 1\n", "stopped", CONSISTENCY_FS, DECIDE_STOPPED, "stopped", "the VM is stopped",
         "INFO VM 101 is stopped: its disks are consistent without a freeze"},
        {"stopped, no agent", "memory: 1\n", "stopped", CONSISTENCY_TRY, DECIDE_STOPPED, "stopped", "the VM is stopped",
         "INFO VM 101 is stopped: its disks are consistent without a freeze"},
        {"stopped", "agent: 1\n", "stopped", CONSISTENCY_CRASH, DECIDE_STOPPED, "stopped", "the VM is stopped",
         "INFO VM 101 is stopped: its disks are consistent without a freeze"},
        {"template", "agent: 1\ntemplate: 1\n", "stopped", CONSISTENCY_FS, DECIDE_STOPPED, "stopped",
         "the VM is a template", "INFO VM 101 is a template: its disks are consistent without a freeze"},
        {"template: 0", "agent: 1\ntemplate: 0\n", "running", CONSISTENCY_FS, DECIDE_FREEZE, "fs",
         "frozen by the guest agent", ""},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(std::string(r.what) + " / " + std::to_string(r.policy));
        freeze_plan plan;
        decide_consistency("101", r.config, r.state, r.policy, &plan);
        EXPECT_EQ(plan.decision, r.decision);
        EXPECT_STREQ(consistency_word(&plan), r.word);
        EXPECT_STREQ(plan.reason, r.reason);
        std::string note;
        if (plan.note[0] != '\0')
            note = std::string(plan.note_level == LOG_LEVEL_WARN ? "WARN " : "INFO ") + plan.note;
        EXPECT_EQ(note, r.note);
    }
}

class RunState : public ::testing::Test {
protected:
    void TearDown() override
    {
        vm_status_time_limit = 30;
        runner_kill_grace_seconds = 300;
    }
    int32_t read(std::string *state_out = nullptr)
    {
        char state[RUN_STATE_SIZE] = "x";
        msg_[0] = 'x';
        int32_t rc = read_run_state("101", state, sizeof state, msg_, sizeof msg_);
        if (state_out != nullptr)
            *state_out = state;
        return rc;
    }
    fake_tools tools_;
    char msg_[512];
};

TEST_F(RunState, ReadsTheStateAndNamesWhatWentWrong)
{
    std::string state;
    tools_.on("qm", "echo 'status: prelaunch'");
    ASSERT_EQ(read(&state), 0) << msg_;
    EXPECT_EQ(state, "prelaunch");
    EXPECT_STREQ(msg_, "");
    EXPECT_EQ(tools_.call_lines(), (strings{"qm status 101"}));

    tools_.on("qm", "echo \"Configuration file 'nodes/pve/qemu-server/101.conf' does not exist\" >&2; exit 255");
    EXPECT_EQ(read(&state), -1);
    EXPECT_EQ(state, "");
    EXPECT_STREQ(msg_, "qm status 101 failed: Configuration file 'nodes/pve/qemu-server/101.conf' does not exist");

    tools_.on("qm", "exit 1");
    EXPECT_EQ(read(), -1);
    EXPECT_STREQ(msg_, "qm status 101 failed: unknown error");

    tools_.on("qm", "exit 0");
    EXPECT_EQ(read(), -1);
    EXPECT_STREQ(msg_, "qm status 101 printed nothing (expected \"status: <state>\")");

    // What it printed is quoted on one line, control bytes and all.
    tools_.on("qm", "printf 'cpus: 1\\nstatus: running\\n\\001\\377'");
    EXPECT_EQ(read(), -1);
    EXPECT_STREQ(msg_, "qm status 101 printed something unexpected (expected \"status: <state>\"): "
                       "cpus: 1 status: running ??");

    tools_.on("qm", "head -c 5000 /dev/zero | tr '\\0' 'y'");
    EXPECT_EQ(read(), -1);
    EXPECT_EQ(std::string(msg_), "qm status 101 printed something unexpected (expected \"status: <state>\"): " +
                                     std::string(200, 'y'));

    tools_.remove("qm");
    EXPECT_EQ(read(), -1);
    EXPECT_STREQ(msg_, "qm is not available (not running on a Proxmox VE host?)");
}

TEST_F(RunState, TimeLimit)
{
    vm_status_time_limit = 1;
    runner_kill_grace_seconds = 1;
    tools_.on("qm", "exec sleep 30");
    EXPECT_EQ(read(), -1);
    EXPECT_STREQ(msg_, "qm status 101 timed out after 1 s");
}

}  // namespace
