// Backup and restore on a node as an administrator meets it: Perl's
// locale warnings in front of every answer of qm, pvesm and pvesh, and
// Proxmox's storage lock held by another task while the restore allocates.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_util.h"

namespace e2e {
namespace {

using RestoreNode = restore_host;

TEST_F(RestoreNode, BackupAndRestoreWithLocaleWarningsInFrontOfEveryAnswer) {
    ASSERT_NO_FATAL_FAILURE(build_vm());
    ASSERT_TRUE(host_.set_setting("locale_warnings", "always"));
    ASSERT_NO_FATAL_FAILURE(backup_with_program());
    // The caller's own locale is one the host lacks; LANGUAGE is set too.
    auto r = restore({}, {"LC_ALL=", "LANG=en_US.UTF-8", "LANGUAGE=en_US:en"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    ASSERT_EQ(done_vmid(r.err), 100) << r.err;
    EXPECT_EQ(pvesm_calls(), (std::vector<std::string>{"alloc local-lvm 100  8192", "path local-lvm:vm-100-disk-0",
                                                       "alloc local-lvm 100  4096", "path local-lvm:vm-100-disk-1"}));
    EXPECT_EQ(vlt_test::sha256_file(host_.lv_device(host_.vg(), "vm-100-disk-0"), kDisk0Size), disk_sha[0]);
    EXPECT_EQ(vlt_test::sha256_file(host_.lv_device(host_.vg(), "vm-100-disk-1"), kDisk1Size), disk_sha[1]);
    expect_clean();

    // A failed restore still recognises its volume as freed behind them.
    vlt_test::fault_spec f;
    f.tool = "vlt_restore";
    f.nth = 2;  // the first disk, after the configuration
    f.exit_code = 3;
    ASSERT_TRUE(host_.add_fault(f));
    r = restore({"--vmid", "200"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(pvesm_calls(), (std::vector<std::string>{"alloc local-lvm 200  8192", "path local-lvm:vm-200-disk-0",
                                                       "free local-lvm:vm-200-disk-0"}));
    for (const std::string &line : log_lines(r.err))
        EXPECT_EQ(line.find("could not roll back"), std::string::npos) << line;
    expect_clean();
}

TEST_F(RestoreNode, RestoreWaitsForProxmoxsStorageLockThroughPvesm) {
    ASSERT_NO_FATAL_FAILURE(build_vm());
    ASSERT_NO_FATAL_FAILURE(backup_with_program());
    // The restore never holds the lock itself: pvesm alloc waits for the
    // other task, then works.
    auto lock = host_.hold_storage_lock("local-lvm");
    ASSERT_TRUE(lock);
    auto run = host_.start(vlt_test::restore_program(),
                           {"--job", "vm101", "--search-dir", backup_dir(), "--pve-dir", host_.pve_dir(),
                            "--vmid", "200", "--", "--no-progress"});
    ASSERT_TRUE(run->started());
    ASSERT_TRUE(host_.wait_for_call("pvesm", "alloc local-lvm 200", 20000));
    EXPECT_TRUE(run->running());
    lock->release();
    auto r = run->wait(60000);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(vlt_test::sha256_file(host_.lv_device(host_.vg(), "vm-200-disk-0"), kDisk0Size), disk_sha[0]);
    expect_clean();
}

}  // namespace
}  // namespace e2e
