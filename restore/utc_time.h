// Times of backups as the operator reads and gives them: ISO 8601 in UTC.
#pragma once
#include <cstddef>
#include <cstdint>

enum : size_t { UTC_TIME_SIZE = 32 };  // "2026-05-07T01:00:12Z" and room for odd years

// Writes t (seconds since 1970) as "%Y-%m-%dT%H:%M:%SZ" into buf
// (UTC_TIME_SIZE bytes); a time the calendar cannot show as "@<seconds>".
void format_utc_time(int64_t t, char *buf);

// Reads a point in time given as an ISO 8601 date or date-time in UTC:
// YYYY-MM-DD, YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS, with "T" or one blank
// between date and time and an optional "Z" at the end. The result is the
// last second of what the text names: the end of the day for a date, the
// end of the minute for a time without seconds. Returns 0 with
// *ret_time, or -1 for anything else (other time zones included).
[[nodiscard]] int32_t parse_utc_time(const char *text, int64_t *ret_time);
