// The summary of a node-wide run: one row per selected VM, the table on
// standard error, the same as JSON, and the mail. Plain formatting: the
// run (backup/node_run.h) fills the rows.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum vm_result : int32_t {
    VM_RESULT_PENDING = 0,  // not run (yet)
    VM_RESULT_OK = 1,
    VM_RESULT_FAILED = 2,
    VM_RESULT_SKIPPED = 3,  // not backed up on purpose: it left the node, or the run was interrupted
};

struct vm_row {
    long vmid = 0;
    std::string name;             // may be empty
    std::string job_prefix;       // its jobs are <job_prefix>-<slot> and <job_prefix>-vmconfig
    vm_result result = VM_RESULT_PENDING;
    std::string reason;           // failed or skipped: why
    int32_t disks = -1;           // disks selected; -1 when the run did not get that far
    int32_t disks_backed_up = 0;
    std::string consistency;      // fs, stopped or crash; empty when the run did not get that far
    int64_t duration_ms = -1;     // -1 when it did not run
    bool bytes_known = false;     // vlt_agent reported what it read
    uint64_t bytes_read = 0;      // summed over the VM's disk jobs
};

struct node_summary {
    std::string node;             // this node's name; empty when unknown
    std::string label;            // the profile's name, "all" or "pool <pool>"
    std::string pool;             // --pool, or empty for --all
    std::vector<long> excluded;   // --exclude
    std::string error;            // why no VM could be selected; empty otherwise
    int interrupted_by = 0;       // the signal that ended the run, 0 when none
    int64_t started = 0;          // wall clock, seconds since the epoch
    int64_t ended = 0;
    std::vector<vm_row> rows;     // ascending VMID
};

struct summary_counts {
    size_t total = 0;
    size_t ok = 0;
    size_t failed = 0;
    size_t skipped = 0;
};

summary_counts count_rows(const node_summary &s);

// Whether the run counts as failed: a VM failed, no VM could be selected,
// or a signal ended it. Its exit status is then 1 (else 0).
bool summary_failed(const node_summary &s);

// "%d of %d VM(s) backed up, %d failed, %d skipped".
std::string summary_count_line(const summary_counts &c);

// The table: a header line, then one line per row, columns aligned:
// VMID, NAME, RESULT, DISKS (backed up/selected), CONSISTENCY, DURATION
// (H:MM:SS), READ (bytes, in binary units), WHY. Unknown values are "-".
std::vector<std::string> summary_table(const node_summary &s);

// The summary as one JSON object on one line, with a final newline.
std::string summary_json(const node_summary &s);

// The mail's subject and text.
std::string summary_mail_subject(const node_summary &s);
std::string summary_mail_body(const node_summary &s);

// "0 B", "512 B", "1.5 KiB", "12.0 MiB", ... (one decimal past bytes).
std::string format_bytes(uint64_t bytes);
// "H:MM:SS".
std::string format_duration(int64_t ms);

// Whether a line of a VM's output is vlt_agent's report of a completed run
// of one of that VM's disk jobs ("<job_prefix>-<slot>", not the
// configuration's): "... [vlt_agent] INFO  job <job>: run written to
// <path> (<n> bytes read, ...)". Then *bytes is n.
bool agent_bytes_read(const char *line, const char *job_prefix, uint64_t *bytes);
