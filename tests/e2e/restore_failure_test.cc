// Restores that fail: the exact error, every allocated volume freed in
// allocation order, no configuration installed, nothing left behind, and
// the host as it was, so the next restore can follow on the same host.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "restore/allocation.h"

namespace e2e {
namespace {

using RestoreFailure = restore_host;

bool has_lv_of(const vlt_test::sim_host &host, const std::string &stem) {
    for (const std::string &lv : host.lv_names())
        if (lv.rfind(stem, 0) == 0)
            return true;
    return false;
}

std::string last_log_line(const std::string &err) {
    std::vector<std::string> lines = log_lines(err);
    return lines.empty() ? std::string() : lines.back();
}

// alloc and path for each of n disks of VM 200, then the frees of the
// first `freed` of them, first allocated first.
std::vector<std::string> alloc_then_free(int n, int freed) {
    const char *sizes[] = {"8192", "4096", "4096"};
    std::vector<std::string> calls;
    for (int i = 0; i < n; i++) {
        calls.push_back(std::string("alloc local-lvm 200  ") + sizes[i]);
        calls.push_back("path local-lvm:vm-200-disk-" + std::to_string(i));
    }
    for (int i = 0; i < freed; i++)
        calls.push_back("free local-lvm:vm-200-disk-" + std::to_string(i));
    return calls;
}

TEST_F(RestoreFailure, FailuresFromAllocationToInstallRollBack) {
    ASSERT_NO_FATAL_FAILURE(build_vm(true));
    ASSERT_NO_FATAL_FAILURE(backup_with_program());
    const std::vector<std::string> lvs_before = host_.lv_names();
    auto expect_rolled_back = [&]() {
        EXPECT_FALSE(has_lv_of(host_, "vm-200-"));
        EXPECT_EQ(host_.lv_names(), lvs_before);
        expect_clean();
    };

    {
        SCOPED_TRACE("no qemu-server directory");
        const std::string dir = host_.pve_dir() + "/qemu-server";
        ASSERT_EQ(rename(dir.c_str(), (dir + ".away").c_str()), 0);
        auto r = restore({"--vmid", "200"});
        EXPECT_EQ(r.exit_status, 1) << r.err;
        EXPECT_EQ(last_log_line(r.err), "ERROR: cannot create a temp file in " + dir +
                                            ": No such file or directory (does that directory "
                                            "exist?)");
        EXPECT_EQ(pvesm_calls(), alloc_then_free(3, 3));
        ASSERT_EQ(rename((dir + ".away").c_str(), dir.c_str()), 0);
        EXPECT_EQ(qemu_server_entries(), std::vector<std::string>{"101.conf"});
        expect_rolled_back();
    }

    {
        SCOPED_TRACE("a config for the VMID created before the install");
        // A vlt_restore in front of the real one writes VM 200's config
        // after the first disk, as another tool creating that VM would.
        vlt_test::temp_dir wrap("vlt_e2e_wrap");
        const std::string other = conf_path(200);
        ASSERT_TRUE(vlt_test::write_file(
            wrap.path() + "/vlt_restore",
            "#!/bin/sh\n"
            "'" + std::string(vlt_test::engine_bin_dir()) + "/vlt_restore' \"$@\" || exit $?\n"
            "case \"$6\" in /dev/*) [ -e '" + other + "' ] || printf 'memory: 64\\n' > '" +
                other + "' ;; esac\n"));
        ASSERT_EQ(chmod((wrap.path() + "/vlt_restore").c_str(), 0755), 0);
        std::string path;
        for (const std::string &e : host_.child_env())
            if (e.rfind("PATH=", 0) == 0)
                path = e.substr(5);
        ASSERT_FALSE(path.empty());

        auto r = restore({"--vmid", "200"}, {"PATH=" + wrap.path() + ":" + path});
        EXPECT_EQ(r.exit_status, 1) << r.err;
        EXPECT_EQ(last_log_line(r.err), "ERROR: VMID 200 is already in use (" + other + " exists)");
        EXPECT_EQ(vlt_test::read_file(other), "memory: 64\n");
        EXPECT_EQ(pvesm_calls(), alloc_then_free(3, 3));
        EXPECT_EQ(qemu_server_entries(), (std::vector<std::string>{"101.conf", "200.conf"}));
        expect_rolled_back();
        ASSERT_EQ(unlink(other.c_str()), 0);
    }

    {
        SCOPED_TRACE("pvesm missing");
        vlt_test::fault_spec missing;
        missing.tool = "pvesm";
        missing.times = 0;
        missing.action = vlt_test::fault_spec::missing;
        ASSERT_TRUE(host_.add_fault(missing));
        auto r = restore({"--vmid", "200"});
        EXPECT_EQ(r.exit_status, 1) << r.err;
        EXPECT_EQ(last_log_line(r.err),
                  "ERROR: scsi0: pvesm is not available (not running on a Proxmox VE host?)");
        EXPECT_EQ(pvesm_calls(), std::vector<std::string>{"alloc local-lvm 200  8192"});
        EXPECT_EQ(qemu_server_entries(), std::vector<std::string>{"101.conf"});
        expect_rolled_back();
        ASSERT_TRUE(host_.clear_faults());
    }

    {
        SCOPED_TRACE("vlt_restore failing on the second of three disks");
        // A damaged chunk store: vlt_restore refuses that run.
        std::vector<std::string> headers = job_headers("vm101-scsi1");
        ASSERT_EQ(headers.size(), 1u);
        std::string store = headers[0].substr(0, headers[0].size() - 5) + ".csfb";
        ASSERT_EQ(truncate(store.c_str(), 100), 0) << store;
        auto r = restore({"--vmid", "200"});
        EXPECT_EQ(r.exit_status, 1) << r.err;
        EXPECT_EQ(last_log_line(r.err),
                  "ERROR: scsi1: restore failed: vlt_restore exited with code 1");
        EXPECT_EQ(pvesm_calls(), alloc_then_free(2, 2));
        EXPECT_EQ(qemu_server_entries(), std::vector<std::string>{"101.conf"});
        expect_rolled_back();
    }
}

TEST_F(RestoreFailure, BackupsThatCannotBeRestored) {
    ASSERT_NO_FATAL_FAILURE(build_vm());
    // "miss" lacks the job of its second disk; "big" has a config of
    // 32768 bytes, one more than a config may have.
    ASSERT_NO_FATAL_FAILURE(backup_with_agent("miss", kVm101Config, {{"scsi0", "vm-101-disk-0"}}));
    std::string big = kVm101Config;
    const std::string key = "description: ";
    big += key + std::string(32768 - big.size() - key.size() - 1, 'd') + "\n";
    ASSERT_EQ(big.size(), 32768u);
    ASSERT_NO_FATAL_FAILURE(backup_with_agent(
        "big", big, {{"scsi0", "vm-101-disk-0"}, {"scsi1", "vm-101-disk-1"}}));
    const std::vector<std::string> lvs_before = host_.lv_names();

    {
        SCOPED_TRACE("the job of the second disk is missing");
        // The only backup is incomplete: nothing is allocated at all.
        auto r = restore({"--vmid", "200"}, {}, "miss");
        EXPECT_EQ(r.exit_status, 1) << r.err;
        EXPECT_TRUE(std::regex_match(last_log_line(r.err),
                                     std::regex("ERROR: no complete backup of 'miss' under " + backup_dir() +
                                                ": the newest, made at [0-9T:Z-]+ on host .+, lacks scsi1 "
                                                "\\(see --list\\)")))
            << r.err;
        EXPECT_EQ(pvesm_calls(), std::vector<std::string>{});
        EXPECT_EQ(host_.lv_names(), lvs_before);
        EXPECT_EQ(qemu_server_entries(), std::vector<std::string>{"101.conf"});
        expect_clean();
    }

    {
        SCOPED_TRACE("a config of 32768 bytes");
        auto r = restore({"--vmid", "200"}, {}, "big");
        EXPECT_EQ(r.exit_status, 1) << r.err;
        EXPECT_EQ(last_log_line(r.err), "ERROR: restored VM config is too large (> 32767 bytes)");
        EXPECT_EQ(pvesm_calls(), std::vector<std::string>{});
        EXPECT_EQ(qemu_server_entries(), std::vector<std::string>{"101.conf"});
        expect_clean();
    }
}

// pvesm alloc creates the volume, says so, then runs into its time limit
// (the fake's hang-after): the volume is the run's all the same, and the
// roll-back frees it.
TEST_F(RestoreFailure, AllocThatTimesOutAfterCreatingTheVolume) {
    ASSERT_TRUE(host_.add_storage("local-lvm", "lvmthin"));
    host_.apply_env();
    vlt_test::fault_spec slow;
    slow.tool = "pvesm";
    slow.match = "alloc";
    slow.action = vlt_test::fault_spec::hang_after;
    ASSERT_TRUE(host_.add_fault(slow));
    alloc_time_limit_seconds = 1;
    allocation_list list{};
    char err[256];
    EXPECT_EQ(allocate_volume("local-lvm", 200, "", "4096", &list, err, sizeof err), -1);
    alloc_time_limit_seconds = 60;
    EXPECT_STREQ(err, "pvesm alloc local-lvm 200 \"\" 4096 timed out after 1 s");
    ASSERT_EQ(list.count, 1u);
    EXPECT_STREQ(list.rows[0].volume, "vm-200-disk-0");
    EXPECT_TRUE(host_.lv_exists(host_.vg(), "vm-200-disk-0"));
    ASSERT_TRUE(host_.clear_faults());
    rollback_allocations(list.rows, list.count);
    EXPECT_FALSE(host_.lv_exists(host_.vg(), "vm-200-disk-0"));
    std::vector<std::string> calls;
    for (const vlt_test::call_record &c : host_.calls())
        calls.push_back((c.is_end ? "end " : "") + c.tool + " " + (c.is_end ? std::to_string(c.exit_status) : c.joined()));
    EXPECT_EQ(calls, (std::vector<std::string>{"pvesm alloc local-lvm 200  4096", "end pvesm 143",
                                               "pvesm free local-lvm:vm-200-disk-0", "end pvesm 0"}));
    expect_clean();
}

}  // namespace
}  // namespace e2e
