// The target VMID: a requested one checked against the cluster file
// system, and the next free one as pvesh names it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "parts_util.h"
#include "restore/vmid.h"

using parts_test::scratch_dir;
using vlt_test::path_override;
using vlt_test::read_file;
using vlt_test::write_file;
using vlt_test::write_script;

namespace {

TEST(VmidText, AcceptsPositiveDecimalNumbersOnly) {
    int64_t vmid = 0;
    EXPECT_EQ(parse_vmid_text(" 105", &vmid), 0);
    EXPECT_EQ(vmid, 105);
    EXPECT_EQ(parse_vmid_text("+7", &vmid), 0);
    EXPECT_EQ(vmid, 7);
    vmid = 42;
    for (const char *bad : {"0", "-5", "12x", "", " ", "105 ", "0x10", "99999999999999999999"}) {
        EXPECT_EQ(parse_vmid_text(bad, &vmid), -1) << bad;
        EXPECT_EQ(vmid, 42) << bad;
    }
}

TEST(PveDir, EmptyOrAbsentMeansEtcPve) {
    restore_options opts{};
    EXPECT_STREQ(restore_pve_dir(&opts), "/etc/pve");
    opts.pve_dir = "";
    EXPECT_STREQ(restore_pve_dir(&opts), "/etc/pve");
    opts.pve_dir = "/x";
    EXPECT_STREQ(restore_pve_dir(&opts), "/x");
}

TEST(ChooseVmid, RequestedVmidMustBePositiveAndFree) {
    scratch_dir pve;
    mkdir(pve.file("qemu-server").c_str(), 0755);
    mkdir(pve.file("lxc").c_str(), 0755);
    restore_options opts{};
    opts.pve_dir = pve.path().c_str();
    char err[1024];
    int64_t vmid = 0;

    for (const char *bad : {"0", "-5", "12x", ""}) {
        opts.requested_vmid = bad;
        EXPECT_EQ(choose_vmid(&opts, &vmid, err, sizeof err), -1);
        EXPECT_STREQ(err, "--vmid must be a positive integer");
    }

    opts.requested_vmid = " 105";
    ASSERT_EQ(choose_vmid(&opts, &vmid, err, sizeof err), 0) << err;
    EXPECT_EQ(vmid, 105);

    write_file(pve.file("lxc/105.conf"), "arch: amd64\n");
    EXPECT_EQ(choose_vmid(&opts, &vmid, err, sizeof err), -1);
    EXPECT_EQ(std::string(err), "VMID 105 is already in use (" + pve.path() + "/lxc/105.conf exists)");

    // With both, the VM's own config is named.
    write_file(pve.file("qemu-server/105.conf"), "memory: 512\n");
    EXPECT_EQ(choose_vmid(&opts, &vmid, err, sizeof err), -1);
    EXPECT_EQ(std::string(err),
              "VMID 105 is already in use (" + pve.path() + "/qemu-server/105.conf exists)");
}

class NextId : public testing::Test {
protected:
    // A pvesh on PATH that records its arguments and answers with body.
    void fake_pvesh(const std::string &body) {
        write_script(bin_.file("pvesh"), "printf '%s\\n' \"$@\" > '" + bin_.file("args") +
                                             "'\n" + body);
    }
    int32_t choose(int64_t *vmid) {
        restore_options opts{};
        opts.pve_dir = "/nonexistent-pve";
        path_override path(bin_.path(), true);
        return choose_vmid(&opts, vmid, err_, sizeof err_);
    }

    scratch_dir bin_;
    char err_[1024];
};

TEST_F(NextId, TakesTheNumberPveshPrints) {
    fake_pvesh("printf '105\\n'\n");
    int64_t vmid = 0;
    ASSERT_EQ(choose(&vmid), 0) << err_;
    EXPECT_EQ(vmid, 105);
    EXPECT_EQ(read_file(bin_.file("args")), "get\n/cluster/nextid\n");
}

TEST_F(NextId, TheNumberIsTheLastLineAfterPerlsLocaleWarnings) {
    fake_pvesh(std::string("printf '%b' '") + parts_test::perl_locale_warnings + "' >&2; printf '106\\n'\n");
    int64_t vmid = 0;
    ASSERT_EQ(choose(&vmid), 0) << err_;
    EXPECT_EQ(vmid, 106);
}

TEST_F(NextId, RejectsWhatIsNoVmid) {
    int64_t vmid = 7;
    fake_pvesh("printf '105 abc\\n'\n");
    EXPECT_EQ(choose(&vmid), -1);
    EXPECT_STREQ(err_, "pvesh get /cluster/nextid returned an unexpected value: 105 abc");
    fake_pvesh("printf '0'\n");
    EXPECT_EQ(choose(&vmid), -1);
    EXPECT_STREQ(err_, "pvesh get /cluster/nextid returned an unexpected value: 0");
    fake_pvesh("printf '\\n'\n");
    EXPECT_EQ(choose(&vmid), -1);
    EXPECT_STREQ(err_, "pvesh get /cluster/nextid returned an unexpected value: ");
    EXPECT_EQ(vmid, 7);
}

TEST_F(NextId, ReportsAFailingOrMissingPvesh) {
    int64_t vmid = 0;
    fake_pvesh("printf 'ipcc_send_rec failed: %s\\n' '" + std::string(120, 'z') + "'\nexit 2\n");
    EXPECT_EQ(choose(&vmid), -1);
    EXPECT_EQ(std::string(err_), "pvesh get /cluster/nextid failed: " +
                                     ("ipcc_send_rec failed: " + std::string(120, 'z')).substr(0, 100));

    unlink(bin_.file("pvesh").c_str());
    EXPECT_EQ(choose(&vmid), -1);
    EXPECT_STREQ(err_, "pvesh is not available (not running on a Proxmox VE host?)");

    fake_pvesh("exit 127\n");
    EXPECT_EQ(choose(&vmid), -1);
    EXPECT_STREQ(err_, "pvesh is not available (not running on a Proxmox VE host?)");
}

}  // namespace
