// Test helper around the simulated Proxmox host of testbed/.
//
// A sim_host owns one state directory (VLT_SIM_ROOT) with its own volume
// group name, so hosts of tests running in parallel never meet. Every
// logical volume is a sparse file on a loop device with a /dev/<VG>/<LV>
// node, so the programs under test see real block devices. The destructor
// tears everything down, also when the test failed half-way.
//
//     vlt_test::sim_host host;
//     VLT_REQUIRE_SIM_HOST(host);            // skips without root/loop devices
//     ASSERT_TRUE(host.add_storage("local-lvm", "lvmthin"));
//     ASSERT_TRUE(host.add_vm(101, "agent: 1\nscsi0: local-lvm:vm-101-disk-0,size=4M\n"));
//     ASSERT_TRUE(host.add_lv("local-lvm", "vm-101-disk-0", 4 << 20));
//     auto r = host.run(vlt_test::backup_program(), {"--vmid", "101", "--", "--out", dir});
//     EXPECT_EQ(r.exit_status, 0) << r.err;
//     EXPECT_TRUE(host.check_clean(&report)) << report;
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_util.h"

namespace vlt_test {

// Absolute paths fixed at build time.
const char *source_dir();         // the repository root
const char *testbed_dir();        // <source>/testbed
const char *simhost_driver();     // <source>/testbed/simhost
const char *backup_program();     // the built vlt_proxmox
const char *restore_program();    // the built vlt_proxmox_restore
const char *engine_bin_dir();     // directory holding the built vlt_agent and vlt_restore

// One line of the call log.
struct call_record {
    double time = 0;                 // seconds since the epoch, microsecond resolution
    long pid = 0;                    // pid of the fake, pairs a call with its end
    bool is_end = false;             // false: the call; true: its end
    std::string tool;                // qm, pvesm, pvesh, lvs, lvcreate, lvremove, lvchange, udevadm,
                                     // sendmail, vlt_agent, vlt_restore
    std::vector<std::string> args;   // the call's arguments (argv[1..]), unescaped
    int exit_status = -1;            // the end line's exit status (143 for a fake ended by SIGTERM)

    // The arguments joined by single spaces, handy in assertions.
    std::string joined() const;
};

// Parses one call-log line; false when it is malformed.
bool parse_call_line(const std::string &line, call_record *rec);

// Each tool's own time: the seconds between every call and its end, summed
// per tool (calls without an end are left out).
std::map<std::string, double> tool_seconds(const std::vector<call_record> &records);

// A program run to completion.
struct run_result {
    int exit_status = -1;  // exit code, or -1 when ended by a signal or not started
    int term_signal = 0;   // the signal that ended it, 0 otherwise
    std::string out;       // standard output
    std::string err;       // standard error
};

// A program running in the background, with its own process group.
// Reaped in the destructor (SIGKILL to the group first when still running).
class background_run {
public:
    background_run(const background_run &) = delete;
    background_run &operator=(const background_run &) = delete;
    ~background_run();

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }
    // Sends sig to the process only (not its group), like a kill from the shell.
    bool send_signal(int sig);
    // True while it runs (non-blocking check).
    bool running();
    // Waits at most timeout_ms (negative: without limit); -1 exit status and
    // term_signal 0 when it did not end in time.
    run_result wait(int timeout_ms = -1);
    // Reads standard error captured so far (non-blocking).
    std::string err_so_far();

private:
    friend class sim_host;
    background_run() = default;
    void pump(int timeout_ms);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    bool reaped_ = false;
    run_result result_;
};

