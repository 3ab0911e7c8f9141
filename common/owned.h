// Owners that give back one resource once, on every path: a file
// descriptor, an open directory, a block from malloc.
#pragma once
#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

// Owns one file descriptor and closes it once, keeping errno intact.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now and returns close's own result (0, or -1 with errno),
    // for a file whose last writes close may report.
    int close_now()
    {
        int fd = release();
        return fd >= 0 ? ::close(fd) : 0;
    }
    void reset(int fd = -1)
    {
        if (fd_ >= 0) {
            int saved = errno;
            (void)close(fd_);  // never retried: the descriptor is gone either way
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Owns one open directory stream and closes it once.
class unique_dir {
public:
    explicit unique_dir(DIR *dir) : dir_(dir) {}
    unique_dir(const unique_dir &) = delete;
    unique_dir &operator=(const unique_dir &) = delete;
    ~unique_dir()
    {
        if (dir_ != nullptr)
            (void)closedir(dir_);
    }
    DIR *get() const { return dir_; }

private:
    DIR *dir_;
};

// For std::unique_ptr over a block from malloc, calloc or realloc.
struct free_deleter {
    void operator()(void *p) const { free(p); }
};
