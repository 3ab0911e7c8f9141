// The target VMID of a restore and the Proxmox cluster file system it is
// checked against: a requested VMID must be free there, otherwise pvesh
// names the next free one.
#pragma once
#include <cstddef>
#include <cstdint>

#include "restore/restore_options.h"

// The target VMID: --vmid checked against the cluster file system (a
// qemu-server or lxc config of that number means it is taken), or the next
// free one from pvesh. Returns 0, or -1 with the reason in err.
int32_t choose_vmid(const restore_options *opts, int64_t *out_vmid, char *err, size_t err_size);

// Parses a VMID text as the command line and pvesh give it: base 10, leading
// white space and a sign allowed, nothing after the digits, at least 1.
// Returns 0 with the number, or -1.
int32_t parse_vmid_text(const char *text, int64_t *out_vmid);

// Reads the VMID from the output of pvesh get /cluster/nextid: the last
// line that is not blank (Perl may have complained about the locale first),
// cut to 127 bytes, as parse_vmid_text reads it. Returns 0 with the
// number, or -1.
int32_t parse_nextid_output(const char *output, int64_t *out_vmid);

// The PVE directory of a run: --pve-dir when given and not empty, else /etc/pve.
const char *restore_pve_dir(const restore_options *opts);
