// The VM configuration parser: the disk-like volumes of `qm config` text,
// and what each drive line holds.
#include "vmconfig/vm_config.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "common/text.h"

namespace {

constexpr size_t kMaxInput = 32767;
constexpr size_t kMaxValueScan = 511;
constexpr size_t kMaxName = 127;

const char *const kSlotPrefixes[] = {"virtio", "scsi", "sata", "ide", "tpmstate", "efidisk"};

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A piece of the private copy, trimmed in place by moving its ends.
struct span {
    const char *p;
    size_t n;
};

span trim(span s) {
    while (s.n > 0 && is_blank(s.p[0])) {
        s.p++;
        s.n--;
    }
    while (s.n > 0 && is_blank(s.p[s.n - 1])) s.n--;
    return s;
}

const char *find_char(span s, char c) {
    return static_cast<const char *>(memchr(s.p, c, s.n));
}

bool span_is(span s, const char *text) {
    return s.n == strlen(text) && memcmp(s.p, text, s.n) == 0;
}

bool span_is_nocase(span s, const char *text) {
    return s.n == strlen(text) && strncasecmp(s.p, text, s.n) == 0;
}

// Takes the next comma-separated option off *rest, trimmed; false when
// none is left.
bool next_option(span *rest, span *ret_opt) {
    if (rest->p == nullptr) return false;
    const char *comma = find_char(*rest, ',');
    size_t len = comma != nullptr ? static_cast<size_t>(comma - rest->p) : rest->n;
    *ret_opt = trim(span{rest->p, len});
    *rest = comma != nullptr ? span{comma + 1, rest->n - len - 1} : span{nullptr, 0};
    return true;
}

// "media=cdrom" among the comma-separated options of the value; the
// value's first 511 characters only.
bool is_cdrom(span value) {
    if (value.n > kMaxValueScan) return false;
    span opt;
    for (span rest = value; next_option(&rest, &opt);)
        if (span_is(opt, "media=cdrom")) return true;
    return false;
}

// backup=0 (or no, off, false) among the options, as Proxmox reads a boolean.
bool drive_backup_off_span(span value) {
    if (value.n > kMaxValueScan) return false;
    span opt;
    for (span rest = value; next_option(&rest, &opt);) {
        if (opt.n < 7 || memcmp(opt.p, "backup=", 7) != 0) continue;
        span flag = trim(span{opt.p + 7, opt.n - 7});
        for (const char *off : {"0", "no", "off", "false"})
            if (span_is_nocase(flag, off)) return true;
    }
    return false;
}

bool is_disk_slot_span(span key) {
    for (const char *prefix : kSlotPrefixes) {
        size_t len = strlen(prefix);
        if (key.n <= len || memcmp(key.p, prefix, len) != 0) continue;
        for (size_t i = len; i < key.n; i++)
            if (key.p[i] < '0' || key.p[i] > '9') return false;
        return true;
    }
    return false;
}

// The volume name of a "storage:volume[,options]" value.
span volume_name(span value) {
    const char *colon = find_char(value, ':');
    span after{colon + 1, value.n - static_cast<size_t>(colon + 1 - value.p)};
    const char *comma = find_char(after, ',');
    return trim(span{after.p, comma != nullptr ? static_cast<size_t>(comma - after.p) : after.n});
}

// vm-<vmid>-cloudinit, with an extension (".qcow2") or a directory
// ("<vmid>/") as file-based storages name it.
bool is_cloudinit_volume(span volume) {
    const char *p = volume.p + volume.n;
    while (p > volume.p && p[-1] != '/') --p;
    span base{p, static_cast<size_t>(volume.p + volume.n - p)};
    if (base.n < 4 || memcmp(base.p, "vm-", 3) != 0) return false;
    size_t i = 3;
    size_t digits = 0;
    while (i < base.n && base.p[i] >= '0' && base.p[i] <= '9') {
        i++;
        digits++;
    }
    const char *tail = "-cloudinit";
    size_t tail_len = strlen(tail);
    if (digits == 0 || base.n - i < tail_len || memcmp(base.p + i, tail, tail_len) != 0) return false;
    i += tail_len;
    return i == base.n || base.p[i] == '.';
}

int32_t drive_kind_span(span key, span value) {
    if (!is_disk_slot_span(key) || value.n == 0) return DRIVE_OTHER;
    // A device path is no storage reference, even when it holds a colon
    // (/dev/disk/by-path/pci-0000:00:1f.2-ata-1).
    bool device = value.p[0] == '/';
    bool volume = !device && find_char(value, ':') != nullptr;
    if (is_cdrom(value)) return volume && is_cloudinit_volume(volume_name(value)) ? DRIVE_CLOUDINIT : DRIVE_CDROM;
    if (device) return DRIVE_DEVICE;
    return volume ? DRIVE_VOLUME : DRIVE_OTHER;
}

span whole(const char *text) { return span{text, strlen(text)}; }

}  // namespace

