// The simulated host of the restore tests: one VM on LVM-thin storage,
// backed up with the real programs, and the checks the tests share.
#include "e2e_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <regex>
#include <sstream>

namespace e2e {

const char *const kVm101Config =
    "agent: 1\n"
    "boot: order=scsi0;net0\n"
    "cipassword: $5$salt$Rk0zYjJhYmNkZWZnaGlqa2xtbm9wcXJz\n"
    "ciuser: admin\n"
    "cores: 2\n"
    "ide2: none,media=cdrom\n"
    "memory: 2048\n"
    "name: web01\n"
    "net0: virtio=BC:24:11:2C:69:EC,bridge=vmbr0,firewall=1\n"
    "net1: e1000=BC:24:11:79:D5:65,bridge=vmbr1\n"
    "ostype: l26\n"
    "scsi0: local-lvm:vm-101-disk-0,discard=on,iothread=1,size=8M\n"
    "scsi1: local-lvm:vm-101-disk-1,size=4M\n"
    "scsihw: virtio-scsi-single\n"
    "smbios1: uuid=b3247ab1-1fe6-428e-965b-08a1b64a8746,manufacturer=acme\n"
    "vmgenid: 7079e97c-50e3-4079-afe7-23e67566b946\n";

void restore_host::SetUp() { VLT_REQUIRE_SIM_HOST(host_); }

void restore_host::build_vm(bool three_disks) {
    ASSERT_TRUE(host_.add_storage("local-lvm", "lvmthin"));
    ASSERT_TRUE(host_.add_storage("fast", "lvm"));
    std::string config = kVm101Config;
    if (three_disks)
        config += "virtio2: local-lvm:vm-101-disk-2,size=4M\n";
    ASSERT_TRUE(host_.add_vm(101, config));
    ASSERT_TRUE(host_.add_lv_random("local-lvm", "vm-101-disk-0", kDisk0Size, 11));
    ASSERT_TRUE(host_.add_lv_random("local-lvm", "vm-101-disk-1", kDisk1Size, 12));
    disk_sha[0] = vlt_test::sha256_hex(vlt_test::random_bytes(kDisk0Size, 11));
    disk_sha[1] = vlt_test::sha256_hex(vlt_test::random_bytes(kDisk1Size, 12));
    ASSERT_EQ(vlt_test::sha256_file(host_.lv_device(host_.vg(), "vm-101-disk-0")), disk_sha[0]);
    if (three_disks) {
        ASSERT_TRUE(host_.add_lv_random("local-lvm", "vm-101-disk-2", kDisk2Size, 13));
        disk_sha[2] = vlt_test::sha256_hex(vlt_test::random_bytes(kDisk2Size, 13));
    }
}

void restore_host::backup_with_program(const std::vector<std::string> &own,
                                       const std::vector<std::string> &extra_env, int expect_status) {
    std::vector<std::string> args = {"--vmid", "101", "--pve-dir", host_.pve_dir()};
    args.insert(args.end(), own.begin(), own.end());
    args.insert(args.end(), {"--", "--out", backup_dir(), "--no-progress"});
    auto r = host_.run(vlt_test::backup_program(), args, extra_env);
    ASSERT_EQ(r.exit_status, expect_status) << r.err;
    ASSERT_TRUE(host_.clear_calls());
}

std::string restore_host::refill_lv(const std::string &lv, uint64_t size, uint32_t seed) {
    const std::string data = vlt_test::random_bytes(size, seed);
    int fd = open(host_.lv_device(host_.vg(), lv).c_str(), O_WRONLY);
    if (fd < 0)
        return "";
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    bool ok = done == data.size() && fsync(fd) == 0;
    close(fd);
    return ok ? vlt_test::sha256_hex(data) : "";
}

void restore_host::agent_run(const std::string &source, const std::string &job,
                             const std::vector<std::string> &extra_env) {
    std::string agent = std::string(vlt_test::engine_bin_dir()) + "/vlt_agent";
    auto r = host_.run(agent,
                       {"--source", source, "--snapshot", "off", "--name", job, "--out",
                        backup_dir(), "--no-progress"},
                       extra_env);
    ASSERT_EQ(r.exit_status, 0) << job << ": " << r.err;
}

void restore_host::backup_with_agent(
    const std::string &prefix, const std::string &config_text,
    const std::vector<std::pair<std::string, std::string>> &disks,
    const std::vector<std::string> &extra_env) {
    vlt_test::temp_dir text_dir("vlt_e2e_config");
    std::string text_file = text_dir.path() + "/config";
    ASSERT_TRUE(vlt_test::write_file(text_file, config_text));
    for (const auto &[slot, lv] : disks)
        ASSERT_NO_FATAL_FAILURE(
            agent_run(host_.lv_device(host_.vg(), lv), prefix + "-" + slot, extra_env));
    ASSERT_NO_FATAL_FAILURE(agent_run(text_file, prefix + "-vmconfig", extra_env));
    ASSERT_TRUE(host_.clear_calls());
}

vlt_test::run_result restore_host::restore(const std::vector<std::string> &args,
                                           const std::vector<std::string> &extra_env,
                                           const std::string &prefix) {
    host_.clear_calls();
    std::vector<std::string> all = {"--job", prefix, "--search-dir", backup_dir(), "--pve-dir",
                                    host_.pve_dir()};
    all.insert(all.end(), args.begin(), args.end());
    return host_.run(vlt_test::restore_program(), all, extra_env);
}

std::vector<std::string> restore_host::pvesm_calls() const {
    std::vector<std::string> out;
    for (const vlt_test::call_record &c : host_.calls_of("pvesm"))
        out.push_back(c.joined());
    return out;
}

std::vector<std::string> restore_host::job_headers(const std::string &job) const {
    std::vector<std::string> found;
    DIR *d = opendir(backup_dir().c_str());
    if (d == nullptr)
        return found;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.rfind(job + "-", 0) == 0 && name.size() > 5 &&
            name.compare(name.size() - 5, 5, ".infb") == 0 &&
            std::isdigit(static_cast<unsigned char>(name[job.size() + 1])))
            found.push_back(backup_dir() + "/" + name);
    }
    closedir(d);
    std::sort(found.begin(), found.end());
    return found;
}

