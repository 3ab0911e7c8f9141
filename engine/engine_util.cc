// Whole reads and writes, number and size parsing, zero tests and the
// processor count for vlt_agent and vlt_restore.
#include "engine/engine_util.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace engine {

int write_all_at(int fd, const void *data, uint64_t len, uint64_t offset) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    while (len > 0) {
        size_t step = len > (1u << 30) ? (1u << 30) : static_cast<size_t>(len);
        ssize_t n = pwrite(fd, p, step, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) {
            errno = ENOSPC;
            return -1;
        }
        p += n;
        len -= static_cast<uint64_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return 0;
}

namespace {

// Reads until len bytes or end of file, at offset (pread) or, when offset is
// negative, from the current position (read).
int read_until_full(int fd, void *data, uint64_t len, int64_t offset, uint64_t *ret_len) {
    uint8_t *p = static_cast<uint8_t *>(data);
    uint64_t done = 0;
    while (done < len) {
        uint64_t left = len - done;
        size_t step = left > (1u << 30) ? (1u << 30) : static_cast<size_t>(left);
        ssize_t n = offset < 0 ? read(fd, p + done, step)
                               : pread(fd, p + done, step, static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<uint64_t>(n);
    }
    *ret_len = done;
    return 0;
}

}  // namespace

int read_full_at(int fd, void *data, uint64_t len, uint64_t offset, uint64_t *ret_len) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) {
        errno = EINVAL;
        return -1;
    }
    return read_until_full(fd, data, len, static_cast<int64_t>(offset), ret_len);
}

int read_full(int fd, void *data, uint64_t len, uint64_t *ret_len) { return read_until_full(fd, data, len, -1, ret_len); }

int parse_u64(const char *text, uint64_t *ret_value) {
    if (text == nullptr || *text == '\0') return -1;
    uint64_t v = 0;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return -1;
        uint64_t d = static_cast<uint64_t>(*p - '0');
        if (v > (UINT64_MAX - d) / 10) return -1;
        v = v * 10 + d;
    }
    *ret_value = v;
    return 0;
}

int parse_size(const char *text, uint64_t *ret_value) {
    if (text == nullptr) return -1;
    size_t len = strlen(text);
    size_t digits = 0;
    while (digits < len && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0 || digits > 20) return -1;
    char number[24];
    memcpy(number, text, digits);
    number[digits] = '\0';
    uint64_t v = 0;
    if (parse_u64(number, &v) != 0) return -1;

    const char *suffix = text + digits;
    uint32_t shift = 0;
    if (*suffix != '\0') {
        switch (*suffix) {
        case 'k': case 'K': shift = 10; break;
        case 'm': case 'M': shift = 20; break;
        case 'g': case 'G': shift = 30; break;
        default: return -1;
        }
        ++suffix;
        if (strcmp(suffix, "") != 0 && strcmp(suffix, "iB") != 0 && strcmp(suffix, "B") != 0 &&
            strcmp(suffix, "ib") != 0 && strcmp(suffix, "b") != 0)
            return -1;
    }
    if (shift > 0 && v > (UINT64_MAX >> shift)) return -1;
    *ret_value = v << shift;
    return 0;
}

bool all_zero(const void *data, uint64_t len) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    // Word steps for the bulk; memcpy keeps it free of alignment assumptions.
    while (len >= 64) {
        uint64_t w[8];
        memcpy(w, p, sizeof w);
        if ((w[0] | w[1] | w[2] | w[3] | w[4] | w[5] | w[6] | w[7]) != 0) return false;
        p += 64;
        len -= 64;
    }
    while (len > 0) {
        if (*p != 0) return false;
        ++p;
        --len;
    }
    return true;
}

uint32_t processor_count() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    if (n < 1) return 1;
    return n > static_cast<long>(max_threads) ? max_threads : static_cast<uint32_t>(n);
}

int fd_size(int fd, uint64_t *ret_size) {
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    if (S_ISBLK(st.st_mode)) {
        uint64_t bytes = 0;
        if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) return -1;
        *ret_size = bytes;
        return 0;
    }
    if (S_ISREG(st.st_mode)) {
        *ret_size = static_cast<uint64_t>(st.st_size);
        return 0;
    }
    errno = EINVAL;
    return -1;
}

}  // namespace engine
