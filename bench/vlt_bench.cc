// vlt_bench: the measuring half of bench/run.sh.
//
//   vlt_bench runner [--runs N] [--big-runs M] [--reps R]
//       run_command against a bare fork/exec/waitpid loop (2000 runs of
//       /bin/true), and its capture of a 1 MiB child against a plain read loop.
//       Prints "<figure> <ours> <baseline>" lines, medians in microseconds.
//   vlt_bench time [--stdin FILE] [--stdout FILE] [--stderr FILE] -- PROGRAM ARGS...
//       prints "<wall seconds> <peak resident KiB>" and exits with the
//       program's status; the peak is the rusage one, which counts the
//       program's children too, so it is read only for programs without any.
//   vlt_bench hwm [--stderr FILE] -- PROGRAM ARGS...
//       the same for a program that does start children: the peak is read from
//       the program's own /proc status as it exits, so its children's memory
//       does not count.
//   vlt_bench gen SIZE FILE
//       writes SIZE bytes: a third random, a third text-like, the rest zeros.
//   vlt_bench snapset VMID TAG VG/LV...
//       the bare snapshot sequence the backup takes while the guest is frozen
//       (freeze, one thin lvcreate and device check per LV, thaw), then removes
//       the snapshots; every tool run by fork/exec/waitpid and nothing else.
//   vlt_bench print BYTES
//       writes BYTES of text lines to standard output (the 1 MiB child).
#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "common/runner.h"
#include "common/owned.h"

namespace {

using steady = std::chrono::steady_clock;

[[noreturn]] __attribute__((format(printf, 1, 2))) void die(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "vlt_bench: ");
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    exit(1);
}

