// Backup sets from run headers: the runs of one prefix, grouped by host,
// cut into backups at their configuration runs.
#include "restore/backup_sets.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>

#include "common/owned.h"
#include "common/status.h"
#include "common/text.h"
#include "vmconfig/vm_config.h"

const int64_t set_skew_seconds = 10;

namespace {

// What a matched run is to the prefix.
struct run_role {
    bool config;                    // "<prefix>-vmconfig"; otherwise a disk run
    char slot[JOB_SLOT_NAME_SIZE];  // the disk slot
};

template <typename T>
T *alloc_array(uint64_t n) {
    return static_cast<T *>(calloc(n > 0 ? n : 1, sizeof(T)));
}

// The runs of the prefix: scan rows whose job is the configuration job or
// a disk slot's job. Moves them into cat->runs and their roles into *roles.
int32_t take_prefix_runs(const header_scan_entry *rows, uint64_t count, const char *match, size_t match_len,
                         backup_catalog *cat, std::unique_ptr<run_role, free_deleter> *roles) {
    cat->runs = alloc_array<header_scan_entry>(count);
    roles->reset(alloc_array<run_role>(count));
    if (cat->runs == nullptr || !*roles) return -1;
    uint64_t n = 0;
    for (uint64_t i = 0; i < count; i++) {
        const header_scan_entry &row = rows[i];
        if (strncmp(row.job_name, match, match_len) != 0) continue;
        const char *suffix = row.job_name + match_len;
        run_role &role = roles->get()[n];
        role.config = strcmp(suffix, "vmconfig") == 0;
        // The backup names a disk's job after its slot, cut to 23
        // characters: a longer name is no job it wrote.
        if (!role.config && (!is_disk_slot(suffix) || strlen(suffix) >= sizeof role.slot)) continue;
        put_text(role.slot, sizeof role.slot, "%s", role.config ? "" : suffix);
        cat->runs[n++] = row;
    }
    cat->run_count = n;
    return 0;
}

// Whether disk run d may belong to the set of configuration run c whose
// host's previous configuration run was written at prev (or none).
enum fit { no_fit, core_fit, late_fit };

fit fits(const header_scan_entry &d, const header_scan_entry &c, bool has_prev, int64_t prev) {
    if (strcmp(d.host_name, c.host_name) != 0) return no_fit;
    if ((!has_prev || d.creation_time > prev) && d.creation_time <= c.creation_time) return core_fit;
    // A header may hold any time: the difference of two is taken unsigned,
    // where it cannot overflow.
    if (d.creation_time > c.creation_time &&
        static_cast<uint64_t>(d.creation_time) - static_cast<uint64_t>(c.creation_time) <=
            static_cast<uint64_t>(set_skew_seconds))
        return late_fit;
    return no_fit;
}

// The set of configuration run `ci`: per slot the newest run in the span
// after the previous configuration run, else the oldest late one.
int32_t build_set(const backup_catalog *cat, const run_role *roles, uint64_t ci, bool has_prev, int64_t prev,
                  const char *prefix, backup_job_set *set, char *err, size_t err_size) {
    const header_scan_entry &c = cat->runs[ci];
    memset(set, 0, sizeof *set);
    set->vmconfig_header_path = c.path;
    set->created = c.creation_time;
    set->host = c.host_name;
    bool late[JOB_MAX_SLOTS] = {};
    for (uint64_t di = 0; di < cat->run_count; di++) {
        if (roles[di].config) continue;
        const header_scan_entry &d = cat->runs[di];
        fit f = fits(d, c, has_prev, prev);
        if (f == no_fit) continue;
        uint64_t k = 0;
        while (k < set->slot_count && strcmp(set->slots[k].name, roles[di].slot) != 0) k++;
        if (k == set->slot_count) {
            if (set->slot_count == JOB_MAX_SLOTS) {
                put_text(err, err_size, "more than %d distinct disk slots match prefix '%s'",
                         static_cast<int>(JOB_MAX_SLOTS), prefix);
                return -1;
            }
            put_text(set->slots[k].name, sizeof set->slots[k].name, "%s", roles[di].slot);
            set->slot_count++;
        } else {
            job_slot &kept = set->slots[k];
            bool better = f == core_fit ? late[k] || d.creation_time > kept.created
                                        : late[k] && d.creation_time < kept.created;
            if (!better) continue;
        }
        job_slot &slot = set->slots[k];
        slot.header_path = d.path;
        slot.created = d.creation_time;
        slot.source_size = d.source_size;
        late[k] = f == late_fit;
    }
    return 0;
}

}  // namespace

