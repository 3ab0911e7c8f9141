// The per-VM lock of a backup run.
#include "backup/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/log.h"
#include "common/process_info.h"
#include "common/run_dir.h"
#include "common/text.h"

uint32_t lock_holder_wait_ms = 1000;

namespace {

// The VMID as Proxmox allows it: a number from 1 to 999999999.
bool parse_vmid(const char *text, long *vmid)
{
    if (text == nullptr || *text < '0' || *text > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < 1 || v > 999999999)
        return false;
    *vmid = v;
    return true;
}

// The pid the holder wrote into the lock file; 0 when there is none yet.
int read_holder(int fd)
{
    char text[32];
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    long pid = strtol(text, nullptr, 10);
    return pid > 0 && pid <= 0x7FFFFFFF ? static_cast<int>(pid) : 0;
}

// The holder writes its pid right after taking the lock; until then the
// file may be empty or still name an earlier holder that is gone.
int wait_for_holder(int fd)
{
    int pid = 0;
    for (uint32_t waited = 0;; waited += 10) {
        pid = read_holder(fd);
        if ((pid > 0 && !process_gone(pid)) || waited >= lock_holder_wait_ms)
            return pid;
        struct timespec ts = {0, 10000000L};
        nanosleep(&ts, nullptr);
    }
}

}  // namespace

int32_t take_vm_lock(const char *vmid_text, vm_run_lock *lock)
{
    long vmid;
    if (!parse_vmid(vmid_text, &vmid)) {
        log_write(LOG_LEVEL_ERROR, "VM %s: not a VMID (a number from 1 to 999999999)",
                  vmid_text != nullptr ? vmid_text : "");
        return -1;
    }
    int dirfd = -1;
    char msg[256];
    if (run_dir_open(true, &dirfd, msg, sizeof msg) != 0) {
        log_write(LOG_LEVEL_ERROR, "cannot use the lock directory %s: %s", run_dir_path(), msg);
        return -1;
    }
    lock->dir_.reset(dirfd);
    char name[64];
    put_text(name, sizeof name, "%ld.lock", vmid);
    // Close-on-exec: a child that outlives a killed run must not keep the
    // lock, or no later run could repair what it left.
    lock->file_.reset(openat(dirfd, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (lock->file_.get() < 0) {
        log_write(LOG_LEVEL_ERROR, "VM %ld: cannot open the lock file %s/%s: %s", vmid, run_dir_path(), name,
                  strerror(errno));
        return -1;
    }
    int rc;
    while ((rc = flock(lock->file_.get(), LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        if (errno != EWOULDBLOCK) {
            log_write(LOG_LEVEL_ERROR, "VM %ld: cannot lock %s/%s: %s", vmid, run_dir_path(), name,
                      strerror(errno));
            return -1;
        }
        log_write(LOG_LEVEL_ERROR, "VM %ld is already being backed up (by process %d)", vmid,
                  wait_for_holder(lock->file_.get()));
        lock->file_.reset();
        return -1;
    }
    char pid_text[32];
    int len = put_text(pid_text, sizeof pid_text, "%d\n", static_cast<int>(getpid()));
    if (ftruncate(lock->file_.get(), 0) != 0 ||
        pwrite(lock->file_.get(), pid_text, static_cast<size_t>(len), 0) != len)
        log_write(LOG_LEVEL_WARN, "VM %ld: cannot write the process id into the lock file %s/%s: %s", vmid,
                  run_dir_path(), name, strerror(errno));
    lock->vmid_ = vmid;
    return 0;
}
