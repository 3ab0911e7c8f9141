// Entry of vlt_proxmox_restore: the command line, the target VMID and the
// closing line of a run.
#pragma once
#include <cstddef>
#include <cstdint>

#include "restore/restore_options.h"

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

// The target VMID: --vmid checked against the cluster file system (a
// qemu-server or lxc config of that number means it is taken), or the next
// free one from pvesh. Returns 0, or -1 with the reason in err.
int32_t choose_vmid(const restore_options *opts, int64_t *out_vmid, char *err, size_t err_size);

// Parses a VMID text as the command line and pvesh give it: base 10, leading
// white space and a sign allowed, nothing after the digits, at least 1.
// Returns 0 with the number, or -1.
int32_t parse_vmid_text(const char *text, int64_t *out_vmid);

// The PVE directory of a run: --pve-dir when given and not empty, else /etc/pve.
const char *restore_pve_dir(const restore_options *opts);
