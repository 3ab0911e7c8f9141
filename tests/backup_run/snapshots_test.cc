// The snapshot set: size specs, names, the freeze/thaw calls, lvcreate
// argument vectors, the device wait, removal retries and the rollback.
#include <gtest/gtest.h>
#include <unistd.h>
#include <signal.h>

#include <cstring>
#include <string>
#include <vector>

#include "backup/snapshots.h"
#include "fake_tools.h"

namespace {

using strings = std::vector<std::string>;

std::string size_of(const char *size)
{
    const char *option = nullptr;
    char value[32] = "";
    if (parse_snapshot_size(size, &option, value, sizeof value) != 0)
        return "invalid";
    return std::string(option) + " " + value;
}

TEST(ParseSnapshotSize, ValidSpecs)
{
    EXPECT_EQ(size_of(nullptr), "-l 10%ORIGIN");
    EXPECT_EQ(size_of(""), "-l 10%ORIGIN");
    EXPECT_EQ(size_of("512"), "-L 512m");
    EXPECT_EQ(size_of("20G"), "-L 20g");
    EXPECT_EQ(size_of("20g"), "-L 20g");
    EXPECT_EQ(size_of("7M"), "-L 7m");
    EXPECT_EQ(size_of("2t"), "-L 2t");
    EXPECT_EQ(size_of("25%"), "-l 25%ORIGIN");
    EXPECT_EQ(size_of("100%"), "-l 100%ORIGIN");
    EXPECT_EQ(size_of(" +64"), "-L 64m");
    EXPECT_EQ(size_of("1000000T"), "-L 1000000t");
}

TEST(ParseSnapshotSize, InvalidSpecs)
{
    for (const char *size : {"0", "0%", "101%", "10%x", "5GB", "1000001", "abc", "12K", "-5", "-5%",
                             "%", "G", "99999999999999999999999", "10 G"})
        EXPECT_EQ(size_of(size), "invalid") << size;
}

TEST(SnapshotLvName, SuffixAndCut)
{
    char out[128];
    snapshot_lv_name("vm-101-disk-0", out, sizeof out);
    EXPECT_STREQ(out, "vm-101-disk-0_vltsnap");
    std::string long_name(120, 'a');
    snapshot_lv_name(long_name.c_str(), out, sizeof out);
    EXPECT_EQ(std::string(out), std::string(100, 'a') + "_vltsnap");
    EXPECT_EQ(strlen(out), 108u);
}

lv_info make_lv(const std::string &vg, const char *name, bool thin)
{
    lv_info lv{};
    snprintf(lv.vg_name, sizeof lv.vg_name, "%s", vg.c_str());
    snprintf(lv.lv_name, sizeof lv.lv_name, "%s", name);
    strcpy(lv.attr, thin ? "Vwi-aotz--" : "-wi-ao----");
    strcpy(lv.segtype, thin ? "thin" : "linear");
    lv.kernel_major = 253;
    lv.kernel_minor = 1;
    return lv;
}

class Snapshots : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to make device nodes";
        snapshot_retry_delay_ms = 1;
        snapshot_device_poll_ms = 1;
        tools_.lvcreate_makes_nodes();
    }
    void TearDown() override
    {
        release_signal_handlers();
        snapshot_retry_delay_ms = 1000;
        snapshot_device_poll_ms = 100;
    }

    int32_t create(const lv_info &lv, const char *tag, const char *size)
    {
        return create_snapshot(&lv, tag, size, vg_, sizeof vg_, snap_, sizeof snap_, dev_, sizeof dev_,
                               msg_, sizeof msg_);
    }

    fake_tools tools_;
    char vg_[128] = "";
    char snap_[128] = "";
    char dev_[300] = "";
    char msg_[256] = "";
};

TEST_F(Snapshots, ThickArgumentVectors)
{
    lv_info lv = make_lv(tools_.vg(), "vm-101-disk-1", false);
    const std::string vg = tools_.vg();
    ASSERT_EQ(create(lv, "vm101", nullptr), 0) << msg_;
    EXPECT_EQ(std::string(vg_), vg);
    EXPECT_STREQ(snap_, "vm-101-disk-1_vltsnap");
    EXPECT_EQ(std::string(dev_), "/dev/" + vg + "/vm-101-disk-1_vltsnap");
    for (const char *size : {"512", "20G", "25%"})
        ASSERT_EQ(create(lv, "vm101", size), 0) << msg_;
    const std::string tail = " --addtag vlt_agent --addtag vm101 " + vg + "/vm-101-disk-1";
    EXPECT_EQ(tools_.calls_of("lvcreate"),
              (strings{"-s -y -n vm-101-disk-1_vltsnap -l 10%ORIGIN" + tail,
                       "-s -y -n vm-101-disk-1_vltsnap -L 512m" + tail,
                       "-s -y -n vm-101-disk-1_vltsnap -L 20g" + tail,
                       "-s -y -n vm-101-disk-1_vltsnap -l 25%ORIGIN" + tail}));
    EXPECT_TRUE(tools_.calls_of("udevadm").empty());
}

