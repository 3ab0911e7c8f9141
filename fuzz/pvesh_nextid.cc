// The answers of Proxmox's Perl tools as the programs read them: the output
// of pvesh get /cluster/nextid, and the two helpers every such answer goes
// through (Perl's locale complaint dropped from the front, the last line of
// a kind taken).
#include <cstring>
#include <string>

#include "common/text.h"
#include "fuzz/fuzz_util.h"
#include "restore/vmid.h"

namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

void check_last_line(const std::string &text, char first) {
    size_t len = 99;
    const char *line = last_line_starting_with(text.c_str(), first, &len);
    if (line == nullptr) {
        fuzz::require(len == 0, "no line, no length");
        return;
    }
    fuzz::require(line >= text.c_str() && line + len <= text.c_str() + text.size(), "the line lies in the text");
    fuzz::require(line == text.c_str() || line[-1] == '\n', "a line starts after a newline");
    fuzz::require(len > 0 && !blank(line[len - 1]), "without its trailing white space");
    fuzz::require(memchr(line, '\n', len) == nullptr, "one line");
    fuzz::require(first == '\0' || line[0] == first, "of the kind asked for");
    // No later line of that kind.
    for (const char *p = line + len; (p = strchr(p, '\n')) != nullptr;) {
        ++p;
        const char *end = strchr(p, '\n');
        size_t n = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
        while (n > 0 && blank(p[n - 1])) --n;
        fuzz::require(n == 0 || (first != '\0' && p[0] != first), "the last line of its kind");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The output buffer of the pvesh call holds 4095 bytes.
    std::string text = fuzz::text_of(data, size < 4095 ? size : 4095);
    text.resize(strlen(text.c_str()));
    std::string trimmed = text;
    trim_trailing_space(trimmed.data());
    trimmed.resize(strlen(trimmed.c_str()));

    int64_t vmid = 0;
    int32_t rc = parse_nextid_output(trimmed.c_str(), &vmid);
    fuzz::require(rc == 0 || rc == -1, "parse_nextid_output returns 0 or -1");
    if (rc == 0) {
        fuzz::require(vmid >= 1, "a VMID is at least 1");
    } else {
        fuzz::require(vmid == 0, "a refused text leaves the VMID alone");
    }

    check_last_line(text, '\0');
    check_last_line(text, '/');

    std::string rest = text;
    size_t removed = drop_locale_warnings(rest.data());
    rest.resize(strlen(rest.c_str()));
    fuzz::require(removed + rest.size() == text.size() && text.compare(removed, std::string::npos, rest) == 0,
                  "only a front part is removed");
    fuzz::require(removed == 0 || text.compare(0, 15, "perl: warning: ") == 0, "only Perl's complaint");
    fuzz::require(removed == 0 || removed == text.size() || text[removed - 1] == '\n', "whole lines");
    fuzz::require(rest.compare(0, 15, "perl: warning: ") != 0, "the whole complaint");
    return 0;
}