// A fault fired by the fakes. Calls of `tool` whose leading arguments match
// the words of `match` (each word a shell glob, so "guest cmd * fsfreeze-thaw"
// picks the thaw) are counted; calls nth .. nth+times-1 fire the action
// (times 0: every call from the nth on). `fail` prints `text` on standard
// error, `print_out` on standard output; both exit with exit_code and change
// nothing. `hang_after` lets the call do its work, then hangs; `garbage`
// prints `garbage` ("random", "empty", "huge" (1 MiB), "nul") with status 0;
// `signal_caller` sends `sig` (SIGTERM, SIGINT, SIGHUP or SIGKILL) to the
// calling program, then hangs. A hanging fake ends on SIGTERM, SIGINT or
// SIGHUP, and by itself once its caller is gone.
struct fault_spec {
    enum action_kind { fail, hang, missing, no_node, late_node, print_out, hang_after, garbage_out, signal_caller };
    std::string tool;
    std::string match;       // empty: every call of the tool
    int nth = 1;
    int times = 1;
    action_kind action = fail;
    int exit_code = 1;       // fail, print_out
    std::string text;        // fail, print_out: the text printed
    std::string garbage = "random";  // garbage_out: random, empty, huge or nul
    int sig = 15;            // signal_caller: SIGTERM, SIGINT, SIGHUP or SIGKILL
};

// One mail the fake sendmail received.
struct mail_record {
    std::vector<std::string> args;  // sendmail's arguments
    std::string message;            // what it read on standard input
};

class sim_host;

// Proxmox's storage lock (flock on <lock_dir>/pve-storage-<id>) held by the
// test; released by release() or the destructor.
class held_storage_lock {
public:
    held_storage_lock(const held_storage_lock &) = delete;
    held_storage_lock &operator=(const held_storage_lock &) = delete;
    ~held_storage_lock() { release(); }
    void release();

private:
    friend class sim_host;
    held_storage_lock() = default;
    int fd_ = -1;
};

class sim_host {
public:
    // Creates a fresh host in a new directory under $TMPDIR (or /tmp) with a
    // unique VG name. Check ok() (or use VLT_REQUIRE_SIM_HOST).
    sim_host();
    // A further node of first's simulated cluster: its own VG, loop devices,
    // state and node name, sharing first's cluster store (nodes/, storage.cfg,
    // user.cfg, datacenter.cfg, ...) and the guest states.
    sim_host(const sim_host &first, const std::string &node);
    ~sim_host();
    sim_host(const sim_host &) = delete;
    sim_host &operator=(const sim_host &) = delete;

    bool ok() const { return ok_; }
    // True when the host is unusable only because this machine cannot
    // attach loop devices (not root, no /dev/loop-control): tests skip then.
    bool unavailable() const { return unavailable_; }
    // Why the host is not usable (no root, no loop devices, init failed).
    const std::string &error() const { return error_; }

    // True when loop devices can be attached here; else *why says why.
    static bool loop_devices_available(std::string *why);

    const std::string &root() const { return root_; }
    const std::string &vg() const { return vg_; }
    // The node name (the first host's is "simnode").
    const std::string &node() const { return node_; }
    // What --pve-dir points at: <pve>/qemu-server and <pve>/lxc are this
    // node's (links into <pve>/nodes/<node>/), <pve>/local links to the node.
    std::string pve_dir() const { return root_ + "/pve"; }
    std::string call_log_path() const { return root_ + "/calls.log"; }
    // Where Proxmox's locks live (/var/lock/pve-manager on a real host).
    std::string lock_dir() const { return root_ + "/locks/pve-manager"; }
    // VLT_RUN_DIR of the programs run here: vlt_proxmox's locks and state
    // files (/run/lock/vlt_proxmox on a real host).
    std::string run_dir() const { return root_ + "/run"; }

    // Environment for child processes: the current one with VLT_SIM_ROOT,
    // VLT_ENGINE_BIN_DIR, VLT_RUN_DIR, VLT_PVE_LOCK_DIR (lock_dir()) and
    // VLT_SENDMAIL (the fake sendmail) set, LC_ALL=C and PATH = testbed/bin :
    // engine binaries : original PATH (testbed/bin's vlt_agent and
    // vlt_restore log the call and run the engine of VLT_ENGINE_BIN_DIR).
    std::vector<std::string> child_env() const;
    // Puts VLT_SIM_ROOT, VLT_RUN_DIR, VLT_PVE_LOCK_DIR and PATH into this
    // process's environment (for code under test that runs the tools
    // in-process); undone by the destructor.
    void apply_env();

