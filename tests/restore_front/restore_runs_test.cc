// Starting vlt_restore: its argument vector, its process group and how its
// end is reported.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <ctime>

#include <string>
#include <vector>

#include "front_util.h"
#include "restore/interrupt.h"
#include "restore/restore_runs.h"

using front_test::path_override;
using front_test::read_file;
using front_test::scratch_dir;
using front_test::write_script;

namespace {

class RestoreTool : public testing::Test {
protected:
    // A vlt_restore on PATH that writes its arguments, one a line, to
    // <bin>/args and then runs body.
    void fake_tool(const std::string &body) {
        write_script(bin_.file("vlt_restore"),
                     "printf '%s\\n' \"$@\" > '" + bin_.file("args") + "'\n" + body);
    }
    int32_t run(const std::vector<std::string> &forwarded) {
        std::vector<const char *> fwd;
        for (const std::string &f : forwarded)
            fwd.push_back(f.c_str());
        path_override path(bin_.path());
        return run_restore_tool("/backup/vm100-scsi0-202612080000.infb", "/backup",
                                "/dev/pve/vm-105-disk-0", fwd.empty() ? nullptr : fwd.data(),
                                static_cast<int32_t>(fwd.size()), msg_, sizeof msg_);
    }

    scratch_dir bin_;
    char msg_[256];
};

TEST_F(RestoreTool, PassesMetaSearchDirTargetThenTheForwardedArguments) {
    fake_tool("exit 0\n");
    ASSERT_EQ(run({"--verify", "--threads", "4"}), 0) << msg_;
    EXPECT_STREQ(msg_, "");
    EXPECT_EQ(read_file(bin_.file("args")),
              "--meta\n/backup/vm100-scsi0-202612080000.infb\n--search-dir\n/backup\n"
              "--target\n/dev/pve/vm-105-disk-0\n--verify\n--threads\n4\n");

    ASSERT_EQ(run({}), 0) << msg_;
    EXPECT_EQ(read_file(bin_.file("args")),
              "--meta\n/backup/vm100-scsi0-202612080000.infb\n--search-dir\n/backup\n"
              "--target\n/dev/pve/vm-105-disk-0\n");
}

TEST_F(RestoreTool, PassesAtMost120ForwardedArguments) {
    fake_tool("exit 0\n");
    std::vector<std::string> forwarded;
    for (int i = 1; i <= 130; i++)
        forwarded.push_back("a" + std::to_string(i));
    ASSERT_EQ(run(forwarded), 0) << msg_;
    std::string expected =
        "--meta\n/backup/vm100-scsi0-202612080000.infb\n--search-dir\n/backup\n"
        "--target\n/dev/pve/vm-105-disk-0\n";
    for (int i = 1; i <= 120; i++)
        expected += "a" + std::to_string(i) + "\n";
    EXPECT_EQ(read_file(bin_.file("args")), expected);
}

TEST_F(RestoreTool, RunsInAProcessGroupOfItsOwn) {
    // Field 5 of /proc/<pid>/stat is the process group.
    fake_tool("read -r line < /proc/$$/stat\n"
              "set -- $line\n"
              "echo \"$1 $5\" > '" + bin_.file("group") + "'\n");
    ASSERT_EQ(run({}), 0) << msg_;
    std::string group = read_file(bin_.file("group"));
    size_t blank = group.find(' ');
    ASSERT_NE(blank, std::string::npos) << group;
    EXPECT_EQ(group.substr(0, blank) + "\n", group.substr(blank + 1));
    EXPECT_NE(group.substr(blank + 1), std::to_string(getpgrp()) + "\n");
}

TEST_F(RestoreTool, ReportsExitStatusSignalAndMissingTool) {
    fake_tool("exit 3\n");
    EXPECT_EQ(run({}), -1);
    EXPECT_STREQ(msg_, "vlt_restore exited with code 3");

    fake_tool("kill -KILL $$\n");
    EXPECT_EQ(run({}), -1);
    EXPECT_STREQ(msg_, "vlt_restore exited with code -1");

    scratch_dir empty;
    path_override only(empty.path(), true);
    EXPECT_EQ(run_restore_tool("/m.infb", "/d", "/t", nullptr, 0, msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "vlt_restore exited with code 127");
}

TEST_F(RestoreTool, InterruptsWhileItStartsNeverRunTheHandlerInTheChild) {
    fake_tool("exit 0\n");
    std::string why;
    int runs = vlt_test::handler_runs_in_children(
        [this] {
            for (int i = 0; i < 150; i++)
                (void)run({});
        },
        &why);
    ASSERT_GE(runs, 0) << why;
    EXPECT_EQ(runs, 0) << "the handler ran in " << runs << " child(ren) before vlt_restore started";
}

}  // namespace

namespace {

using vlt_test::process_gone;

// A noted interrupt stops vlt_restore's whole group and reaps it: SIGTERM
// first, SIGKILL when the group is still there after the grace time.
TEST_F(RestoreTool, NotedInterruptStopsItsGroup) {
    interrupt_reset();
    {
        interrupt_guard guard;
        fake_tool("sleep 600 & echo $! > '" + bin_.file("child") + "'\n"
                  "echo $$ > '" + bin_.file("pid") + "'\n"
                  "kill -TERM $PPID\n"
                  "exec sleep 601\n");
        EXPECT_EQ(run({}), -1);
        EXPECT_STREQ(msg_, "vlt_restore stopped: interrupted by SIGTERM");
        EXPECT_EQ(interrupt_signal(), SIGTERM);
        EXPECT_TRUE(process_gone(std::stoi(read_file(bin_.file("pid")))));
        pid_t child = std::stoi(read_file(bin_.file("child")));
        for (int i = 0; i < 500 && !process_gone(child); i++) usleep(10000);
        EXPECT_TRUE(process_gone(child));

        // Noted before the tool even started: it is stopped at once.
        fake_tool("exec sleep 602\n");
        EXPECT_EQ(run({}), -1);
        EXPECT_STREQ(msg_, "vlt_restore stopped: interrupted by SIGTERM");

        // One that ignores SIGTERM is killed after the grace time.
        interrupt_reset();
        interrupt_grace_ms = 300;
        unlink(bin_.file("pid").c_str());
        fake_tool("trap '' TERM\necho $$ > '" + bin_.file("pid") + "'\nkill -TERM $PPID\n"
                  "while :; do sleep 0.05; done\n");
        struct timespec t0, t1;
        clock_gettime(CLOCK_MONOTONIC, &t0);
        EXPECT_EQ(run({}), -1);
        clock_gettime(CLOCK_MONOTONIC, &t1);
        EXPECT_STREQ(msg_, "vlt_restore stopped: interrupted by SIGTERM");
        EXPECT_GE((t1.tv_sec - t0.tv_sec) * 1000 + (t1.tv_nsec - t0.tv_nsec) / 1000000, 300);
        EXPECT_TRUE(process_gone(std::stoi(read_file(bin_.file("pid")))));
        interrupt_grace_ms = 5000;
    }
    // The handler in force before is back; the note stays until reset.
    struct sigaction now;
    sigaction(SIGTERM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    char err[256];
    EXPECT_TRUE(interrupted(err, sizeof err));
    EXPECT_STREQ(err, "interrupted by SIGTERM: the restore was rolled back (no volume kept, no configuration "
                      "installed)");
    interrupt_reset();
    EXPECT_FALSE(interrupted(err, sizeof err));

    // Without a guard nothing is noted and the tool runs to its end.
    fake_tool("exit 0\n");
    EXPECT_EQ(run({}), 0) << msg_;
}

TEST(ForwardedArguments, AssumeZeroedLeftOut) {
    const char *fwd[] = {"--verify", "--assume-zeroed", "--threads", "4", "--assume-zeroed"};
    const char *out[RESTORE_MAX_FORWARDED];
    bool withheld = false;
    ASSERT_EQ(without_assume_zeroed(fwd, 5, out, &withheld), 3);
    EXPECT_TRUE(withheld);
    EXPECT_STREQ(out[0], "--verify");
    EXPECT_STREQ(out[1], "--threads");
    EXPECT_STREQ(out[2], "4");
    EXPECT_EQ(without_assume_zeroed(fwd, 1, out, &withheld), 1);
    EXPECT_FALSE(withheld);
    EXPECT_EQ(without_assume_zeroed(nullptr, 0, out, &withheld), 0);
    EXPECT_FALSE(withheld);
}

}  // namespace
