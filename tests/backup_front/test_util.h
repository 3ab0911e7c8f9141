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
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char **environ;

namespace bf_test {

class temp_dir {
  public:
    temp_dir()
    {
        char tmpl[] = "/tmp/vlt_backup_front.XXXXXX";
        const char *p = mkdtemp(tmpl);
        path_ = p != nullptr ? p : "/tmp";
    }
    ~temp_dir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

    // Writes `content` byte for byte and returns the file's path.
    std::string write(const std::string &name, const std::string &content) const
    {
        std::string p = file(name);
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out << content;
        return p;
    }

  private:
    std::string path_;
};

// Sends what is written to descriptor 2 into an unlinked temporary file
// until text() is called or the object goes away.
class stderr_capture {
  public:
    stderr_capture()
    {
        fflush(stderr);
        char path[] = "/tmp/vlt_backup_front_err.XXXXXX";
        file_ = mkstemp(path);
        if (file_ >= 0) {
            unlink(path);
            saved_ = dup(2);
            dup2(file_, 2);
        }
    }
    ~stderr_capture()
    {
        restore();
        if (file_ >= 0)
            close(file_);
    }
    stderr_capture(const stderr_capture &) = delete;
    stderr_capture &operator=(const stderr_capture &) = delete;

    std::string text()
    {
        restore();
        std::string out;
        char buf[4096];
        off_t off = 0;
        ssize_t n;
        while (file_ >= 0 && (n = pread(file_, buf, sizeof buf, off)) > 0) {
            out.append(buf, static_cast<size_t>(n));
            off += n;
        }
        return out;
    }

  private:
    void restore()
    {
        if (saved_ < 0)
            return;
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    int file_ = -1;
    int saved_ = -1;
};

struct program_result {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out;
    std::string err;
};

inline std::string read_all(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

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
    r.out = read_all(out_path);
    r.err = read_all(err_path);
    return r;
}

}  // namespace bf_test