    // Runs the driver with these arguments; *out gets its merged output.
    int driver(const std::vector<std::string> &args, std::string *out = nullptr) const;

    // Storages: type "lvmthin" (thin pool "data" in the host VG), "lvm"
    // (thick) or "dir" (files under <root>/dir/<name>). vg empty: the host VG;
    // another VG must start with the host VG's name (vg() + "s", ...).
    // Each storage also gets its section in <pve>/storage.cfg.
    bool add_storage(const std::string &name, const std::string &type, const std::string &vg = "");
    // With driver options ("--shared", "--pool-size", "64M", ...).
    bool add_storage_with(const std::string &name, const std::string &type,
                          const std::vector<std::string> &options);
    // Removes storage.cfg (a node whose cluster file system lacks it).
    bool remove_storage_cfg();
    // Takes Proxmox's lock of a storage in this process; nullptr when it
    // was not had within timeout_ms.
    std::unique_ptr<held_storage_lock> hold_storage_lock(const std::string &storage, int timeout_ms = 10000) const;
    // Size of the host VG (bytes, default 64 GiB); thick LVs and COW snapshots use it.
    bool set_vg_size(uint64_t bytes, const std::string &vg = "");
    // A host setting: node, inactive_kernel, locale_warnings (0, 1, always),
    // engine_dir, lvs_padding.
    bool set_setting(const std::string &name, const std::string &value);
    // Thin pool usage in percent, rising by `rise` (and `meta_rise`) percent
    // per second from now on, capped at 100.
    bool set_pool_usage(const std::string &storage, double data, double meta = 0, double rise = 0,
                        double meta_rise = 0);
    // snap_percent of the COW snapshot vg/lv (also one created later), or
    // with an empty lv of every COW snapshot created from now on.
    bool set_snap_usage(const std::string &vg, const std::string &lv, double percent, double rise = 0);

    // A VM: writes <pve>/qemu-server/<vmid>.conf (snapshot sections
    // allowed) and its guest state ("answering", "absent", "hanging").
    bool add_vm(long vmid, const std::string &config_text, const std::string &agent = "answering");
    // With driver options ("--stopped", "--state", "paused", "--node", "n2", ...).
    bool add_vm_with(long vmid, const std::string &config_text, const std::vector<std::string> &options);
    // A container id in use (<pve>/lxc/<vmid>.conf).
    bool add_ct(long vmid);
    // Moves a VM's configuration to another node's directory.
    bool migrate_vm(long vmid, const std::string &node);
    // A pool in user.cfg with these members (VMIDs or storage ids).
    bool add_pool(const std::string &name, const std::vector<std::string> &members,
                  const std::string &comment = "");
    bool set_agent(long vmid, const std::string &state);
    // QEMU's run state ("running", "paused", "prelaunch", ...) or "stopped".
    bool set_run_state(long vmid, const std::string &state);
    // A freeze takes this long inside the guest (0: at once).
    bool set_freeze_time(long vmid, int ms);
    bool set_frozen(long vmid, bool frozen);
    // True when frozen, also when a freeze in progress has completed by now.
    bool guest_frozen(long vmid) const;
    // True while a freeze is still in progress inside the guest.
    bool guest_freezing(long vmid) const;

