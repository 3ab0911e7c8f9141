#include "front_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace front_test {

namespace {

void remove_tree(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        DIR *d = opendir(path.c_str());
        if (d != nullptr) {
            while (dirent *e = readdir(d)) {
                if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
                    continue;
                remove_tree(path + "/" + e->d_name);
            }
            closedir(d);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

}  // namespace

scratch_dir::scratch_dir() {
    char tmpl[] = "/tmp/vlt_front_test.XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

scratch_dir::~scratch_dir() { remove_tree(path_); }

path_override::path_override(const std::string &dir, bool only) {
    const char *old = getenv("PATH");
    had_ = old != nullptr;
    saved_ = old != nullptr ? old : "";
    std::string value = only ? dir : dir + ":" + saved_;
    setenv("PATH", value.c_str(), 1);
}

path_override::~path_override() {
    if (had_)
        setenv("PATH", saved_.c_str(), 1);
    else
        unsetenv("PATH");
}

void write_file(const std::string &path, const std::string &content, int mode) {
    {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f << content;
    }
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

void write_script(const std::string &path, const std::string &body) {
    write_file(path, "#!/bin/sh\n" + body, 0755);
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        names.emplace_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

run_result run_program(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
    scratch_dir capture;
    std::string out_path = capture.file("out");
    std::string err_path = capture.file("err");
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (const std::string &e : env)
            putenv(const_cast<char *>(e.c_str()));
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(126);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run_result r;
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    return r;
}

std::vector<std::string> log_lines(const std::string &err) {
    static const std::regex prefix(
        R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \[[^\]]*\] (DEBUG|INFO |WARN |ERROR) )");
    std::vector<std::string> lines;
    std::istringstream in(err);
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_search(line, m, prefix)) {
            std::string level = m[1].str();
            while (!level.empty() && level.back() == ' ')
                level.pop_back();
            lines.push_back(level + ": " + m.suffix().str());
        } else {
            lines.push_back(line);
        }
    }
    return lines;
}

}  // namespace front_test