int32_t find_backup_sets(const char *search_dir, const char *job_prefix, backup_catalog *ret, char *err,
                         size_t err_size) {
    memset(ret, 0, sizeof *ret);
    if (err_size) err[0] = '\0';
    header_scan_entry *raw_rows = nullptr;
    uint64_t row_count = 0;
    int32_t st = scan_backup_dir(search_dir, &raw_rows, &row_count);
    if (st != STATUS_OK) {
        put_text(err, err_size, "cannot scan %s: %s (status=%d)", search_dir, status_message(st), st);
        return -1;
    }
    std::unique_ptr<header_scan_entry, free_deleter> rows(raw_rows);
    return group_backup_sets(rows.get(), row_count, job_prefix, ret, err, err_size);
}

int32_t group_backup_sets(const header_scan_entry *rows, uint64_t row_count, const char *job_prefix,
                          backup_catalog *ret, char *err, size_t err_size) {
    memset(ret, 0, sizeof *ret);
    if (err_size) err[0] = '\0';

    char match[JOB_MATCH_SIZE];
    int n = snprintf(match, sizeof match, "%s-", job_prefix);
    if (n < 0 || static_cast<size_t>(n) >= sizeof match) {
        put_text(err, err_size, "job prefix is too long");
        return -1;
    }

    backup_catalog cat{};
    std::unique_ptr<run_role, free_deleter> roles;
    std::unique_ptr<uint64_t, free_deleter> order(alloc_array<uint64_t>(row_count));
    if (take_prefix_runs(rows, row_count, match, static_cast<size_t>(n), &cat, &roles) != 0 || !order) {
        free_backup_catalog(&cat);
        put_text(err, err_size, "out of memory");
        return -1;
    }

    // The configuration runs by host, then time; equal times in scan order.
    uint64_t *configs = order.get();
    uint64_t config_count = 0;
    for (uint64_t i = 0; i < cat.run_count; i++)
        if (roles.get()[i].config) configs[config_count++] = i;
    const header_scan_entry *runs = cat.runs;
    std::stable_sort(configs, configs + config_count, [runs](uint64_t a, uint64_t b) {
        int h = strcmp(runs[a].host_name, runs[b].host_name);
        return h != 0 ? h < 0 : runs[a].creation_time < runs[b].creation_time;
    });

    cat.sets = alloc_array<backup_job_set>(config_count);
    if (cat.sets == nullptr) {
        free_backup_catalog(&cat);
        put_text(err, err_size, "out of memory");
        return -1;
    }
    for (uint64_t k = 0; k < config_count; k++) {
        bool has_prev = k > 0 && strcmp(runs[configs[k - 1]].host_name, runs[configs[k]].host_name) == 0;
        int64_t prev = has_prev ? runs[configs[k - 1]].creation_time : 0;
        if (!has_prev) cat.host_count++;
        if (build_set(&cat, roles.get(), configs[k], has_prev, prev, job_prefix, &cat.sets[k], err, err_size) != 0) {
            free_backup_catalog(&cat);
            return -1;
        }
    }
    cat.count = config_count;
    std::stable_sort(cat.sets, cat.sets + cat.count, [](const backup_job_set &a, const backup_job_set &b) {
        if (a.created != b.created) return a.created > b.created;
        return strcmp(a.host, b.host) < 0;
    });
    *ret = cat;
    return 0;
}

void free_backup_catalog(backup_catalog *cat) {
    free(cat->runs);
    free(cat->sets);
    memset(cat, 0, sizeof *cat);
}

const job_slot *find_job_slot(const backup_job_set *set, const char *name) {
    for (uint64_t i = 0; i < set->slot_count && i < JOB_MAX_SLOTS; ++i)
        if (strcmp(set->slots[i].name, name) == 0) return &set->slots[i];
    return nullptr;
}
