// The sweep of what dead processes of the suite left behind: only files
// whose owner provably no longer runs go, each with its line; files of
// live processes, of unknown owners, or not plain files of ours stay.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/le_bytes.h"
#include "common/log.h"
#include "common/process_info.h"
#include "common/progress.h"
#include "common/stale_files.h"
#include "tests/support/test_util.h"

namespace {

using strings = std::vector<std::string>;

// A process that has ended and been reaped: its pid names nobody.
pid_t dead_pid()
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    int status;
    waitpid(pid, &status, 0);
    return pid;
}

std::string segment_bytes(uint32_t pid, uint64_t created_ms, uint32_t magic = PROGRESS_MAGIC)
{
    std::string b(PROGRESS_SEGMENT_SIZE, '\0');
    uint8_t *p = reinterpret_cast<uint8_t *>(&b[0]);
    put_le32(p + offsetof(progress_record, magic), magic);
    put_le32(p + offsetof(progress_record, version), PROGRESS_VERSION);
    put_le32(p + offsetof(progress_record, pid), pid);
    put_le64(p + offsetof(progress_record, start_mono_ms), created_ms);
    return b;
}

// The log lines without their time stamp and program name, sorted (the
// sweep meets files in directory order).
strings messages(const std::string &log)
{
    strings out;
    size_t at = 0, nl;
    while ((nl = log.find('\n', at)) != std::string::npos) {
        std::string line = log.substr(at, nl - at);
        size_t cut = line.find("] ");
        out.push_back(cut == std::string::npos ? line : line.substr(cut + 2));
        at = nl + 1;
    }
    std::sort(out.begin(), out.end());
    return out;
}

class StaleFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to give a file to another user";
        shm_ = dir_.file("shm");
        run_ = dir_.file("run");
        mkdir(shm_.c_str(), 01777);
        mkdir(run_.c_str(), 0700);
        stale_shm_dir = shm_.c_str();
        const char *old = getenv("VLT_RUN_DIR");
        had_run_dir_ = old != nullptr;
        saved_run_dir_ = old != nullptr ? old : "";
        setenv("VLT_RUN_DIR", run_.c_str(), 1);
        log_setup("vlt_test", LOG_LEVEL_INFO);
    }
    void TearDown() override
    {
        stale_shm_dir = "/dev/shm";
        if (had_run_dir_)
            setenv("VLT_RUN_DIR", saved_run_dir_.c_str(), 1);
        else
            unsetenv("VLT_RUN_DIR");
        if (live_ > 0) {
            kill(live_, SIGKILL);
            waitpid(live_, nullptr, 0);
        }
    }

    std::string shm(const std::string &name) const { return shm_ + "/" + name; }
    bool exists(const std::string &path) const { return vlt_test::file_exists(path); }
    std::string left(const char *what, const std::string &path, pid_t pid) const
    {
        return std::string("WARN  ") + what + " " + path + " was left behind by process " + std::to_string(pid) +
               ", which ended abnormally: removed";
    }

    vlt_test::temp_dir dir_{"vlt_stale"};
    std::string shm_, run_, saved_run_dir_;
    bool had_run_dir_ = false;
    pid_t live_ = -1;
};

