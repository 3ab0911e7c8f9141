// The sweep of files left behind by processes of the suite that no longer
// run.
#include "common/stale_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "common/le_bytes.h"
#include "common/log.h"
#include "common/owned.h"
#include "common/process_info.h"
#include "common/progress.h"
#include "common/run_dir.h"
#include "common/run_state.h"

const char *stale_shm_dir = "/dev/shm";

namespace {

// "vlt_proxmox_key.<pid>.XXXXXX": the pid of the run that made it.
bool secret_name_pid(const char *name, pid_t *pid)
{
    static const char stem[] = "vlt_proxmox_key.";
    if (strncmp(name, stem, sizeof stem - 1) != 0)
        return false;
    const char *p = name + sizeof stem - 1;
    long long v = 0;
    const char *digits = p;
    while (*p >= '0' && *p <= '9' && p - digits < 10)
        v = v * 10 + (*p++ - '0');
    if (p == digits || *p != '.' || v <= 0 || v > 0x7FFFFFFF || strlen(p + 1) != 6)
        return false;
    *pid = static_cast<pid_t>(v);
    return true;
}

// A progress segment whose writer no longer runs: its pid is gone, or a
// process that started after the segment was made has it now. A file that
// is not a segment of ours with that pid is left alone.
bool segment_is_stale(const char *path, uint32_t pid)
{
    unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        st.st_size != PROGRESS_SEGMENT_SIZE)
        return false;
    unsigned char head[sizeof(progress_record)];
    if (pread(fd.get(), head, sizeof head, 0) != static_cast<ssize_t>(sizeof head))
        return false;
    if (get_le64(head + offsetof(progress_record, magic)) != PROGRESS_MAGIC_VERSION ||
        get_le32(head + offsetof(progress_record, pid)) != pid)
        return false;
    uint64_t created_ms = get_le64(head + offsetof(progress_record, start_mono_ms));
    return process_gone(static_cast<pid_t>(pid)) || process_started_after(pid, created_ms, "/proc");
}

void sweep_shm()
{
    unique_dir dir(opendir(stale_shm_dir));
    if (dir.get() == nullptr)
        return;
    while (struct dirent *entry = readdir(dir.get())) {
        char path[PATH_MAX];
        if (snprintf(path, sizeof path, "%s/%s", stale_shm_dir, entry->d_name) >= static_cast<int>(sizeof path))
            continue;
        pid_t pid;
        uint32_t segment_pid;
        if (secret_name_pid(entry->d_name, &pid)) {
            if (process_gone(pid))
                remove_left_file("secret file", path, pid);
        } else if (segment_name_pid(entry->d_name, &segment_pid)) {
            if (segment_is_stale(path, segment_pid))
                remove_left_file("progress segment", path, static_cast<pid_t>(segment_pid));
        }
    }
}

// "<digits>.state"
bool is_state_name(const char *name)
{
    const char *p = name;
    while (*p >= '0' && *p <= '9')
        p++;
    return p != name && strcmp(p, ".state") == 0;
}

// The temporary files the state files of runs that no longer run name.
void sweep_run_states()
{
    int dirfd_raw = -1;
    char msg[256];
    if (run_dir_open(false, &dirfd_raw, msg, sizeof msg) != 0)
        return;  // none yet, or one the backup refuses with its own error
    unique_fd dirfd(dirfd_raw);
    unique_fd listing_fd(dup(dirfd.get()));
    if (listing_fd.get() < 0)
        return;
    DIR *raw = fdopendir(listing_fd.get());
    if (raw == nullptr)
        return;
    listing_fd.release();
    unique_dir listing(raw);
    std::unique_ptr<run_state> state(new (std::nothrow) run_state);
    if (!state)
        return;
    while (struct dirent *entry = readdir(listing.get())) {
        if (!is_state_name(entry->d_name))
            continue;
        if (run_state_read_name(dirfd.get(), entry->d_name, state.get(), msg, sizeof msg) != 0)
            continue;  // whose files they are cannot be known
        if (process_still_runs(state->pid, state->start_ticks))
            continue;
        if (state->vmconfig_file[0] != '\0')
            remove_left_file("temporary file", state->vmconfig_file, state->pid);
        if (state->secret_file[0] != '\0')
            remove_left_file("secret file", state->secret_file, state->pid);
    }
}

}  // namespace

bool remove_left_file(const char *what, const char *path, pid_t owner)
{
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid())
        return false;
    if (unlink(path) != 0)
        return false;
    log_write(LOG_LEVEL_WARN, "%s %s was left behind by process %d, which ended abnormally: removed", what, path,
              static_cast<int>(owner));
    return true;
}

void sweep_stale_files()
{
    sweep_run_states();
    sweep_shm();
}
