// Running a program with its output captured, and the log lines of its
// standard error, for the restore front tests.
#include "front_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace front_test {

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