int32_t drive_kind_of(const char *key, const char *value) {
    if (key == nullptr || value == nullptr) return DRIVE_OTHER;
    return drive_kind_span(whole(key), whole(value));
}

int is_disk_volume(const char *key, const char *value) {
    return drive_kind_of(key, value) == DRIVE_VOLUME ? 1 : 0;
}

int is_disk_slot(const char *key) {
    if (key == nullptr) return 0;
    return is_disk_slot_span(whole(key)) ? 1 : 0;
}

int drive_backup_off(const char *value) {
    if (value == nullptr) return 0;
    return drive_backup_off_span(trim(whole(value))) ? 1 : 0;
}

int split_config_line(const char *text, size_t len, char *ret_key, char *ret_value) {
    ret_key[0] = '\0';
    ret_value[0] = '\0';
    span line = trim(span{text, len});
    const char *colon = find_char(line, ':');
    if (colon == nullptr) return 0;
    size_t key_len = static_cast<size_t>(colon - line.p);
    span key = trim(span{line.p, key_len});
    span value = trim(span{colon + 1, line.n - key_len - 1});
    copy_cut(ret_key, CONFIG_KEY_SIZE, key.p, key.n);
    copy_cut(ret_value, CONFIG_VALUE_SIZE, value.p, value.n);
    return 1;
}

int for_each_config_line(const char *text, config_line_visitor visit, void *ctx) {
    if (text == nullptr) return 0;
    span rest = whole(text);
    while (rest.n > 0) {
        const char *nl = find_char(rest, '\n');
        size_t len = nl != nullptr ? static_cast<size_t>(nl - rest.p) : rest.n;
        span line = trim(span{rest.p, len});
        rest = nl != nullptr ? span{rest.p + len + 1, rest.n - len - 1} : span{rest.p + len, 0};
        if (line.n > 0 && line.p[0] == '[') return 0;
        char key[CONFIG_KEY_SIZE];
        char value[CONFIG_VALUE_SIZE];
        if (!split_config_line(line.p, line.n, key, value)) continue;
        int r = visit(key, value, ctx);
        if (r != 0) return r;
    }
    return 0;
}

