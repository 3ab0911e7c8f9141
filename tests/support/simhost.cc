// The C++ side of the simulated host: drives testbed/simhost, runs programs
// with the host's environment and reads the call log back.
#include "tests/support/simhost.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/owned.h"

extern char **environ;

namespace vlt_test {

const char *source_dir() { return VLT_SOURCE_DIR; }
const char *testbed_dir() { return VLT_TESTBED_DIR; }
const char *simhost_driver() { return VLT_TESTBED_DIR "/simhost"; }
const char *backup_program() { return VLT_BACKUP_PROGRAM; }
const char *restore_program() { return VLT_RESTORE_PROGRAM; }
const char *engine_bin_dir() { return VLT_ENGINE_BIN_DIR; }

namespace {

int64_t now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A descriptor closed when it goes out of scope.
// Replaces or adds NAME=value in an environment list.
void env_set(std::vector<std::string> *env, const std::string &name, const std::string &value) {
    std::string prefix = name + "=";
    for (std::string &e : *env) {
        if (e.compare(0, prefix.size(), prefix) == 0) {
            e = prefix + value;
            return;
        }
    }
    env->push_back(prefix + value);
}

// Starts argv with env in a process group of its own, stdin /dev/null,
// stdout and stderr on pipes. Returns the pid, or -1.
pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env, int *out_fd,
            int *err_fd) {
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) return -1;
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        return -1;
    }
    std::vector<char *> cargv, cenv;
    for (const std::string &a : argv) cargv.push_back(const_cast<char *>(a.c_str()));
    cargv.push_back(nullptr);
    for (const std::string &e : env) cenv.push_back(const_cast<char *>(e.c_str()));
    cenv.push_back(nullptr);
    std::string path_value;
    for (const std::string &e : env)
        if (e.compare(0, 5, "PATH=") == 0) path_value = e.substr(5);

    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGALRM, SIGCHLD}) signal(s, SIG_DFL);
        if (argv[0].find('/') != std::string::npos) {
            execve(argv[0].c_str(), cargv.data(), cenv.data());
        } else {
            // The program is looked up on the child's PATH.
            std::string dirs = path_value;
            size_t start = 0;
            while (start <= dirs.size()) {
                size_t end = dirs.find(':', start);
                if (end == std::string::npos) end = dirs.size();
                std::string full = dirs.substr(start, end - start) + "/" + argv[0];
                execve(full.c_str(), cargv.data(), cenv.data());
                start = end + 1;
            }
        }
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (pid < 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        return -1;
    }
    // Also set from the parent so that a signal sent right away reaches the group.
    setpgid(pid, pid);
    *out_fd = out_pipe[0];
    *err_fd = err_pipe[0];
    return pid;
}

