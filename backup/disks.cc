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

// pvesm's answer: the path, after anything Perl may print first.
const size_t kPathOutputSize = 4096;

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

// The names of a path /dev/<vg>/<lv>; false for any other path.
bool names_from_path(const char *path, char *vg, size_t vg_size, char *lv, size_t lv_size)
{
    if (strncmp(path, "/dev/", 5) != 0)
        return false;
    const char *vg_start = path + 5;
    const char *slash = strchr(vg_start, '/');
    if (slash == nullptr || slash == vg_start || slash[1] == '\0' || strchr(slash + 1, '/') != nullptr)
        return false;
    copy_cut(vg, vg_size, vg_start, static_cast<size_t>(slash - vg_start));
    copy_cut(lv, lv_size, slash + 1, strlen(slash + 1));
    return true;
}

}  // namespace

size_t lvs_listing_max_bytes = size_t{64} << 20;

bool is_thin_lv(const lv_info *lv)
{
    return lv->attr[0] == 'V' || strstr(lv->segtype, "thin") != nullptr;
}

bool is_active_lv(const lv_info *lv)
{
    return lv->kernel_major >= 0;
}

int32_t read_lvs_listing(const char *const *argv, captured_text *out, char *msg, size_t msg_size)
{
    command_result result;
    int32_t rc = run_command_whole(argv, 30, lvs_listing_max_bytes, out, &result);
    if (rc != 0 || result.exit_code != 0) {
        if (result.exit_code == 127) {
            put_text(msg, msg_size, "%s", "the lvm tools (lvs) are not installed");
            return 1;
        }
        put_text(msg, msg_size, "%s", out->text());
        return -1;
    }
    if (out->cut()) {
        put_text(msg, msg_size, "the lvs listing is longer than %zu bytes: not read", lvs_listing_max_bytes);
        return -1;
    }
    return 0;
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
    // An existing node is matched by its device numbers; a missing one by
    // its names, since an inactive LV has no node.
    struct stat st;
    bool by_numbers = stat(device_path, &st) == 0;
    if (by_numbers && !S_ISBLK(st.st_mode))
        return 1;
    int64_t want_major = by_numbers ? static_cast<int64_t>(major(st.st_rdev)) : -1;
    int64_t want_minor = by_numbers ? static_cast<int64_t>(minor(st.st_rdev)) : -1;
    char want_vg[128], want_lv[128];
    if (!by_numbers && !names_from_path(device_path, want_vg, sizeof want_vg, want_lv, sizeof want_lv))
        return 1;

    static const char *const argv[] = {
        "lvs", "--noheadings", "--separator", "|", "--units", "b", "--nosuffix", "-o",
        "vg_name,lv_name,lv_attr,lv_size,segtype,origin,lv_kernel_major,lv_kernel_minor", nullptr};
    captured_text listing;
    int32_t read = read_lvs_listing(argv, &listing, msg, msg_size);
    if (read != 0)
        return read;

    char *cursor = listing.text();
    while (*cursor != '\0') {
        char *newline = strchr(cursor, '\n');
        if (newline != nullptr)
            *newline = '\0';
        lv_info candidate;
        if (*cursor != '\0' && parse_lvs_line(cursor, &candidate) == 0) {
            bool match = by_numbers ? candidate.kernel_major == want_major && candidate.kernel_minor == want_minor
                                    : strcmp(candidate.vg_name, want_vg) == 0 && strcmp(candidate.lv_name, want_lv) == 0;
            if (match) {
                *out = candidate;
                return 0;
            }
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
        char output[kPathOutputSize];
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
        // The answer is the last line that is an absolute path: Perl may
        // have complained about the locale first.
        size_t path_len = 0;
        const char *path = last_line_starting_with(output, '/', &path_len);
        if (path == nullptr) {
            row.status = RESOLVED_FAILED;
            snprintf(row.message, sizeof row.message, "pvesm path returned no device path: %.200s", output);
            continue;
        }
        copy_cut(row.device_path, sizeof row.device_path, path, path_len);

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
