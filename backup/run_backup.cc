// One backup of one VM: read its configuration, resolve its disks, take the
// frozen snapshot set, run the agent on every snapshot, then on the
// configuration text, and sum up.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "backup/activation.h"
#include "backup/agent_runs.h"
#include "backup/backup_options.h"
#include "backup/disks.h"
#include "backup/pool_guard.h"
#include "backup/preflight.h"
#include "backup/profile_config.h"
#include "backup/recovery.h"
#include "backup/run_backup.h"
#include "backup/run_journal.h"
#include "backup/run_lock.h"
#include "backup/run_report.h"
#include "backup/snapshot_phase.h"
#include "backup/snapshots.h"
#include "backup/vm_state.h"
#include "common/log.h"
#include "common/progress.h"
#include "common/runner.h"
#include "common/storage_lock.h"
#include "common/temp_file.h"
#include "common/text.h"
#include "vmconfig/backup_record.h"
#include "vmconfig/vm_config.h"

const char *secret_file_dir = "/dev/shm";

namespace {

// The output of qm config, kept for the configuration job.
char g_config_text[65536];

// Writes a literal api-key into a file of its own under secret_file_dir,
// known to the interrupt handler from the moment it exists (and gone, with
// the handler told, when `file` goes). 0, or -1 after logging why.
int32_t write_secret_file(temp_file *file, const char *vmid, const char *value)
{
    char tmpl[PATH_MAX];
    put_text(tmpl, sizeof tmpl, "%s/vlt_proxmox_key.%d.XXXXXX", secret_file_dir,
             static_cast<int>(getpid()));
    if (!file->create_unique(tmpl)) {
        log_write(LOG_LEVEL_ERROR, "VM %s: cannot create a secret file under %s: %s", vmid,
                  secret_file_dir, strerror(errno));
        return -1;
    }
    size_t len = strlen(value);
    bool ok = fchmod(file->fd(), 0600) == 0;
    if (ok) {
        ssize_t written = write(file->fd(), value, len);
        ok = written >= 0 && static_cast<size_t>(written) == len;
    }
    if (file->close_now() != 0)
        ok = false;
    if (!ok) {
        log_write(LOG_LEVEL_ERROR, "VM %s: cannot write the secret file under %s", vmid, secret_file_dir);
        file->remove();
        return -1;
    }
    journal_secret_file(file->path());
    return 0;
}

// Removes every snapshot the run still owns; used when the run has to end
// right after the set was taken.
void remove_all_snapshots(const snapshot_set *set)
{
    for (uint64_t i = 0; i < set->count; i++) {
        if (!g_cleanup.created[i])
            continue;
        g_cleanup.created[i] = 0;
        char removal_msg[256];
        if (release_snapshot(i, set->rows[i], removal_msg, sizeof removal_msg) != 0)
            log_write(LOG_LEVEL_WARN, "snapshot %s/%s still exists after a failed backup: remove it manually (%s)",
                      set->rows[i].vg_name, set->rows[i].snapshot_lv_name, removal_msg);
    }
}

bool slot_selected(const backup_options *opts, const char *slot)
{
    for (int32_t i = 0; i < opts->slot_count && i < BACKUP_MAX_SELECTED; i++) {
        if (opts->slots[i] != nullptr && strcmp(opts->slots[i], slot) == 0)
            return true;
    }
    return false;
}

// The volumes to back up, in configuration order whatever the order of the
// --disk values; false after logging why there is nothing to back up.
bool select_volumes(const backup_options *opts, const vm_volume_list *parsed, vm_volume_list *selection)
{
    memset(selection, 0, sizeof *selection);
    for (uint64_t i = 0; i < parsed->count && i < VM_MAX_VOLUMES; i++) {
        const vm_volume &vol = parsed->rows[i];
        if (opts->slot_count > 0 && !slot_selected(opts, vol.slot))
            continue;
        // Proxmox's own backups leave such a disk out, and so do we, unless
        // --disk names it.
        if (opts->slot_count == 0 && vol.no_backup) {
            log_write(LOG_LEVEL_INFO, "VM %s disk %s: left out (backup=0 in its configuration)", opts->vmid,
                      vol.slot);
            continue;
        }
        selection->rows[selection->count++] = vol;
    }
    for (int32_t s = 0; s < opts->slot_count && s < BACKUP_MAX_SELECTED; s++) {
        if (opts->slots[s] == nullptr)
            continue;
        bool found = false;
        for (uint64_t i = 0; i < selection->count; i++)
            found = found || strcmp(selection->rows[i].slot, opts->slots[s]) == 0;
        if (!found) {
            log_write(LOG_LEVEL_ERROR,
                      "VM %s has no disk-like volume '%s' (run 'qm config %s --current' to see its slots)",
                      opts->vmid, opts->slots[s], opts->vmid);
            return false;
        }
    }
    if (selection->count == 0) {
        log_write(LOG_LEVEL_ERROR, "VM %s has no disk-like volumes to back up", opts->vmid);
        return false;
    }
    return true;
}

// Runs the agent on every snapshot in turn; each job removes its snapshot.
// Returns the number of failed disks, sets failed[i] for each of them and
// joins their slots in failed_slots; a job whose check ends the whole
// backup stops the loop with the reason in stop_msg.
int32_t run_disk_jobs(const backup_options *opts, const snapshot_set *set, const agent_limits &limits,
                      const char *const *forwarded, int32_t forwarded_count, int32_t *failed, char *failed_slots,
                      size_t failed_size, char *stop_msg, size_t stop_size)
{
    int32_t failures = 0;
    size_t failed_used = 0;
    failed_slots[0] = '\0';
    for (uint64_t i = 0; i < set->count; i++) {
        const snapshot_entry &entry = set->rows[i];
        char job_name[128];
        snprintf(job_name, sizeof job_name, "%s-%s", opts->job_prefix, entry.volume.slot);
        log_write(LOG_LEVEL_INFO, "VM %s disk %s: backing up snapshot %s/%s as job %s", opts->vmid,
                  entry.volume.slot, entry.vg_name, entry.snapshot_lv_name, job_name);
        progress_status(1, "disk %s (%zu/%zu): job %s", entry.volume.slot, static_cast<size_t>(i + 1),
                        static_cast<size_t>(set->count), job_name);
        char job_msg[512] = "";
        bool stop_run = false;
        if (run_disk_job_limited(set, i, job_name, forwarded, forwarded_count, limits, &stop_run, job_msg,
                                 sizeof job_msg) == 0) {
            log_write(LOG_LEVEL_INFO, "VM %s disk %s: job %s finished", opts->vmid, entry.volume.slot, job_name);
            continue;
        }
        if (stop_run) {
            failed[i] = 1;
            put_text(stop_msg, stop_size, "%s", job_msg);
            return failures + 1;
        }
        log_write(LOG_LEVEL_ERROR, "VM %s disk %s: %s", opts->vmid, entry.volume.slot, job_msg);
        failed[i] = 1;
        failures++;
        // A name that no longer fits whole is left off the list.
        char item[64];
        int len = snprintf(item, sizeof item, "%s%s", failed_used > 0 ? ", " : "", entry.volume.slot);
        if (len > 0 && failed_used + static_cast<size_t>(len) < failed_size) {
            memcpy(failed_slots + failed_used, item, static_cast<size_t>(len) + 1);
            failed_used += static_cast<size_t>(len);
        }
    }
    return failures;
}

// A disk that is a device of this host (passed through to the guest) is
// not on a storage: no snapshot of it can be taken and it is not backed
// up. Said at WARN, so that nobody believes it is.
int warn_host_device(const char *key, const char *value, void *vmid)
{
    if (drive_kind_of(key, value) != DRIVE_DEVICE)
        return 0;
    char device[300];
    size_t len = strcspn(value, ",");
    copy_cut(device, sizeof device, value, len);
    log_write(LOG_LEVEL_WARN,
              "VM %s disk %s: %s is a device of this host passed through, not a storage volume: it is not "
              "backed up",
              static_cast<const char *>(vmid), key, device);
    return 0;
}

// The steps before the freeze: the VM's configuration (kept for the
// configuration job, its disk-like volumes in *parsed), the selected
// volumes and the logical volume behind each. Nothing on the host changes.
// 0, or -1 after logging why.
int32_t find_lvm_disks(const backup_options *opts, vm_volume_list *parsed, resolved_disk_list *disks)
{
    const char *vmid = opts->vmid;
    progress_status(0, "reading the configuration of VM %s", vmid);
    const char *qm_argv[] = {"qm", "config", vmid, "--current", nullptr};
    command_result qm_result;
    char missing[96];
    if (run_pve_tool(qm_argv, 30, g_config_text, sizeof g_config_text, &qm_result, missing, sizeof missing) != 0) {
        log_write(LOG_LEVEL_ERROR, "%s", missing);
        return -1;
    }
    if (qm_result.exit_code != 0) {
        trim_trailing_space(g_config_text);
        if (strstr(g_config_text, "' does not exist") != nullptr)
            report_vm_missing();
        log_write(LOG_LEVEL_ERROR, "qm config %s --current failed: %s", vmid, g_config_text);
        return -1;
    }
    // The text is kept as the configuration job: Perl's complaint about
    // the locale, should it come first, is not part of it.
    drop_locale_warnings(g_config_text);
    // Status 0 without a configuration line (an empty line, stray bytes)
    // is no configuration.
    if (!has_config_key_line(g_config_text)) {
        log_write(LOG_LEVEL_ERROR, "qm config %s --current printed no configuration", vmid);
        return -1;
    }
    // A migration, snapshot, clone or another backup of the VM is under way.
    char lock_msg[256];
    if (check_vm_unlocked(vmid, g_config_text, lock_msg, sizeof lock_msg) != 0) {
        log_write(LOG_LEVEL_ERROR, "%s", lock_msg);
        return -1;
    }

    memset(parsed, 0, sizeof *parsed);
    char parse_msg[512] = "";
    if (parse_vm_config(g_config_text, parsed, parse_msg, sizeof parse_msg) != 0) {
        log_write(LOG_LEVEL_ERROR, "cannot parse the configuration of VM %s: %s", vmid, parse_msg);
        return -1;
    }
    (void)for_each_config_line(g_config_text, warn_host_device, const_cast<char *>(vmid));
    vm_volume_list selection;
    if (!select_volumes(opts, parsed, &selection))
        return -1;
    char raw_msg[1024] = "";
    if (check_raw_volumes(g_config_text, &selection, raw_msg, sizeof raw_msg) != 0) {
        log_write(LOG_LEVEL_ERROR, "VM %s: %s", vmid, raw_msg);
        return -1;
    }

    progress_status(0, "resolving %zu disk(s)", static_cast<size_t>(selection.count));
    char resolve_msg[512] = "";
    if (resolve_disks(&selection, disks, resolve_msg, sizeof resolve_msg) != 0) {
        log_write(LOG_LEVEL_ERROR, "%s", resolve_msg);
        return -1;
    }
    char lvm_msg[512] = "";
    if (!require_all_lvm(disks, lvm_msg, sizeof lvm_msg)) {
        log_write(LOG_LEVEL_ERROR, "VM %s: %s", vmid, lvm_msg);
        return -1;
    }
    return 0;
}

// The checks of the host's storage before the freeze: the storages'
// definitions (no shared LVM) and the thin pools' usage. 0, or -1 after
// logging why.
int32_t check_storage(const backup_options *opts, const resolved_disk_list *disks, pool_guard *guard)
{
    const char *pve_dir = opts->pve_dir != nullptr && opts->pve_dir[0] != '\0' ? opts->pve_dir : "/etc/pve";
    char msg[1024] = "";
    int32_t defined = check_storage_definitions(pve_dir, disks, msg, sizeof msg);
    if (defined < 0) {
        log_write(LOG_LEVEL_ERROR, "VM %s: %s", opts->vmid, msg);
        return -1;
    }
    if (defined > 0)
        log_write(LOG_LEVEL_WARN, "VM %s: %s", opts->vmid, msg);
    uint32_t limit = opts->pool_limit > 0 ? opts->pool_limit : uint32_t{POOL_LIMIT_DEFAULT};
    if (pool_guard_prepare(disks, limit, guard, msg, sizeof msg) != 0) {
        log_write(LOG_LEVEL_ERROR, "VM %s: %s", opts->vmid, msg);
        return -1;
    }
    return 0;
}

// What a run owns once its snapshot set exists, given up on every way out:
// the secret file, the snapshots no job has removed, and the signal
// handler, in that order.
class owned_by_the_run {
public:
    explicit owned_by_the_run(const snapshot_set *set) : set_(set) {}
    ~owned_by_the_run()
    {
        key_file.remove();
        remove_all_snapshots(set_);
        release_signal_handlers();
    }
    owned_by_the_run(const owned_by_the_run &) = delete;
    owned_by_the_run &operator=(const owned_by_the_run &) = delete;