TEST_F(Snapshots, ThinTakesNoSizeAndSkipsActivationSkip)
{
    lv_info lv = make_lv(tools_.vg(), "vm-101-disk-0", true);
    ASSERT_EQ(create(lv, "job", "abc"), 0) << msg_;
    EXPECT_EQ(tools_.calls_of("lvcreate"),
              (strings{"-s -y -kn -n vm-101-disk-0_vltsnap --addtag vlt_agent --addtag job " +
                       tools_.vg() + "/vm-101-disk-0"}));
}

TEST_F(Snapshots, InvalidSizeFailsAThickOriginWithoutRunningLvcreate)
{
    lv_info lv = make_lv(tools_.vg(), "vm-101-disk-1", false);
    EXPECT_EQ(create(lv, "job", "abc"), -1);
    EXPECT_STREQ(msg_, "invalid snapshot size 'abc'");
    EXPECT_TRUE(tools_.calls_of("lvcreate").empty());
}

TEST_F(Snapshots, LvcreateFailureQuotesItsOutput)
{
    lv_info lv = make_lv(tools_.vg(), "vm-101-disk-1", false);
    tools_.on("lvcreate", "echo '  Volume group \"x\" has insufficient free space' >&2; exit 5");
    EXPECT_EQ(create(lv, "job", nullptr), -1);
    EXPECT_EQ(std::string(msg_), "could not create the snapshot of " + tools_.vg() +
                                     "/vm-101-disk-1:   Volume group \"x\" has insufficient free space");
    tools_.on("lvcreate", "exit 5");
    EXPECT_EQ(create(lv, "job", nullptr), -1);
    EXPECT_EQ(std::string(msg_), "could not create the snapshot of " + tools_.vg() + "/vm-101-disk-1: lvcreate failed");
}

TEST_F(Snapshots, DeviceFoundUnderDeviceMapperName)
{
    tools_.lvcreate_makes_nodes(true);
    lv_info lv = make_lv(tools_.vg(), "vm-101-disk-0", true);
    ASSERT_EQ(create(lv, "job", nullptr), 0) << msg_;
    EXPECT_EQ(std::string(dev_), "/dev/mapper/" + tools_.vg() + "-vm--101--disk--0_vltsnap");
}

TEST_F(Snapshots, DeviceAppearingLateIsWaitedFor)
{
    // The node shows up only once udevadm settle has run.
    tools_.on("lvcreate", ":");
    tools_.on("udevadm", "mkdir -p /dev/" + tools_.vg() + "; mknod /dev/" + tools_.vg() +
                             "/vm-101-disk-0_vltsnap b 240 9");
    lv_info lv = make_lv(tools_.vg(), "vm-101-disk-0", true);
    ASSERT_EQ(create(lv, "job", nullptr), 0) << msg_;
    EXPECT_EQ(tools_.calls_of("udevadm"), (strings{"settle -t 5"}));
    EXPECT_TRUE(tools_.calls_of("lvremove").empty());
}

TEST_F(Snapshots, DeviceNeverAppearingRemovesTheHalfMadeSnapshot)
{
    tools_.on("lvcreate", ":");
    lv_info lv = make_lv(tools_.vg(), "vm-101-disk-0", true);
    EXPECT_EQ(create(lv, "job", nullptr), -1);
    EXPECT_EQ(std::string(msg_), "the snapshot device of " + tools_.vg() + "/vm-101-disk-0_vltsnap did not appear");
    EXPECT_EQ(tools_.calls_of("udevadm"), (strings{"settle -t 5"}));  // once only
    EXPECT_EQ(tools_.call_lines().back(), "lvremove -f -y " + tools_.vg() + "/vm-101-disk-0_vltsnap");
}

