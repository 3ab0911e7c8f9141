// Small text helpers for the message buffers every step writes its one
// reason into.
#pragma once
#include <cstddef>

// Formats into buf, cut to size and always terminated (nothing happens
// without a buffer). Returns what vsnprintf returns: the full length the
// text wanted, so a result >= size means it was cut.
int put_text(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// Removes white space from the end of a terminated text, in place.
void trim_trailing_space(char *text);
