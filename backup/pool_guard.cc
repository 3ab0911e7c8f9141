// The thin pools and COW snapshots of a backup: read before the freeze,
// watched while the agents run, and each COW snapshot checked after it was
// read.
#include "backup/pool_guard.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/runner.h"
#include "common/text.h"

double cow_nearly_full_percent = 95;
uint32_t pool_watch_interval_ms = 5000;

namespace {

// lvs of up to this many "vg/lv" selections.
constexpr size_t kMaxSelections = 2 * VM_MAX_VOLUMES;

// One lvs report of a few fields for a few selected LVs.
class lvs_query {
public:
    explicit lvs_query(const char *fields)
    {
        argv_[0] = "lvs";
        argv_[1] = "--noheadings";
        argv_[2] = "--separator";
        argv_[3] = "|";
        argv_[4] = "-o";
        argv_[5] = fields;
        argc_ = 6;
    }
    void select(const char *vg, const char *lv)
    {
        if (count_ >= kMaxSelections)
            return;
        put_text(names_[count_], sizeof names_[count_], "%s/%s", vg, lv);
        argv_[argc_++] = names_[count_++];
    }
    size_t selected() const { return count_; }
    // Runs it: 0 with the report in out, or -1 with the reason in msg.
    int32_t run(captured_text *out, char *msg, size_t msg_size)
    {
        argv_[argc_] = nullptr;
        return read_lvs_listing(argv_, out, msg, msg_size) == 0 ? 0 : -1;
    }

private:
    const char *argv_[6 + kMaxSelections + 1];
    size_t argc_ = 0;
    char names_[kMaxSelections][300];
    size_t count_ = 0;
};

// Splits one report line at "|" in place into at most max trimmed fields;
// returns how many there are.
size_t split_row(char *line, char **fields, size_t max)
{
    size_t n = 0;
    char *pos = line;
    while (n < max) {
        char *bar = strchr(pos, '|');
        if (bar != nullptr)
            *bar = '\0';
        while (*pos == ' ' || *pos == '\t')
            pos++;
        char *end = pos + strlen(pos);
        while (end > pos && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r'))
            *--end = '\0';
        fields[n++] = pos;
        if (bar == nullptr)
            break;
        pos = bar + 1;
    }
    return n;
}

// Calls row(fields, count) for every line of the report.
template <typename F>
void each_row(char *report, size_t max_fields, F row)
{
    for (char *line = report; *line != '\0';) {
        char *nl = strchr(line, '\n');
        if (nl != nullptr)
            *nl = '\0';
        char *fields[8];
        size_t count = split_row(line, fields, max_fields < 8 ? max_fields : 8);
        if (count == max_fields)
            row(fields);
        if (nl == nullptr)
            break;
        line = nl + 1;
    }
}

// A percentage as lvs prints it ("95.50"); false when empty or not a number.
bool percent(const char *text, double *value)
{
    if (text[0] == '\0')
        return false;
    char *end = nullptr;
    *value = strtod(text, &end);
    return end != text && *end == '\0';
}

// The state character of lv_attr: 'I' for an invalid snapshot.
char attr_state(const char *attr) { return strlen(attr) > 4 ? attr[4] : '\0'; }
// The health character: 'D' for a pool out of data space, 'M' metadata.
char attr_health(const char *attr) { return strlen(attr) > 8 ? attr[8] : '\0'; }

// One pool row against the limit: true when it is above it (or out of
// space), with "thin pool vg/pool of storage 's' is N% full (...)" in msg.
bool pool_over_limit(const guarded_pool &pool, char **f, uint32_t limit, char *msg, size_t msg_size)
{
    double data = 0, meta = 0;
    bool have_data = percent(f[3], &data);
    bool have_meta = percent(f[4], &meta);
    char health = attr_health(f[2]);
    const char *what = nullptr;
    double value = 0;
    if (health == 'D' || (have_data && data > limit)) {
        what = "data";
        value = health == 'D' && (!have_data || data < 100) ? 100 : data;
    } else if (health == 'M' || (have_meta && meta > limit)) {
        what = "metadata";
        value = health == 'M' && (!have_meta || meta < 100) ? 100 : meta;
    }
    if (what == nullptr)
        return false;
    put_text(msg, msg_size, "thin pool %s/%s of storage '%s' is %.2f%% full (%s; limit %u%%, --pool-limit)", pool.vg,
             pool.pool, pool.storage, value, what, limit);
    return true;
}

int32_t find_pool(const pool_guard *guard, const char *vg, const char *pool)
{
    for (size_t p = 0; p < guard->pool_count; p++)
        if (strcmp(guard->pools[p].vg, vg) == 0 && strcmp(guard->pools[p].pool, pool) == 0)
            return static_cast<int32_t>(p);
    return -1;
}

// While the agent of snapshot `index` runs: the pools that hold a live
// snapshot, and that agent's own snapshot when it is a COW one.
int32_t watch(void *ctx, size_t index, char *why, size_t why_size)
{
    pool_guard *guard = static_cast<pool_guard *>(ctx);
    const snapshot_set *set = guard->set;
    lvs_query query("vg_name,lv_name,lv_attr,data_percent,metadata_percent,snap_percent");
    bool pool_live[VM_MAX_VOLUMES] = {};
    for (uint64_t i = 0; i < set->count && i < VM_MAX_VOLUMES; i++)
        if (g_cleanup.created[i] && guard->disk_pool[i] >= 0)
            pool_live[guard->disk_pool[i]] = true;
    for (size_t p = 0; p < guard->pool_count; p++)
        if (pool_live[p])
            query.select(guard->pools[p].vg, guard->pools[p].pool);
    const snapshot_entry &mine = set->rows[index];
    bool cow = guard->disk_pool[index] < 0;
    if (cow)
        query.select(mine.vg_name, mine.snapshot_lv_name);
    if (query.selected() == 0)
        return AGENT_GO_ON;

    captured_text report;
    char failure[512];
    if (query.run(&report, failure, sizeof failure) != 0) {
        if (!guard->warned)
            log_write(LOG_LEVEL_WARN, "could not look at the thin pools' usage while the backup runs: %s", failure);
        guard->warned = true;
        return AGENT_GO_ON;
    }
    int32_t verdict = AGENT_GO_ON;
    each_row(report.text(), 6, [&](char **f) {
        if (verdict == AGENT_STOP_RUN)
            return;
        int32_t p = find_pool(guard, f[0], f[1]);
        char text[400];
        if (p >= 0 && pool_over_limit(guard->pools[p], f, guard->limit, text, sizeof text)) {
            put_text(why, why_size, "%s: the backup was stopped to protect the pool", text);
            verdict = AGENT_STOP_RUN;
            return;
        }
        double used = 0;
        if (cow && strcmp(f[0], mine.vg_name) == 0 && strcmp(f[1], mine.snapshot_lv_name) == 0 &&
            (attr_state(f[2]) == 'I' || (percent(f[5], &used) && used >= cow_nearly_full_percent))) {
            put_text(why, why_size,
                     "snapshot %s/%s is %.2f%% full: its copy-on-write space ran out while the disk was read "
                     "(give it more with --snapshot-size)",
                     mine.vg_name, mine.snapshot_lv_name, attr_state(f[2]) == 'I' ? 100.0 : used);
            verdict = AGENT_STOP_DISK;
        }
    });
    return verdict;
}

// After the agent of snapshot `index` exited 0: a COW snapshot that became
// invalid meanwhile gave it I/O errors or worse.
int32_t check_after(void *ctx, size_t index, char *why, size_t why_size)
{
    pool_guard *guard = static_cast<pool_guard *>(ctx);
    if (guard->disk_pool[index] >= 0)
        return 0;
    const snapshot_entry &mine = guard->set->rows[index];
    lvs_query query("vg_name,lv_name,lv_attr,snap_percent");
    query.select(mine.vg_name, mine.snapshot_lv_name);
    captured_text report;
    char failure[512];
    if (query.run(&report, failure, sizeof failure) != 0) {
        put_text(why, why_size, "could not check the snapshot %s/%s after it was read: %s", mine.vg_name,
                 mine.snapshot_lv_name, failure);
        return -1;
    }
    bool invalid = false, seen = false;
    each_row(report.text(), 4, [&](char **f) {
        double used = 0;
        if (strcmp(f[0], mine.vg_name) != 0 || strcmp(f[1], mine.snapshot_lv_name) != 0)
            return;
        seen = true;
        invalid = invalid || attr_state(f[2]) == 'I' || (percent(f[3], &used) && used >= 100);
    });
    if (!seen) {
        put_text(why, why_size, "could not check the snapshot %s/%s after it was read: lvs does not list it",
                 mine.vg_name, mine.snapshot_lv_name);
        return -1;
    }
    if (invalid) {
        put_text(why, why_size,
                 "snapshot %s/%s became invalid while it was read (its copy-on-write space ran full): this "
                 "disk's backup is not usable (give it more with --snapshot-size)",
                 mine.vg_name, mine.snapshot_lv_name);
        return -1;
    }
    return 0;
}

}  // namespace

int32_t pool_guard_prepare(const resolved_disk_list *disks, uint32_t limit, pool_guard *guard, char *msg,
                           size_t msg_size)
{
    memset(guard, 0, sizeof *guard);
    guard->limit = limit;
    put_text(msg, msg_size, "%s", "");
    lvs_query volumes("vg_name,lv_name,pool_lv");
    for (uint64_t i = 0; i < disks->count && i < VM_MAX_VOLUMES; i++) {
        guard->disk_pool[i] = -1;
        if (is_thin_lv(&disks->rows[i].lv))
            volumes.select(disks->rows[i].lv.vg_name, disks->rows[i].lv.lv_name);
    }
    if (volumes.selected() == 0)
        return 0;

    captured_text report;
    char failure[512];
    if (volumes.run(&report, failure, sizeof failure) != 0) {
        put_text(msg, msg_size, "cannot find the thin pools of the disks: %s", failure);
        return -1;
    }
    each_row(report.text(), 3, [&](char **f) {
        for (uint64_t i = 0; i < disks->count && i < VM_MAX_VOLUMES; i++) {
            const lv_info &lv = disks->rows[i].lv;
            if (!is_thin_lv(&lv) || f[2][0] == '\0' || strcmp(f[0], lv.vg_name) != 0 ||
                strcmp(f[1], lv.lv_name) != 0)
                continue;
            int32_t p = find_pool(guard, f[0], f[2]);
            if (p < 0 && guard->pool_count < VM_MAX_VOLUMES) {
                guarded_pool &pool = guard->pools[guard->pool_count];
                put_text(pool.vg, sizeof pool.vg, "%s", f[0]);
                put_text(pool.pool, sizeof pool.pool, "%s", f[2]);
                put_text(pool.storage, sizeof pool.storage, "%s", disks->rows[i].volume.storage);
                p = static_cast<int32_t>(guard->pool_count++);
            }
            guard->disk_pool[i] = p;
        }
    });
    lvs_query pools("vg_name,lv_name,lv_attr,data_percent,metadata_percent");
    for (uint64_t i = 0; i < disks->count && i < VM_MAX_VOLUMES; i++) {
        if (is_thin_lv(&disks->rows[i].lv) && guard->disk_pool[i] < 0) {
            put_text(msg, msg_size, "cannot find the thin pool of %s/%s: lvs does not list its pool",
                     disks->rows[i].lv.vg_name, disks->rows[i].lv.lv_name);
            return -1;
        }
    }
    for (size_t p = 0; p < guard->pool_count; p++)
        pools.select(guard->pools[p].vg, guard->pools[p].pool);
    if (pools.run(&report, failure, sizeof failure) != 0) {
        put_text(msg, msg_size, "cannot read the usage of the thin pools: %s", failure);
        return -1;
    }
    bool over = false;
    bool listed[VM_MAX_VOLUMES] = {};
    each_row(report.text(), 5, [&](char **f) {
        int32_t p = find_pool(guard, f[0], f[1]);
        char text[400];
        if (over || p < 0)
            return;
        listed[p] = true;
        double ignored;
        if (!percent(f[3], &ignored))
            log_write(LOG_LEVEL_WARN, "the usage of thin pool %s/%s is unknown (is it inactive?): not checked", f[0],
                      f[1]);
        if (pool_over_limit(guard->pools[p], f, limit, text, sizeof text)) {
            put_text(msg, msg_size, "%s: no snapshot taken", text);
            over = true;
        }
    });
    if (over)
        return -1;
    // A pool the listing leaves out would go unguarded.
    for (size_t p = 0; p < guard->pool_count; p++) {
        if (!listed[p]) {
            put_text(msg, msg_size, "cannot read the usage of thin pool %s/%s: lvs does not list it",
                     guard->pools[p].vg, guard->pools[p].pool);
            return -1;
        }
    }
    return 0;
}

agent_limits pool_guard_limits(pool_guard *guard, const snapshot_set *set, uint32_t agent_timeout_s)
{
    guard->set = set;
    agent_limits limits;
    limits.time_limit_s = agent_timeout_s;
    limits.check_interval_ms = pool_watch_interval_ms;
    limits.check = watch;
    limits.check_after = check_after;
    limits.ctx = guard;
    return limits;
}
