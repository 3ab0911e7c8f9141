// Running the engine's tools as child processes, scratch directories, file
// contents and loop devices for the engine tests.
#include "engine_test_util.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace engine_test {

namespace {

std::vector<char *> make_argv(const std::string &program, const std::vector<std::string> &args) {
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// TMPDIR when set; else /dev/shm when it has room (the tools sync every
// file they write, which costs little there), else /tmp.
std::string temp_base() {
    const char *t = getenv("TMPDIR");
    if (t != nullptr && *t != '\0') return t;
    struct statvfs vfs;
    if (statvfs("/dev/shm", &vfs) == 0 && access("/dev/shm", W_OK) == 0 &&
        static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize >= (256ull << 20))
        return "/dev/shm";
    return "/tmp";
}

}  // namespace

int wait_status(pid_t pid) {
    int st = 0;
    while (waitpid(pid, &st, 0) < 0) {
        if (errno != EINTR) return -1000;
    }
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return -WTERMSIG(st);
    return -1000;
}

tool_result run_tool(const std::string &program, const std::vector<std::string> &args, const env_list &env,
                     void (*pre_exec)()) {
    tool_result r;
    scratch_dir capture;
    std::string out_path = capture.file("out"), err_path = capture.file("err");
    std::vector<char *> argv = make_argv(program, args);
    pid_t pid = fork();
    if (pid < 0) return r;
    if (pid == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0) _exit(126);
        dup2(out, 1);
        dup2(err, 2);
        for (const auto &kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
        if (pre_exec != nullptr) pre_exec();
        execvp(argv[0], argv.data());
        _exit(127);
    }
    r.status = wait_status(pid);
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    return r;
}

tool_result run_agent(const std::vector<std::string> &args, const env_list &env, void (*pre_exec)()) {
    return run_tool(VLT_AGENT_PATH, args, env, pre_exec);
}

tool_result run_restore(const std::vector<std::string> &args, const env_list &env, void (*pre_exec)()) {
    return run_tool(VLT_RESTORE_PATH, args, env, pre_exec);
}

pid_t spawn_tool(const std::string &program, const std::vector<std::string> &args) {
    std::vector<char *> argv = make_argv(program, args);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid > 0) setpgid(pid, pid);
    return pid;
}

scratch_dir::scratch_dir() : vlt_test::temp_dir("vlt_engine_test", temp_base()) {}

uint64_t file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

std::string only_file_with(const std::string &dir, const std::string &suffix) {
    std::string found;
    for (const std::string &n : list_dir(dir)) {
        if (n.size() >= suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0) {
            if (!found.empty()) return "";
            found = dir + "/" + n;
        }
    }
    return found;
}

std::string random_bytes(size_t n, uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(gen() & 0xFF);
    return s;
}

std::string text_bytes(size_t n) {
    static const char *const words[] = {"scsi0: local-lvm:vm-101-disk-0,size=32G\n", "memory: 4096\n",
                                        "net0: virtio=BC:24:11:00:00:01,bridge=vmbr0\n", "ostype: l26\n"};
    std::string s;
    size_t i = 0;
    while (s.size() < n) s += words[i++ % 4];
    s.resize(n);
    return s;
}

uint64_t le64(const std::string &s, size_t off) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s.at(off + i));
    return v;
}

uint32_t le32(const std::string &s, size_t off) {
    return static_cast<uint32_t>(le64(s.substr(off, 4) + std::string(4, '\0'), 0));
}

uint16_t le16(const std::string &s, size_t off) {
    return static_cast<uint16_t>(static_cast<uint8_t>(s.at(off)) | (static_cast<uint8_t>(s.at(off + 1)) << 8));
}

loop_device::loop_device(const std::string &backing, uint64_t size, char fill) {
    if (geteuid() != 0) {
        why_ = "loop devices need root";
        return;
    }
    if (fill == '\0') {
        write_file(backing, "");  // sparse: no block of the file is allocated
        if (truncate(backing.c_str(), static_cast<off_t>(size)) != 0) {
            why_ = "cannot size " + backing;
            return;
        }
    } else {
        write_file(backing, std::string(size, fill));
    }
    tool_result r = run_tool("losetup", {"--find", "--show", backing});
    if (r.status != 0 || r.out.empty()) {
        why_ = "losetup failed: " + r.err;
        return;
    }
    device_ = r.out.substr(0, r.out.find('\n'));
}

loop_device::~loop_device() {
    if (!device_.empty()) (void)run_tool("losetup", {"-d", device_});
}

std::string loop_device::contents() const { return read_file(device_); }

}  // namespace engine_test
