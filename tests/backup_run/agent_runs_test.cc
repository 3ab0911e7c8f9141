// The agent runs: exact argument vectors, exit statuses, the snapshot
// removed after every outcome, the configuration job's temporary file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstring>
#include <string>
#include <vector>

#include "backup/agent_runs.h"
#include "fake_tools.h"

namespace {

using strings = std::vector<std::string>;

class AgentRuns : public ::testing::Test {
protected:
    void SetUp() override
    {
        snapshot_retry_delay_ms = 1;
        set_.count = 2;
        for (int i = 0; i < 2; i++) {
            snapshot_entry &e = set_.rows[i];
            snprintf(e.volume.slot, sizeof e.volume.slot, "scsi%d", i);
            strcpy(e.vg_name, "pve");
            snprintf(e.snapshot_lv_name, sizeof e.snapshot_lv_name, "vm-101-disk-%d_vltsnap", i);
            snprintf(e.device_path, sizeof e.device_path, "/dev/pve/vm-101-disk-%d_vltsnap", i);
            g_cleanup.created[i] = 1;
        }
        // The agent records its arguments one per line, and its pid.
        tools_.on("vlt_agent", "printf '%s\\n' \"$@\" > \"$FAKE_DIR/argv.$n\"; echo $$ > \"$FAKE_DIR/pid.$n\"");
    }
    void TearDown() override
    {
        snapshot_retry_delay_ms = 1000;
        for (int i = 0; i < 2; i++)
            g_cleanup.created[i] = 0;
    }

    strings agent_argv(int n) { return tools_.read_lines("argv." + std::to_string(n)); }

