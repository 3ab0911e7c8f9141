// Disk resolution against fake pvesm and lvs.
#include <gtest/gtest.h>
#include <unistd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstring>
#include <string>

#include "backup/disks.h"
#include "fake_tools.h"

namespace {

TEST(ParseLvsLine, ReadsAnIndentedThinLine)
{
    lv_info lv;
    ASSERT_EQ(parse_lvs_line("  pve|vm-101-disk-0|Vwi-aotz--|4294967296|thin||253|7", &lv), 0);
    EXPECT_STREQ(lv.vg_name, "pve");
    EXPECT_STREQ(lv.lv_name, "vm-101-disk-0");
    EXPECT_STREQ(lv.attr, "Vwi-aotz--");
    EXPECT_STREQ(lv.segtype, "thin");
    EXPECT_STREQ(lv.origin, "");
    EXPECT_EQ(lv.size, 4294967296ULL);
    EXPECT_EQ(lv.kernel_major, 253);
    EXPECT_EQ(lv.kernel_minor, 7);
    EXPECT_TRUE(is_thin_lv(&lv));
}

TEST(ParseLvsLine, InactiveVolumeHasNoDeviceNumbers)
{
    lv_info lv;
    ASSERT_EQ(parse_lvs_line("  pve|snap|Vri---tz-k|1024|thin|vm-1-disk-0||", &lv), 0);
    EXPECT_EQ(lv.kernel_major, -1);
    EXPECT_EQ(lv.kernel_minor, -1);
    EXPECT_STREQ(lv.origin, "vm-1-disk-0");
    ASSERT_EQ(parse_lvs_line("pve|snap|Vri---tz-k|1024|thin|vm-1-disk-0|-1|-1", &lv), 0);
    EXPECT_EQ(lv.kernel_major, -1);
}

TEST(ParseLvsLine, FieldCountRules)
{
    lv_info lv;
    // six separators: seven fields only
    EXPECT_EQ(parse_lvs_line("pve|root|-wi-ao----|1024|linear||253", &lv), -1);
    // nine fields: the first eight are kept
    ASSERT_EQ(parse_lvs_line("pve|root|-wi-ao----|1024|linear||253|1|extra", &lv), 0);
    EXPECT_EQ(lv.kernel_minor, 1);
    EXPECT_FALSE(is_thin_lv(&lv));
}

TEST(ParseLvsLine, RejectsEmptyNamesAndBadSizes)
{
    lv_info lv;
    EXPECT_EQ(parse_lvs_line("|root|-wi-ao----|1024|linear||253|1", &lv), -1);
    EXPECT_EQ(parse_lvs_line("pve| |-wi-ao----|1024|linear||253|1", &lv), -1);
    EXPECT_EQ(parse_lvs_line("pve|root||1024|linear||253|1", &lv), -1);
    EXPECT_EQ(parse_lvs_line("pve|root|-wi-ao----|big|linear||253|1", &lv), -1);
    EXPECT_EQ(parse_lvs_line("pve|root|-wi-ao----||linear||253|1", &lv), -1);
    std::string longline = "pve|" + std::string(1100, 'a') + "|-wi-ao----|1|linear||253|1";
    EXPECT_EQ(parse_lvs_line(longline.c_str(), &lv), -1);
}

TEST(ParseLvsLine, CutsOverlongTexts)
{
    lv_info lv;
    std::string name(200, 'n');
    std::string line = "vg|" + name + "|-wi-ao----+++++++++|1|" + std::string(40, 's') + "||1|2";
    ASSERT_EQ(parse_lvs_line(line.c_str(), &lv), 0);
    EXPECT_EQ(strlen(lv.lv_name), 127u);
    EXPECT_EQ(strlen(lv.attr), 15u);
    EXPECT_EQ(strlen(lv.segtype), 31u);
}

TEST(IsThinLv, AttributeOrSegmentType)
{
    lv_info lv{};
    strcpy(lv.attr, "-wi-ao----");
    strcpy(lv.segtype, "linear");
    EXPECT_FALSE(is_thin_lv(&lv));
    strcpy(lv.segtype, "thin");
    EXPECT_TRUE(is_thin_lv(&lv));
    strcpy(lv.segtype, "striped");
    strcpy(lv.attr, "Vwi-a-tz--");
    EXPECT_TRUE(is_thin_lv(&lv));
}

class DiskResolution : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to make device nodes";
        node_ = tools_.path("disk0");
        ASSERT_EQ(mknod(node_.c_str(), S_IFBLK | 0600, makedev(253, 7)), 0);
        file_ = tools_.path("disk.raw");
        write_text(file_, "data");
        tools_.on("lvs",
                  "cat <<'X'\n"
                  "  pve|data|twi-aotz--|1000|thin-pool||253|5\n"
                  "  pve|old-snap|Vri---tz-k|2000|thin|vm-101-disk-0|-1|-1\n"
                  "  pve|vm-101-disk-0|Vwi-aotz--|4194304|thin||253|7\n"
                  "  pve|vm-101-disk-0|Vwi-aotz--|4194304|thin||253|7\n"
                  "  vg2|thick|-wi-ao----|8388608|linear||253|8\n"
                  "X\n");
    }

    void add(const char *slot, const char *storage, const char *volume)
    {
        vm_volume &v = selection_.rows[selection_.count++];
        memset(&v, 0, sizeof v);
        strcpy(v.slot, slot);
        strcpy(v.storage, storage);
        strcpy(v.volume, volume);
    }

    fake_tools tools_;
    std::string node_;
    std::string file_;
    vm_volume_list selection_{};
    resolved_disk_list list_{};
    char msg_[512] = "";
};