double seconds_since(steady::time_point t0) {
    return std::chrono::duration<double>(steady::now() - t0).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    if (n == 0) return 0;
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int waitpid_retry(pid_t pid, int *status, int flags) {
    int r;
    while ((r = waitpid(pid, status, flags)) < 0 && errno == EINTR) {
    }
    return r;
}

// Opens FILE for a child's output, or /dev/null when FILE is null.
int open_output(const char *file) {
    int fd = open(file != nullptr ? file : "/dev/null", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) die("cannot open %s", file != nullptr ? file : "/dev/null");
    return fd;
}

// ---------------------------------------------------------------- runner figures

const char *const true_argv[] = {"/bin/true", nullptr};
// The 1 MiB child is this program's "print" command, so the capture can be
// checked byte for byte on both sides.
char self_path[4096];
const char *mib_argv[] = {self_path, "print", "1048576", nullptr};
constexpr size_t kMib = 1048576;

// The baseline: fork, exec, wait, nothing more.
void bare_true() {
    pid_t pid = fork();
    if (pid < 0) die("fork failed");
    if (pid == 0) {
        execvp(true_argv[0], const_cast<char *const *>(true_argv));
        _exit(127);
    }
    int status = 0;
    if (waitpid_retry(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        die("/bin/true failed");
}

using runner_fn = int32_t (*)(const char *const *, uint32_t, char *, size_t, command_result *);

void runner_true(runner_fn fn, char *buf, size_t size) {
    command_result res;
    if (fn(true_argv, 30, buf, size, &res) != 0 || res.exit_code != 0) die("the runner failed on /bin/true");
}

// The baseline for the capture: one pipe for both streams, a plain read loop
// straight into the buffer, then wait.
void bare_mib(char *buf, size_t size) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) die("pipe failed");
    unique_fd rd(fds[0]), wr(fds[1]);
    pid_t pid = fork();
    if (pid < 0) die("fork failed");
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        execvp(mib_argv[0], const_cast<char *const *>(mib_argv));
        _exit(127);
    }
    wr.reset();
    size_t len = 0;
    for (;;) {
        size_t room = size - 1 - len;
        char scratch[4096];
        ssize_t n = room > 0 ? read(rd.get(), buf + len, room) : read(rd.get(), scratch, sizeof scratch);
        if (n > 0) {
            if (room > 0) len += static_cast<size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    buf[len] = '\0';
    int status = 0;
    if (waitpid_retry(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        die("the 1 MiB child failed");
    if (len != kMib || strlen(buf) != kMib) die("the plain loop captured the wrong length");
}

void runner_mib(runner_fn fn, char *buf, size_t size) {
    command_result res;
    if (fn(mib_argv, 30, buf, size, &res) != 0 || res.exit_code != 0) die("the runner failed on the 1 MiB child");
    if (strlen(buf) != kMib) die("the runner captured %zu bytes instead of 1 MiB", strlen(buf));
}

uint32_t parse_count(const char *text) {
    char *end = nullptr;
    errno = 0;
    unsigned long v = strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v == 0 || v > 100000000) die("bad count '%s'", text);
    return static_cast<uint32_t>(v);
}

// Times `runs` calls of fn, in microseconds per call.
template <typename F>
double time_per_call(uint32_t runs, F fn) {
    auto t0 = steady::now();
    for (uint32_t i = 0; i < runs; ++i) fn();
    return seconds_since(t0) * 1e6 / runs;
}

int cmd_runner(int argc, char **argv) {
    uint32_t runs = 2000, big_runs = 100, reps = 5;
    for (int i = 0; i < argc; ++i) {
        if (i + 1 < argc && strcmp(argv[i], "--runs") == 0) runs = parse_count(argv[++i]);
        else if (i + 1 < argc && strcmp(argv[i], "--big-runs") == 0) big_runs = parse_count(argv[++i]);
        else if (i + 1 < argc && strcmp(argv[i], "--reps") == 0) reps = parse_count(argv[++i]);
        else die("runner: unexpected argument '%s'", argv[i]);
    }
    // One buffer of 1 MiB + 1 for both sides, allocated outside the timing.
    ssize_t n = readlink("/proc/self/exe", self_path, sizeof self_path - 1);
    if (n <= 0) die("cannot find this program's path");
    self_path[n] = '\0';
    const size_t size = kMib + 1;
    std::unique_ptr<char[]> buf(new char[size]);
    memset(buf.get(), 'x', size);
    char small[512];

    std::vector<double> ours_true, base_true, ours_mib, base_mib;
    // One warm-up round, then the measured rounds; ours and the baseline
    // alternate so that a change of load hits both.
    // The warm-up round is a tenth of a measured one.
    for (uint32_t r = 0; r <= reps; ++r) {
        const uint32_t n = r == 0 ? std::max<uint32_t>(runs / 10, 1) : runs;
        const uint32_t m = r == 0 ? std::max<uint32_t>(big_runs / 10, 1) : big_runs;
        double bt = time_per_call(n, [] { bare_true(); });
        double ot = time_per_call(n, [&] { runner_true(run_command, small, sizeof small); });
        double bm = time_per_call(m, [&] { bare_mib(buf.get(), size); });
        double om = time_per_call(m, [&] { runner_mib(run_command, buf.get(), size); });
        if (r == 0) continue;
        base_true.push_back(bt);
        ours_true.push_back(ot);
        base_mib.push_back(bm);
        ours_mib.push_back(om);
    }
    printf("runner_true %.1f %.1f\n", median(ours_true), median(base_true));
    printf("runner_1mib %.1f %.1f\n", median(ours_mib), median(base_mib));
    return 0;
}

// Writes N bytes of text lines to standard output.
int cmd_print(int argc, char **argv) {
    if (argc != 1) die("usage: vlt_bench print BYTES");
    uint64_t left = parse_count(argv[0]);
    char block[65536];
    for (size_t i = 0; i < sizeof block; ++i) block[i] = (i % 64 == 63) ? '\n' : static_cast<char>('a' + i % 26);
    while (left > 0) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, sizeof block));
        ssize_t w = write(1, block, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return 1;
        left -= static_cast<uint64_t>(w);
    }
    return 0;
}

// ---------------------------------------------------------------- launchers

struct launch_files {
    const char *in = nullptr;
    const char *out = nullptr;
    const char *err = nullptr;
};

// Splits "[--stdin F] [--stdout F] [--stderr F] -- PROGRAM ARGS..." and
// returns the index of PROGRAM.
int parse_launch(int argc, char **argv, launch_files *files) {
    int i = 0;
    for (; i < argc; ++i) {
        if (strcmp(argv[i], "--") == 0) break;
        if (i + 1 >= argc) die("missing value after %s", argv[i]);
        if (strcmp(argv[i], "--stdin") == 0) files->in = argv[++i];
        else if (strcmp(argv[i], "--stdout") == 0) files->out = argv[++i];
        else if (strcmp(argv[i], "--stderr") == 0) files->err = argv[++i];
        else die("unexpected argument '%s'", argv[i]);
    }
    if (i + 1 >= argc) die("no program given");
    return i + 1;
}

// In the child: the redirections, then the program.
[[noreturn]] void exec_with(const launch_files &files, char **prog) {
    if (files.in != nullptr) {
        int fd = open(files.in, O_RDONLY);
        if (fd < 0 || dup2(fd, 0) < 0) _exit(127);
    }
    if (files.out != nullptr) {
        int fd = open(files.out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 1) < 0) _exit(127);
    }
    if (files.err != nullptr) {
        int fd = open(files.err, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 2) < 0) _exit(127);
    }
    execvp(prog[0], prog);
    _exit(127);
}

