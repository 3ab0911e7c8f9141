// A VM backed up with vlt_proxmox and restored as new VMs: the plan of a
// dry run, the data, the new volumes, the rewritten identity, and what the
// operator can ask to keep or move.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace e2e {
namespace {

const std::string kUuid = "[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}";

std::string line_value(const std::string &text, const std::string &key) {
    std::smatch m;
    std::regex re("(^|\n)" + key + ": ([^\n]*)");
    return std::regex_search(text, m, re) ? m[2].str() : "";
}

size_t count_lines_starting(const std::string &text, const std::string &start) {
    size_t n = 0;
    for (size_t pos = 0; pos < text.size();) {
        if (text.compare(pos, start.size(), start) == 0)
            n++;
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            break;
        pos = nl + 1;
    }
    return n;
}

using RoundTrip = restore_host;

TEST_F(RoundTrip, DryRunThenRestoresOfOneBackup) {
    ASSERT_NO_FATAL_FAILURE(build_vm());
    ASSERT_TRUE(vlt_test::write_file(host_.pve_dir() + "/datacenter.cfg",
                                     "keyboard: en-us\nmac_prefix: 0A:BC:DE\n"));
    ASSERT_NO_FATAL_FAILURE(backup_with_program());
    const std::vector<std::string> lvs_before = host_.lv_names();
    std::vector<std::string> h0 = job_headers("vm101-scsi0");
    std::vector<std::string> h1 = job_headers("vm101-scsi1");
    ASSERT_EQ(h0.size(), 1u);
    ASSERT_EQ(h1.size(), 1u);

    {
        SCOPED_TRACE("a dry run plans every disk and changes nothing");
        auto r = restore({"--dry-run", "--storage-map", "local-lvm=fast"});
        EXPECT_EQ(r.exit_status, 0) << r.err;
        std::vector<std::string> lines = log_lines(r.err);
        ASSERT_FALSE(lines.empty()) << r.err;
        EXPECT_TRUE(std::regex_match(lines[0], std::regex("INFO: restoring the backup of 'vm101' made at "
                                                          "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ on host .+")))
            << lines[0];
        lines.erase(lines.begin());
        EXPECT_EQ(lines,
                  (std::vector<std::string>{
                      "INFO: restoring 'vm101' (2 disk-like volume(s)) to VMID 100 (dry run)",
                      "INFO: scsi0: would allocate 8192 on storage 'fast' (source was "
                      "'local-lvm', 8388608 bytes), from job " + h0[0],
                      "INFO: scsi1: would allocate 4096 on storage 'fast' (source was "
                      "'local-lvm', 4194304 bytes), from job " + h1[0],
                      "INFO: dry run: VMID 100 would be used, nothing was allocated or written",
                      "INFO: done (VMID 100) [dry run]",
                  }));
        EXPECT_EQ(pvesm_calls(), std::vector<std::string>{});
        EXPECT_EQ(host_.lv_names(), lvs_before);
        EXPECT_EQ(qemu_server_entries(), std::vector<std::string>{"101.conf"});
        expect_clean();
    }

    {
        SCOPED_TRACE("a restore to the next free VMID");
        auto r = restore({});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        // pvesh hands out the lowest free id; 101 is the original.
        ASSERT_EQ(done_vmid(r.err), 100) << r.err;
        EXPECT_EQ(pvesm_calls(), (std::vector<std::string>{
                                     "alloc local-lvm 100  8192",
                                     "path local-lvm:vm-100-disk-0",
                                     "alloc local-lvm 100  4096",
                                     "path local-lvm:vm-100-disk-1",
                                 }));
        EXPECT_EQ(vlt_test::sha256_file(host_.lv_device(host_.vg(), "vm-100-disk-0"), kDisk0Size),
                  disk_sha[0]);
        EXPECT_EQ(vlt_test::sha256_file(host_.lv_device(host_.vg(), "vm-100-disk-1"), kDisk1Size),
                  disk_sha[1]);

        const std::string conf = vlt_test::read_file(conf_path(100));
        const std::string mac = "0A:BC:DE(:[0-9A-F]{2}){3}";
        const std::regex shape("agent: 1\n"
                               "boot: order=scsi0;net0\n"
                               "ciuser: admin\n"
                               "cores: 2\n"
                               "ide2: none,media=cdrom\n"
                               "memory: 2048\n"
                               "name: web01\n"
                               "net0: virtio=" + mac + ",bridge=vmbr0,firewall=1\n"
                               "net1: e1000=" + mac + ",bridge=vmbr1\n"
                               "ostype: l26\n"
                               "scsi0: local-lvm:vm-100-disk-0,discard=on,iothread=1,size=8M\n"
                               "scsi1: local-lvm:vm-100-disk-1,size=4M\n"
                               "scsihw: virtio-scsi-single\n"
                               "smbios1: uuid=" + kUuid + ",manufacturer=acme\n"
                               "vmgenid: " + kUuid + "\n");
        ASSERT_TRUE(std::regex_match(conf, shape)) << conf;
        // Every card gets a MAC of its own.
        EXPECT_NE(line_value(conf, "net0").substr(7, 17), line_value(conf, "net1").substr(6, 17));
        const std::string smbios_uuid = line_value(conf, "smbios1").substr(5, 36);
        const std::string genid = line_value(conf, "vmgenid");
        EXPECT_NE(smbios_uuid, "b3247ab1-1fe6-428e-965b-08a1b64a8746");
        EXPECT_NE(genid, "7079e97c-50e3-4079-afe7-23e67566b946");
        EXPECT_NE(genid, smbios_uuid);

        // qm config masked the cloud-init password: it is left out, once.
        EXPECT_EQ(warnings(r.err), std::vector<std::string>{
                                       "WARN: cipassword was not part of the backup: set it "
                                       "again for VM 100"});
        std::vector<std::string> lines = log_lines(r.err);
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2], "INFO: VM 100 restored: 2 disk(s), config written to " +
                                               conf_path(100) + " (VM left stopped)");
        EXPECT_EQ(qemu_server_entries(), (std::vector<std::string>{"100.conf", "101.conf"}));
        EXPECT_EQ(vlt_test::read_file(conf_path(101)), kVm101Config);
        expect_clean();
    }

    {
        SCOPED_TRACE("kept identity, disks moved to another storage");
        auto r = restore({"--vmid", "300", "--keep-network-identity", "--keep-smbios-uuid",
                          "--storage-map", "local-lvm=fast"});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(done_vmid(r.err), 300);
        EXPECT_EQ(pvesm_calls(), (std::vector<std::string>{
                                     "alloc fast 300  8192",
                                     "path fast:vm-300-disk-0",
                                     "alloc fast 300  4096",
                                     "path fast:vm-300-disk-1",
                                 }));
        EXPECT_EQ(host_.lv_field(host_.vg(), "vm-300-disk-0", "kind"), "thick");
        EXPECT_EQ(vlt_test::sha256_file(host_.lv_device(host_.vg(), "vm-300-disk-0"), kDisk0Size),
                  disk_sha[0]);
        EXPECT_EQ(vlt_test::sha256_file(host_.lv_device(host_.vg(), "vm-300-disk-1"), kDisk1Size),
                  disk_sha[1]);

        std::string conf = vlt_test::read_file(conf_path(300));
        std::string expected = kVm101Config;
        auto swap = [&](const std::string &from, const std::string &to) {
            size_t at = expected.find(from);
            ASSERT_NE(at, std::string::npos) << from;
            expected.replace(at, from.size(), to);
        };
        swap("local-lvm:vm-101-disk-0", "fast:vm-300-disk-0");
        swap("local-lvm:vm-101-disk-1", "fast:vm-300-disk-1");
        swap("cipassword: $5$salt$Rk0zYjJhYmNkZWZnaGlqa2xtbm9wcXJz\n", "");
        // Only the generation id is new.
        const std::string genid = line_value(conf, "vmgenid");
        ASSERT_TRUE(std::regex_match(genid, std::regex(kUuid))) << conf;
        EXPECT_NE(genid, "7079e97c-50e3-4079-afe7-23e67566b946");
        swap("7079e97c-50e3-4079-afe7-23e67566b946", genid);
        EXPECT_EQ(conf, expected);
        EXPECT_EQ(count_lines_starting(conf, "vmgenid:"), 1u);
        expect_clean();
    }
}

