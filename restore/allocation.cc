// New volumes through pvesm alloc, their device paths through pvesm path,
// and pvesm free for each of them when the restore is rolled back.
#include "restore/allocation.h"

#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "common/log.h"
#include "common/runner.h"
#include "common/text.h"

namespace {

const char *const created_marker = "successfully created '";

const uint32_t path_time_limit = 30;
const uint32_t free_time_limit = 30;
// Room for the answers and whatever Perl may print before them.
const size_t alloc_output_size = 4096;
const size_t path_output_size = 4096;
const size_t free_output_size = 4096;


// The volume id goes into pvesm command lines and into a disk line of the
// new VM's configuration. White space, a control character, ',' or '=' in
// it would end or split that line's volume (output that only looks like
// the line): no volume id of Proxmox has one.
bool has_unsafe_char(const char *begin, const char *end) {
    for (const char *p = begin; p < end; ++p) {
        unsigned char u = static_cast<unsigned char>(*p);
        if (u <= ' ' || u == 0x7f || u == ',' || u == '=') return true;
    }
    return false;
}

// The text quoted for a failed tool whose output is empty.
const char *failure_detail(const char *output) {
    return output[0] != '\0' ? output : "unknown error";
}

// Runs pvesm path for a volume id. 0 with the device path in ret_path, or
// -1 with the failure text.
int32_t run_pvesm_path(const char *volid, char *ret_path, size_t path_size, char *err, size_t err_size) {
    const char *argv[] = {"pvesm", "path", volid, nullptr};
    char output[path_output_size];
    command_result res{};
    if (run_pve_tool(argv, path_time_limit, output, sizeof output, &res, err, err_size) != 0) return -1;
    trim_trailing_space(output);
    if (res.exit_code != 0) {
        put_text(err, err_size, "pvesm path %s failed: %.300s", volid, failure_detail(output));
        return -1;
    }
    if (output[0] == '\0') {
        put_text(err, err_size, "pvesm path %s returned an empty path", volid);
        return -1;
    }
    // The answer is the last line that is an absolute path: Perl may have
    // complained about the locale first.
    size_t len = 0;
    const char *path = last_line_starting_with(output, '/', &len);
    if (path == nullptr) {
        put_text(err, err_size, "pvesm path %s returned no device path: %.300s", volid, output);
        return -1;
    }
    if (len >= DEVICE_PATH_SIZE || len >= path_size) {
        put_text(err, err_size, "device path too long: %.*s", static_cast<int>(len), path);
        return -1;
    }
    memcpy(ret_path, path, len);
    ret_path[len] = '\0';
    return 0;
}

bool in_list(const allocation_list *list, const char *storage, const char *volume) {
    for (uint64_t i = 0; i < list->count; i++)
        if (strcmp(list->rows[i].storage, storage) == 0 && strcmp(list->rows[i].volume, volume) == 0) return true;
    return false;
}

// True when the volume's device (or file) is there.
bool volume_exists(const char *storage, const char *volume) {
    char volid[ALLOC_VOLID_SIZE];
    put_text(volid, sizeof volid, "%s:%s", storage, volume);
    char path[DEVICE_PATH_SIZE];
    char err[ALLOC_MESSAGE_SIZE];
    struct stat st;
    return run_pvesm_path(volid, path, sizeof path, err, sizeof err) == 0 &&
           stat(path, &st) == 0;
}

void warn_left_volume(const char *storage, const char *volume, int64_t vmid, const char *how) {
    log_write(LOG_LEVEL_WARN,
              "%s:%s may have been created by the pvesm alloc for VM %ld that %s: remove it with "
              "'pvesm free %s:%s' unless a VM uses it",
              storage, volume, static_cast<long>(vmid), how, storage, volume);
}

// After a pvesm alloc that ended without naming its volume: the names it
// uses (the given one, or vm-<vmid>-disk-<n> from 0 up to the first that is
// not there), each one that exists and is not ours named in a WARN.
void look_for_left_volume(const char *storage, int64_t vmid, const char *name, const allocation_list *list,
                          const char *how) {
    if (name[0] != '\0') {
        if (!in_list(list, storage, name) && volume_exists(storage, name))
            warn_left_volume(storage, name, vmid, how);
        return;
    }
    for (int k = 0; k < 1024; k++) {
        char volume[ALLOC_NAME_SIZE];
        put_text(volume, sizeof volume, "vm-%ld-disk-%d", static_cast<long>(vmid), k);
        if (in_list(list, storage, volume)) continue;
        if (!volume_exists(storage, volume)) return;
        warn_left_volume(storage, volume, vmid, how);
    }
}

}  // namespace

uint32_t alloc_time_limit_seconds = 60;

int32_t format_alloc_size(uint64_t bytes, char *buf, size_t buf_size) {
    // Divide first: adding 1023 before dividing would wrap for sizes close
    // to 2^64 and ask for 1 KiB.
    unsigned long long kib = bytes / 1024 + (bytes % 1024 != 0 ? 1 : 0);
    if (kib == 0) kib = 1;
    if (buf_size == 0) return -1;
    int n = snprintf(buf, buf_size, "%llu", kib);
    if (n < 0 || static_cast<size_t>(n) >= buf_size) {
        buf[0] = '\0';
        return -1;
    }
    return 0;
}

