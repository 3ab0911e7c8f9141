// The refusals before the freeze: non-raw volumes and shared storages.
#include "backup/preflight.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "backup/storage_cfg.h"
#include "common/text.h"

namespace {

// Appends one problem to a "; "-joined list; one that does not fit whole
// is left off.
void add_problem(char *list, size_t size, size_t *used, const char *problem)
{
    char entry[600];
    int len = snprintf(entry, sizeof entry, "%s%s", *used > 0 ? "; " : "", problem);
    if (len < 0 || static_cast<size_t>(len) >= sizeof entry || *used + static_cast<size_t>(len) >= size)
        return;
    memcpy(list + *used, entry, static_cast<size_t>(len) + 1);
    *used += static_cast<size_t>(len);
}

bool ends_with(const char *text, const char *suffix)
{
    size_t n = strlen(text), m = strlen(suffix);
    return n >= m && strcmp(text + n - m, suffix) == 0;
}

}  // namespace

int32_t check_raw_volumes(const char *config_text, const vm_volume_list *selection, char *msg,
                          size_t msg_size)
{
    put_text(msg, msg_size, "%s", "");
    size_t used = 0;
    bool refused = false;
    for (uint64_t i = 0; i < selection->count && i < VM_MAX_VOLUMES; i++) {
        const vm_volume &vol = selection->rows[i];
        char problem[512] = "";
        char format[64];
        if (ends_with(vol.volume, ".qcow2")) {
            put_text(problem, sizeof problem,
                     "%s (%s:%s) is a qcow2 image: only raw volumes can be backed up", vol.slot, vol.storage,
                     vol.volume);
        } else if (vm_config_drive_option(config_text, vol.slot, "format", format, sizeof format) == 1 &&
                   strcmp(format, "raw") != 0) {
            put_text(problem, sizeof problem, "%s (%s:%s) has format=%s: only raw volumes can be backed up",
                     vol.slot, vol.storage, vol.volume, format);
        }
        if (problem[0] != '\0') {
            refused = true;
            add_problem(msg, msg_size, &used, problem);
        }
    }
    return refused ? -1 : 0;
}

int32_t check_storage_definitions(const char *pve_dir, const resolved_disk_list *disks, char *msg,
                                  size_t msg_size)
{
    put_text(msg, msg_size, "%s", "");
    char path[1024];
    put_text(path, sizeof path, "%s/storage.cfg", pve_dir);
    std::unique_ptr<storage_cfg> cfg(new (std::nothrow) storage_cfg);
    if (!cfg) {
        put_text(msg, msg_size, "cannot read %s: out of memory", path);
        return -1;
    }
    char why[512];
    int32_t loaded = load_storage_cfg(path, cfg.get(), why, sizeof why);
    if (loaded == 1) {
        put_text(msg, msg_size,
                 "%s does not exist: the check for shared storages was skipped (is the cluster file "
                 "system mounted?)",
                 path);
        return 1;
    }
    if (loaded != 0) {
        put_text(msg, msg_size, "%s", why);
        return -1;
    }
    size_t used = 0;
    bool refused = false;
    for (uint64_t i = 0; i < disks->count && i < VM_MAX_VOLUMES; i++) {
        const vm_volume &vol = disks->rows[i].volume;
        const storage_def *def = find_storage_def(cfg.get(), vol.storage);
        char problem[512] = "";
        if (def == nullptr)
            put_text(problem, sizeof problem, "%s: storage '%s' is not defined in %s", vol.slot, vol.storage, path);
        else if (def->shared)
            put_text(problem, sizeof problem, "%s: storage '%s' is shared LVM: taking snapshots there is not safe",
                     vol.slot, vol.storage);
        if (problem[0] != '\0') {
            refused = true;
            add_problem(msg, msg_size, &used, problem);
        }
    }
    return refused ? -1 : 0;
}