TEST_F(Snapshots, RemovalRetriesFiveTimes)
{
    tools_.on("lvremove", "[ $n -ge 3 ] || { echo \"  Logical volume in use ($n)\"; exit 5; }");
    EXPECT_EQ(remove_snapshot("pve", "a_vltsnap", msg_, sizeof msg_), 0);
    EXPECT_EQ(tools_.calls_of("lvremove"), (strings(3, "-f -y pve/a_vltsnap")));

    tools_.on("lvremove", "echo \"  Logical volume pve/b_vltsnap in use ($n).\"; exit 5");
    EXPECT_EQ(remove_snapshot("pve", "b_vltsnap", msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "lvremove pve/b_vltsnap failed:   Logical volume pve/b_vltsnap in use (8).");
    EXPECT_EQ(tools_.calls_of("lvremove").size(), 8u);

    tools_.on("lvremove", "exit 5");
    EXPECT_EQ(remove_snapshot("pve", "c", msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "lvremove pve/c failed: unknown error");
}

// Status 0 is a removal only with lvremove's line for the volume: an answer
// without it (another volume's line, stray text, nothing) is tried again,
// and five of them are a failure that says what came.
TEST_F(Snapshots, RemovalCountsOnlyWithLvremovesReport)
{
    tools_.on("lvremove", "[ $n -ge 2 ] || exit 0");
    EXPECT_EQ(remove_snapshot("pve", "a_vltsnap", msg_, sizeof msg_), 0);
    EXPECT_EQ(tools_.calls_of("lvremove").size(), 2u);

    tools_.on("lvremove", "echo '  Logical volume \"b_vltsnap2\" successfully removed.'; exit 0");
    EXPECT_EQ(remove_snapshot("pve", "b_vltsnap", msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "lvremove pve/b_vltsnap ended with status 0 but did not report the volume removed:   Logical "
                       "volume \"b_vltsnap2\" successfully removed.");
    EXPECT_EQ(tools_.calls_of("lvremove").size(), 7u);

    tools_.on("lvremove", "exit 0");
    EXPECT_EQ(remove_snapshot("pve", "c_vltsnap", msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "lvremove pve/c_vltsnap ended with status 0 but did not report the volume removed: (no output)");
}

TEST_F(Snapshots, GuestFreezeOutcomes)
{
    char msg[512];
    tools_.on("qm", "echo 2");
    EXPECT_EQ(guest_fsfreeze("101", "fsfreeze-freeze", 5, msg, sizeof msg), 0);
    EXPECT_EQ(tools_.calls_of("qm"), (strings{"guest cmd 101 fsfreeze-freeze"}));

    tools_.on("qm", "echo 'QEMU guest agent is not running' >&2; exit 255");
    EXPECT_EQ(guest_fsfreeze("101", "fsfreeze-thaw", 5, msg, sizeof msg), -1);
    EXPECT_STREQ(msg, "qm guest cmd 101 fsfreeze-thaw failed: QEMU guest agent is not running");

    tools_.on("qm", "exit 2");
    EXPECT_EQ(guest_fsfreeze("101", "fsfreeze-thaw", 5, msg, sizeof msg), -1);
    EXPECT_STREQ(msg, "qm guest cmd 101 fsfreeze-thaw failed: unknown error");

    tools_.remove("qm");
    EXPECT_EQ(guest_fsfreeze("101", "fsfreeze-freeze", 5, msg, sizeof msg), -1);
    EXPECT_STREQ(msg, "qm is not available (not running on a Proxmox VE host?)");
}

TEST_F(Snapshots, GuestAgentErrorObjectWithExitZeroIsAFailure)
{
    char msg[512];
    tools_.on("qm",
              "cat <<'X'\n{\n   \"error\" : {\n      \"class\" : \"CommandNotFound\",\n"
              "      \"desc\" : \"Command guest-fsfreeze-freeze has been disabled: the command is not allowed\"\n"
              "   }\n}\nX");
    EXPECT_EQ(guest_fsfreeze("101", "fsfreeze-freeze", 5, msg, sizeof msg), -1);
    EXPECT_STREQ(msg, "qm guest cmd 101 fsfreeze-freeze failed: { \"error\" : { \"class\" : \"CommandNotFound\", "
                      "\"desc\" : \"Command guest-fsfreeze-freeze has been disabled: the command is not allowed\" } }");

    // a number is what a freeze or thaw answers; "error" inside a text is no object key
    tools_.on("qm", "echo 'an \"error\" word'; echo 3");
    EXPECT_EQ(guest_fsfreeze("101", "fsfreeze-thaw", 5, msg, sizeof msg), 0);
}

// A freeze or thaw counts only with the agent's answer, the number of file
// systems: status 0 with anything else leaves the guest's state unknown.
TEST_F(Snapshots, GuestFreezeWithoutACountIsAFailure)
{
    char msg[512];
    const std::pair<const char *, const char *> answers[] = {
        {"echo", ""},
        {"printf 'garbage\\0after a NUL byte\\n'", "garbage"},
        {"echo 2x", "2x"},
        {"head -c 3000 /dev/zero | tr '\\0' 'x'", nullptr},
    };
    for (const auto &[script, shown] : answers) {
        SCOPED_TRACE(script);
        tools_.on("qm", script);
        EXPECT_EQ(guest_fsfreeze("101", "fsfreeze-thaw", 5, msg, sizeof msg), -1);
        if (shown != nullptr) {
            EXPECT_EQ(std::string(msg), std::string("qm guest cmd 101 fsfreeze-thaw answered '") + shown + "'");
        }
        EXPECT_EQ(guest_fsfreeze("101", "fsfreeze-freeze", 5, msg, sizeof msg), -1);
    }
    // Perl's locale warnings before the count do not hide it.
    tools_.on("qm", "echo 'perl: warning: Setting locale failed.'; echo 0");
    EXPECT_EQ(guest_fsfreeze("101", "fsfreeze-thaw", 5, msg, sizeof msg), 0);
}

TEST_F(Snapshots, GuestFreezeTimeOut)
{
    char msg[512];
    tools_.on("qm", "exec sleep 5");
    EXPECT_EQ(guest_fsfreeze("101", "fsfreeze-freeze", 1, msg, sizeof msg), -1);
    EXPECT_STREQ(msg, "qm guest cmd 101 fsfreeze-freeze timed out after 1 s");
}

}  // namespace
