// Turns the backed-up VM's configuration text into the configuration file
// of a new VM: new volumes, a new MAC per network card, a fresh SMBIOS uuid
// and VM generation id. Pure text work on fixed buffers.
#pragma once
#include <cstddef>
#include <cstdint>

enum : size_t {
    REWRITE_MAX_INPUT = 32767,   // bytes of configuration text accepted
    REWRITE_LINE_SIZE = 1024,    // working line: at most 1023 bytes
    REWRITE_OUT_LINE_SIZE = 1200,
    UUID_TEXT_SIZE = 37,         // 36 characters and a terminator
    MAC_TEXT_SIZE = 18,          // "XX:XX:XX:XX:XX:XX"
    MAC_PREFIX_SIZE = 16,
    REWRITE_WARNING_SIZE = 400,  // one warning about a dropped line
};

// One drive of the new VM: its slot and the new volume that replaces the
// old one (a restored disk, a fresh cloud-init drive), or, with drop set, a
// disk whose line is left out (the caller has said why).
struct remap_entry {
    char slot[24];
    char storage[128];
    char volume[128];
    int32_t drop;
};

// The MAC prefix used when the cluster sets none.
extern const char *const default_mac_prefix;  // "BC:24:11"

// Fills out with a random version-4 UUID from /dev/urandom (rand() when
// that cannot be read).
void random_uuid(uint8_t *out);

// Writes the 36-character lower-case text form of a UUID into text (at
// least UUID_TEXT_SIZE bytes).
void format_uuid(const uint8_t *uuid, char *text);

// Stores the cluster's MAC prefix: the "mac_prefix:" value of
// "<pve_dir>/datacenter.cfg" in upper case when it is there and well formed
// (one to three hex octets joined by ':', first octet not multicast),
// otherwise default_mac_prefix. ret_prefix has MAC_PREFIX_SIZE bytes.
void read_mac_prefix(const char *pve_dir, char *ret_prefix);

// Writes a random MAC (upper-case hex pairs joined by ':') that begins with
// prefix (default_mac_prefix when null, empty or not well formed) into mac,
// MAC_TEXT_SIZE bytes. The multicast bit of the first octet is clear.
void random_mac(const char *prefix, char *mac);

// Rewrites text (nullptr counts as empty) for the new VM vmid, keeping
// every other line as it is (a line longer than 1023 bytes is cut); the
// rules read each line's key and value as split_config_line does:
// - a disk or cloud-init drive line points at the volume of its remap
//   entry (its options kept), or is left out for an entry with drop set; a
//   disk line without an entry fails the rewrite, a cloud-init drive
//   without one is left out;
// - a drive that is a device of the host, unusedN, parent, vmstate, the
//   sections after the main one (snapshots, pending changes) and a masked
//   cipassword are left out, each with a WARN naming it (the original VM's
//   things that the new VM must not own); lock and the backup's own
//   record line are left out silently; a template line is left out too
//   (a template comes back as a regular VM, with a WARN);
// - every netN line gets a fresh MAC with mac_prefix unless
//   keep_network_identity; an smbios1 uuid becomes uuid_text unless that
//   is empty; every vmgenid line except "vmgenid: 0" gets a fresh UUID and
//   the main section gets one when it has none.
// Returns 0 with the text in out (and the WARNs logged), or -1 with a
// message in err (out is then incomplete, nothing logged).
[[nodiscard]] int32_t build_target_config(const char *text, const remap_entry *remap,
                                          uint64_t remap_count, int32_t keep_network_identity,
                                          const char *uuid_text, const char *mac_prefix,
                                          int64_t vmid, char *out, size_t out_size, char *err,
                                          size_t err_size);
