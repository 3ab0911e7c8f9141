// Choosing the backup set to restore, and listing the sets: each one's
// configuration text restored, parsed and held against its runs.
#include "restore/set_choice.h"

#include <cinttypes>
#include <cstring>
#include <memory>
#include <new>

#include "common/log.h"
#include "common/progress.h"
#include "common/temp_file.h"
#include "common/text.h"
#include "restore/interrupt.h"
#include "restore/restore_runs.h"
#include "restore/utc_time.h"

namespace {

// "<time> on host <host>"
const size_t kDescribeSize = size_t{UTC_TIME_SIZE} + size_t{HOST_NAME_SIZE} + 16;

// The catalog of a run, released when the scope ends.
struct catalog_holder {
    backup_catalog cat{};
    ~catalog_holder() { free_backup_catalog(&cat); }
};

// The configuration text of a run, through vlt_restore into a temporary
// file that is gone afterwards, into buf (RESTORE_CONFIG_SIZE bytes).
int32_t restore_config_text(const restore_options *opts, const char *header_path, char *buf, char *err,
                            size_t err_size) {
    temp_file config_file;
    if (!config_file.create_unique("/tmp/vlt_proxmox_restore_vmconfig.XXXXXX")) {
        put_text(err, err_size, "mkstemp failed: %s", strerror(errno));
        return -1;
    }
    (void)config_file.close_now();
    // The target is a new file: --assume-zeroed is for disks on thin storage.
    const char *forwarded[RESTORE_MAX_FORWARDED];
    bool withheld = false;
    int32_t count = without_assume_zeroed(opts->forwarded, opts->forwarded_count, forwarded, &withheld);
    char msg[256];
    if (run_restore_tool(header_path, opts->search_dir, config_file.path(), forwarded, count, msg, sizeof msg) != 0) {
        put_text(err, err_size, "could not restore the VM config job: %s", msg);
        return -1;
    }
    if (read_restored_config(config_file.path(), buf, err, err_size) != 0)
        return -1;
    // vlt_restore reported success: what it wrote must be a configuration.
    if (!has_config_key_line(buf)) {
        put_text(err, err_size, "vlt_restore restored no VM configuration from the configuration job (%zu bytes "
                 "without a configuration line)", strlen(buf));
        return -1;
    }
    return 0;
}

bool newer_than_at(const restore_options *opts, const backup_job_set &set) {
    return opts->at_given && set.created > opts->at;
}

// "2026-05-07T01:00:12Z on host pve1"
void describe(const backup_job_set &set, char *buf, size_t size) {
    char when[UTC_TIME_SIZE];
    format_utc_time(set.created, when);
    put_text(buf, size, "%s on host %s", when, set.host[0] != '\0' ? set.host : "(unknown)");
}

// Writes text as a JSON string.
void json_string(FILE *out, const char *text) {
    fputc('"', out);
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != '\0'; p++) {
        if (*p == '"' || *p == '\\')
            fprintf(out, "\\%c", *p);
        else if (*p < 0x20)
            fprintf(out, "\\u%04x", *p);
        else
            fputc(*p, out);
    }
    fputc('"', out);
}

// A comma-separated list as a JSON array ("-" is the empty list).
void json_list(FILE *out, const char *list) {
    fputc('[', out);
    if (strcmp(list, "-") != 0) {
        const char *p = list;
        for (bool first = true; *p != '\0'; first = false) {
            size_t n = strcspn(p, ",");
            char item[64];
            copy_cut(item, sizeof item, p, n);
            if (!first) fputc(',', out);
            json_string(out, item);
            p += n;
            if (*p == ',') p++;
        }
    }
    fputc(']', out);
}

// The disks a set holds (a set whose configuration cannot be read: every
// run of it) and their size.
void held_disks(const opened_set *opened, bool readable, char *list, size_t size, uint64_t *ret_bytes) {
    if (readable) {
        plan_slots(&opened->volumes, &opened->plan, DISK_RESTORE, list, size);
        *ret_bytes = opened->plan.restore_bytes;
        return;
    }
    size_t len = 0;
    list[0] = '\0';
    *ret_bytes = 0;
    const backup_job_set *set = opened->set;
    for (uint64_t i = 0; i < set->slot_count; i++) {
        if (len < size) len += static_cast<size_t>(put_text(list + len, size - len, "%s%s", i ? "," : "", set->slots[i].name));
        *ret_bytes += set->slots[i].source_size;
    }
    if (len == 0) put_text(list, size, "-");
}

void print_set(const restore_options *opts, FILE *out, const opened_set *opened, bool readable, bool first) {
    const backup_job_set &set = *opened->set;
    char when[UTC_TIME_SIZE];
    format_utc_time(set.created, when);
    char disks[VM_MAX_VOLUMES * 25 + 2];
    char missing[VM_MAX_VOLUMES * 25 + 2];
    uint64_t bytes = 0;
    held_disks(opened, readable, disks, sizeof disks, &bytes);
    if (readable)
        plan_slots(&opened->volumes, &opened->plan, DISK_MISSING, missing, sizeof missing);
    else
        put_text(missing, sizeof missing, "?");
    const char *status = !readable ? "unreadable" : opened->plan.missing_count == 0 ? "complete" : "incomplete";
    if (!opts->json) {
        fprintf(out, "%s host=%s %s disks=%s missing=%s size=%" PRIu64 "\n", when,
                set.host[0] != '\0' ? set.host : "-", status, disks, missing, bytes);
        return;
    }
    fprintf(out, "%s{\"time\":", first ? "" : ",\n ");
    json_string(out, when);
    fprintf(out, ",\"created\":%" PRId64 ",\"host\":", set.created);
    json_string(out, set.host);
    fprintf(out, ",\"status\":\"%s\",\"complete\":%s,\"disks\":", status,
            readable && opened->plan.missing_count == 0 ? "true" : "false");
    json_list(out, disks);
    fprintf(out, ",\"missing\":");
    if (readable)
        json_list(out, missing);
    else
        fprintf(out, "null");
    fprintf(out, ",\"size\":%" PRIu64 ",\"config\":", bytes);
    json_string(out, set.vmconfig_header_path);
    fputc('}', out);
}

}  // namespace

