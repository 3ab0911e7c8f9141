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
