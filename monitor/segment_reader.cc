// Finding and reading progress segments defensively: plain files only, a
// consistent copy by the update-counter rule, the writer's liveness.
#include "monitor/segment_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/le_bytes.h"
#include "common/owned.h"
#include "common/text.h"

uint32_t segment_read_attempts = 200;

namespace {

constexpr size_t kCounterOffset = offsetof(progress_record, update_counter);

// A text field of the record, stopping at its NUL or at the field's end,
// whichever comes first: a writer that filled the field to the brim still
// yields a terminated text.
template <size_t N, size_t M>
void copy_field(char (&dst)[N], const char (&field)[M]) {
    static_assert(N == M, "a view field is as large as the record's");
    copy_cut(dst, N, field, strnlen(field, M));
}

// Reads exactly len bytes at offset; 0 on success, otherwise the byte count
// actually available (or -1 on an error).
ssize_t read_at(int fd, unsigned char *buf, size_t len, off_t off) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = pread(fd, buf + done, len - done, off + (off_t)done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += (size_t)n;
    }
    return (ssize_t)done;
}

void pause_briefly(uint32_t attempt) {
    if (attempt < 10) return;  // an update takes microseconds: spin first
    struct timespec ts = {0, 1000000};
    nanosleep(&ts, nullptr);
}

}  // namespace

int32_t decode_segment(const unsigned char *bytes, size_t len, segment_view *out, char *err,
                       size_t err_size) {
    memset(out, 0, sizeof *out);
    if (len < PROGRESS_SEGMENT_SIZE) {
        snprintf(err, err_size, "truncated (%zu of %u bytes)", len, (unsigned)PROGRESS_SEGMENT_SIZE);
        return -1;
    }
    uint64_t head = get_le64(bytes);  // magic and version read as one number
    if ((uint32_t)head != (uint32_t)PROGRESS_MAGIC_VERSION) {
        snprintf(err, err_size, "not a progress segment (bad magic)");
        return -1;
    }
    if (head != PROGRESS_MAGIC_VERSION) {
        snprintf(err, err_size, "unsupported progress segment version %u",
                 (unsigned)(head >> 32));
        return -1;
    }
    progress_record rec;
    memcpy(&rec, bytes, sizeof rec);
    out->counter = rec.update_counter;
    if (out->counter & 1) {
        snprintf(err, err_size, "update in progress");
        return -1;
    }
    out->pid = rec.pid;
    out->kind = rec.tool_kind;
    out->tool_code = rec.tool_code;
    out->phase = rec.phase;
    copy_field(out->job, rec.job);
    copy_field(out->detail, rec.detail);
    copy_field(out->status, rec.status_text);
    out->start_time = rec.start_time;
    out->start_mono_ms = rec.start_mono_ms;
    out->elapsed_ms = rec.elapsed_ms;
    out->child_pid = rec.child_pid;
    return 0;
}

