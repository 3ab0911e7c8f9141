// Tiny stand-ins for the host tools, for the tests of the backup run.
//
// Every tool named in the constructor becomes a bash script in a private
// bin directory put first on PATH. Each call appends one line to the call
// log (the tool name and its arguments, tab-separated), counts itself in
// $n, then sources the snippet set with on() if there is one. VLT_RUN_DIR
// points into the fixture while it lives (dir()/run). Snapshot
// device nodes are made under /dev/<vg>/ with a volume group name private
// to the fixture, and removed again by the destructor.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tests/support/test_util.h"

class fake_tools {
public:
    fake_tools();
    ~fake_tools();
    fake_tools(const fake_tools &) = delete;
    fake_tools &operator=(const fake_tools &) = delete;

    const std::string &dir() const { return dir_; }
    const std::string &vg() const { return vg_; }
    // Where the code under test takes Proxmox's storage locks.
    const std::string &lock_dir() const { return lock_dir_; }

    // The bash snippet run by each call of `tool` ($n is the call's number,
    // $FAKE_DIR the fixture's directory, "$@" the arguments).
    void on(const std::string &tool, const std::string &snippet);
    // Removes the tool from PATH entirely (calls then end with 127).
    void remove(const std::string &tool);
    // lvcreate makes the snapshot's node under /dev/<vg>/ (or, with
    // mapper set, under /dev/mapper/ with the doubled-dash name).
    void lvcreate_makes_nodes(bool mapper = false);

    // lvs answers from the table $FAKE_DIR/lvtable, one LV per line:
    // vg|lv|attr|size|segtype|origin|major|minor|pool|data%|meta%|snap%
    // printing the fields that -o asks for, of the LVs selected (all
    // without selections). A selected "<vg>/<name>_vltsnap" that is not in
    // the table is a COW snapshot made meanwhile (snap% from the file
    // $FAKE_DIR/snap-percent, 0.00 without it). A listing with lv_tags
    // is the file $FAKE_DIR/lvs-tags (empty without it).
    void lvs_from_table();
    // Appends one line to the table.
    void add_lv_row(const std::string &row);

    std::vector<std::vector<std::string>> calls() const;
    // Calls of one tool, its arguments joined by single spaces.
    std::vector<std::string> calls_of(const std::string &tool) const;
    // Every call as "tool arg arg ...", in order.
    std::vector<std::string> call_lines() const;

    // A file in the fixture's directory.
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    std::string read(const std::string &name) const;
    // The lines of a file in the fixture's directory, without newlines.
    std::vector<std::string> read_lines(const std::string &name) const;

private:
    vlt_test::temp_dir tmp_{"vlt_backup_run", "/tmp"};
    std::string dir_;
    std::string bin_;
    std::string vg_;
    std::string lock_dir_;
    std::optional<vlt_test::path_override> path_;
    std::string saved_run_dir_;
    bool had_run_dir_ = false;
};

// Reads a whole file; empty when it cannot be read.
inline std::string slurp(const std::string &path) { return vlt_test::read_file(path); }
inline void write_text(const std::string &path, const std::string &text, int mode = 0644)
{
    vlt_test::write_file(path, text, mode);
}

// Collects what is written to standard error (the log) while it lives.
using vlt_test::stderr_capture;

// The log lines of a capture, each without its time stamp and program:
// "ERROR VM 101: ...", "WARN  snapshot ...".
std::vector<std::string> log_lines(const std::string &captured);

// fnmatch(3) of the whole text: '*' any run, '?' one character, "[0-9]" a
// digit; everything else literal.
bool like(const std::string &text, const std::string &pattern);
