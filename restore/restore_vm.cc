// The restore run: VMID, the backup set and its configuration text, one
// new volume per disk filled by vlt_restore (and one per cloud-init drive),
// the rewritten configuration and its installation. A failed or
// interrupted run frees every volume it allocated and leaves no file of its
// own behind.
#include "restore/restore_vm.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "common/log.h"
#include "common/owned.h"
#include "common/temp_file.h"
#include "common/progress.h"
#include "common/text.h"
#include "restore/allocation.h"
#include "restore/backup_sets.h"
#include "restore/config_rewrite.h"
#include "restore/discovery.h"
#include "restore/interrupt.h"
#include "restore/restore_runs.h"
#include "restore/set_choice.h"
#include "restore/storage_type.h"
#include "restore/vmid.h"
#include "vmconfig/vm_config.h"

namespace {

// Frees the run's volumes, first allocated first, when the scope ends
// before the run was completed.
class rollback_on_exit {
public:
    explicit rollback_on_exit(const allocation_list *list) : list_(list) {}
    ~rollback_on_exit() {
        if (list_ != nullptr && list_->count > 0)
            rollback_allocations(list_->rows, list_->count);
    }
    rollback_on_exit(const rollback_on_exit &) = delete;
    rollback_on_exit &operator=(const rollback_on_exit &) = delete;

    void commit() { list_ = nullptr; }

private:
    const allocation_list *list_;
};

// A cloud-init drive of the backed-up configuration.
struct cloudinit_drive {
    char slot[24];
    char storage[128];
};

const size_t kMaxCloudinitDrives = 4;

// Everything one run works on; large, so it lives on the heap.
struct run_state {
    backup_catalog catalog{};
    opened_set chosen;
    uint8_t header[RUN_HEADER_SIZE];
    allocation_list allocations;
    remap_entry remap[size_t{ALLOC_MAX_VOLUMES} + kMaxCloudinitDrives];
    uint64_t remap_count;
    cloudinit_drive cloudinit[kMaxCloudinitDrives];
    uint64_t cloudinit_count;
    char new_config[RESTORE_CONFIG_SIZE];

    ~run_state() { free_backup_catalog(&catalog); }
};

const char *target_storage_for(const restore_options *opts, const char *storage) {
    for (uint64_t i = 0; i < opts->storage_map_count && i < RESTORE_MAX_STORAGE_MAP; i++) {
        if (std::strcmp(opts->storage_map[i].old_storage, storage) == 0)
            return opts->storage_map[i].new_storage;
    }
    return storage;
}

}  // namespace

int32_t read_restored_config(const char *path, char *buf, char *err, size_t err_size) {
    buf[0] = '\0';
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        put_text(err, err_size, "cannot read restored VM config %s: %s", path,
                  std::strerror(errno));
        return -1;
    }
    unique_fd file(fd);
    const size_t limit = RESTORE_CONFIG_SIZE - 1;
    size_t have = 0;
    while (have < limit) {
        ssize_t n = read(fd, buf + have, limit - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            buf[0] = '\0';
            put_text(err, err_size, "cannot read restored VM config %s: %s", path,
                      std::strerror(errno));
            return -1;
        }
        if (n == 0)
            break;
        have += static_cast<size_t>(n);
    }
    buf[have] = '\0';
    if (have == limit) {
        char extra;
        ssize_t n;
        do {
            n = read(fd, &extra, 1);
        } while (n < 0 && errno == EINTR);
        if (n != 0) {
            buf[0] = '\0';
            put_text(err, err_size, "restored VM config is too large (> %zu bytes)", limit);
            return -1;
        }
    }
    return 0;
}

int32_t install_target_config(const char *config_dir, int64_t vmid, const char *text,
                              char *ret_target, char *err, size_t err_size) {
    char target[1024];
    char temp_tmpl[1040];
    std::snprintf(target, sizeof target, "%s/%" PRId64 ".conf", config_dir, vmid);
    std::snprintf(temp_tmpl, sizeof temp_tmpl, "%s/.vlt_proxmox_restore.XXXXXX", config_dir);
    if (ret_target != nullptr)
        std::snprintf(ret_target, 1024, "%s", target);

    temp_file file;
    if (!file.create_unique(temp_tmpl)) {
        put_text(err, err_size, "cannot create a temp file in %s: %s (does that directory exist?)",
                  config_dir, std::strerror(errno));
        return -1;
    }
    const char *temp_path = file.path();
    const int fd = file.fd();
    // The mode Proxmox gives its configuration files.
    (void)fchmod(fd, 0640);

    size_t len = std::strlen(text);
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, text + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            put_text(err, err_size, "cannot write %s: %s", temp_path,
                      n < 0 ? std::strerror(errno) : "short write");
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    if (file.close_now() != 0) {
        put_text(err, err_size, "cannot write %s: %s", temp_path, std::strerror(errno));
        return -1;
    }

    // Claim the name before the rename: the VMID was not reserved, and a
    // configuration that appeared for it meanwhile (here, or on the cluster
    // file system for any guest of that VMID on any node) must never be
    // replaced.
    temp_file claim;
    if (!claim.create_exclusive(target, 0640)) {
        if (errno == EEXIST)
            put_text(err, err_size, "VMID %" PRId64 " is already in use (%s exists)", vmid,
                      target);
        else
            put_text(err, err_size, "cannot install %s: %s", target, std::strerror(errno));
        return -1;
    }
    (void)claim.close_now();

    if (rename(temp_path, target) != 0) {
        put_text(err, err_size, "cannot install %s: %s", target, std::strerror(errno));
        return -1;
    }
    file.keep();
    claim.keep();
    return 0;
}