TEST_F(DiskResolution, FindsTheLvByDeviceNumbers)
{
    lv_info lv;
    char msg[256] = "";
    ASSERT_EQ(find_lv_by_device(node_.c_str(), &lv, msg, sizeof msg), 0);
    EXPECT_STREQ(lv.lv_name, "vm-101-disk-0");
    EXPECT_EQ(lv.size, 4194304u);
    ASSERT_EQ(tools_.calls_of("lvs").size(), 1u);
    EXPECT_EQ(tools_.calls_of("lvs")[0],
              "--noheadings --separator | --units b --nosuffix -o "
              "vg_name,lv_name,lv_attr,lv_size,segtype,origin,lv_kernel_major,lv_kernel_minor");
}

TEST_F(DiskResolution, UnmatchedOrNonBlockIsNotLvm)
{
    lv_info lv;
    char msg[256] = "";
    std::string other = tools_.path("other");
    ASSERT_EQ(mknod(other.c_str(), S_IFBLK | 0600, makedev(253, 99)), 0);
    EXPECT_EQ(find_lv_by_device(other.c_str(), &lv, msg, sizeof msg), 1);
    EXPECT_EQ(find_lv_by_device(file_.c_str(), &lv, msg, sizeof msg), 1);
    EXPECT_EQ(find_lv_by_device(tools_.path("absent").c_str(), &lv, msg, sizeof msg), 1);
    // the inactive line (-1/-1) never matches a node
    std::string inactive = tools_.path("inactive");
    ASSERT_EQ(mknod(inactive.c_str(), S_IFBLK | 0600, makedev(4095, 255)), 0);
    EXPECT_EQ(find_lv_by_device(inactive.c_str(), &lv, msg, sizeof msg), 1);
}

TEST_F(DiskResolution, AMissingNodeIsLookedUpByItsNames)
{
    // An inactive LV has no node: /dev/<vg>/<lv> names it all the same.
    tools_.on("lvs",
              "cat <<'X'\n"
              "  pve|data|twi-aotz--|1000|thin-pool||253|5\n"
              "  pve|vm-102-disk-0|-wi-------|8388608|linear||-1|-1\n"
              "  pve|base-100-disk-0|Vri---tz-k|4194304|thin|||\n"
              "X\n");
    lv_info lv;
    char msg[256] = "";
    ASSERT_EQ(find_lv_by_device("/dev/pve/vm-102-disk-0", &lv, msg, sizeof msg), 0) << msg;
    EXPECT_STREQ(lv.lv_name, "vm-102-disk-0");
    EXPECT_EQ(lv.kernel_major, -1);
    EXPECT_FALSE(is_active_lv(&lv));
    EXPECT_FALSE(is_thin_lv(&lv));
    ASSERT_EQ(find_lv_by_device("/dev/pve/base-100-disk-0", &lv, msg, sizeof msg), 0) << msg;
    EXPECT_TRUE(is_thin_lv(&lv));
    EXPECT_FALSE(is_active_lv(&lv));
    // Names that no LV has, and paths that are not /dev/<vg>/<lv>: no lvs.
    EXPECT_EQ(find_lv_by_device("/dev/pve/vm-102-disk-9", &lv, msg, sizeof msg), 1);
    size_t listings = tools_.calls_of("lvs").size();
    for (const char *path : {"/dev/pve", "/dev/pve/", "/dev//x", "/dev/pve/a/b", "/srv/pve/vm-102-disk-0"})
        EXPECT_EQ(find_lv_by_device(path, &lv, msg, sizeof msg), 1) << path;
    EXPECT_EQ(tools_.calls_of("lvs").size(), listings);

    // A node that exists is matched by its numbers only, never by a name.
    ASSERT_EQ(find_lv_by_device(node_.c_str(), &lv, msg, sizeof msg), 1);
}

