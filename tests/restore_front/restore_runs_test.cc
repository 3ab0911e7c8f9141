// Starting vlt_restore: its argument vector, its process group and how its
// end is reported.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "front_util.h"
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
