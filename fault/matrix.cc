// vlt_fault_matrix: every outside call of a clean backup and a clean
// restore, made to go wrong one at a time, and what the programs leave.
//
// On one simulated host a VM with a thin and a thick disk is backed up
// (with a literal api-key in its profile) and restored. The call logs of
// those two clean runs list every outside call by tool and position; each
// call then becomes the cases of this matrix: the call fails, is missing,
// prints garbage with status 0, hangs past its time limit (where the limit
// is short enough), or our program gets SIGTERM, SIGINT, SIGHUP or SIGKILL
// while the call runs (SIGKILL followed by a run that repairs). After each
// case the invariants are checked: a documented exit status, an ERROR line
// naming the tool (or the signal), no snapshot, frozen guest, secret,
// temporary or progress file left, and for the restore no volume or
// configuration left, or on success every restored byte equal to the
// source. One line per case, then "N cases, N held".
#include <fcntl.h>
#include <glob.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fault/matrix_cases.h"
#include "tests/support/simhost.h"

namespace fault_matrix {
namespace {

using strings = std::vector<std::string>;

constexpr uint64_t kDiskSize = 4u << 20;
constexpr uint32_t kThinSeed = 1701;
constexpr uint32_t kThickSeed = 1702;
constexpr const char *kApiKey = "hush-matrix";

const char kVmConfig[] =
    "agent: 1\n"
    "boot: order=scsi0\n"
    "memory: 1024\n"
    "name: matrix\n"
    "scsi0: local-lvm:vm-101-disk-0,discard=on,size=4M\n"
    "virtio1: thick:vm-101-disk-1,size=4M\n";

// Files of ours outside the host's own directory that carry no pid.
strings pidless_temp_files()
{
    strings found;
    for (const char *pattern : {"/tmp/vlt_proxmox_vmconfig.*", "/tmp/vlt_proxmox_restore_vmconfig.*"}) {
        glob_t g{};
        if (glob(pattern, 0, nullptr, &g) == 0)
            for (size_t i = 0; i < g.gl_pathc; i++)
                found.emplace_back(g.gl_pathv[i]);
        globfree(&g);
    }
    std::sort(found.begin(), found.end());
    return found;
}

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// The lines of text that are log lines of `program` at level ERROR.
strings error_lines(const std::string &err, const std::string &program)
{
    strings lines;
    std::istringstream in(err);
    std::string line;
    const std::string tag = "[" + program + "] ERROR ";
    while (std::getline(in, line))
        if (contains(line, tag))
            lines.push_back(line);
    return lines;
}

// The pid of a check-clean line about a file named after a process
// (/dev/shm/vlt_progress.<pid>, /dev/shm/vlt_proxmox_key.<pid>.*), or 0.
long named_pid(const std::string &line)
{
    for (const char *stem : {"/dev/shm/vlt_progress.", "/dev/shm/vlt_proxmox_key."}) {
        size_t at = line.find(stem);
        if (at != std::string::npos)
            return std::atol(line.c_str() + at + std::strlen(stem));
    }
    return 0;
}

class matrix_host {
public:
    bool setup(std::string *why);
    bool clean_runs(std::string *why);
    void run_case(const case_def &c, case_result *res);
    const strings &backup_calls() const { return backup_calls_; }
    const strings &restore_calls() const { return restore_calls_; }
    const std::vector<vlt_test::call_record> &clean_calls(program p) const
    {
        return p == program::backup ? backup_records_ : restore_records_;
    }
    vlt_test::sim_host &host() { return host_; }

private:
    struct run_out {
        vlt_test::run_result r;
        pid_t pid = 0;
        bool timed_out = false;
    };
    run_out run_program(program p, const strings &args);
    strings backup_args(const std::string &out_dir, bool short_freeze) const;
    strings restore_args() const;
    strings env() const;
    // Leftovers on the host after a run: check-clean's lines about this
    // host and the given processes, and files created since `before`.
    strings leftovers(const std::set<long> &pids, const strings &temp_before) const;
    bool restored_bytes_equal(const std::string &err, std::string *why) const;
    strings new_lvs() const;
    strings new_configs() const;
    void reset(const strings &temp_before, const std::set<long> &pids);
    bool wait_for_call_end(const vlt_test::fault_spec &f, int timeout_ms) const;