// Reads what is available on the two pipes for at most timeout_ms
// (0: only what is there now); closes a pipe at its end.
void drain(int *out_fd, int *err_fd, std::string *out, std::string *err, int timeout_ms) {
    int64_t deadline = now_ms() + (timeout_ms < 0 ? 0 : timeout_ms);
    while (*out_fd >= 0 || *err_fd >= 0) {
        struct pollfd p[2];
        int n = 0;
        int *which[2];
        std::string *dest[2];
        if (*out_fd >= 0) {
            p[n] = {*out_fd, POLLIN, 0};
            which[n] = out_fd;
            dest[n++] = out;
        }
        if (*err_fd >= 0) {
            p[n] = {*err_fd, POLLIN, 0};
            which[n] = err_fd;
            dest[n++] = err;
        }
        int64_t left = deadline - now_ms();
        if (left < 0) left = 0;
        int r = poll(p, n, int(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return;
        for (int i = 0; i < n; i++) {
            if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[65536];
            ssize_t got = read(*which[i], buf, sizeof buf);
            if (got > 0) {
                dest[i]->append(buf, size_t(got));
            } else if (got == 0 || errno != EINTR) {
                close(*which[i]);
                *which[i] = -1;
            }
        }
    }
}

void fill_status(int status, run_result *r) {
    if (WIFEXITED(status)) {
        r->exit_status = WEXITSTATUS(status);
        r->term_signal = 0;
    } else if (WIFSIGNALED(status)) {
        r->exit_status = -1;
        r->term_signal = WTERMSIG(status);
    }
}

std::string hex(const unsigned char *d, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}

std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// Undoes the quoting of bash's printf %q for the plain values the state holds.
std::string unquote(const std::string &v) {
    if (v == "''") return "";
    std::string out;
    for (size_t i = 0; i < v.size(); i++) {
        if (v[i] == '\\' && i + 1 < v.size()) {
            out += v[++i];
        } else {
            out += v[i];
        }
    }
    return out;
}

std::string unescape_field(const std::string &f) {
    std::string out;
    for (size_t i = 0; i < f.size(); i++) {
        if (f[i] == '\\' && i + 1 < f.size()) {
            char c = f[++i];
            out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
        } else {
            out += f[i];
        }
    }
    return out;
}

}  // namespace

std::string call_record::joined() const {
    std::string s;
    for (size_t i = 0; i < args.size(); i++) {
        if (i) s += ' ';
        s += args[i];
    }
    return s;
}

bool parse_call_line(const std::string &line, call_record *rec) {
    std::vector<std::string> f;
    size_t start = 0;
    while (true) {
        size_t tab = line.find('\t', start);
        f.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    if (f.size() < 4 || f[3].empty()) return false;
    char *end = nullptr;
    rec->time = strtod(f[0].c_str(), &end);
    if (f[0].empty() || *end != '\0') return false;
    rec->pid = strtol(f[1].c_str(), &end, 10);
    if (f[1].empty() || *end != '\0') return false;
    rec->tool = f[3];
    rec->args.clear();
    rec->exit_status = -1;
    if (f[2] == "call") {
        rec->is_end = false;
        for (size_t i = 4; i < f.size(); i++) rec->args.push_back(unescape_field(f[i]));
        return true;
    }
    if (f[2] == "end") {
        if (f.size() != 5) return false;
        rec->is_end = true;
        rec->exit_status = int(strtol(f[4].c_str(), &end, 10));
        return !f[4].empty() && *end == '\0';
    }
    return false;
}

std::map<std::string, double> tool_seconds(const std::vector<call_record> &records) {
    std::map<std::string, double> sums;
    std::map<long, const call_record *> open;
    for (const call_record &r : records) {
        if (!r.is_end) {
            open[r.pid] = &r;
            continue;
        }
        auto it = open.find(r.pid);
        if (it == open.end() || it->second->tool != r.tool) continue;
        sums[r.tool] += r.time - it->second->time;
        open.erase(it);
    }
    return sums;
}

// ---------------------------------------------------------------- background_run

background_run::~background_run() {
    if (pid_ > 0 && !reaped_) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        int status;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (out_fd_ >= 0) close(out_fd_);
    if (err_fd_ >= 0) close(err_fd_);
}

bool background_run::send_signal(int sig) {
    return pid_ > 0 && !reaped_ && kill(pid_, sig) == 0;
}

bool background_run::running() {
    if (pid_ <= 0 || reaped_) return false;
    int status;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        fill_status(status, &result_);
        return false;
    }
    return true;
}

void background_run::pump(int timeout_ms) {
    drain(&out_fd_, &err_fd_, &result_.out, &result_.err, timeout_ms);
}

std::string background_run::err_so_far() {
    pump(0);
    return result_.err;
}

run_result background_run::wait(int timeout_ms) {
    int64_t deadline = timeout_ms < 0 ? INT64_MAX : now_ms() + timeout_ms;
    while (running()) {
        if (now_ms() >= deadline) {
            pump(0);
            run_result r = result_;
            r.exit_status = -1;
            r.term_signal = 0;
            return r;
        }
        pump(20);
    }
    // The program ended; its pipes may still be held by children it left behind.
    pump(200);
    return result_;
}

// ---------------------------------------------------------------- sim_host

bool sim_host::loop_devices_available(std::string *why) {
    // Checked once per process: root, the loop control device, and one real
    // attach (a container may have the device nodes but not the right).
    static int cached = -1;
    static std::string reason;
    if (cached < 0) {
        cached = 0;
        if (geteuid() != 0) {
            reason = "loop devices need root";
        } else if (access("/dev/loop-control", R_OK | W_OK) != 0) {
            reason = "/dev/loop-control is not available";
        } else {
            temp_dir dir("vlt_loop_probe");
            std::string file = dir.path() + "/probe.img";
            if (dir.path().empty() || !write_file(file, std::string(1 << 20, '\0'))) {
                reason = "cannot create a probe file for losetup";
            } else {
                std::vector<std::string> env;
                for (char **e = environ; *e; e++) env.push_back(*e);
                int out_fd = -1, err_fd = -1;
                pid_t pid = spawn({"losetup", "--find", "--show", file}, env, &out_fd, &err_fd);
                run_result r;
                int status = 0;
                if (pid > 0) {
                    drain(&out_fd, &err_fd, &r.out, &r.err, 30000);
                    if (out_fd >= 0) close(out_fd);
                    if (err_fd >= 0) close(err_fd);
                    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                    }
                    fill_status(status, &r);
                }
                std::string dev = trim(r.out);
                if (r.exit_status != 0 || dev.compare(0, 9, "/dev/loop") != 0) {
                    reason = "losetup cannot attach a loop device: " + trim(r.err);
                } else {
                    pid = spawn({"losetup", "-d", dev}, env, &out_fd, &err_fd);
                    if (pid > 0) {
                        std::string o, e;
                        drain(&out_fd, &err_fd, &o, &e, 30000);
                        if (out_fd >= 0) close(out_fd);
                        if (err_fd >= 0) close(err_fd);
                        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                        }
                    }
                    cached = 1;
                }
            }
        }
    }
    if (!cached && why) *why = reason;
    return cached == 1;
}