    temp_file key_file{&g_cleanup.secret_file};

private:
    const snapshot_set *set_;
};

// The agents' arguments: the forwarded ones, and "--api-key file:<path>"
// when the profile gave an api-key (a literal one goes into the run's
// secret file first). The grown list lives in *grown. 0, or -1 after
// saying why.
int32_t agent_arguments(const backup_options *opts, temp_file *key_file, char *api_key_arg,
                        size_t api_key_size, std::unique_ptr<const char *[]> *grown,
                        const char *const **ret_forwarded, int32_t *ret_count)
{
    *ret_forwarded = opts->forwarded;
    *ret_count = opts->forwarded_count;
    if (opts->api_key == nullptr)
        return 0;
    // profile_apply has accepted the value: a file: path or a literal.
    secret_spec secret = {SECRET_LITERAL, opts->api_key};
    char unused[128];
    (void)parse_secret_spec(opts->api_key, &secret, unused, sizeof unused);
    if (secret.kind == SECRET_FILE) {
        snprintf(api_key_arg, api_key_size, "file:%s", secret.text);
    } else {
        if (write_secret_file(key_file, opts->vmid, opts->api_key) != 0)
            return -1;
        snprintf(api_key_arg, api_key_size, "file:%s", key_file->path());
    }
    size_t old_count = opts->forwarded_count > 0 ? static_cast<size_t>(opts->forwarded_count) : 0;
    grown->reset(new (std::nothrow) const char *[old_count + 2]);
    if (!*grown) {
        fprintf(stderr, "error: out of memory\n");
        return -1;
    }
    for (size_t i = 0; i < old_count; i++)
        (*grown)[i] = opts->forwarded[i];
    (*grown)[old_count] = "--api-key";
    (*grown)[old_count + 1] = api_key_arg;
    *ret_forwarded = grown->get();
    *ret_count = static_cast<int32_t>(old_count + 2);
    return 0;
}

// Adds the line that tells the restore which disks this backup took and
// which of them failed to the configuration text the configuration job
// stores.
void record_the_disks(const char *vmid, const snapshot_set *set, const int32_t *failed)
{
    const char *slots[VM_MAX_VOLUMES];
    size_t count = 0;
    for (; count < set->count && count < VM_MAX_VOLUMES; count++)
        slots[count] = set->rows[count].volume.slot;
    if (append_backup_record(g_config_text, sizeof g_config_text, slots, failed, count) != 0)
        log_write(LOG_LEVEL_WARN, "VM %s config: no room for the list of backed-up disks", vmid);
}

// The configuration job, unless no-vmconfig: 0 when it succeeded or was
// skipped, 1 after logging its failure.
int32_t run_config_job(const backup_options *opts, const char *const *forwarded, int32_t forwarded_count)
{
    if (opts->no_vmconfig)
        return 0;
    char job_name[128];
    snprintf(job_name, sizeof job_name, "%s-vmconfig", opts->job_prefix);
    progress_status(1, "VM configuration: job %s", job_name);
    char job_msg[256] = "";
    if (run_vmconfig_job_limited(g_config_text, job_name, forwarded, forwarded_count, opts->agent_timeout, job_msg,
                                 sizeof job_msg) != 0) {
        log_write(LOG_LEVEL_ERROR, "VM %s config: %s", opts->vmid, job_msg);
        return 1;
    }
    log_write(LOG_LEVEL_INFO, "VM %s config: job %s finished", opts->vmid, job_name);
    return 0;
}

// The jobs on a snapshot set: every disk, then the configuration. From the
// start an interrupt stops the agent and removes the secret file and the
// snapshots still owned; every way out gives them up. Returns the status
// of the configuration job (0 or 1) with the failed disks counted and
// listed, or -1 when the jobs could not start or the guard stopped the
// backup (its reason in stop_msg).
int32_t run_jobs(const backup_options *opts, const snapshot_set *set, pool_guard *guard, int32_t *failures,
                 char *failed_slots, size_t failed_size, char *stop_msg, size_t stop_size)
{
    owned_by_the_run owned(set);
    char api_key_arg[600] = "";
    std::unique_ptr<const char *[]> grown;
    const char *const *forwarded = nullptr;
    int32_t forwarded_count = 0;
    if (agent_arguments(opts, &owned.key_file, api_key_arg, sizeof api_key_arg, &grown, &forwarded,
                        &forwarded_count) != 0)
        return -1;

    agent_limits limits = pool_guard_limits(guard, set, opts->agent_timeout);
    int32_t failed[VM_MAX_VOLUMES] = {};
    *failures = run_disk_jobs(opts, set, limits, forwarded, forwarded_count, failed, failed_slots, failed_size,
                              stop_msg, stop_size);
    if (stop_msg[0] != '\0')
        return -1;  // the snapshots still owned go with `owned`
    record_the_disks(opts->vmid, set, failed);

    // The disk jobs are over. The handler stays in force (it has no
    // snapshot left to remove) through the configuration job: an interrupt
    // stops its agent and removes its file and a literal api-key's file.
    return run_config_job(opts, forwarded, forwarded_count);
}

// The snapshot set as the plan says: frozen by the guest agent, or taken
// at once. Under --consistency try a freeze that fails is followed by a
// set without one. 0, or -1 after logging why.
int32_t take_snapshot_set(const backup_options *opts, const resolved_disk_list *disks, freeze_plan *plan,
                          snapshot_set *set)
{
    const char *vmid = opts->vmid;
    freeze_params params = {opts->freeze_timeout, opts->snapshot_size, opts->job_prefix, 0};
    char set_msg[512] = "";
    // A freeze that failed and whose thaw could not be confirmed may have
    // left the guest frozen, also under a set taken without a freeze after
    // it: the run fails, and the handler and the next run thaw.
    int32_t thaw_unconfirmed = 0;
    // Proxmox's locks of every storage involved, taken before the freeze
    // (a wait for them never happens while the guest is frozen) and given
    // back once the set is taken or rolled back.
    const char *storages[VM_MAX_VOLUMES];
    size_t storage_count = 0;
    for (uint64_t i = 0; i < disks->count && i < VM_MAX_VOLUMES; i++)
        storages[storage_count++] = disks->rows[i].volume.storage;
    // The snapshot phases of the runs on this node take turns, from before
    // the storage locks until they are given back: the wait comes before
    // the freeze, so it lengthens no guest's freeze, and no run holds a
    // storage lock while it waits for its turn.
    snapshot_phase phase;
    if (phase.take(set_msg, sizeof set_msg) != 0) {
        log_write(LOG_LEVEL_ERROR, "VM %s: %s", vmid, set_msg);
        return -1;
    }
    storage_locks locks;
    progress_status(0, "taking the storage locks");
    if (locks.take(storages, storage_count, set_msg, sizeof set_msg) != 0) {
        log_write(LOG_LEVEL_ERROR, "VM %s: %s", vmid, set_msg);
        return -1;
    }
    for (;;) {
        bool freeze = plan->decision == DECIDE_FREEZE;
        params.skip_freeze = freeze ? 0 : 1;
        if (freeze)
            progress_status(0, "freezing the guest, creating %zu snapshot(s)", static_cast<size_t>(disks->count));
        else
            progress_status(0, "creating %zu snapshot(s) without a freeze", static_cast<size_t>(disks->count));
        if (create_snapshot_set(vmid, disks, &params, set, set_msg, sizeof set_msg) == 0)
            break;
        thaw_unconfirmed |= set->thaw_unconfirmed;
        char refusal[768];
        if (!set->freeze_failed) {
            log_write(LOG_LEVEL_ERROR, "VM %s: %s", vmid, set_msg);
            return -1;
        }
        if (plan_after_failed_freeze(opts, set_msg, plan, refusal, sizeof refusal) != 0) {
            log_write(LOG_LEVEL_ERROR, "%s", refusal);
            return -1;
        }
    }
    if (thaw_unconfirmed) {
        set->thaw_unconfirmed = 1;
        g_cleanup.frozen = 1;
    }
    // A frozen set has logged its consistency window.
    size_t count = static_cast<size_t>(set->count);
    if (plan->decision == DECIDE_STOPPED)
        log_write(LOG_LEVEL_INFO, "VM %s: no freeze needed (%s): snapshots took %.2f s over %zu disk(s)", vmid,
                  plan->reason, set->window_seconds, count);
    else if (plan->decision == DECIDE_CRASH)
        log_write(LOG_LEVEL_INFO, "VM %s: crash-consistent, no freeze (%s): snapshots took %.2f s over %zu disk(s)",
                  vmid, plan->reason, set->window_seconds, count);
    progress_detail("consistency: %s", consistency_word(plan));
    return 0;
}

}  // namespace

