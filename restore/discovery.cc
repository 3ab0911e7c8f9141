// Job discovery: the run header files of a directory, read and checked.
#include "restore/discovery.h"

#include <dirent.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>

#include "common/le_bytes.h"
#include "common/log.h"
#include "common/owned.h"
#include "common/status.h"
#include "common/text.h"

namespace {

const uint8_t header_magic[4] = {'V', 'L', 'T', 'H'};

// The longest format version this program understands is 1.
const uint16_t newest_header_version = 1;

const uint64_t first_row_capacity = 16;

}  // namespace

bool is_header_file_name(const char *name) {
    if (name == nullptr) return false;
    size_t len = strlen(name);
    if (len < 5) return false;
    const char *ext = name + len - 5;
    return strcmp(ext, ".infb") == 0 || strcmp(ext, ".indb") == 0 || strcmp(ext, ".inib") == 0;
}

int32_t read_run_header(const char *path, uint8_t *buf) {
    int32_t fd = -1;
    int32_t st = file_open_read(path, &fd);
    if (st != STATUS_OK) return st;

    memset(buf, 0, RUN_HEADER_SIZE);
    uint64_t got = 0;
    st = file_read_at(fd, buf, RUN_HEADER_SIZE, 0, &got);
    (void)file_close(fd);  // read-only descriptor: nothing to lose on close
    if (st != STATUS_OK) return st;
    return check_run_header(buf, got);
}

int32_t check_run_header(const uint8_t *buf, uint64_t got) {
    if (got < RUN_HEADER_MIN_LENGTH || memcmp(buf + RUN_HEADER_OFF_MAGIC, header_magic, 4) != 0)
        return STATUS_CORRUPT;
    uint32_t length = get_le32(buf + RUN_HEADER_OFF_LENGTH);
    if (length < RUN_HEADER_MIN_LENGTH || length > RUN_HEADER_MAX_LENGTH || length > got)
        return STATUS_CORRUPT;
    if (get_le16(buf + RUN_HEADER_OFF_VERSION) > newest_header_version) return STATUS_UNSUPPORTED;
    return STATUS_OK;
}

uint64_t run_header_source_size(const uint8_t *buf) {
    return get_le64(buf + RUN_HEADER_OFF_SOURCE_SIZE);
}

int64_t run_header_creation_time(const uint8_t *buf) {
    return static_cast<int64_t>(get_le64(buf + RUN_HEADER_OFF_CREATED));
}

void run_header_job_name(const uint8_t *buf, char *ret_name) {
    // The writer terminates the name, but a damaged or foreign header need
    // not: never take more than 63 bytes.
    const char *src = reinterpret_cast<const char *>(buf + RUN_HEADER_OFF_JOB_NAME);
    copy_cut(ret_name, JOB_NAME_SIZE, src, strnlen(src, JOB_NAME_SIZE - 1));
}

void run_header_host_name(const uint8_t *buf, char *ret_name) {
    const char *src = reinterpret_cast<const char *>(buf + RUN_HEADER_OFF_HOST_NAME);
    copy_cut(ret_name, HOST_NAME_SIZE, src, strnlen(src, HOST_NAME_SIZE - 1));
}

int32_t scan_backup_dir(const char *dir, header_scan_entry **ret_rows, uint64_t *ret_count) {
    uint64_t capacity = first_row_capacity;
    std::unique_ptr<header_scan_entry, free_deleter> rows(
        static_cast<header_scan_entry *>(malloc(capacity * sizeof(header_scan_entry))));
    std::unique_ptr<uint8_t, free_deleter> header(static_cast<uint8_t *>(malloc(RUN_HEADER_SIZE)));
    if (!rows || !header) return STATUS_NOMEM;

    unique_dir d(opendir(dir));
    if (d.get() == nullptr) {
        int err = errno;
        if (err == ENOENT) {
            *ret_rows = nullptr;
            *ret_count = 0;
            return STATUS_OK;
        }
        log_write(LOG_LEVEL_ERROR, "cannot open backup directory %s: %s", dir, strerror(err));
        return STATUS_IO;
    }

    uint64_t count = 0;
    char path[JOB_PATH_SIZE];
    for (;;) {
        errno = 0;
        struct dirent *ent = readdir(d.get());
        if (ent == nullptr) break;
        if (!is_header_file_name(ent->d_name)) continue;
        put_text(path, sizeof path, "%s/%s", dir, ent->d_name);
        // Opening a FIFO for reading would wait for a writer forever.
        unsigned char type = ent->d_type;
        struct stat st_buf;
        if ((type == DT_UNKNOWN || type == DT_LNK) && stat(path, &st_buf) == 0) {
            if (S_ISFIFO(st_buf.st_mode)) type = DT_FIFO;
            else if (S_ISSOCK(st_buf.st_mode)) type = DT_SOCK;
        }
        if (type == DT_FIFO || type == DT_SOCK) {
            log_write(LOG_LEVEL_WARN, "skipping %s: %s", path, "not a regular file");
            continue;
        }

        int32_t st = read_run_header(path, header.get());
        if (st == STATUS_NOT_FOUND) continue;  // removed while we looked
        if (st == STATUS_CORRUPT) {
            log_write(LOG_LEVEL_WARN, "skipping %s: %s", path, "corrupt or incomplete header");
            continue;
        }
        if (st == STATUS_UNSUPPORTED) {
            log_write(LOG_LEVEL_WARN, "skipping %s: %s", path, "newer format version");
            continue;
        }
        if (st != STATUS_OK) {
            log_write(LOG_LEVEL_ERROR, "cannot read backup header %s (%s, status=%d)", path,
                      status_message(st), st);
            return st;
        }

        if (count == capacity) {
            if (capacity > UINT64_MAX / 2 / sizeof(header_scan_entry)) return STATUS_NOMEM;
            uint64_t grown = capacity * 2;
            void *p = realloc(rows.get(), grown * sizeof(header_scan_entry));
            if (p == nullptr) return STATUS_NOMEM;
            (void)rows.release();
            rows.reset(static_cast<header_scan_entry *>(p));
            capacity = grown;
        }

        const uint8_t *h = header.get();
        header_scan_entry &row = rows.get()[count];
        memset(&row, 0, sizeof row);
        memcpy(row.path, path, sizeof row.path);
        memcpy(row.run_id, h + RUN_HEADER_OFF_RUN_ID, sizeof row.run_id);
        memcpy(row.parent_run_id, h + RUN_HEADER_OFF_PARENT_ID, sizeof row.parent_run_id);
        row.run_kind = h[RUN_HEADER_OFF_KIND];
        run_header_job_name(h, row.job_name);
        row.creation_time = run_header_creation_time(h);
        row.carried_value = get_le64(h + RUN_HEADER_OFF_CARRIED);
        row.source_size = run_header_source_size(h);
        run_header_host_name(h, row.host_name);
        ++count;
    }

    *ret_count = count;
    *ret_rows = count ? rows.release() : nullptr;
    return STATUS_OK;
}
