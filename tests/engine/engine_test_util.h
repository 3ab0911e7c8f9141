// Helpers for the engine tests: running vlt_agent and vlt_restore as child
// processes, scratch directories, file contents and loop devices.
#pragma once
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "tests/support/test_util.h"

namespace engine_test {

struct tool_result {
    int status = -1;  // exit status, or -signal when ended by a signal
    std::string out;
    std::string err;
};

using env_list = std::vector<std::pair<std::string, std::string>>;

// Runs program with args (argv[0] is the program path), waits for it.
// pre_exec, when given, runs in the child just before the program starts.
tool_result run_tool(const std::string &program, const std::vector<std::string> &args, const env_list &env = {},
                     void (*pre_exec)() = nullptr);

tool_result run_agent(const std::vector<std::string> &args, const env_list &env = {}, void (*pre_exec)() = nullptr);
tool_result run_restore(const std::vector<std::string> &args, const env_list &env = {}, void (*pre_exec)() = nullptr);

// Starts program in a process group of its own with output discarded.
pid_t spawn_tool(const std::string &program, const std::vector<std::string> &args);

// Exit status as run_tool reports it, after waiting for pid.
int wait_status(pid_t pid);

// A fresh directory under TMPDIR, else /dev/shm when it has room, else
// /tmp; removed with its contents.
class scratch_dir : public vlt_test::temp_dir {
public:
    scratch_dir();
};

using vlt_test::file_exists;
using vlt_test::list_dir;  // names in dir, sorted
using vlt_test::read_file;
using vlt_test::write_file;
uint64_t file_size(const std::string &path);
// The one name in dir ending in suffix ("" when there is none or several).
std::string only_file_with(const std::string &dir, const std::string &suffix);

// Reproducible data.
std::string random_bytes(size_t n, uint64_t seed);
std::string text_bytes(size_t n);

uint64_t le64(const std::string &s, size_t off);
uint32_t le32(const std::string &s, size_t off);
uint16_t le16(const std::string &s, size_t off);

// A loop device over a file of the given size filled with fill (a sparse
// file for '\0'); detached on destruction. ok() is false when none could be attached (why() says why).
class loop_device {
public:
    loop_device(const std::string &backing, uint64_t size, char fill);
    ~loop_device();
    loop_device(const loop_device &) = delete;
    loop_device &operator=(const loop_device &) = delete;
    bool ok() const { return !device_.empty(); }
    const std::string &device() const { return device_; }
    const std::string &why() const { return why_; }
    std::string contents() const;

private:
    std::string device_;
    std::string why_;
};

}  // namespace engine_test