sim_host::sim_host() { init({"init"}); }

sim_host::sim_host(const sim_host &first, const std::string &node) {
    if (!first.ok()) {
        unavailable_ = first.unavailable_;
        error_ = "the first node is not usable: " + first.error_;
        return;
    }
    node_ = node;
    if (init({"init", "--cluster-dir", first.pve_dir(), "--node", node})) guests_dir_ = first.guests_dir_;
}

bool sim_host::init(const std::vector<std::string> &init_args) {
    if (!loop_devices_available(&error_)) {
        unavailable_ = true;
        return false;
    }
    const char *tmp = getenv("TMPDIR");
    std::string base = tmp && *tmp ? tmp : "/tmp";
    // Hosts of test processes that crashed or were killed before their
    // teardown: once per process, take them down.
    static bool swept = false;
    if (!swept) {
        swept = true;
        run("/bin/bash", {simhost_driver(), "sweep", base}, {}, 120000);
    }
    std::string tmpl = base + "/vlt_sim.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
        error_ = std::string("mkdtemp: ") + strerror(errno);
        return false;
    }
    root_ = buf.data();
    guests_dir_ = root_ + "/guests";
    std::vector<std::string> args = {simhost_driver()};
    args.insert(args.end(), init_args.begin(), init_args.end());
    run_result r = run("/bin/bash", args, {"VLT_SIM_OWNER=" + std::to_string(getpid())}, 120000);
    std::string out = r.out + r.err;
    if (r.exit_status != 0) {
        error_ = "simhost init failed: " + out;
        return false;
    }
    vg_ = trim(out);
    ok_ = !vg_.empty();
    if (!ok_) error_ = "simhost init printed no VG name";
    return ok_;
}

sim_host::~sim_host() {
    teardown(nullptr);
}

bool sim_host::teardown(std::string *report) {
    if (env_applied_) {
        setenv("PATH", saved_path_.c_str(), 1);
        if (had_saved_root_)
            setenv("VLT_SIM_ROOT", saved_root_.c_str(), 1);
        else
            unsetenv("VLT_SIM_ROOT");
        if (had_saved_run_dir_)
            setenv("VLT_RUN_DIR", saved_run_dir_.c_str(), 1);
        else
            unsetenv("VLT_RUN_DIR");
        if (had_saved_lock_dir_)
            setenv("VLT_PVE_LOCK_DIR", saved_lock_dir_.c_str(), 1);
        else
            unsetenv("VLT_PVE_LOCK_DIR");
        env_applied_ = false;
    }
    if (torn_down_ || root_.empty()) return true;
    torn_down_ = true;
    std::string out;
    int rc = driver({"teardown"}, &out);
    struct stat st;
    bool clean = rc == 0 && stat(root_.c_str(), &st) != 0 &&
                 (vg_.empty() || lstat(("/dev/" + vg_).c_str(), &st) != 0);
    if (report) *report = out;
    if (!clean) fprintf(stderr, "simulated host %s: teardown left something: %s\n", root_.c_str(), out.c_str());
    return clean;
}