TEST_F(DiskResolution, TheListingIsReadWholeOrRefused)
{
    // 30000 lines of other LVs (about 1.5 MB) in front of the one we want.
    tools_.on("lvs",
              "i=0; while [ $i -lt 30000 ]; do printf '  pve|pad-%06d|-wi-------|4194304|linear|||\\n' $i; "
              "i=$((i+1)); done\n"
              "echo '  pve|vm-101-disk-0|Vwi-aotz--|4194304|thin||253|7'");
    lv_info lv;
    char msg[256] = "";
    ASSERT_EQ(find_lv_by_device(node_.c_str(), &lv, msg, sizeof msg), 0) << msg;
    EXPECT_STREQ(lv.lv_name, "vm-101-disk-0");

    // Above the bound it is refused, never taken for "not there".
    lvs_listing_max_bytes = 100000;
    int32_t rc = find_lv_by_device(node_.c_str(), &lv, msg, sizeof msg);
    lvs_listing_max_bytes = size_t{64} << 20;
    EXPECT_EQ(rc, -1);
    EXPECT_STREQ(msg, "the lvs listing is longer than 100000 bytes: not read");
}

TEST_F(DiskResolution, LvsMissingOrFailing)
{
    lv_info lv;
    char msg[256] = "";
    tools_.on("lvs", "echo '  locking failed' >&2; exit 5");
    EXPECT_EQ(find_lv_by_device(node_.c_str(), &lv, msg, sizeof msg), -1);
    EXPECT_STREQ(msg, "  locking failed\n");
    tools_.remove("lvs");
    EXPECT_EQ(find_lv_by_device(node_.c_str(), &lv, msg, sizeof msg), 1);
    EXPECT_STREQ(msg, "the lvm tools (lvs) are not installed");
}

TEST_F(DiskResolution, ResolvesEachDiskWithItsOwnStatus)
{
    tools_.on("pvesm",
              "case \"$2\" in\n"
              "local-lvm:vm-101-disk-0) echo '" + node_ + "';;\n"
              "local:101/vm-101-disk-1.raw) printf '%s\\r\\n\\t ' '" + file_ + "';;\n"
              "gone:vm-101-disk-2) echo \"storage 'gone' does not exist\"; exit 2;;\n"
              "quiet:x) exit 3;;\n"
              "empty:x) printf ' \\n';;\n"
              "esac");
    add("scsi0", "local-lvm", "vm-101-disk-0");
    add("virtio1", "local", "101/vm-101-disk-1.raw");
    add("sata0", "gone", "vm-101-disk-2");
    add("sata1", "quiet", "x");
    add("ide0", "empty", "x");
    ASSERT_EQ(resolve_disks(&selection_, &list_, msg_, sizeof msg_), 0);
    EXPECT_STREQ(msg_, "");
    ASSERT_EQ(list_.count, 5u);
    EXPECT_EQ(tools_.calls_of("pvesm")[0], "path local-lvm:vm-101-disk-0");
    EXPECT_EQ(tools_.calls_of("pvesm")[1], "path local:101/vm-101-disk-1.raw");

    EXPECT_EQ(list_.rows[0].status, RESOLVED_LVM);
    EXPECT_STREQ(list_.rows[0].device_path, node_.c_str());
    EXPECT_STREQ(list_.rows[0].lv.lv_name, "vm-101-disk-0");
    EXPECT_STREQ(list_.rows[0].message, "");

    EXPECT_EQ(list_.rows[1].status, RESOLVED_NOT_LVM);
    EXPECT_STREQ(list_.rows[1].device_path, file_.c_str());
    EXPECT_EQ(std::string(list_.rows[1].message),
              file_ + " is not an LVM logical volume (storage backend other than LVM/LVM-thin)");

    EXPECT_EQ(list_.rows[2].status, RESOLVED_FAILED);
    EXPECT_STREQ(list_.rows[2].message, "pvesm path failed: storage 'gone' does not exist");
    EXPECT_STREQ(list_.rows[3].message, "pvesm path failed: unknown error");
    EXPECT_EQ(list_.rows[4].status, RESOLVED_FAILED);
    EXPECT_STREQ(list_.rows[4].message, "pvesm path returned an empty path");

    char msg[2048];
    EXPECT_FALSE(require_all_lvm(&list_, msg, sizeof msg));
    EXPECT_EQ(std::string(msg),
              "not every disk is LVM-backed (this version only supports LVM/LVM-thin): "
              "virtio1 (local:101/vm-101-disk-1.raw) not LVM-backed: " + file_ +
                  " is not an LVM logical volume (storage backend other than LVM/LVM-thin); "
                  "sata0 (gone:vm-101-disk-2) lookup failed: pvesm path failed: storage 'gone' does not exist; "
                  "sata1 (quiet:x) lookup failed: pvesm path failed: unknown error; "
                  "ide0 (empty:x) lookup failed: pvesm path returned an empty path");
}

