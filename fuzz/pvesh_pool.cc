// JSON from outside: the answer of pvesh get /pools/<pool> --output-format
// json as --pool reads it (parse_pool_members over json_parse), and the JSON
// quoting of texts the programs write.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "backup/node_select.h"
#include "common/json.h"
#include "fuzz/fuzz_util.h"

namespace {

size_t depth(const json_value &v) {
    size_t d = 0;
    for (const json_value &item : v.items) d = std::max(d, depth(item));
    for (const auto &member : v.members) d = std::max(d, depth(member.second));
    return d + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text = fuzz::text_of(data, size);
    text.resize(strlen(text.c_str()));  // the answer is read as C text

    json_value root;
    char msg[128];
    if (json_parse(text.data(), text.size(), &root, msg, sizeof msg) != 0) {
        fuzz::require(fuzz::terminated(msg, sizeof msg) && strstr(msg, " at byte ") != nullptr,
                      "a refusal says what and where");
    } else {
        fuzz::require(depth(root) <= JSON_MAX_DEPTH + 1, "nesting is limited");
    }

    std::vector<selected_vm> vms;
    size_t elsewhere = 99;
    int32_t rc = parse_pool_members(text.c_str(), "pve1", &vms, &elsewhere, msg, sizeof msg);
    fuzz::require(rc == 0 || rc == -1, "parse_pool_members returns 0 or -1");
    if (rc != 0) {
        fuzz::require(fuzz::terminated(msg, sizeof msg) && msg[0] != '\0', "a refusal says why");
    } else {
        for (size_t i = 0; i < vms.size(); ++i) {
            fuzz::require(vms[i].vmid >= 1 && vms[i].vmid <= 999999999, "a VMID in range");
            fuzz::require(i == 0 || vms[i - 1].vmid < vms[i].vmid, "ascending, each VM once");
        }
    }

    // Quoting any text gives one JSON string that reads back as the text,
    // when the text is valid UTF-8.
    std::string quoted;
    json_append_string(&quoted, text.c_str());
    json_value back;
    fuzz::require(json_parse(quoted.data(), quoted.size(), &back, msg, sizeof msg) == 0 &&
                      back.kind == json_value::string,
                  "a quoted text is one JSON string");
    bool valid = true;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text.c_str()); *p != '\0';) {
        size_t n = utf8_sequence(p);
        if (n == 0) {
            valid = false;
            break;
        }
        p += n;
    }
    fuzz::require(!valid || back.text == text, "valid UTF-8 reads back unchanged");
    fuzz::require(quoted.find('\n') == std::string::npos, "on one line");
    return 0;
}
