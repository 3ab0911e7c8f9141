// Backups of one VM told apart: three backups with data changed in
// between (the second incomplete), listed and restored by default and by
// --at; a second host's runs under the same prefix; a UEFI VM whose EFI
// disk is backed up and restored, and an older backup without it.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace e2e {
namespace {

const int64_t kDay1 = 1767225600;  // 2026-01-01T00:00:00Z
const int64_t kDay = 86400;

// The agents' clock and host name for one backup.
std::vector<std::string> made_at(int64_t t, const std::string &host = "pve1") {
    return {"VLT_AGENT_FIXED_TIME=" + std::to_string(t), "VLT_AGENT_FIXED_HOST=" + host};
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// qm config masks VM 101's cloud-init password: every restore of its
// backups leaves it out with this WARN.
std::string masked_password(long vmid) {
    return "WARN: cipassword was not part of the backup: set it again for VM " + std::to_string(vmid);
}

using BackupSets = restore_host;

TEST_F(BackupSets, ThreeBackupsTheSecondIncompleteAndASecondHost) {
    ASSERT_NO_FATAL_FAILURE(build_vm());
    const std::string lv0 = "vm-101-disk-0", lv1 = "vm-101-disk-1";
    std::string sha[4][2];

    // Backup 1; backup 2 after the data changed, its scsi1 agent failing;
    // backup 3 after the data changed again.
    ASSERT_NO_FATAL_FAILURE(backup_with_program({}, made_at(kDay1)));
    sha[1][0] = disk_sha[0];
    sha[1][1] = disk_sha[1];
    sha[2][0] = refill_lv(lv0, kDisk0Size, 21);
    sha[2][1] = refill_lv(lv1, kDisk1Size, 22);
    vlt_test::fault_spec agent_fails;
    agent_fails.tool = "vlt_agent";
    agent_fails.match = "--source * --snapshot off --name vm101-scsi1";
    agent_fails.exit_code = 3;
    agent_fails.text = "vlt_agent: the target refused the run";
    ASSERT_TRUE(host_.add_fault(agent_fails));
    ASSERT_NO_FATAL_FAILURE(backup_with_program({}, made_at(kDay1 + kDay), 1));
    ASSERT_TRUE(host_.clear_faults());
    sha[3][0] = refill_lv(lv0, kDisk0Size, 31);
    sha[3][1] = refill_lv(lv1, kDisk1Size, 32);
    ASSERT_NO_FATAL_FAILURE(backup_with_program({}, made_at(kDay1 + 2 * kDay)));
    for (int b = 1; b <= 3; b++)
        ASSERT_FALSE(sha[b][0].empty() || sha[b][1].empty()) << b;
    ASSERT_EQ(job_headers("vm101-scsi1").size(), 2u);

    {
        SCOPED_TRACE("--list shows three sets, the second incomplete");
        auto r = restore({"--list"});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{
                                       "2026-01-03T00:00:00Z host=pve1 complete disks=scsi0,scsi1 missing=- "
                                       "size=12582912",
                                       "2026-01-02T00:00:00Z host=pve1 incomplete disks=scsi0 missing=scsi1 "
                                       "size=8388608",
                                       "2026-01-01T00:00:00Z host=pve1 complete disks=scsi0,scsi1 missing=- "
                                       "size=12582912",
                                   }));
        EXPECT_EQ(log_lines(r.err), std::vector<std::string>{});
        // Only the configuration jobs were restored; nothing was allocated.
        EXPECT_EQ(host_.calls_of("vlt_restore").size(), 3u);
        EXPECT_EQ(pvesm_calls(), std::vector<std::string>{});
        EXPECT_TRUE(host_.calls_of("pvesh").empty());

        r = restore({"--list", "--json", "--at", "2026-01-02"});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        std::vector<std::string> configs = job_headers("vm101-vmconfig");
        ASSERT_EQ(configs.size(), 3u);
        EXPECT_EQ(r.out,
                  "[{\"time\":\"2026-01-02T00:00:00Z\",\"created\":1767312000,\"host\":\"pve1\","
                  "\"status\":\"incomplete\",\"complete\":false,\"disks\":[\"scsi0\"],\"missing\":[\"scsi1\"],"
                  "\"size\":8388608,\"config\":\"" + configs[1] + "\"},\n"
                  " {\"time\":\"2026-01-01T00:00:00Z\",\"created\":1767225600,\"host\":\"pve1\","
                  "\"status\":\"complete\",\"complete\":true,\"disks\":[\"scsi0\",\"scsi1\"],\"missing\":[],"
                  "\"size\":12582912,\"config\":\"" + configs[0] + "\"}]\n");
        expect_clean();
    }

