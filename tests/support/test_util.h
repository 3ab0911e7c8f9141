// Small helpers shared by the tests of every area: scratch directories,
// whole-file reads and writes, captured standard descriptors, a PATH that
// finds fake tools first, and a storm of interrupts while children start.
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace vlt_test {

// A fresh directory "<base>/<stem>.XXXXXX", removed with its contents by
// the destructor (without leaving the file system it is on). An empty base
// means $TMPDIR, or /tmp when that is unset. path() is empty when the
// directory could not be made.
class temp_dir {
public:
    explicit temp_dir(const std::string &stem = "vlt_test", const std::string &base = "");
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Perl's complaint about a locale the host lacks, byte for byte as qm,
// pvesm and pvesh print it on standard error before anything else.
extern const char *const perl_locale_warnings;

// Reads a whole file; empty when it cannot be read.
std::string read_file(const std::string &path);
// Writes data byte for byte (truncating); with mode >= 0 the file is then
// given that mode. False when the file could not be written.
bool write_file(const std::string &path, const std::string &data, int mode = -1);
// A shell script: "#!/bin/sh\n" followed by body, mode 0755.
bool write_script(const std::string &path, const std::string &body);
// True when something (even a dangling link) is at path.
bool file_exists(const std::string &path);
// Names in dir, "." and ".." left out, sorted.
std::vector<std::string> list_dir(const std::string &dir);
// True once process pid is gone (or a zombie nobody has reaped yet).
bool process_gone(int pid);

// Sends what is written to descriptor fd (1 or 2) into an unlinked
// temporary file until text() is called or the object goes away.
class fd_capture {
public:
    explicit fd_capture(int fd);
    ~fd_capture();
    fd_capture(const fd_capture &) = delete;
    fd_capture &operator=(const fd_capture &) = delete;
    // Stops capturing (once) and returns everything written.
    std::string text();

private:
    void restore();
    int fd_;
    int file_ = -1;
    int saved_ = -1;
};

class stderr_capture : public fd_capture {
public:
    stderr_capture() : fd_capture(2) {}
};

// Puts dir in front of PATH (or, with only, makes it the whole PATH) for
// the object's lifetime; the old PATH (or its absence) comes back after.
class path_override {
public:
    explicit path_override(const std::string &dir, bool only = false);
    ~path_override();
    path_override(const path_override &) = delete;
    path_override &operator=(const path_override &) = delete;

private:
    std::string saved_;
    bool had_ = false;
};

// Interrupts in a tight loop while children start. start_children runs in a
// process of its own, in a process group of its own, with a handler for
// SIGINT, SIGTERM and SIGHUP that only counts where it ran; meanwhile this
// process sends those three signals, in turn, to that whole group until
// start_children has returned. The handler stands for the programs'
// clean-up handlers: it must never run in a child that is on its way to its
// program. Returns how often it did, or -1 when the storm itself could not
// be set up (the reason is in *why).
int handler_runs_in_children(const std::function<void()> &start_children, std::string *why);

}  // namespace vlt_test
