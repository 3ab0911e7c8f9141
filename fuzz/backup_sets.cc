// The grouping of a backup directory's runs into backup sets, over the
// fields the restore takes from each run header: job name, host name and
// creation time (all written by whoever wrote the directory).
//
// Input: one run per line, "<job name> <host name> <creation time>", the
// time in decimal (out-of-range values are clamped, as a header may hold
// any 64-bit time). Lines with fewer fields are left out, and so are lines
// past the 64th: the checks below grow with the square of the runs, and 64
// runs already make many sets of several hosts. The prefix is "vm100".
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "fuzz/fuzz_util.h"
#include "restore/backup_sets.h"
#include "vmconfig/vm_config.h"

namespace {

const char kPrefix[] = "vm100";
const size_t kMaxRuns = 64;

// The run of the catalog whose path is path.
const header_scan_entry *run_at(const backup_catalog &cat, const char *path) {
    for (uint64_t i = 0; i < cat.run_count; ++i)
        if (cat.runs[i].path == path) return &cat.runs[i];
    return nullptr;
}

// b is at most set_skew_seconds after a, without overflow.
bool at_most_skew_after(int64_t a, int64_t b) {
    return static_cast<__int128>(b) - a <= set_skew_seconds;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static std::unique_ptr<header_scan_entry[]> rows(new header_scan_entry[kMaxRuns]);
    uint64_t count = 0;
    for (const std::string &line : fuzz::split_lines(fuzz::text_of(data, size))) {
        if (count == kMaxRuns) break;
        char job[256], host[256], created[64];
        // A NUL ends the line for sscanf, as it ends a header's text field.
        if (sscanf(line.c_str(), "%255s %255s %63s", job, host, created) != 3) continue;
        header_scan_entry &row = rows[count];
        memset(&row, 0, sizeof row);
        snprintf(row.path, sizeof row.path, "/backups/run%" PRIu64 ".infb", count);
        snprintf(row.job_name, sizeof row.job_name, "%s", job);
        snprintf(row.host_name, sizeof row.host_name, "%s", host);
        row.creation_time = strtoll(created, nullptr, 10);
        row.source_size = count * 4096;
        count++;
    }

    backup_catalog cat;
    char err[256];
    if (group_backup_sets(rows.get(), count, kPrefix, &cat, err, sizeof err) != 0) {
        fuzz::require(strstr(err, "distinct disk slots") != nullptr, "only too many slots fail the grouping");
        return 0;
    }

    // What the catalog must be: one set per configuration run of the
    // prefix, newest first, each of one host.
    const std::string config_job = std::string(kPrefix) + "-vmconfig";
    uint64_t config_runs = 0;
    std::set<std::string> hosts;
    for (uint64_t i = 0; i < count; ++i)
        if (config_job == rows[i].job_name) {
            config_runs++;
            hosts.insert(rows[i].host_name);
        }
    fuzz::require(cat.count == config_runs, "one set per configuration run");
    fuzz::require(cat.host_count == hosts.size(), "the hosts are counted once each");
    fuzz::require(cat.run_count <= count, "the catalog holds runs of the directory only");

    for (uint64_t k = 0; k < cat.count; ++k) {
        const backup_job_set &set = cat.sets[k];
        if (k > 0) {
            const backup_job_set &newer = cat.sets[k - 1];
            fuzz::require(newer.created > set.created ||
                              (newer.created == set.created && strcmp(newer.host, set.host) <= 0),
                          "newest first, then by host");
        }
        const header_scan_entry *config = run_at(cat, set.vmconfig_header_path);
        fuzz::require(config != nullptr && config_job == config->job_name, "a set stands on a configuration run");
        fuzz::require(config->creation_time == set.created && set.host == config->host_name,
                      "the set has its configuration run's time and host");
        fuzz::require(set.slot_count <= JOB_MAX_SLOTS, "at most JOB_MAX_SLOTS slots");
        for (uint64_t s = 0; s < set.slot_count; ++s) {
            const job_slot &slot = set.slots[s];
            fuzz::require(fuzz::terminated(slot.name, sizeof slot.name) && is_disk_slot(slot.name) == 1,
                          "a slot is a disk slot");
            fuzz::require(find_job_slot(&set, slot.name) == &slot, "every slot once");
            const header_scan_entry *run = run_at(cat, slot.header_path);
            fuzz::require(run != nullptr && std::string(kPrefix) + "-" + slot.name == run->job_name,
                          "a slot's run is the job of that slot");
            fuzz::require(strcmp(run->host_name, set.host) == 0, "runs of another host are never mixed in");
            fuzz::require(run->creation_time == slot.created && run->source_size == slot.source_size,
                          "the slot has its run's fields");
            fuzz::require(slot.created <= set.created || at_most_skew_after(set.created, slot.created),
                          "no run long after its configuration run");
            if (slot.created > set.created) continue;
            // Of the slot's runs up to the configuration run, the newest.
            for (uint64_t i = 0; i < cat.run_count; ++i) {
                const header_scan_entry &other = cat.runs[i];
                if (strcmp(other.job_name, run->job_name) != 0 || strcmp(other.host_name, set.host) != 0) continue;
                fuzz::require(!(other.creation_time > slot.created && other.creation_time <= set.created),
                              "the newest run of a slot up to its configuration run");
            }
        }
    }
    free_backup_catalog(&cat);
    return 0;
}
