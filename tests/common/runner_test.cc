// The runner against real shell one-liners: capture, truncation, exit
// codes, time limits with SIGTERM and SIGKILL, and reaping.
#include "common/runner.h"
#include "tests/support/test_util.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) {
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// No child of the test process is left, not even a zombie.
bool no_children_left() {
    int status;
    return waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

// A process is gone when it no longer exists or is only a zombie waiting
// for a parent that is not us.
bool process_gone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return true;
    std::string line;
    std::getline(stat, line);
    size_t paren = line.rfind(')');
    return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'Z';
}

bool wait_gone(pid_t pid) {
    for (int i = 0; i < 50; i++) {
        if (process_gone(pid)) return true;
        usleep(20000);
    }
    return false;
}

struct RunOutcome {
    int32_t rc;
    command_result res;
    std::string out;
    double seconds;
};

RunOutcome run_sh(const char *script, uint32_t limit, size_t buf_size = 4096) {
    const char *argv[] = {"sh", "-c", script, nullptr};
    std::vector<char> buf(buf_size, 'Q');
    RunOutcome r;
    r.res = {77, 77};
    auto t0 = clock_type::now();
    r.rc = run_command(argv, limit, buf.data(), buf.size(), &r.res);
    r.seconds = seconds_since(t0);
    r.out = std::string(buf.data());
    return r;
}

struct RunnerTest : testing::Test {
    void SetUp() override { runner_kill_grace_seconds = 300; }
    void TearDown() override {
        runner_kill_grace_seconds = 300;
        EXPECT_TRUE(no_children_left());
    }
};

TEST_F(RunnerTest, LargeOutputIsCutWithoutBlockingTheChild) {
    RunOutcome r = run_sh("i=0; while [ $i -lt 10000 ]; do printf '%05d\\n\\n\\n\\n\\n' $i; i=$((i+1)); done",
                   30, 1024);
    EXPECT_EQ(0, r.rc);
    EXPECT_EQ(0, r.res.exit_code);
    EXPECT_EQ(0, r.res.timed_out);
    std::string expected;
    for (int i = 0; expected.size() < 1023; i++) {
        char line[16];
        snprintf(line, sizeof line, "%05d\n\n\n\n\n", i);
        expected += line;
    }
    EXPECT_EQ(expected.substr(0, 1023), r.out);
}

TEST_F(RunnerTest, LargeOutputArrivesWholeAndInOrder) {
    // Far more than one read and than the pipe holds, into a buffer with
    // room for all of it, and into one that ends exactly with the output.
    const char *script = "i=0; while [ $i -lt 40000 ]; do echo line-$i; i=$((i+1)); done";
    std::string expected;
    for (int i = 0; i < 40000; i++) expected += "line-" + std::to_string(i) + "\n";

    RunOutcome roomy = run_sh(script, 60, expected.size() + 4096);
    EXPECT_EQ(0, roomy.res.exit_code);
    EXPECT_EQ(expected, roomy.out);

    RunOutcome exact = run_sh(script, 60, expected.size() + 1);
    EXPECT_EQ(0, exact.res.exit_code);
    EXPECT_EQ(expected, exact.out);

    RunOutcome short_by_one = run_sh(script, 60, expected.size());
    EXPECT_EQ(0, short_by_one.res.exit_code);
    EXPECT_EQ(expected.substr(0, expected.size() - 1), short_by_one.out);
}