std::vector<std::string> sim_host::child_env() const {
    std::vector<std::string> env;
    for (char **e = environ; *e; e++) env.push_back(*e);
    std::string path;
    const char *orig = env_applied_ ? saved_path_.c_str() : getenv("PATH");
    path = std::string(testbed_dir()) + "/bin:" + engine_bin_dir() + ":" +
           (orig && *orig ? orig : "/usr/bin:/bin");
    env_set(&env, "PATH", path);
    env_set(&env, "VLT_SIM_ROOT", root_);
    env_set(&env, "VLT_ENGINE_BIN_DIR", engine_bin_dir());
    env_set(&env, "VLT_RUN_DIR", run_dir());
    env_set(&env, "VLT_PVE_LOCK_DIR", lock_dir());
    env_set(&env, "VLT_SENDMAIL", std::string(testbed_dir()) + "/bin/sendmail");
    env_set(&env, "LC_ALL", "C");
    return env;
}

void sim_host::apply_env() {
    if (env_applied_ || root_.empty()) return;
    const char *p = getenv("PATH");
    saved_path_ = p ? p : "/usr/bin:/bin";
    const char *r = getenv("VLT_SIM_ROOT");
    had_saved_root_ = r != nullptr;
    saved_root_ = r ? r : "";
    const char *d = getenv("VLT_RUN_DIR");
    had_saved_run_dir_ = d != nullptr;
    saved_run_dir_ = d ? d : "";
    std::string path = std::string(testbed_dir()) + "/bin:" + engine_bin_dir() + ":" + saved_path_;
    setenv("PATH", path.c_str(), 1);
    const char *l = getenv("VLT_PVE_LOCK_DIR");
    had_saved_lock_dir_ = l != nullptr;
    saved_lock_dir_ = l ? l : "";
    setenv("VLT_SIM_ROOT", root_.c_str(), 1);
    setenv("VLT_ENGINE_BIN_DIR", engine_bin_dir(), 1);
    setenv("VLT_RUN_DIR", run_dir().c_str(), 1);
    setenv("VLT_PVE_LOCK_DIR", lock_dir().c_str(), 1);
    env_applied_ = true;
}

int sim_host::driver(const std::vector<std::string> &args, std::string *out) const {
    std::vector<std::string> argv = {"/bin/bash", simhost_driver()};
    argv.insert(argv.end(), args.begin(), args.end());
    run_result r = run(argv[0], std::vector<std::string>(argv.begin() + 1, argv.end()), {}, 120000);
    if (out) *out = r.out + r.err;
    return r.exit_status;
}

run_result sim_host::run(const std::string &program, const std::vector<std::string> &args,
                         const std::vector<std::string> &extra_env, int timeout_ms) const {
    run_result r;
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = child_env();
    for (const std::string &e : extra_env) {
        size_t eq = e.find('=');
        if (eq != std::string::npos) env_set(&env, e.substr(0, eq), e.substr(eq + 1));
    }
    int out_fd = -1, err_fd = -1;
    pid_t pid = spawn(argv, env, &out_fd, &err_fd);
    if (pid < 0) return r;
    int64_t deadline = timeout_ms < 0 ? INT64_MAX : now_ms() + timeout_ms;
    int status = 0;
    bool reaped = false;
    while (!reaped) {
        drain(&out_fd, &err_fd, &r.out, &r.err, 20);
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) {
            reaped = true;
            break;
        }
        if (now_ms() >= deadline) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            drain(&out_fd, &err_fd, &r.out, &r.err, 0);
            if (out_fd >= 0) close(out_fd);
            if (err_fd >= 0) close(err_fd);
            r.exit_status = -1;
            r.term_signal = SIGKILL;
            r.err += "\n[killed by the test helper after " + std::to_string(timeout_ms) + " ms]";
            return r;
        }
        if (out_fd < 0 && err_fd < 0) {
            struct timespec ts = {0, 2000000};
            nanosleep(&ts, nullptr);
        }
    }
    // Children left behind may hold the pipes: read what is there, briefly.
    drain(&out_fd, &err_fd, &r.out, &r.err, 100);
    if (out_fd >= 0) close(out_fd);
    if (err_fd >= 0) close(err_fd);
    fill_status(status, &r);
    return r;
}

std::unique_ptr<background_run> sim_host::start(const std::string &program,
                                                const std::vector<std::string> &args,
                                                const std::vector<std::string> &extra_env) const {
    std::unique_ptr<background_run> b(new background_run());
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = child_env();
    for (const std::string &e : extra_env) {
        size_t eq = e.find('=');
        if (eq != std::string::npos) env_set(&env, e.substr(0, eq), e.substr(eq + 1));
    }
    b->pid_ = spawn(argv, env, &b->out_fd_, &b->err_fd_);
    return b;
}