int exit_status_of(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

int cmd_time(int argc, char **argv) {
    launch_files files;
    int p = parse_launch(argc, argv, &files);
    auto t0 = steady::now();
    pid_t pid = fork();
    if (pid < 0) die("fork failed");
    if (pid == 0) exec_with(files, argv + p);
    int status = 0;
    struct rusage ru {};
    pid_t w;
    while ((w = wait4(pid, &status, 0, &ru)) < 0 && errno == EINTR) {
    }
    double wall = seconds_since(t0);
    if (w != pid) die("wait4 failed");
    printf("%.4f %ld\n", wall, ru.ru_maxrss);
    fflush(stdout);
    return exit_status_of(status);
}

// VmHWM of a live process, in KiB; -1 when it cannot be read.
long read_hwm(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE *f = fopen(path, "re");
    if (f == nullptr) return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, "VmHWM:", 6) == 0) {
            kib = strtol(line + 6, nullptr, 10);
            break;
        }
    }
    fclose(f);
    return kib;
}

// Traces only the program itself (not its children) and stops it as it
// exits, while its memory still exists, to read its own high-water mark.
int cmd_hwm(int argc, char **argv) {
    launch_files files;
    int p = parse_launch(argc, argv, &files);
    auto t0 = steady::now();
    pid_t pid = fork();
    if (pid < 0) die("fork failed");
    if (pid == 0) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(127);
        exec_with(files, argv + p);
    }
    int status = 0;
    // The first stop is the exec.
    if (waitpid_retry(pid, &status, 0) != pid || !WIFSTOPPED(status)) die("the traced program did not start");
    if (ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void *>(PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL)) != 0)
        die("ptrace options failed");
    long peak = -1;
    int deliver = 0;
    for (;;) {
        if (ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void *>(static_cast<intptr_t>(deliver))) != 0)
            die("ptrace continue failed");
        deliver = 0;
        if (waitpid_retry(pid, &status, 0) != pid) die("waitpid failed");
        if (WIFEXITED(status) || WIFSIGNALED(status)) break;
        if (!WIFSTOPPED(status)) continue;
        if ((status >> 8) == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
            peak = read_hwm(pid);
        } else if (WSTOPSIG(status) != SIGTRAP) {
            deliver = WSTOPSIG(status);  // the program's own signals pass through
        }
    }
    double wall = seconds_since(t0);
    if (peak < 0) die("no peak was read");
    printf("%.4f %ld\n", wall, peak);
    fflush(stdout);
    return exit_status_of(status);
}

// ---------------------------------------------------------------- test data

// xoshiro256** seeded by splitmix64: fast bytes nobody can compress.
struct prng {
    uint64_t s[4];
    explicit prng(uint64_t seed) {
        for (auto &x : s) {
            seed += 0x9e3779b97f4a7c15ULL;
            uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            x = z ^ (z >> 31);
        }
    }
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t next() {
        uint64_t r = rotl(s[1] * 5, 7) * 9;
        uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = rotl(s[3], 45);
        return r;
    }
};

const char *const words[] = {
    "the",     "volume", "group",   "snapshot", "backup", "restore",  "guest",   "agent",  "freeze", "thaw",
    "disk",    "block",  "chunk",   "server",   "kernel", "request",  "error",   "warning", "info",  "debug",
    "user",    "session", "started", "stopped", "failed", "success",  "network", "bridge", "port",   "address",
    "storage", "pool",   "thin",    "logical",  "device", "mapper",   "config",  "value",  "key",    "table",
    "index",   "query",  "select",  "insert",   "update", "delete",   "from",    "where",  "order",  "limit",
    "http",    "GET",    "POST",    "200",      "404",    "500",      "cache",   "miss",   "hit",    "latency",
};

// Log-like lines: a timestamp that counts up, a level and a few words.
size_t text_line(prng &g, uint64_t lineno, char *out, size_t room) {
    constexpr size_t nwords = sizeof words / sizeof words[0];
    char line[256];
    int n = snprintf(line, sizeof line, "2026-12-08T%02" PRIu64 ":%02" PRIu64 ":%02" PRIu64 ".%03" PRIu64 " pid=%" PRIu64,
                     (lineno / 3600000) % 24, (lineno / 60000) % 60, (lineno / 1000) % 60, lineno % 1000,
                     1000 + g.next() % 64);
    uint64_t count = 4 + g.next() % 9;
    for (uint64_t i = 0; i < count && n < 200; ++i)
        n += snprintf(line + n, sizeof line - n, " %s", words[g.next() % nwords]);
    if (g.next() % 4 == 0) n += snprintf(line + n, sizeof line - n, " id=%08" PRIx64, static_cast<uint64_t>(g.next() & 0xffffffffU));
    line[n++] = '\n';
    size_t len = std::min(static_cast<size_t>(n), room);
    memcpy(out, line, len);
    return len;
}

