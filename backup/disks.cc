// Disk resolution: pvesm gives each volume's device node, and the lvs
// listing tells which logical volume has that node's device numbers.
#include "backup/disks.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "common/runner.h"
#include "common/text.h"

namespace {

const size_t kLvsBufferSize = 262144;

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// A field of the listing, trimmed at both ends, as a pointer and a length.
struct field {
    const char *start;
    size_t len;
};

int64_t parse_kernel_number(const field &f)
{
    if (f.len == 0)
        return -1;
    char text[32];
    copy_cut(text, sizeof text, f.start, f.len);
    return strtoll(text, nullptr, 10);
}

}  // namespace

bool is_thin_lv(const lv_info *lv)
{
    return lv->attr[0] == 'V' || strstr(lv->segtype, "thin") != nullptr;
}

int32_t parse_lvs_line(const char *line, lv_info *out)
{
    size_t line_len = strlen(line);
    if (line_len > 1023)
        return -1;

    field fields[8];
    size_t count = 0;
    const char *pos = line;
    const char *end = line + line_len;
    while (count < 8) {
        const char *bar = static_cast<const char *>(memchr(pos, '|', static_cast<size_t>(end - pos)));
        const char *stop = bar != nullptr ? bar : end;  // a ninth field is dropped
        fields[count].start = pos;
        fields[count].len = static_cast<size_t>(stop - pos);
        count++;
        if (bar == nullptr)
            break;
        pos = bar + 1;
    }
    if (count < 8)
        return -1;  // fewer than seven separators

    for (field &f : fields) {
        while (f.len > 0 && is_space(f.start[0])) {
            f.start++;
            f.len--;
        }
        while (f.len > 0 && is_space(f.start[f.len - 1]))
            f.len--;
    }
    if (fields[0].len == 0 || fields[1].len == 0 || fields[2].len == 0)
        return -1;
    size_t digits = 0;
    while (digits < fields[3].len && fields[3].start[digits] == ' ')
        digits++;
    if (digits >= fields[3].len || !isdigit(static_cast<unsigned char>(fields[3].start[digits])))
        return -1;

    memset(out, 0, sizeof *out);
    copy_cut(out->vg_name, sizeof out->vg_name, fields[0].start, fields[0].len);
    copy_cut(out->lv_name, sizeof out->lv_name, fields[1].start, fields[1].len);
    copy_cut(out->attr, sizeof out->attr, fields[2].start, fields[2].len);
    copy_cut(out->segtype, sizeof out->segtype, fields[4].start, fields[4].len);
    copy_cut(out->origin, sizeof out->origin, fields[5].start, fields[5].len);
    char size_text[32];
    copy_cut(size_text, sizeof size_text, fields[3].start, fields[3].len);
    out->size = strtoull(size_text, nullptr, 10);
    out->kernel_major = parse_kernel_number(fields[6]);
    out->kernel_minor = parse_kernel_number(fields[7]);
    return 0;
}

int32_t find_lv_by_device(const char *device_path, lv_info *out, char *msg, size_t msg_size)
{
    struct stat st;
    if (stat(device_path, &st) != 0 || !S_ISBLK(st.st_mode))
        return 1;
    int64_t want_major = static_cast<int64_t>(major(st.st_rdev));
    int64_t want_minor = static_cast<int64_t>(minor(st.st_rdev));

    std::unique_ptr<char[]> listing(new (std::nothrow) char[kLvsBufferSize]);
    if (!listing)
        return -1;

    static const char *const argv[] = {
        "lvs", "--noheadings", "--separator", "|", "--units", "b", "--nosuffix", "-o",
        "vg_name,lv_name,lv_attr,lv_size,segtype,origin,lv_kernel_major,lv_kernel_minor", nullptr};
    command_result result;
    int32_t rc = run_command(argv, 30, listing.get(), kLvsBufferSize, &result);
    if (rc != 0 || result.exit_code != 0) {
        if (result.exit_code == 127) {
            snprintf(msg, msg_size, "%s", "the lvm tools (lvs) are not installed");
            return 1;
        }
        snprintf(msg, msg_size, "%s", listing.get());
        return -1;
    }

    char *cursor = listing.get();
    while (*cursor != '\0') {
        char *newline = strchr(cursor, '\n');
        if (newline != nullptr)
            *newline = '\0';
        lv_info candidate;
        if (*cursor != '\0' && parse_lvs_line(cursor, &candidate) == 0 &&
            candidate.kernel_major == want_major && candidate.kernel_minor == want_minor) {
            *out = candidate;
            return 0;
        }
        if (newline == nullptr)
            break;
        cursor = newline + 1;
    }
    return 1;
}