bool sim_host::add_storage(const std::string &name, const std::string &type, const std::string &vg) {
    std::vector<std::string> a = {"add-storage", name, type};
    if (!vg.empty()) {
        a.push_back("--vg");
        a.push_back(vg);
    }
    return driver(a) == 0;
}

bool sim_host::set_vg_size(uint64_t bytes, const std::string &vg) {
    return driver({"set-vg-size", std::to_string(bytes), "--vg", vg.empty() ? vg_ : vg}) == 0;
}

bool sim_host::add_vm(long vmid, const std::string &config_text, const std::string &agent) {
    return driver({"add-vm", std::to_string(vmid), "--config-text", config_text, "--agent", agent}) == 0;
}

bool sim_host::add_ct(long vmid) { return driver({"add-ct", std::to_string(vmid)}) == 0; }

bool sim_host::set_agent(long vmid, const std::string &state) {
    return driver({"set-agent", std::to_string(vmid), state}) == 0;
}

bool sim_host::set_frozen(long vmid, bool frozen) {
    return driver({"set-frozen", std::to_string(vmid), frozen ? "1" : "0"}) == 0;
}

std::string sim_host::guest_file(long vmid) const { return guests_dir_ + "/" + std::to_string(vmid); }

namespace {

// A field of a state file of shell assignments.
std::string state_field(const std::string &text, const std::string &field) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, field.size() + 1, field + "=") == 0) return unquote(line.substr(field.size() + 1));
    }
    return "";
}

int64_t realtime_us() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// A percentage as the driver takes it.
std::string percent_arg(double p) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.2f", p < 0 ? 0 : p);
    return buf;
}

}  // namespace

// The guest's freeze completes at freeze_until even when no fake looked.
bool sim_host::guest_frozen(long vmid) const {
    std::string text = read_file(guest_file(vmid));
    if (state_field(text, "frozen") == "1") return true;
    std::string until = state_field(text, "freeze_until");
    return !until.empty() && realtime_us() >= strtoll(until.c_str(), nullptr, 10);
}

bool sim_host::guest_freezing(long vmid) const {
    std::string until = state_field(read_file(guest_file(vmid)), "freeze_until");
    return !until.empty() && realtime_us() < strtoll(until.c_str(), nullptr, 10);
}

bool sim_host::set_run_state(long vmid, const std::string &state) {
    return driver({"set-state", std::to_string(vmid), state}) == 0;
}

bool sim_host::set_freeze_time(long vmid, int ms) {
    char buf[32];
    snprintf(buf, sizeof buf, "%d.%03d", ms / 1000, ms % 1000);
    return driver({"set-freeze-time", std::to_string(vmid), buf}) == 0;
}

bool sim_host::add_vm_with(long vmid, const std::string &config_text, const std::vector<std::string> &options) {
    std::vector<std::string> a = {"add-vm", std::to_string(vmid), "--config-text", config_text};
    a.insert(a.end(), options.begin(), options.end());
    return driver(a) == 0;
}

bool sim_host::migrate_vm(long vmid, const std::string &node) {
    return driver({"migrate-vm", std::to_string(vmid), node}) == 0;
}

bool sim_host::add_pool(const std::string &name, const std::vector<std::string> &members,
                        const std::string &comment) {
    std::vector<std::string> a = {"add-pool", name};
    if (!comment.empty()) a.insert(a.end(), {"--comment", comment});
    a.insert(a.end(), members.begin(), members.end());
    return driver(a) == 0;
}

bool sim_host::add_storage_with(const std::string &name, const std::string &type,
                                const std::vector<std::string> &options) {
    std::vector<std::string> a = {"add-storage", name, type};
    a.insert(a.end(), options.begin(), options.end());
    return driver(a) == 0;
}

bool sim_host::remove_storage_cfg() { return driver({"remove-storage-cfg"}) == 0; }

void held_storage_lock::release() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

std::unique_ptr<held_storage_lock> sim_host::hold_storage_lock(const std::string &storage, int timeout_ms) const {
    std::string path = lock_dir() + "/pve-storage-" + storage;
    std::unique_ptr<held_storage_lock> lock(new held_storage_lock());
    lock->fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (lock->fd_ < 0) return nullptr;
    int64_t deadline = now_ms() + timeout_ms;
    while (flock(lock->fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) return nullptr;
        if (now_ms() >= deadline) return nullptr;
        struct timespec ts = {0, 10000000};
        nanosleep(&ts, nullptr);
    }
    return lock;
}

