// A progress segment under /dev/shm, where anybody may drop a file of that
// name: decoded, then shown as the monitor's table and JSON.
//
// Input: the segment's bytes (1208 of them make a whole segment).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_util.h"
#include "monitor/report.h"
#include "monitor/segment_reader.h"

namespace {

// A UTF-8 encoded C1 control (U+0080..U+009F): terminals act on it like on
// an escape sequence.
bool c1_at(const std::string &s, size_t i) {
    return static_cast<unsigned char>(s[i]) == 0xC2 && i + 1 < s.size() &&
           static_cast<unsigned char>(s[i + 1]) >= 0x80 && static_cast<unsigned char>(s[i + 1]) <= 0x9F;
}

void check_terminal_text(const std::string &s) {
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        fuzz::require(c == '\n' || (c >= 0x20 && c != 0x7F), "the table holds no control character");
        fuzz::require(!c1_at(s, i), "the table holds no C1 control");
    }
}

// A small JSON reader: true when text[*pos...] is one value.
struct json_reader {
    const std::string &s;
    size_t pos = 0;

    void blank() { while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\n')) ++pos; }
    bool lit(const char *w) {
        size_t n = strlen(w);
        if (s.compare(pos, n, w) != 0) return false;
        pos += n;
        return true;
    }
    bool string() {
        if (pos >= s.size() || s[pos] != '"') return false;
        for (++pos; pos < s.size(); ++pos) {
            unsigned char c = static_cast<unsigned char>(s[pos]);
            if (c == '"') { ++pos; return true; }
            if (c < 0x20) return false;
            if (c == '\\') {
                ++pos;
                if (pos >= s.size()) return false;
                if (s[pos] == 'u') {
                    for (int k = 0; k < 4; ++k)
                        if (++pos >= s.size() || !isxdigit(static_cast<unsigned char>(s[pos]))) return false;
                } else if (!strchr("\"\\/bfnrt", s[pos])) {
                    return false;
                }
            }
        }
        return false;
    }
    bool number() {
        size_t start = pos;
        if (pos < s.size() && s[pos] == '-') ++pos;
        while (pos < s.size() && isdigit(static_cast<unsigned char>(s[pos]))) ++pos;
        return pos > start && isdigit(static_cast<unsigned char>(s[pos - 1]));
    }
    bool value(int depth) {
        if (depth > 8) return false;
        blank();
        if (pos >= s.size()) return false;
        char c = s[pos];
        if (c == '"') return string();
        if (c == '{' || c == '[') {
            char close = c == '{' ? '}' : ']';
            ++pos;
            blank();
            if (pos < s.size() && s[pos] == close) { ++pos; return true; }
            for (;;) {
                if (c == '{') {
                    blank();
                    if (!string()) return false;
                    blank();
                    if (!lit(":")) return false;
                }
                if (!value(depth + 1)) return false;
                blank();
                if (lit(",")) continue;
                return lit(close == '}' ? "}" : "]");
            }
        }
        if (lit("true") || lit("false") || lit("null")) return true;
        return number();
    }
};

// The whole text is valid UTF-8.
bool valid_utf8(const std::string &s) {
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

std::string written(void (*write)(FILE *, const segment_entry *, size_t, uint64_t), const segment_entry *e,
                    size_t count) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    if (f == nullptr) abort();
    write(f, e, count, 5000);
    fclose(f);
    std::string text(buf, len);
    free(buf);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    segment_entry entries[3];
    memset(entries, 0, sizeof entries);
    segment_view view;
    char reason[160];
    int32_t rc = decode_segment(data, size, &view, reason, sizeof reason);
    fuzz::require(rc == 0 || (rc == -1 && fuzz::terminated(reason, sizeof reason) && reason[0] != '\0'),
                  "a refused segment says why");
    for (size_t i = 0; i < 2; ++i) {
        snprintf(entries[i].name, sizeof entries[i].name, "vlt_progress.%zu", 100 + i);
        entries[i].state = rc == 0 ? (i == 0 ? SEGMENT_RUNNING : SEGMENT_STALE) : SEGMENT_MALFORMED;
        entries[i].view = view;
        snprintf(entries[i].reason, sizeof entries[i].reason, "%s", rc == 0 ? "" : reason);
    }
    if (rc == 0)
        fuzz::require(fuzz::terminated(view.job, sizeof view.job) && fuzz::terminated(view.detail, sizeof view.detail) &&
                          fuzz::terminated(view.status, sizeof view.status),
                      "decoded texts are terminated");

    std::string table = written(write_table, entries, 2);
    check_terminal_text(table);

    std::string json = written(write_json, entries, 2);
    fuzz::require(json.size() >= 2 && json.compare(json.size() - 2, 2, "}\n") == 0 &&
                      json.find('\n') == json.size() - 1,
                  "the JSON is one line");
    fuzz::require(valid_utf8(json), "the JSON is valid UTF-8");
    json_reader reader{json};
    fuzz::require(reader.value(0) && (reader.blank(), reader.pos == json.size()), "the JSON is one valid value");
    return 0;
}