TEST_F(DiskResolution, ThePathIsTheLastAbsolutePathPvesmPrints)
{
    tools_.on("pvesm",
              "printf 'perl: warning: Setting locale failed.\\n\\tLANG = \"en_US.UTF-8\"\\n' >&2\n"
              "case \"$2\" in\n"
              "local-lvm:vm-101-disk-0) echo '" + node_ + "';;\n"
              "odd:x) echo 'volume is not an image';;\n"
              "esac");
    add("scsi0", "local-lvm", "vm-101-disk-0");
    add("scsi1", "odd", "x");
    ASSERT_EQ(resolve_disks(&selection_, &list_, msg_, sizeof msg_), 0);
    EXPECT_EQ(list_.rows[0].status, RESOLVED_LVM) << list_.rows[0].message;
    EXPECT_STREQ(list_.rows[0].device_path, node_.c_str());
    EXPECT_EQ(list_.rows[1].status, RESOLVED_FAILED);
    EXPECT_STREQ(list_.rows[1].message,
                 "pvesm path returned no device path: perl: warning: Setting locale failed.\n"
                 "\tLANG = \"en_US.UTF-8\"\nvolume is not an image");
}

TEST_F(DiskResolution, LvsFailureIsALookupFailure)
{
    tools_.on("pvesm", "echo '" + node_ + "'");
    tools_.on("lvs", "exit 5");
    add("scsi0", "local-lvm", "vm-101-disk-0");
    ASSERT_EQ(resolve_disks(&selection_, &list_, msg_, sizeof msg_), 0);
    EXPECT_EQ(list_.rows[0].status, RESOLVED_FAILED);
    EXPECT_STREQ(list_.rows[0].message, "lvm lookup failed");
}

TEST_F(DiskResolution, PvesmMissingStopsEverything)
{
    tools_.remove("pvesm");
    add("scsi0", "local-lvm", "vm-101-disk-0");
    add("scsi1", "local-lvm", "vm-101-disk-1");
    EXPECT_EQ(resolve_disks(&selection_, &list_, msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "pvesm is not available (not running on a Proxmox VE host?)");
    EXPECT_TRUE(tools_.calls_of("lvs").empty());
}

TEST_F(DiskResolution, AllLvmAndEmptyLists)
{
    char msg[512];
    EXPECT_FALSE(require_all_lvm(&list_, msg, sizeof msg));
    EXPECT_STREQ(msg, "the VM has no disk-like volumes to back up");

    tools_.on("pvesm", "echo '" + node_ + "'");
    add("scsi0", "local-lvm", "vm-101-disk-0");
    add("scsi1", "local-lvm", "vm-101-disk-0");
    ASSERT_EQ(resolve_disks(&selection_, &list_, msg_, sizeof msg_), 0);
    EXPECT_TRUE(require_all_lvm(&list_, msg, sizeof msg));
    EXPECT_EQ(tools_.calls_of("lvs").size(), 2u);  // one listing per disk
}

TEST(RequireAllLvm, EntriesThatDoNotFitAreLeftOff)
{
    // Seven entries of ~284 bytes fill most of the 2048-byte list; the
    // eighth does not fit whole and is dropped, the short ninth still fits.
    resolved_disk_list list{};
    list.count = 9;
    for (int i = 0; i < 9; i++) {
        resolved_disk &row = list.rows[i];
        snprintf(row.volume.slot, sizeof row.volume.slot, "scsi%d", i);
        strcpy(row.volume.storage, "s");
        strcpy(row.volume.volume, "v");
        row.status = RESOLVED_FAILED;
        if (i < 8)
            memset(row.message, 'x', 255);
        else
            strcpy(row.message, "short");
    }
    char msg[4096];
    EXPECT_FALSE(require_all_lvm(&list, msg, sizeof msg));
    std::string text = msg;
    EXPECT_NE(text.find("; scsi6 (s:v) lookup failed: xxx"), std::string::npos);
    EXPECT_EQ(text.find("scsi7"), std::string::npos);
    EXPECT_NE(text.find("x; scsi8 (s:v) lookup failed: short"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 5), "short");
}

}  // namespace
