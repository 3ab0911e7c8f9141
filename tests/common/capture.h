// Captures what the code under test writes to a standard descriptor.
#pragma once
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// Redirects fd (1 or 2) into a temporary file until text() is called or
// the object goes away.
class fd_capture {
public:
    explicit fd_capture(int fd) : fd_(fd) {
        fflush(fd == 1 ? stdout : stderr);
        char path[] = "/tmp/vlt_capture.XXXXXX";
        file_ = mkstemp(path);
        if (file_ >= 0) unlink(path);
        saved_ = dup(fd_);
        if (file_ >= 0) dup2(file_, fd_);
    }
    ~fd_capture() { restore(); if (file_ >= 0) close(file_); }
    fd_capture(const fd_capture &) = delete;
    fd_capture &operator=(const fd_capture &) = delete;

    std::string text() {
        restore();
        std::string out;
        if (file_ < 0) return out;
        char buf[4096];
        off_t off = 0;
        ssize_t n;
        while ((n = pread(file_, buf, sizeof buf, off)) > 0) {
            out.append(buf, static_cast<size_t>(n));
            off += n;
        }
        return out;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        fflush(fd_ == 1 ? stdout : stderr);
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
    }
    int fd_;
    int file_ = -1;
    int saved_ = -1;
};