int32_t read_segment(const char *path, segment_view *out, char *err, size_t err_size) {
    memset(out, 0, sizeof *out);
    // Not even opened unless it is a plain file: opening a device node can
    // have effects of its own.
    struct stat lst;
    if (lstat(path, &lst) != 0) {
        snprintf(err, err_size, "cannot open: %s", strerror(errno));
        return -1;
    }
    if (S_ISLNK(lst.st_mode)) {
        snprintf(err, err_size, "is a symbolic link");
        return -1;
    }
    if (!S_ISREG(lst.st_mode)) {
        snprintf(err, err_size, "not a regular file");
        return -1;
    }
    // O_NONBLOCK: a FIFO put there after the check must not hang the monitor;
    // O_NOFOLLOW: neither must a symbolic link lead it elsewhere.
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) {
        snprintf(err, err_size, "cannot open: %s", strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        snprintf(err, err_size, "cannot stat: %s", strerror(errno));
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        snprintf(err, err_size, "not a regular file");
        return -1;
    }
    if (st.st_size < (off_t)PROGRESS_SEGMENT_SIZE) {
        snprintf(err, err_size, "truncated (%lld of %u bytes)", (long long)st.st_size,
                 (unsigned)PROGRESS_SEGMENT_SIZE);
        return -1;
    }
    if (st.st_size > (off_t)PROGRESS_SEGMENT_SIZE) {
        snprintf(err, err_size, "wrong size (%lld bytes, expected %u)", (long long)st.st_size,
                 (unsigned)PROGRESS_SEGMENT_SIZE);
        return -1;
    }

    unsigned char copy[PROGRESS_SEGMENT_SIZE];
    unsigned char before[8];
    unsigned char after[8];
    for (uint32_t attempt = 0; attempt < segment_read_attempts; attempt++) {
        pause_briefly(attempt);
        ssize_t n = read_at(fd.get(), before, sizeof before, kCounterOffset);
        if (n != (ssize_t)sizeof before) {
            snprintf(err, err_size, "truncated while reading");
            return -1;
        }
        uint64_t c1 = get_le64(before);
        if (c1 & 1) continue;  // the writer is in the middle of an update
        n = read_at(fd.get(), copy, sizeof copy, 0);
        if (n < 0) {
            snprintf(err, err_size, "cannot read: %s", strerror(errno));
            return -1;
        }
        if (n != (ssize_t)sizeof copy) {
            snprintf(err, err_size, "truncated (%zd of %u bytes)", n, (unsigned)PROGRESS_SEGMENT_SIZE);
            return -1;
        }
        if (read_at(fd.get(), after, sizeof after, kCounterOffset) != (ssize_t)sizeof after) {
            snprintf(err, err_size, "truncated while reading");
            return -1;
        }
        if (get_le64(after) != c1 || get_le64(copy + kCounterOffset) != c1) continue;
        return decode_segment(copy, sizeof copy, out, err, err_size);
    }
    // Never settled: either a writer updating without pause or a counter
    // that stays odd because its writer died mid-update.
    snprintf(err, err_size, "no consistent copy (update counter odd or changing)");
    return -1;
}

int32_t list_segments(const char *dir, segment_entry *entries, size_t cap, size_t *count,
                      char *err, size_t err_size) {
    *count = 0;
    unique_dir d(opendir(dir));
    if (!d.get()) {
        snprintf(err, err_size, "cannot read %s: %s", dir, strerror(errno));
        return -1;
    }
    struct named {
        uint32_t pid;
        char name[64];
    };
    named found[SEGMENT_MAX_LISTED];
    size_t nfound = 0;
    while (struct dirent *de = readdir(d.get())) {
        uint32_t pid;
        if (!segment_name_pid(de->d_name, &pid)) continue;
        if (nfound == SEGMENT_MAX_LISTED || nfound == cap) break;
        found[nfound].pid = pid;
        // segment_name_pid accepted at most 23 characters
        memcpy(found[nfound].name, de->d_name, strlen(de->d_name) + 1);
        nfound++;
    }
    std::sort(found, found + nfound,
              [](const named &a, const named &b) { return a.pid < b.pid; });

    for (size_t i = 0; i < nfound; i++) {
        segment_entry *e = &entries[i];
        memset(e, 0, sizeof *e);
        snprintf(e->name, sizeof e->name, "%s", found[i].name);
        char path[4096 + 64];
        snprintf(path, sizeof path, "%s/%s", dir, found[i].name);
        if (read_segment(path, &e->view, e->reason, sizeof e->reason) != 0) {
            e->state = SEGMENT_MALFORMED;
        } else if (e->view.pid != found[i].pid) {
            snprintf(e->reason, sizeof e->reason, "pid field %u does not match the name",
                     (unsigned)e->view.pid);
            e->state = SEGMENT_MALFORMED;
        } else {
            // A process of that pid that started after the segment was made
            // is not its writer: the writer died and the pid was reused.
            e->state = process_exists(e->view.pid) &&
                               !process_started_after(e->view.pid, e->view.start_mono_ms, "/proc")
                           ? SEGMENT_RUNNING
                           : SEGMENT_STALE;
        }
    }
    *count = nfound;
    return 0;
}
