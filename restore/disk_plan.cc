// The fate of every disk of a restored configuration against its backup set.
#include "restore/disk_plan.h"

#include <cstring>

#include "common/text.h"

void plan_disks(const vm_volume_list *volumes, const backup_record *record, const backup_job_set *set,
                disk_plan *ret_plan) {
    memset(ret_plan, 0, sizeof *ret_plan);
    for (uint64_t i = 0; i < volumes->count && i < VM_MAX_VOLUMES; i++) {
        const vm_volume &vol = volumes->rows[i];
        const job_slot *run = find_job_slot(set, vol.slot);
        int32_t fate;
        if (record->found) {
            int32_t row = backup_record_find(record, vol.slot);
            if (row < 0)
                fate = vol.no_backup ? DISK_BACKUP_OFF : DISK_LEFT_OUT;
            else
                fate = record->failed[row] || run == nullptr ? DISK_MISSING : DISK_RESTORE;
        } else if (run != nullptr) {
            fate = DISK_RESTORE;
        } else {
            fate = strncmp(vol.slot, "efidisk", 7) == 0 ? DISK_NOT_BACKED_UP : DISK_MISSING;
        }
        ret_plan->fate[i] = fate;
        if (fate == DISK_RESTORE) {
            ret_plan->run[i] = run;
            ret_plan->restore_count++;
            ret_plan->restore_bytes += run->source_size;
        } else if (fate == DISK_MISSING) {
            ret_plan->missing_count++;
        }
    }
}

void plan_slots(const vm_volume_list *volumes, const disk_plan *plan, int32_t fate, char *buf, size_t size) {
    size_t len = 0;
    if (size > 0) buf[0] = '\0';
    for (uint64_t i = 0; i < volumes->count && i < VM_MAX_VOLUMES; i++) {
        if (plan->fate[i] != fate) continue;
        len += static_cast<size_t>(put_text(buf + len, size - len, "%s%s", len > 0 ? "," : "", volumes->rows[i].slot));
        if (len >= size) return;
    }
    if (len == 0) put_text(buf, size, "-");
}