namespace {

// A failed step's message, or the interrupt's when one was noted meanwhile
// (a stopped vlt_restore, a pvesm killed along with us).
int32_t failed(char *err, size_t err_size) {
    (void)interrupted(err, err_size);
    return -1;
}

remap_entry *add_remap(run_state *st, const char *slot, const char *storage, const char *volume, bool drop) {
    remap_entry &entry = st->remap[st->remap_count++];
    put_text(entry.slot, sizeof entry.slot, "%s", slot);
    put_text(entry.storage, sizeof entry.storage, "%s", storage);
    put_text(entry.volume, sizeof entry.volume, "%s", volume);
    entry.drop = drop ? 1 : 0;
    return &entry;
}

// The arguments for vlt_restore into a new volume on `storage`: the
// forwarded ones, where --assume-zeroed stays only for LVM-thin storage
// (only a new thin volume reads as zeros; a new thick one holds whatever
// its extents held, and the holes of the backup must be written there).
int32_t disk_arguments(const restore_options *opts, const char *slot, const char *storage, const char **ret) {
    bool withheld = false;
    int32_t count = without_assume_zeroed(opts->forwarded, opts->forwarded_count, ret, &withheld);
    if (!withheld) return count;
    char type[64];
    bool known = storage_type(restore_pve_dir(opts), storage, type, sizeof type) == 0;
    if (known && strcmp(type, "lvmthin") == 0) {
        int32_t n = 0;
        for (int32_t i = 0; i < opts->forwarded_count && n < RESTORE_MAX_FORWARDED; i++) ret[n++] = opts->forwarded[i];
        return n;
    }
    log_write(LOG_LEVEL_INFO,
              "%s: --assume-zeroed withheld: storage '%s' is %s%s%s, where a new volume may hold old data",
              slot, storage, known ? "of type " : "", known ? type : "not in storage.cfg",
              known ? ", not LVM-thin" : "");
    return count;
}

// Disk number `number` of disk_count: a new volume on the (mapped)
// storage sized from its run's header, vlt_restore into it, and its row in
// the remap. With --dry-run only the plan is logged.
int32_t restore_disk(const restore_options *opts, int64_t vmid, const vm_volume &vol, const job_slot *slot,
                     size_t number, size_t disk_count, run_state *st, char *err, size_t err_size) {
    const char *storage = target_storage_for(opts, vol.storage);
    if (read_run_header(slot->header_path, st->header) != 0) {
        put_text(err, err_size, "%s: cannot read %s", vol.slot, slot->header_path);
        return -1;
    }
    uint64_t source_size = run_header_source_size(st->header);
    char size_text[ALLOC_SIZE_TEXT_SIZE];
    if (format_alloc_size(source_size, size_text, sizeof size_text) != 0) {
        put_text(err, err_size, "%s: source size does not fit a pvesm alloc size argument", vol.slot);
        return -1;
    }
    if (opts->dry_run) {
        log_write(LOG_LEVEL_INFO,
                  "%s: would allocate %s on storage '%s' (source was '%s', %llu bytes), "
                  "from job %s",
                  vol.slot, size_text, storage, vol.storage,
                  static_cast<unsigned long long>(source_size), slot->header_path);
        return 0;
    }

    progress_status(PROGRESS_WORKING, "disk %s (%zu/%zu): allocating %s on storage '%s'", vol.slot,
                    number, disk_count, size_text, storage);
    char step_msg[ALLOC_MESSAGE_SIZE];
    step_msg[0] = '\0';
    if (allocate_volume(storage, vmid, "", size_text, &st->allocations, step_msg, sizeof step_msg) != 0 ||
        interrupted(step_msg, sizeof step_msg)) {
        put_text(err, err_size, "%s: %s", vol.slot, step_msg);
        return failed(err, err_size);
    }
    const allocated_volume &fresh = st->allocations.rows[st->allocations.count - 1];
    char device[DEVICE_PATH_SIZE];
    step_msg[0] = '\0';
    if (volume_device_path(&fresh, device, sizeof device, step_msg, sizeof step_msg) != 0) {
        put_text(err, err_size, "%s: %s", vol.slot, step_msg);
        return failed(err, err_size);
    }
    if (interrupted(err, err_size)) return -1;
    log_write(LOG_LEVEL_INFO, "%s: restoring job %s into %s:%s (%s)", vol.slot, slot->header_path,
              fresh.storage, fresh.volume, device);
    progress_status(PROGRESS_WORKING, "disk %s (%zu/%zu): restoring into %s:%s", vol.slot, number,
                    disk_count, fresh.storage, fresh.volume);
    const char *forwarded[RESTORE_MAX_FORWARDED];
    int32_t forwarded_count = disk_arguments(opts, vol.slot, storage, forwarded);
    char msg[256];
    if (run_restore_tool(slot->header_path, opts->search_dir, device, forwarded, forwarded_count, msg,
                         sizeof msg) != 0) {
        put_text(err, err_size, "%s: restore failed: %s", vol.slot, msg);
        return failed(err, err_size);
    }
    add_remap(st, vol.slot, fresh.storage, fresh.volume, false);
    return 0;
}

// Notes every cloud-init drive of the configuration.
int note_cloudinit(const char *key, const char *value, void *ctx) {
    auto *st = static_cast<run_state *>(ctx);
    if (drive_kind_of(key, value) != DRIVE_CLOUDINIT || st->cloudinit_count == kMaxCloudinitDrives) return 0;
    cloudinit_drive &drive = st->cloudinit[st->cloudinit_count++];
    put_text(drive.slot, sizeof drive.slot, "%s", key);
    copy_cut(drive.storage, sizeof drive.storage, value, strcspn(value, ":"));
    return 0;
}

// A cloud-init drive of its own for the new VM, on the (mapped) storage of
// the original's: Proxmox fills it from the VM's cloud-init settings when
// the VM starts, so it starts empty.
int32_t new_cloudinit_drive(const restore_options *opts, int64_t vmid, const cloudinit_drive &drive, run_state *st,
                            char *err, size_t err_size) {
    const char *storage = target_storage_for(opts, drive.storage);
    char name[64];
    put_text(name, sizeof name, "vm-%ld-cloudinit", static_cast<long>(vmid));
    if (opts->dry_run) {
        log_write(LOG_LEVEL_INFO, "%s: would allocate a new cloud-init drive %s on storage '%s'", drive.slot, name,
                  storage);
        return 0;
    }
    char step_msg[ALLOC_MESSAGE_SIZE];
    step_msg[0] = '\0';
    // 4 MiB, the size Proxmox gives a cloud-init drive.
    if (allocate_volume(storage, vmid, name, "4096", &st->allocations, step_msg, sizeof step_msg) != 0) {
        put_text(err, err_size, "%s: %s", drive.slot, step_msg);
        return failed(err, err_size);
    }
    const allocated_volume &fresh = st->allocations.rows[st->allocations.count - 1];
    log_write(LOG_LEVEL_INFO,
              "%s: a new cloud-init drive %s:%s takes the place of the original VM's (Proxmox fills it at the "
              "first start)",
              drive.slot, fresh.storage, fresh.volume);
    add_remap(st, drive.slot, fresh.storage, fresh.volume, false);
    return 0;
}

// The lines of the disks this backup did not take go, each with a word.
void drop_left_out_disks(int64_t vmid, run_state *st) {
    const opened_set &set = st->chosen;
    for (uint64_t i = 0; i < set.volumes.count; i++) {
        const vm_volume &vol = set.volumes.rows[i];
        int32_t fate = set.plan.fate[i];
        if (fate == DISK_RESTORE) continue;
        if (fate == DISK_NOT_BACKED_UP)
            log_write(LOG_LEVEL_WARN, "%s was not part of the backup: add a new EFI disk to VM %ld before its "
                                      "first start",
                      vol.slot, static_cast<long>(vmid));
        else
            log_write(LOG_LEVEL_WARN,
                      "%s: %s:%s was left out of this backup (%s): dropped; add a new disk to VM %ld if it "
                      "needs one",
                      vol.slot, vol.storage, vol.volume,
                      fate == DISK_BACKUP_OFF ? "backup=0" : "vlt_proxmox --disk", static_cast<long>(vmid));
        add_remap(st, vol.slot, "", "", true);
    }
}

// The new VM's configuration in st->new_config: new volumes, a fresh
// SMBIOS uuid unless kept, MACs with the cluster's prefix.
int32_t rewrite_config(const restore_options *opts, int64_t vmid, run_state *st, char *err, size_t err_size) {
    char uuid_text[UUID_TEXT_SIZE];
    uuid_text[0] = '\0';
    if (!opts->keep_smbios_uuid) {
        uint8_t uuid[16];
        random_uuid(uuid);
        format_uuid(uuid, uuid_text);
    }
    char mac_prefix[MAC_PREFIX_SIZE];
    read_mac_prefix(restore_pve_dir(opts), mac_prefix);
    char rewrite_msg[256];
    rewrite_msg[0] = '\0';
    if (build_target_config(st->chosen.config_text, st->remap, st->remap_count, opts->keep_network_identity,
                            uuid_text, mac_prefix, vmid, st->new_config, sizeof st->new_config,
                            rewrite_msg, sizeof rewrite_msg) != 0) {
        put_text(err, err_size, "cannot build the target VM config: %s", rewrite_msg);
        return -1;
    }
    return 0;
}

}  // namespace

