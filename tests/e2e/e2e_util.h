// A simulated host with one VM on LVM-thin storage, backed up, ready to be
// restored, plus the checks the restore tests share.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/simhost.h"

namespace e2e {

// Disk sizes are whole 4 MiB extents, so the new volumes match them exactly.
constexpr uint64_t kDisk0Size = 8u << 20;
constexpr uint64_t kDisk1Size = 4u << 20;
constexpr uint64_t kDisk2Size = 4u << 20;

// The configuration of VM 101 as its file holds it (qm config shows its
// cloud-init password masked).
extern const char *const kVm101Config;

class restore_host : public testing::Test {
protected:
    void SetUp() override;

    // The VM's disks: local-lvm vm-101-disk-0 (scsi0), -1 (scsi1), and with
    // three_disks also -2 (virtio2, added to the config).
    void build_vm(bool three_disks = false);

    // Backs the VM up with vlt_proxmox into backup_dir(): own options
    // (before "--"), extra environment (VLT_AGENT_FIXED_TIME=...), and the
    // exit status it must end with.
    void backup_with_program(const std::vector<std::string> &own = {},
                             const std::vector<std::string> &extra_env = {}, int expect_status = 0);
    // Overwrites the whole LV with pseudo-random bytes from seed; returns
    // their SHA-256 (empty on failure).
    std::string refill_lv(const std::string &lv, uint64_t size, uint32_t seed);
    // Backs up each disk LV (slot, LV name) and the config text with
    // vlt_agent directly, as jobs of prefix.
    void backup_with_agent(const std::string &prefix, const std::string &config_text,
                           const std::vector<std::pair<std::string, std::string>> &disks,
                           const std::vector<std::string> &extra_env = {});
    // One vlt_agent run of source as job name (extra environment, such as
    // VLT_AGENT_FIXED_TIME and VLT_AGENT_FIXED_HOST, for the agent).
    void agent_run(const std::string &source, const std::string &job,
                   const std::vector<std::string> &extra_env = {});

    // Runs vlt_proxmox_restore on backup_dir() and the host's PVE
    // directory; the call log is emptied first.
    vlt_test::run_result restore(const std::vector<std::string> &args,
                                 const std::vector<std::string> &extra_env = {},
                                 const std::string &prefix = "vm101");

    // The arguments of every pvesm call, in order ("alloc local-lvm 100  8192").
    std::vector<std::string> pvesm_calls() const;
    // Header files of a job in the backup directory.
    std::vector<std::string> job_headers(const std::string &job) const;
    std::string conf_path(long vmid) const;
    std::vector<std::string> qemu_server_entries() const;
    void expect_clean() const;

    vlt_test::sim_host host_;
    vlt_test::temp_dir backup_{"vlt_e2e_backup"};
    std::string backup_dir() const { return backup_.path(); }
    std::string disk_sha[3];
};

// The VMID of the "done (VMID %ld)" line, or -1.
long done_vmid(const std::string &err);
// The log lines with their time stamp and program cut off: "LEVEL: text".
std::vector<std::string> log_lines(const std::string &err);
// Only the "WARN: ..." ones.
std::vector<std::string> warnings(const std::string &err);
// Whether line ("LEVEL: text") is among them.
bool has_log_line(const std::string &err, const std::string &line);

}  // namespace e2e
