// Status codes shared by every function of the common library, and the
// three plain file primitives that report through them.
#pragma once
#include <cstdint>

enum : int32_t {
    STATUS_OK = 0,
    STATUS_IO = -1,
    STATUS_NOMEM = -2,
    STATUS_INVALID = -3,
    STATUS_NOT_FOUND = -4,
    STATUS_EXISTS = -5,
    STATUS_UNSUPPORTED = -6,
    STATUS_CORRUPT = -7,
    STATUS_PROTOCOL = -8,
    STATUS_AGAIN = -9,
    STATUS_DECRYPT = -10,
};

const char *status_message(int32_t status);
int32_t status_from_errno(int32_t err);

int32_t file_open_read(const char *path, int32_t *out_fd);
int32_t file_read_at(int32_t fd, void *buf, uint64_t size, uint64_t offset, uint64_t *out_len);
int32_t file_close(int32_t fd);
