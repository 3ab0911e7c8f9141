// The simulated host with VM 101 for the end-to-end tests of vlt_proxmox:
// its storages, a vlt_agent in front of the reference one that notes what
// it was given and runs an optional hook, and helpers to run the backup
// and restore what it stored.
#pragma once
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fake_tools.h"
#include "tests/support/simhost.h"

namespace backup_host_test {

using strings = std::vector<std::string>;

const char kVm101[] =
    "agent: 1\n"
    "boot: order=scsi0;ide2;net0\n"
    "ide2: none,media=cdrom\n"
    "memory: 2048\n"
    "name: web01\n"
    "net0: virtio=BC:24:11:2C:69:EC,bridge=vmbr0,firewall=1\n"
    "scsi0: local-lvm:vm-101-disk-0,iothread=1,size=8M\n"
    "virtio1: thick:vm-101-disk-1,size=4M\n";

const uint64_t kDisk0 = 8u << 20;
const uint64_t kDisk1 = 4u << 20;

class BackupHost : public ::testing::Test {
protected:
    void SetUp() override
    {
        VLT_REQUIRE_SIM_HOST(host_);
        ASSERT_TRUE(host_.add_storage("local-lvm", "lvmthin"));
        ASSERT_TRUE(host_.add_storage("thick", "lvm"));
        for (const std::string &e : host_.child_env())
            if (e.rfind("PATH=", 0) == 0)
                path_ = e.substr(5);
        write_wrapper();
    }
    void TearDown() override
    {
        if (host_.ok())
            host_.set_frozen(101, false);
    }

    void build_vm(const std::string &config = kVm101)
    {
        ASSERT_TRUE(host_.add_vm(101, config));
        ASSERT_TRUE(host_.add_lv_random("local-lvm", "vm-101-disk-0", kDisk0, 11));
        ASSERT_TRUE(host_.add_lv_random("thick", "vm-101-disk-1", kDisk1, 22));
        ASSERT_TRUE(host_.add_lv_random("local-lvm", "vm-101-disk-9", 4u << 20, 33));
        ASSERT_TRUE(host_.clear_calls());
    }

    // A vlt_agent in front of the reference one: it notes what it was given
    // and what the host looked like, runs an optional hook, then hands over.
    void write_wrapper()
    {
        const std::string w = wrap_.path();
        write_text(w + "/vlt_agent",
                   "#!/bin/bash\n"
                   "W='" + w + "'\n"
                   "n=$(( $(cat \"$W/count\" 2>/dev/null || echo 0) + 1 )); echo $n > \"$W/count\"\n"
                   "printf '%s\\n' \"$@\" > \"$W/argv.$n\"\n"
                   "echo $$ > \"$W/pid.$n\"; cp \"/dev/shm/vlt_progress.$PPID\" \"$W/segment.$n\" 2>/dev/null\n"
                   "ls '/dev/" + host_.vg() + "' > \"$W/nodes.$n\"\n"
                   "case \"$2\" in /dev/*) cat \"$VLT_SIM_ROOT/lvs/" + host_.vg() +
                       "/${2##*/}\" > \"$W/lv.$n\";; esac\n"
                   "[ -f \"$W/hook\" ] && . \"$W/hook\"\n"
                   "exec '" + std::string(vlt_test::engine_bin_dir()) + "/vlt_agent' \"$@\"\n",
                   0755);
    }
    void hook(const std::string &text) { write_text(wrap_.path() + "/hook", text); }
    std::string wrap_file(const std::string &name) const { return slurp(wrap_.path() + "/" + name); }

    vlt_test::run_result backup(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--vmid", "101", "--pve-dir", host_.pve_dir()});
        return host_.run(vlt_test::backup_program(), args, {"PATH=" + wrap_.path() + ":" + path_});
    }
    vlt_test::run_result backup_to_out(std::vector<std::string> own = {})
    {
        own.push_back("--");
        own.push_back("--out");
        own.push_back(out_.path());
        return backup(own);
    }

    // The run header of a job in the output directory.
    std::string header_of(const std::string &job) const
    {
        std::string found;
        DIR *d = opendir(out_.path().c_str());
        if (d == nullptr)
            return found;
        while (dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name.rfind(job + "-", 0) == 0 && name.size() > 5 && name.substr(name.size() - 5) == ".infb")
                found = out_.path() + "/" + name;
        }
        closedir(d);
        return found;
    }

    // Restores a job into a new file and returns the file's bytes.
    std::string restore_job(const std::string &job)
    {
        std::string header = header_of(job);
        EXPECT_FALSE(header.empty()) << "no run of " << job;
        std::string target = restored_.path() + "/" + job;
        write_text(target, "");
        auto r = host_.run(std::string(vlt_test::engine_bin_dir()) + "/vlt_restore",
                           {"--meta", header, "--search-dir", out_.path(), "--target", target});
        EXPECT_EQ(r.exit_status, 0) << r.err;
        return slurp(target);
    }

    strings host_calls() const
    {
        strings out;
        for (const auto &c : host_.calls())
            if (!c.is_end)
                out.push_back(c.tool + " " + c.joined());
        return out;
    }

    // Nothing was frozen, snapshotted or backed up, and nothing is left.
    void expect_untouched()
    {
        EXPECT_TRUE(host_.calls_of("lvcreate").empty());
        EXPECT_FALSE(host_.guest_frozen(101));
        EXPECT_TRUE(wrap_file("count").empty());
        expect_clean();
    }

    void expect_clean(pid_t pid = 0)
    {
        std::string report;
        EXPECT_TRUE(host_.check_clean(&report, pid)) << report;
    }

    vlt_test::sim_host host_;
    vlt_test::temp_dir wrap_{"vlt_br_wrap"};
    vlt_test::temp_dir out_{"vlt_br_out"};
    vlt_test::temp_dir restored_{"vlt_br_restored"};
    std::string path_;
};

}  // namespace backup_host_test
