// Small helpers for the restore front tests: scratch directories, fake
// tools on PATH and running a program with its output captured.
#pragma once
#include <string>
#include <vector>

#include "tests/support/test_util.h"

namespace front_test {

// A fresh directory under /tmp, removed with everything in it at the end.
class scratch_dir : public vlt_test::temp_dir {
public:
    scratch_dir() : vlt_test::temp_dir("vlt_front_test", "/tmp") {}
};

// Puts dir in front of PATH (or makes it the whole PATH) for the scope.
using vlt_test::path_override;

inline void write_file(const std::string &path, const std::string &content, int mode = 0644) {
    vlt_test::write_file(path, content, mode);
}
// A shell script: "#!/bin/sh\n" followed by body, mode 0755.
using vlt_test::write_script;
using vlt_test::read_file;
inline bool exists(const std::string &path) { return vlt_test::file_exists(path); }
// Names in dir, "." and ".." left out, sorted.
using vlt_test::list_dir;

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
