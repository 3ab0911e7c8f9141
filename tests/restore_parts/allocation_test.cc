// Volume allocation: the size argument, the pvesm alloc output, the exact
// pvesm calls and messages, and the roll-back that frees every volume.
#include "restore/allocation.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/log.h"
#include "tests/restore_parts/parts_util.h"

using parts_test::fake_pvesm;
using parts_test::scratch_dir;
using parts_test::stderr_capture;
using parts_test::perl_locale_warnings;

namespace {

std::string alloc_size(uint64_t bytes) {
    char buf[ALLOC_SIZE_TEXT_SIZE];
    if (format_alloc_size(bytes, buf, sizeof buf) != 0) return "<failed>";
    return buf;
}

TEST(alloc_size, kib_rounded_up_without_suffix) {
    EXPECT_EQ(alloc_size(0), "1");
    EXPECT_EQ(alloc_size(1), "1");
    EXPECT_EQ(alloc_size(1023), "1");
    EXPECT_EQ(alloc_size(1024), "1");
    EXPECT_EQ(alloc_size(1025), "2");
    EXPECT_EQ(alloc_size(34359738368ULL), "33554432");
    EXPECT_EQ(alloc_size(34359738369ULL), "33554433");
    // Sizes next to 2^64 must not wrap around to 1 KiB.
    EXPECT_EQ(alloc_size(UINT64_MAX), "18014398509481984");
    EXPECT_EQ(alloc_size(UINT64_MAX - 1022), "18014398509481984");
}

TEST(alloc_size, buffer_too_small) {
    char buf[3];
    EXPECT_EQ(format_alloc_size(1024 * 99, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "99");
    EXPECT_EQ(format_alloc_size(1024 * 100, buf, sizeof buf), -1);
    EXPECT_EQ(format_alloc_size(1, buf, 0), -1);
}

struct parsed {
    int32_t rc;
    std::string storage, volume, err;
};

parsed parse(const char *text, size_t storage_size = 128, size_t volume_size = 128) {
    char storage[256], volume[256], err[512];
    memset(storage, 'x', sizeof storage);
    memset(volume, 'x', sizeof volume);
    parsed p;
    p.rc = parse_alloc_output(text, storage, storage_size, volume, volume_size, err, sizeof err);
    p.storage = storage;
    p.volume = volume;
    p.err = err;
    return p;
}

TEST(alloc_output, parses_the_created_volume_id) {
    parsed p = parse("successfully created 'local-lvm:vm-105-disk-0'\n");
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.storage, "local-lvm");
    EXPECT_EQ(p.volume, "vm-105-disk-0");
    EXPECT_EQ(p.err, "");

    p = parse("  Rounding up size to full physical extent 4.00 MiB\n"
              "  Logical volume \"vm-105-disk-1\" created.\n"
              "successfully created 'local-lvm:vm-105-disk-1'\n");
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.storage, "local-lvm");
    EXPECT_EQ(p.volume, "vm-105-disk-1");

    // No volume: the new VM's disk line "scsi0: local-lvm:" would name
    // none, and the configuration would not be read back.
    p = parse("successfully created 'local-lvm:'");
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(p.err, "malformed \"successfully created '...'\" line in pvesm alloc output");
    EXPECT_EQ(p.storage, "");
    EXPECT_EQ(p.volume, "");

    p = parse("successfully created 'nfs:105/vm-105-disk-0.raw:odd'");
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.storage, "nfs");
    EXPECT_EQ(p.volume, "105/vm-105-disk-0.raw:odd");
}

TEST(alloc_output, failures) {
    struct {
        const char *text;
        const char *err;
    } cases[] = {
        {nullptr, "empty pvesm alloc output"},
        {"", "empty pvesm alloc output"},
        {"created 'a:b'", "no \"successfully created '...'\" line in pvesm alloc output: created 'a:b'"},
        {"successfully created ''", "malformed \"successfully created '...'\" line in pvesm alloc output"},
        {"successfully created 'a:b", "malformed \"successfully created '...'\" line in pvesm alloc output"},
        {"successfully created 'abc'", "\"successfully created '...'\" line has no storage:volume separator"},
    };
    for (const auto &c : cases) {
        parsed p = parse(c.text);
        EXPECT_EQ(p.rc, -1) << p.err;
        EXPECT_EQ(p.err, c.err);
        EXPECT_EQ(p.storage, "");
        EXPECT_EQ(p.volume, "");
    }

    // The output is quoted cut to 200 bytes.
    std::string noise(500, 'n');
    parsed p = parse(noise.c_str());
    EXPECT_EQ(p.err, "no \"successfully created '...'\" line in pvesm alloc output: " +
                         std::string(200, 'n'));
}

