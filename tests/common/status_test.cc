// The status table, the errno translation and the file primitives.
#include "common/status.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

TEST(Status, MessagesForEveryCode) {
    const char *expected[] = {
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
    for (int i = 0; i <= 10; i++) EXPECT_STREQ(expected[i], status_message(-i)) << -i;
    for (int32_t other : {-11, 1, 2, 100, INT32_MIN, INT32_MAX})
        EXPECT_STREQ("unknown error", status_message(other)) << other;
}

TEST(Status, ErrnoTranslation) {
    EXPECT_EQ(STATUS_NOT_FOUND, status_from_errno(ENOENT));
    EXPECT_EQ(STATUS_AGAIN, status_from_errno(EAGAIN));
    EXPECT_EQ(STATUS_NOMEM, status_from_errno(ENOMEM));
    EXPECT_EQ(STATUS_EXISTS, status_from_errno(EEXIST));
    EXPECT_EQ(STATUS_INVALID, status_from_errno(EINVAL));
    int mapped = 0;
    for (int e = -5; e <= 200; e++) {
        if (e == ENOENT || e == EAGAIN || e == ENOMEM || e == EEXIST || e == EINVAL) {
            mapped++;
            continue;
        }
        EXPECT_EQ(STATUS_IO, status_from_errno(e)) << e;
    }
    EXPECT_EQ(5, mapped);
    EXPECT_EQ(STATUS_IO, status_from_errno(INT32_MIN));
    EXPECT_EQ(STATUS_IO, status_from_errno(INT32_MAX));
}

struct TempFile {
    char path[64] = "/tmp/vlt_status_test.XXXXXX";
    TempFile(const char *content) {
        int fd = mkstemp(path);
        if (fd >= 0) {
            if (write(fd, content, strlen(content)) < 0) path[0] = 0;
            close(fd);
        }
    }
    ~TempFile() { unlink(path); }
};

TEST(FilePrimitives, OpenReadClose) {
    TempFile f("0123456789");
    int32_t fd = -7;
    ASSERT_EQ(0, file_open_read(f.path, &fd));
    ASSERT_GE(fd, 0);
    // Read-only, no close-on-exec.
    EXPECT_EQ(O_RDONLY, fcntl(fd, F_GETFL) & O_ACCMODE);
    EXPECT_EQ(0, fcntl(fd, F_GETFD) & FD_CLOEXEC);

    char buf[16] = {};
    uint64_t len = 77;
    EXPECT_EQ(0, file_read_at(fd, buf, 4, 3, &len));
    EXPECT_EQ(4u, len);
    EXPECT_EQ(std::string("3456"), std::string(buf, 4));
    EXPECT_EQ(0, lseek(fd, 0, SEEK_CUR));  // the file position did not move

    EXPECT_EQ(0, file_read_at(fd, buf, 16, 8, &len));  // short read at the end
    EXPECT_EQ(2u, len);
    EXPECT_EQ(0, file_read_at(fd, buf, 16, 10, &len));
    EXPECT_EQ(0u, len);
    len = 5;
    EXPECT_EQ(0, file_read_at(fd, buf, 16, 1000000, &len));
    EXPECT_EQ(0u, len);
    EXPECT_EQ(0, file_read_at(fd, buf, 1, 0, nullptr));
    EXPECT_EQ('0', buf[0]);

    EXPECT_EQ(0, file_close(fd));
    EXPECT_EQ(-1, fcntl(fd, F_GETFD));  // gone
}

TEST(FilePrimitives, Failures) {
    int32_t fd = 1234;
    EXPECT_EQ(STATUS_NOT_FOUND, file_open_read("/nonexistent/vlt/file", &fd));
    EXPECT_EQ(1234, fd);
    EXPECT_EQ(0, file_close(-1));
    EXPECT_EQ(0, file_close(-100));

    int spare = dup(0);
    ASSERT_GE(spare, 0);
    close(spare);  // a descriptor that is certainly closed
    char buf[4];
    uint64_t len = 42;
    EXPECT_EQ(STATUS_IO, file_read_at(spare, buf, 4, 0, &len));  // EBADF
    EXPECT_EQ(42u, len);
    EXPECT_EQ(STATUS_IO, file_close(spare));

    // A directory opens for reading but cannot be read: EISDIR is an I/O error.
    ASSERT_EQ(0, file_open_read("/tmp", &fd));
    EXPECT_EQ(STATUS_IO, file_read_at(fd, buf, 4, 0, &len));
    EXPECT_EQ(0, file_close(fd));
}

}  // namespace
