// Repairing what an earlier run of the VM left behind.
#include "backup/recovery.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "backup/activation.h"
#include "backup/disks.h"
#include "backup/snapshots.h"
#include "common/log.h"
#include "common/process_info.h"
#include "common/run_dir.h"
#include "common/runner.h"
#include "common/stale_files.h"
#include "common/storage_lock.h"
#include "common/text.h"

uint32_t recovery_stop_grace_ms = 5000;

namespace {

// Waits up to recovery_stop_grace_ms for the process to end.
bool wait_gone(pid_t pid, uint64_t ticks)
{
    for (uint32_t waited = 0; waited < recovery_stop_grace_ms; waited += 20) {
        if (!process_still_runs(pid, ticks))
            return true;
        struct timespec ts = {0, 20000000L};
        nanosleep(&ts, nullptr);
    }
    return !process_still_runs(pid, ticks);
}

// A child of an earlier run led a process group of its own: the group and
// the child get SIGTERM, then SIGKILL. True once it has ended.
bool stop_process(pid_t pid, uint64_t ticks)
{
    for (int sig : {SIGTERM, SIGKILL}) {
        if (!process_still_runs(pid, ticks))
            return true;
        kill(-pid, sig);
        kill(pid, sig);
        if (wait_gone(pid, ticks))
            return true;
    }
    return false;
}

// One snapshot that may be left: where its name came from and, when the
// listing shows it, what it is.
struct candidate {
    char vg[128];
    char lv[128];
    bool from_state;
    bool exists;
    char tags[512];
    char origin[128];
};

struct candidate_list {
    candidate rows[2 * VM_MAX_VOLUMES];
    size_t count;
};

void add_candidate(candidate_list *list, const char *vg, size_t vg_len, const char *lv, bool from_state)
{
    char vg_name[128];
    copy_cut(vg_name, sizeof vg_name, vg, vg_len);
    for (size_t i = 0; i < list->count; i++) {
        if (strcmp(list->rows[i].vg, vg_name) == 0 && strcmp(list->rows[i].lv, lv) == 0) {
            list->rows[i].from_state = list->rows[i].from_state || from_state;
            return;
        }
    }
    if (list->count == sizeof list->rows / sizeof list->rows[0])
        return;
    candidate &row = list->rows[list->count++];
    memset(&row, 0, sizeof row);
    put_text(row.vg, sizeof row.vg, "%s", vg_name);
    put_text(row.lv, sizeof row.lv, "%s", lv);
    row.from_state = from_state;
}

// The listing field between separators, trimmed at both ends.
void take_field(char **cursor, char *out, size_t out_size)
{
    char *start = *cursor;
    char *bar = strchr(start, '|');
    size_t len = bar != nullptr ? static_cast<size_t>(bar - start) : strlen(start);
    *cursor = bar != nullptr ? bar + 1 : start + len;
    while (len > 0 && (*start == ' ' || *start == '\t')) {
        start++;
        len--;
    }
    while (len > 0 && (start[len - 1] == ' ' || start[len - 1] == '\t' || start[len - 1] == '\r'))
        len--;
    copy_cut(out, out_size, start, len);
}

// Finds the candidates in the lvs listing of their volume groups. 0, or -1
// with the reason.
int32_t look_up(candidate_list *list, char *msg, size_t msg_size)
{
    const char *argv[8 + 2 * VM_MAX_VOLUMES] = {"lvs", "--noheadings", "--separator", "|", "-o",
                                                "vg_name,lv_name,lv_tags,origin"};
    size_t argc = 6;
    for (size_t i = 0; i < list->count; i++) {
        bool seen = false;
        for (size_t j = 0; j < i; j++)
            seen = seen || strcmp(list->rows[j].vg, list->rows[i].vg) == 0;
        if (!seen)
            argv[argc++] = list->rows[i].vg;
    }
    argv[argc] = nullptr;
    // Read whole, however many volumes the groups hold: a snapshot left at
    // the end of a long listing must not go unseen.
    captured_text listing;
    char failure[512];
    if (read_lvs_listing(argv, &listing, failure, sizeof failure) != 0) {
        trim_trailing_space(failure);
        put_text(msg, msg_size, "lvs failed: %.300s", failure[0] != '\0' ? failure : "unknown error");
        return -1;
    }
    char *line = listing.text();
    while (line != nullptr && *line != '\0') {
        char *newline = strchr(line, '\n');
        if (newline != nullptr)
            *newline = '\0';
        char vg[128], lv[128], tags[512], origin[128];
        char *cursor = line;
        take_field(&cursor, vg, sizeof vg);
        take_field(&cursor, lv, sizeof lv);
        take_field(&cursor, tags, sizeof tags);
        take_field(&cursor, origin, sizeof origin);
        for (size_t i = 0; i < list->count; i++) {
            candidate &row = list->rows[i];
            if (strcmp(row.vg, vg) == 0 && strcmp(row.lv, lv) == 0) {
                row.exists = true;
                put_text(row.tags, sizeof row.tags, "%s", tags);
                put_text(row.origin, sizeof row.origin, "%s", origin);
            }
        }
        line = newline != nullptr ? newline + 1 : nullptr;
    }
    return 0;
}

bool has_tag(const char *tags, const char *tag)
{
    size_t len = strlen(tag);
    for (const char *p = tags; *p != '\0';) {
        const char *comma = strchr(p, ',');
        size_t item = comma != nullptr ? static_cast<size_t>(comma - p) : strlen(p);
        if (item == len && strncmp(p, tag, len) == 0)
            return true;
        if (comma == nullptr)
            break;
        p = comma + 1;
    }
    return false;
}

// Whether lv is the snapshot name of `name` and its origin (when the
// listing shows one) is that very volume.
bool snapshot_of(const candidate &row, const char *name)
{
    char expected[128];
    snapshot_lv_name(name, expected, sizeof expected);
    return strcmp(expected, row.lv) == 0 && (row.origin[0] == '\0' || strcmp(row.origin, name) == 0);
}

// A snapshot of one of this VM's disks: named after a disk-like volume of
// its configuration or after the LV of a disk being backed up.
bool of_this_vm(const candidate &row, const vm_volume_list *volumes, const resolved_disk_list *disks)
{
    for (uint64_t i = 0; i < volumes->count && i < VM_MAX_VOLUMES; i++)
        if (snapshot_of(row, volumes->rows[i].volume))
            return true;
    for (uint64_t i = 0; i < disks->count && i < VM_MAX_VOLUMES; i++)
        if (disks->rows[i].status == RESOLVED_LVM && strcmp(disks->rows[i].lv.vg_name, row.vg) == 0 &&
            snapshot_of(row, disks->rows[i].lv.lv_name))
            return true;
    return false;
}

// Every snapshot found must be provably ours before any is removed.
int32_t check_ours(const char *vmid, const candidate_list *list, const vm_volume_list *volumes,
                   const resolved_disk_list *disks)
{
    for (size_t i = 0; i < list->count; i++) {
        const candidate &row = list->rows[i];
        if (!row.exists)
            continue;
        if (!has_tag(row.tags, "vlt_agent")) {
            log_write(LOG_LEVEL_ERROR,
                      "VM %s: %s/%s exists but does not carry the tag vlt_agent, so it is not a snapshot of "
                      "vlt_proxmox: not removed (rename or remove it by hand; the backup needs its name)",
                      vmid, row.vg, row.lv);
            return -1;
        }
        if (!of_this_vm(row, volumes, disks)) {
            log_write(LOG_LEVEL_ERROR,
                      "VM %s: %s/%s%s is not the snapshot of a disk of this VM%s%s%s: not removed (remove it by "
                      "hand if nothing needs it)",
                      vmid, row.vg, row.lv, row.from_state ? ", named by the state file of an earlier run," : "",
                      row.origin[0] != '\0' ? " (its origin is " : "", row.origin,
                      row.origin[0] != '\0' ? ")" : "");
            return -1;
        }
    }
    return 0;
}

// The storage whose lock covers the removal of snapshot vg/lv: that of
// the disk it was taken of, else that of another disk on the volume group.
// Empty when no disk of the run is on it.
const char *storage_on(const resolved_disk_list *disks, const char *vg, const char *lv)
{
    const char *found = "";
    for (uint64_t i = 0; i < disks->count && i < VM_MAX_VOLUMES; i++) {
        const resolved_disk &row = disks->rows[i];
        if (row.status != RESOLVED_LVM || strcmp(row.lv.vg_name, vg) != 0)
            continue;
        char snap[128];
        snapshot_lv_name(row.lv.lv_name, snap, sizeof snap);
        if (strcmp(snap, lv) == 0)
            return row.volume.storage;
        if (found[0] == '\0')
            found = row.volume.storage;
    }
    return found;
}

}  // namespace

