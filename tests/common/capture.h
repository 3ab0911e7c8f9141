// Captures what the code under test writes to a standard descriptor.
#pragma once
#include <string>

#include "tests/support/test_util.h"

// Redirects fd (1 or 2) into a temporary file until text() is called or
// the object goes away.
using vlt_test::fd_capture;

// True when s starts with a log time stamp such as 2026-12-07T00:57:12Z.
inline bool has_log_stamp(const std::string &s) {
    static const char shape[] = "dddd-dd-ddTdd:dd:ddZ";
    if (s.size() < 20) return false;
    for (size_t i = 0; i < 20; i++) {
        if (shape[i] == 'd' ? (s[i] < '0' || s[i] > '9') : s[i] != shape[i]) return false;
    }
    return true;
}

// Splits captured standard error into lines and removes from each the
// "<stamp> [<program>] " prefix; a line without it is kept marked "BAD: ".
inline std::string strip_log_prefixes(const std::string &out, const std::string &program) {
    std::string result;
    const std::string tag = " [" + program + "] ";
    size_t start = 0;
    while (start < out.size()) {
        size_t nl = out.find('\n', start);
        size_t end = nl == std::string::npos ? out.size() : nl + 1;
        std::string line = out.substr(start, end - start);
        if (has_log_stamp(line) && line.compare(20, tag.size(), tag) == 0)
            result += line.substr(20 + tag.size());
        else
            result += "BAD: " + line;
        start = end;
    }
    return result;
}