    auto restored = [&](long vmid, int backup) {
        EXPECT_EQ(vlt_test::sha256_file(host_.lv_device(host_.vg(), "vm-" + std::to_string(vmid) + "-disk-0"),
                                        kDisk0Size),
                  sha[backup][0])
            << "VM " << vmid;
        EXPECT_EQ(vlt_test::sha256_file(host_.lv_device(host_.vg(), "vm-" + std::to_string(vmid) + "-disk-1"),
                                        kDisk1Size),
                  sha[backup][1])
            << "VM " << vmid;
    };

    {
        SCOPED_TRACE("by default the third set");
        auto r = restore({"--vmid", "200"});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        restored(200, 3);
        EXPECT_TRUE(has_log_line(r.err, "INFO: restoring the backup of 'vm101' made at 2026-01-03T00:00:00Z on host "
                                    "pve1"))
            << r.err;
        EXPECT_EQ(warnings(r.err), std::vector<std::string>{masked_password(200)});
    }
    {
        SCOPED_TRACE("--at between the first and the second: the first set on every disk");
        auto r = restore({"--vmid", "201", "--at", "2026-01-01T12:00"});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        restored(201, 1);
        EXPECT_EQ(warnings(r.err), std::vector<std::string>{masked_password(201)});
    }
    {
        SCOPED_TRACE("--at the second's time: the first, since the second is incomplete");
        auto r = restore({"--vmid", "202", "--at", "2026-01-02T00:00:00Z"});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        restored(202, 1);
        EXPECT_EQ(warnings(r.err),
                  (std::vector<std::string>{
                      "WARN: the newest backup of 'vm101' not newer than 2026-01-02T00:00:00Z, made at "
                      "2026-01-02T00:00:00Z on host pve1, is incomplete (it lacks scsi1): restoring the newest "
                      "complete one, made at 2026-01-01T00:00:00Z on host pve1",
                      masked_password(202)}));
        expect_clean();
    }
    {
        SCOPED_TRACE("--at before every backup");
        auto r = restore({"--vmid", "203", "--at", "2025-12-31"});
        EXPECT_EQ(r.exit_status, 1) << r.err;
        EXPECT_EQ(log_lines(r.err).back(), "ERROR: no backup of 'vm101' not newer than 2025-12-31T23:59:59Z under " +
                                               backup_dir() + " (see --list)");
        EXPECT_EQ(pvesm_calls(), std::vector<std::string>{});
    }

    {
        SCOPED_TRACE("a second host's runs under the same prefix are never mixed in");
        // Host pve2 backs up another VM 101 into the same directory, later
        // than all of pve1's backups, and only its scsi1: its scsi1 run is
        // the newest of all, but no set of pve1 takes it.
        ASSERT_TRUE(host_.add_lv_random("local-lvm", "vm-101-disk-7", kDisk1Size, 41));
        ASSERT_NO_FATAL_FAILURE(
            backup_with_agent("vm101", kVm101Config, {{"scsi1", "vm-101-disk-7"}}, made_at(kDay1 + 3 * kDay, "pve2")));
        auto r = restore({"--list"});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        std::vector<std::string> listed = lines_of(r.out);
        ASSERT_EQ(listed.size(), 4u) << r.out;
        EXPECT_EQ(listed[0], "2026-01-04T00:00:00Z host=pve2 incomplete disks=scsi1 missing=scsi0 size=4194304");
        EXPECT_EQ(listed[1], "2026-01-03T00:00:00Z host=pve1 complete disks=scsi0,scsi1 missing=- size=12582912");

        r = restore({"--vmid", "204"});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        restored(204, 3);
        EXPECT_EQ(warnings(r.err),
                  (std::vector<std::string>{
                      "WARN: the newest backup of 'vm101', made at 2026-01-04T00:00:00Z on host pve2, is incomplete "
                      "(it lacks scsi0): restoring the newest complete one, made at 2026-01-03T00:00:00Z on host "
                      "pve1",
                      "WARN: backups of 'vm101' from 2 hosts are under " + backup_dir() +
                          ": their runs are never mixed; restoring the one made at 2026-01-03T00:00:00Z on host "
                          "pve1 (see --list)",
                      masked_password(204)}));
        expect_clean();
    }
}