TEST(alloc_output, refuses_a_volume_id_that_would_break_a_config_line) {
    // Output that only looks like the line: the volume id would go into the
    // new VM's configuration, here with a second disk line naming another
    // VM's volume, or with a volume that ends at the ',' and names another.
    const char *cases[] = {
        "successfully created 'local-lvm:vm-100-disk-0,backup=1:vm-105-disk-0'\n",
        "successfully created 'local-lvm:file=vm-100-disk-0'\n",
        "successfully created ':vm-105-disk-0'\n",
        "successfully created ':'\r\n",
        "successfully created 'local-lvm:vm-105-disk-0\nscsi1: local-lvm:vm-100-disk-0'\n",
        "successfully created 'local-lvm:vm-4500\rdisk-3'\r\n",
        "successfully created 'local-lvm:vm-105-disk-0\t'",
        "successfully created 'local lvm:vm-105-disk-0'",
        "successfully created ' :vm-105-disk-0'",
        "successfully created 'local-lvm:vm-105\x7f'",
        "successfully created 'local-lvm:vm-105\x1b[2J'",
    };
    for (const char *text : cases) {
        parsed p = parse(text);
        EXPECT_EQ(p.rc, -1) << text;
        EXPECT_EQ(p.err, "malformed \"successfully created '...'\" line in pvesm alloc output") << text;
        EXPECT_EQ(p.storage, "");
        EXPECT_EQ(p.volume, "");
    }
    // Bytes above ASCII are no control characters.
    parsed p = parse("successfully created 'st\xc3\xa4:vm-105-disk-0'");
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.storage, "st\xc3\xa4");
}

TEST(alloc_output, name_length_limits) {
    std::string s127(127, 's'), s128(128, 's');
    parsed p = parse(("successfully created '" + s127 + ":" + s127 + "'").c_str());
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.storage, s127);
    EXPECT_EQ(p.volume, s127);
    for (const std::string &id : {s128 + ":v", "s:" + s128}) {
        p = parse(("successfully created '" + id + "'").c_str());
        EXPECT_EQ(p.rc, -1);
        EXPECT_EQ(p.err, "storage or volume name too long in pvesm alloc output");
        EXPECT_EQ(p.storage, "");
        EXPECT_EQ(p.volume, "");
    }
}

class pvesm_test : public testing::Test {
protected:
    void SetUp() override { log_setup("vlt_proxmox_restore", LOG_LEVEL_INFO); }

    void TearDown() override { alloc_time_limit_seconds = 60; }

    int32_t alloc(const char *storage = "local-lvm", const char *size = "1048576", const char *name = "") {
        err_[0] = '\0';
        return allocate_volume(storage, 105, name, size, &list_, err_, sizeof err_);
    }

    fake_pvesm fake_;
    allocation_list list_{};
    char err_[512];
};

TEST_F(pvesm_test, alloc_runs_pvesm_and_records_the_volume) {
    fake_.set("FAKE_ALLOC_OUT", "  Logical volume \"vm-105-disk-0\" created.\\n"
                                "successfully created 'local-lvm:vm-105-disk-0'\\n");
    ASSERT_EQ(alloc(), 0) << err_;
    EXPECT_STREQ(err_, "");
    ASSERT_EQ(list_.count, 1u);
    EXPECT_STREQ(list_.rows[0].storage, "local-lvm");
    EXPECT_STREQ(list_.rows[0].volume, "vm-105-disk-0");
    // The empty argument makes pvesm choose the name.
    EXPECT_EQ(fake_.calls(), std::vector<std::string>{"pvesm [alloc] [local-lvm] [105] [] [1048576]"});
}

