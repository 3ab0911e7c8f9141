// The status code table, the errno translation and the three plain file
// primitives that report through it.
#include "common/status.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>

namespace {

const char *const kMessages[] = {
    "ok",
    "I/O error",
    "out of memory",
    "invalid argument or request",
    "not found",
    "already exists",
    "not supported",
    "corrupt or inconsistent data",
    "protocol error",
    "temporarily unavailable",
    "decryption failed (wrong key or corrupted data)",
};

// errno 2 .. 22, indexed by errno - 2.
const int32_t kFromErrno[21] = {
    STATUS_NOT_FOUND,  // ENOENT 2
    STATUS_IO,         // ESRCH 3
    STATUS_IO,         // EINTR 4
    STATUS_IO,         // EIO 5
    STATUS_IO,         // ENXIO 6
    STATUS_IO,         // E2BIG 7
    STATUS_IO,         // ENOEXEC 8
    STATUS_IO,         // EBADF 9
    STATUS_IO,         // ECHILD 10
    STATUS_AGAIN,      // EAGAIN 11
    STATUS_NOMEM,      // ENOMEM 12
    STATUS_IO,         // EACCES 13
    STATUS_IO,         // EFAULT 14
    STATUS_IO,         // ENOTBLK 15
    STATUS_IO,         // EBUSY 16
    STATUS_EXISTS,     // EEXIST 17
    STATUS_IO,         // EXDEV 18
    STATUS_IO,         // ENODEV 19
    STATUS_IO,         // ENOTDIR 20
    STATUS_IO,         // EISDIR 21
    STATUS_INVALID,    // EINVAL 22
};

}  // namespace

const char *status_message(int32_t status) {
    if (status > 0 || status < STATUS_DECRYPT) return "unknown error";
    return kMessages[-status];
}

int32_t status_from_errno(int32_t err) {
    if (err < 2 || err > 22) return STATUS_IO;
    return kFromErrno[err - 2];
}

int32_t file_open_read(const char *path, int32_t *out_fd) {
    if (path == nullptr || out_fd == nullptr) return STATUS_INVALID;
    int fd = open(path, O_RDONLY);
    if (fd < 0) return status_from_errno(errno);
    *out_fd = fd;
    return STATUS_OK;
}

int32_t file_read_at(int32_t fd, void *buf, uint64_t size, uint64_t offset, uint64_t *out_len) {
    // pread takes a signed offset and returns a signed count: anything
    // beyond those ranges is a request it cannot express.
    if (offset > static_cast<uint64_t>(INT64_MAX) || (buf == nullptr && size != 0))
        return STATUS_INVALID;
    if (size > static_cast<uint64_t>(SSIZE_MAX)) size = SSIZE_MAX;
    ssize_t n = pread(fd, buf, size, static_cast<off_t>(offset));
    if (n < 0) return status_from_errno(errno);
    if (out_len != nullptr) *out_len = static_cast<uint64_t>(n);
    return STATUS_OK;
}

int32_t file_close(int32_t fd) {
    if (fd < 0) return STATUS_OK;
    if (close(fd) != 0) return status_from_errno(errno);
    return STATUS_OK;
}
