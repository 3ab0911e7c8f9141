// SIGINT and SIGTERM while the second of three disks is restored: the run
// stops vlt_restore, frees every volume it allocated, removes its files,
// installs nothing and ends by the signal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "e2e_util.h"

namespace e2e {
namespace {

using vlt_test::process_gone;

// Waits for a condition, at most timeout_ms.
template <typename F>
bool wait_until(F done, int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; waited += 20) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

using RestoreSignals = restore_host;

TEST_F(RestoreSignals, InterruptDuringTheSecondOfThreeDisksRollsBack) {
    ASSERT_NO_FATAL_FAILURE(build_vm(true));
    ASSERT_NO_FATAL_FAILURE(backup_with_program());
    const std::vector<std::string> lvs_before = host_.lv_names();

    // A vlt_restore in front of the real one: the second disk run notes
    // its pid and that of a child of its group, then runs on and on, as a
    // large disk would.
    vlt_test::temp_dir wrap("vlt_e2e_sigwrap");
    const std::string w = wrap.path();
    ASSERT_TRUE(vlt_test::write_file(
        w + "/vlt_restore",
        "#!/bin/sh\n"
        "case \"$6\" in /dev/*)\n"
        "  n=$(( $(cat '" + w + "/count' 2>/dev/null || echo 0) + 1 )); echo $n > '" + w + "/count'\n"
        "  if [ $n -eq 2 ]; then\n"
        "    sleep 600 & echo $! > '" + w + "/child'\n"
        "    echo $$ > '" + w + "/pid.tmp'; mv '" + w + "/pid.tmp' '" + w + "/pid'\n"
        "    exec sleep 601\n"
        "  fi ;;\n"
        "esac\n"
        "exec '" + std::string(vlt_test::engine_bin_dir()) + "/vlt_restore' \"$@\"\n",
        0755));
    std::string path;
    for (const std::string &e : host_.child_env())
        if (e.rfind("PATH=", 0) == 0)
            path = e.substr(5);
    ASSERT_FALSE(path.empty());

    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig == SIGINT ? "SIGINT" : "SIGTERM");
        unlink((w + "/count").c_str());
        unlink((w + "/pid").c_str());
        unlink((w + "/child").c_str());
        ASSERT_TRUE(host_.clear_calls());
        auto run = host_.start(vlt_test::restore_program(),
                               {"--job", "vm101", "--search-dir", backup_dir(), "--pve-dir", host_.pve_dir(),
                                "--vmid", "200"},
                               {"PATH=" + w + ":" + path});
        ASSERT_TRUE(run->started());
        ASSERT_TRUE(wait_until([&] { return vlt_test::file_exists(w + "/pid"); }, 60000))
            << run->err_so_far();
        pid_t tool = std::stoi(vlt_test::read_file(w + "/pid"));
        pid_t tool_child = std::stoi(vlt_test::read_file(w + "/child"));
        // Two volumes exist now, the second being written.
        EXPECT_TRUE(host_.lv_exists(host_.vg(), "vm-200-disk-1"));

        ASSERT_TRUE(run->send_signal(sig));
        vlt_test::run_result r = run->wait(60000);
        EXPECT_EQ(r.term_signal, sig) << r.err;
        std::vector<std::string> lines = log_lines(r.err);
        ASSERT_FALSE(lines.empty()) << r.err;
        EXPECT_EQ(lines.back(), std::string("ERROR: interrupted by ") + (sig == SIGINT ? "SIGINT" : "SIGTERM") +
                                    ": the restore was rolled back (no volume kept, no configuration "
                                    "installed)");
        EXPECT_EQ(pvesm_calls(), (std::vector<std::string>{
                                     "alloc local-lvm 200  8192",
                                     "path local-lvm:vm-200-disk-0",
                                     "alloc local-lvm 200  4096",
                                     "path local-lvm:vm-200-disk-1",
                                     "free local-lvm:vm-200-disk-0",
                                     "free local-lvm:vm-200-disk-1",
                                 }));
        // vlt_restore and its group are gone, no volume is left, no
        // configuration was installed, nothing else stayed behind.
        EXPECT_TRUE(process_gone(tool));
        EXPECT_TRUE(wait_until([&] { return process_gone(tool_child); }, 10000));
        EXPECT_EQ(host_.lv_names(), lvs_before);
        EXPECT_EQ(qemu_server_entries(), std::vector<std::string>{"101.conf"});
        std::string report;
        EXPECT_TRUE(host_.check_clean(&report, run->pid())) << report;
    }
}

}  // namespace
}  // namespace e2e
