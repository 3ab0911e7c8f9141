// The VM configuration parser over arbitrary `qm config` output.
#include <cstring>

#include "fuzz/fuzz_util.h"
#include "vmconfig/vm_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text = fuzz::text_of(data, size);
    vm_volume_list list;
    char msg[128];
    int32_t rc = parse_vm_config(text.c_str(), &list, msg, sizeof msg);
    fuzz::require(rc == 0 || rc == -1, "parse_vm_config returns 0 or -1");
    fuzz::require(fuzz::terminated(msg, sizeof msg), "the message is terminated");
    if (rc != 0) {
        fuzz::require(msg[0] != '\0', "a failure says why");
        return 0;
    }
    fuzz::require(list.count <= VM_MAX_VOLUMES, "at most VM_MAX_VOLUMES rows");
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
    }
    // Parsing the same text again gives the same list: nothing is kept
    // between calls.
    vm_volume_list again;
    char msg2[128];
    fuzz::require(parse_vm_config(text.c_str(), &again, msg2, sizeof msg2) == 0 &&
                      memcmp(&again, &list, sizeof list) == 0,
                  "the parser is deterministic");
    return 0;
}