    // An LV of a storage, filled with `data` (the rest of the size is zeros).
    bool add_lv(const std::string &storage, const std::string &lv, uint64_t size,
                const std::string &data = std::string());
    // An LV filled with pseudo-random bytes from `seed` (whole size).
    bool add_lv_random(const std::string &storage, const std::string &lv, uint64_t size,
                       uint32_t seed);
    // Further driver options for add-lv ("--inactive", "--segments", "2", "--tag", "x").
    bool add_lv_with(const std::string &storage, const std::string &lv, uint64_t size,
                     const std::vector<std::string> &options);
    bool lv_exists(const std::string &vg, const std::string &lv) const;
    std::string lv_device(const std::string &vg, const std::string &lv) const;  // /dev/<VG>/<LV>
    // A field of the LV's state file (kind, size, origin, tags, loop, active ...).
    std::string lv_field(const std::string &vg, const std::string &lv, const std::string &field) const;
    // Names of the LVs of a VG, sorted.
    std::vector<std::string> lv_names(const std::string &vg = "") const;
    bool lv_active(const std::string &vg, const std::string &lv) const;
    // Records every LV's activation state: check_clean() then reports an
    // LV whose state differs ("activation <vg>/<lv> (was ..., now ...)").
    bool record_activation();
    // Every lvs listing gets n more LV lines (0: none).
    bool set_lvs_padding(int n);

    // The mails the fake sendmail received, in order.
    std::vector<mail_record> mails() const;

    bool add_fault(const fault_spec &f);
    bool clear_faults();
    // Every call of `tool` takes `ms` longer.
    bool set_delay(const std::string &tool, int ms);

    std::vector<call_record> calls() const;
    // Only the call lines (not their ends) of one tool.
    std::vector<call_record> calls_of(const std::string &tool) const;
    bool clear_calls();
    // Waits until the call log holds a call of `tool` whose arguments, joined
    // by spaces, start with `args_prefix` (a background run reached that
    // step: e.g. a hang fault holds it there); false after timeout_ms.
    bool wait_for_call(const std::string &tool, const std::string &args_prefix, int timeout_ms) const;

    // Runs a program to completion with child_env() and optional extra
    // "NAME=value" entries; stdin is /dev/null. timeout_ms < 0: no limit;
    // a program still running at the limit is killed (SIGKILL to its group).
    run_result run(const std::string &program, const std::vector<std::string> &args,
                   const std::vector<std::string> &extra_env = {}, int timeout_ms = 120000) const;
    std::unique_ptr<background_run> start(const std::string &program,
                                          const std::vector<std::string> &args,
                                          const std::vector<std::string> &extra_env = {}) const;

    // Runs `simhost check-clean`; true when nothing is left over. pid > 0
    // also counts that process's progress segment and key file as leftovers.
    bool check_clean(std::string *report, pid_t pid = 0) const;

    // Tears the host down now (the destructor does it otherwise); true when
    // nothing was left behind.
    bool teardown(std::string *report = nullptr);

private:
    bool ok_ = false;
    bool unavailable_ = false;
    bool torn_down_ = false;
    bool env_applied_ = false;
    std::string error_;
    bool init(const std::vector<std::string> &init_args);
    std::string guest_file(long vmid) const;

    std::string root_;
    std::string vg_;
    std::string node_ = "simnode";
    std::string guests_dir_;
    std::string saved_path_;
    std::string saved_root_;
    bool had_saved_root_ = false;
    std::string saved_run_dir_;
    bool had_saved_run_dir_ = false;
    std::string saved_lock_dir_;
    bool had_saved_lock_dir_ = false;
};

// Hex SHA-256 of a file or device, first `limit` bytes (all when 0); empty on error.
std::string sha256_file(const std::string &path, uint64_t limit = 0);
// Hex SHA-256 of a byte string.
std::string sha256_hex(const std::string &data);
// Deterministic pseudo-random bytes for a seed.
std::string random_bytes(uint64_t size, uint32_t seed);
}  // namespace vlt_test

// Skips the test (with the reason) when this machine cannot attach loop
// devices; fails it when the host could not be built for any other reason.
#define VLT_REQUIRE_SIM_HOST(host)                                                   \
    do {                                                                             \
        if (!(host).ok()) {                                                          \
            if ((host).unavailable()) GTEST_SKIP() << "needs loop devices: " << (host).error(); \
            FAIL() << "simulated host: " << (host).error();                          \
        }                                                                            \
    } while (0)