bool api_key_fits(const backup_options *opts)
{
    if (opts->api_key == nullptr || opts->forwarded_count <= AGENT_MAX_FORWARDED - 2)
        return true;
    fprintf(stderr,
            "error: too many arguments for vlt_agent: %d forwarded, at most %d when the profile gives an "
            "api-key (--api-key and its value take the last 2 of %d places)\n",
            static_cast<int>(opts->forwarded_count), AGENT_MAX_FORWARDED - 2, AGENT_MAX_FORWARDED);
    return false;
}

int32_t run_backup(const backup_options *opts)
{
    const char *vmid = opts->vmid;
    if (!api_key_fits(opts))
        return 2;
    std::unique_ptr<vm_volume_list> volumes(new (std::nothrow) vm_volume_list);
    std::unique_ptr<resolved_disk_list> disks(new (std::nothrow) resolved_disk_list);
    std::unique_ptr<snapshot_set> set(new (std::nothrow) snapshot_set);
    std::unique_ptr<freeze_plan> plan(new (std::nothrow) freeze_plan);
    std::unique_ptr<earlier_run> earlier(new (std::nothrow) earlier_run);
    std::unique_ptr<pool_guard> guard(new (std::nothrow) pool_guard);
    if (!volumes || !disks || !set || !plan || !earlier || !guard) {
        log_write(LOG_LEVEL_ERROR, "VM %s: out of memory", vmid);
        return 1;
    }
    // One run per VM, and what an earlier run left is repaired before
    // anything else happens to the VM.
    vm_run_lock lock;
    if (take_vm_lock(vmid, &lock) != 0)
        return 1;
    uint32_t guest_cmd_limit = opts->freeze_timeout > 0 ? static_cast<uint32_t>(opts->freeze_timeout) : 60;
    if (recover_guest(vmid, lock, guest_cmd_limit, earlier.get()) != 0)
        return 1;
    if (find_lvm_disks(opts, volumes.get(), disks.get()) != 0)
        return 1;
    report_disks(static_cast<size_t>(disks->count));
    if (recover_snapshots(vmid, lock, volumes.get(), disks.get(), earlier.get()) != 0)
        return 1;
    journal_scope journal(lock.dirfd(), lock.vmid());

    progress_status(0, "reading the run state of VM %s", vmid);
    char plan_msg[768] = "";
    if (plan_consistency(opts, g_config_text, plan.get(), plan_msg, sizeof plan_msg) != 0) {
        log_write(LOG_LEVEL_ERROR, "%s", plan_msg);
        return 1;
    }
    if (check_storage(opts, disks.get(), guard.get()) != 0)
        return 1;
    if (take_snapshot_set(opts, disks.get(), plan.get(), set.get()) != 0)
        return 1;

    int32_t failures = 0;
    char failed_slots[1024] = "";
    char stop_msg[512] = "";
    int32_t result = run_jobs(opts, set.get(), guard.get(), &failures, failed_slots, sizeof failed_slots, stop_msg,
                              sizeof stop_msg);
    if (stop_msg[0] != '\0')
        log_write(LOG_LEVEL_ERROR, "VM %s: %s", vmid, stop_msg);
    if (result < 0)
        return 1;
    report_disks_backed_up(static_cast<size_t>(set->count) - static_cast<size_t>(failures));
    if (failures > 0) {
        log_write(LOG_LEVEL_ERROR, "VM %s: %d of %zu disk(s) failed: %s", vmid, failures,
                  static_cast<size_t>(set->count), failed_slots);
        result = 1;
    }
    // A guest that may still be frozen is a failed run, whatever the disks.
    if (set->thaw_unconfirmed) {
        char done[64];
        if (failures == 0)
            put_text(done, sizeof done, "every disk was backed up");
        else
            put_text(done, sizeof done, "%zu of %zu disk(s) were backed up",
                     static_cast<size_t>(set->count) - static_cast<size_t>(failures), static_cast<size_t>(set->count));
        log_write(LOG_LEVEL_ERROR,
                  "VM %s: the guest may still be frozen: its thaw could not be confirmed (%s); check it with "
                  "'qm guest cmd %s fsfreeze-status'",
                  vmid, done, vmid);
        result = 1;
    }
    // The last line says what the backup holds.
    report_consistency(consistency_word(plan.get()));
    log_write(LOG_LEVEL_INFO, "VM %s: backup %s, consistency: %s (%s)", vmid, result == 0 ? "finished" : "failed",
              consistency_word(plan.get()), plan->reason);
    return result;
}
