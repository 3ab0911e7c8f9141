// Helpers of the fuzz targets: the fuzzer's bytes as C text, split into
// parts, and the checks whose failure the fuzzer reports as a crash.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace fuzz {

// The bytes as one terminated text; a NUL inside ends it for C string
// functions, the way a NUL in a tool's output does.
inline std::string text_of(const uint8_t *data, size_t size) {
    return std::string(reinterpret_cast<const char *>(data), size);
}

// The bytes cut at every NUL: "a\0b" gives "a" and "b".
inline std::vector<std::string> split_at_nul(const uint8_t *data, size_t size) {
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            parts.emplace_back();
        else
            parts.back().push_back(static_cast<char>(data[i]));
    }
    return parts;
}

// The text split at every '\n' (no line for an empty text).
inline std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

// True when a terminator lies within the size bytes of a text field.
inline bool terminated(const char *field, size_t size) {
    return memchr(field, '\0', size) != nullptr;
}

// A broken property: printed and turned into a crash the fuzzer keeps.
[[noreturn]] inline void broken(const char *what) {
    fprintf(stderr, "fuzz property broken: %s\n", what);
    abort();
}

inline void require(bool ok, const char *what) {
    if (!ok) broken(what);
}

}  // namespace fuzz
