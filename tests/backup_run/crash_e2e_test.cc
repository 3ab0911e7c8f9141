// vlt_proxmox killed by SIGKILL at each phase of a run, and the run of the
// same VM that follows: it repairs exactly what the dead run left (a frozen
// guest, snapshots, a child still running, the secret, temporary and
// progress files), logs each repair, backs up every disk and leaves the
// host clean. The VM boots by UEFI: its EFI disk, listed first as qm config
// lists it, is snapshotted and backed up like the other disks. These tests leave dead processes' files behind on purpose
// and check which run removes them, so they run alone (RUN_SERIAL): any
// run of the suite removes such files.
#include "backup_host.h"

#include <dirent.h>

#include <functional>
#include <set>

namespace {

using namespace backup_host_test;

const std::string kUefiVm101 = [] {
    std::string config = kVm101;
    const std::string before = "ide2: ";
    config.insert(config.find(before), "bios: ovmf\n");
    config.insert(config.find(before), "efidisk0: local-lvm:vm-101-disk-9,efitype=4m,pre-enrolled-keys=1,size=4M\n");
    return config;
}();

class Crash : public BackupHost {
protected:
    std::set<std::string> shm_before_;
    bool shm_noted_ = false;

    void SetUp() override
    {
        BackupHost::SetUp();
        if (HasFatalFailure() || IsSkipped())
            return;
        ASSERT_NO_FATAL_FAILURE(build_vm(kUefiVm101));
        // A literal api-key, so that a run has a secret file under /dev/shm.
        write_text(wrap_.path() + "/vlt.cfg", "[nightly]\napi-key = hush\n");
        crash_hook("");
    }

    // The reference agent stores into a directory and takes no api-key:
    // the hook drops the pair (the agent's arguments are noted before),
    // then does `text`.
    void crash_hook(const std::string &text)
    {
        hook("[ \"${@: -2:1}\" = --api-key ] && set -- \"${@:1:$#-2}\"\n" + text);
    }

    std::vector<std::string> args() const
    {
        return {"--vmid",        "101",     "--pve-dir",   host_.pve_dir(), "--name", "nightly",
                "--config-path", wrap_.path() + "/vlt.cfg", "--", "--out", out_.path()};
    }
    std::vector<std::string> env() const { return {"PATH=" + wrap_.path() + ":" + path_}; }

    // Starts the first run, lets `kill_it` see to its SIGKILL, reaps it.
    pid_t killed_run(const std::function<void(vlt_test::background_run &)> &kill_it)
    {
        auto run = host_.start(vlt_test::backup_program(), args(), env());
        EXPECT_TRUE(run->started());
        pid_t pid = run->pid();
        kill_it(*run);
        auto r = run->wait(60000);
        EXPECT_EQ(r.term_signal, SIGKILL) << r.err;
        return pid;
    }

    // Waits until the fake whose call starts with `prefix` has ended (a fake
    // left behind by a killed caller ends on its own within 0.25 s).
    bool wait_for_end(const std::string &tool, const std::string &prefix)
    {
        for (int i = 0; i < 1000; i++) {
            long pid = 0;
            for (const auto &c : host_.calls())
                if (!c.is_end && c.tool == tool && c.joined().rfind(prefix, 0) == 0)
                    pid = c.pid;
            if (pid != 0)
                for (const auto &c : host_.calls())
                    if (c.is_end && c.pid == pid)
                        return true;
            usleep(10000);
        }
        return false;
    }

    // The second run: exit 0, every disk and the configuration backed up.
    // Returns its WARN lines, leaving out the removals of files of other
    // processes than `dead` (left by whatever else runs on this machine).
    strings second_run(pid_t dead)
    {
        note_shm();
        EXPECT_TRUE(host_.clear_calls());
        auto r = host_.run(vlt_test::backup_program(), args(), env());
        EXPECT_EQ(r.exit_status, 0) << r.err;
        strings lines = log_lines(r.err), warnings;
        for (const char *job : {"efidisk0", "scsi0", "virtio1"})
            EXPECT_NE(std::find(lines.begin(), lines.end(),
                                std::string("INFO  VM 101 disk ") + job + ": job nightly-" + job + " finished"),
                      lines.end())
                << r.err;
        EXPECT_NE(std::find(lines.begin(), lines.end(), "INFO  VM 101 config: job nightly-vmconfig finished"),
                  lines.end())
            << r.err;
        EXPECT_EQ(lines.back(), "INFO  VM 101: backup finished, consistency: fs (frozen by the guest agent)");
        const std::string own = "was left behind by process " + std::to_string(dead) + ",";
        for (const auto &l : lines) {
            if (l.rfind("WARN", 0) != 0)
                continue;
            if (l.find("was left behind by process ") != std::string::npos && l.find(own) == std::string::npos)
                continue;
            warnings.push_back(l);
        }
        // The first run's leftovers, and the second run's own files, are gone.
        std::string report;
        EXPECT_TRUE(host_.check_clean(&report, dead)) << report;
        EXPECT_FALSE(host_.guest_frozen(101));
        return warnings;
    }

