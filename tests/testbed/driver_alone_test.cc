// check-clean over the leftovers our programs can leave in /tmp and
// /dev/shm. The test makes such leftovers itself, where every simulated
// host's check-clean looks, so it runs alone (see CMakeLists.txt).
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "tests/testbed/testbed_util.h"

namespace testbed_test {
namespace {

class DriverAlone : public host_test {};

TEST_F(DriverAlone, CheckCleanReportsTemporaryFilesAndSegmentsOfOurPrograms) {
    // A pid that is surely gone: a child that has been reaped.
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    ASSERT_GT(dead, 0);
    int status;
    waitpid(dead, &status, 0);

    std::string seg_dead = "/dev/shm/vlt_progress." + std::to_string(dead);
    std::string seg_live = "/dev/shm/vlt_progress." + std::to_string(getpid());
    std::string key = "/dev/shm/vlt_proxmox_key." + std::to_string(getpid()) + ".AbC123";
    char tmpl[] = "/tmp/vlt_proxmox_vmconfig.XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    std::string vmconfig = tmpl;
    std::string install = host_.pve_dir() + "/qemu-server/.vlt_proxmox_restore.Zz9";
    for (const std::string &f : {seg_dead, seg_live, key, install}) ASSERT_TRUE(vlt_test::write_file(f, "x")) << f;

    // --strict: a program of another host running in parallel must not hide the file here.
    auto strict_check = [&](std::string *rep, pid_t pid) {
        std::vector<std::string> args = {"check-clean", "--strict"};
        if (pid) args.insert(args.end(), {"--pid", std::to_string(pid)});
        return host_.driver(args, rep) == 0;
    };
    std::string report;
    EXPECT_FALSE(strict_check(&report, 0));
    std::vector<std::string> got = lines_of(report);
    auto has = [&](const std::string &line) {
        return std::find(got.begin(), got.end(), line) != got.end();
    };
    EXPECT_TRUE(has("progress segment " + seg_dead)) << report;
    EXPECT_FALSE(has("progress segment " + seg_live)) << "a running process's segment is not a leftover";
    EXPECT_FALSE(has("temporary file " + key)) << report;
    EXPECT_TRUE(has("temporary file " + install)) << report;
    EXPECT_TRUE(has("temporary file " + vmconfig)) << report;

    // Naming the pid makes its own files count.
    EXPECT_FALSE(strict_check(&report, getpid()));
    got = lines_of(report);
    EXPECT_TRUE(has("progress segment " + seg_live)) << report;
    EXPECT_TRUE(has("temporary file " + key)) << report;

    // A file held open by a live process, or named on its command line, is in use.
    fd = open(vmconfig.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(strict_check(&report, 0));
    got = lines_of(report);
    EXPECT_FALSE(has("temporary file " + vmconfig)) << report;
    close(fd);
    {
        auto user = host_.start("/bin/sh", {"-c", "sleep 30; true", vmconfig});
        ASSERT_TRUE(user->started());
        std::string cmdline_path = "/proc/" + std::to_string(user->pid()) + "/cmdline";
        for (int i = 0; i < 500 && vlt_test::read_file(cmdline_path).find("sleep 30") == std::string::npos; i++)
            usleep(10000);
        EXPECT_FALSE(strict_check(&report, 0));
        got = lines_of(report);
        EXPECT_FALSE(has("temporary file " + vmconfig)) << report;
        EXPECT_TRUE(has("temporary file " + install)) << report;
    }
    EXPECT_FALSE(strict_check(&report, 0));
    got = lines_of(report);
    EXPECT_TRUE(has("temporary file " + vmconfig)) << "reported again once the user is gone: " << report;

    for (const std::string &f : {seg_dead, seg_live, key, install, vmconfig}) unlink(f.c_str());
    EXPECT_TRUE(strict_check(&report, 0)) << report;
}

}  // namespace
}  // namespace testbed_test
