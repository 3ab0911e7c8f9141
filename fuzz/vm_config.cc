// The VM configuration parser over arbitrary `qm config` output or a stored
// configuration: the disk list, the line walker every other reader of the
// text goes through, the options of a drive line, and the backup's own
// record line.
#include <cstring>
#include <memory>

#include "fuzz/fuzz_util.h"
#include "vmconfig/backup_record.h"
#include "vmconfig/vm_config.h"

namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Every key and value the walker hands out is trimmed, cut to fit and on
// one line; vm_config_value finds the first value of each key.
struct walk {
    const char *text;
    size_t lines;
};

int check_line(const char *key, const char *value, void *ctx) {
    walk *w = static_cast<walk *>(ctx);
    w->lines++;
    size_t k = strlen(key);
    size_t v = strlen(value);
    fuzz::require(k < CONFIG_KEY_SIZE && v < CONFIG_VALUE_SIZE, "key and value are cut to fit");
    fuzz::require(strchr(key, '\n') == nullptr && strchr(value, '\n') == nullptr, "one line each");
    fuzz::require(strchr(key, ':') == nullptr, "a key ends before the first ':'");
    fuzz::require(k == 0 || k == CONFIG_KEY_SIZE - 1 || (!blank(key[0]) && !blank(key[k - 1])),
                  "a key is trimmed");
    fuzz::require(v == 0 || v == CONFIG_VALUE_SIZE - 1 || (!blank(value[0]) && !blank(value[v - 1])),
                  "a value is trimmed");
    char first[CONFIG_VALUE_SIZE];
    fuzz::require(vm_config_value(w->text, key, first, sizeof first) == 1, "a key walked is a key found");
    return 0;
}

void check_record(const char *text) {
    backup_record rec;
    read_backup_record(text, &rec);
    fuzz::require(rec.found == 0 || rec.found == 1, "found is 0 or 1");
    fuzz::require(rec.count <= VM_MAX_VOLUMES && (rec.found == 1 || rec.count == 0), "slots only from the line");
    const char *slots[VM_MAX_VOLUMES];
    for (uint64_t i = 0; i < rec.count; ++i) {
        fuzz::require(fuzz::terminated(rec.slots[i], sizeof rec.slots[i]) && is_disk_slot(rec.slots[i]) == 1,
                      "a recorded slot is a disk slot");
        fuzz::require(backup_record_find(&rec, rec.slots[i]) == static_cast<int32_t>(i), "every slot once");
        fuzz::require(rec.failed[i] == 0 || rec.failed[i] == 1, "failed is 0 or 1");
        slots[i] = rec.slots[i];
    }
    if (!rec.found) return;
    // What the backup writes for this record reads back as the same.
    char line[4096] = "";
    fuzz::require(append_backup_record(line, sizeof line, slots, rec.failed, rec.count) == 0,
                  "a record of at most 32 slots fits its line");
    backup_record again;
    read_backup_record(line, &again);
    fuzz::require(again.found == 1 && again.count == rec.count &&
                      memcmp(again.slots, rec.slots, sizeof rec.slots) == 0 &&
                      memcmp(again.failed, rec.failed, sizeof rec.failed) == 0,
                  "a written record reads back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static std::unique_ptr<vm_volume_list[]> lists(new vm_volume_list[2]);
    vm_volume_list &list = lists[0];
    vm_volume_list &again = lists[1];
    std::string text = fuzz::text_of(data, size);
    char msg[128];
    int32_t rc = parse_vm_config(text.c_str(), &list, msg, sizeof msg);
    fuzz::require(rc == 0 || rc == -1, "parse_vm_config returns 0 or -1");
    fuzz::require(fuzz::terminated(msg, sizeof msg), "the message is terminated");

    walk w{text.c_str(), 0};
    fuzz::require(for_each_config_line(text.c_str(), check_line, &w) == 0, "the walk visits every line");
    check_record(text.c_str());
    int has_key = has_config_key_line(text.c_str());
    fuzz::require(has_key == 0 || (has_key == 1 && w.lines > 0), "a key line is a line the walker visits");

    if (rc != 0) {
        fuzz::require(msg[0] != '\0', "a failure says why");
        return 0;
    }
    fuzz::require(list.count <= VM_MAX_VOLUMES, "at most VM_MAX_VOLUMES rows");
    fuzz::require(list.count <= w.lines, "a disk is a line the walker visits");
    for (uint64_t i = 0; i < list.count; ++i) {
        const vm_volume &row = list.rows[i];
        fuzz::require(fuzz::terminated(row.slot, sizeof row.slot) &&
                          fuzz::terminated(row.storage, sizeof row.storage) &&
                          fuzz::terminated(row.volume, sizeof row.volume),
                      "every field is terminated");
        fuzz::require(is_disk_slot(row.slot) == 1, "every slot is a disk slot");
        fuzz::require(row.storage[0] != '\0' && row.volume[0] != '\0',
                      "storage and volume are never empty");
        fuzz::require(strchr(row.storage, ':') == nullptr, "the storage ends before the first ':'");
        fuzz::require(strchr(row.volume, ',') == nullptr, "the volume ends before the first ','");
        fuzz::require(row.no_backup == 0 || row.no_backup == 1, "no_backup is 0 or 1");
        for (const char *name : {"format", "size", "backup"}) {
            char value[64];
            int found = vm_config_drive_option(text.c_str(), row.slot, name, value, sizeof value);
            fuzz::require(found == 0 || found == 1, "vm_config_drive_option answers 0 or 1");
            fuzz::require(fuzz::terminated(value, sizeof value) && strchr(value, ',') == nullptr &&
                              (found == 1 || value[0] == '\0'),
                          "an option's value is one option's, and empty when not found");
        }
    }
    // Parsing the same text again gives the same list: nothing is kept
    // between calls.
    char msg2[128];
    fuzz::require(parse_vm_config(text.c_str(), &again, msg2, sizeof msg2) == 0 &&
                      memcmp(&again, &list, sizeof list) == 0,
                  "the parser is deterministic");
    return 0;
}