bool sim_host::set_setting(const std::string &name, const std::string &value) {
    return driver({"set", name, value}) == 0;
}

bool sim_host::set_pool_usage(const std::string &storage, double data, double meta, double rise, double meta_rise) {
    return driver({"set-pool-usage", storage, percent_arg(data), percent_arg(meta), "--rise", percent_arg(rise),
                   "--meta-rise", percent_arg(meta_rise)}) == 0;
}

bool sim_host::set_snap_usage(const std::string &vg, const std::string &lv, double percent, double rise) {
    std::vector<std::string> a = {"set-snap-usage"};
    if (lv.empty()) {
        a.push_back("--default");
    } else {
        a.push_back(vg.empty() ? vg_ : vg);
        a.push_back(lv);
    }
    a.insert(a.end(), {percent_arg(percent), "--rise", percent_arg(rise)});
    return driver(a) == 0;
}

bool sim_host::lv_active(const std::string &vg, const std::string &lv) const {
    return lv_field(vg, lv, "active") == "1";
}

bool sim_host::record_activation() { return driver({"record-activation"}) == 0; }

bool sim_host::set_lvs_padding(int n) { return set_setting("lvs_padding", std::to_string(n)); }

std::vector<mail_record> sim_host::mails() const {
    std::vector<mail_record> out;
    for (const std::string &name : list_dir(root_ + "/mails")) {
        if (name.size() < 6 || name.compare(name.size() - 5, 5, ".args") != 0) continue;
        std::string base = root_ + "/mails/" + name.substr(0, name.size() - 5);
        mail_record m;
        std::string line = read_file(base + ".args");
        if (!line.empty() && line.back() == '\n') line.pop_back();
        // The arguments are escaped and separated as in the call log.
        call_record fields;
        if (parse_call_line("0\t0\tcall\tsendmail" + (line.empty() ? std::string() : "\t" + line), &fields))
            m.args = fields.args;
        m.message = read_file(base + ".msg");
        out.push_back(m);
    }
    return out;
}

bool sim_host::add_lv_with(const std::string &storage, const std::string &lv, uint64_t size,
                           const std::vector<std::string> &options) {
    std::vector<std::string> a = {"add-lv", storage, lv, std::to_string(size)};
    a.insert(a.end(), options.begin(), options.end());
    return driver(a) == 0;
}

bool sim_host::add_lv(const std::string &storage, const std::string &lv, uint64_t size,
                      const std::string &data) {
    if (data.empty()) return add_lv_with(storage, lv, size, {});
    std::string file = root_ + "/.lv_data";
    if (!write_file(file, data)) return false;
    bool ok = add_lv_with(storage, lv, size, {"--data", file});
    unlink(file.c_str());
    return ok;
}

bool sim_host::add_lv_random(const std::string &storage, const std::string &lv, uint64_t size,
                             uint32_t seed) {
    return add_lv(storage, lv, size, random_bytes(size, seed));
}

std::string sim_host::lv_field(const std::string &vg, const std::string &lv,
                               const std::string &field) const {
    return state_field(read_file(root_ + "/lvs/" + vg + "/" + lv), field);
}

bool sim_host::lv_exists(const std::string &vg, const std::string &lv) const {
    struct stat st;
    return stat((root_ + "/lvs/" + vg + "/" + lv).c_str(), &st) == 0;
}

std::string sim_host::lv_device(const std::string &vg, const std::string &lv) const {
    return "/dev/" + vg + "/" + lv;
}

std::vector<std::string> sim_host::lv_names(const std::string &vg) const {
    std::string out;
    std::vector<std::string> names;
    if (driver({"lv-names", vg.empty() ? vg_ : vg}, &out) != 0) return names;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) names.push_back(line);
    std::sort(names.begin(), names.end());
    return names;
}

