// Small text helpers for the message buffers every step writes its one
// reason into, and for the fixed-size text fields of the records.
#pragma once
#include <cstddef>

// Formats into buf, cut to size and always terminated (nothing happens
// without a buffer). Returns what vsnprintf returns: the full length the
// text wanted, so a result >= size means it was cut.
int put_text(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// Removes white space from the end of a terminated text, in place.
void trim_trailing_space(char *text);

// Copies the first len bytes of src into dst, cut to dst_size - 1 bytes,
// and terminates it (dst_size > 0).
void copy_cut(char *dst, size_t dst_size, const char *src, size_t len);

// Perl's complaint about a locale the host lacks, which qm, pvesm and pvesh
// print before anything else ("perl: warning: ..." lines and the indented
// lines between them): removed from the start of text, in place. Returns
// the number of bytes removed.
size_t drop_locale_warnings(char *text);

// The last line of text whose first character is `first` (an absolute path
// for '/'), or with first == '\0' the last line that is not blank: its
// start, with *len its length without trailing white space; nullptr when
// there is none.
const char *last_line_starting_with(const char *text, char first, size_t *len);