    vlt_test::sim_host host_;
    std::string wrap_dir_, cfg_path_, backup_dir_, path_, cwd_;
    std::string thin_sha_, thick_sha_;
    strings base_lvs_, base_configs_;
    strings backup_calls_, restore_calls_;
    std::vector<vlt_test::call_record> backup_records_, restore_records_;
    int case_number_ = 0;
};

bool matrix_host::setup(std::string *why)
{
    if (!host_.ok()) {
        *why = host_.error();
        return false;
    }
    if (!host_.add_storage("local-lvm", "lvmthin") || !host_.add_storage("thick", "lvm") ||
        !host_.add_vm(101, kVmConfig) ||
        !host_.add_lv_random("local-lvm", "vm-101-disk-0", kDiskSize, kThinSeed) ||
        !host_.add_lv_random("thick", "vm-101-disk-1", kDiskSize, kThickSeed)) {
        *why = "the VM could not be built";
        return false;
    }
    thin_sha_ = vlt_test::sha256_hex(vlt_test::random_bytes(kDiskSize, kThinSeed));
    thick_sha_ = vlt_test::sha256_hex(vlt_test::random_bytes(kDiskSize, kThickSeed));
    wrap_dir_ = host_.root() + "/matrix-wrap";
    cfg_path_ = host_.root() + "/matrix.cfg";
    backup_dir_ = host_.root() + "/matrix-backup";
    for (const std::string &e : host_.child_env())
        if (e.rfind("PATH=", 0) == 0)
            path_ = e.substr(5);
    // The reference agent stores into a directory and takes no api-key: this
    // vlt_agent checks that the key file it is given holds the profile's key,
    // drops the pair and hands over to the testbed's logging wrapper (the same
    // process, so the program's child is still the one the faults signal).
    if (mkdir(wrap_dir_.c_str(), 0700) != 0 || mkdir(backup_dir_.c_str(), 0700) != 0 ||
        !vlt_test::write_file(wrap_dir_ + "/vlt_agent",
                              std::string("#!/bin/bash\n"
                                          "if [ \"${@: -2:1}\" = --api-key ]; then\n"
                                          "    key=${@: -1}\n"
                                          "    [ \"$(cat \"${key#file:}\" 2>/dev/null)\" = '") +
                                  kApiKey +
                                  "' ] || { echo \"vlt_agent: api key file $key unreadable\" >&2; exit 3; }\n"
                                  "    set -- \"${@:1:$#-2}\"\n"
                                  "fi\n"
                                  "exec '" + vlt_test::testbed_dir() + "/bin/vlt_agent' \"$@\"\n",
                              0755) ||
        !vlt_test::write_file(cfg_path_, std::string("[nightly]\napi-key = ") + kApiKey + "\n")) {
        *why = "the agent wrapper could not be written";
        return false;
    }
    // The programs run in an empty directory of their own.
    cwd_ = host_.root() + "/matrix-cwd";
    if (mkdir(cwd_.c_str(), 0700) != 0 || chdir(cwd_.c_str()) != 0) {
        *why = "no working directory " + cwd_;
        return false;
    }
    base_lvs_ = host_.lv_names();
    base_configs_ = vlt_test::list_dir(host_.pve_dir() + "/qemu-server");
    return true;
}

strings matrix_host::backup_args(const std::string &out_dir, bool short_freeze) const
{
    strings a = {"--vmid", "101", "--name", "nightly", "--config-path", cfg_path_, "--pve-dir", host_.pve_dir()};
    if (short_freeze) {
        a.push_back("--freeze-timeout");
        a.push_back("1");
    }
    a.insert(a.end(), {"--", "--out", out_dir});
    return a;
}

strings matrix_host::restore_args() const
{
    return {"--job", "nightly", "--search-dir", backup_dir_, "--pve-dir", host_.pve_dir()};
}

strings matrix_host::env() const
{
    // A short thaw deadline keeps the cases that leave a guest frozen short.
    return {"PATH=" + wrap_dir_ + ":" + path_, "VLT_THAW_DEADLINE=10"};
}

matrix_host::run_out matrix_host::run_program(program p, const strings &args)
{
    run_out o;
    auto run = host_.start(p == program::backup ? vlt_test::backup_program() : vlt_test::restore_program(), args,
                           env());
    if (!run->started()) {
        o.r.err = "could not start the program";
        return o;
    }
    o.pid = run->pid();
    // Generous: a case's own waits are a few seconds; a busy machine may
    // stretch them, a program that hangs never ends.
    o.r = run->wait(240000);
    if (o.r.exit_status == -1 && o.r.term_signal == 0) {
        o.timed_out = true;
        run->send_signal(SIGKILL);
        o.r = run->wait(30000);
    }
    return o;
}

strings matrix_host::new_lvs() const
{
    strings now = host_.lv_names(), added;
    std::set_difference(now.begin(), now.end(), base_lvs_.begin(), base_lvs_.end(), std::back_inserter(added));
    return added;
}

strings matrix_host::new_configs() const
{
    strings now = vlt_test::list_dir(host_.pve_dir() + "/qemu-server"), added;
    std::set_difference(now.begin(), now.end(), base_configs_.begin(), base_configs_.end(),
                        std::back_inserter(added));
    return added;
}

strings matrix_host::leftovers(const std::set<long> &pids, const strings &temp_before) const
{
    std::string report;
    host_.check_clean(&report, pids.empty() ? 0 : *pids.begin());
    strings found;
    std::istringstream in(report);
    std::string line;
    while (std::getline(in, line)) {
        // check-clean's notes on standard error come with its report.
        static const char *const kinds[] = {"snapshot ",       "frozen guest ",     "activation ", "loop device ",
                                            "device node ",    "temporary file ",   "progress segment ",
                                            "run state "};
        if (std::none_of(std::begin(kinds), std::end(kinds),
                         [&](const char *k) { return line.rfind(k, 0) == 0; }))
            continue;
        long pid = named_pid(line);
        // Dead processes' files of other programs on this machine are not
        // this case's.
        if (pid != 0 && pids.count(pid) == 0)
            continue;
        if (contains(line, "temporary file /tmp/")) {
            std::string path = line.substr(line.find("/tmp/"));
            if (std::binary_search(temp_before.begin(), temp_before.end(), path))
                continue;
        }
        found.push_back(line);
    }
    return found;
}

// The restored VM's disks hold the source's bytes.
bool matrix_host::restored_bytes_equal(const std::string &err, std::string *why) const
{
    strings configs = new_configs();
    if (configs.size() != 1) {
        *why = "a successful restore installed " + std::to_string(configs.size()) + " configurations";
        return false;
    }
    std::string conf = vlt_test::read_file(host_.pve_dir() + "/qemu-server/" + configs[0]);
    std::string vmid = configs[0].substr(0, configs[0].find('.'));
    if (!contains(err, "done (VMID " + vmid + ")")) {
        *why = "the installed configuration " + configs[0] + " is not the one the run named";
        return false;
    }
    for (const auto &[slot, sha] : {std::pair<std::string, std::string>{"scsi0", thin_sha_}, {"virtio1", thick_sha_}}) {
        size_t at = conf.find("\n" + slot + ": ");
        if (at == std::string::npos) {
            *why = "the restored configuration has no " + slot + " line";
            return false;
        }
        size_t colon = conf.find(':', at + slot.size() + 3);
        size_t end = conf.find_first_of(",\n", colon);
        std::string lv = conf.substr(colon + 1, end - colon - 1);
        std::string got = vlt_test::sha256_file(host_.lv_device(host_.vg(), lv), kDiskSize);
        if (got != sha) {
            *why = slot + " restored into " + lv + " differs from the source";
            return false;
        }
    }
    return true;
}

bool matrix_host::clean_runs(std::string *why)
{
    std::set<long> pids;
    strings temp_before = pidless_temp_files();
    // One clean run of a program, its outside calls into *records.
    auto clean_run = [&](program p, const strings &args, std::vector<vlt_test::call_record> *records) {
        host_.clear_calls();
        run_out o = run_program(p, args);
        pids.insert(o.pid);
        for (const auto &c : host_.calls())
            if (!c.is_end && is_outside_tool(c.tool))
                records->push_back(c);
        return o;
    };
    run_out b = clean_run(program::backup, backup_args(backup_dir_, false), &backup_records_);
    if (b.r.exit_status != 0) {
        *why = "the clean backup failed:\n" + b.r.err;
        return false;
    }
    run_out r = clean_run(program::restore, restore_args(), &restore_records_);
    if (r.r.exit_status != 0) {
        *why = "the clean restore failed:\n" + r.r.err;
        return false;
    }
    std::string bytes;
    if (!restored_bytes_equal(r.r.err, &bytes)) {
        *why = "the clean restore: " + bytes;
        return false;
    }
    reset(temp_before, pids);
    strings left = leftovers(pids, temp_before);
    if (!left.empty() || !new_lvs().empty()) {
        *why = "the clean runs left something behind";
        for (const auto &l : left)
            *why += "\n  " + l;
        return false;
    }
    return true;
}

bool matrix_host::wait_for_call_end(const vlt_test::fault_spec &f, int timeout_ms) const
{
    for (int waited = 0; waited < timeout_ms; waited += 20) {
        long pid = 0;
        int seen = 0;
        bool ended = false;
        for (const auto &c : host_.calls()) {
            if (c.tool != f.tool)
                continue;
            if (!c.is_end && ++seen == f.nth)
                pid = c.pid;
            if (c.is_end && pid != 0 && c.pid == pid)
                ended = true;
        }
        if (ended || (pid != 0 && vlt_test::process_gone(static_cast<int>(pid))))
            return true;
        usleep(20000);
    }
    return false;
}

void matrix_host::reset(const strings &temp_before, const std::set<long> &pids)
{
    host_.clear_faults();
    host_.set_frozen(101, false);
    for (const std::string &lv : new_lvs())
        host_.driver({"remove-lv", host_.vg(), lv});
    for (const std::string &conf : new_configs())
        unlink((host_.pve_dir() + "/qemu-server/" + conf).c_str());
    for (const std::string &f : vlt_test::list_dir(host_.run_dir()))
        if (f.size() > 6 && f.compare(f.size() - 6, 6, ".state") == 0)
            unlink((host_.run_dir() + "/" + f).c_str());
    // Only what check-clean counts as left over: a file another program
    // still holds open, or names on its command line, is that program's.
    for (const std::string &line : leftovers(pids, temp_before))
        if (line.rfind("temporary file /tmp/", 0) == 0)
            unlink(line.substr(std::strlen("temporary file ")).c_str());
    for (long pid : pids) {
        unlink(("/dev/shm/vlt_progress." + std::to_string(pid)).c_str());
        glob_t g{};
        if (glob(("/dev/shm/vlt_proxmox_key." + std::to_string(pid) + ".*").c_str(), 0, nullptr, &g) == 0)
            for (size_t i = 0; i < g.gl_pathc; i++)
                unlink(g.gl_pathv[i]);
        globfree(&g);
    }
}

void matrix_host::run_case(const case_def &c, case_result *res)
{
    const std::string program_name = c.prog == program::backup ? "vlt_proxmox" : "vlt_proxmox_restore";
    const expectation ex = expected_outcome(c);
    res->tolerated = ex.tolerated;
    strings temp_before = pidless_temp_files();
    std::set<long> pids;
    host_.clear_faults();
    host_.clear_calls();
    vlt_test::fault_spec f = fault_for(c);
    if (!host_.add_fault(f)) {
        res->broken.push_back("the fault could not be set");
        return;
    }
    std::string out_dir = host_.root() + "/matrix-out." + std::to_string(++case_number_);
    mkdir(out_dir.c_str(), 0700);
    const bool short_freeze = c.kind == fault_kind::hang;
    strings args = c.prog == program::backup ? backup_args(out_dir, short_freeze) : restore_args();
    run_out o = run_program(c.prog, args);
    pids.insert(o.pid);
    res->status = o.r.term_signal != 0 ? "signal " + std::to_string(o.r.term_signal)
                                       : "exit " + std::to_string(o.r.exit_status);
    std::string log = "--- " + program_name + " " + vlt_test::read_file(host_.call_log_path());
    std::string err = o.r.err;

    // Did the fault fire at all? A call that is never made is no case.
    int fired = 0;
    for (const auto &rec : host_.calls())
        if (!rec.is_end && rec.tool == c.tool)
            fired++;
    if (fired < c.nth)
        res->broken.push_back("the call was never made (the run made " + std::to_string(fired) + " " + c.tool +
                              " call(s))");

    if (o.timed_out)
        res->broken.push_back("the program did not end within 240 s");
    const int sig = signal_of(c.kind);
    if (sig != 0) {
        if (o.r.term_signal != sig)
            res->broken.push_back("expected death by signal " + std::to_string(sig) + ", got " + res->status);
        // A fake held by a caller that is gone ends within a quarter of a
        // second; its removals and frees must be over before we look.
        if (!wait_for_call_end(f, 30000))
            res->broken.push_back("the signalled call never ended");
        if (sig != SIGKILL && c.prog == program::restore) {
            strings errors = error_lines(err, program_name);
            const std::string want = std::string("interrupted by SIG") + sigabbrev_np(sig);
            if (errors.empty() || !contains(errors.back(), want))
                res->broken.push_back("no ERROR line \"" + want + "\"");
        }
    } else if (ex.tolerated) {
        if (o.r.exit_status != 0)
            res->broken.push_back("a tolerated fault (" + ex.why + ") should end with exit 0, got " + res->status);
        if (!ex.log_line.empty() && !contains(err, ex.log_line))
            res->broken.push_back("the tolerated fault's line \"" + ex.log_line + "\" is missing");
    } else {
        if (o.r.exit_status != 1)
            res->broken.push_back("expected exit 1 (a run failure), got " + res->status);
        strings errors = error_lines(err, program_name);
        bool named = false;
        for (const auto &l : errors)
            for (const std::string &word : names_of(c))
                named = named || contains(l, word);
        if (!named)
            res->broken.push_back("no ERROR line names " + names_of(c).front());
    }

    if (sig == SIGKILL) {
        // What a killed run leaves is the next run's to repair.
        strings temp_after_kill = pidless_temp_files();
        host_.clear_faults();
        host_.clear_calls();
        std::string next_out = out_dir + "/recovery";
        mkdir(next_out.c_str(), 0700);
        strings next_args = c.prog == program::backup ? backup_args(next_out, false) : restore_args();
        run_out n = run_program(c.prog, next_args);
        pids.insert(n.pid);
        log += "--- the next run\n" + vlt_test::read_file(host_.call_log_path());
        err += "--- the next run\n" + n.r.err;
        if (n.r.exit_status != 0)
            res->broken.push_back("the run after the SIGKILL failed: " +
                                  (n.r.term_signal != 0 ? "signal " + std::to_string(n.r.term_signal)
                                                        : "exit " + std::to_string(n.r.exit_status)));
        if (c.prog == program::restore) {
            std::string why;
            // The killed restore's volumes and temporary files stay, as its
            // page says; the next restore is whole and its bytes are right.
            strings mine = new_configs();
            if (mine.size() == 1 && !restored_bytes_equal(n.r.err, &why))
                res->broken.push_back("after the SIGKILL: " + why);
            else if (mine.size() != 1)
                res->broken.push_back("after the SIGKILL the next restore installed " + std::to_string(mine.size()) +
                                      " configurations");
            // The killed run's temporary files are documented leftovers.
            for (const auto &l : leftovers(pids, temp_after_kill))
                if (!(contains(l, "temporary file") && contains(l, "/.vlt_proxmox_restore.")))
                    res->broken.push_back("left behind: " + l);
        } else {
            for (const auto &l : leftovers(pids, temp_before))
                res->broken.push_back("left behind: " + l);
            if (host_.guest_frozen(101))
                res->broken.push_back("the guest is frozen");
        }
    } else {
        for (const auto &l : leftovers(pids, temp_before))
            res->broken.push_back("left behind: " + l);
        if (c.prog == program::restore) {
            if (o.r.exit_status == 0) {
                std::string why;
                if (!ex.engine_took_at_its_word && !restored_bytes_equal(err, &why))
                    res->broken.push_back(why);
            } else {
                for (const auto &lv : new_lvs())
                    res->broken.push_back("volume left allocated: " + lv);
                for (const auto &conf : new_configs())
                    res->broken.push_back("configuration installed: " + conf);
            }
        } else {
            for (const auto &lv : new_lvs())
                res->broken.push_back("new volume left: " + lv);
            if (o.r.exit_status == 0 && !ex.engine_took_at_its_word) {
                strings runs = vlt_test::list_dir(out_dir);
                for (const char *job : {"nightly-scsi0-", "nightly-virtio1-", "nightly-vmconfig-"})
                    if (std::none_of(runs.begin(), runs.end(),
                                     [&](const std::string &n) { return n.rfind(job, 0) == 0; }))
                        res->broken.push_back(std::string("a run reported as a success stored no ") + job + " run");
            }
        }
    }
    // A path taken from a tool's output must never become a file here.
    for (const std::string &stray : vlt_test::list_dir(cwd_)) {
        res->broken.push_back("a file was written into the working directory: " + stray);
        unlink((cwd_ + "/" + stray).c_str());
    }
    if (!res->broken.empty())
        res->detail = log + "--- standard error\n" + err;
    reset(temp_before, pids);
    std::string rm = "rm -rf '" + out_dir + "'";
    if (std::system(rm.c_str()) != 0)
        res->broken.push_back("could not remove " + out_dir);
}

std::string label(const case_def &c)
{
    char head[64];
    std::snprintf(head, sizeof head, "%-7s #%02d %-8s", c.prog == program::backup ? "backup" : "restore",
                  c.position, kind_name(c.kind));
    std::string args = c.args;
    if (args.size() > 70)
        args = args.substr(0, 67) + "...";
    return std::string(head) + " " + c.tool + " " + args;
}

int usage()
{
    std::fputs("usage: vlt_fault_matrix [--slice] [--list] [--filter TEXT]...\n"
               "  --slice        only the representative cases the normal test run holds\n"
               "  --list         print the cases, run none\n"
               "  --filter TEXT  only the cases whose line contains TEXT (all of them, repeatable)\n",
               stderr);
    return 2;
}

}  // namespace
}  // namespace fault_matrix

