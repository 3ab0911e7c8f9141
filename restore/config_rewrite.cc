// The rewrite of the backed-up configuration for the new VM: disk lines to
// the new volumes, fresh MACs, SMBIOS uuid and generation id, and the lines
// that must not be carried over.
#include "restore/config_rewrite.h"

#include <ctype.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common/log.h"
#include "common/text.h"
#include "vmconfig/backup_record.h"
#include "vmconfig/vm_config.h"

const char *const default_mac_prefix = "BC:24:11";

namespace {

const size_t value_part_max = 1023;   // model, rest and joined smbios1 value
const size_t mac_octets = 6;
const size_t mac_prefix_max_octets = 3;
const size_t max_remembered_macs = 64;  // more net cards than Proxmox allows
const size_t max_warnings = 48;
// What the Proxmox API shows instead of a stored cloud-init password.
const char *const masked_password = "**********";


bool is_space(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

// Reads up to n bytes of /dev/urandom; true when all of them arrived.
bool read_urandom(uint8_t *out, size_t n) {
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    size_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, out + got, n - got);
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    close(fd);
    return got == n;
}

void random_fill(uint8_t *out, size_t n) {
    if (read_urandom(out, n)) return;
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(rand() & 0xff);
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses one to three two-digit hex octets joined by ':' (a trailing ':'
// allowed), the first one unicast. Returns the number of octets, 0 when the
// text is not such a prefix.
size_t parse_mac_prefix(const char *text, uint8_t *octets) {
    if (text == nullptr) return 0;
    size_t n = 0;
    const char *p = text;
    while (*p != '\0') {
        if (n == mac_prefix_max_octets) return 0;
        int hi = hex_value(p[0]);
        int lo = hi < 0 ? -1 : hex_value(p[1]);
        if (hi < 0 || lo < 0) return 0;
        octets[n++] = static_cast<uint8_t>(hi << 4 | lo);
        p += 2;
        if (*p == ':') ++p;
        else if (*p != '\0') return 0;
    }
    if (n == 0 || (octets[0] & 0x01) != 0) return 0;
    return n;
}

// The text form of a prefix accepted by parse_mac_prefix.
void format_mac_prefix(const uint8_t *octets, size_t n, char *out) {
    size_t len = 0;
    for (size_t i = 0; i < n; ++i)
        len += static_cast<size_t>(
            put_text(out + len, MAC_PREFIX_SIZE - len, i ? ":%02X" : "%02X", octets[i]));
}

// Accumulates the new configuration; the text always stays shorter than
// the buffer.
struct out_text {
    char *buf;
    size_t size;
    size_t len;

    bool append(const char *s, size_t n) {
        if (n >= size - len) return false;
        memcpy(buf + len, s, n);
        len += n;
        buf[len] = '\0';
        return true;
    }
    bool append(const char *s) { return append(s, strlen(s)); }
};

bool key_has_digit_suffix(const char *key, const char *prefix) {
    size_t n = strlen(prefix);
    if (strncmp(key, prefix, n) != 0) return false;
    const char *p = key + n;
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
    while (isdigit(static_cast<unsigned char>(*p))) ++p;
    return *p == '\0';
}

bool is_net_key(const char *key) { return key_has_digit_suffix(key, "net"); }

// Copies [begin, end) without the white space at both ends.
void copy_trimmed(const char *begin, const char *end, char *out, size_t out_size) {
    while (begin < end && is_space(*begin)) ++begin;
    while (end > begin && is_space(end[-1])) --end;
    size_t n = static_cast<size_t>(end - begin);
    if (n >= out_size) n = out_size - 1;
    memcpy(out, begin, n);
    out[n] = '\0';
}

// A fresh generation id, never equal to avoid (the smbios1 uuid).
void fresh_uuid_text(const char *avoid, char *text) {
    do {
        uint8_t uuid[16];
        random_uuid(uuid);
        format_uuid(uuid, text);
    } while (avoid != nullptr && strcmp(text, avoid) == 0);
}

// The smbios1 value with its uuid replaced; false when the line is to be
// kept as it is (no uuid piece, or too long).
bool rewrite_smbios1(const char *value, const char *uuid_text, char *joined) {
    if (strlen(value) > value_part_max) return false;
    size_t len = 0;
    bool had_uuid = false;
    joined[0] = '\0';
    const char *p = value;
    for (;;) {
        const char *comma = strchr(p, ',');
        const char *end = comma ? comma : p + strlen(p);
        char piece[REWRITE_LINE_SIZE];
        copy_trimmed(p, end, piece, sizeof piece);
        if (piece[0] != '\0') {
            char replaced[REWRITE_LINE_SIZE + UUID_TEXT_SIZE];
            const char *text = piece;
            if (strncmp(piece, "uuid=", 5) == 0) {
                put_text(replaced, sizeof replaced, "uuid=%s", uuid_text);
                text = replaced;
                had_uuid = true;
            }
            size_t need = strlen(text) + (len ? 1 : 0);
            if (len + need > value_part_max) return false;
            if (len) joined[len++] = ',';
            memcpy(joined + len, text, strlen(text) + 1);
            len += strlen(text);
        }
        if (!comma) break;
        p = comma + 1;
    }
    return had_uuid;
}

const remap_entry *find_remap(const remap_entry *remap, uint64_t count, const char *slot) {
    for (uint64_t i = 0; i < count; ++i)
        if (strncmp(remap[i].slot, slot, sizeof remap[i].slot) == 0) return &remap[i];
    return nullptr;
}

const char no_room[] = "rewritten config does not fit in the output buffer";

// What a rewrite carries from line to line.
struct rewrite_state {
    const remap_entry *remap;
    uint64_t remap_count;
    int32_t keep_network_identity;
    const char *uuid_text;  // "" keeps the smbios1 uuid
    const char *mac_prefix;
    out_text out;
    int64_t vmid;
    bool vmgenid_seen = false;
    bool was_template = false;
    char macs[max_remembered_macs][MAC_TEXT_SIZE] = {};  // handed out so far
    size_t mac_count = 0;
    // What was dropped and what to do about it, logged once the rewrite
    // has succeeded.
    char warnings[max_warnings][REWRITE_WARNING_SIZE] = {};
    size_t warning_count = 0;
    size_t warnings_lost = 0;

    void warn(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (warning_count == max_warnings) {
            warnings_lost++;
            return;
        }
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(warnings[warning_count++], REWRITE_WARNING_SIZE, fmt, ap);
        va_end(ap);
    }
};

// The working line of text[start, start + len): the first 1023 bytes,
// without one carriage return and the white space at its end (a line of
// white space only keeps it). Returns where its content starts.
const char *working_line(const char *text, size_t start, size_t len, char *line) {
    size_t n = len < REWRITE_LINE_SIZE - 1 ? len : REWRITE_LINE_SIZE - 1;
    memcpy(line, text + start, n);
    line[n] = '\0';
    if (n > 0 && line[n - 1] == '\r') line[--n] = '\0';
    const char *p = line;
    while (is_space(*p)) ++p;
    size_t first = static_cast<size_t>(p - line);
    if (first < n)
        while (n > first && is_space(line[n - 1])) line[--n] = '\0';
    return p;
}

// A fresh MAC with the prefix that no other card of the VM has.
void unique_mac(rewrite_state *st, char *mac) {
    bool again;
    do {
        random_mac(st->mac_prefix, mac);
        again = false;
        for (size_t i = 0; i < st->mac_count; ++i)
            again = again || strcmp(st->macs[i], mac) == 0;
    } while (again);
    if (st->mac_count < max_remembered_macs) memcpy(st->macs[st->mac_count++], mac, MAC_TEXT_SIZE);
}

enum line_fate { keep_line, rewrite_line_to, drop_line, fail_line };

// "<key>: <value>" with `mac` as the card's MAC, into out
// (REWRITE_OUT_LINE_SIZE bytes). The MAC stands in a "macaddr=" option
// when there is one, next to a first option "model=<model>" otherwise, and
// else in the first option, the model (virtio=<MAC>, as Proxmox writes
// it). False when the value has no model to go by.
bool rewrite_net(const char *key, const char *value, const char *mac, char *out) {
    const char *comma = strchr(value, ',');
    size_t first_len = comma ? static_cast<size_t>(comma - value) : strlen(value);
    const char *rest = comma ? comma : "";
    // A "macaddr=" option anywhere: only its value changes.
    for (const char *opt = value; opt != nullptr;) {
        const char *next = strchr(opt, ',');
        size_t len = next ? static_cast<size_t>(next - opt) : strlen(opt);
        while (len > 0 && is_space(*opt)) opt++, len--;
        if (len >= 8 && strncmp(opt, "macaddr=", 8) == 0) {
            put_text(out, REWRITE_OUT_LINE_SIZE, "%s: %.*smacaddr=%s%s", key, static_cast<int>(opt - value), value,
                     mac, next ? next : "");
            return true;
        }
        opt = next ? next + 1 : nullptr;
    }
    if (first_len >= 6 && strncmp(value, "model=", 6) == 0) {
        put_text(out, REWRITE_OUT_LINE_SIZE, "%s: %.*s,macaddr=%s%s", key, static_cast<int>(first_len), value, mac,
                 rest);
        return true;
    }
    const char *eq = static_cast<const char *>(memchr(value, '=', first_len));
    size_t model_len = eq ? static_cast<size_t>(eq - value) : first_len;
    if (model_len == 0) return false;
    put_text(out, REWRITE_OUT_LINE_SIZE, "%s: %.*s=%s%s", key, static_cast<int>(model_len), value, mac, rest);
    return true;
}

// A drive line: a disk or cloud-init drive points at the volume restored
// for the new VM (options kept) or goes; a host device goes; CD-ROMs and
// empty drives stay.
line_fate rewrite_drive(const char *key, const char *value, rewrite_state *st, char *rewritten, char *err,
                        size_t err_size) {
    int32_t kind = drive_kind_of(key, value);
    if (kind == DRIVE_DEVICE) {
        char device[REWRITE_LINE_SIZE];
        copy_cut(device, sizeof device, value, strcspn(value, ","));
        st->warn("%s: %s is a device of the host, not part of the backup: dropped; give it to VM %ld again only "
                 "once no other VM uses it",
                 key, device, static_cast<long>(st->vmid));
        return drop_line;
    }
    if (kind != DRIVE_VOLUME && kind != DRIVE_CLOUDINIT) return keep_line;
    const remap_entry *e = find_remap(st->remap, st->remap_count, key);
    if (e != nullptr && e->drop) return drop_line;  // the restore has said why
    if (e == nullptr && kind == DRIVE_CLOUDINIT) {
        char volume[REWRITE_LINE_SIZE];
        copy_cut(volume, sizeof volume, value, strcspn(value, ","));
        st->warn("%s: the cloud-init drive %s belongs to the original VM: dropped; add one to VM %ld with "
                 "'qm set %ld --%s <storage>:cloudinit'",
                 key, volume, static_cast<long>(st->vmid), static_cast<long>(st->vmid), key);
        return drop_line;
    }
    if (e == nullptr) {
        put_text(err, err_size, "%s: no remap entry given for this disk slot", key);
        return fail_line;
    }
    const char *rest = strchr(strchr(value, ':'), ',');
    put_text(rewritten, REWRITE_OUT_LINE_SIZE, "%s: %.127s:%.127s%s", key, e->storage, e->volume, rest ? rest : "");
    return rewrite_line_to;
}

// The rules for one "key: value" line: what becomes of it (the new text
// in rewritten, REWRITE_OUT_LINE_SIZE bytes), or fail_line with err.
line_fate rewrite_setting(const char *key, const char *value, rewrite_state *st, char *rewritten, char *err,
                          size_t err_size) {
    if (strcmp(key, "vmgenid") == 0) {
        st->vmgenid_seen = true;
        // 0 switches the generation id off on purpose; any other value is
        // replaced, since QEMU takes the file's value as it stands and
        // refuses one that is not a UUID.
        if (strcmp(value, "0") == 0) return keep_line;
        char genid[UUID_TEXT_SIZE];
        fresh_uuid_text(st->uuid_text, genid);
        put_text(rewritten, REWRITE_OUT_LINE_SIZE, "%s: %s", key, genid);
        return rewrite_line_to;
    }
    if (is_net_key(key) && !st->keep_network_identity) {
        // A card without a MAC gets a new random one from Proxmox at every
        // start, so write a fresh one in place of the old.
        char mac[MAC_TEXT_SIZE];
        unique_mac(st, mac);
        return rewrite_net(key, value, mac, rewritten) ? rewrite_line_to : keep_line;
    }
    if (strcmp(key, "cipassword") == 0 && strcmp(value, masked_password) == 0) {
        // The API masks the stored hash; writing the mask back would install
        // a password nobody knows.
        st->warn("cipassword was not part of the backup: set it again for VM %ld", static_cast<long>(st->vmid));
        return drop_line;
    }
    if (strcmp(key, backup_record_key) == 0) return drop_line;  // the backup's own note
    if (is_disk_slot(key)) return rewrite_drive(key, value, st, rewritten, err, err_size);
    // The lines below name things of the original VM that the new VM must
    // never own: removing them with it would destroy the original's data.
    if (key_has_digit_suffix(key, "unused")) {
        st->warn("%s: %s is a volume of the original VM, not part of the backup: dropped", key, value);
        return drop_line;
    }
    if (strcmp(key, "template") == 0) {
        // The new VM's volumes are ordinary new volumes, not a template's
        // base volumes: it starts out as a regular VM.
        if (!st->was_template && strcmp(value, "0") != 0) {
            st->was_template = true;
            st->warn("VM %ld was a template: restored as a regular VM (run 'qm template %ld' to convert it)",
                     static_cast<long>(st->vmid), static_cast<long>(st->vmid));
        }
        return drop_line;
    }
    if (strcmp(key, "parent") == 0) {
        st->warn("parent: snapshot '%s' of the original VM is not part of the backup: dropped; VM %ld starts "
                 "with no snapshots",
                 value, static_cast<long>(st->vmid));
        return drop_line;
    }
    if (strcmp(key, "vmstate") == 0) {
        st->warn("vmstate: %s (the original VM's saved memory) is not part of the backup: dropped; VM %ld "
                 "boots afresh",
                 value, static_cast<long>(st->vmid));
        return drop_line;
    }
    // A lock belongs to an operation on the original VM.
    if (strcmp(key, "lock") == 0) return drop_line;
    if (strcmp(key, "smbios1") == 0 && st->uuid_text[0] != '\0') {
        char joined[REWRITE_LINE_SIZE];
        if (!rewrite_smbios1(value, st->uuid_text, joined)) return keep_line;
        put_text(rewritten, REWRITE_OUT_LINE_SIZE, "%s: %s", key, joined);
        return rewrite_line_to;
    }
    return keep_line;
}

// One line of the main section, text[0, len), through the rules into the
// output: the rewritten line, or the working line when it is kept (with
// its newline when it had one). The rules see the key and value the VM
// configuration parser sees, of the whole line: a disk-slot key of any
// length is a disk slot, and one without a remap entry fails the rewrite
// rather than keep the original VM's volume.
int32_t rewrite_one_line(const char *text, size_t len, const char *line, bool has_lf, rewrite_state *st,
                         char *err, size_t err_size) {
    char rewritten[REWRITE_OUT_LINE_SIZE];
    const char *result = line;  // kept unless a rule rewrites it
    char key[CONFIG_KEY_SIZE];
    char value[CONFIG_VALUE_SIZE];
    if (split_config_line(text, len, key, value)) {
        switch (rewrite_setting(key, value, st, rewritten, err, err_size)) {
        case fail_line:
            return -1;
        case drop_line:
            return 0;
        case rewrite_line_to:
            result = rewritten;
            break;
        case keep_line:
            break;
        }
    }
    if (!st->out.append(result) || (has_lf && !st->out.append("\n", 1))) {
        put_text(err, err_size, "%s", no_room);
        return -1;
    }
    return 0;
}

// "vmgenid: <fresh uuid>" for a main section that has none.
bool append_generation_id(rewrite_state *st) {
    char genid[UUID_TEXT_SIZE];
    fresh_uuid_text(st->uuid_text, genid);
    char add[UUID_TEXT_SIZE + 16];
    put_text(add, sizeof add, "vmgenid: %s\n", genid);
    st->vmgenid_seen = true;
    return st->out.append(add);
}

}  // namespace

void random_uuid(uint8_t *out) {
    random_fill(out, 16);
    out[6] = static_cast<uint8_t>((out[6] & 0x0F) | 0x40);
    out[8] = static_cast<uint8_t>((out[8] & 0x3F) | 0x80);
}

void format_uuid(const uint8_t *u, char *text) {
    snprintf(text, UUID_TEXT_SIZE,
             "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[0], u[1],
             u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14],
             u[15]);
}

void read_mac_prefix(const char *pve_dir, char *ret_prefix) {
    put_text(ret_prefix, MAC_PREFIX_SIZE, "%s", default_mac_prefix);
    char path[1100];
    put_text(path, sizeof path, "%s/datacenter.cfg",
             pve_dir != nullptr && pve_dir[0] != '\0' ? pve_dir : "/etc/pve");
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return;
    // datacenter.cfg is a short list of "key: value" lines.
    char text[65536];
    size_t len = 0;
    while (len < sizeof text - 1) {
        ssize_t r = read(fd, text + len, sizeof text - 1 - len);
        if (r <= 0) break;
        len += static_cast<size_t>(r);
    }
    close(fd);
    text[len] = '\0';

    for (char *line = text; line != nullptr && *line != '\0';) {
        char *nl = strchr(line, '\n');
        if (nl) *nl = '\0';
        char *p = line;
        while (is_space(*p)) ++p;
        if (strncmp(p, "mac_prefix", 10) == 0) {
            char *q = p + 10;
            while (*q == ' ' || *q == '\t') ++q;
            if (*q == ':') {
                char value[64];
                copy_trimmed(q + 1, q + 1 + strlen(q + 1), value, sizeof value);
                uint8_t octets[mac_prefix_max_octets];
                size_t n = parse_mac_prefix(value, octets);
                if (n) format_mac_prefix(octets, n, ret_prefix);
                return;
            }
        }
        line = nl ? nl + 1 : nullptr;
    }
}

void random_mac(const char *prefix, char *mac) {
    uint8_t octets[mac_octets];
    size_t n = parse_mac_prefix(prefix, octets);
    if (n == 0) n = parse_mac_prefix(default_mac_prefix, octets);
    random_fill(octets + n, mac_octets - n);
    octets[0] &= 0xFE;  // never a multicast address
    put_text(mac, MAC_TEXT_SIZE, "%02X:%02X:%02X:%02X:%02X:%02X", octets[0], octets[1],
             octets[2], octets[3], octets[4], octets[5]);
}

int32_t build_target_config(const char *text, const remap_entry *remap, uint64_t remap_count,
                            int32_t keep_network_identity, const char *uuid_text,
                            const char *mac_prefix, int64_t vmid, char *out, size_t out_size,
                            char *err, size_t err_size) {
    if (out_size) out[0] = '\0';
    if (err_size) err[0] = '\0';
    if (text == nullptr) text = "";
    if (uuid_text == nullptr) uuid_text = "";
    size_t text_len = strlen(text);
    if (text_len > REWRITE_MAX_INPUT) {
        put_text(err, err_size, "config text is too large (> %zu bytes)",
                 static_cast<size_t>(REWRITE_MAX_INPUT));
        return -1;
    }
    if (out_size == 0) {
        put_text(err, err_size, "%s", no_room);
        return -1;
    }

    rewrite_state st{remap, remap_count, keep_network_identity, uuid_text, mac_prefix, out_text{out, out_size, 0},
                     vmid};
    size_t pos = 0;
    bool section_reached = false;
    while (pos < text_len) {
        size_t line_start = pos;
        const char *nl = static_cast<const char *>(memchr(text + pos, '\n', text_len - pos));
        size_t line_len = nl ? static_cast<size_t>(nl - (text + pos)) : text_len - pos;
        bool has_lf = nl != nullptr;
        pos = has_lf ? pos + line_len + 1 : text_len;

        char line[REWRITE_LINE_SIZE];
        const char *p = working_line(text, line_start, line_len, line);
        if (*p == '[') {
            // Snapshots and pending changes of the old VM follow; their
            // lines name its volumes and states, which the new VM does not
            // have. Each section goes, with a word.
            if (!section_reached && !st.vmgenid_seen && !append_generation_id(&st)) {
                put_text(err, err_size, "%s", no_room);
                return -1;
            }
            section_reached = true;
            st.warn("%s: dropped with its lines: the original VM's snapshots and pending changes are not part "
                    "of the backup",
                    p);
            continue;
        }
        if (section_reached) continue;
        if (rewrite_one_line(text + line_start, line_len, line, has_lf, &st, err, err_size) != 0) return -1;
    }

    if (!section_reached && !st.vmgenid_seen) {
        if ((st.out.len > 0 && out[st.out.len - 1] != '\n' && !st.out.append("\n", 1)) ||
            !append_generation_id(&st)) {
            put_text(err, err_size, "%s", no_room);
            return -1;
        }
    }

    for (size_t i = 0; i < st.warning_count; ++i) log_write(LOG_LEVEL_WARN, "%s", st.warnings[i]);
    if (st.warnings_lost > 0)
        log_write(LOG_LEVEL_WARN, "%zu more lines of the original VM were dropped", st.warnings_lost);
    return 0;
}