int32_t recover_guest(const char *vmid, const vm_run_lock &lock, uint32_t guest_cmd_limit, earlier_run *earlier)
{
    earlier->found = false;
    run_state &st = earlier->state;
    char name[64];
    run_state_name(lock.vmid(), name, sizeof name);
    char msg[768];
    int32_t rc = run_state_read(lock.dirfd(), lock.vmid(), &st, msg, sizeof msg);
    if (rc == 1)
        return 0;
    if (rc < 0) {
        log_write(LOG_LEVEL_ERROR,
                  "VM %s: cannot use the state file %s/%s of an earlier run: %s (nothing was repaired or "
                  "frozen: check the guest with 'qm guest cmd %s fsfreeze-status' and look for its "
                  "*_vltsnap snapshots, then remove the file)",
                  vmid, run_dir_path(), name, msg, vmid);
        return -1;
    }
    if (process_still_runs(st.pid, st.start_ticks)) {
        log_write(LOG_LEVEL_ERROR,
                  "VM %s: the state file %s/%s names process %d, which still runs: nothing was repaired or frozen",
                  vmid, run_dir_path(), name, static_cast<int>(st.pid));
        return -1;
    }
    earlier->found = true;
    bool changed = false;

    if (st.child_pid > 0) {
        if (process_still_runs(st.child_pid, st.child_ticks)) {
            if (!stop_process(st.child_pid, st.child_ticks)) {
                log_write(LOG_LEVEL_ERROR,
                          "VM %s: %s (process %d) of an earlier run (process %d) that ended abnormally still runs "
                          "and could not be stopped",
                          vmid, st.child_kind, static_cast<int>(st.child_pid), static_cast<int>(st.pid));
                return -1;
            }
            log_write(LOG_LEVEL_WARN,
                      "VM %s: %s (process %d) of an earlier run (process %d) that ended abnormally was still "
                      "running: stopped",
                      vmid, st.child_kind, static_cast<int>(st.child_pid), static_cast<int>(st.pid));
        }
        st.child_kind[0] = '\0';
        st.child_pid = 0;
        st.child_ticks = 0;
        changed = true;
    }
    if (st.secret_file[0] != '\0') {
        remove_left_file("secret file", st.secret_file, st.pid);
        st.secret_file[0] = '\0';
        changed = true;
    }
    if (st.vmconfig_file[0] != '\0') {
        remove_left_file("temporary file", st.vmconfig_file, st.pid);
        st.vmconfig_file[0] = '\0';
        changed = true;
    }
    if (st.frozen) {
        int32_t thaws = 0;
        if (thaw_guest_confirmed(vmid, guest_cmd_limit, false, &thaws, msg, sizeof msg) != 0) {
            log_write(LOG_LEVEL_ERROR,
                      "VM %s: an earlier run (process %d) ended abnormally and may have left the guest frozen, "
                      "and %s: nothing was frozen (check the guest; once it answers thawed, or after %s/%s is "
                      "removed, the next run goes on)",
                      vmid, static_cast<int>(st.pid), msg, run_dir_path(), name);
            return -1;
        }
        if (thaws > 0)
            log_write(LOG_LEVEL_WARN, "VM %s: an earlier run (process %d) ended abnormally and left the guest frozen: thawed",
                      vmid, static_cast<int>(st.pid));
        st.frozen = 0;
        changed = true;
    }
    if (changed && run_state_write(lock.dirfd(), &st, msg, sizeof msg) != 0) {
        log_write(LOG_LEVEL_ERROR, "VM %s: cannot write the state file %s/%s: %s", vmid, run_dir_path(), name, msg);
        return -1;
    }
    return 0;
}

