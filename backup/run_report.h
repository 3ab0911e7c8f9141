// What the run of one VM tells the node-wide run that started it (the
// summary's row): filled in as the run goes, in memory the two processes
// share. A run started from the command line for one VM has no report,
// and these calls do nothing.
#pragma once
#include <cstddef>
#include <cstdint>

struct vm_run_report {
    int32_t disks;            // disks selected for the backup; -1 until they are known
    int32_t disks_backed_up;  // of them, backed up (their job succeeded)
    int32_t vm_missing;       // qm config: the VM's configuration does not exist on this node
    char consistency[16];     // the consistency the backup got (its last line); empty until then
    char reason[384];         // the run's first ERROR line, a leading "VM <id>: " taken off
};

// The report of the run in this process, or nullptr.
extern vm_run_report *g_run_report;

// Makes *report this process's report, emptied, and sends the run's ERROR
// lines to it.
void report_start(vm_run_report *report);

void report_disks(size_t count);
void report_disks_backed_up(size_t count);
void report_consistency(const char *word);
// qm config answered that the VM's configuration does not exist: it may
// have been migrated away since the node-wide run selected it.
void report_vm_missing();