int32_t parse_alloc_output(const char *output, char *ret_storage, size_t storage_size,
                           char *ret_volume, size_t volume_size, char *err, size_t err_size) {
    if (storage_size) ret_storage[0] = '\0';
    if (volume_size) ret_volume[0] = '\0';
    if (err_size) err[0] = '\0';

    if (output == nullptr || output[0] == '\0') {
        put_text(err, err_size, "empty pvesm alloc output");
        return -1;
    }
    const char *start = strstr(output, created_marker);
    if (start == nullptr) {
        put_text(err, err_size,
                 "no \"successfully created '...'\" line in pvesm alloc output: %.200s", output);
        return -1;
    }
    start += strlen(created_marker);
    const char *end = strchr(start, '\'');
    if (end == nullptr || end == start || has_unsafe_char(start, end) || *start == ':') {
        put_text(err, err_size,
                 "malformed \"successfully created '...'\" line in pvesm alloc output");
        return -1;
    }
    const char *colon = static_cast<const char *>(memchr(start, ':', end - start));
    if (colon == nullptr) {
        put_text(err, err_size,
                 "\"successfully created '...'\" line has no storage:volume separator");
        return -1;
    }
    size_t storage_len = colon - start;
    size_t volume_len = end - (colon + 1);
    if (volume_len == 0) {  // "<storage>:" names no volume a disk line can hold
        put_text(err, err_size,
                 "malformed \"successfully created '...'\" line in pvesm alloc output");
        return -1;
    }
    if (storage_len >= storage_size || volume_len >= volume_size) {
        put_text(err, err_size, "storage or volume name too long in pvesm alloc output");
        return -1;
    }
    memcpy(ret_storage, start, storage_len);
    ret_storage[storage_len] = '\0';
    memcpy(ret_volume, colon + 1, volume_len);
    ret_volume[volume_len] = '\0';
    return 0;
}

int32_t allocate_volume(const char *storage, int64_t vmid, const char *name, const char *size_text,
                        allocation_list *list, char *err, size_t err_size) {
    if (err_size) err[0] = '\0';
    char msg[ALLOC_MESSAGE_SIZE];
    if (list->count >= ALLOC_MAX_VOLUMES) {
        put_text(err, err_size, "more than %d volumes to allocate",
                 static_cast<int>(ALLOC_MAX_VOLUMES));
        return -1;
    }

    char vmid_text[24];
    put_text(vmid_text, sizeof vmid_text, "%ld", static_cast<long>(vmid));
    // The empty name lets pvesm pick the next free vm-<vmid>-disk-<n>.
    const char *argv[] = {"pvesm", "alloc", storage, vmid_text, name, size_text, nullptr};
    char output[alloc_output_size];
    command_result res{};
    if (run_pve_tool(argv, alloc_time_limit_seconds, output, sizeof output, &res, err, err_size) != 0)
        return -1;
    char shown_name[ALLOC_NAME_SIZE + 2];
    put_text(shown_name, sizeof shown_name, name[0] != '\0' ? "%s" : "\"%s\"", name);
    allocated_volume vol{};
    char parse_err[ALLOC_MESSAGE_SIZE];
    if (res.exit_code != 0) {
        trim_trailing_space(output);
        const char *how = res.timed_out ? "timed out" : res.exit_code < 0 ? "was killed" : nullptr;
        if (how == nullptr) {
            put_text(msg, sizeof msg, "pvesm alloc %s %ld %s %s failed: %.300s", storage,
                     static_cast<long>(vmid), shown_name, size_text, output);
        } else {
            // It may have got as far as creating the volume.
            if (parse_alloc_output(output, vol.storage, sizeof vol.storage, vol.volume, sizeof vol.volume,
                                   parse_err, sizeof parse_err) == 0)
                list->rows[list->count++] = vol;
            else
                look_for_left_volume(storage, vmid, name, list, how);
            if (res.timed_out)
                put_text(msg, sizeof msg, "pvesm alloc %s %ld %s %s timed out after %u s", storage,
                         static_cast<long>(vmid), shown_name, size_text, alloc_time_limit_seconds);
            else
                put_text(msg, sizeof msg, "pvesm alloc %s %ld %s %s was killed", storage, static_cast<long>(vmid),
                         shown_name, size_text);
        }
        put_text(err, err_size, "%s", msg);
        return -1;
    }

    if (parse_alloc_output(output, vol.storage, sizeof vol.storage, vol.volume, sizeof vol.volume,
                           parse_err, sizeof parse_err) != 0) {
        put_text(msg, sizeof msg, "could not parse pvesm alloc output: %s", parse_err);
        put_text(err, err_size, "%s", msg);
        return -1;
    }
    list->rows[list->count++] = vol;
    return 0;
}

int32_t volume_device_path(const allocated_volume *vol, char *ret_path, size_t path_size,
                           char *err, size_t err_size) {
    if (err_size) err[0] = '\0';
    char volid[ALLOC_VOLID_SIZE];
    put_text(volid, sizeof volid, "%s:%s", vol->storage, vol->volume);
    return run_pvesm_path(volid, ret_path, path_size, err, err_size);
}

void rollback_allocations(const allocated_volume *list, uint64_t count) {
    // First allocated first: the order the operator saw them being created.
    for (uint64_t i = 0; i < count; ++i) {
        char volid[ALLOC_VOLID_SIZE];
        put_text(volid, sizeof volid, "%s:%s", list[i].storage, list[i].volume);
        const char *argv[] = {"pvesm", "free", volid, nullptr};
        char output[free_output_size];
        command_result res{};
        int32_t rc = run_command(argv, free_time_limit, output, sizeof output, &res);
        // pvesm free runs its removal as a task and exits 0 even when the task
        // failed, printing only the task's error; success is the line
        // "Removed volume '<volid>'". Without it the volume may still be there.
        char removed[ALLOC_VOLID_SIZE + 32];
        put_text(removed, sizeof removed, "Removed volume '%s'", volid);
        if (rc != 0 || res.exit_code != 0 || strstr(output, removed) == nullptr) {
            trim_trailing_space(output);
            log_write(LOG_LEVEL_WARN, "could not roll back allocated volume %s: remove it manually (%s)",
                      volid, output);
        }
    }
}
