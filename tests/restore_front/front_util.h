// Small helpers for the restore front tests: scratch directories, fake
// tools on PATH and running a program with its output captured.
#pragma once
#include <string>
#include <vector>

namespace front_test {

// A fresh directory under /tmp, removed with everything in it at the end.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Puts dir in front of PATH (or makes it the whole PATH) for the scope.
class path_override {
public:
    explicit path_override(const std::string &dir, bool only = false);
    ~path_override();
    path_override(const path_override &) = delete;
    path_override &operator=(const path_override &) = delete;

private:
    std::string saved_;
    bool had_;
};

void write_file(const std::string &path, const std::string &content, int mode = 0644);
// A shell script: "#!/bin/sh\n" followed by body, mode 0755.
void write_script(const std::string &path, const std::string &body);
std::string read_file(const std::string &path);
bool exists(const std::string &path);
// Names in dir, "." and ".." left out, sorted.
std::vector<std::string> list_dir(const std::string &dir);

struct run_result {
    int exit_code;    // -1 when ended by a signal
    int signal;       // the signal, or 0
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs argv[0] (a path) with argv, the current environment plus env
// ("NAME=value" entries), and captures both streams.
run_result run_program(const std::vector<std::string> &argv,
                       const std::vector<std::string> &env = {});

// The log lines of err with their "<time> [<program>] <LEVEL> " prefix
// replaced by "<LEVEL>: ", so they can be compared whole.
std::vector<std::string> log_lines(const std::string &err);

}  // namespace front_test