    fake_tools tools_;
    snapshot_set set_{};
    char msg_[256] = "";
};

TEST_F(AgentRuns, DiskJobArgumentsThenRemoval)
{
    const char *fwd[] = {"--out", "/backup"};
    ASSERT_EQ(run_disk_job(&set_, 0, "vm101-scsi0", fwd, 2, msg_, sizeof msg_), 0) << msg_;
    EXPECT_STREQ(msg_, "");
    EXPECT_EQ(agent_argv(1), (strings{"--source", "/dev/pve/vm-101-disk-0_vltsnap", "--snapshot", "off", "--name",
                                      "vm101-scsi0", "--out", "/backup"}));
    EXPECT_EQ(tools_.call_lines().back(), "lvremove -f -y pve/vm-101-disk-0_vltsnap");
    EXPECT_EQ(g_cleanup.created[0], 0);
    EXPECT_EQ(g_cleanup.created[1], 1);
    EXPECT_EQ(g_cleanup.agent_pid, 0);
}

TEST_F(AgentRuns, AtMostOneHundredTwentyForwardedArguments)
{
    std::vector<std::string> storage;
    for (int i = 0; i < 130; i++)
        storage.push_back("a" + std::to_string(i));
    std::vector<const char *> fwd;
    for (auto &s : storage)
        fwd.push_back(s.c_str());
    ASSERT_EQ(run_disk_job(&set_, 1, "vm101-scsi1", fwd.data(), 130, msg_, sizeof msg_), 0) << msg_;
    strings argv = agent_argv(1);
    ASSERT_EQ(argv.size(), 126u);  // six fixed arguments after the program name, then 120
    EXPECT_EQ(argv[6], "a0");
    EXPECT_EQ(argv.back(), "a119");
}

TEST_F(AgentRuns, FailedAgentStillRemovesItsSnapshot)
{
    tools_.on("vlt_agent", "exit 3");
    EXPECT_EQ(run_disk_job(&set_, 0, "j", nullptr, 0, msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "vlt_agent exited with code 3");
    EXPECT_EQ(tools_.calls_of("lvremove"), (strings{"-f -y pve/vm-101-disk-0_vltsnap"}));
    EXPECT_EQ(g_cleanup.created[0], 0);
}

TEST_F(AgentRuns, AgentKilledBySignal)
{
    tools_.on("vlt_agent", "kill -KILL $$");
    EXPECT_EQ(run_disk_job(&set_, 0, "j", nullptr, 0, msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "vlt_agent exited with code -1");
    EXPECT_EQ(tools_.calls_of("lvremove").size(), 1u);
}

TEST_F(AgentRuns, AgentMissingIs127)
{
    tools_.remove("vlt_agent");
    std::string saved = getenv("PATH");
    // Keep only the fakes: no real vlt_agent may be found elsewhere.
    setenv("PATH", (tools_.dir() + "/bin").c_str(), 1);
    int32_t rc = run_disk_job(&set_, 0, "j", nullptr, 0, msg_, sizeof msg_);
    setenv("PATH", saved.c_str(), 1);
    EXPECT_EQ(rc, -1);
    EXPECT_STREQ(msg_, "vlt_agent exited with code 127");
    EXPECT_EQ(tools_.calls_of("lvremove").size(), 1u);
}

TEST_F(AgentRuns, RemovalFailures)
{
    tools_.on("lvremove", "echo '  Logical volume pve/x in use.'; exit 5");
    stderr_capture log;
    EXPECT_EQ(run_disk_job(&set_, 0, "j", nullptr, 0, msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "backup succeeded, but could not remove the snapshot: lvremove pve/vm-101-disk-0_vltsnap "
                       "failed:   Logical volume pve/x in use.");
    EXPECT_TRUE(log_lines(log.text()).empty());
    EXPECT_EQ(tools_.calls_of("lvremove").size(), 5u);

    tools_.on("vlt_agent", "exit 4");
    stderr_capture log2;
    EXPECT_EQ(run_disk_job(&set_, 1, "j", nullptr, 0, msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "vlt_agent exited with code 4");
    EXPECT_EQ(log_lines(log2.text()),
              (strings{"WARN  snapshot pve/vm-101-disk-1_vltsnap still exists after a failed backup: remove it "
                       "manually (lvremove pve/vm-101-disk-1_vltsnap failed:   Logical volume pve/x in use.)"}));
}

pid_t failing_fork()
{
    errno = EAGAIN;
    return -1;
}

TEST_F(AgentRuns, AgentThatCannotBeCreatedStillGivesUpItsSnapshot)
{
    agent_fork = failing_fork;
    int32_t rc = run_disk_job(&set_, 1, "j", nullptr, 0, msg_, sizeof msg_);
    char config_msg[256];
    int32_t config_rc = run_vmconfig_job("memory: 1\n", "j", nullptr, 0, config_msg, sizeof config_msg);
    agent_fork = fork;
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(std::string(msg_), std::string("fork failed: ") + strerror(EAGAIN));
    EXPECT_EQ(tools_.call_lines(), (strings{"lvremove -f -y pve/vm-101-disk-1_vltsnap"}));
    EXPECT_EQ(g_cleanup.created[1], 0);
    EXPECT_EQ(config_rc, -1);
    EXPECT_EQ(std::string(config_msg), std::string("fork failed: ") + strerror(EAGAIN));
}

TEST_F(AgentRuns, IndexOutOfRange)
{
    EXPECT_EQ(run_disk_job(&set_, 2, "j", nullptr, 0, msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "disk index 2 out of range");
    EXPECT_TRUE(tools_.call_lines().empty());
}

TEST_F(AgentRuns, ConfigJobGetsTheExactTextInAPrivateFileThatIsRemoved)
{
    tools_.on("vlt_agent",
              "printf '%s\\n' \"$@\" > \"$FAKE_DIR/argv.$n\"; cp \"$2\" \"$FAKE_DIR/copy\"; "
              "stat -c %a \"$2\" > \"$FAKE_DIR/mode\"");
    const char text[] = "boot: order=scsi0\nscsi0: local-lvm:vm-101-disk-0,size=4M\ndescription: a%3Ab";
    const char *fwd[] = {"--out", "/b"};
    ASSERT_EQ(run_vmconfig_job(text, "vm101-vmconfig", fwd, 2, msg_, sizeof msg_), 0) << msg_;
    strings argv = agent_argv(1);
    ASSERT_EQ(argv.size(), 8u);
    EXPECT_EQ(argv[0], "--source");
    EXPECT_TRUE(like(argv[1], "/tmp/vlt_proxmox_vmconfig.[A-Za-z0-9][A-Za-z0-9][A-Za-z0-9][A-Za-z0-9][A-Za-z0-9][A-Za-z0-9]")) << argv[1];
    EXPECT_EQ(strings(argv.begin() + 2, argv.end()),
              (strings{"--snapshot", "off", "--name", "vm101-vmconfig", "--out", "/b"}));
    EXPECT_EQ(tools_.read("copy"), text);
    EXPECT_EQ(tools_.read("mode"), "600\n");
    struct stat st;
    EXPECT_NE(stat(argv[1].c_str(), &st), 0);
    EXPECT_TRUE(tools_.calls_of("lvremove").empty());
}

TEST_F(AgentRuns, FailedConfigJobRemovesItsFileToo)
{
    tools_.on("vlt_agent", "echo \"$2\" > \"$FAKE_DIR/src\"; exit 9");
    EXPECT_EQ(run_vmconfig_job("", "vm101-vmconfig", nullptr, 0, msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "vlt_agent exited with code 9");
    std::string src = tools_.read("src");
    ASSERT_FALSE(src.empty());
    src.pop_back();
    struct stat st;
    EXPECT_NE(stat(src.c_str(), &st), 0);
}

// A check that says "stop" after a number of looks, and counts them.
struct stopping_check {
    int looks = 0;
    int stop_after = 2;
    int32_t verdict = AGENT_STOP_DISK;
    size_t seen_index = 99;
};

int32_t check_and_stop(void *ctx, size_t index, char *why, size_t why_size)
{
    auto *c = static_cast<stopping_check *>(ctx);
    c->seen_index = index;
    if (++c->looks < c->stop_after)
        return AGENT_GO_ON;
    snprintf(why, why_size, "stopped after %d looks", c->looks);
    return c->verdict;
}

int32_t refuse_after(void *, size_t index, char *why, size_t why_size)
{
    snprintf(why, why_size, "snapshot %zu went bad", index);
    return -1;
}

class LimitedAgentRuns : public AgentRuns {
protected:
    void SetUp() override
    {
        AgentRuns::SetUp();
        // An agent that takes its time and says how it ended.
        tools_.on("vlt_agent",
                  "trap 'echo term >> \"$FAKE_DIR/ended\"; exit 143' TERM\n"
                  "echo $$ > \"$FAKE_DIR/pid.$n\"; sleep 30 & wait");
    }
    void TearDown() override
    {
        agent_stop_grace_ms = 5000;
        AgentRuns::TearDown();
    }
    bool stop_run_ = true;
};

TEST_F(LimitedAgentRuns, TimeLimitStopsTheAgentAndItsSnapshotGoes)
{
    agent_limits limits;
    limits.time_limit_s = 1;
    ASSERT_EQ(run_disk_job_limited(&set_, 0, "vm101-scsi0", nullptr, 0, limits, &stop_run_, msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "vlt_agent ran longer than the time limit of 1 s (--agent-timeout) and was stopped");
    EXPECT_FALSE(stop_run_);
    EXPECT_EQ(tools_.read("ended"), "term\n");
    EXPECT_EQ(tools_.call_lines().back(), "lvremove -f -y pve/vm-101-disk-0_vltsnap");
    EXPECT_EQ(g_cleanup.created[0], 0);
    EXPECT_EQ(g_cleanup.agent_pid, 0);

    // One that ignores SIGTERM is killed after the grace time, and reaped.
    agent_stop_grace_ms = 100;
    tools_.on("vlt_agent", "trap '' TERM; echo $$ > \"$FAKE_DIR/pid.$n\"; while :; do sleep 0.05; done");
    ASSERT_EQ(run_disk_job_limited(&set_, 1, "vm101-scsi1", nullptr, 0, limits, &stop_run_, msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "vlt_agent ran longer than the time limit of 1 s (--agent-timeout) and was stopped");
    pid_t agent = std::stoi(tools_.read("pid.2"));
    EXPECT_EQ(kill(agent, 0), -1);
    EXPECT_EQ(tools_.calls_of("lvremove").size(), 2u);
}

TEST_F(LimitedAgentRuns, ACheckStopsTheDiskOrTheWholeRun)
{
    stopping_check check;
    agent_limits limits;
    limits.check_interval_ms = 20;
    limits.check = check_and_stop;
    limits.ctx = &check;
    ASSERT_EQ(run_disk_job_limited(&set_, 1, "vm101-scsi1", nullptr, 0, limits, &stop_run_, msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "stopped after 2 looks");
    EXPECT_FALSE(stop_run_);
    EXPECT_EQ(check.seen_index, 1u);
    EXPECT_EQ(tools_.read("ended"), "term\n");
    EXPECT_EQ(tools_.calls_of("lvremove"), (strings{"-f -y pve/vm-101-disk-1_vltsnap"}));

    check = stopping_check{};
    check.verdict = AGENT_STOP_RUN;
    ASSERT_EQ(run_disk_job_limited(&set_, 0, "vm101-scsi0", nullptr, 0, limits, &stop_run_, msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "stopped after 2 looks");
    EXPECT_TRUE(stop_run_);
    EXPECT_EQ(tools_.calls_of("lvremove").size(), 2u);

    // An agent that ends before the first look is never looked at.
    tools_.on("vlt_agent", "exit 0");
    check = stopping_check{};
    limits.check_interval_ms = 60000;
    ASSERT_EQ(run_disk_job_limited(&set_, 0, "vm101-scsi0", nullptr, 0, limits, &stop_run_, msg_, sizeof msg_), 0)
        << msg_;
    EXPECT_EQ(check.looks, 0);
    EXPECT_FALSE(stop_run_);
}

TEST_F(LimitedAgentRuns, ACheckAfterTheReadCanStillFailTheDisk)
{
    tools_.on("vlt_agent", "exit 0");
    agent_limits limits;
    limits.check_after = refuse_after;
    ASSERT_EQ(run_disk_job_limited(&set_, 1, "vm101-scsi1", nullptr, 0, limits, &stop_run_, msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "snapshot 1 went bad");
    EXPECT_EQ(tools_.calls_of("lvremove"), (strings{"-f -y pve/vm-101-disk-1_vltsnap"}));

    // A failed agent is not looked at afterwards: its own failure is the news.
    tools_.on("vlt_agent", "exit 6");
    ASSERT_EQ(run_disk_job_limited(&set_, 0, "vm101-scsi0", nullptr, 0, limits, &stop_run_, msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "vlt_agent exited with code 6");
}

TEST_F(LimitedAgentRuns, ConfigJobUnderTheTimeLimit)
{
    tools_.on("vlt_agent",
              "echo \"$2\" > \"$FAKE_DIR/src\"; trap 'exit 143' TERM; sleep 30 & wait");
    EXPECT_EQ(run_vmconfig_job_limited("memory: 1\n", "vm101-vmconfig", nullptr, 0, 1, msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "vlt_agent ran longer than the time limit of 1 s (--agent-timeout) and was stopped");
    std::string src = tools_.read("src");
    ASSERT_FALSE(src.empty());
    src.pop_back();
    struct stat st;
    EXPECT_NE(stat(src.c_str(), &st), 0);
}

}  // namespace