TEST_F(RunnerTest, StandardErrorAndExitStatus) {
    RunOutcome err = run_sh("echo oops >&2", 30);
    EXPECT_EQ(0, err.rc);
    EXPECT_EQ(0, err.res.exit_code);
    EXPECT_EQ("oops\n", err.out);

    RunOutcome three = run_sh("echo out; echo err >&2; exit 3", 30);
    EXPECT_EQ(0, three.rc);
    EXPECT_EQ(3, three.res.exit_code);
    EXPECT_EQ(0, three.res.timed_out);
    EXPECT_EQ("out\nerr\n", three.out);

    RunOutcome killed = run_sh("echo before; kill -9 $$", 30);
    EXPECT_EQ(0, killed.rc);
    EXPECT_EQ(-1, killed.res.exit_code);
    EXPECT_EQ(0, killed.res.timed_out);
    EXPECT_EQ("before\n", killed.out);

    RunOutcome tiny = run_sh("echo something", 30, 1);
    EXPECT_EQ(0, tiny.res.exit_code);
    EXPECT_EQ("", tiny.out);
}

TEST_F(RunnerTest, MissingProgramExits127) {
    const char *argv[] = {"vlt-no-such-tool-anywhere", "--help", nullptr};
    char buf[64] = "stale";
    command_result res = {5, 5};
    EXPECT_EQ(0, run_command(argv, 30, buf, sizeof buf, &res));
    EXPECT_EQ(127, res.exit_code);
    EXPECT_EQ(0, res.timed_out);
    EXPECT_STREQ("", buf);

    const char *empty[] = {nullptr};
    res = {5, 5};
    EXPECT_EQ(-1, run_command(empty, 30, buf, sizeof buf, &res));
    EXPECT_EQ(-1, res.exit_code);
    EXPECT_EQ(0, res.timed_out);
}

TEST_F(RunnerTest, OutputLeftInThePipeAfterExitIsCollected) {
    // 60000 bytes fit in the pipe, so the child exits at once; most of the
    // text is still unread when the runner sees it has ended.
    RunOutcome r = run_sh("head -c 60000 /dev/zero | tr '\\0' x", 30, 70000);
    EXPECT_EQ(0, r.res.exit_code);
    EXPECT_EQ(std::string(60000, 'x'), r.out);
}

TEST_F(RunnerTest, TimeLimitTerminatesTheGroup) {
    const char *argv[] = {"sleep", "100", nullptr};
    char buf[64];
    command_result res;
    auto t0 = clock_type::now();
    EXPECT_EQ(0, run_command(argv, 2, buf, sizeof buf, &res));
    double took = seconds_since(t0);
    EXPECT_EQ(1, res.timed_out);
    EXPECT_EQ(-1, res.exit_code);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 3.0);

    // A process the tool started in its group ends with it.
    RunOutcome group = run_sh("sleep 100 & echo $!; wait", 1);
    EXPECT_EQ(1, group.res.timed_out);
    pid_t grandchild = atoi(group.out.c_str());
    ASSERT_GT(grandchild, 0);
    EXPECT_TRUE(wait_gone(grandchild));
}

TEST_F(RunnerTest, OneSecondIsAWholeSecondWhenTheClocksSecondTurnsSoon) {
    // Started just before the monotonic clock's second turns, a command
    // that takes a fraction of a second keeps its whole second.
    for (int attempt = 0; attempt < 2; attempt++) {
        struct timespec ts;
        do {
            clock_gettime(CLOCK_MONOTONIC, &ts);
        } while (ts.tv_nsec < 900000000L);
        RunOutcome r = run_sh("sleep 0.2; echo done", 1);
        EXPECT_EQ(0, r.res.timed_out) << "attempt " << attempt;
        EXPECT_EQ(0, r.res.exit_code);
        EXPECT_EQ("done\n", r.out);
    }
}

TEST_F(RunnerTest, ZeroLimitAndCaughtTermination) {
    RunOutcome zero = run_sh("sleep 5", 0);
    EXPECT_EQ(1, zero.res.timed_out);
    EXPECT_EQ(-1, zero.res.exit_code);
    EXPECT_LT(zero.seconds, 1.0);

    // A tool that catches SIGTERM and exits reports its own status.
    RunOutcome caught = run_sh("trap 'echo bye; exit 7' TERM; while :; do sleep 0.05; done", 1);
    EXPECT_EQ(1, caught.res.timed_out);
    EXPECT_EQ(7, caught.res.exit_code);
    // (The shell may first report its terminated sleep.)
    ASSERT_GE(caught.out.size(), 4u);
    EXPECT_EQ("bye\n", caught.out.substr(caught.out.size() - 4));
}

