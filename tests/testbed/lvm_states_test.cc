// Templates, inactive LVs, lvchange, fill levels of thin pools and COW
// snapshots, and the padded lvs listing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/testbed/testbed_util.h"

namespace testbed_test {
namespace {

using vlt_test::run_result;

constexpr uint64_t kMiB = 1024 * 1024;

class LvmStates : public host_test {
protected:
    // lvs of one LV with the given fields ("|" separated, bytes).
    std::string lvs_of(const std::string &lv, const std::string &fields) {
        run_result r = tool("lvs", {"--noheadings", "--separator", "|", "--units", "b", "--nosuffix", "-o", fields,
                                    host_.vg() + "/" + lv});
        EXPECT_EQ(r.exit_status, 0) << r.err;
        return r.out;
    }
    // True when one block can be written to the device.
    static bool writable(const std::string &dev) {
        int fd = open(dev.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return false;
        std::string block(4096, '\0');
        bool ok = pwrite(fd, block.data(), block.size(), 0) == ssize_t(block.size());
        close(fd);
        return ok;
    }
    bool has_node(const std::string &lv) {
        struct stat st;
        return lstat(host_.lv_device(host_.vg(), lv).c_str(), &st) == 0;
    }
};

TEST_F(LvmStates, TemplateBaseVolumesAreReadOnlyInactiveAndSkipped) {
    const std::string &vg = host_.vg();
    ASSERT_TRUE(host_.add_vm(100, "template: 1\nscsi0: local-lvm:base-100-disk-0,size=4M\n"));
    ASSERT_TRUE(host_.add_lv_with("local-lvm", "base-100-disk-0", 4 * kMiB, {"--inactive", "--read-only", "--skip"}));
    ASSERT_TRUE(host_.add_lv_with("thick", "base-100-disk-1", 4 * kMiB, {"--inactive", "--read-only"}));
    EXPECT_EQ(lvs_of("base-100-disk-0", "lv_name,lv_attr,lv_kernel_major"), "  base-100-disk-0|Vri---tz-k|\n");
    EXPECT_EQ(lvs_of("base-100-disk-1", "lv_name,lv_attr,lv_kernel_major"), "  base-100-disk-1|-ri-------|\n");
    EXPECT_FALSE(has_node("base-100-disk-0"));
    EXPECT_EQ(tool("qm", {"config", "100", "--current"}).out,
              "scsi0: local-lvm:base-100-disk-0,size=4M\ntemplate: 1\n");
    EXPECT_EQ(tool("pvesm", {"path", "local-lvm:base-100-disk-0"}).out, "/dev/" + vg + "/base-100-disk-0\n");

    // Active, a read-only LV's device refuses writes.
    ASSERT_TRUE(host_.add_lv_with("thick", "base-101-disk-0", 4 * kMiB, {"--read-only"}));
    EXPECT_EQ(lvs_of("base-101-disk-0", "lv_attr"), "  -ri-a-----\n");
    EXPECT_FALSE(writable(host_.lv_device(vg, "base-101-disk-0")));
    std::string report;
    EXPECT_TRUE(host_.check_clean(&report)) << report;
}

TEST_F(LvmStates, SnapshotsOfInactiveOriginsFollowLvm) {
    const std::string &vg = host_.vg();
    std::string thin_data = vlt_test::random_bytes(4 * kMiB, 21), thick_data = vlt_test::random_bytes(8 * kMiB, 22);
    ASSERT_TRUE(host_.add_lv("local-lvm", "vm-101-disk-0", 4 * kMiB, thin_data));
    ASSERT_TRUE(host_.add_lv("thick", "vm-101-disk-1", 8 * kMiB, thick_data));
    ASSERT_EQ(tool("lvchange", {"-an", vg + "/vm-101-disk-0", vg + "/vm-101-disk-1"}).exit_status, 0);
    ASSERT_EQ(host_.driver({"set", "inactive_kernel", "-1"}), 0);
    ASSERT_TRUE(host_.record_activation());
    const std::string fields = "lv_name,lv_attr,lv_kernel_major,lv_kernel_minor";
    EXPECT_EQ(lvs_of("vm-101-disk-0", fields), "  vm-101-disk-0|Vwi---tz--|-1|-1\n");
    EXPECT_EQ(lvs_of("vm-101-disk-1", fields), "  vm-101-disk-1|-wi-------|-1|-1\n");

    // A thin snapshot with -kn comes up active: only the pool must be.
    run_result r = tool("lvcreate", {"-s", "-y", "-kn", "-n", "vm-101-disk-0_vltsnap", vg + "/vm-101-disk-0"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(lvs_of("vm-101-disk-0_vltsnap", "lv_attr"), "  Vwi-a-tz--\n");
    ASSERT_TRUE(has_node("vm-101-disk-0_vltsnap"));
    EXPECT_EQ(vlt_test::sha256_file(host_.lv_device(vg, "vm-101-disk-0_vltsnap")), vlt_test::sha256_hex(thin_data));
    EXPECT_EQ(lvs_of("vm-101-disk-0", "lv_attr"), "  Vwi---tz--\n");

    // A COW snapshot of an inactive thick origin is inactive, and so stays the origin.
    r = tool("lvcreate", {"-s", "-y", "-n", "vm-101-disk-1_vltsnap", "-l", "10%ORIGIN", vg + "/vm-101-disk-1"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "  Logical volume \"vm-101-disk-1_vltsnap\" created.\n");
    EXPECT_EQ(lvs_of("vm-101-disk-1_vltsnap", fields), "  vm-101-disk-1_vltsnap|swi---s---|-1|-1\n");
    EXPECT_EQ(lvs_of("vm-101-disk-1", fields), "  vm-101-disk-1|owi---s---|-1|-1\n");
    EXPECT_FALSE(has_node("vm-101-disk-1_vltsnap"));
    EXPECT_FALSE(has_node("vm-101-disk-1"));

    // Activating the snapshot activates its origin too.
    r = tool("lvchange", {"-ay", vg + "/vm-101-disk-1_vltsnap"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(lvs_of("vm-101-disk-1", "lv_attr"), "  owi-a-s---\n");
    EXPECT_EQ(lvs_of("vm-101-disk-1_vltsnap", "lv_attr"), "  swi-a-s---\n");
    EXPECT_EQ(vlt_test::sha256_file(host_.lv_device(vg, "vm-101-disk-1_vltsnap")), vlt_test::sha256_hex(thick_data));
    EXPECT_EQ(dev_numbers(host_.lv_device(vg, "vm-101-disk-1")).substr(0, 2), "7|");
    std::string report;
    EXPECT_FALSE(host_.check_clean(&report));
    EXPECT_EQ(lines_of(report), (std::vector<std::string>{"snapshot " + vg + "/vm-101-disk-0_vltsnap",
                                                          "snapshot " + vg + "/vm-101-disk-1_vltsnap",
                                                          "activation " + vg + "/vm-101-disk-1 (was inactive, now active)"}));

    // Deactivating the origin takes the snapshot along; removing snapshots
    // leaves the origins inactive.
    ASSERT_EQ(tool("lvchange", {"-an", vg + "/vm-101-disk-1"}).exit_status, 0);
    EXPECT_FALSE(has_node("vm-101-disk-1_vltsnap"));
    EXPECT_FALSE(host_.lv_active(vg, "vm-101-disk-1_vltsnap"));
    for (const char *snap : {"vm-101-disk-0_vltsnap", "vm-101-disk-1_vltsnap"}) {
        r = tool("lvremove", {"-f", "-y", vg + "/" + snap});
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(r.out, std::string("  Logical volume \"") + snap + "\" successfully removed.\n");
    }
    EXPECT_EQ(lvs_of("vm-101-disk-0", "lv_attr"), "  Vwi---tz--\n");
    EXPECT_EQ(lvs_of("vm-101-disk-1", "lv_attr"), "  -wi-------\n");
    EXPECT_TRUE(host_.check_clean(&report)) << report;
}

TEST_F(LvmStates, LvchangeActivatesAndDeactivates) {
    const std::string &vg = host_.vg();
    ASSERT_TRUE(host_.add_lv_with("thick", "vm-101-disk-0", 4 * kMiB, {"--inactive"}));
    ASSERT_TRUE(host_.add_lv("local-lvm", "vm-101-disk-1", 4 * kMiB));
    // A thin snapshot made the Proxmox way: read-only, with the skip flag.
    ASSERT_EQ(tool("lvcreate", {"-n", "snap_vm-101-disk-1_a", "-pr", "-s", vg + "/vm-101-disk-1"}).exit_status, 0);
    EXPECT_EQ(lvs_of("snap_vm-101-disk-1_a", "lv_attr"), "  Vri---tz-k\n");

    run_result r = tool("lvchange", {"-aey", vg + "/vm-101-disk-0"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(host_.lv_active(vg, "vm-101-disk-0"));
    EXPECT_EQ(dev_numbers(host_.lv_device(vg, "vm-101-disk-0")),
              host_.lv_field(vg, "vm-101-disk-0", "major") + "|" + host_.lv_field(vg, "vm-101-disk-0", "minor"));
    EXPECT_EQ(tool("lvchange", {"-ay", vg + "/vm-101-disk-0"}).exit_status, 0) << "activating twice is fine";

    // The skip flag holds without -K, silently.
    r = tool("lvchange", {"-ay", vg + "/snap_vm-101-disk-1_a"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_FALSE(host_.lv_active(vg, "snap_vm-101-disk-1_a"));
    r = tool("lvchange", {"-ay", "-K", vg + "/snap_vm-101-disk-1_a"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(lvs_of("snap_vm-101-disk-1_a", "lv_attr"), "  Vri-a-tz-k\n");
    EXPECT_FALSE(writable(host_.lv_device(vg, "snap_vm-101-disk-1_a")));

    // An open LV is not deactivated.
    int fd = open(host_.lv_device(vg, "vm-101-disk-0").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    r = tool("lvchange", {"-an", vg + "/vm-101-disk-0"});
    close(fd);
    EXPECT_EQ(r.exit_status, 5);
    EXPECT_EQ(r.err, "  Logical volume " + vg + "/vm-101-disk-0 in use.\n");
    EXPECT_TRUE(host_.lv_active(vg, "vm-101-disk-0"));
    r = tool("lvchange", {"-a", "n", "/dev/" + vg + "/vm-101-disk-0"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_FALSE(host_.lv_active(vg, "vm-101-disk-0"));
    EXPECT_FALSE(has_node("vm-101-disk-0"));

    // Metadata changes.
    r = tool("lvchange", {"--setautoactivation", "n", vg + "/vm-101-disk-1"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "  Logical volume " + vg + "/vm-101-disk-1 changed.\n");
    r = tool("lvchange", {"-p", "r", "--addtag", "keep", vg + "/vm-101-disk-1"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(lvs_of("vm-101-disk-1", "lv_attr,lv_tags"), "  Vri-a-tz--|keep\n");
    EXPECT_FALSE(writable(host_.lv_device(vg, "vm-101-disk-1")));
    r = tool("lvchange", {"-pr", vg + "/vm-101-disk-1"});
    EXPECT_EQ(r.exit_status, 5);
    EXPECT_EQ(r.err, "  Logical volume " + vg + "/vm-101-disk-1 is already read only.\n");
    ASSERT_EQ(tool("lvchange", {"-prw", vg + "/vm-101-disk-1"}).exit_status, 0);
    EXPECT_TRUE(writable(host_.lv_device(vg, "vm-101-disk-1")));

    r = tool("lvchange", {"-ay", vg + "/nosuch"});
    EXPECT_EQ(r.exit_status, 5);
    EXPECT_EQ(r.err, "  Failed to find logical volume \"" + vg + "/nosuch\"\n");
    EXPECT_EQ(tool("lvchange", {"-ax", vg + "/vm-101-disk-1"}).exit_status, 3);
    EXPECT_EQ(tool("lvchange", {vg + "/vm-101-disk-1"}).exit_status, 3);
    std::vector<vlt_test::call_record> calls = host_.calls_of("lvchange");
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front().joined(), "-aey " + vg + "/vm-101-disk-0");
}

TEST_F(LvmStates, PoolUsageRisesAndFillsThePool) {
    const std::string &vg = host_.vg();
    ASSERT_TRUE(host_.add_lv("local-lvm", "vm-101-disk-0", 4 * kMiB));
    const std::string fields = "lv_name,lv_attr,data_percent,metadata_percent,snap_percent";
    EXPECT_EQ(lvs_of("data", fields), "  data|twi-a-tz--|0.00|0.00|\n");
    EXPECT_EQ(lvs_of("vm-101-disk-0", fields), "  vm-101-disk-0|Vwi-a-tz--|0.00||\n");
    ASSERT_TRUE(host_.set_pool_usage("local-lvm", 95.5, 12.25));
    EXPECT_EQ(lvs_of("data", fields), "  data|twi-a-tz--|95.50|12.25|\n");
    EXPECT_EQ(lvs_of("data", "data_percent,metadata_percent"), "  95.50|12.25\n");

    // Rising 25 % a second: full within a few seconds, then capped.
    ASSERT_TRUE(host_.set_pool_usage("local-lvm", 90, 5, 25));
    std::string line;
    for (int i = 0; i < 1000; i++) {
        line = lvs_of("data", "lv_attr,data_percent,metadata_percent");
        if (line == "  twi-a-tzD-|100.00|5.00\n") break;
        usleep(20000);
    }
    EXPECT_EQ(line, "  twi-a-tzD-|100.00|5.00\n");
    run_result r = tool("lvcreate", {"-s", "-y", "-kn", "-n", "s", vg + "/vm-101-disk-0"});
    EXPECT_EQ(r.exit_status, 5);
    EXPECT_EQ(r.err, "  Cannot create new thin volume, free space in thin pool " + vg + "/data reached threshold.\n");
    r = tool("pvesm", {"alloc", "local-lvm", "102", "", "4M"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "lvcreate '" + vg + "/vm-102-disk-0' error:   Cannot create new thin volume, free space in thin pool " +
                         vg + "/data reached threshold.\n");

    // Full metadata shows M; set-pool-full shows 100 % data; off clears it.
    ASSERT_TRUE(host_.set_pool_usage("local-lvm", 40, 100));
    EXPECT_EQ(lvs_of("data", "lv_attr,data_percent,metadata_percent"), "  twi-a-tzM-|40.00|100.00\n");
    ASSERT_EQ(host_.driver({"set-pool-usage", "local-lvm", "off"}), 0);
    ASSERT_EQ(host_.driver({"set-pool-full", "local-lvm", "1"}), 0);
    EXPECT_EQ(lvs_of("data", "lv_attr,data_percent"), "  twi-a-tzD-|100.00\n");
    ASSERT_EQ(host_.driver({"set-pool-full", "local-lvm", "0"}), 0);
    EXPECT_EQ(lvs_of("data", "lv_attr,data_percent"), "  twi-a-tz--|0.00\n");
    EXPECT_EQ(tool("lvcreate", {"-s", "-y", "-kn", "-n", "s", vg + "/vm-101-disk-0"}).exit_status, 0);

    std::string out;
    EXPECT_NE(host_.driver({"set-pool-usage", "local-lvm", "101"}, &out), 0);
    EXPECT_NE(host_.driver({"set-pool-usage", "thick", "50"}, &out), 0);
    EXPECT_NE(out.find("is not lvmthin"), std::string::npos) << out;
}

TEST_F(LvmStates, CowSnapshotsFillAndTurnInvalid) {
    const std::string &vg = host_.vg();
    ASSERT_TRUE(host_.add_lv("thick", "vm-101-disk-0", 8 * kMiB));
    ASSERT_TRUE(host_.add_lv("thick", "vm-101-disk-1", 8 * kMiB));
    // Set before the snapshots exist: a default for every new one, and one by name.
    ASSERT_TRUE(host_.set_snap_usage("", "", 40, 0));
    ASSERT_TRUE(host_.set_snap_usage(vg, "vm-101-disk-1_vltsnap", 99.5, 50));
    for (const char *lv : {"vm-101-disk-0", "vm-101-disk-1"})
        ASSERT_EQ(tool("lvcreate", {"-s", "-y", "-n", std::string(lv) + "_vltsnap", "-L", "4m", vg + "/" + lv}).exit_status, 0);
    const std::string fields = "lv_attr,snap_percent,data_percent,origin_size";
    EXPECT_EQ(lvs_of("vm-101-disk-0_vltsnap", fields), "  swi-a-s---|40.00|40.00|8388608\n");
    EXPECT_EQ(lvs_of("vm-101-disk-0", fields), "  owi-a-s---|||\n");
    std::string line;
    for (int i = 0; i < 500; i++) {
        line = lvs_of("vm-101-disk-1_vltsnap", fields);
        if (line == "  swi-I-s---|100.00|100.00|8388608\n") break;
        usleep(20000);
    }
    EXPECT_EQ(line, "  swi-I-s---|100.00|100.00|8388608\n");

    // The usage copied from the default goes with its snapshot; the named
    // one applies again to the next snapshot of that name, from its creation.
    ASSERT_EQ(tool("lvremove", {"-f", "-y", vg + "/vm-101-disk-0_vltsnap", vg + "/vm-101-disk-1_vltsnap"}).exit_status, 0);
    ASSERT_EQ(host_.driver({"set-snap-usage", "--default", "off"}), 0);
    ASSERT_TRUE(host_.set_snap_usage(vg, "vm-101-disk-1_vltsnap", 10, 0));
    for (const char *lv : {"vm-101-disk-0", "vm-101-disk-1"})
        ASSERT_EQ(tool("lvcreate", {"-s", "-y", "-n", std::string(lv) + "_vltsnap", "-L", "4m", vg + "/" + lv}).exit_status, 0);
    EXPECT_EQ(lvs_of("vm-101-disk-0_vltsnap", "snap_percent"), "  0.00\n");
    EXPECT_EQ(lvs_of("vm-101-disk-1_vltsnap", "snap_percent"), "  10.00\n");
}

TEST_F(LvmStates, PaddedListingIsLongAndKeepsTheHostsLvs) {
    const std::string &vg = host_.vg();
    ASSERT_TRUE(host_.add_lv("thick", "vm-101-disk-0", 4 * kMiB));
    ASSERT_TRUE(host_.set_lvs_padding(20000));
    run_result r = lvs_listing();
    ASSERT_EQ(r.exit_status, 0) << r.err;
    std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 20002u);
    EXPECT_EQ(lines[0], "  " + vg + "|pad-000001|-wi-------|4194304|linear|||");
    EXPECT_EQ(lines[19999], "  " + vg + "|pad-020000|-wi-------|4194304|linear|||");
    EXPECT_EQ(lines[20001].compare(0, vg.size() + 17, "  " + vg + "|vm-101-disk-0|"), 0) << lines[20001];
    EXPECT_GT(r.out.size(), 1000000u) << "more than the 256 KiB a short read takes";
    // Other fields and separators, and a selection of one LV, which leaves the padding out.
    r = tool("lvs", {"--noheadings", "--separator", "%", "-o", "lv_size,lv_name"});
    EXPECT_EQ(lines_of(r.out)[0], "  4.00m%pad-000001");
    EXPECT_EQ(lvs_of("vm-101-disk-0", "lv_name"), "  vm-101-disk-0\n");
    ASSERT_TRUE(host_.set_lvs_padding(0));
    EXPECT_EQ(lines_of(lvs_listing().out).size(), 2u);
}

TEST_F(LvmStates, Qcow2NamedVolumesAreLvsLikeAnyOther) {
    const std::string &vg = host_.vg();
    std::string header = std::string("QFI\xfb", 4) + std::string(60, '\0');
    ASSERT_TRUE(host_.add_lv("thick", "vm-101-disk-2.qcow2", 4 * kMiB, header));
    EXPECT_EQ(tool("pvesm", {"path", "thick:vm-101-disk-2.qcow2"}).out, "/dev/" + vg + "/vm-101-disk-2.qcow2\n");
    EXPECT_EQ(lvs_of("vm-101-disk-2.qcow2", "lv_name,lv_attr,lv_size"), "  vm-101-disk-2.qcow2|-wi-a-----|4194304\n");
    EXPECT_EQ(vlt_test::sha256_file(host_.lv_device(vg, "vm-101-disk-2.qcow2"), 64), vlt_test::sha256_hex(header));
    // It takes its disk number.
    EXPECT_NE(tool("pvesm", {"alloc", "thick", "101", "", "4M"}).out.find("'thick:vm-101-disk-0'"), std::string::npos);
    EXPECT_NE(tool("pvesm", {"alloc", "thick", "101", "", "4M"}).out.find("'thick:vm-101-disk-1'"), std::string::npos);
    EXPECT_NE(tool("pvesm", {"alloc", "thick", "101", "", "4M"}).out.find("'thick:vm-101-disk-3'"), std::string::npos);
}

}  // namespace
}  // namespace testbed_test