TEST_F(pvesm_test, alloc_failures_leave_the_list_alone) {
    list_.count = 1;
    strcpy(list_.rows[0].storage, "local-lvm");
    strcpy(list_.rows[0].volume, "vm-105-disk-0");

    fake_.set("FAKE_ALLOC_OUT", "400 Parameter verification failed.\\n"
                                "size: value does not match the regex pattern\\n\\n");
    fake_.set("FAKE_ALLOC_RC", "255");
    EXPECT_EQ(alloc("fast"), -1);
    EXPECT_STREQ(err_, "pvesm alloc fast 105 \"\" 1048576 failed: 400 Parameter verification failed.\n"
                       "size: value does not match the regex pattern");

    // Kept within 256 bytes, whatever the output.
    fake_.set("FAKE_ALLOC_OUT", std::string(600, 'e'));
    EXPECT_EQ(alloc("fast", "1"), -1);
    std::string head = "pvesm alloc fast 105 \"\" 1 failed: ";
    EXPECT_EQ(std::string(err_), head + std::string(255 - head.size(), 'e'));

    fake_.set("FAKE_ALLOC_RC", "0");
    fake_.set("FAKE_ALLOC_OUT", "successfully created 'vm-105-disk-1'\\n");
    EXPECT_EQ(alloc(), -1);
    EXPECT_STREQ(err_, "could not parse pvesm alloc output: \"successfully created '...'\" line "
                       "has no storage:volume separator");

    fake_.hide();
    EXPECT_EQ(alloc(), -1);
    EXPECT_STREQ(err_, "pvesm is not available (not running on a Proxmox VE host?)");
    EXPECT_EQ(list_.count, 1u);
    EXPECT_STREQ(list_.rows[0].volume, "vm-105-disk-0");
}

// A pvesm alloc that runs into its time limit (or is killed) may have
// created the volume: named in its output, the volume joins the list and
// so the roll-back; otherwise the names pvesm gives are looked for, and
// what is there and not ours is named in a WARN.
TEST_F(pvesm_test, alloc_that_times_out_after_creating_the_volume) {
    alloc_time_limit_seconds = 1;
    fake_.set("FAKE_ALLOC_OUT", "  Logical volume \"vm-105-disk-1\" created.\\n"
                                "successfully created 'local-lvm:vm-105-disk-1'\\n");
    fake_.set("FAKE_ALLOC_SLEEP", "30");
    {
        stderr_capture cap;
        EXPECT_EQ(alloc(), -1);
        EXPECT_EQ(cap.lines(), std::vector<std::string>{});
    }
    EXPECT_STREQ(err_, "pvesm alloc local-lvm 105 \"\" 1048576 timed out after 1 s");
    ASSERT_EQ(list_.count, 1u);
    EXPECT_STREQ(list_.rows[0].volume, "vm-105-disk-1");
    EXPECT_EQ(fake_.calls(), std::vector<std::string>{"pvesm [alloc] [local-lvm] [105] [] [1048576]"});

    // Without a word of what it made: vm-105-disk-1 is ours, disk-0 and
    // disk-2 are there, disk-3 is not (where pvesm stops looking too).
    scratch_dir vols;
    for (const char *v : {"vm-105-disk-0", "vm-105-disk-1", "vm-105-disk-2"})
        ASSERT_TRUE(parts_test::write_file(vols.file(v), ""));
    fake_.set("FAKE_PATH_DIR", vols.path());
    fake_.set("FAKE_ALLOC_OUT", "  Logical volume \"vm-105-disk-2\" created.\\n");
    {
        stderr_capture cap;
        EXPECT_EQ(alloc("local-lvm", "4096"), -1);
        EXPECT_EQ(cap.lines(),
                  (std::vector<std::string>{
                      "WARN local-lvm:vm-105-disk-0 may have been created by the pvesm alloc for VM 105 that "
                      "timed out: remove it with 'pvesm free local-lvm:vm-105-disk-0' unless a VM uses it",
                      "WARN local-lvm:vm-105-disk-2 may have been created by the pvesm alloc for VM 105 that "
                      "timed out: remove it with 'pvesm free local-lvm:vm-105-disk-2' unless a VM uses it"}));
    }
    EXPECT_STREQ(err_, "pvesm alloc local-lvm 105 \"\" 4096 timed out after 1 s");
    EXPECT_EQ(list_.count, 1u);
    std::vector<std::string> calls = fake_.calls();
    EXPECT_EQ(std::vector<std::string>(calls.begin() + 1, calls.end()),
              (std::vector<std::string>{"pvesm [alloc] [local-lvm] [105] [] [4096]",
                                        "pvesm [path] [local-lvm:vm-105-disk-0]",
                                        "pvesm [path] [local-lvm:vm-105-disk-2]",
                                        "pvesm [path] [local-lvm:vm-105-disk-3]"}));

    // A named volume is looked for by its name; a killed pvesm alike.
    fake_.set("FAKE_ALLOC_SLEEP", "");
    fake_.set("FAKE_ALLOC_KILL", "1");
    ASSERT_TRUE(parts_test::write_file(vols.file("vm-105-cloudinit"), ""));
    {
        stderr_capture cap;
        EXPECT_EQ(alloc("local-lvm", "4096", "vm-105-cloudinit"), -1);
        EXPECT_EQ(cap.lines(),
                  std::vector<std::string>{
                      "WARN local-lvm:vm-105-cloudinit may have been created by the pvesm alloc for VM 105 that "
                      "was killed: remove it with 'pvesm free local-lvm:vm-105-cloudinit' unless a VM uses it"});
    }
    EXPECT_STREQ(err_, "pvesm alloc local-lvm 105 vm-105-cloudinit 4096 was killed");
    EXPECT_EQ(fake_.calls().back(), "pvesm [path] [local-lvm:vm-105-cloudinit]");

    // Nothing there: nothing to say.
    ASSERT_EQ(unlink(vols.file("vm-105-cloudinit").c_str()), 0);
    stderr_capture cap;
    EXPECT_EQ(alloc("local-lvm", "4096", "vm-105-cloudinit"), -1);
    EXPECT_EQ(cap.lines(), std::vector<std::string>{});
}