int32_t restore_vm(const restore_options *opts, int64_t *out_vmid, char *err, size_t err_size) {
    if (err != nullptr && err_size > 0)
        err[0] = '\0';
    if (out_vmid != nullptr)
        *out_vmid = 0;
    // From here on a signal is a note the steps below act on.
    interrupt_guard guard;

    const char *prefix = opts->job_prefix;
    progress_status(PROGRESS_PREPARING, "looking for the backup jobs of '%s'", prefix);
    int64_t vmid = 0;
    if (choose_vmid(opts, &vmid, err, err_size) != 0)
        return failed(err, err_size);

    std::unique_ptr<run_state> state(new (std::nothrow) run_state());
    if (state == nullptr) {
        put_text(err, err_size, "out of memory");
        return -1;
    }
    run_state &st = *state;
    if (find_backup_sets(opts->search_dir, prefix, &st.catalog, err, err_size) != 0 ||
        choose_backup_set(opts, &st.catalog, &st.chosen, err, err_size) != 0)
        return failed(err, err_size);

    const opened_set &set = st.chosen;
    const size_t disk_count = static_cast<size_t>(set.plan.restore_count);
    if (disk_count == 0) {
        put_text(err, err_size, "the backed-up VM config has no disk-like volumes to restore");
        return -1;
    }
    (void)for_each_config_line(set.config_text, note_cloudinit, &st);
    log_write(LOG_LEVEL_INFO, "restoring '%s' (%zu disk-like volume(s)) to VMID %" PRId64 "%s", prefix,
              disk_count, vmid, opts->dry_run ? " (dry run)" : "");
    drop_left_out_disks(vmid, &st);

    // From the first allocation on, every way out but success frees what
    // the run allocated.
    rollback_on_exit rollback(&st.allocations);
    size_t number = 0;
    for (uint64_t i = 0; i < set.volumes.count; i++) {
        if (set.plan.fate[i] != DISK_RESTORE) continue;
        if (restore_disk(opts, vmid, set.volumes.rows[i], set.plan.run[i], ++number, disk_count, &st, err,
                         err_size) != 0 ||
            interrupted(err, err_size))
            return -1;
    }
    for (uint64_t i = 0; i < st.cloudinit_count; i++) {
        if (new_cloudinit_drive(opts, vmid, st.cloudinit[i], &st, err, err_size) != 0 ||
            interrupted(err, err_size))
            return -1;
    }
    if (opts->dry_run) {
        log_write(LOG_LEVEL_INFO, "dry run: VMID %" PRId64 " would be used, nothing was allocated or written",
                  vmid);
        *out_vmid = vmid;
        return 0;
    }

    if (rewrite_config(opts, vmid, &st, err, err_size) != 0)
        return -1;
    char config_dir[1024];
    std::snprintf(config_dir, sizeof config_dir, "%s/qemu-server", restore_pve_dir(opts));
    char target[1024];
    progress_status(PROGRESS_WORKING, "installing the configuration of VM %" PRId64, vmid);
    {
        // Installed whole or not at all: a signal from here on waits until
        // the configuration is in place (or the install failed).
        signals_held held;
        if (interrupted(err, err_size) ||
            install_target_config(config_dir, vmid, st.new_config, target, err, err_size) != 0)
            return -1;
        rollback.commit();
    }

    log_write(LOG_LEVEL_INFO, "VM %" PRId64 " restored: %zu disk(s), config written to %s (VM left stopped)",
              vmid, disk_count, target);
    *out_vmid = vmid;
    return 0;
}