// The new VM has no snapshots: parent: and the snapshot sections (whose
// disk lines name the original's volumes) go, each with its WARN.
TEST_F(RoundTrip, ParentAndSnapshotSectionsAreDropped) {
    ASSERT_NO_FATAL_FAILURE(build_vm());
    const std::string snapshots =
        "[snap1]\n"
        "memory: 1024\n"
        "scsi0: local-lvm:vm-101-disk-0,discard=on,iothread=1,size=8M\n"
        "net0: virtio=BC:24:11:2C:69:EC,bridge=vmbr0,firewall=1\n"
        "snaptime: 1765000000\n"
        "vmgenid: 7079e97c-50e3-4079-afe7-23e67566b946\n";
    std::string main_section = kVm101Config;
    main_section.insert(main_section.find("ostype:"), "parent: snap1\n");
    ASSERT_NO_FATAL_FAILURE(backup_with_agent("vm101", main_section + "\n" + snapshots,
                                              {{"scsi0", "vm-101-disk-0"},
                                               {"scsi1", "vm-101-disk-1"}}));

    auto r = restore({"--vmid", "400"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    std::string conf = vlt_test::read_file(conf_path(400));
    EXPECT_EQ(conf.find("[snap1]"), std::string::npos) << conf;
    EXPECT_EQ(conf.find("parent:"), std::string::npos) << conf;
    EXPECT_EQ(conf.find("vm-101-"), std::string::npos) << conf;
    EXPECT_EQ(count_lines_starting(conf, "vmgenid:"), 1u);
    EXPECT_NE(conf.find("scsi0: local-lvm:vm-400-disk-0,discard=on,iothread=1,size=8M\n"),
              std::string::npos);
    EXPECT_EQ(vlt_test::sha256_file(host_.lv_device(host_.vg(), "vm-400-disk-1"), kDisk1Size),
              disk_sha[1]);
    EXPECT_EQ(warnings(r.err),
              (std::vector<std::string>{
                  "WARN: parent: snapshot 'snap1' of the original VM is not part of the backup: dropped; VM 400 "
                  "starts with no snapshots",
                  "WARN: [snap1]: dropped with its lines: the original VM's snapshots and pending changes are not "
                  "part of the backup"}));
    expect_clean();
}

}  // namespace
}  // namespace e2e
