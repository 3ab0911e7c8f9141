// Starting vlt_agent, waiting for it, and cleaning up after it.
#include "backup/agent_runs.h"

#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "backup/activation.h"
#include "backup/run_journal.h"
#include "common/child.h"
#include "common/log.h"
#include "common/progress.h"
#include "common/temp_file.h"

pid_t (*agent_fork)() = fork;

namespace {

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

// The pid reaches the signal handler's registry before any signal can be
// handled, so an interrupt never misses the agent; the progress segment
// shows it from the start as well.
void register_agent(pid_t pid, void *)
{
    g_cleanup.agent_pid = pid;
    progress_set_child(pid);
    journal_child("vlt_agent", pid);
}

// How one agent run ended.
struct agent_end {
    int32_t exit_code = -1;  // its exit status, or -1 for a signal or a failed wait
    int32_t outcome = AGENT_EXITED;
    int32_t stop = AGENT_GO_ON;
    char why[256] = "";
};

// Starts the agent in a process group of its own and waits for it under
// the limits. Returns 0 once it was started and waited for, -1 when no
// child could be created.
int32_t start_and_wait(const char *const *argv, const agent_limits &limits, size_t index, agent_end *end,
                       int *fork_errno)
{
    child_setup setup;
    setup.argv = argv;
    setup.own_group = true;
    setup.started = register_agent;
    setup.make_process = agent_fork;
    pid_t pid = start_child(setup);
    if (pid < 0) {
        *fork_errno = errno;
        return -1;
    }
    if (limits.time_limit_s == 0 && limits.check == nullptr)
        end->exit_code = wait_child(pid);
    else
        end->outcome = wait_for_agent(pid, limits, index, &end->exit_code, &end->stop, end->why, sizeof end->why);
    g_cleanup.agent_pid = 0;
    progress_set_child(0);
    journal_child_done();
    return 0;
}

// The configuration job's temporary file: an interrupt removes it through
// the handler's slot, and the journal names it so that the next run
// removes it when the program dies without a chance to.
class journaled_config_file : public temp_file {
public:
    journaled_config_file() : temp_file(&g_cleanup.config_file) {}
    ~journaled_config_file()
    {
        if (path()[0] == '\0')
            return;
        remove();
        journal_vmconfig_file(nullptr);
    }
    journaled_config_file(const journaled_config_file &) = delete;
    journaled_config_file &operator=(const journaled_config_file &) = delete;

    bool create()
    {
        if (!create_unique("/tmp/vlt_proxmox_vmconfig.XXXXXX"))
            return false;
        journal_vmconfig_file(path());
        return true;
    }
};

// Why an agent run that was waited for failed; false when it did not.
bool agent_failed(const agent_end &end, const agent_limits &limits, char *msg, size_t msg_size)
{
    if (end.outcome == AGENT_TIMED_OUT)
        snprintf(msg, msg_size, "vlt_agent ran longer than the time limit of %u s (--agent-timeout) and was stopped",
                 limits.time_limit_s);
    else if (end.outcome == AGENT_STOPPED)
        snprintf(msg, msg_size, "%s", end.why);
    else if (end.exit_code != 0)
        snprintf(msg, msg_size, "vlt_agent exited with code %d", end.exit_code);
    else
        return false;
    return true;
}

}  // namespace

int32_t run_disk_job(const snapshot_set *set, size_t index, const char *job_name,
                     const char *const *forwarded, int32_t forwarded_count, char *msg,
                     size_t msg_size)
{
    bool stop_run = false;
    return run_disk_job_limited(set, index, job_name, forwarded, forwarded_count, agent_limits{}, &stop_run, msg,
                                msg_size);
}

int32_t run_disk_job_limited(const snapshot_set *set, size_t index, const char *job_name,
                             const char *const *forwarded, int32_t forwarded_count,
                             const agent_limits &limits, bool *stop_run, char *msg, size_t msg_size)
{
    *stop_run = false;
    if (msg_size > 0)
        msg[0] = '\0';
    if (index >= set->count) {
        snprintf(msg, msg_size, "disk index %zu out of range", index);
        return -1;
    }
    const snapshot_entry &entry = set->rows[index];
    const char *argv[128];
    build_argv(argv, entry.device_path, job_name, forwarded, forwarded_count);

    agent_end end;
    int fork_errno = 0;
    bool started = start_and_wait(argv, limits, index, &end, &fork_errno) == 0;
    char agent_msg[256];
    bool failed = true;
    if (!started)
        snprintf(agent_msg, sizeof agent_msg, "fork failed: %s", strerror(fork_errno));
    else
        failed = agent_failed(end, limits, agent_msg, sizeof agent_msg);
    // A backup read from a snapshot that went bad meanwhile is no backup.
    if (!failed && limits.check_after != nullptr)
        failed = limits.check_after(limits.ctx, index, agent_msg, sizeof agent_msg) != 0;
    *stop_run = end.stop == AGENT_STOP_RUN;

    // The snapshot goes whatever became of the agent, also when it could not
    // be started: nothing else would remove it before the run ends.
    g_cleanup.created[index] = 0;
    progress_status(1, "removing snapshot %s/%s", entry.vg_name, entry.snapshot_lv_name);
    char removal_msg[256];
    int32_t removed = release_snapshot(index, entry, removal_msg, sizeof removal_msg);

    if (failed) {
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
    return run_vmconfig_job_limited(config_text, job_name, forwarded, forwarded_count, 0, msg, msg_size);
}

int32_t run_vmconfig_job_limited(const char *config_text, const char *job_name,
                                 const char *const *forwarded, int32_t forwarded_count,
                                 uint32_t time_limit_s, char *msg, size_t msg_size)
{
    if (msg_size > 0)
        msg[0] = '\0';
    // Known to the interrupt handler and to the journal while it exists.
    journaled_config_file file;
    if (!file.create()) {
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
    (void)file.close_now();

    const char *argv[128];
    build_argv(argv, file.path(), job_name, forwarded, forwarded_count);
    agent_limits limits;
    limits.time_limit_s = time_limit_s;
    agent_end end;
    int fork_errno = 0;
    if (start_and_wait(argv, limits, 0, &end, &fork_errno) != 0) {
        snprintf(msg, msg_size, "fork failed: %s", strerror(fork_errno));
        return -1;
    }
    return agent_failed(end, limits, msg, msg_size) ? -1 : 0;
}
