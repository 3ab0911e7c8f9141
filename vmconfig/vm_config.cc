// The VM configuration parser: the disk-like volumes of `qm config` text.
#include "vmconfig/vm_config.h"

#include <cstdio>
#include <cstring>

#include "common/text.h"

namespace {

constexpr size_t kMaxInput = 32767;
constexpr size_t kMaxValueScan = 511;
constexpr size_t kMaxName = 127;

const char *const kSlotPrefixes[] = {"virtio", "scsi", "sata", "ide", "tpmstate"};

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A piece of the private copy, trimmed in place by moving its ends.
struct span {
    char *p;
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

// "media=cdrom" among the comma-separated options of the value.
bool is_cdrom(span value) {
    if (value.n > kMaxValueScan) return false;
    char copy[kMaxValueScan + 1];
    memcpy(copy, value.p, value.n);
    copy[value.n] = '\0';
    span rest{copy, value.n};
    while (true) {
        const char *comma = find_char(rest, ',');
        size_t len = comma != nullptr ? static_cast<size_t>(comma - rest.p) : rest.n;
        span opt = trim(span{rest.p, len});
        if (opt.n == 11 && memcmp(opt.p, "media=cdrom", 11) == 0) return true;
        if (comma == nullptr) return false;
        rest = span{rest.p + len + 1, rest.n - len - 1};
    }
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

// The parser's rule for a disk-like volume, on a trimmed key and value.
bool is_disk_volume_span(span key, span value) {
    return is_disk_slot_span(key) && value.n > 0 && !is_cdrom(value) && find_char(value, ':') != nullptr;
}

}  // namespace

int is_disk_volume(const char *key, const char *value) {
    if (key == nullptr || value == nullptr) return 0;
    span k{const_cast<char *>(key), strlen(key)};
    span v{const_cast<char *>(value), strlen(value)};
    return is_disk_volume_span(k, v) ? 1 : 0;
}

int is_disk_slot(const char *key) {
    if (key == nullptr) return 0;
    span s{const_cast<char *>(key), strlen(key)};
    return is_disk_slot_span(s) ? 1 : 0;
}

int vm_config_value(const char *text, const char *key, char *out, size_t out_size) {
    if (out != nullptr && out_size > 0) out[0] = '\0';
    if (text == nullptr || key == nullptr) return 0;
    size_t key_n = strlen(key);
    const char *p = text;
    while (*p != '\0') {
        const char *nl = strchr(p, '\n');
        size_t len = nl != nullptr ? static_cast<size_t>(nl - p) : strlen(p);
        span line = trim(span{const_cast<char *>(p), len});
        p = nl != nullptr ? nl + 1 : p + len;
        if (line.n == 0) continue;
        if (line.p[0] == '[') return 0;
        const char *colon = find_char(line, ':');
        if (colon == nullptr) continue;
        span k = trim(span{line.p, static_cast<size_t>(colon - line.p)});
        if (k.n != key_n || memcmp(k.p, key, key_n) != 0) continue;
        span v = trim(span{const_cast<char *>(colon) + 1, line.n - static_cast<size_t>(colon - line.p) - 1});
        if (out != nullptr && out_size > 0) copy_cut(out, out_size, v.p, v.n);
        return 1;
    }
    return 0;
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
        if (!is_disk_volume_span(key, value)) continue;
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
        list->count++;
    }
    return 0;
}