int main(int argc, char **argv)
{
    using namespace fault_matrix;
    bool slice = false, list_only = false;
    strings filters;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--slice")
            slice = true;
        else if (a == "--list")
            list_only = true;
        else if (a == "--filter" && i + 1 < argc)
            filters.emplace_back(argv[++i]);
        else
            return usage();
    }
    std::string why;
    if (!vlt_test::sim_host::loop_devices_available(&why)) {
        std::printf("fault/matrix.cc:0: Skipped\nneeds loop devices: %s\n[  SKIPPED ] fault matrix\n", why.c_str());
        return 0;
    }
    auto t0 = std::chrono::steady_clock::now();
    matrix_host mh;
    if (!mh.setup(&why) || !mh.clean_runs(&why)) {
        std::printf("the simulated host: %s\n", why.c_str());
        return 1;
    }
    std::vector<case_def> cases;
    for (program p : {program::backup, program::restore}) {
        std::vector<case_def> more = cases_of(p, mh.clean_calls(p), slice);
        cases.insert(cases.end(), more.begin(), more.end());
    }
    if (slice) {
        std::string missing = missing_slice_cases(cases);
        if (!missing.empty()) {
            std::printf("the slice names calls the clean runs no longer make:\n%s", missing.c_str());
            return 1;
        }
    }
    int run = 0, held = 0;
    for (const case_def &c : cases) {
        std::string line = label(c);
        if (!std::all_of(filters.begin(), filters.end(), [&](const std::string &f) { return contains(line, f); }))
            continue;
        if (list_only) {
            std::printf("%s\n", line.c_str());
            continue;
        }
        case_result res;
        mh.run_case(c, &res);
        run++;
        if (res.broken.empty()) {
            held++;
            std::printf("held    %s -> %s%s\n", line.c_str(), res.status.c_str(), res.tolerated ? " (tolerated)" : "");
        } else {
            std::printf("BROKEN  %s -> %s\n", line.c_str(), res.status.c_str());
            for (const auto &b : res.broken)
                std::printf("        %s\n", b.c_str());
            std::printf("%s\n", res.detail.c_str());
        }
        std::fflush(stdout);
    }
    if (list_only)
        return 0;
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%d cases, %d held (%.0f s)\n", run, held, secs);
    return run > 0 && held == run ? 0 : 1;
}
