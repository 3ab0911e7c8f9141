// The state file of a backup run: what is written is read back, and a file
// that is not exactly what a run writes is refused, with the reason.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "common/run_state.h"
#include "tests/support/test_util.h"

namespace {

run_state sample()
{
    run_state st;
    memset(&st, 0, sizeof st);
    st.vmid = 101;
    st.pid = 4242;
    st.start_ticks = 123456789;
    st.frozen = 1;
    st.snapshot_count = 2;
    strcpy(st.snapshots[0], "pve/vm-101-disk-0_vltsnap");
    strcpy(st.snapshots[1], "pve-2/vm-101-disk-1.qcow2_vltsnap");
    strcpy(st.child_kind, "vlt_agent");
    st.child_pid = 4243;
    st.child_ticks = 123456800;
    strcpy(st.secret_file, "/dev/shm/vlt_proxmox_key.4242.AbC123");
    strcpy(st.vmconfig_file, "/tmp/vlt_proxmox_vmconfig.zZ9yY8");
    return st;
}

TEST(RunState, WrittenIsReadBack)
{
    vlt_test::temp_dir dir("vlt_run_state");
    int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    run_state st = sample();
    char msg[256] = "";
    ASSERT_EQ(run_state_write(fd, &st, msg, sizeof msg), 0) << msg;
    EXPECT_EQ(vlt_test::read_file(dir.file("101.state")),
              "vlt_proxmox run state 1\nvmid 101\nrun 4242 123456789\nfrozen 1\n"
              "snapshot pve/vm-101-disk-0_vltsnap\nsnapshot pve-2/vm-101-disk-1.qcow2_vltsnap\n"
              "child vlt_agent 4243 123456800\nsecret /dev/shm/vlt_proxmox_key.4242.AbC123\n"
              "vmconfig /tmp/vlt_proxmox_vmconfig.zZ9yY8\nend\n");
    struct stat sb;
    ASSERT_EQ(stat(dir.file("101.state").c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 07777, 0600u);
    EXPECT_FALSE(vlt_test::file_exists(dir.file("101.state.new")));

    run_state back;
    ASSERT_EQ(run_state_read(fd, 101, &back, msg, sizeof msg), 0) << msg;
    EXPECT_EQ(back.pid, 4242);
    EXPECT_EQ(back.start_ticks, 123456789u);
    EXPECT_EQ(back.frozen, 1);
    ASSERT_EQ(back.snapshot_count, 2u);
    EXPECT_STREQ(back.snapshots[1], "pve-2/vm-101-disk-1.qcow2_vltsnap");
    EXPECT_STREQ(back.child_kind, "vlt_agent");
    EXPECT_EQ(back.child_pid, 4243);
    EXPECT_STREQ(back.secret_file, st.secret_file);
    EXPECT_STREQ(back.vmconfig_file, st.vmconfig_file);

    // Replaced whole; then gone, and gone again is no error.
    st.frozen = 0;
    st.snapshot_count = 0;
    st.child_kind[0] = st.secret_file[0] = st.vmconfig_file[0] = '\0';
    ASSERT_EQ(run_state_write(fd, &st, msg, sizeof msg), 0) << msg;
    EXPECT_EQ(vlt_test::read_file(dir.file("101.state")),
              "vlt_proxmox run state 1\nvmid 101\nrun 4242 123456789\nfrozen 0\nend\n");
    EXPECT_EQ(run_state_remove(fd, 101, msg, sizeof msg), 0);
    EXPECT_EQ(run_state_read(fd, 101, &back, msg, sizeof msg), 1);
    EXPECT_EQ(run_state_remove(fd, 101, msg, sizeof msg), 0);
    close(fd);
}

TEST(RunState, OnlyWhatARunWritesIsAccepted)
{
    const std::string head = "vlt_proxmox run state 1\nvmid 101\nrun 7 8\nfrozen 0\n";
    struct {
        std::string text, why;
    } bad[] = {
        {"", "it is empty"},
        {head, "it is not complete"},
        {head + "end", "line 5 is not complete"},
        {head + "end\nfrozen 1\n", "line 6 comes after \"end\""},
        {"vlt_proxmox run state 2\n", "it does not start with \"vlt_proxmox run state 1\""},
        {head + "frozen 1\nend\n", "line 5 (\"frozen\") is not understood"},
        {"vlt_proxmox run state 1\nvmid 101\nrun 7 8\nfrozen 2\nend\n", "line 4 (\"frozen\") is not understood"},
        {"vlt_proxmox run state 1\nvmid 0\nrun 7 8\nfrozen 0\nend\n", "line 2 (\"vmid\") is not understood"},
        {"vlt_proxmox run state 1\nvmid 101\nrun 0 8\nfrozen 0\nend\n", "line 3 (\"run\") is not understood"},
        {"vlt_proxmox run state 1\nvmid 101\nrun 7\nfrozen 0\nend\n", "line 3 (\"run\") is not understood"},
        {head + "snapshot pve/vm-101-disk-0\nend\n", "line 5 (\"snapshot\") is not understood"},
        {head + "snapshot vm-101-disk-0_vltsnap\nend\n", "line 5 (\"snapshot\") is not understood"},
        {head + "snapshot pve/a/b_vltsnap\nend\n", "line 5 (\"snapshot\") is not understood"},
        {head + "snapshot -pve/b_vltsnap\nend\n", "line 5 (\"snapshot\") is not understood"},
        {head + "snapshot pve/x y_vltsnap\nend\n", "line 5 (\"snapshot\") is not understood"},
        {head + "child sh 7 8\nend\n", "line 5 (\"child\") is not understood"},
        {head + "secret /dev/shm/other.7.abcdef\nend\n", "line 5 (\"secret\") is not understood"},
        {head + "secret /dev/shm/vlt_proxmox_key.x.abcdef\nend\n", "line 5 (\"secret\") is not understood"},
        {head + "secret /dev/shm/../vlt_proxmox_key.7.abcdef\nend\n", "line 5 (\"secret\") is not understood"},
        {head + "secret dev/shm/vlt_proxmox_key.7.abcdef\nend\n", "line 5 (\"secret\") is not understood"},
        {head + "vmconfig /tmp/vlt_proxmox_vmconfig.abcde\nend\n", "line 5 (\"vmconfig\") is not understood"},
        {head + "vmconfig /tmp/vlt_proxmox_vmconfig.abcdef/x\nend\n", "line 5 (\"vmconfig\") is not understood"},
        {head + "vmconfig /tmp/vlt_proxmox_vmconfig.abcdef\nvmconfig /tmp/vlt_proxmox_vmconfig.abcdef\nend\n",
         "line 6 (\"vmconfig\") is not understood"},
        {head + "\nend\n", "line 5 (\"\") is not understood"},
    };
    for (const auto &c : bad) {
        SCOPED_TRACE(c.text);
        run_state st;
        char msg[256] = "";
        EXPECT_EQ(run_state_parse(c.text.c_str(), &st, msg, sizeof msg), -1);
        EXPECT_EQ(std::string(msg), c.why);
    }
    std::string many = head;
    for (int i = 0; i < 33; i++)
        many += "snapshot pve/vm-101-disk-" + std::to_string(i) + "_vltsnap\n";
    run_state st;
    char msg[256] = "";
    EXPECT_EQ(run_state_parse((many + "end\n").c_str(), &st, msg, sizeof msg), -1);
    EXPECT_STREQ(msg, "line 37 (\"snapshot\") is not understood");
}

}  // namespace
