// Which VMs a node-wide run backs up: this node's name, the VMs whose
// configuration lives on it, the members of a pool that live on it, and
// where a VM's configuration is at the moment of its turn.
//
// On a Proxmox VE cluster the cluster file system (/etc/pve) holds the
// configuration of every guest under nodes/<node>/qemu-server/<vmid>.conf
// (containers under nodes/<node>/lxc/), and /etc/pve/local is a symbolic
// link to this node's directory; a migration moves the file to the other
// node's directory. A VM therefore lives on exactly one node at a time,
// and a run that picks "the VMs under this node" on every node backs each
// VM up once.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct selected_vm {
    long vmid;
    std::string name;  // its configuration's name:, or the pool listing's; may be empty
};

// This node's name: the last part of the target of <pve-dir>/local
// ("nodes/<name>"), else the host name up to its first '.' (what Proxmox
// names a node by). Returns 0, or -1 with the reason when neither is there.
[[nodiscard]] int32_t this_node_name(const char *pve_dir, char *out, size_t out_size, char *msg, size_t msg_size);

// --all: every VM with a "<vmid>.conf" in <pve-dir>/nodes/<node>/qemu-server,
// in ascending VMID order, with its name. A node without that directory
// has no VMs. 0, or -1 with the reason.
[[nodiscard]] int32_t list_node_vms(const char *pve_dir, const char *node, std::vector<selected_vm> *out,
                                    char *msg, size_t msg_size);

// The members of a pool as `pvesh get /pools/<pool> --output-format json`
// prints them: the VMs (type qemu) on node, in ascending VMID order;
// containers, storages and VMs on other nodes are left out, the last
// counted in *ret_elsewhere. Lines before the JSON object (warnings of the
// tool) are passed over. 0, or -1 with the reason.
[[nodiscard]] int32_t parse_pool_members(const char *answer, const char *node, std::vector<selected_vm> *out,
                                         size_t *ret_elsewhere, char *msg, size_t msg_size);

// --pool: runs pvesh and reads its answer as parse_pool_members does.
// 0, or -1 with the reason ("pool 'x': ..." with pvesh's complaint).
[[nodiscard]] int32_t list_pool_vms(const char *pool, const char *node, std::vector<selected_vm> *out,
                                    size_t *ret_elsewhere, char *msg, size_t msg_size);

// Drops the excluded VMIDs from the selection; returns how many it dropped.
size_t drop_excluded(std::vector<selected_vm> *vms, const long *excluded, int32_t excluded_count);

// Where the VM's configuration is now: 1 under this node; 0 under another
// node, whose name goes to other; -1 under no node (the VM is gone).
int32_t vm_home(const char *pve_dir, const char *node, long vmid, char *other, size_t other_size);
