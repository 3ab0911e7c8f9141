// The restored VM owns everything it points at: each line that named a
// volume or device of the original VM points at the new VM's own volume or
// is dropped with its WARN. And --assume-zeroed reaches vlt_restore only
// where a new volume reads as zeros.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace e2e {
namespace {

using Ownership = restore_host;

TEST_F(Ownership, EveryLineNamingTheOriginalsThingsAsTheRuleSays) {
    ASSERT_TRUE(host_.add_storage("local-lvm", "lvmthin"));
    ASSERT_TRUE(host_.add_vm(101,
                             "agent: 1\n"
                             "boot: order=scsi0\n"
                             "ide0: local:iso/debian-12.iso,media=cdrom\n"
                             "ide2: local-lvm:vm-101-cloudinit,media=cdrom\n"
                             "ipconfig0: ip=dhcp\n"
                             "memory: 1024\n"
                             "parent: before-upgrade\n"
                             "sata0: /dev/disk/by-id/ata-ST2000DM008_ZFL0XXXX,size=4G\n"
                             "scsi0: local-lvm:vm-101-disk-0,size=8M\n"
                             "scsi1: local-lvm:vm-101-disk-1,size=4M\n"
                             "scsi2: local-lvm:vm-101-disk-2,backup=0,size=4M\n"
                             "unused0: local-lvm:vm-101-disk-3\n"
                             "vmgenid: 0\n"));
    for (int i = 0; i < 4; i++)
        ASSERT_TRUE(host_.add_lv_random("local-lvm", "vm-101-disk-" + std::to_string(i), 4u << 20,
                                        static_cast<uint32_t>(60 + i)));
    ASSERT_TRUE(host_.add_lv("local-lvm", "vm-101-cloudinit", 4u << 20, "cloud-init iso of VM 101"));
    // scsi1 is left out with --disk, scsi2 by its backup=0.
    ASSERT_NO_FATAL_FAILURE(backup_with_program({"--disk", "scsi0"}));
    EXPECT_TRUE(job_headers("vm101-scsi1").empty());
    EXPECT_TRUE(job_headers("vm101-scsi2").empty());
    const std::vector<std::string> lvs_before = host_.lv_names();

    auto r = restore({"--vmid", "200"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(pvesm_calls(), (std::vector<std::string>{
                                 "alloc local-lvm 200  4096",
                                 "path local-lvm:vm-200-disk-0",
                                 "alloc local-lvm 200 vm-200-cloudinit 4096",
                             }));
    EXPECT_EQ(vlt_test::read_file(conf_path(200)),
              "agent: 1\n"
              "boot: order=scsi0\n"
              "ide0: local:iso/debian-12.iso,media=cdrom\n"
              "ide2: local-lvm:vm-200-cloudinit,media=cdrom\n"
              "ipconfig0: ip=dhcp\n"
              "memory: 1024\n"
              "scsi0: local-lvm:vm-200-disk-0,size=8M\n"
              "vmgenid: 0\n");
    EXPECT_EQ(warnings(r.err),
              (std::vector<std::string>{
                  "WARN: scsi1: local-lvm:vm-101-disk-1 was left out of this backup (vlt_proxmox --disk): "
                  "dropped; add a new disk to VM 200 if it needs one",
                  "WARN: scsi2: local-lvm:vm-101-disk-2 was left out of this backup (backup=0): dropped; add a "
                  "new disk to VM 200 if it needs one",
                  "WARN: parent: snapshot 'before-upgrade' of the original VM is not part of the backup: "
                  "dropped; VM 200 starts with no snapshots",
                  "WARN: sata0: /dev/disk/by-id/ata-ST2000DM008_ZFL0XXXX is a device of the host, not part of "
                  "the backup: dropped; give it to VM 200 again only once no other VM uses it",
                  "WARN: unused0: local-lvm:vm-101-disk-3 is a volume of the original VM, not part of the "
                  "backup: dropped",
              }));
    EXPECT_TRUE(has_log_line(r.err, "INFO: ide2: a new cloud-init drive local-lvm:vm-200-cloudinit takes the place "
                                "of the original VM's (Proxmox fills it at the first start)"))
        << r.err;
    // The new VM's volumes are its own; the original's are untouched.
    std::vector<std::string> lvs_after = host_.lv_names();
    std::vector<std::string> added;
    for (const std::string &lv : lvs_after)
        if (std::find(lvs_before.begin(), lvs_before.end(), lv) == lvs_before.end())
            added.push_back(lv);
    EXPECT_EQ(added, (std::vector<std::string>{"vm-200-cloudinit", "vm-200-disk-0"}));
    EXPECT_EQ(host_.lv_names().size(), lvs_before.size() + 2);
    expect_clean();

    // A dry run plans the cloud-init drive too and allocates nothing.
    r = restore({"--vmid", "201", "--dry-run"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(has_log_line(r.err, "INFO: ide2: would allocate a new cloud-init drive vm-201-cloudinit on storage "
                                "'local-lvm'"))
        << r.err;
    EXPECT_EQ(pvesm_calls(), std::vector<std::string>{});
}

TEST_F(Ownership, AssumeZeroedOnlyForThinTargets) {
    ASSERT_TRUE(host_.add_storage("local-lvm", "lvmthin"));
    ASSERT_TRUE(host_.add_storage("fast", "lvm"));
    ASSERT_TRUE(host_.add_vm(101, "agent: 1\n"
                                  "scsi0: local-lvm:vm-101-disk-0,size=8M\n"
                                  "scsi1: fast:vm-101-disk-1,size=4M\n"
                                  "vmgenid: 0\n"));
    // Mostly holes: the restore must write them where a new volume does
    // not read as zeros.
    const std::string head0 = vlt_test::random_bytes(4096, 71), head1 = vlt_test::random_bytes(4096, 72);
    ASSERT_TRUE(host_.add_lv("local-lvm", "vm-101-disk-0", kDisk0Size, head0));
    ASSERT_TRUE(host_.add_lv("fast", "vm-101-disk-1", kDisk1Size, head1));
    ASSERT_NO_FATAL_FAILURE(backup_with_program());

    auto r = restore({"--vmid", "200", "--", "--assume-zeroed", "--verify"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    std::vector<vlt_test::call_record> runs = host_.calls_of("vlt_restore");
    ASSERT_EQ(runs.size(), 3u);
    auto tail = [](const vlt_test::call_record &c) {
        return std::vector<std::string>(c.args.begin() + 6, c.args.end());
    };
    EXPECT_EQ(tail(runs[0]), std::vector<std::string>{"--verify"});  // the configuration
    EXPECT_EQ(runs[1].args[5], host_.lv_device(host_.vg(), "vm-200-disk-0"));
    EXPECT_EQ(tail(runs[1]), (std::vector<std::string>{"--assume-zeroed", "--verify"}));
    EXPECT_EQ(runs[2].args[5], host_.lv_device(host_.vg(), "vm-200-disk-1"));
    EXPECT_EQ(tail(runs[2]), std::vector<std::string>{"--verify"});
    EXPECT_TRUE(has_log_line(r.err, "INFO: scsi1: --assume-zeroed withheld: storage 'fast' is of type lvm, not "
                                "LVM-thin, where a new volume may hold old data"))
        << r.err;
    // The new thick volume started with stale bytes; they are gone.
    EXPECT_EQ(host_.lv_field(host_.vg(), "vm-200-disk-1", "kind"), "thick");
    EXPECT_EQ(vlt_test::sha256_file(host_.lv_device(host_.vg(), "vm-200-disk-1"), kDisk1Size),
              vlt_test::sha256_hex(head1 + std::string(kDisk1Size - 4096, '\0')));
    EXPECT_EQ(vlt_test::sha256_file(host_.lv_device(host_.vg(), "vm-200-disk-0"), kDisk0Size),
              vlt_test::sha256_hex(head0 + std::string(kDisk0Size - 4096, '\0')));
    expect_clean();
}

}  // namespace
}  // namespace e2e
