// Entry of vlt_proxmox_restore: the command line, the start sequence and
// the closing line of a run.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/options.h"
#include "restore/restore_options.h"

// The options of vlt_proxmox_restore as the scanner sees them. --storage-map
// is collected from every occurrence, so it takes its value only as the
// next argument.
extern const option_spec restore_option_table[];

// Entry of vlt_proxmox_restore: the whole start sequence; returns the exit status.
int restore_main(int argc, char **argv);

// Reads the options of the restore command line (everything before the first
// "--") into opts; the texts stay borrowed from argv, the storage map is
// copied. Prints the usage text or a command-line error on standard error.
// Returns -1 when the run should go on, otherwise the status to exit with
// (0 after --help, 2 for a rejected command line).
int read_restore_command_line(int argc, char **argv, restore_options *opts);

// Writes the usage text to standard error with both "%s" set to the invocation name.
void print_restore_usage(const char *invocation);