TEST_F(StaleFiles, SecretFilesAndSegmentsByTheirPid)
{
    pid_t dead = dead_pid();
    live_ = fork();
    if (live_ == 0) {
        for (;;)
            pause();
    }
    const std::string d = std::to_string(dead), l = std::to_string(live_), me = std::to_string(getpid());
    ASSERT_TRUE(vlt_test::write_file(shm("vlt_proxmox_key." + d + ".abc123"), "k", 0600));
    ASSERT_TRUE(vlt_test::write_file(shm("vlt_proxmox_key." + l + ".abc123"), "k", 0600));
    ASSERT_TRUE(vlt_test::write_file(shm("vlt_proxmox_key." + d + ".abc"), "k", 0600));
    ASSERT_TRUE(vlt_test::write_file(shm("vlt_proxmox_key." + d + ".foreign"), "k", 0600));
    ASSERT_TRUE(vlt_test::write_file(dir_.file("target"), "keep me", 0600));
    ASSERT_EQ(symlink(dir_.file("target").c_str(), shm("vlt_proxmox_key." + d + ".linked").c_str()), 0);
    ASSERT_TRUE(vlt_test::write_file(shm("vlt_proxmox_key." + d + ".theirs"), "k", 0600));
    ASSERT_EQ(chown(shm("vlt_proxmox_key." + d + ".theirs").c_str(), 4321, 4321), 0);

    ASSERT_TRUE(vlt_test::write_file(shm("vlt_progress." + d), segment_bytes(dead, monotonic_ms()), 0600));
    ASSERT_TRUE(vlt_test::write_file(shm("vlt_progress." + l), segment_bytes(live_, monotonic_ms()), 0600));
    // Our pid, on a segment made long before we started: a dead process had
    // the pid first.
    ASSERT_TRUE(vlt_test::write_file(shm("vlt_progress." + me), segment_bytes(getpid(), 1), 0600));
    // Not a segment, and a segment naming another pid: owner unknown.
    pid_t dead2 = dead_pid();
    const std::string d2 = std::to_string(dead2);
    ASSERT_TRUE(vlt_test::write_file(shm("vlt_progress." + d2), segment_bytes(dead2, 1, 0x12345678), 0600));
    pid_t dead3 = dead_pid();
    ASSERT_TRUE(vlt_test::write_file(shm("vlt_progress." + std::to_string(dead3)), segment_bytes(4, 1), 0600));

    vlt_test::stderr_capture log;
    sweep_stale_files();
    strings expected = {left("progress segment", shm("vlt_progress." + d), dead),
                        left("progress segment", shm("vlt_progress." + me), getpid()),
                        left("secret file", shm("vlt_proxmox_key." + d + ".abc123"), dead)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(messages(log.text()), expected);
    EXPECT_FALSE(exists(shm("vlt_proxmox_key." + d + ".abc123")));
    EXPECT_FALSE(exists(shm("vlt_progress." + d)));
    EXPECT_FALSE(exists(shm("vlt_progress." + me)));
    for (const std::string &kept :
         {"vlt_proxmox_key." + l + ".abc123", "vlt_proxmox_key." + d + ".abc", "vlt_proxmox_key." + d + ".foreign",
          "vlt_proxmox_key." + d + ".linked", "vlt_proxmox_key." + d + ".theirs", "vlt_progress." + l,
          "vlt_progress." + d2, "vlt_progress." + std::to_string(dead3)})
        EXPECT_TRUE(exists(shm(kept))) << kept;
    EXPECT_EQ(vlt_test::read_file(dir_.file("target")), "keep me");
}

TEST_F(StaleFiles, ConfigurationFilesByTheirRunsStateFile)
{
    uint64_t my_ticks = 0;
    ASSERT_TRUE(process_start_ticks(getpid(), &my_ticks));
    const std::string tmp = dir_.file("tmp");
    mkdir(tmp.c_str(), 0700);
    const std::string dead_config = tmp + "/vlt_proxmox_vmconfig.dead01";
    const std::string live_config = tmp + "/vlt_proxmox_vmconfig.live01";
    const std::string odd_config = tmp + "/vlt_proxmox_vmconfig.odd001";
    // The secret names a live pid, but its run is gone: the state file
    // knows better than the name.
    const std::string reused_secret = shm("vlt_proxmox_key." + std::to_string(getpid()) + ".reused");
    for (const auto &f : {dead_config, live_config, odd_config, reused_secret})
        ASSERT_TRUE(vlt_test::write_file(f, "x", 0600));
    const std::string head = "vlt_proxmox run state 1\n";
    ASSERT_TRUE(vlt_test::write_file(run_ + "/101.state",
                                     head + "vmid 101\nrun " + std::to_string(getpid()) + " " +
                                         std::to_string(my_ticks + 1) + "\nfrozen 1\nsecret " + reused_secret +
                                         "\nvmconfig " + dead_config + "\nend\n",
                                     0600));
    ASSERT_TRUE(vlt_test::write_file(run_ + "/102.state",
                                     head + "vmid 102\nrun " + std::to_string(getpid()) + " " +
                                         std::to_string(my_ticks) + "\nfrozen 0\nvmconfig " + live_config + "\nend\n",
                                     0600));
    ASSERT_TRUE(vlt_test::write_file(run_ + "/103.state", head + "vmid 103\nvmconfig " + odd_config + "\n", 0600));

    vlt_test::stderr_capture log;
    sweep_stale_files();
    strings expected = {left("secret file", reused_secret, getpid()), left("temporary file", dead_config, getpid())};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(messages(log.text()), expected);
    EXPECT_FALSE(exists(dead_config));
    EXPECT_FALSE(exists(reused_secret));
    EXPECT_TRUE(exists(live_config));
    EXPECT_TRUE(exists(odd_config));
    // The state files are the backup's to repair from: they stay.
    EXPECT_TRUE(exists(run_ + "/101.state"));

    // A run directory that is not ours alone is not read at all.
    ASSERT_TRUE(vlt_test::write_file(dead_config, "x", 0600));
    ASSERT_EQ(chmod(run_.c_str(), 0777), 0);
    vlt_test::stderr_capture quiet;
    sweep_stale_files();
    EXPECT_EQ(quiet.text(), "");
    EXPECT_TRUE(exists(dead_config));
}

}  // namespace