int has_config_key_line(const char *text)
{
    auto proxmox_key = [](const char *key, const char *, void *) {
        if (*key == '\0')
            return 0;
        for (const char *p = key; *p != '\0'; p++)
            if (!((*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') || *p == '_' || *p == '-'))
                return 0;
        return 1;
    };
    return for_each_config_line(text, proxmox_key, nullptr) != 0 ? 1 : 0;
}

namespace {

struct value_lookup {
    const char *key;
    char *out;
    size_t out_size;
};

int take_value(const char *key, const char *value, void *ctx) {
    auto *lookup = static_cast<value_lookup *>(ctx);
    if (strcmp(key, lookup->key) != 0) return 0;
    if (lookup->out != nullptr && lookup->out_size > 0) put_text(lookup->out, lookup->out_size, "%s", value);
    return 1;
}

}  // namespace

int vm_config_value(const char *text, const char *key, char *out, size_t out_size) {
    if (out != nullptr && out_size > 0) out[0] = '\0';
    if (text == nullptr || key == nullptr) return 0;
    value_lookup lookup{key, out, out_size};
    return for_each_config_line(text, take_value, &lookup);
}

#define FAIL(...)                                                           \
    do {                                                                    \
        if (msg != nullptr && msg_size > 0) snprintf(msg, msg_size, __VA_ARGS__); \
        return -1;                                                          \
    } while (0)

int32_t parse_vm_config(const char *text, vm_volume_list *list, char *msg, size_t msg_size) {
    if (list == nullptr) return -1;
    memset(list, 0, sizeof *list);
    if (msg != nullptr && msg_size > 0) msg[0] = '\0';
    if (text == nullptr) return 0;

    size_t text_len = strnlen(text, kMaxInput + 1);
    if (text_len > kMaxInput) FAIL("qm config output is too large (> %zu bytes)", kMaxInput);
    char copy[kMaxInput + 1];
    memcpy(copy, text, text_len);
    copy[text_len] = '\0';

    span rest{copy, text_len};
    while (rest.n > 0) {
        const char *nl = find_char(rest, '\n');
        size_t len = nl != nullptr ? static_cast<size_t>(nl - rest.p) : rest.n;
        span line{rest.p, len};
        rest = nl != nullptr ? span{rest.p + len + 1, rest.n - len - 1} : span{rest.p + len, 0};

        if (line.n > 0 && line.p[line.n - 1] == '\r') line.n--;
        line = trim(line);
        if (line.n == 0) continue;
        if (line.p[0] == '[') return 0;  // snapshot and pending sections follow

        const char *colon = find_char(line, ':');
        if (colon == nullptr) continue;
        size_t key_len = static_cast<size_t>(colon - line.p);
        span key = trim(span{line.p, key_len});
        span value = trim(span{line.p + key_len + 1, line.n - key_len - 1});
        // "none", or a plain device path, is not a volume either.
        if (drive_kind_span(key, value) != DRIVE_VOLUME) continue;
        const char *vcolon = find_char(value, ':');
        size_t storage_len = static_cast<size_t>(vcolon - value.p);
        span storage = trim(span{value.p, storage_len});
        span after{value.p + storage_len + 1, value.n - storage_len - 1};
        const char *comma = find_char(after, ',');
        span volume = trim(span{after.p, comma != nullptr ? static_cast<size_t>(comma - after.p)
                                                           : after.n});

        int key_len_shown = static_cast<int>(key.n);
        if (storage.n == 0 || volume.n == 0)
            FAIL("%.*s: malformed volume reference", key_len_shown, key.p);
        if (storage.n > kMaxName || volume.n > kMaxName)
            FAIL("%.*s: storage or volume name too long", key_len_shown, key.p);
        if (list->count >= VM_MAX_VOLUMES)
            FAIL("more than %d disk-like volumes", static_cast<int>(VM_MAX_VOLUMES));

        vm_volume *row = &list->rows[list->count];
        copy_cut(row->slot, sizeof row->slot, key.p, key.n);
        copy_cut(row->storage, sizeof row->storage, storage.p, storage.n);
        copy_cut(row->volume, sizeof row->volume, volume.p, volume.n);
        row->no_backup = drive_backup_off_span(value) ? 1 : 0;
        list->count++;
    }
    return 0;
}

int vm_config_drive_option(const char *text, const char *slot, const char *name, char *out,
                           size_t out_size) {
    if (out_size > 0) out[0] = '\0';
    if (name == nullptr) return 0;
    char value[1024];
    if (vm_config_value(text, slot, value, sizeof value) != 1) return 0;
    const size_t name_len = strlen(name);
    span rest{value, strlen(value)};
    for (const char *comma = find_char(rest, ','); comma != nullptr; comma = find_char(rest, ',')) {
        rest = span{const_cast<char *>(comma) + 1, rest.n - static_cast<size_t>(comma - rest.p) - 1};
        const char *next = find_char(rest, ',');
        span opt = trim(span{rest.p, next != nullptr ? static_cast<size_t>(next - rest.p) : rest.n});
        const char *eq = find_char(opt, '=');
        if (eq == nullptr) continue;
        span key = trim(span{opt.p, static_cast<size_t>(eq - opt.p)});
        if (key.n != name_len || memcmp(key.p, name, name_len) != 0) continue;
        span v = trim(span{const_cast<char *>(eq) + 1, opt.n - static_cast<size_t>(eq - opt.p) - 1});
        if (out_size > 0) copy_cut(out, out_size, v.p, v.n);
        return 1;
    }
    return 0;
}
