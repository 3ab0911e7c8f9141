// Starting vlt_agent, waiting for it, and cleaning up after it.
#include "backup/agent_runs.h"

#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/progress.h"

pid_t (*agent_fork)() = fork;

namespace {

// The temporary file of the configuration job, removed on every path.
class temp_file {
public:
    ~temp_file()
    {
        close_fd();
        if (path_[0] != '\0')
            unlink(path_);
    }
    bool create(const char *tmpl)
    {
        snprintf(path_, sizeof path_, "%s", tmpl);
        fd_ = mkstemp(path_);
        if (fd_ < 0) {
            path_[0] = '\0';
            return false;
        }
        return true;
    }
    void close_fd()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }
    const char *path() const { return path_; }

private:
    char path_[64] = "";
    int fd_ = -1;
};

// argv holds at most 127 arguments and the terminating null.
void build_argv(const char **argv, const char *source, const char *job_name,
                const char *const *forwarded, int32_t forwarded_count)
{
    size_t n = 0;
    argv[n++] = "vlt_agent";
    argv[n++] = "--source";
    argv[n++] = source;
    argv[n++] = "--snapshot";
    argv[n++] = "off";
    argv[n++] = "--name";
    argv[n++] = job_name;
    for (int32_t i = 0; i < forwarded_count && i < AGENT_MAX_FORWARDED; i++)
        argv[n++] = forwarded[i];
    argv[n] = nullptr;
}

// Starts the agent in a process group of its own and waits for it. Returns
// 0 once it was started and waited for (*exit_code: its exit status, or -1
// for a signal or a failed wait), -1 when no child could be created.
int32_t start_and_wait(const char *const *argv, int32_t *exit_code, int *fork_errno)
{
    *exit_code = -1;
    // The pid reaches the signal handler's registry before any of the three
    // signals can be handled, so an interrupt never misses the agent.
    sigset_t block, previous;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGHUP);
    sigprocmask(SIG_BLOCK, &block, &previous);
    pid_t pid = agent_fork();
    if (pid < 0) {
        *fork_errno = errno;
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        return -1;
    }
    if (pid == 0) {
        setpgid(0, 0);
        // The interrupt handler is the orchestrator's: a signal that reaches
        // the child before it runs the agent must not run it here.
        struct sigaction dfl;
        memset(&dfl, 0, sizeof dfl);
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        const int interrupts[] = {SIGINT, SIGTERM, SIGHUP};
        for (int sig : interrupts) {
            struct sigaction now;
            if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler != SIG_IGN)
                sigaction(sig, &dfl, nullptr);
        }
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        execvp(argv[0], const_cast<char *const *>(argv));
        _exit(127);
    }
    setpgid(pid, pid);
    g_cleanup.agent_pid = pid;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    progress_set_child(pid);

    int status = 0;
    pid_t got;
    while ((got = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    g_cleanup.agent_pid = 0;
    progress_set_child(0);
    if (got == pid && WIFEXITED(status))
        *exit_code = WEXITSTATUS(status);
    return 0;
}

}  // namespace

int32_t run_disk_job(const snapshot_set *set, size_t index, const char *job_name,
                     const char *const *forwarded, int32_t forwarded_count, char *msg,
                     size_t msg_size)
{
    if (msg_size > 0)
        msg[0] = '\0';
    if (index >= set->count) {
        snprintf(msg, msg_size, "disk index %zu out of range", index);
        return -1;
    }
    const snapshot_entry &entry = set->rows[index];
    const char *argv[128];
    build_argv(argv, entry.device_path, job_name, forwarded, forwarded_count);

    int32_t exit_code = -1;
    int fork_errno = 0;
    bool started = start_and_wait(argv, &exit_code, &fork_errno) == 0;
    char agent_msg[256];
    if (started)
        snprintf(agent_msg, sizeof agent_msg, "vlt_agent exited with code %d", exit_code);
    else
        snprintf(agent_msg, sizeof agent_msg, "fork failed: %s", strerror(fork_errno));

    // The snapshot goes whatever became of the agent, also when it could not
    // be started: nothing else would remove it before the run ends.
    g_cleanup.created[index] = 0;
    progress_status(1, "removing snapshot %s/%s", entry.vg_name, entry.snapshot_lv_name);
    char removal_msg[256];
    int32_t removed = remove_snapshot(entry.vg_name, entry.snapshot_lv_name, removal_msg,
                                      sizeof removal_msg);

    if (!started || exit_code != 0) {
        if (removed != 0)
            log_write(LOG_LEVEL_WARN,
                      "snapshot %s/%s still exists after a failed backup: remove it manually (%s)",
                      entry.vg_name, entry.snapshot_lv_name, removal_msg);
        snprintf(msg, msg_size, "%s", agent_msg);
        return -1;
    }
    if (removed != 0) {
        snprintf(msg, msg_size, "backup succeeded, but could not remove the snapshot: %s",
                 removal_msg);
        return -1;
    }
    return 0;
}

int32_t run_vmconfig_job(const char *config_text, const char *job_name,
                         const char *const *forwarded, int32_t forwarded_count, char *msg,
                         size_t msg_size)
{
    if (msg_size > 0)
        msg[0] = '\0';
    temp_file file;
    if (!file.create("/tmp/vlt_proxmox_vmconfig.XXXXXX")) {
        snprintf(msg, msg_size, "mkstemp failed: %s", strerror(errno));
        return -1;
    }
    size_t len = strlen(config_text);
    if (len > 0) {
        ssize_t written = write(file.fd(), config_text, len);
        if (written < 0 || static_cast<size_t>(written) != len) {
            snprintf(msg, msg_size, "could not write the VM config to a temporary file: %s",
                     written < 0 ? strerror(errno) : "short write");
            return -1;
        }
    }
    file.close_fd();

    const char *argv[128];
    build_argv(argv, file.path(), job_name, forwarded, forwarded_count);
    int32_t exit_code = -1;
    int fork_errno = 0;
    if (start_and_wait(argv, &exit_code, &fork_errno) != 0) {
        snprintf(msg, msg_size, "fork failed: %s", strerror(fork_errno));
        return -1;
    }
    if (exit_code != 0) {
        snprintf(msg, msg_size, "vlt_agent exited with code %d", exit_code);
        return -1;
    }
    return 0;
}