int cmd_gen(int argc, char **argv) {
    if (argc != 2) die("usage: vlt_bench gen SIZE FILE");
    char *end = nullptr;
    unsigned long long size = strtoull(argv[0], &end, 10);
    if (end == argv[0] || *end != '\0' || size == 0) die("bad size '%s'", argv[0]);
    unique_fd fd(open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) die("cannot create %s", argv[1]);
    const uint64_t third = size / 3;
    constexpr size_t kBuf = 1 << 20;
    std::unique_ptr<char[]> buf(new char[kBuf]);
    prng g(20261208);
    uint64_t done = 0, lineno = 0;
    while (done < size) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(kBuf, size - done));
        // Never let one buffer cross a section border.
        if (done < third) n = static_cast<size_t>(std::min<uint64_t>(n, third - done));
        else if (done < 2 * third) n = static_cast<size_t>(std::min<uint64_t>(n, 2 * third - done));
        if (done < third) {
            for (size_t i = 0; i + 8 <= n; i += 8) {
                uint64_t v = g.next();
                memcpy(buf.get() + i, &v, 8);
            }
            for (size_t i = n & ~static_cast<size_t>(7); i < n; ++i) buf[i] = static_cast<char>(g.next());
        } else if (done < 2 * third) {
            size_t at = 0;
            while (at < n) at += text_line(g, lineno++, buf.get() + at, n - at);
        } else {
            memset(buf.get(), 0, n);
        }
        size_t off = 0;
        while (off < n) {
            ssize_t w = write(fd.get(), buf.get() + off, n - off);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) die("write to %s failed", argv[1]);
            off += static_cast<size_t>(w);
        }
        done += n;
    }
    if (fsync(fd.get()) != 0) die("fsync of %s failed", argv[1]);
    return 0;
}

// ---------------------------------------------------------------- bare snapshot set

// fork, exec (PATH search), wait; output to /dev/null. Returns the exit status.
int run_bare(const std::vector<std::string> &args) {
    std::vector<char *> argv;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    unique_fd null_fd(open_output(nullptr));
    pid_t pid = fork();
    if (pid < 0) die("fork failed");
    if (pid == 0) {
        dup2(null_fd.get(), 1);
        dup2(null_fd.get(), 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (waitpid_retry(pid, &status, 0) != pid) die("waitpid failed");
    return exit_status_of(status);
}

bool is_block_device(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

int cmd_snapset(int argc, char **argv) {
    if (argc < 3) die("usage: vlt_bench snapset VMID TAG VG/LV...");
    const std::string vmid = argv[0], tag = argv[1];
    struct origin {
        std::string vg, lv, snap;
    };
    std::vector<origin> origins;
    for (int i = 2; i < argc; ++i) {
        const char *slash = strchr(argv[i], '/');
        if (slash == nullptr) die("not VG/LV: '%s'", argv[i]);
        origin o{std::string(argv[i], static_cast<size_t>(slash - argv[i])), slash + 1, ""};
        o.snap = o.lv.substr(0, 100) + "_vltsnap";
        origins.push_back(o);
    }
    if (run_bare({"qm", "guest", "cmd", vmid, "fsfreeze-freeze"}) != 0) die("freeze failed");
    auto t0 = steady::now();
    size_t made = 0;
    for (const auto &o : origins) {
        if (run_bare({"lvcreate", "-s", "-y", "-kn", "-n", o.snap, "--addtag", "vlt_agent", "--addtag", tag,
                      o.vg + "/" + o.lv}) != 0)
            break;
        // The simulated device appears at once; a device that does not is
        // a broken benchmark, not something to wait for.
        if (!is_block_device("/dev/" + o.vg + "/" + o.snap)) break;
        ++made;
    }
    int thaw = run_bare({"qm", "guest", "cmd", vmid, "fsfreeze-thaw"});
    double window = seconds_since(t0);
    for (size_t i = 0; i < made; ++i) run_bare({"lvremove", "-f", "-y", origins[i].vg + "/" + origins[i].snap});
    if (made != origins.size() || thaw != 0) die("the bare snapshot set failed");
    printf("%.6f\n", window);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) die("usage: vlt_bench runner|time|hwm|gen|snapset ...");
    const char *cmd = argv[1];
    if (strcmp(cmd, "print") == 0) return cmd_print(argc - 2, argv + 2);
    if (strcmp(cmd, "runner") == 0) return cmd_runner(argc - 2, argv + 2);
    if (strcmp(cmd, "time") == 0) return cmd_time(argc - 2, argv + 2);
    if (strcmp(cmd, "hwm") == 0) return cmd_hwm(argc - 2, argv + 2);
    if (strcmp(cmd, "gen") == 0) return cmd_gen(argc - 2, argv + 2);
    if (strcmp(cmd, "snapset") == 0) return cmd_snapset(argc - 2, argv + 2);
    die("unknown command '%s'", cmd);
}
