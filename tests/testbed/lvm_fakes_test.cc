// lvs, lvcreate, lvremove and udevadm of the simulated host.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/testbed/testbed_util.h"

namespace testbed_test {
namespace {

using vlt_test::run_result;

constexpr uint64_t kMiB = 1024 * 1024;

class LvmFakes : public host_test {};

TEST_F(LvmFakes, ListingHasTheFieldsAndDeviceNumbersOfEveryLv) {
    ASSERT_TRUE(host_.add_lv("local-lvm", "vm-101-disk-0", 4 * kMiB));
    ASSERT_TRUE(host_.add_lv("thick", "vm-101-disk-1", 10 * kMiB));  // rounded to 12 MiB
    ASSERT_TRUE(host_.add_lv_with("thick", "vm-102-disk-0", 4 * kMiB, {"--inactive"}));
    run_result r = lvs_listing();
    ASSERT_EQ(r.exit_status, 0) << r.err;
    const std::string &vg = host_.vg();
    std::string d0 = dev_numbers(host_.lv_device(vg, "vm-101-disk-0"));
    std::string d1 = dev_numbers(host_.lv_device(vg, "vm-101-disk-1"));
    // The pool has device numbers but no node.
    std::string pool = host_.lv_field(vg, "data", "major") + "|" + host_.lv_field(vg, "data", "minor");
    EXPECT_EQ(dev_numbers(host_.lv_device(vg, "data")), "");
    ASSERT_FALSE(d0.empty());
    ASSERT_FALSE(d1.empty());
    ASSERT_EQ(d0.substr(0, 2), "7|");  // a loop device
    std::vector<std::string> expected = {
        "  " + vg + "|data|twi-a-tz--|274877906944|thin-pool||" + pool,
        "  " + vg + "|vm-101-disk-0|Vwi-a-tz--|4194304|thin||" + d0,
        "  " + vg + "|vm-101-disk-1|-wi-a-----|12582912|linear||" + d1,
        "  " + vg + "|vm-102-disk-0|-wi-------|4194304|linear|||",
    };
    EXPECT_EQ(lines_of(r.out), expected);
    // An inactive LV has neither device nor node.
    struct stat st;
    EXPECT_NE(lstat(host_.lv_device(vg, "vm-102-disk-0").c_str(), &st), 0);

    // The other form of an inactive LV's device numbers.
    ASSERT_EQ(host_.driver({"set", "inactive_kernel", "-1"}), 0);
    r = lvs_listing();
    EXPECT_EQ(lines_of(r.out).back(), "  " + vg + "|vm-102-disk-0|-wi-------|4194304|linear||-1|-1");
}

TEST_F(LvmFakes, ListingPrintsOneRowPerSegmentAndHonoursSelections) {
    ASSERT_TRUE(host_.add_lv_with("thick", "vm-101-disk-0", 4 * kMiB, {"--segments", "2"}));
    ASSERT_TRUE(host_.add_lv("local-lvm", "vm-101-disk-1", 4 * kMiB));
    // Later LVs do not inherit anything from the one before.
    ASSERT_TRUE(host_.add_lv("thick", "vm-101-disk-2", 4 * kMiB));
    ASSERT_EQ(tool("pvesm", {"alloc", "thick", "101", "", "4M"}).exit_status, 0);
    run_result r = tool("lvs", {"--noheadings", "--separator", "|", "--units", "b", "--nosuffix", "-o",
                                "lv_name,lv_size", host_.vg() + "/vm-101-disk-0", host_.vg() + "/vm-101-disk-2",
                                host_.vg() + "/vm-101-disk-3"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{"  vm-101-disk-0|4194304", "  vm-101-disk-0|4194304",
                                                        "  vm-101-disk-2|4194304", "  vm-101-disk-3|4194304"}));

    r = tool("lvs", {"--noheadings", "-o", "lv_name", "nosuchvg"});
    EXPECT_EQ(r.exit_status, 5);
    EXPECT_NE(r.err.find("Volume group \"nosuchvg\" not found"), std::string::npos) << r.err;
    r = tool("lvs", {"-o", "lv_name,bogus_field"});
    EXPECT_EQ(r.exit_status, 5);
}

TEST_F(LvmFakes, ListingWithHeadingAndHumanSizes) {
    ASSERT_TRUE(host_.add_lv("thick", "vm-101-disk-0", 4 * kMiB));
    run_result r = tool("lvs", {"--separator", ";", "-o", "lv_name,lv_size", host_.vg() + "/vm-101-disk-0"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{"  LV;LSize", "  vm-101-disk-0;4.00m"}));
}

TEST_F(LvmFakes, ThinSnapshotCopiesTheOriginAtThatMoment) {
    const std::string &vg = host_.vg();
    std::string before = vlt_test::random_bytes(4 * kMiB, 7);
    ASSERT_TRUE(host_.add_lv("local-lvm", "vm-101-disk-0", 4 * kMiB, before));
    run_result r = tool("lvcreate", {"-s", "-y", "-kn", "-n", "vm-101-disk-0_vltsnap", "--addtag", "vlt_agent",
                                     "--addtag", "vm101", vg + "/vm-101-disk-0"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "  Logical volume \"vm-101-disk-0_vltsnap\" created.\n");

    // Writes to the origin after the snapshot do not reach it.
    {
        int fd = open(host_.lv_device(vg, "vm-101-disk-0").c_str(), O_WRONLY | O_SYNC);
        ASSERT_GE(fd, 0);
        std::string junk(65536, 'x');
        ASSERT_EQ(pwrite(fd, junk.data(), junk.size(), 0), ssize_t(junk.size()));
        fsync(fd);
        close(fd);
    }
    std::string snap = host_.lv_device(vg, "vm-101-disk-0_vltsnap");
    EXPECT_EQ(vlt_test::sha256_file(snap), vlt_test::sha256_hex(before));
    EXPECT_NE(vlt_test::sha256_file(host_.lv_device(vg, "vm-101-disk-0")), vlt_test::sha256_hex(before));
    EXPECT_EQ(host_.lv_field(vg, "vm-101-disk-0_vltsnap", "tags"), "vlt_agent,vm101");

    run_result l = lvs_listing();
    std::string expect = "  " + vg + "|vm-101-disk-0_vltsnap|Vwi-a-tz--|4194304|thin|vm-101-disk-0|" + dev_numbers(snap);
    EXPECT_NE(l.out.find(expect + "\n"), std::string::npos) << l.out;
}

TEST_F(LvmFakes, ThinSnapshotWithoutKnIsInactiveWithoutNode) {
    const std::string &vg = host_.vg();
    ASSERT_TRUE(host_.add_lv("local-lvm", "vm-101-disk-0", 4 * kMiB));
    run_result r = tool("lvcreate", {"-s", "-y", "-n", "snap1", vg + "/vm-101-disk-0"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    struct stat st;
    EXPECT_NE(lstat(host_.lv_device(vg, "snap1").c_str(), &st), 0);
    run_result l = lvs_listing();
    EXPECT_NE(l.out.find("  " + vg + "|snap1|Vwi---tz-k|4194304|thin|vm-101-disk-0||\n"), std::string::npos) << l.out;
}

TEST_F(LvmFakes, ThickSnapshotTakesItsCowSizeAndMarksTheOrigin) {
    const std::string &vg = host_.vg();
    std::string data = vlt_test::random_bytes(40 * kMiB, 3);
    ASSERT_TRUE(host_.add_lv("thick", "vm-101-disk-0", 40 * kMiB, data));
    run_result r = tool("lvcreate", {"-s", "-y", "-n", "vm-101-disk-0_vltsnap", "-l", "10%ORIGIN", "--addtag",
                                     "vlt_agent", "--addtag", "vm101", vg + "/vm-101-disk-0"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    std::string snap = host_.lv_device(vg, "vm-101-disk-0_vltsnap");
    // The device reads as the whole origin; lv_size is the COW area (10 % of 10 extents, rounded up).
    EXPECT_EQ(vlt_test::sha256_file(snap), vlt_test::sha256_hex(data));
    run_result l = lvs_listing();
    EXPECT_NE(l.out.find("|vm-101-disk-0|owi-a-s---|41943040|linear||"), std::string::npos) << l.out;
    EXPECT_NE(l.out.find("|vm-101-disk-0_vltsnap|swi-a-s---|4194304|linear|vm-101-disk-0|" + dev_numbers(snap)),
              std::string::npos)
        << l.out;

    r = tool("lvcreate", {"-s", "-y", "-n", "s2", "-L", "20m", vg + "/vm-101-disk-0"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(host_.lv_field(vg, "s2", "size"), "20971520");
    r = tool("lvcreate", {"-s", "-y", "-n", "s3", "-L", "5m", vg + "/vm-101-disk-0"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(host_.lv_field(vg, "s3", "size"), "8388608");
    EXPECT_NE(r.out.find("  Rounding up size to full physical extent 8.00 MiB\n"), std::string::npos) << r.out;
}

TEST_F(LvmFakes, LvcreateFailsLikeLvm) {
    const std::string &vg = host_.vg();
    ASSERT_TRUE(host_.add_lv("thick", "vm-101-disk-0", 8 * kMiB));
    ASSERT_TRUE(host_.add_lv("local-lvm", "vm-101-disk-1", 8 * kMiB));
    // A second, small VG: 40 MiB is 10 extents, the LV takes 2 of them.
    const std::string small = vg + "s";
    ASSERT_TRUE(host_.add_storage("small", "lvm", small));
    ASSERT_TRUE(host_.set_vg_size(40 * kMiB, small));
    ASSERT_TRUE(host_.add_lv("small", "vm-102-disk-0", 8 * kMiB));

    run_result r = tool("lvcreate", {"-s", "-y", "-n", "vm-101-disk-1", "-L", "4m", vg + "/vm-101-disk-0"});
    EXPECT_EQ(r.exit_status, 5);
    EXPECT_EQ(r.err, "  Logical Volume \"vm-101-disk-1\" already exists in volume group \"" + vg + "\"\n");

    r = tool("lvcreate", {"-s", "-y", "-n", "s", "-L", "4m", vg + "/nosuch"});
    EXPECT_EQ(r.exit_status, 5);
    EXPECT_EQ(r.err, "  Snapshot origin LV nosuch not found in Volume group " + vg + ".\n");

    r = tool("lvcreate", {"-s", "-y", "-n", "s", "-L", "1g", small + "/vm-102-disk-0"});
    EXPECT_EQ(r.exit_status, 5);
    EXPECT_EQ(r.err, "  Volume group \"" + small + "\" has insufficient free space (8 extents): 256 required.\n");
    // What fits is taken.
    r = tool("lvcreate", {"-s", "-y", "-n", "s", "-L", "32m", small + "/vm-102-disk-0"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    ASSERT_EQ(tool("lvremove", {"-f", "-y", small + "/s"}).exit_status, 0);

    r = tool("lvcreate", {"-s", "-y", "-n", "s", vg + "/vm-101-disk-0"});
    EXPECT_EQ(r.exit_status, 3);
    EXPECT_EQ(r.err, "  Please specify either size or extents with snapshots.\n");

    ASSERT_EQ(host_.driver({"set-pool-full", "local-lvm", "1"}), 0);
    r = tool("lvcreate", {"-s", "-y", "-kn", "-n", "s", vg + "/vm-101-disk-1"});
    EXPECT_EQ(r.exit_status, 5);
    EXPECT_EQ(r.err, "  Cannot create new thin volume, free space in thin pool " + vg + "/data reached threshold.\n");

    // None of the failures left an LV behind.
    EXPECT_FALSE(host_.lv_exists(vg, "s"));
}

TEST_F(LvmFakes, LvremoveRemovesTheLvItsNodeAndItsLoopDevice) {
    const std::string &vg = host_.vg();
    ASSERT_TRUE(host_.add_lv("thick", "vm-101-disk-0", 8 * kMiB));
    ASSERT_EQ(tool("lvcreate", {"-s", "-y", "-n", "snap", "-L", "4m", vg + "/vm-101-disk-0"}).exit_status, 0);
    std::string loop = host_.lv_field(vg, "snap", "loop");
    ASSERT_EQ(loop.compare(0, 9, "/dev/loop"), 0);

    run_result r = tool("lvremove", {"-f", "-y", vg + "/snap"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "  Logical volume \"snap\" successfully removed.\n");
    EXPECT_FALSE(host_.lv_exists(vg, "snap"));
    struct stat st;
    EXPECT_NE(lstat(host_.lv_device(vg, "snap").c_str(), &st), 0);
    std::string backing = vlt_test::read_file("/sys/block/" + loop.substr(5) + "/loop/backing_file");
    EXPECT_EQ(backing.find(host_.root()), std::string::npos) << backing;
    // The origin is a plain LV again.
    EXPECT_NE(lvs_listing().out.find("|vm-101-disk-0|-wi-a-----|"), std::string::npos);

    r = tool("lvremove", {"-f", "-y", vg + "/snap"});
    EXPECT_EQ(r.exit_status, 5);
    EXPECT_EQ(r.err, "  Failed to find logical volume \"" + vg + "/snap\"\n");
}

TEST_F(LvmFakes, LvremoveRefusesAnLvInUse) {
    const std::string &vg = host_.vg();
    ASSERT_TRUE(host_.add_lv("thick", "vm-101-disk-0", 4 * kMiB));
    ASSERT_EQ(tool("lvcreate", {"-s", "-y", "-n", "snap", "-L", "4m", vg + "/vm-101-disk-0"}).exit_status, 0);
    int fd = open(host_.lv_device(vg, "snap").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    run_result r = tool("lvremove", {"-f", "-y", vg + "/snap"});
    EXPECT_EQ(r.exit_status, 5);
    EXPECT_EQ(r.err, "  Logical volume " + vg + "/snap in use.\n");
    EXPECT_TRUE(host_.lv_exists(vg, "snap"));
    close(fd);
    r = tool("lvremove", {"-f", "-y", vg + "/snap"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_FALSE(host_.lv_exists(vg, "snap"));
}

TEST_F(LvmFakes, LvremoveOfAThickOriginTakesItsSnapshotsAlong) {
    const std::string &vg = host_.vg();
    ASSERT_TRUE(host_.add_lv("thick", "vm-101-disk-0", 8 * kMiB));
    ASSERT_EQ(tool("lvcreate", {"-s", "-y", "-n", "snap", "-L", "4m", vg + "/vm-101-disk-0"}).exit_status, 0);
    run_result r = tool("lvremove", {"-f", "-y", vg + "/vm-101-disk-0"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_FALSE(host_.lv_exists(vg, "snap"));
    EXPECT_FALSE(host_.lv_exists(vg, "vm-101-disk-0"));
}

TEST_F(LvmFakes, LvremoveWithoutForceDoesNotRemoveAnActiveLv) {
    const std::string &vg = host_.vg();
    ASSERT_TRUE(host_.add_lv("thick", "vm-101-disk-0", 4 * kMiB));
    run_result r = tool("lvremove", {vg + "/vm-101-disk-0"});
    EXPECT_EQ(r.exit_status, 5);
    EXPECT_TRUE(host_.lv_exists(vg, "vm-101-disk-0"));
}

}  // namespace
}  // namespace testbed_test
