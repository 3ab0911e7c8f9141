// The backup's own line in the configuration text it stores: writing it
// at backup time, reading it at restore time.
#include "vmconfig/backup_record.h"

#include <cstring>

#include "common/text.h"

const char *const backup_record_key = "#vlt_proxmox_backup";

namespace {

// Appends the names of the slots whose want_failed matches, joined by ",".
size_t append_list(char *out, size_t out_size, size_t len, const char *const *slots, const int32_t *failed,
                   size_t count, bool only_failed) {
    bool first = true;
    for (size_t i = 0; i < count; i++) {
        if (only_failed && !failed[i]) continue;
        len += static_cast<size_t>(put_text(out + len, out_size - len, "%s%s", first ? "" : ",", slots[i]));
        first = false;
        if (len >= out_size) return out_size;
    }
    return len;
}

// Adds every slot of a comma-separated list to the record, or marks it
// failed when `failed` is set.
void take_list(const char *list, size_t len, bool failed, backup_record *rec) {
    const char *end = list + len;
    while (list < end) {
        const char *comma = static_cast<const char *>(memchr(list, ',', static_cast<size_t>(end - list)));
        const char *stop = comma != nullptr ? comma : end;
        char slot[24];
        size_t n = static_cast<size_t>(stop - list);
        if (n > 0 && n < sizeof slot) {
            memcpy(slot, list, n);
            slot[n] = '\0';
            if (is_disk_slot(slot)) {
                int32_t row = backup_record_find(rec, slot);
                if (failed && row >= 0) {
                    rec->failed[row] = 1;
                } else if (!failed && row < 0 && rec->count < VM_MAX_VOLUMES) {
                    memcpy(rec->slots[rec->count], slot, n + 1);
                    rec->failed[rec->count++] = 0;
                }
            }
        }
        list = stop + 1;
    }
}

int read_record_line(const char *key, const char *value, void *ctx) {
    if (strcmp(key, backup_record_key) != 0) return 0;
    auto *rec = static_cast<backup_record *>(ctx);
    rec->found = 1;
    // Words separated by blanks: "disks=..." first, then "failed=...";
    // words this version does not know are passed over.
    const char *failed_list = nullptr;
    size_t failed_len = 0;
    for (const char *p = value; *p != '\0';) {
        while (*p == ' ' || *p == '\t') p++;
        const char *end = p;
        while (*end != '\0' && *end != ' ' && *end != '\t') end++;
        size_t n = static_cast<size_t>(end - p);
        if (n > 6 && strncmp(p, "disks=", 6) == 0) {
            take_list(p + 6, n - 6, false, rec);
        } else if (n > 7 && strncmp(p, "failed=", 7) == 0) {
            failed_list = p + 7;
            failed_len = n - 7;
        }
        p = end;
    }
    if (failed_list != nullptr) take_list(failed_list, failed_len, true, rec);
    return 1;  // the first such line counts
}

}  // namespace

int32_t append_backup_record(char *buf, size_t buf_size, const char *const *slots, const int32_t *failed,
                             size_t count) {
    size_t have = strnlen(buf, buf_size);
    if (have >= buf_size) return -1;
    char line[VM_MAX_VOLUMES * 2 * 25 + 64];
    size_t len = static_cast<size_t>(
        put_text(line, sizeof line, "%s%s: disks=", have > 0 && buf[have - 1] != '\n' ? "\n" : "", backup_record_key));
    len = append_list(line, sizeof line, len, slots, failed, count, false);
    bool any_failed = false;
    for (size_t i = 0; i < count; i++) any_failed = any_failed || failed[i] != 0;
    if (any_failed && len < sizeof line) {
        len += static_cast<size_t>(put_text(line + len, sizeof line - len, " failed="));
        if (len < sizeof line) len = append_list(line, sizeof line, len, slots, failed, count, true);
    }
    if (len < sizeof line) len += static_cast<size_t>(put_text(line + len, sizeof line - len, "\n"));
    if (len >= sizeof line || have + len >= buf_size) return -1;
    memcpy(buf + have, line, len + 1);
    return 0;
}

void read_backup_record(const char *text, backup_record *ret_record) {
    memset(ret_record, 0, sizeof *ret_record);
    (void)for_each_config_line(text, read_record_line, ret_record);
}

int32_t backup_record_find(const backup_record *record, const char *slot) {
    for (uint64_t i = 0; i < record->count && i < VM_MAX_VOLUMES; i++)
        if (strcmp(record->slots[i], slot) == 0) return static_cast<int32_t>(i);
    return -1;
}
