// The restore's configuration rewrite over a fuzzed backed-up configuration
// and storage map, with the remap built the way the restore builds it: one
// new volume per disk the VM configuration parser lists (and none for a
// cloud-init drive, which the rewrite then drops).
//
// Input: <configuration text> [NUL <storage map: "old=new" lines>
//        [NUL <flags byte><MAC prefix>]]
// A plain configuration file is a valid input.
#include <cstdio>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_util.h"
#include "restore/allocation.h"
#include "restore/config_rewrite.h"
#include "restore/restore_options.h"
#include "restore/restore_vm.h"
#include "vmconfig/vm_config.h"

namespace {

const int64_t kVmid = 9001;

struct buffers {
    char out[RESTORE_CONFIG_SIZE];
    vm_volume_list before;
    vm_volume_list after;
    remap_entry remap[VM_MAX_VOLUMES];
};

// The storage a disk goes to: the first map line "old=new" for its storage.
std::string mapped_storage(const std::string &map, const char *storage) {
    for (const std::string &line : fuzz::split_lines(map)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == line.size()) continue;
        if (line.compare(0, eq, storage) == 0) return line.substr(eq + 1);
    }
    return storage;
}

bool allocated(const remap_entry *remap, uint64_t count, const char *slot, const char *storage,
               const char *volume) {
    for (uint64_t k = 0; k < count; ++k)
        if (strcmp(remap[k].slot, slot) == 0 && strcmp(remap[k].storage, storage) == 0 &&
            strcmp(remap[k].volume, volume) == 0)
            return true;
    return false;
}

// 1 for a cloud-init drive line whose volume is no remap entry of its slot.
int cloudinit_not_allocated(const char *key, const char *value, void *ctx) {
    if (drive_kind_of(key, value) != DRIVE_CLOUDINIT) return 0;
    const buffers *b = static_cast<const buffers *>(ctx);
    std::string ref(value, strcspn(value, ","));
    size_t colon = ref.find(':');
    return allocated(b->remap, b->before.count, key, ref.substr(0, colon).c_str(), ref.substr(colon + 1).c_str())
               ? 0
               : 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static std::unique_ptr<buffers> b(new buffers());
    std::vector<std::string> parts = fuzz::split_at_nul(data, size);
    const std::string &config = parts[0];
    const std::string map = parts.size() > 1 ? parts[1] : std::string();
    const std::string tail = parts.size() > 2 ? parts[2] : std::string();
    const uint8_t flags = tail.empty() ? 0 : static_cast<uint8_t>(tail[0]);
    const std::string mac_prefix = tail.size() > 1 ? tail.substr(1) : std::string(default_mac_prefix);
    const int32_t keep_network_identity = flags & 1;
    const char *uuid_text = (flags & 2) != 0 ? "" : "0d3c9b1e-7f4a-4c2e-9b1d-3a5e6f708192";

    char msg[512];
    if (parse_vm_config(config.c_str(), &b->before, msg, sizeof msg) != 0)
        return 0;  // the restore stops before the rewrite

    // The new volumes as pvesm alloc names them, read the way the
    // allocation reads its output.
    uint64_t remap_count = b->before.count;
    for (uint64_t i = 0; i < remap_count; ++i) {
        remap_entry &e = b->remap[i];
        memset(&e, 0, sizeof e);
        snprintf(e.slot, sizeof e.slot, "%s", b->before.rows[i].slot);
        std::string output = "successfully created '" + mapped_storage(map, b->before.rows[i].storage) +
                             ":vm-" + std::to_string(kVmid) + "-disk-" + std::to_string(i) + "'\n";
        char storage[ALLOC_NAME_SIZE];
        char volume[ALLOC_NAME_SIZE];
        if (parse_alloc_output(output.c_str(), storage, sizeof storage, volume, sizeof volume, msg,
                               sizeof msg) != 0)
            return 0;  // no storage pvesm would allocate on
        snprintf(e.storage, sizeof e.storage, "%s", storage);
        snprintf(e.volume, sizeof e.volume, "%s", volume);
    }

    char err[256];
    int32_t rc = build_target_config(config.c_str(), b->remap, remap_count, keep_network_identity, uuid_text,
                                     mac_prefix.c_str(), kVmid, b->out, sizeof b->out, err, sizeof err);
    fuzz::require(rc == 0 || rc == -1, "build_target_config returns 0 or -1");
    fuzz::require(fuzz::terminated(b->out, sizeof b->out) && fuzz::terminated(err, sizeof err),
                  "output and message are terminated");
    if (rc != 0) {
        fuzz::require(err[0] != '\0', "a failure says why");
        return 0;
    }

    // The restore installs what the rewrite gives: the new VM must never
    // be given a volume this restore did not allocate. Every disk and
    // cloud-init drive of the text is the remap entry of its slot.
    if (parse_vm_config(b->out, &b->after, msg, sizeof msg) != 0) {
        fprintf(stderr, "%s\n--- the rewritten text:\n%s\n---\n", msg, b->out);
        fuzz::broken("the rewritten text parses");
    }
    for (uint64_t i = 0; i < b->after.count; ++i) {
        const vm_volume &row = b->after.rows[i];
        if (!allocated(b->remap, remap_count, row.slot, row.storage, row.volume)) {
            fprintf(stderr, "%s: %s:%s is no volume of the restore\n", row.slot, row.storage, row.volume);
            fuzz::broken("the new configuration names only allocated volumes");
        }
    }
    fuzz::require(for_each_config_line(b->out, cloudinit_not_allocated, b.get()) == 0,
                  "a cloud-init drive of the new configuration is one the restore allocated");
    return 0;
}
