// Scratch directories, whole-file reads and writes, captured descriptors,
// PATH overrides and the interrupt storm shared by the tests of every area.
#include "tests/support/test_util.h"

#include <dirent.h>
#include <ftw.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vlt_test {

const char *const perl_locale_warnings =
    "perl: warning: Setting locale failed.\n"
    "perl: warning: Please check that your locale settings:\n"
    "\tLANGUAGE = (unset),\n"
    "\tLC_ALL = (unset),\n"
    "\tLANG = \"en_US.UTF-8\"\n"
    "    are supported and installed on your system.\n"
    "perl: warning: Falling back to the standard locale (\"C\").\n";

temp_dir::temp_dir(const std::string &stem, const std::string &base) {
    std::string where = base;
    if (where.empty()) {
        const char *tmp = getenv("TMPDIR");
        where = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    }
    std::string tmpl = where + "/" + stem + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) path_ = buf.data();
}

temp_dir::~temp_dir() {
    if (path_.empty()) return;
    // Deepest first, links not followed, and nothing mounted below entered.
    nftw(
        path_.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) {
            (void)remove(p);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool write_file(const std::string &path, const std::string &data, int mode) {
    bool ok;
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        out.close();
        ok = static_cast<bool>(out);
    }
    if (mode >= 0 && chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) ok = false;
    return ok;
}

bool write_script(const std::string &path, const std::string &body) {
    return write_file(path, "#!/bin/sh\n" + body, 0755);
}

bool file_exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return names;
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool process_gone(int pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return stat.empty() || (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z');
}

fd_capture::fd_capture(int fd) : fd_(fd) {
    fflush(fd == 1 ? stdout : stderr);
    char path[] = "/tmp/vlt_capture.XXXXXX";
    file_ = mkstemp(path);
    if (file_ < 0) return;
    unlink(path);
    saved_ = dup(fd_);
    dup2(file_, fd_);
}

fd_capture::~fd_capture() {
    restore();
    if (file_ >= 0) close(file_);
}

void fd_capture::restore() {
    if (saved_ < 0) return;
    fflush(fd_ == 1 ? stdout : stderr);
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
}

std::string fd_capture::text() {
    restore();
    std::string out;
    if (file_ < 0) return out;
    char buf[4096];
    off_t off = 0;
    ssize_t n;
    while ((n = pread(file_, buf, sizeof buf, off)) > 0) {
        out.append(buf, static_cast<size_t>(n));
        off += n;
    }
    return out;
}

path_override::path_override(const std::string &dir, bool only) {
    const char *old = getenv("PATH");
    had_ = old != nullptr;
    if (had_) saved_ = old;
    std::string value = only ? dir : dir + ":" + (had_ ? saved_ : std::string("/usr/bin:/bin"));
    setenv("PATH", value.c_str(), 1);
}

path_override::~path_override() {
    if (had_) setenv("PATH", saved_.c_str(), 1);
    else unsetenv("PATH");
}

namespace {

// Shared with every process of the storm: the owner of the handler and the
// number of handler runs in processes other than the owner.
struct storm_record {
    pid_t owner;
    int foreign_runs;
};

storm_record *g_storm = nullptr;

void note_where_it_ran(int) {
    if (getpid() != g_storm->owner)
        __atomic_fetch_add(&g_storm->foreign_runs, 1, __ATOMIC_SEQ_CST);
}

}  // namespace

int handler_runs_in_children(const std::function<void()> &start_children, std::string *why) {
    void *shared = mmap(nullptr, sizeof(storm_record), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
        *why = std::string("mmap: ") + strerror(errno);
        return -1;
    }
    g_storm = static_cast<storm_record *>(shared);
    g_storm->foreign_runs = 0;
    int ready[2];
    if (pipe(ready) != 0) {
        *why = std::string("pipe: ") + strerror(errno);
        munmap(shared, sizeof(storm_record));
        return -1;
    }
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        g_storm->owner = getpid();
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = note_where_it_ran;
        sigemptyset(&sa.sa_mask);
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
        close(ready[0]);
        (void)!write(ready[1], "r", 1);
        close(ready[1]);
        start_children();
        _exit(0);
    }
    close(ready[1]);
    if (pid < 0) {
        *why = std::string("fork: ") + strerror(errno);
        close(ready[0]);
        munmap(shared, sizeof(storm_record));
        return -1;
    }
    setpgid(pid, pid);
    char c;
    ssize_t n;
    while ((n = read(ready[0], &c, 1)) < 0 && errno == EINTR) {
    }
    close(ready[0]);
    const int storm[] = {SIGINT, SIGTERM, SIGHUP};
    int status = 0;
    for (unsigned round = 0; n == 1; round++) {
        kill(-pid, storm[round % 3]);
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) break;
    }
    if (n != 1) waitpid(pid, &status, 0);
    int runs = g_storm->foreign_runs;
    munmap(shared, sizeof(storm_record));
    g_storm = nullptr;
    if (n != 1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        *why = "the starting process did not run to its end (status " + std::to_string(status) + ")";
        return -1;
    }
    return runs;
}

}  // namespace vlt_test