TEST_F(RunnerTest, IgnoredTerminationIsFollowedByKill) {
    runner_kill_grace_seconds = 1;
    RunOutcome r = run_sh("trap '' TERM; sleep 100 & echo $!; wait", 1);
    EXPECT_EQ(0, r.rc);
    EXPECT_EQ(1, r.res.timed_out);
    EXPECT_EQ(-1, r.res.exit_code);
    EXPECT_GE(r.seconds, 1.0);
    EXPECT_LT(r.seconds, 4.5);
    pid_t grandchild = atoi(r.out.c_str());
    ASSERT_GT(grandchild, 0);
    EXPECT_TRUE(wait_gone(grandchild));
}

TEST_F(RunnerTest, BlockedSignalsOfTheCallerDoNotReachTheTool) {
    // With SIGTERM blocked in the caller the tool must still obey the
    // time-out's SIGTERM, not wait for the much later SIGKILL.
    runner_kill_grace_seconds = 20;
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigprocmask(SIG_BLOCK, &block, &old);
    RunOutcome r = run_sh("sleep 100", 1);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    EXPECT_EQ(1, r.res.timed_out);
    EXPECT_EQ(-1, r.res.exit_code);
    EXPECT_LT(r.seconds, 3.0);
}

TEST_F(RunnerTest, OutputHeldOpenByALeftoverProcessDoesNotHang) {
    RunOutcome r = run_sh("sleep 30 & echo $!", 30);
    EXPECT_EQ(0, r.res.exit_code);
    EXPECT_LT(r.seconds, 2.0);
    pid_t leftover = atoi(r.out.c_str());
    ASSERT_GT(leftover, 0);
    EXPECT_EQ(std::to_string(leftover) + "\n", r.out);
    kill(leftover, SIGKILL);
}

TEST_F(RunnerTest, ReapedElsewhereDoesNotHang) {
    // With SIGCHLD ignored the kernel reaps the child itself: its status is
    // lost, but the call must still end.
    signal(SIGCHLD, SIG_IGN);
    RunOutcome r = run_sh("echo done", 30);
    signal(SIGCHLD, SIG_DFL);
    EXPECT_EQ(0, r.rc);
    EXPECT_EQ(-1, r.res.exit_code);
    EXPECT_EQ(0, r.res.timed_out);
    EXPECT_EQ("done\n", r.out);
    EXPECT_LT(r.seconds, 2.0);
}

TEST_F(RunnerTest, EnvironmentSwitchIsSetInTheChildOnly) {
    setenv("LVM_SUPPRESS_FD_WARNINGS", "0", 1);
    RunOutcome r = run_sh("echo \"[$LVM_SUPPRESS_FD_WARNINGS]\"", 30);
    EXPECT_EQ("[1]\n", r.out);
    EXPECT_STREQ("0", getenv("LVM_SUPPRESS_FD_WARNINGS"));
    unsetenv("LVM_SUPPRESS_FD_WARNINGS");
    r = run_sh("echo \"[$LVM_SUPPRESS_FD_WARNINGS]\"", 30);
    EXPECT_EQ("[1]\n", r.out);
    EXPECT_EQ(nullptr, getenv("LVM_SUPPRESS_FD_WARNINGS"));
}

TEST_F(RunnerTest, ToolsRunInTheCLocale) {
    setenv("LC_ALL", "en_US.UTF-8", 1);
    setenv("LANGUAGE", "en_US:en", 1);
    setenv("VLT_RUNNER_KEPT", "yes", 1);
    RunOutcome r = run_sh("echo \"[$LC_ALL] [${LANGUAGE-unset}] [$VLT_RUNNER_KEPT] [$LVM_SUPPRESS_FD_WARNINGS]\"", 30);
    unsetenv("LC_ALL");
    unsetenv("LANGUAGE");
    unsetenv("VLT_RUNNER_KEPT");
    EXPECT_EQ("[C] [unset] [yes] [1]\n", r.out);
}