    // Any run of either program on this machine removes the files of dead
    // processes under /dev/shm, and so may take the dead run's first: the
    // removals expected are those of the files still there when the run
    // that repairs started. Lines of files that were gone already are
    // empty, and present() leaves them out.
    void note_shm()
    {
        shm_before_.clear();
        if (DIR *dir = opendir("/dev/shm")) {
            while (const struct dirent *e = readdir(dir))
                shm_before_.insert(std::string("/dev/shm/") + e->d_name);
            closedir(dir);
        }
        shm_noted_ = true;
    }
    bool gone_before(const std::string &path) const
    {
        return shm_noted_ && path.rfind("/dev/shm/", 0) == 0 && shm_before_.count(path) == 0;
    }
    static strings present(const strings &lines)
    {
        strings out;
        for (const auto &l : lines)
            if (!l.empty())
                out.push_back(l);
        return out;
    }

    std::string segment(pid_t pid) const
    {
        std::string path = "/dev/shm/vlt_progress." + std::to_string(pid);
        if (gone_before(path))
            return "";
        return "WARN  progress segment " + path + " was left behind by process " + std::to_string(pid) +
               ", which ended abnormally: removed";
    }
    std::string thawed(pid_t pid) const
    {
        return "WARN  VM 101: an earlier run (process " + std::to_string(pid) +
               ") ended abnormally and left the guest frozen: thawed";
    }
    std::string snapshot(const std::string &lv) const
    {
        return "WARN  VM 101: snapshot " + host_.vg() + "/" + lv +
               "_vltsnap was left by an earlier run that ended abnormally: removed";
    }
    std::string file(const char *what, const std::string &path, pid_t pid) const
    {
        if (gone_before(path))
            return "";
        return std::string("WARN  ") + what + " " + path + " was left behind by process " + std::to_string(pid) +
               ", which ended abnormally: removed";
    }
    // A run killed during its configuration job (the fourth agent): its
    // temporary file and key file in *config and *key.
    pid_t killed_in_config_job(std::string *config, std::string *key)
    {
        crash_hook("[ \"$6\" = nightly-vmconfig ] && [ ! -e \"$W/second\" ] && { kill -KILL $PPID; exit 0; }\n");
        pid_t dead = killed_run([](vlt_test::background_run &) {});
        std::string argv = wrap_file("argv.4");
        argv = argv.substr(argv.find('\n') + 1);
        *config = argv.substr(0, argv.find('\n'));
        *key = key_of(4);
        EXPECT_EQ(config->rfind("/tmp/vlt_proxmox_vmconfig.", 0), 0u) << *config;
        EXPECT_EQ(access(config->c_str(), F_OK), 0);
        EXPECT_EQ(access(key->c_str(), F_OK), 0);
        return dead;
    }

