// Proxmox's storage locks, taken in a fixed order with a time limit, and
// the table of the locks the process holds, which a signal handler reads.
#include "common/storage_lock.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/text.h"

const char *pve_lock_dir = nullptr;
uint32_t storage_lock_wait_seconds = 60;

namespace {

const char *const kDefaultLockDir = "/var/lock/pve-manager";
constexpr long kPollNs = 100L * 1000 * 1000;

// The locks the process holds. A row is filled before `fd` is set and
// `fd` cleared before the descriptor is closed, so a handler that reads
// the table never takes a lock the main flow holds.
struct held_lock {
    char storage[STORAGE_ID_SIZE];
    volatile int32_t fd;  // -1: free row
};
held_lock g_held[STORAGE_LOCK_MAX];
bool g_table_ready = false;
// The directory, resolved by the main flow before any lock exists.
char g_dir[PATH_MAX] = "";

void table_ready()
{
    if (g_table_ready)
        return;
    for (held_lock &row : g_held)
        row.fd = -1;
    g_table_ready = true;
}

// Only while no lock is held: a handler may be reading it otherwise.
void resolve_dir()
{
    for (const held_lock &row : g_held)
        if (row.fd >= 0)
            return;
    const char *dir = pve_lock_dir;
    if (dir == nullptr || dir[0] == '\0')
        dir = getenv("VLT_PVE_LOCK_DIR");
    if (dir == nullptr || dir[0] == '\0')
        dir = kDefaultLockDir;
    put_text(g_dir, sizeof g_dir, "%s", dir);
}

// Async-signal-safe.
bool held_here(const char *storage)
{
    if (!g_table_ready)
        return false;
    for (const held_lock &row : g_held)
        if (row.fd >= 0 && strcmp(row.storage, storage) == 0)
            return true;
    return false;
}

// "<dir>/pve-storage-<id>" without formatting functions. Async-signal-safe.
bool lock_path(const char *storage, char *out, size_t size)
{
    const char *parts[] = {g_dir, "/pve-storage-", storage};
    size_t used = 0;
    for (const char *part : parts) {
        size_t n = strlen(part);
        if (used + n >= size)
            return false;
        memcpy(out + used, part, n);
        used += n;
    }
    out[used] = '\0';
    return true;
}

int open_lock_file(const char *path)
{
    return open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

void pause_poll()
{
    struct timespec ts = {0, kPollNs};
    nanosleep(&ts, nullptr);
}

double now_seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Proxmox makes the directory when it first locks; so do we.
void make_dir(const char *dir)
{
    struct stat st;
    if (stat(dir, &st) == 0)
        return;
    char partial[PATH_MAX];
    put_text(partial, sizeof partial, "%s", dir);
    for (char *slash = strchr(partial + 1, '/'); slash != nullptr; slash = strchr(slash + 1, '/')) {
        *slash = '\0';
        (void)mkdir(partial, 0755);
        *slash = '/';
    }
    (void)mkdir(partial, 0755);
}

int compare_ids(const void *a, const void *b)
{
    return strcmp(*static_cast<const char *const *>(a), *static_cast<const char *const *>(b));
}

}  // namespace

int32_t storage_locks::take_one(const char *storage_id, char *msg, size_t msg_size)
{
    const char *ids[] = {storage_id};
    return take(ids, 1, msg, msg_size);
}

int32_t storage_locks::take(const char *const *storage_ids, size_t count, char *msg, size_t msg_size)
{
    put_text(msg, msg_size, "%s", "");
    table_ready();
    resolve_dir();
    if (count > STORAGE_LOCK_MAX) {
        put_text(msg, msg_size, "more than %d storages to lock", static_cast<int>(STORAGE_LOCK_MAX));
        return -1;
    }
    const char *sorted[STORAGE_LOCK_MAX];
    memcpy(sorted, storage_ids, count * sizeof *sorted);
    qsort(sorted, count, sizeof *sorted, compare_ids);
    make_dir(g_dir);

    const double deadline = now_seconds() + storage_lock_wait_seconds;
    for (size_t i = 0; i < count; i++) {
        const char *id = sorted[i];
        if ((i > 0 && strcmp(id, sorted[i - 1]) == 0) || held_here(id))
            continue;
        if (id[0] == '\0' || strlen(id) >= STORAGE_ID_SIZE || strchr(id, '/') != nullptr) {
            put_text(msg, msg_size, "invalid storage id '%s'", id);
            release();
            return -1;
        }
        int32_t slot = -1;
        for (int32_t r = 0; r < STORAGE_LOCK_MAX && slot < 0; r++)
            if (g_held[r].fd < 0)
                slot = r;
        char path[PATH_MAX];
        if (slot < 0 || !lock_path(id, path, sizeof path)) {
            put_text(msg, msg_size, "too many storage locks held");
            release();
            return -1;
        }
        int fd = open_lock_file(path);
        if (fd < 0) {
            put_text(msg, msg_size, "cannot open the lock file %s: %s", path, strerror(errno));
            release();
            return -1;
        }
        bool said = false;
        while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                put_text(msg, msg_size, "cannot lock %s: %s", path, strerror(errno));
                close(fd);
                release();
                return -1;
            }
            if (now_seconds() >= deadline) {
                put_text(msg, msg_size,
                         "could not get the lock of storage '%s' within %u s (%s is held by another task)", id,
                         storage_lock_wait_seconds, path);
                close(fd);
                release();
                return -1;
            }
            if (!said) {
                log_write(LOG_LEVEL_INFO, "waiting for the lock of storage '%s' (%s is held by another task)", id,
                          path);
                said = true;
            }
            pause_poll();
        }
        put_text(g_held[slot].storage, sizeof g_held[slot].storage, "%s", id);
        g_held[slot].fd = fd;
        slots_[count_++] = slot;
    }
    return 0;
}

void storage_locks::release()
{
    while (count_ > 0) {
        held_lock &row = g_held[slots_[--count_]];
        int fd = row.fd;
        row.fd = -1;
        row.storage[0] = '\0';
        if (fd >= 0)
            close(fd);  // gives the lock back
    }
}

int storage_lock_in_handler(const char *storage_id, uint32_t seconds)
{
    if (storage_id == nullptr || storage_id[0] == '\0' || g_dir[0] == '\0' || held_here(storage_id))
        return -1;
    char path[PATH_MAX];
    if (!lock_path(storage_id, path, sizeof path))
        return -1;
    int fd = open_lock_file(path);
    if (fd < 0)
        return -1;
    for (uint64_t polls = 0; flock(fd, LOCK_EX | LOCK_NB) != 0; polls++) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || polls >= uint64_t{seconds} * 10) {
            close(fd);
            return -1;
        }
        pause_poll();
    }
    return fd;
}

void storage_unlock_in_handler(int fd)
{
    if (fd >= 0)
        close(fd);
}
