// The vlt_proxmox_restore program as the operator runs it: answers given
// before anything else, exit statuses, the closing line and the progress
// segment around the run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "front_util.h"

using front_test::exists;
using front_test::log_lines;
using front_test::read_file;
using front_test::run_program;
using front_test::scratch_dir;
using front_test::write_file;
using front_test::write_script;

namespace {

const std::string kProgram = VLT_RESTORE_PROGRAM;

front_test::run_result run(const std::vector<std::string> &args,
                           const std::vector<std::string> &env = {}) {
    std::vector<std::string> argv = {kProgram};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, env);
}

TEST(Program, AnswersVersionAndSelftestFirst) {
    auto r = run({"--version"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "vlt_proxmox_restore 1.0.2-alpha028\n");
    EXPECT_EQ(r.err, "");

    // Also behind "--" and ahead of a command line that would be rejected.
    r = run({"--storage-map", "bad", "--", "--version"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "vlt_proxmox_restore 1.0.2-alpha028\n");

    r = run({"--selftest"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "vlt_proxmox_restore 1.0.2-alpha028: selftest ok\n");
}

TEST(Program, UsageAndRejectedCommandLines) {
    auto r = run({"--help"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind(kProgram + ": restore a VM vlt_proxmox backed up into a new VM", 0), 0u)
        << r.err;
    EXPECT_NE(r.err.find("Usage: " + kProgram + " --job <prefix>"), std::string::npos);

    r = run({"--job", "vm100"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "error: --job and --search-dir are required (use --help)\n");

    r = run({"--job", "vm100", "--search-dir", "/x", "--storage-map", "x="});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "error: --storage-map must be <old>=<new>, got 'x='\n");
}

class ProgramRun : public testing::Test {
protected:
    void SetUp() override {
        mkdir(top_.file("backup").c_str(), 0755);
        mkdir(top_.file("pve").c_str(), 0755);
        mkdir(top_.file("pve/qemu-server").c_str(), 0755);
        mkdir(top_.file("bin").c_str(), 0755);
        // A configuration run with one disk and its header block.
        std::string h(131072, '\0');
        h.replace(0, 4, "VLTH");
        h[4] = 1;
        h[8 + 2] = 2;  // 131072
        h[68] = 10;
        h[76] = 0x10;  // 16 bytes
        std::string job = "vm100-vmconfig";
        h.replace(484, job.size(), job);
        write_file(top_.file("backup/vm100-vmconfig-202612080000.infb"), h);
        job = "vm100-scsi0";
        h.replace(484, job.size() + 1, job + std::string(1, '\0'));
        write_file(top_.file("backup/vm100-scsi0-202612080000.infb"), h);
    }

    // A vlt_restore that starts the segment watcher, waits until it has
    // mapped the segment, writes a one-disk config and exits with code.
    void fake_restore(int code) {
        write_script(top_.file("bin/vlt_restore"),
                     "'" VLT_SHM_WATCH "' $PPID '" + top_.file("watch") + "' >/dev/null 2>&1 &\n"
                     "i=0; while [ ! -e '" + top_.file("watch.ready") + "' ] && [ $i -lt 1000 ]; do "
                     "sleep 0.01; i=$((i+1)); done\n"
                     "echo $$ > '" + top_.file("tool_pid") + "'\n"
                     "printf 'scsi0: local-lvm:vm-100-disk-0\\n' > \"$6\"\n"
                     "exit " + std::to_string(code) + "\n");
    }

    std::vector<std::string> env() const {
        return {"PATH=" + top_.file("bin") + ":" + std::string(getenv("PATH"))};
    }

    // What the watcher wrote once it saw the end.
    std::string watched() const {
        for (int i = 0; i < 1000; i++) {
            std::string w = read_file(top_.file("watch"));
            if (w.find("end ") != std::string::npos || w == "no segment\n")
                return w;
            usleep(10000);
        }
        return read_file(top_.file("watch"));
    }

    std::vector<std::string> base_args() const {
        return {"--job", "vm100", "--search-dir", top_.file("backup"), "--vmid", "105",
                "--pve-dir", top_.file("pve"), "--dry-run"};
    }

    scratch_dir top_;
};

TEST_F(ProgramRun, DryRunEndsWithDoneAndTheSegmentFinishedAsSucceeded) {
    fake_restore(0);
    auto r = run(base_args(), env());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> lines = log_lines(r.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "INFO: done (VMID 105) [dry run]");
    EXPECT_NE(r.err.find("] INFO  done (VMID 105) [dry run]\n"), std::string::npos) << r.err;
    std::string tool_pid = read_file(top_.file("tool_pid"));
    ASSERT_FALSE(tool_pid.empty());
    EXPECT_EQ(watched(),
              "start phase=0 child=" + tool_pid.substr(0, tool_pid.size() - 1) +
                  " job=vm100\nend phase=3 child=0\n");
}

TEST_F(ProgramRun, FailedRunLogsOneErrorAndFinishesTheSegmentAsFailed) {
    fake_restore(4);
    auto r = run(base_args(), env());
    EXPECT_EQ(r.exit_code, 1);
    std::vector<std::string> lines = log_lines(r.err);
    EXPECT_EQ(lines, (std::vector<std::string>{"ERROR: could not restore the VM config job: "
                                               "vlt_restore exited with code 4"}));
    EXPECT_NE(watched().find("end phase=4 child=0\n"), std::string::npos);
}

TEST_F(ProgramRun, NoProgressAmongTheForwardedArgumentsMeansNoSegment) {
    fake_restore(0);
    std::vector<std::string> args = base_args();
    args.push_back("--");
    args.push_back("--no-progress");
    auto r = run(args, env());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(watched(), "no segment\n");
    EXPECT_EQ(r.err.find("WARN"), std::string::npos) << r.err;
}

}  // namespace
