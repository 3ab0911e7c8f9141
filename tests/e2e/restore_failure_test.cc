// Restores that fail: the exact error, every allocated volume freed in
// allocation order, no configuration installed, nothing left behind. And
// the dry run, which changes nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace e2e {
namespace {

using RestoreFailure = restore_host;

bool has_lv_of(const vlt_test::sim_host &host, const std::string &stem) {
    for (const std::string &lv : host.lv_names())
        if (lv.rfind(stem, 0) == 0)
            return true;
    return false;
}

TEST_F(RestoreFailure, MissingJobOfTheSecondDisk) {
    ASSERT_NO_FATAL_FAILURE(build_vm());
    ASSERT_NO_FATAL_FAILURE(backup_with_agent(kVm101Config, {{"scsi0", "vm-101-disk-0"}}));

    auto r = restore({"--vmid", "200"});
    EXPECT_EQ(r.exit_status, 1) << r.err;
    std::vector<std::string> lines = log_lines(r.err);
    ASSERT_FALSE(lines.empty()) << r.err;
    EXPECT_EQ(lines.back(), "ERROR: no backup job found for disk slot 'scsi1' (missing under " +
                                backup_dir() +
                                ", or it was excluded with --disk at backup time)");
    EXPECT_EQ(pvesm_calls(), (std::vector<std::string>{
                                 "alloc local-lvm 200  8192",
                                 "path local-lvm:vm-200-disk-0",
                                 "free local-lvm:vm-200-disk-0",
                             }));
    EXPECT_FALSE(has_lv_of(host_, "vm-200-"));
    EXPECT_EQ(qemu_server_entries(), std::vector<std::string>{"101.conf"});
    expect_clean();
}

TEST_F(RestoreFailure, RestoreToolFailingOnTheSecondOfThreeDisks) {
    ASSERT_NO_FATAL_FAILURE(build_vm(true));
    ASSERT_NO_FATAL_FAILURE(backup_with_program());
    // Damage the second disk's chunk store: vlt_restore refuses it.
    std::vector<std::string> headers = job_headers("vm101-scsi1");
    ASSERT_EQ(headers.size(), 1u);
    std::string store = headers[0].substr(0, headers[0].size() - 5) + ".csfb";
    ASSERT_EQ(truncate(store.c_str(), 100), 0) << store;

    auto r = restore({"--vmid", "200"});
    EXPECT_EQ(r.exit_status, 1) << r.err;
    std::vector<std::string> lines = log_lines(r.err);
    ASSERT_FALSE(lines.empty()) << r.err;
    EXPECT_EQ(lines.back(), "ERROR: scsi1: restore failed: vlt_restore exited with code 1");
    EXPECT_EQ(pvesm_calls(), (std::vector<std::string>{
                                 "alloc local-lvm 200  8192",
                                 "path local-lvm:vm-200-disk-0",
                                 "alloc local-lvm 200  4096",
                                 "path local-lvm:vm-200-disk-1",
                                 "free local-lvm:vm-200-disk-0",
                                 "free local-lvm:vm-200-disk-1",
                             }));
    EXPECT_FALSE(has_lv_of(host_, "vm-200-"));
    EXPECT_EQ(qemu_server_entries(), std::vector<std::string>{"101.conf"});
    expect_clean();
}

TEST_F(RestoreFailure, ConfigOf32768Bytes) {
    ASSERT_NO_FATAL_FAILURE(build_vm());
    std::string config = kVm101Config;
    const std::string key = "description: ";
    config += key + std::string(32768 - config.size() - key.size() - 1, 'd') + "\n";
    ASSERT_EQ(config.size(), 32768u);
    ASSERT_NO_FATAL_FAILURE(backup_with_agent(
        config, {{"scsi0", "vm-101-disk-0"}, {"scsi1", "vm-101-disk-1"}}));

    auto r = restore({"--vmid", "200"});
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_EQ(log_lines(r.err).back(), "ERROR: restored VM config is too large (> 32767 bytes)");
    EXPECT_EQ(pvesm_calls(), std::vector<std::string>{});
    expect_clean();
}

TEST_F(RestoreFailure, MissingQemuServerDirectory) {
    ASSERT_NO_FATAL_FAILURE(build_vm());
    ASSERT_NO_FATAL_FAILURE(backup_with_program());
    const std::string dir = host_.pve_dir() + "/qemu-server";
    ASSERT_EQ(rename(dir.c_str(), (dir + ".away").c_str()), 0);

    auto r = restore({"--vmid", "200"});
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_EQ(log_lines(r.err).back(), "ERROR: cannot create a temp file in " + dir +
                                           ": No such file or directory (does that directory "
                                           "exist?)");
    EXPECT_EQ(pvesm_calls(), (std::vector<std::string>{
                                 "alloc local-lvm 200  8192",
                                 "path local-lvm:vm-200-disk-0",
                                 "alloc local-lvm 200  4096",
                                 "path local-lvm:vm-200-disk-1",
                                 "free local-lvm:vm-200-disk-0",
                                 "free local-lvm:vm-200-disk-1",
                             }));
    EXPECT_FALSE(has_lv_of(host_, "vm-200-"));
    ASSERT_EQ(rename((dir + ".away").c_str(), dir.c_str()), 0);
    EXPECT_EQ(qemu_server_entries(), std::vector<std::string>{"101.conf"});
    expect_clean();
}

TEST_F(RestoreFailure, ConfigCreatedForTheVmidBeforeTheInstallIsLeftAlone) {
    ASSERT_NO_FATAL_FAILURE(build_vm());
    ASSERT_NO_FATAL_FAILURE(backup_with_program());
    // Another tool creates VM 200 while the disks are being restored: a
    // vlt_restore in front of the real one writes its config after the
    // first disk.
    vlt_test::temp_dir wrap("vlt_e2e_wrap");
    const std::string other = conf_path(200);
    ASSERT_TRUE(vlt_test::write_file(
        wrap.path() + "/vlt_restore",
        "#!/bin/sh\n"
        "'" + std::string(vlt_test::engine_bin_dir()) + "/vlt_restore' \"$@\" || exit $?\n"
        "case \"$6\" in /dev/*) [ -e '" + other + "' ] || printf 'memory: 64\\n' > '" + other +
            "' ;; esac\n"));
    ASSERT_EQ(chmod((wrap.path() + "/vlt_restore").c_str(), 0755), 0);
    std::string path;
    for (const std::string &e : host_.child_env())
        if (e.rfind("PATH=", 0) == 0)
            path = e.substr(5);
    ASSERT_FALSE(path.empty());

    auto r = restore({"--vmid", "200"}, {"PATH=" + wrap.path() + ":" + path});
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_EQ(log_lines(r.err).back(),
              "ERROR: VMID 200 is already in use (" + other + " exists)");
    EXPECT_EQ(vlt_test::read_file(other), "memory: 64\n");
    EXPECT_EQ(pvesm_calls(), (std::vector<std::string>{
                                 "alloc local-lvm 200  8192",
                                 "path local-lvm:vm-200-disk-0",
                                 "alloc local-lvm 200  4096",
                                 "path local-lvm:vm-200-disk-1",
                                 "free local-lvm:vm-200-disk-0",
                                 "free local-lvm:vm-200-disk-1",
                             }));
    EXPECT_EQ(qemu_server_entries(), (std::vector<std::string>{"101.conf", "200.conf"}));
    expect_clean();
}

TEST_F(RestoreFailure, PvesmMissing) {
    ASSERT_NO_FATAL_FAILURE(build_vm());
    ASSERT_NO_FATAL_FAILURE(backup_with_program());
    vlt_test::fault_spec missing;
    missing.tool = "pvesm";
    missing.times = 0;
    missing.action = vlt_test::fault_spec::missing;
    ASSERT_TRUE(host_.add_fault(missing));

    auto r = restore({"--vmid", "200"});
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_EQ(log_lines(r.err).back(),
              "ERROR: scsi0: pvesm is not available (not running on a Proxmox VE host?)");
    EXPECT_EQ(pvesm_calls(), std::vector<std::string>{"alloc local-lvm 200  8192"});
    EXPECT_FALSE(has_lv_of(host_, "vm-200-"));
    EXPECT_EQ(qemu_server_entries(), std::vector<std::string>{"101.conf"});
    expect_clean();
}

TEST_F(RestoreFailure, DryRunChangesNothing) {
    ASSERT_NO_FATAL_FAILURE(build_vm());
    ASSERT_NO_FATAL_FAILURE(backup_with_program());
    const std::vector<std::string> lvs_before = host_.lv_names();

    auto r = restore({"--dry-run", "--storage-map", "local-lvm=fast"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    std::vector<std::string> h0 = job_headers("vm101-scsi0");
    std::vector<std::string> h1 = job_headers("vm101-scsi1");
    ASSERT_EQ(h0.size(), 1u);
    ASSERT_EQ(h1.size(), 1u);
    EXPECT_EQ(log_lines(r.err),
              (std::vector<std::string>{
                  "INFO: restoring 'vm101' (2 disk-like volume(s)) to VMID 100 (dry run)",
                  "INFO: scsi0: would allocate 8192 on storage 'fast' (source was 'local-lvm', "
                  "8388608 bytes), from job " + h0[0],
                  "INFO: scsi1: would allocate 4096 on storage 'fast' (source was 'local-lvm', "
                  "4194304 bytes), from job " + h1[0],
                  "INFO: dry run: VMID 100 would be used, nothing was allocated or written",
                  "INFO: done (VMID 100) [dry run]",
              }));
    EXPECT_EQ(pvesm_calls(), std::vector<std::string>{});
    EXPECT_EQ(host_.lv_names(), lvs_before);
    EXPECT_EQ(qemu_server_entries(), std::vector<std::string>{"101.conf"});
    expect_clean();
}

}  // namespace
}  // namespace e2e
