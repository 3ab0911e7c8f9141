#include "tests/support/test_util.h"

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vlt_test {

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

}  // namespace vlt_test
