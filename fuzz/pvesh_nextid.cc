// The output of pvesh get /cluster/nextid, read as the VMID choice reads it.
#include <cstring>

#include "common/text.h"
#include "fuzz/fuzz_util.h"
#include "restore/vmid.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The output buffer of the pvesh call holds 127 bytes.
    char out[128];
    size_t n = size < sizeof out - 1 ? size : sizeof out - 1;
    memcpy(out, data, n);
    out[n] = '\0';
    trim_trailing_space(out);
    int64_t vmid = 0;
    int32_t rc = parse_vmid_text(out, &vmid);
    fuzz::require(rc == 0 || rc == -1, "parse_vmid_text returns 0 or -1");
    if (rc == 0) {
        fuzz::require(vmid >= 1, "a VMID is at least 1");
    } else {
        fuzz::require(vmid == 0, "a refused text leaves the VMID alone");
    }
    return 0;
}