bool sim_host::add_fault(const fault_spec &f) {
    std::vector<std::string> a = {"fault", f.tool};
    if (!f.match.empty()) {
        a.push_back("--match");
        a.push_back(f.match);
    }
    a.insert(a.end(), {"--nth", std::to_string(f.nth), "--times", std::to_string(f.times)});
    switch (f.action) {
    case fault_spec::fail:
        a.insert(a.end(), {"fail", std::to_string(f.exit_code), f.text});
        break;
    case fault_spec::hang:
        a.push_back("hang");
        break;
    case fault_spec::missing:
        a.push_back("missing");
        break;
    case fault_spec::no_node:
        a.push_back("no-node");
        break;
    case fault_spec::late_node:
        a.push_back("late-node");
        break;
    case fault_spec::print_out:
        a.insert(a.end(), {"print", std::to_string(f.exit_code), f.text});
        break;
    case fault_spec::hang_after:
        a.push_back("hang-after");
        break;
    case fault_spec::garbage_out:
        a.insert(a.end(), {"garbage", f.garbage});
        break;
    case fault_spec::signal_caller: {
        const char *name = f.sig == SIGTERM ? "TERM" : f.sig == SIGINT ? "INT" : f.sig == SIGHUP ? "HUP"
                           : f.sig == SIGKILL ? "KILL" : "";
        a.insert(a.end(), {"signal-caller", name});
        break;
    }
    }
    return driver(a) == 0;
}

bool sim_host::clear_faults() { return driver({"clear-faults"}) == 0; }

bool sim_host::set_delay(const std::string &tool, int ms) {
    return driver({"delay", tool, std::to_string(ms)}) == 0;
}

std::vector<call_record> sim_host::calls() const {
    std::vector<call_record> recs;
    std::istringstream in(read_file(call_log_path()));
    std::string line;
    while (std::getline(in, line)) {
        call_record r;
        if (parse_call_line(line, &r)) recs.push_back(r);
    }
    return recs;
}

std::vector<call_record> sim_host::calls_of(const std::string &tool) const {
    std::vector<call_record> recs;
    for (const call_record &r : calls())
        if (!r.is_end && r.tool == tool) recs.push_back(r);
    return recs;
}

bool sim_host::clear_calls() { return driver({"clear-calls"}) == 0; }

bool sim_host::wait_for_call(const std::string &tool, const std::string &args_prefix, int timeout_ms) const {
    int64_t deadline = now_ms() + timeout_ms;
    while (true) {
        for (const call_record &r : calls_of(tool))
            if (r.joined().compare(0, args_prefix.size(), args_prefix) == 0) return true;
        if (now_ms() >= deadline) return false;
        struct timespec ts = {0, 20000000};
        nanosleep(&ts, nullptr);
    }
}

bool sim_host::check_clean(std::string *report, pid_t pid) const {
    std::vector<std::string> a = {"check-clean"};
    if (pid > 0) {
        a.push_back("--pid");
        a.push_back(std::to_string(pid));
    }
    std::string out;
    int rc = driver(a, &out);
    if (report) *report = out;
    return rc == 0;
}

// ---------------------------------------------------------------- free helpers

std::string sha256_file(const std::string &path, uint64_t limit) {
    unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return "";
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    if (!ctx) return "";
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> guard(ctx, EVP_MD_CTX_free);
    if (EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1) return "";
    std::vector<char> buf(1 << 20);
    uint64_t done = 0;
    while (limit == 0 || done < limit) {
        size_t want = buf.size();
        if (limit != 0 && limit - done < want) want = size_t(limit - done);
        ssize_t got = read(fd.get(), buf.data(), want);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return "";
        if (got == 0) break;
        EVP_DigestUpdate(ctx, buf.data(), size_t(got));
        done += uint64_t(got);
    }
    if (limit != 0 && done < limit) return "";
    unsigned char md[32];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx, md, &len) != 1) return "";
    return hex(md, len);
}

std::string sha256_hex(const std::string &data) {
    unsigned char md[32];
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr) != 1) return "";
    return hex(md, len);
}

std::string random_bytes(uint64_t size, uint32_t seed) {
    // xorshift64*: fast, and the same bytes for the same seed everywhere.
    uint64_t x = 0x9E3779B97F4A7C15ULL ^ (uint64_t(seed) << 1 | 1);
    std::string out(size, '\0');
    for (uint64_t i = 0; i < size; i += 8) {
        x ^= x >> 12;
        x ^= x << 25;
        x ^= x >> 27;
        uint64_t v = x * 0x2545F4914F6CDD1DULL;
        for (uint64_t k = 0; k < 8 && i + k < size; k++) out[i + k] = char(v >> (8 * k));
    }
    return out;
}

}  // namespace vlt_test