    // The last argument the agent of call n got (the key file, "file:<path>").
    std::string key_of(int n) const
    {
        std::string argv = wrap_file("argv." + std::to_string(n));
        size_t at = argv.rfind("file:");
        return at == std::string::npos ? "" : argv.substr(at + 5, argv.size() - at - 6);
    }
};

TEST_F(Crash, BeforeTheFreeze)
{
    vlt_test::fault_spec f;
    f.tool = "pvesm";
    f.action = vlt_test::fault_spec::signal_caller;
    f.sig = SIGKILL;
    ASSERT_TRUE(host_.add_fault(f));
    pid_t dead = killed_run([](vlt_test::background_run &) {});
    ASSERT_TRUE(wait_for_end("pvesm", "path"));
    EXPECT_TRUE(host_.calls_of("lvcreate").empty());
    ASSERT_TRUE(host_.clear_faults());
    strings got = second_run(dead);
    EXPECT_EQ(got, present(strings{segment(dead)}));
}

TEST_F(Crash, WhileTheFreezeCommandRuns)
{
    // The freeze takes 1.5 s inside the guest, and completes after the
    // program was killed.
    ASSERT_TRUE(host_.set_freeze_time(101, 1500));
    pid_t dead = killed_run([&](vlt_test::background_run &run) {
        for (int i = 0; i < 3000 && !host_.guest_freezing(101); i++)
            usleep(10000);
        ASSERT_TRUE(host_.guest_freezing(101));
        run.send_signal(SIGKILL);
    });
    ASSERT_TRUE(wait_for_end("qm", "guest cmd 101 fsfreeze-freeze"));
    EXPECT_TRUE(host_.guest_frozen(101) || host_.guest_freezing(101));
    ASSERT_TRUE(host_.set_freeze_time(101, 0));
    strings got = second_run(dead);
    EXPECT_EQ(got, present(strings{segment(dead), thawed(dead)}));
}

TEST_F(Crash, BetweenTwoLvcreateRuns)
{
    vlt_test::fault_spec f;
    f.tool = "lvcreate";
    f.nth = 3;
    f.action = vlt_test::fault_spec::signal_caller;
    f.sig = SIGKILL;
    ASSERT_TRUE(host_.add_fault(f));
    pid_t dead = killed_run([](vlt_test::background_run &) {});
    ASSERT_TRUE(wait_for_end("lvcreate", "-s -y -n vm-101-disk-1_vltsnap"));
    EXPECT_TRUE(host_.guest_frozen(101));
    EXPECT_TRUE(host_.lv_exists(host_.vg(), "vm-101-disk-9_vltsnap"));
    EXPECT_TRUE(host_.lv_exists(host_.vg(), "vm-101-disk-0_vltsnap"));
    ASSERT_TRUE(host_.clear_faults());
    strings got = second_run(dead);
    EXPECT_EQ(got,
              present(strings{segment(dead), thawed(dead), snapshot("vm-101-disk-9"), snapshot("vm-101-disk-0")}));
}

TEST_F(Crash, WhileAnLvcreateRuns)
{
    // The snapshot is made, and the command is still running.
    vlt_test::fault_spec f;
    f.tool = "lvcreate";
    f.action = vlt_test::fault_spec::hang_after;
    ASSERT_TRUE(host_.add_fault(f));
    pid_t dead = killed_run([&](vlt_test::background_run &run) {
        for (int i = 0; i < 3000 && !host_.lv_exists(host_.vg(), "vm-101-disk-9_vltsnap"); i++)
            usleep(10000);
        ASSERT_TRUE(host_.lv_exists(host_.vg(), "vm-101-disk-9_vltsnap"));
        run.send_signal(SIGKILL);
    });
    ASSERT_TRUE(wait_for_end("lvcreate", "-s -y -kn -n vm-101-disk-9_vltsnap"));
    EXPECT_EQ(host_.calls_of("lvcreate").size(), 1u);
    ASSERT_TRUE(host_.clear_faults());
    strings got = second_run(dead);
    EXPECT_EQ(got, present(strings{segment(dead), thawed(dead), snapshot("vm-101-disk-9")}));
}

TEST_F(Crash, AfterTheThawWhileAnAgentRuns)
{
    crash_hook("[ \"$6\" = nightly-efidisk0 ] && [ ! -e \"$W/second\" ] && { kill -KILL $PPID; exit 0; }\n");
    pid_t dead = killed_run([](vlt_test::background_run &) {});
    std::string key = key_of(1);
    ASSERT_FALSE(key.empty());
    EXPECT_EQ(access(key.c_str(), F_OK), 0);
    EXPECT_FALSE(host_.guest_frozen(101));
    write_text(wrap_.path() + "/second", "");
    strings got = second_run(dead);
    EXPECT_EQ(got, present(strings{file("secret file", key, dead), segment(dead), snapshot("vm-101-disk-9"),
                                         snapshot("vm-101-disk-0"), snapshot("vm-101-disk-1")}));
}

TEST_F(Crash, AfterTheThawWithTheAgentStillRunning)
{
    // The agent outlives the killed program, reading its snapshot: the next
    // run stops it before it removes the snapshots.
    crash_hook("[ -e \"$W/second\" ] && exec '" + std::string(vlt_test::engine_bin_dir()) + "/vlt_agent' \"$@\"\n"
         "trap 'echo $$ > \"$W/agent-term\"; exit 143' TERM\n"
         "exec 8<\"$2\"; sleep 60 & echo $$ > \"$W/agent-up\"; wait; exit 0\n");
    pid_t agent = 0;
    pid_t dead = killed_run([&](vlt_test::background_run &run) {
        for (int i = 0; i < 3000 && wrap_file("agent-up").empty(); i++)
            usleep(10000);
        ASSERT_FALSE(wrap_file("agent-up").empty());
        agent = std::stoi(wrap_file("agent-up"));
        run.send_signal(SIGKILL);
    });
    ASSERT_GT(agent, 0);
    EXPECT_EQ(kill(agent, 0), 0);  // still reading the snapshot
    std::string key = key_of(1);
    write_text(wrap_.path() + "/second", "");
    strings got = second_run(dead);
    EXPECT_EQ(got,
              present(strings{file("secret file", key, dead), segment(dead),
                       "WARN  VM 101: vlt_agent (process " + std::to_string(agent) + ") of an earlier run (process " +
                           std::to_string(dead) + ") that ended abnormally was still running: stopped",
                       snapshot("vm-101-disk-9"), snapshot("vm-101-disk-0"), snapshot("vm-101-disk-1")}));
    EXPECT_EQ(wrap_file("agent-term"), std::to_string(agent) + "\n");
}

TEST_F(Crash, DuringTheConfigurationJob)
{
    std::string config, key;
    pid_t dead = killed_in_config_job(&config, &key);
    write_text(wrap_.path() + "/second", "");
    // The disks' snapshots were gone already; the guest was thawed.
    strings got = second_run(dead);
    EXPECT_EQ(got,
              present(strings{file("temporary file", config, dead), file("secret file", key, dead), segment(dead)}));
    EXPECT_EQ(access(config.c_str(), F_OK), -1);
}

// Either program's next run removes what a dead run left: here the restore
// program, for a backup killed during its configuration job. A listing of
// the backups only reads.
TEST_F(Crash, TheRestoreProgramRemovesDeadFilesToo)
{
    std::string config, key;
    pid_t dead = killed_in_config_job(&config, &key);
    // (The killed run stored no configuration: nothing to list.)
    auto listing = host_.run(vlt_test::restore_program(), {"--job", "nightly", "--search-dir", out_.path(), "--list"});
    EXPECT_EQ(listing.exit_status, 1) << listing.err;
    EXPECT_EQ(listing.err.find("was left behind"), std::string::npos) << listing.err;
    for (const std::string &path : {config, key, "/dev/shm/vlt_progress." + std::to_string(dead)})
        EXPECT_EQ(access(path.c_str(), F_OK), 0) << path;
    note_shm();
    auto r = host_.run(vlt_test::restore_program(),
                       {"--job", "nosuchjob", "--search-dir", out_.path(), "--pve-dir", host_.pve_dir()});
    EXPECT_EQ(r.exit_status, 1) << r.err;
    strings lines = log_lines(r.err), removals;
    const std::string own = "was left behind by process " + std::to_string(dead) + ",";
    for (const auto &l : lines)
        if (l.find(own) != std::string::npos)
            removals.push_back(l);
    EXPECT_EQ(removals, present(strings{file("temporary file", config, dead), file("secret file", key, dead), segment(dead)}));
    // The backup's state file stays for the next backup of the VM, which
    // finds nothing left to repair.
    std::string report;
    EXPECT_FALSE(host_.check_clean(&report, dead));
    EXPECT_EQ(report, "run state " + host_.run_dir() + "/101.state\n");
    ASSERT_TRUE(host_.clear_calls());
    write_text(wrap_.path() + "/second", "");
    auto again = host_.run(vlt_test::backup_program(), args(), env());
    EXPECT_EQ(again.exit_status, 0) << again.err;
    for (const auto &l : log_lines(again.err))
        EXPECT_EQ(l.find(own), std::string::npos) << l;
    EXPECT_TRUE(host_.check_clean(&report, dead)) << report;
}

}  // namespace
