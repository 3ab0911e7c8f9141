// Formatting into message buffers, and trimming and cutting texts into
// fixed-size fields.
#include "common/text.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

int put_text(char *buf, size_t size, const char *fmt, ...)
{
    if (buf == nullptr || size == 0)
        return 0;
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    if (n < 0)
        buf[0] = '\0';
    return n;
}

void copy_cut(char *dst, size_t dst_size, const char *src, size_t len)
{
    if (len > dst_size - 1)
        len = dst_size - 1;
    std::memcpy(dst, src, len);
    dst[len] = '\0';
}

void trim_trailing_space(char *text)
{
    size_t len = std::strlen(text);
    while (len > 0 && std::isspace(static_cast<unsigned char>(text[len - 1])))
        text[--len] = '\0';
}

namespace {

bool starts_with(const char *text, const char *prefix)
{
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

const char *line_end(const char *line)
{
    const char *nl = std::strchr(line, '\n');
    return nl != nullptr ? nl : line + std::strlen(line);
}

}  // namespace

size_t drop_locale_warnings(char *text)
{
    // "perl: warning: Setting locale failed." opens the complaint and
    // "perl: warning: Falling back to ..." ends it; the lines in between
    // that name the variables are indented.
    if (!starts_with(text, "perl: warning: "))
        return 0;
    const char *pos = text;
    while (*pos != '\0' && (starts_with(pos, "perl: warning: ") || *pos == '\t' || *pos == ' ')) {
        const char *end = line_end(pos);
        pos = *end == '\n' ? end + 1 : end;
    }
    size_t removed = static_cast<size_t>(pos - text);
    std::memmove(text, pos, std::strlen(pos) + 1);
    return removed;
}

const char *last_line_starting_with(const char *text, char first, size_t *len)
{
    const char *found = nullptr;
    size_t found_len = 0;
    for (const char *line = text; *line != '\0';) {
        const char *end = line_end(line);
        size_t n = static_cast<size_t>(end - line);
        while (n > 0 && std::isspace(static_cast<unsigned char>(line[n - 1])))
            n--;
        if (n > 0 && (first == '\0' || line[0] == first)) {
            found = line;
            found_len = n;
        }
        if (*end == '\0')
            break;
        line = end + 1;
    }
    *len = found_len;
    return found;
}