TEST_F(RunnerTest, WholeCaptureGrowsAndSaysWhenItWasCut) {
    // Far past the fixed buffers, in one growing block.
    const char *argv[] = {"sh", "-c", "i=0; while [ $i -lt 50000 ]; do echo line-$i; i=$((i+1)); done", nullptr};
    std::string expected;
    for (int i = 0; i < 50000; i++) expected += "line-" + std::to_string(i) + "\n";
    captured_text whole;
    command_result res;
    ASSERT_EQ(0, run_command_whole(argv, 60, 1 << 20, &whole, &res));
    EXPECT_EQ(0, res.exit_code);
    EXPECT_FALSE(whole.cut());
    EXPECT_EQ(expected.size(), whole.size());
    EXPECT_EQ(expected, std::string(whole.text()));

    // Above the bound: the beginning, the rest read and dropped, and the
    // child not blocked on a full pipe.
    ASSERT_EQ(0, run_command_whole(argv, 60, 1000, &whole, &res));
    EXPECT_EQ(0, res.exit_code);
    EXPECT_TRUE(whole.cut());
    EXPECT_EQ(expected.substr(0, 1000), std::string(whole.text()));

    // No output: an empty text, never a null one; the call can be repeated
    // on the same object.
    const char *quiet[] = {"true", nullptr};
    ASSERT_EQ(0, run_command_whole(quiet, 60, 1000, &whole, &res));
    EXPECT_STREQ("", whole.text());
    EXPECT_EQ(0u, whole.size());
    EXPECT_FALSE(whole.cut());
}

TEST_F(RunnerTest, ToolRunsInItsOwnProcessGroup) {
    RunOutcome r = run_sh("echo $$ $(ps -o pgid= -p $$)", 30);
    int pid = 0, pgid = 0;
    ASSERT_EQ(2, sscanf(r.out.c_str(), "%d %d", &pid, &pgid)) << r.out;
    EXPECT_EQ(pid, pgid);
    EXPECT_NE(getpgrp(), pgid);
}

}  // namespace

// Ctrl-C reaches the whole foreground group, and a child belongs to it from
// fork until it has its own group: the caller's clean-up handler must never
// run in it.
TEST_F(RunnerTest, InterruptsWhileToolsStartNeverRunTheCallersHandlerInAChild) {
    std::string why;
    int runs = vlt_test::handler_runs_in_children(
        [] {
            for (int i = 0; i < 150; i++) {
                const char *argv[] = {"true", nullptr};
                char out[64];
                command_result res;
                (void)run_command(argv, 10, out, sizeof out, &res);
            }
        },
        &why);
    ASSERT_GE(runs, 0) << why;
    EXPECT_EQ(runs, 0) << "the handler ran in " << runs << " child(ren) before they started their program";
}

// A tool that reads its work from standard input (sendmail reading the
// mail): the descriptor is its input, its output is captured as usual.
TEST_F(RunnerTest, InputDescriptorIsTheToolsStandardInput) {
    char tmpl[] = "/tmp/vlt_runner_in.XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    unlink(tmpl);
    ASSERT_EQ(write(fd, "Subject: x\n\nbody\n", 18), 18);
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    const char *argv[] = {"sh", "-c", "tr a-z A-Z; exit 4", nullptr};
    char out[128] = "";
    command_result res{77, 77};
    EXPECT_EQ(run_command_input(argv, 30, fd, out, sizeof out, &res), 0);
    close(fd);
    EXPECT_EQ(res.exit_code, 4);
    EXPECT_EQ(res.timed_out, 0);
    EXPECT_STREQ(out, "SUBJECT: X\n\nBODY\n");
}
