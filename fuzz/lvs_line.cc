// The lvs listing, line by line as the disk lookup reads it.
#include <cstring>

#include "backup/disks.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text = fuzz::text_of(data, size);
    text.resize(strlen(text.c_str()));  // the listing is read as C text
    for (const std::string &line : fuzz::split_lines(text)) {
        if (line.empty())
            continue;
        lv_info lv;
        int32_t rc = parse_lvs_line(line.c_str(), &lv);
        fuzz::require(rc == 0 || rc == -1, "parse_lvs_line returns 0 or -1");
        if (rc != 0)
            continue;
        fuzz::require(fuzz::terminated(lv.vg_name, sizeof lv.vg_name) &&
                          fuzz::terminated(lv.lv_name, sizeof lv.lv_name) &&
                          fuzz::terminated(lv.attr, sizeof lv.attr) &&
                          fuzz::terminated(lv.segtype, sizeof lv.segtype) &&
                          fuzz::terminated(lv.origin, sizeof lv.origin),
                      "every field is terminated");
        fuzz::require(lv.vg_name[0] != '\0' && lv.lv_name[0] != '\0' && lv.attr[0] != '\0',
                      "volume group, name and attributes are never empty");
        (void)is_thin_lv(&lv);
        (void)is_active_lv(&lv);
    }
    return 0;
}
