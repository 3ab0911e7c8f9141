// A template backed up with vlt_proxmox (no freeze: it never runs) and
// restored with vlt_proxmox_restore as a regular VM.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_util.h"

namespace e2e {
namespace {

using Template = restore_host;

// The backup's log lines without their time stamp: "INFO  VM 101: ...".
std::vector<std::string> backup_lines(const std::string &err) {
    std::vector<std::string> lines;
    const std::string tag = "[vlt_proxmox] ";
    for (size_t pos = 0; pos < err.size();) {
        size_t nl = err.find('\n', pos);
        std::string line = err.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? err.size() : nl + 1;
        size_t at = line.find(tag);
        if (at != std::string::npos)
            lines.push_back(line.substr(at + tag.size()));
    }
    return lines;
}

TEST_F(Template, BackedUpLikeAStoppedVmAndRestoredAsARegularVm) {
    // Only LVM-thin makes base volumes: Proxmox cannot turn a VM on thick
    // LVM into a template.
    ASSERT_TRUE(host_.add_storage("local-lvm", "lvmthin"));
    const std::string config =
        "agent: 1\n"
        "memory: 1024\n"
        "name: golden\n"
        "scsi0: local-lvm:base-101-disk-0,size=8M\n"
        "smbios1: uuid=b3247ab1-1fe6-428e-965b-08a1b64a8746\n"
        "template: 1\n"
        "virtio1: local-lvm:base-101-disk-1,size=4M\n"
        "vmgenid: 0\n";
    ASSERT_TRUE(host_.add_vm_with(101, config, {"--stopped"}));
    // Base volumes are read-only and carry the activation-skip flag.
    ASSERT_TRUE(host_.add_lv_with("local-lvm", "base-101-disk-0", kDisk0Size, {"--urandom", "--read-only", "--skip"}));
    ASSERT_TRUE(host_.add_lv_with("local-lvm", "base-101-disk-1", kDisk1Size, {"--urandom", "--read-only", "--skip"}));
    const std::string sha0 = vlt_test::sha256_file(host_.lv_device(host_.vg(), "base-101-disk-0"));
    const std::string sha1 = vlt_test::sha256_file(host_.lv_device(host_.vg(), "base-101-disk-1"));
    ASSERT_FALSE(sha0.empty());
    ASSERT_TRUE(host_.clear_calls());

    auto b = host_.run(vlt_test::backup_program(),
                       {"--vmid", "101", "--pve-dir", host_.pve_dir(), "--", "--out", backup_dir(), "--no-progress"});
    ASSERT_EQ(b.exit_status, 0) << b.err;
    std::vector<std::string> lines = backup_lines(b.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "INFO  VM 101 is a template: its disks are consistent without a freeze");
    EXPECT_EQ(lines.back(), "INFO  VM 101: backup finished, consistency: stopped (the VM is a template)");
    std::vector<std::string> qm_calls;
    for (const auto &c : host_.calls_of("qm"))
        qm_calls.push_back(c.joined());
    EXPECT_EQ(qm_calls, (std::vector<std::string>{"config 101 --current", "status 101"}));
    EXPECT_EQ(host_.calls_of("lvcreate").size(), 2u);
    expect_clean();

    auto r = restore({"--vmid", "150"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    // The base volumes come back as ordinary volumes of the new VM.
    EXPECT_EQ(vlt_test::sha256_file(host_.lv_device(host_.vg(), "vm-150-disk-0"), kDisk0Size), sha0);
    EXPECT_EQ(vlt_test::sha256_file(host_.lv_device(host_.vg(), "vm-150-disk-1"), kDisk1Size), sha1);
    const std::string conf = vlt_test::read_file(conf_path(150));
    EXPECT_EQ(conf.find("template:"), std::string::npos) << conf;
    EXPECT_NE(conf.find("scsi0: local-lvm:vm-150-disk-0,size=8M\n"), std::string::npos) << conf;
    EXPECT_NE(conf.find("virtio1: local-lvm:vm-150-disk-1,size=4M\n"), std::string::npos) << conf;
    std::vector<std::string> warns;
    for (const std::string &line : log_lines(r.err))
        if (line.rfind("WARN: ", 0) == 0)
            warns.push_back(line);
    EXPECT_EQ(warns, (std::vector<std::string>{"WARN: VM 150 was a template: restored as a regular VM (run 'qm "
                                               "template 150' to convert it)"}));
    // The template itself is untouched.
    EXPECT_EQ(vlt_test::read_file(conf_path(101)), config);
    expect_clean();
}

}  // namespace
}  // namespace e2e
