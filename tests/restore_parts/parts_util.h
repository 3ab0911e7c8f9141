// Helpers for the restore-parts tests: scratch directories, captured log
// lines, hand-made run headers and a fake pvesm on PATH.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/test_util.h"

namespace parts_test {

// A fresh directory under /tmp, removed with its contents at scope exit.
class scratch_dir : public vlt_test::temp_dir {
public:
    scratch_dir() : vlt_test::temp_dir("vlt_parts_test", "/tmp") {}
};

// Collects standard error while alive; lines() turns the logger's lines
// into "LEVEL message" (time stamp and program name cut off).
class stderr_capture : public vlt_test::stderr_capture {
public:
    std::vector<std::string> lines();
};

// Fields of a hand-made run header; the defaults are what the agent writes.
struct header_fields {
    std::string job_name = "vm100-scsi0";
    std::string host_name = "host";
    int64_t creation_time = 1700000000;
    uint64_t source_size = 34359738368ULL;
    uint8_t run_kind = 0;
    uint16_t version = 1;
    uint32_t header_length = 131072;
    uint64_t carried_value = 0;
    uint8_t run_id_fill = 0x11;     // every byte of the run id
    uint8_t parent_id_fill = 0;     // every byte of the parent run id
    size_t file_size = 131072;      // bytes written in all
    bool magic = true;
};

// The header block as bytes (file_size long).
std::string header_bytes(const header_fields &f);
// Writes it to path; false on failure.
using vlt_test::write_file;
bool write_header(const std::string &path, const header_fields &f);

// Entries of a directory in the order readdir yields them.
std::vector<std::string> dir_order(const std::string &dir);

// Perl's complaint about a locale the host lacks (no backslash in it, so
// printf %b prints it as it is).
using vlt_test::perl_locale_warnings;

// A directory with a fake "pvesm" put first on PATH for the object's
// lifetime. The fake appends every call to a log, one line per call with
// each argument in brackets, and behaves as the environment says:
//   FAKE_ALLOC_OUT / FAKE_ALLOC_RC   output and exit code of "alloc"
//   FAKE_ALLOC_SLEEP                 seconds "alloc" sleeps after its output
//   FAKE_ALLOC_KILL                  "alloc" kills itself after its output
//   FAKE_PATH_OUT / FAKE_PATH_RC     output and exit code of "path"
//   FAKE_PATH_DIR                    "path" prints <dir>/<volume> instead
//   FAKE_FREE_FAIL                   volume id whose "free" fails (exit 1,
//                                    "cannot remove <volid>")
//   FAKE_PREFIX                      printed on standard error first, by
//                                    every call (Perl's locale warnings)
class fake_pvesm {
public:
    fake_pvesm();
    ~fake_pvesm();
    fake_pvesm(const fake_pvesm &) = delete;
    fake_pvesm &operator=(const fake_pvesm &) = delete;
    // Sets one of the variables above (unset again at scope exit).
    void set(const char *name, const std::string &value);
    std::vector<std::string> calls() const;
    // PATH without the fake (so "pvesm" cannot be found at all).
    void hide();

private:
    scratch_dir dir_;
    vlt_test::path_override path_;
    std::vector<std::string> vars_;
};

}  // namespace parts_test