const char *const kUefiConfig =
    "agent: 1\n"
    "bios: ovmf\n"
    "boot: order=scsi0\n"
    "efidisk0: local-lvm:vm-101-disk-2,efitype=4m,pre-enrolled-keys=1,size=528K\n"
    "machine: q35\n"
    "memory: 2048\n"
    "scsi0: local-lvm:vm-101-disk-0,size=8M\n"
    "vmgenid: 0\n";

TEST_F(BackupSets, UefiVmKeepsItsEfiDisk) {
    ASSERT_TRUE(host_.add_storage("local-lvm", "lvmthin"));
    ASSERT_TRUE(host_.add_vm(101, kUefiConfig));
    ASSERT_TRUE(host_.add_lv_random("local-lvm", "vm-101-disk-0", kDisk0Size, 51));
    // An EFI vars disk of 528 KiB takes one 4 MiB extent.
    const uint64_t efi_size = 4u << 20;
    ASSERT_TRUE(host_.add_lv_random("local-lvm", "vm-101-disk-2", efi_size, 52));
    const std::string efi_sha = vlt_test::sha256_hex(vlt_test::random_bytes(efi_size, 52));
    ASSERT_NO_FATAL_FAILURE(backup_with_program());
    ASSERT_EQ(job_headers("vm101-efidisk0").size(), 1u);

    auto r = restore({"--vmid", "300"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(pvesm_calls(), (std::vector<std::string>{
                                 "alloc local-lvm 300  4096",
                                 "path local-lvm:vm-300-disk-0",
                                 "alloc local-lvm 300  8192",
                                 "path local-lvm:vm-300-disk-1",
                             }));
    EXPECT_EQ(vlt_test::sha256_file(host_.lv_device(host_.vg(), "vm-300-disk-0"), efi_size), efi_sha);
    EXPECT_EQ(vlt_test::sha256_file(host_.lv_device(host_.vg(), "vm-300-disk-1"), kDisk0Size),
              vlt_test::sha256_hex(vlt_test::random_bytes(kDisk0Size, 51)));
    std::string conf = vlt_test::read_file(conf_path(300));
    EXPECT_EQ(conf, "agent: 1\n"
                    "bios: ovmf\n"
                    "boot: order=scsi0\n"
                    "efidisk0: local-lvm:vm-300-disk-0,efitype=4m,pre-enrolled-keys=1,size=528K\n"
                    "machine: q35\n"
                    "memory: 2048\n"
                    "scsi0: local-lvm:vm-300-disk-1,size=8M\n"
                    "vmgenid: 0\n");
    EXPECT_EQ(warnings(r.err), std::vector<std::string>{});
    expect_clean();

    // A backup made before EFI disks were backed up (no efidisk0 job, no
    // record of its disks) restores as it always did, with the WARN.
    ASSERT_NO_FATAL_FAILURE(backup_with_agent("old", kUefiConfig, {{"scsi0", "vm-101-disk-0"}}));
    r = restore({"--vmid", "301"}, {}, "old");
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(vlt_test::read_file(conf_path(301)), "agent: 1\n"
                                                   "bios: ovmf\n"
                                                   "boot: order=scsi0\n"
                                                   "machine: q35\n"
                                                   "memory: 2048\n"
                                                   "scsi0: local-lvm:vm-301-disk-0,size=8M\n"
                                                   "vmgenid: 0\n");
    EXPECT_EQ(warnings(r.err), std::vector<std::string>{"WARN: efidisk0 was not part of the backup: add a new "
                                                        "EFI disk to VM 301 before its first start"});
    expect_clean();
}

}  // namespace
}  // namespace e2e