int32_t resolve_disks(const vm_volume_list *selection, resolved_disk_list *list, char *msg,
                      size_t msg_size)
{
    memset(list, 0, sizeof *list);
    if (msg_size > 0)
        msg[0] = '\0';
    uint64_t count = selection->count;
    if (count > VM_MAX_VOLUMES)
        count = VM_MAX_VOLUMES;
    list->count = count;

    for (uint64_t i = 0; i < count; i++) {
        resolved_disk &row = list->rows[i];
        row.volume = selection->rows[i];

        char volume_id[280];
        snprintf(volume_id, sizeof volume_id, "%s:%s", row.volume.storage, row.volume.volume);
        const char *argv[] = {"pvesm", "path", volume_id, nullptr};
        char output[512];
        command_result result;
        if (run_pve_tool(argv, 30, output, sizeof output, &result, msg, msg_size) != 0)
            return -1;
        trim_trailing_space(output);
        if (result.exit_code != 0) {
            row.status = RESOLVED_FAILED;
            snprintf(row.message, sizeof row.message, "pvesm path failed: %.200s",
                     output[0] != '\0' ? output : "unknown error");
            continue;
        }
        if (output[0] == '\0') {
            row.status = RESOLVED_FAILED;
            snprintf(row.message, sizeof row.message, "pvesm path returned an empty path");
            continue;
        }
        copy_cut(row.device_path, sizeof row.device_path, output, strlen(output));

        char lookup_msg[256] = "";
        int32_t found = find_lv_by_device(row.device_path, &row.lv, lookup_msg, sizeof lookup_msg);
        if (found < 0) {
            row.status = RESOLVED_FAILED;
            snprintf(row.message, sizeof row.message, "%s",
                     lookup_msg[0] != '\0' ? lookup_msg : "lvm lookup failed");
        } else if (found == 1) {
            row.status = RESOLVED_NOT_LVM;
            memset(&row.lv, 0, sizeof row.lv);
            // The device path may be longer than the message row: the text is cut.
            put_text(row.message, sizeof row.message,
                     "%s is not an LVM logical volume (storage backend other than LVM/LVM-thin)",
                     row.device_path);
        } else {
            row.status = RESOLVED_LVM;
        }
    }
    return 0;
}

bool require_all_lvm(const resolved_disk_list *list, char *msg, size_t msg_size)
{
    if (msg_size > 0)
        msg[0] = '\0';
    if (list->count == 0) {
        snprintf(msg, msg_size, "the VM has no disk-like volumes to back up");
        return false;
    }
    char problems[2048] = "";
    size_t used = 0;
    bool any = false;
    for (uint64_t i = 0; i < list->count && i < VM_MAX_VOLUMES; i++) {
        const resolved_disk &row = list->rows[i];
        if (row.status == RESOLVED_LVM)
            continue;
        any = true;
        char entry[1024];
        int len = snprintf(entry, sizeof entry, "%s%s (%s:%s) %s: %s", used > 0 ? "; " : "",
                           row.volume.slot, row.volume.storage, row.volume.volume,
                           row.status == RESOLVED_NOT_LVM ? "not LVM-backed" : "lookup failed",
                           row.message);
        if (len < 0 || static_cast<size_t>(len) >= sizeof entry ||
            used + static_cast<size_t>(len) >= sizeof problems)
            continue;  // an entry that does not fit whole is left off
        memcpy(problems + used, entry, static_cast<size_t>(len) + 1);
        used += static_cast<size_t>(len);
    }
    if (any) {
        snprintf(msg, msg_size,
                 "not every disk is LVM-backed (this version only supports LVM/LVM-thin): %s",
                 problems);
        return false;
    }
    return true;
}
