// ISO 8601 times in UTC: written for the operator, read from --at.
#include "restore/utc_time.h"

#include <time.h>

#include <cstring>

#include "common/text.h"

namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool is_leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int64_t days_in_month(int64_t y, int64_t m) {
    static const int64_t days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : days[m - 1];
}

// n decimal digits at *p; advances p.
bool digits(const char **p, int n, int64_t *ret) {
    int64_t v = 0;
    for (int i = 0; i < n; i++) {
        char c = (*p)[i];
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    *p += n;
    *ret = v;
    return true;
}

bool expect(const char **p, char c) {
    if (**p != c) return false;
    (*p)++;
    return true;
}

}  // namespace

void format_utc_time(int64_t t, char *buf) {
    struct tm tm;
    time_t tt = static_cast<time_t>(t);
    // Four digits of year always (strftime's %Y gives "999" for the year
    // 999), so that --at reads back every time --list shows.
    if (gmtime_r(&tt, &tm) == nullptr || tm.tm_year > 9999 - 1900 || tm.tm_year < -1900) {
        put_text(buf, UTC_TIME_SIZE, "@%lld", static_cast<long long>(t));
        return;
    }
    put_text(buf, UTC_TIME_SIZE, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
             tm.tm_hour, tm.tm_min, tm.tm_sec);
}

int32_t parse_utc_time(const char *text, int64_t *ret_time) {
    if (text == nullptr) return -1;
    const char *p = text;
    int64_t y, mo, d, h = 23, mi = 59, s = 59;
    if (!digits(&p, 4, &y) || !expect(&p, '-') || !digits(&p, 2, &mo) || !expect(&p, '-') || !digits(&p, 2, &d))
        return -1;
    if (mo < 1 || mo > 12 || d < 1 || d > days_in_month(y, mo)) return -1;
    if (*p == 'T' || *p == ' ') {
        p++;
        if (!digits(&p, 2, &h) || !expect(&p, ':') || !digits(&p, 2, &mi)) return -1;
        s = 59;
        if (*p == ':' && (p++, !digits(&p, 2, &s))) return -1;
        if (h > 23 || mi > 59 || s > 59) return -1;
    }
    if (*p == 'Z') p++;
    if (*p != '\0') return -1;
    *ret_time = days_from_civil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
    return 0;
}
