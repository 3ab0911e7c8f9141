// The restore run over small fake tools: pvesm keeps its volumes as files,
// vlt_restore copies a payload kept next to each run header. (The failures
// of the disk and install steps are shown on the simulated host in e2e.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "common/log.h"
#include "front_util.h"
#include "restore/restore_vm.h"

using front_test::exists;
using front_test::list_dir;
using front_test::log_lines;
using front_test::path_override;
using front_test::read_file;
using front_test::scratch_dir;
using front_test::write_file;
using front_test::write_script;

namespace {

void put_le(std::string &buf, size_t off, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; i++)
        buf[off + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

// A run header block as the agent writes it, for the fields this program reads.
std::string run_header(const std::string &job, int64_t created, uint64_t source_size) {
    std::string h(131072, '\0');
    std::memcpy(&h[0], "VLTH", 4);
    put_le(h, 4, 1, 2);
    put_le(h, 8, 131072, 4);
    put_le(h, 12, 2097152, 4);
    put_le(h, 68, static_cast<uint64_t>(created), 8);
    put_le(h, 76, source_size, 8);
    std::memcpy(&h[484], job.data(), job.size());
    return h;
}

class RestoreRun : public testing::Test {
protected:
    void SetUp() override {
        log_setup("vlt_proxmox_restore", LOG_LEVEL_INFO);
        mkdir(backup_dir().c_str(), 0755);
        mkdir(pve_dir().c_str(), 0755);
        mkdir((pve_dir() + "/qemu-server").c_str(), 0755);
        mkdir(vol_dir().c_str(), 0755);
        mkdir(bin_dir().c_str(), 0755);
        write_fakes();
        opts_.search_dir = search_dir_.c_str();
        opts_.job_prefix = "vm100";
        opts_.requested_vmid = "105";
        opts_.pve_dir = pve_dir_.c_str();
    }

    std::string backup_dir() const { return top_.file("backup"); }
    std::string pve_dir() const { return top_.file("pve"); }
    std::string vol_dir() const { return top_.file("vols"); }
    std::string bin_dir() const { return top_.file("bin"); }
    std::string calls() const { return read_file(top_.file("calls")); }
    std::string conf_path() const { return pve_dir() + "/qemu-server/105.conf"; }

    void write_fakes() {
        const std::string calls = top_.file("calls");
        const std::string vols = vol_dir();
        const std::string bin = bin_dir();
        // Volumes are files <vols>/<storage>/<name>; the lowest free
        // vm-<vmid>-disk-<n> is taken, like the real tool does.
        write_script(bin + "/pvesm",
                     "echo \"pvesm $*\" >> '" + calls + "'\n"
                     "case \"$1\" in\n"
                     "alloc)\n"
                     "  [ -e '" + bin + "/fail_alloc' ] && { echo 'lvcreate error'; exit 5; }\n"
                     "  n=0; while [ -e '" + vols + "'/$2/vm-$3-disk-$n ]; do n=$((n+1)); done\n"
                     "  mkdir -p '" + vols + "'/$2; : > '" + vols + "'/$2/vm-$3-disk-$n\n"
                     "  echo \"  Logical volume \\\"vm-$3-disk-$n\\\" created.\"\n"
                     "  echo \"successfully created '$2:vm-$3-disk-$n'\" ;;\n"
                     "path) echo \"" + vols + "/${2%%:*}/${2#*:}\" ;;\n"
                     "free) rm -f \"" + vols + "/${2%%:*}/${2#*:}\"; echo \"Removed volume '$2'\" ;;\n"
                     "esac\n");
        // Copies <meta>.data into the target; <meta>.fail holds an exit
        // status to fail with, <meta>.hook a script run before it ends.
        write_script(bin + "/vlt_restore",
                     "echo \"vlt_restore $*\" >> '" + calls + "'\n"
                     "meta=$2; target=$6\n"
                     "[ -e \"$meta.hook\" ] && sh \"$meta.hook\"\n"
                     "[ -e \"$meta.fail\" ] && exit $(cat \"$meta.fail\")\n"
                     "cat \"$meta.data\" > \"$target\"\n");
    }

    // A job run: header file plus the bytes vlt_restore gives back.
    std::string add_run(const std::string &job, const std::string &data, int64_t created = 1000) {
        std::string meta = backup_dir() + "/" + job + "-202612080000.infb";
        write_file(meta, run_header(job, created, data.size()));
        write_file(meta + ".data", data);
        return meta;
    }

    int32_t restore(int64_t *vmid = nullptr) {
        int64_t local = -1;
        path_override path(bin_dir());
        testing::internal::CaptureStderr();
        int32_t rc = restore_vm(&opts_, vmid != nullptr ? vmid : &local, err_, sizeof err_);
        log_ = log_lines(testing::internal::GetCapturedStderr());
        return rc;
    }

    // The target vlt_restore got for the configuration run.
    std::string config_temp_path() const {
        // The last configuration run's target.
        std::string c = calls();
        static const std::regex re("vmconfig-[^ ]* --search-dir [^ ]* --target ([^ \n]*)");
        std::string last;
        for (auto it = std::sregex_iterator(c.begin(), c.end(), re); it != std::sregex_iterator();
             ++it)
            last = (*it)[1].str();
        return last;
    }

    bool has_log(const std::string &line) const {
        for (const std::string &l : log_)
            if (l == line)
                return true;
        return false;
    }

    scratch_dir top_;
    std::string search_dir_ = top_.file("backup");
    std::string pve_dir_ = top_.file("pve");
    restore_options opts_{};
    char err_[1024];
    std::vector<std::string> log_;
};

const std::string kDisk0(5000, 'a');
const std::string kDisk1(1025, 'b');
const std::string kDisk2(70000, 'c');

TEST_F(RestoreRun, RestoresEveryDiskAndInstallsTheRewrittenConfig) {
    const std::string config =
        "boot: order=scsi0\n"
        "ide2: none,media=cdrom\n"
        "net0: virtio=AA:BB:CC:DD:EE:FF,bridge=vmbr0,firewall=1\n"
        "scsi0: local-lvm:vm-100-disk-0,discard=on,size=5000\n"
        "smbios1: uuid=0e2f4c1a-0000-4000-8000-000000000000\n"
        "virtio1: other:vm-100-disk-1,size=2K\n";
    add_run("vm100-vmconfig", config);
    std::string meta0 = add_run("vm100-scsi0", kDisk0);
    std::string meta1 = add_run("vm100-virtio1", kDisk1);
    write_file(pve_dir() + "/datacenter.cfg", "keyboard: en-us\nmac_prefix: 02:AB:CD\n");
    opts_.storage_map[0] = {"local-lvm", "fast"};
    opts_.storage_map_count = 1;
    const char *fwd[] = {"--verify", "--threads", "4"};
    opts_.forwarded = fwd;
    opts_.forwarded_count = 3;

    int64_t vmid = -1;
    ASSERT_EQ(restore(&vmid), 0) << err_;
    EXPECT_EQ(vmid, 105);
    EXPECT_STREQ(err_, "");

    // The data went into the new volumes, on the mapped storage for scsi0.
    EXPECT_EQ(read_file(vol_dir() + "/fast/vm-105-disk-0"), kDisk0);
    EXPECT_EQ(read_file(vol_dir() + "/other/vm-105-disk-0"), kDisk1);

    const std::string tmp = config_temp_path();
    ASSERT_EQ(tmp.rfind("/tmp/vlt_proxmox_restore_vmconfig.", 0), 0u) << calls();
    EXPECT_FALSE(exists(tmp));
    EXPECT_EQ(calls(),
              "vlt_restore --meta " + backup_dir() + "/vm100-vmconfig-202612080000.infb"
              " --search-dir " + backup_dir() + " --target " + tmp + " --verify --threads 4\n"
              "pvesm alloc fast 105  5\n"
              "pvesm path fast:vm-105-disk-0\n"
              "vlt_restore --meta " + meta0 + " --search-dir " + backup_dir() + " --target " +
                  vol_dir() + "/fast/vm-105-disk-0 --verify --threads 4\n"
              "pvesm alloc other 105  2\n"
              "pvesm path other:vm-105-disk-0\n"
              "vlt_restore --meta " + meta1 + " --search-dir " + backup_dir() + " --target " +
                  vol_dir() + "/other/vm-105-disk-0 --verify --threads 4\n");

    // The installed file: new volumes with their old options, a fresh MAC
    // with the cluster's prefix, a fresh uuid and generation id.
    std::string installed = read_file(conf_path());
    static const std::regex shape(
        "boot: order=scsi0\n"
        "ide2: none,media=cdrom\n"
        "net0: virtio=02:AB:CD:[0-9A-F]{2}:[0-9A-F]{2}:[0-9A-F]{2},bridge=vmbr0,firewall=1\n"
        "scsi0: fast:vm-105-disk-0,discard=on,size=5000\n"
        "smbios1: uuid=[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\n"
        "virtio1: other:vm-105-disk-0,size=2K\n"
        "vmgenid: [0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\n");
    EXPECT_TRUE(std::regex_match(installed, shape)) << installed;
    EXPECT_EQ(installed.find("0e2f4c1a-0000-4000-8000-000000000000"), std::string::npos);
    struct stat st;
    ASSERT_EQ(stat(conf_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(list_dir(pve_dir() + "/qemu-server"), std::vector<std::string>{"105.conf"});

    EXPECT_TRUE(has_log("INFO: restoring 'vm100' (2 disk-like volume(s)) to VMID 105"));
    EXPECT_TRUE(has_log("INFO: scsi0: restoring job " + meta0 + " into fast:vm-105-disk-0 (" +
                        vol_dir() + "/fast/vm-105-disk-0)"));
    EXPECT_TRUE(has_log("INFO: VM 105 restored: 2 disk(s), config written to " + conf_path() +
                        " (VM left stopped)"));
}

TEST_F(RestoreRun, KeepsNetworkIdentityAndSmbiosUuidOnRequest) {
    add_run("vm100-vmconfig",
            "net0: virtio=AA:BB:CC:DD:EE:FF,bridge=vmbr0\n"
            "scsi0: local-lvm:vm-100-disk-0,size=1K\n"
            "smbios1: uuid=0e2f4c1a-0000-4000-8000-000000000000\n"
            "vmgenid: 0\n");
    add_run("vm100-scsi0", kDisk1);
    opts_.keep_network_identity = 1;
    opts_.keep_smbios_uuid = 1;
    ASSERT_EQ(restore(), 0) << err_;
    EXPECT_EQ(read_file(conf_path()),
              "net0: virtio=AA:BB:CC:DD:EE:FF,bridge=vmbr0\n"
              "scsi0: local-lvm:vm-105-disk-0,size=1K\n"
              "smbios1: uuid=0e2f4c1a-0000-4000-8000-000000000000\n"
              "vmgenid: 0\n");
}

TEST_F(RestoreRun, MaskedCloudInitPasswordIsLeftOutWithOneWarning) {
    add_run("vm100-vmconfig",
            "cipassword: **********\n"
            "ciuser: admin\n"
            "scsi0: local-lvm:vm-100-disk-0,size=1K\n"
            "vmgenid: 0\n");
    add_run("vm100-scsi0", kDisk1);
    opts_.keep_smbios_uuid = 1;
    ASSERT_EQ(restore(), 0) << err_;
    EXPECT_EQ(read_file(conf_path()),
              "ciuser: admin\n"
              "scsi0: local-lvm:vm-105-disk-0,size=1K\n"
              "vmgenid: 0\n");
    size_t warnings = 0;
    for (const std::string &line : log_)
        if (line.rfind("WARN: ", 0) == 0) {
            warnings++;
            EXPECT_EQ(line, "WARN: cipassword was not part of the backup: set it again for VM 105");
        }
    EXPECT_EQ(warnings, 1u);
}

TEST_F(RestoreRun, FailedSecondOfThreeDisksFreesFirstAndSecondInOrder) {
    add_run("vm100-vmconfig",
            "scsi0: local-lvm:vm-100-disk-0\nscsi1: local-lvm:vm-100-disk-1\n"
            "scsi2: local-lvm:vm-100-disk-2\n");
    add_run("vm100-scsi0", kDisk0);
    std::string meta1 = add_run("vm100-scsi1", kDisk1);
    add_run("vm100-scsi2", kDisk2);
    write_file(meta1 + ".fail", "3\n");
    ASSERT_EQ(restore(), -1);
    EXPECT_STREQ(err_, "scsi1: restore failed: vlt_restore exited with code 3");

    std::string c = calls();
    size_t first_free = c.find("pvesm free");
    ASSERT_NE(first_free, std::string::npos) << c;
    EXPECT_EQ(c.substr(first_free),
              "pvesm free local-lvm:vm-105-disk-0\npvesm free local-lvm:vm-105-disk-1\n");
    EXPECT_EQ(c.find("alloc local-lvm 105  69"), std::string::npos) << c;
    EXPECT_EQ(list_dir(vol_dir() + "/local-lvm"), std::vector<std::string>{});
    EXPECT_FALSE(exists(conf_path()));
    EXPECT_EQ(list_dir(pve_dir() + "/qemu-server"), std::vector<std::string>{});
}

TEST_F(RestoreRun, ConfigThatWouldKeepAnOriginalVolumeIsNotInstalled) {
    // The parser cuts the slot name to 23 characters; the rewrite knows no
    // key of 64 bytes and keeps that line as it is.
    std::string long_key = "scsi" + std::string(70, '3');
    add_run("vm100-vmconfig", "scsi0: local-lvm:vm-100-disk-0\n" + long_key + ": local-lvm:vm-100-disk-1\n");
    add_run("vm100-scsi0", kDisk0);
    add_run("vm100-scsi3333333333333333333", kDisk1);
    ASSERT_EQ(restore(), -1);
    EXPECT_EQ(std::string(err_),
              "cannot build the target VM config: " + long_key.substr(0, 63) + ": no remap entry given for this disk slot");
    std::string c = calls();
    size_t first_free = c.find("pvesm free");
    ASSERT_NE(first_free, std::string::npos) << c;
    EXPECT_EQ(c.substr(first_free),
              "pvesm free local-lvm:vm-105-disk-0\npvesm free local-lvm:vm-105-disk-1\n");
    EXPECT_EQ(list_dir(vol_dir() + "/local-lvm"), std::vector<std::string>{});
    EXPECT_EQ(list_dir(pve_dir() + "/qemu-server"), std::vector<std::string>{});
}

TEST(RestoredConfig, ReadsUpTo32767Bytes) {
    scratch_dir dir;
    char buf[RESTORE_CONFIG_SIZE];
    char err[256];
    write_file(dir.file("c"), std::string(32767, 'q'));
    ASSERT_EQ(read_restored_config(dir.file("c").c_str(), buf, err, sizeof err), 0) << err;
    EXPECT_EQ(std::string(buf), std::string(32767, 'q'));
    write_file(dir.file("c"), std::string(32768, 'q'));
    EXPECT_EQ(read_restored_config(dir.file("c").c_str(), buf, err, sizeof err), -1);
    EXPECT_STREQ(err, "restored VM config is too large (> 32767 bytes)");
    EXPECT_EQ(read_restored_config(dir.file("gone").c_str(), buf, err, sizeof err), -1);
    EXPECT_EQ(std::string(err),
              "cannot read restored VM config " + dir.file("gone") + ": No such file or directory");
}

// vlt_restore reporting success for a configuration job that gave no
// configuration (stray bytes, nothing): refused before any volume, saying so.
TEST_F(RestoreRun, ConfigurationJobThatGaveNoConfigurationIsRefused) {
    for (const std::string &text : {std::string(""), std::string("\n\n"), std::string("\x01\x02junk: \xff\n"),
                                   std::string("Some Text: with a colon\n")}) {
        SCOPED_TRACE(text);
        add_run("vm100-vmconfig", text);
        ASSERT_EQ(restore(), -1);
        EXPECT_EQ(std::string(err_), "vlt_restore restored no VM configuration from the configuration job (" +
                                         std::to_string(text.size()) + " bytes without a configuration line)");
        EXPECT_FALSE(exists(config_temp_path()));
        EXPECT_EQ(calls().find("pvesm"), std::string::npos);
    }
}

TEST_F(RestoreRun, FailuresBeforeTheFirstAllocation) {
    ASSERT_EQ(restore(), -1);
    EXPECT_EQ(std::string(err_), "no 'vm100-vmconfig' backup job found under " + backup_dir());

    std::string meta = add_run("vm100-vmconfig", "memory: 512\nide2: none,media=cdrom\n");
    ASSERT_EQ(restore(), -1);
    EXPECT_STREQ(err_, "the backed-up VM config has no disk-like volumes to restore");
    EXPECT_FALSE(exists(config_temp_path()));

    write_file(meta + ".fail", "9\n");
    ASSERT_EQ(restore(), -1);
    EXPECT_STREQ(err_, "could not restore the VM config job: vlt_restore exited with code 9");
    EXPECT_FALSE(exists(config_temp_path()));

    opts_.requested_vmid = "0";
    ASSERT_EQ(restore(), -1);
    EXPECT_STREQ(err_, "--vmid must be a positive integer");
    EXPECT_EQ(calls().find("pvesm"), std::string::npos);
}

TEST_F(RestoreRun, FailedDevicePathFreesThatVolume) {
    add_run("vm100-vmconfig", "scsi0: local-lvm:vm-100-disk-0\n");
    add_run("vm100-scsi0", kDisk0);
    // pvesm path fails; alloc and free still work.
    std::string script = read_file(bin_dir() + "/pvesm");
    script.replace(script.find("path) "), 6, "path) echo 'storage gone'; exit 2; ");
    write_file(bin_dir() + "/pvesm", script, 0755);
    ASSERT_EQ(restore(), -1);
    EXPECT_STREQ(err_, "scsi0: pvesm path local-lvm:vm-105-disk-0 failed: storage gone");
    EXPECT_EQ(list_dir(vol_dir() + "/local-lvm"), std::vector<std::string>{});
}

TEST(InstallConfig, ClaimsTheNameAndLeavesNothingBehind) {
    scratch_dir dir;
    char target[1024];
    char err[1024];
    ASSERT_EQ(install_target_config(dir.path().c_str(), 105, "memory: 512\n", target, err,
                                    sizeof err),
              0)
        << err;
    EXPECT_EQ(std::string(target), dir.file("105.conf"));
    EXPECT_EQ(read_file(dir.file("105.conf")), "memory: 512\n");
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"105.conf"});

    EXPECT_EQ(install_target_config(dir.path().c_str(), 105, "memory: 4096\n", target, err,
                                    sizeof err),
              -1);
    EXPECT_EQ(std::string(err), "VMID 105 is already in use (" + dir.file("105.conf") + " exists)");
    EXPECT_EQ(read_file(dir.file("105.conf")), "memory: 512\n");
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"105.conf"});

    // A dangling link at the name is not followed.
    symlink(dir.file("elsewhere").c_str(), dir.file("106.conf").c_str());
    EXPECT_EQ(install_target_config(dir.path().c_str(), 106, "memory: 1\n", target, err,
                                    sizeof err),
              -1);
    EXPECT_FALSE(exists(dir.file("elsewhere")));
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"105.conf", "106.conf"}));
}

}  // namespace
