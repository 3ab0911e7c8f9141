// Small helpers of the backup front tests: a temporary directory, files in
// it, standard-error capture and running a program as a child.
#pragma once
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/test_util.h"

extern char **environ;

namespace bf_test {

// A fresh directory under /tmp, removed with its contents at the end.
class temp_dir : public vlt_test::temp_dir {
  public:
    temp_dir() : vlt_test::temp_dir("vlt_backup_front", "/tmp") {}

    // Writes `content` byte for byte and returns the file's path.
    std::string write(const std::string &name, const std::string &content) const
    {
        std::string p = file(name);
        vlt_test::write_file(p, content);
        return p;
    }
};

// Sends what is written to descriptor 2 into an unlinked temporary file
// until text() is called or the object goes away.
using vlt_test::stderr_capture;

struct program_result {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out;
    std::string err;
};

// Runs `args` (element 0 is the program's path) with standard output and
// standard error sent to files, and waits for it. `path_env`, when given,
// replaces PATH in the child's environment.
inline program_result run_program(const std::vector<std::string> &args,
                                  const char *path_env = nullptr)
{
    program_result r;
    temp_dir dir;
    std::string out_path = dir.file("out");
    std::string err_path = dir.file("err");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env_storage;
    std::vector<char *> env;
    for (char **e = environ; *e != nullptr; e++) {
        if (path_env != nullptr && strncmp(*e, "PATH=", 5) == 0)
            continue;
        env.push_back(*e);
    }
    if (path_env != nullptr) {
        env_storage.push_back(std::string("PATH=") + path_env);
        env.push_back(env_storage.back().data());
    }
    env.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        return r;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = vlt_test::read_file(out_path);
    r.err = vlt_test::read_file(err_path);
    return r;
}

}  // namespace bf_test