TEST_F(pvesm_test, alloc_refuses_a_33rd_volume) {
    list_.count = ALLOC_MAX_VOLUMES;
    fake_.set("FAKE_ALLOC_OUT", "successfully created 'a:b'");
    EXPECT_EQ(alloc(), -1);
    EXPECT_STREQ(err_, "more than 32 volumes to allocate");
    EXPECT_TRUE(fake_.calls().empty());
    EXPECT_EQ(list_.count, 32u);
}

TEST_F(pvesm_test, device_path) {
    allocated_volume vol{};
    strcpy(vol.storage, "local-lvm");
    strcpy(vol.volume, "vm-105-disk-0");
    char path[DEVICE_PATH_SIZE];

    fake_.set("FAKE_PATH_OUT", "/dev/pve/vm-105-disk-0\\n");
    ASSERT_EQ(volume_device_path(&vol, path, sizeof path, err_, sizeof err_), 0) << err_;
    EXPECT_STREQ(path, "/dev/pve/vm-105-disk-0");
    EXPECT_EQ(fake_.calls(), std::vector<std::string>{"pvesm [path] [local-lvm:vm-105-disk-0]"});

    struct {
        const char *out, *rc, *err;
    } cases[] = {
        {"", "0", "pvesm path local-lvm:vm-105-disk-0 returned an empty path"},
        {" \\n\\n", "0", "pvesm path local-lvm:vm-105-disk-0 returned an empty path"},
        {"storage 'local-lvm' does not exist\\n", "2",
         "pvesm path local-lvm:vm-105-disk-0 failed: storage 'local-lvm' does not exist"},
        {"", "2", "pvesm path local-lvm:vm-105-disk-0 failed: unknown error"},
    };
    for (const auto &c : cases) {
        fake_.set("FAKE_PATH_OUT", c.out);
        fake_.set("FAKE_PATH_RC", c.rc);
        strcpy(path, "untouched");
        EXPECT_EQ(volume_device_path(&vol, path, sizeof path, err_, sizeof err_), -1);
        EXPECT_STREQ(err_, c.err);
        EXPECT_STREQ(path, "untouched");
    }

    // 511 characters fit, a longer path does not fit the caller's buffer.
    fake_.set("FAKE_PATH_RC", "0");
    fake_.set("FAKE_PATH_OUT", "/" + std::string(510, 'd'));
    ASSERT_EQ(volume_device_path(&vol, path, sizeof path, err_, sizeof err_), 0) << err_;
    EXPECT_EQ(strlen(path), 511u);
    char small[8];
    fake_.set("FAKE_PATH_OUT", "/dev/pve/x");
    EXPECT_EQ(volume_device_path(&vol, small, sizeof small, err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "device path too long: /dev/pve/x");

    fake_.hide();
    EXPECT_EQ(volume_device_path(&vol, path, sizeof path, err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "pvesm is not available (not running on a Proxmox VE host?)");
}

// Perl may complain about the locale before every answer: the answers are
// still found, and a free is still recognised as done.
TEST_F(pvesm_test, answers_after_perls_locale_warnings) {
    fake_.set("FAKE_PREFIX", perl_locale_warnings);
    fake_.set("FAKE_ALLOC_OUT", "  Rounding up size to full physical extent 4.00 MiB\\n"
                                "  Logical volume \"vm-105-disk-0\" created.\\n"
                                "successfully created 'local-lvm:vm-105-disk-0'\\n");
    ASSERT_EQ(alloc(), 0) << err_;
    ASSERT_EQ(list_.count, 1u);
    EXPECT_STREQ(list_.rows[0].volume, "vm-105-disk-0");

    char path[DEVICE_PATH_SIZE];
    fake_.set("FAKE_PATH_OUT", "/dev/pve/vm-105-disk-0\\n");
    ASSERT_EQ(volume_device_path(&list_.rows[0], path, sizeof path, err_, sizeof err_), 0) << err_;
    EXPECT_STREQ(path, "/dev/pve/vm-105-disk-0");

    // No path at all: the whole answer is quoted.
    fake_.set("FAKE_PREFIX", "");
    fake_.set("FAKE_PATH_OUT", "volume is not an image\\n");
    EXPECT_EQ(volume_device_path(&list_.rows[0], path, sizeof path, err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "pvesm path local-lvm:vm-105-disk-0 returned no device path: volume is not an image");

    fake_.set("FAKE_PREFIX", perl_locale_warnings);
    stderr_capture log;
    rollback_allocations(list_.rows, list_.count);
    EXPECT_TRUE(log.lines().empty()) << log.text();
    EXPECT_EQ(fake_.calls().back(), "pvesm [free] [local-lvm:vm-105-disk-0]");
}

TEST_F(pvesm_test, rollback_frees_in_allocation_order_past_a_failure) {
    allocated_volume vols[3]{};
    const char *names[] = {"vm-105-disk-0", "vm-105-disk-1", "vm-105-disk-2"};
    for (int i = 0; i < 3; ++i) {
        strcpy(vols[i].storage, i == 2 ? "fast" : "local-lvm");
        strcpy(vols[i].volume, names[i]);
    }
    fake_.set("FAKE_FREE_FAIL", "local-lvm:vm-105-disk-1");
    stderr_capture cap;
    rollback_allocations(vols, 3);
    EXPECT_EQ(cap.lines(), std::vector<std::string>{
                               "WARN could not roll back allocated volume local-lvm:vm-105-disk-1: "
                               "remove it manually (cannot remove local-lvm:vm-105-disk-1)"});
    EXPECT_EQ(fake_.calls(), (std::vector<std::string>{
                                 "pvesm [free] [local-lvm:vm-105-disk-0]",
                                 "pvesm [free] [local-lvm:vm-105-disk-1]",
                                 "pvesm [free] [fast:vm-105-disk-2]",
                             }));
}

TEST_F(pvesm_test, rollback_warns_when_free_exits_0_without_removing) {
    // pvesm free reports a failed removal task on its output and still exits 0.
    allocated_volume vols[2]{};
    strcpy(vols[0].storage, "local-lvm");
    strcpy(vols[0].volume, "vm-105-disk-0");
    strcpy(vols[1].storage, "local-lvm");
    strcpy(vols[1].volume, "vm-105-disk-1");
    fake_.set("FAKE_FREE_TASK_FAIL", "local-lvm:vm-105-disk-0");
    stderr_capture cap;
    rollback_allocations(vols, 2);
    EXPECT_EQ(cap.lines(), std::vector<std::string>{
                               "WARN could not roll back allocated volume local-lvm:vm-105-disk-0: "
                               "remove it manually (lvremove failed for local-lvm:vm-105-disk-0)"});
    EXPECT_EQ(fake_.calls(), (std::vector<std::string>{
                                 "pvesm [free] [local-lvm:vm-105-disk-0]",
                                 "pvesm [free] [local-lvm:vm-105-disk-1]",
                             }));
}

TEST_F(pvesm_test, rollback_without_pvesm_warns_for_every_volume) {
    allocated_volume vols[2]{};
    strcpy(vols[0].storage, "a");
    strcpy(vols[0].volume, "v0");
    strcpy(vols[1].storage, "b");
    strcpy(vols[1].volume, "v1");
    fake_.hide();
    stderr_capture cap;
    rollback_allocations(vols, 2);
    rollback_allocations(vols, 0);
    EXPECT_EQ(cap.lines(), (std::vector<std::string>{
                               "WARN could not roll back allocated volume a:v0: remove it manually ()",
                               "WARN could not roll back allocated volume b:v1: remove it manually ()",
                           }));
}

}  // namespace