std::string restore_host::conf_path(long vmid) const {
    return host_.pve_dir() + "/qemu-server/" + std::to_string(vmid) + ".conf";
}

std::vector<std::string> restore_host::qemu_server_entries() const {
    std::vector<std::string> names;
    DIR *d = opendir((host_.pve_dir() + "/qemu-server").c_str());
    if (d == nullptr)
        return names;
    while (dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

void restore_host::expect_clean() const {
    std::string report;
    EXPECT_TRUE(host_.check_clean(&report)) << report;
}

long done_vmid(const std::string &err) {
    static const std::regex re(R"(\] INFO  done \(VMID (\d+)\)\n)");
    std::smatch m;
    if (!std::regex_search(err, m, re))
        return -1;
    return std::stol(m[1].str());
}

std::vector<std::string> log_lines(const std::string &err) {
    static const std::regex prefix(
        R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \[vlt_proxmox_restore\] (INFO |WARN |ERROR) )");
    std::vector<std::string> lines;
    std::istringstream in(err);
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (!std::regex_search(line, m, prefix))
            continue;
        std::string level = m[1].str();
        while (level.back() == ' ')
            level.pop_back();
        lines.push_back(level + ": " + m.suffix().str());
    }
    return lines;
}

std::vector<std::string> warnings(const std::string &err) {
    std::vector<std::string> found;
    for (const std::string &line : log_lines(err))
        if (line.rfind("WARN: ", 0) == 0)
            found.push_back(line);
    return found;
}

bool has_log_line(const std::string &err, const std::string &line) {
    for (const std::string &l : log_lines(err))
        if (l == line)
            return true;
    return false;
}

}  // namespace e2e