int32_t recover_snapshots(const char *vmid, const vm_run_lock &lock, const vm_volume_list *volumes,
                          const resolved_disk_list *disks, earlier_run *earlier)
{
    std::unique_ptr<candidate_list> list(new (std::nothrow) candidate_list);
    if (!list) {
        log_write(LOG_LEVEL_ERROR, "VM %s: out of memory", vmid);
        return -1;
    }
    list->count = 0;
    for (uint64_t i = 0; i < disks->count && i < VM_MAX_VOLUMES; i++) {
        const resolved_disk &row = disks->rows[i];
        if (row.status != RESOLVED_LVM)
            continue;
        char snap[128];
        snapshot_lv_name(row.lv.lv_name, snap, sizeof snap);
        add_candidate(list.get(), row.lv.vg_name, strlen(row.lv.vg_name), snap, false);
    }
    if (earlier->found) {
        for (uint32_t i = 0; i < earlier->state.snapshot_count; i++) {
            const char *name = earlier->state.snapshots[i];
            const char *slash = strchr(name, '/');  // checked when the file was read
            add_candidate(list.get(), name, static_cast<size_t>(slash - name), slash + 1, true);
        }
    }
    char msg[512];
    if (list->count > 0 && look_up(list.get(), msg, sizeof msg) != 0) {
        log_write(LOG_LEVEL_ERROR, "VM %s: cannot look for snapshots left by an earlier run: %s", vmid, msg);
        return -1;
    }
    if (check_ours(vmid, list.get(), volumes, disks) != 0)
        return -1;
    for (size_t i = 0; i < list->count; i++) {
        const candidate &row = list->rows[i];
        if (!row.exists)
            continue;
        storage_locks lock;
        lock_storage_or_warn(&lock, storage_on(disks, row.vg, row.lv));
        if (remove_snapshot(row.vg, row.lv, msg, sizeof msg) != 0) {
            log_write(LOG_LEVEL_ERROR, "VM %s: cannot remove the snapshot %s/%s that an earlier run left: %s", vmid,
                      row.vg, row.lv, msg);
            return -1;
        }
        log_write(LOG_LEVEL_WARN, "VM %s: snapshot %s/%s was left by an earlier run that ended abnormally: removed",
                  vmid, row.vg, row.lv);
    }
    if (earlier->found && run_state_remove(lock.dirfd(), lock.vmid(), msg, sizeof msg) != 0)
        log_write(LOG_LEVEL_WARN, "VM %s: cannot remove the state file of an earlier run: %s", vmid, msg);
    earlier->found = false;
    return 0;
}
