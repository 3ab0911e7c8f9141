// Entry of vlt_proxmox: the command line, the profile it names and the
// start sequence that hands the options to the backup run.
#pragma once
#include <cstdint>

#include "common/options.h"

struct backup_options;
struct node_options;

// The options of vlt_proxmox as the scanner sees them.
extern const option_spec backup_option_table[];

// Entry of vlt_proxmox: the whole start sequence; returns the exit status.
int backup_main(int argc, char **argv);

// The backup run backup_main hands its options to; run_backup unless a test
// replaces it to look at the options.
extern int32_t (*backup_run_hook)(const backup_options *opts);

// The node-wide run (--all or --pool) backup_main hands its options to:
// run_node with backup_run_hook as each VM's run, unless a test replaces it.
extern int32_t (*node_run_hook)(const backup_options *opts, const node_options *node);

// The configuration file read when --config-path is not given;
// "/etc/vlt/vlt_proxmox.cfg" unless a test points it elsewhere.
extern const char *backup_default_config_path;

// Splits the command line at the first "--": element 0 and the words that
// are not agent flags go to the own list; agent flags (with the value word
// of an agent option) and everything after "--" go to the forwarded list.
// Both lists are malloc'ed, null-terminated arrays of pointers into argv,
// freed by the caller with free(). Returns 0, or -1 when out of memory
// (nothing is allocated then).
[[nodiscard]] int32_t split_command_line(int argc, char **argv, const char ***ret_own,
                                         int32_t *ret_own_count, const char ***ret_forwarded,
                                         int32_t *ret_forwarded_count);

// Writes the usage text with `program` as the program name to standard error.
void print_backup_usage(const char *program);
