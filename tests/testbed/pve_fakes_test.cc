// qm, pvesm and pvesh of the simulated host.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <sys/stat.h>

#include "tests/testbed/testbed_util.h"

namespace testbed_test {
namespace {

using vlt_test::run_result;

constexpr uint64_t kMiB = 1024 * 1024;

class PveFakes : public host_test {};

TEST_F(PveFakes, QmConfigPrintsTheMainSectionSortedAndMasked) {
    ASSERT_TRUE(host_.add_vm(101,
                             "#web01\n"
                             "#owner: ops 100%\n"
                             "agent: 1\n"
                             "scsi2: local-lvm:vm-101-disk-2,size=4M\n"
                             "scsi10: local-lvm:vm-101-disk-1,size=4M\n"
                             "scsi1: local-lvm:vm-101-disk-0,size=4M  \n"
                             "cipassword: $5$secret\n"
                             "digest: 0123abcd\n"
                             "cdrom: none,media=cdrom\n"
                             "parent: before\n"
                             "memory: 2048\n"
                             "\n"
                             "[PENDING]\n"
                             "memory: 4096\n"
                             "delete: parent\n"
                             "\n"
                             "[before]\n"
                             "memory: 1024\n"
                             "snaptime: 1700000000\n"));
    run_result r = tool("qm", {"config", "101", "--current"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out,
              "agent: 1\n"
              "cipassword: **********\n"
              "description: web01%0Aowner%3A ops 100%25\n"
              "ide2: none,media=cdrom\n"
              "memory: 2048\n"
              "parent: before\n"
              "scsi1: local-lvm:vm-101-disk-0,size=4M\n"
              "scsi10: local-lvm:vm-101-disk-1,size=4M\n"
              "scsi2: local-lvm:vm-101-disk-2,size=4M\n");

    // Without --current the pending values are applied.
    r = tool("qm", {"config", "101"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.out.find("memory: 4096\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("parent:"), std::string::npos) << r.out;
}

TEST_F(PveFakes, QmConfigEncodesADescriptionLineAndNonAscii) {
    ASSERT_TRUE(host_.add_vm(102, "description: caf%C3%A9%0Asecond\nname: x\n"));
    run_result r = tool("qm", {"config", "102", "--current"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "description: caf%C3%A9%0Asecond\nname: x\n");
}

TEST_F(PveFakes, QmConfigReprintsDriveLines) {
    ASSERT_TRUE(host_.add_vm(103,
                             "scsi0: size=1.5G,discard=on,file=local-lvm:vm-103-disk-0,iothread=1\n"
                             "virtio1: local-lvm:vm-103-disk-1,size=104858K\n"
                             "sata0: local-lvm:vm-103-disk-2,size=2048\n"
                             "efidisk0: local-lvm:vm-103-disk-3,size=528K,efitype=4m\n"));
    run_result r = tool("qm", {"config", "103", "--current"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    // efidisk lines are left as they are.
    EXPECT_EQ(r.out,
              "efidisk0: local-lvm:vm-103-disk-3,size=528K,efitype=4m\n"
              "sata0: local-lvm:vm-103-disk-2,size=2K\n"
              "scsi0: local-lvm:vm-103-disk-0,discard=on,iothread=1,size=1536M\n"
              "virtio1: local-lvm:vm-103-disk-1,size=104858K\n");
}

TEST_F(PveFakes, QmConfigOfAMissingVm) {
    run_result r = tool("qm", {"config", "999", "--current"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "Configuration file 'nodes/simnode/qemu-server/999.conf' does not exist\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(PveFakes, FreezeThawChangesTheFrozenState) {
    ASSERT_TRUE(host_.add_vm(101, "agent: 1\n"));
    run_result r = tool("qm", {"guest", "cmd", "101", "fsfreeze-freeze"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "2\n");
    EXPECT_TRUE(host_.guest_frozen(101));
    EXPECT_EQ(tool("qm", {"guest", "cmd", "101", "fsfreeze-status"}).out, "frozen\n");

    // A second freeze answers with the agent's error object and status 0.
    r = tool("qm", {"guest", "cmd", "101", "fsfreeze-freeze"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out,
              "{\n"
              "   \"error\" : {\n"
              "      \"class\" : \"CommandNotFound\",\n"
              "      \"desc\" : \"Command guest-fsfreeze-freeze has been disabled: the command is not allowed\"\n"
              "   }\n"
              "}\n");
    EXPECT_TRUE(host_.guest_frozen(101));

    r = tool("qm", {"guest", "cmd", "101", "fsfreeze-thaw"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "2\n");
    EXPECT_FALSE(host_.guest_frozen(101));
    r = tool("qm", {"guest", "cmd", "101", "fsfreeze-thaw"});
    EXPECT_EQ(r.out, "0\n");
    EXPECT_EQ(tool("qm", {"guest", "cmd", "101", "fsfreeze-status"}).out, "thawed\n");
}

TEST_F(PveFakes, FreezeFailsWithoutAWorkingAgent) {
    ASSERT_TRUE(host_.add_vm(101, "agent: 1\n", "absent"));
    ASSERT_TRUE(host_.add_vm(102, "memory: 512\n"));
    ASSERT_TRUE(host_.add_vm(103, "agent: enabled=0,freeze-fs=1\n"));
    ASSERT_EQ(host_.driver({"add-vm", "104", "--config-text", "agent: 1\n", "--stopped"}), 0);
    ASSERT_TRUE(host_.add_vm(105, "agent: 1\n", "timeout"));

    run_result r = tool("qm", {"guest", "cmd", "101", "fsfreeze-freeze"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "QEMU guest agent is not running\n");
    r = tool("qm", {"guest", "cmd", "102", "fsfreeze-freeze"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "No QEMU guest agent configured\n");
    r = tool("qm", {"guest", "cmd", "103", "fsfreeze-freeze"});
    EXPECT_EQ(r.err, "No QEMU guest agent configured\n");
    r = tool("qm", {"guest", "cmd", "104", "fsfreeze-freeze"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "VM 104 is not running\n");
    r = tool("qm", {"guest", "cmd", "105", "fsfreeze-thaw"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "VM 105 qga command 'guest-fsfreeze-thaw' failed - got timeout\n");
    for (long id : {101L, 102L, 103L, 104L, 105L}) EXPECT_FALSE(host_.guest_frozen(id)) << id;
}

TEST_F(PveFakes, HangingAgentDiesOnSigtermToItsGroup) {
    ASSERT_TRUE(host_.add_vm(101, "agent: 1\n", "hanging"));
    auto bg = host_.start("qm", {"guest", "cmd", "101", "fsfreeze-freeze"});
    ASSERT_TRUE(bg->started());
    vlt_test::run_result r = bg->wait(300);
    EXPECT_EQ(r.exit_status, -1) << "the hanging agent answered";
    ASSERT_EQ(kill(-bg->pid(), SIGTERM), 0);
    r = bg->wait(10000);
    EXPECT_EQ(r.exit_status, 143);
    EXPECT_FALSE(host_.guest_frozen(101));
    std::vector<vlt_test::call_record> all = host_.calls();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_TRUE(all[1].is_end);
    EXPECT_EQ(all[1].exit_status, 143);
}

TEST_F(PveFakes, AllocValidatesTheSizeLikeProxmox) {
    for (const char *bad : {"1K", "1T", "abc", "-1", "1.5G", "", "4m", "1 G"}) {
        run_result r = tool("pvesm", {"alloc", "local-lvm", "105", "", bad});
        EXPECT_EQ(r.exit_status, 255) << bad;
        const std::string head =
            "400 Parameter verification failed.\n"
            "size: value does not match the regex pattern\n";
        EXPECT_EQ(r.err.compare(0, head.size(), head), 0) << bad << ": " << r.err;
        EXPECT_EQ(r.out, "") << bad;
    }
    EXPECT_EQ(host_.lv_names(), std::vector<std::string>{"data"});  // nothing was created
}

TEST_F(PveFakes, AllocCreatesTheLowestFreeDiskAndRoundsToExtents) {
    const std::string &vg = host_.vg();
    ASSERT_TRUE(host_.add_lv("local-lvm", "vm-105-disk-0", 4 * kMiB));
    ASSERT_TRUE(host_.add_lv("thick", "vm-105-disk-2_vltsnap", 4 * kMiB));  // uses 2 as well
    run_result r = tool("pvesm", {"alloc", "local-lvm", "105", "", "1025"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out,
              "  Rounding up size to full physical extent 4.00 MiB\n"
              "  Logical volume \"vm-105-disk-1\" created.\n"
              "successfully created 'local-lvm:vm-105-disk-1'\n");
    EXPECT_EQ(host_.lv_field(vg, "vm-105-disk-1", "size"), "4194304");
    EXPECT_EQ(dev_numbers(host_.lv_device(vg, "vm-105-disk-1")).compare(0, 2, "7|"), 0);

    r = tool("pvesm", {"alloc", "thick", "105", "", "8M"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out,
              "  Logical volume \"vm-105-disk-3\" created.\n"
              "successfully created 'thick:vm-105-disk-3'\n");
    EXPECT_EQ(host_.lv_field(vg, "vm-105-disk-3", "tags"), "pve-vm-105");
    run_result l = lvs_listing();
    EXPECT_NE(l.out.find("|vm-105-disk-3|-wi-a-----|8388608|linear||"), std::string::npos) << l.out;

    r = tool("pvesm", {"alloc", "local-lvm", "105", "vm-105-disk-0", "1G"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "lvcreate '" + vg + "/vm-105-disk-0' error:   Logical Volume \"vm-105-disk-0\" already exists in volume group \"" + vg + "\"\n");
    r = tool("pvesm", {"alloc", "local-lvm", "105", "disk-x", "1G"});
    EXPECT_EQ(r.err, "illegal name 'disk-x' - should be 'vm-105-*'\n");
    r = tool("pvesm", {"alloc", "nostore", "105", "", "1G"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "storage 'nostore' does not exist\n");
}

TEST_F(PveFakes, AllocOnAFullVgFails) {
    const std::string small = host_.vg() + "s";
    ASSERT_TRUE(host_.add_storage("small", "lvm", small));
    ASSERT_TRUE(host_.set_vg_size(8 * kMiB, small));
    run_result r = tool("pvesm", {"alloc", "small", "105", "", "12M"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "lvcreate '" + small + "/vm-105-disk-0' error:   Volume group \"" + small +
                         "\" has insufficient free space (2 extents): 3 required.\n");
    EXPECT_FALSE(host_.lv_exists(small, "vm-105-disk-0"));
}

TEST_F(PveFakes, NewThickVolumesHoldStaleBytesThinOnesZeros) {
    const std::string &vg = host_.vg();
    ASSERT_EQ(tool("pvesm", {"alloc", "thick", "105", "", "4M"}).exit_status, 0);
    ASSERT_EQ(tool("pvesm", {"alloc", "local-lvm", "105", "", "4M"}).exit_status, 0);
    std::string zeros = vlt_test::sha256_hex(std::string(4 * kMiB, '\0'));
    EXPECT_NE(vlt_test::sha256_file(host_.lv_device(vg, "vm-105-disk-0")), zeros);
    EXPECT_EQ(vlt_test::sha256_file(host_.lv_device(vg, "vm-105-disk-1")), zeros);
}

TEST_F(PveFakes, PathAndFree) {
    const std::string &vg = host_.vg();
    ASSERT_TRUE(host_.add_lv("local-lvm", "vm-105-disk-0", 4 * kMiB));
    run_result r = tool("pvesm", {"path", "local-lvm:vm-105-disk-0"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "/dev/" + vg + "/vm-105-disk-0\n");
    // Existence is not checked.
    EXPECT_EQ(tool("pvesm", {"path", "thick:vm-106-disk-9"}).out, "/dev/" + vg + "/vm-106-disk-9\n");
    r = tool("pvesm", {"path", "nostore:vm-1-disk-0"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "storage 'nostore' does not exist\n");
    r = tool("pvesm", {"path", "local-lvm:bogus"});
    EXPECT_EQ(r.err, "unable to parse lvm volume name 'bogus'\n");

    r = tool("pvesm", {"free", "local-lvm:vm-105-disk-0"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "  Logical volume \"vm-105-disk-0\" successfully removed.\nRemoved volume 'local-lvm:vm-105-disk-0'\n");
    EXPECT_FALSE(host_.lv_exists(vg, "vm-105-disk-0"));
    struct stat st;
    EXPECT_NE(lstat(host_.lv_device(vg, "vm-105-disk-0").c_str(), &st), 0);

    // A failed removal still exits 0, unless --delay makes the command wait for it.
    r = tool("pvesm", {"free", "local-lvm:vm-105-disk-0"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "lvremove '" + vg + "/vm-105-disk-0' error:   Failed to find logical volume \"" + vg +
                         "/vm-105-disk-0\"\n");
    r = tool("pvesm", {"free", "local-lvm:vm-105-disk-0", "--delay", "5"});
    EXPECT_EQ(r.exit_status, 255);
}

TEST_F(PveFakes, FreeOfAVolumeInUseFailsButExitsZero) {
    const std::string &vg = host_.vg();
    ASSERT_TRUE(host_.add_lv("local-lvm", "vm-105-disk-0", 4 * kMiB));
    int fd = open(host_.lv_device(vg, "vm-105-disk-0").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    run_result r = tool("pvesm", {"free", "local-lvm:vm-105-disk-0"});
    close(fd);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "lvremove '" + vg + "/vm-105-disk-0' error:   Logical volume " + vg + "/vm-105-disk-0 in use.\n");
    EXPECT_TRUE(host_.lv_exists(vg, "vm-105-disk-0"));
}

TEST_F(PveFakes, DirStorageAllocatesFiles) {
    ASSERT_TRUE(host_.add_storage("local", "dir"));
    run_result r = tool("pvesm", {"alloc", "local", "105", "", "1024"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    std::string file = host_.root() + "/dir/local/images/105/vm-105-disk-0.raw";
    EXPECT_EQ(r.out, "Formatting '" + file + "', fmt=raw size=1048576\nsuccessfully created 'local:105/vm-105-disk-0.raw'\n");
    EXPECT_EQ(tool("pvesm", {"path", "local:105/vm-105-disk-0.raw"}).out, file + "\n");
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 1048576);
}

TEST_F(PveFakes, NextidIsTheLowestFreeVmid) {
    run_result r = tool("pvesh", {"get", "/cluster/nextid"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "100\n");
    ASSERT_TRUE(host_.add_vm(100, "memory: 1\n"));
    ASSERT_TRUE(host_.add_ct(101));
    ASSERT_TRUE(host_.add_vm(103, "memory: 1\n"));
    EXPECT_EQ(tool("pvesh", {"get", "/cluster/nextid"}).out, "102\n");
    EXPECT_EQ(tool("pvesh", {"get", "/cluster/nextid", "--output-format", "json"}).out, "\"102\"\n");

    ASSERT_TRUE(vlt_test::write_file(host_.pve_dir() + "/datacenter.cfg", "keyboard: en-us\nnext-id: lower=103,upper=105\n"));
    EXPECT_EQ(tool("pvesh", {"get", "/cluster/nextid"}).out, "104\n");
    ASSERT_TRUE(host_.add_vm(104, "memory: 1\n"));
    r = tool("pvesh", {"get", "/cluster/nextid"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "unable to get any free VMID in range [103, 105]\n");
}

}  // namespace
}  // namespace testbed_test