int32_t open_backup_set(const restore_options *opts, const backup_job_set *set, opened_set *ret, char *err,
                        size_t err_size) {
    memset(ret, 0, sizeof *ret);
    ret->set = set;
    progress_status(PROGRESS_PREPARING, "restoring the VM configuration");
    if (restore_config_text(opts, set->vmconfig_header_path, ret->config_text, err, err_size) != 0) return -1;
    char parse_msg[512];
    parse_msg[0] = '\0';
    if (parse_vm_config(ret->config_text, &ret->volumes, parse_msg, sizeof parse_msg) != 0) {
        put_text(err, err_size, "cannot parse the restored VM config: %s", parse_msg);
        return -1;
    }
    read_backup_record(ret->config_text, &ret->record);
    plan_disks(&ret->volumes, &ret->record, set, &ret->plan);
    return 0;
}

int32_t choose_backup_set(const restore_options *opts, const backup_catalog *cat, opened_set *ret, char *err,
                          size_t err_size) {
    const char *prefix = opts->job_prefix;
    char at_text[UTC_TIME_SIZE + 32] = "";
    if (opts->at_given) {
        char when[UTC_TIME_SIZE];
        format_utc_time(opts->at, when);
        put_text(at_text, sizeof at_text, " not newer than %s", when);
    }
    int64_t newest = -1;  // the newest set taken into account, incomplete
    char newest_missing[VM_MAX_VOLUMES * 25 + 2] = "";
    for (uint64_t i = 0; i < cat->count; i++) {
        const backup_job_set &set = cat->sets[i];
        if (newer_than_at(opts, set)) continue;
        if (open_backup_set(opts, &set, ret, err, err_size) != 0) return -1;
        if (ret->plan.missing_count == 0) {
            char chosen[kDescribeSize];
            describe(set, chosen, sizeof chosen);
            if (newest >= 0) {
                char passed[kDescribeSize];
                describe(cat->sets[newest], passed, sizeof passed);
                log_write(LOG_LEVEL_WARN,
                          "the newest backup of '%s'%s, made at %s, is incomplete (it lacks %s): restoring the "
                          "newest complete one, made at %s",
                          prefix, at_text, passed, newest_missing, chosen);
            }
            if (cat->host_count > 1)
                log_write(LOG_LEVEL_WARN,
                          "backups of '%s' from %" PRIu64 " hosts are under %s: their runs are never mixed; "
                          "restoring the one made at %s (see --list)",
                          prefix, cat->host_count, opts->search_dir, chosen);
            log_write(LOG_LEVEL_INFO, "restoring the backup of '%s' made at %s", prefix, chosen);
            return 0;
        }
        if (newest < 0) {
            newest = static_cast<int64_t>(i);
            plan_slots(&ret->volumes, &ret->plan, DISK_MISSING, newest_missing, sizeof newest_missing);
        }
        if (interrupted(err, err_size)) return -1;
    }
    if (newest >= 0) {
        char passed[kDescribeSize];
        describe(cat->sets[newest], passed, sizeof passed);
        put_text(err, err_size,
                 "no complete backup of '%s'%s under %s: the newest, made at %s, lacks %s (see --list)", prefix,
                 at_text, opts->search_dir, passed, newest_missing);
    } else if (cat->count > 0 && opts->at_given) {
        put_text(err, err_size, "no backup of '%s'%s under %s (see --list)", prefix, at_text, opts->search_dir);
    } else {
        put_text(err, err_size, "no '%s-vmconfig' backup job found under %s", prefix, opts->search_dir);
    }
    return -1;
}

int32_t list_backup_sets(const restore_options *opts, FILE *out, char *err, size_t err_size) {
    interrupt_guard guard;
    catalog_holder holder;
    if (find_backup_sets(opts->search_dir, opts->job_prefix, &holder.cat, err, err_size) != 0) return -1;
    const backup_catalog &cat = holder.cat;
    if (cat.count == 0) {
        put_text(err, err_size, "no '%s-vmconfig' backup job found under %s", opts->job_prefix, opts->search_dir);
        return -1;
    }
    std::unique_ptr<opened_set> opened(new (std::nothrow) opened_set());
    if (!opened) {
        put_text(err, err_size, "out of memory");
        return -1;
    }
    if (opts->json) fputc('[', out);
    bool first = true;
    for (uint64_t i = 0; i < cat.count; i++) {
        if (newer_than_at(opts, cat.sets[i])) continue;
        char msg[1024];
        bool readable = open_backup_set(opts, &cat.sets[i], opened.get(), msg, sizeof msg) == 0;
        if (interrupted(err, err_size)) return -1;
        if (!readable) {
            opened->set = &cat.sets[i];
            char which[kDescribeSize];
            describe(cat.sets[i], which, sizeof which);
            log_write(LOG_LEVEL_WARN, "the backup made at %s: %s", which, msg);
        }
        print_set(opts, out, opened.get(), readable, first);
        first = false;
    }
    if (opts->json) fputs("]\n", out);
    fflush(out);
    return 0;
}
