// A node-wide run (--all or --pool): the VMs of this node, each backed up
// by a run of its own, then one summary.
//
// Each VM's run is a child process made by fork (start_child_function)
// that does exactly what "vlt_proxmox --vmid <id>" does after its command
// line: its own per-VM lock, run state, freeze, snapshots, agent runs,
// signal handler and progress segment, its log lines under the program
// name "vlt_proxmox VM <id>". Its output (and its agents') reaches this
// process through a pipe and is passed on line by line, so the lines of
// runs side by side never tear; vlt_agent's report of each completed disk
// job gives the bytes it read.
//
// VMs start in ascending VMID order, up to --jobs at once; the snapshot
// phases of the runs take turns (backup/snapshot_phase.h). Just before a
// VM's turn its configuration must still be under this node: a VM that
// was migrated away (or removed) since the selection is skipped, as is
// one whose run finds its configuration gone. A failing VM never stops
// the others.
//
// SIGINT, SIGTERM and SIGHUP are passed on to every running VM run, which
// cleans up as a run of one VM does; no further VM starts; once the runs
// have ended the summary is written and mailed, and the signal ends this
// process too.
#pragma once
#include <cstdint>

#include "backup/backup_options.h"

// Backs up the selected VMs, each with vm_run (run_backup, or a test's) in
// a child process, with opts as given but the vmid and the job prefix
// (<name>-<vmid> with --name, else vm<vmid>). Writes the summary table to
// standard error, as JSON to standard output with --json, and mails it
// with --mailto. Returns 0 when every VM was backed up or skipped, 1 when
// one failed or none could be selected.
int32_t run_node(const backup_options *opts, const node_options *node,
                 int32_t (*vm_run)(const backup_options *opts));

// Test seam: how often (milliseconds) the loop looks for ended runs and
// signals while no output arrives. 100 in production.
extern uint32_t node_poll_ms;
