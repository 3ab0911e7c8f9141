// Keeping the run's state file up to date.
#include "backup/run_journal.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "common/log.h"
#include "common/process_info.h"
#include "common/run_dir.h"
#include "common/run_state.h"
#include "common/text.h"

namespace {

struct journal {
    int dirfd = -1;
    bool written = false;        // the state file exists
    bool snapshot_left = false;
    bool warned = false;         // one warning for failed updates is enough
    char name[64] = "";          // "<vmid>.state", for the handler
    run_state state;
};

journal g_journal;

bool is_open() { return g_journal.dirfd >= 0; }

int32_t write_state(char *msg, size_t msg_size)
{
    if (run_state_write(g_journal.dirfd, &g_journal.state, msg, msg_size) != 0)
        return -1;
    g_journal.written = true;
    return 0;
}

// An update after the freeze: a failure is worth one warning, not the run.
void update()
{
    if (!g_journal.written)
        return;
    char msg[256];
    if (write_state(msg, sizeof msg) == 0 || g_journal.warned)
        return;
    g_journal.warned = true;
    log_write(LOG_LEVEL_WARN,
              "VM %ld: cannot update the state file %s/%s: %s (a run that dies now may leave things "
              "the next run cannot repair)",
              g_journal.state.vmid, run_dir_path(), g_journal.name, msg);
}

void set_path(char *field, size_t size, const char *path)
{
    put_text(field, size, "%s", path != nullptr ? path : "");
}

}  // namespace

void journal_open(int dirfd, long vmid)
{
    g_journal.dirfd = dirfd;
    g_journal.written = false;
    g_journal.snapshot_left = false;
    g_journal.warned = false;
    run_state_name(vmid, g_journal.name, sizeof g_journal.name);
    run_state &st = g_journal.state;
    memset(&st, 0, sizeof st);
    st.vmid = vmid;
    st.pid = static_cast<int32_t>(getpid());
    (void)process_start_ticks(getpid(), &st.start_ticks);
}

int32_t journal_freezing(bool may_freeze, const char (*names)[300], size_t count, char *msg, size_t msg_size)
{
    if (!is_open())
        return 0;
    run_state &st = g_journal.state;
    // Only a confirmed thaw clears it: a set taken without a freeze after
    // a freeze that failed leaves it as it was.
    if (may_freeze)
        st.frozen = 1;
    st.snapshot_count = 0;
    for (size_t i = 0; i < count && i < RUN_STATE_MAX_SNAPSHOTS; i++)
        put_text(st.snapshots[st.snapshot_count++], sizeof st.snapshots[0], "%s", names[i]);
    char why[256];
    if (write_state(why, sizeof why) != 0) {
        put_text(msg, msg_size, "cannot write the state file %s/%s: %s", run_dir_path(), g_journal.name, why);
        return -1;
    }
    return 0;
}

void journal_thawed()
{
    if (!is_open() || !g_journal.state.frozen)
        return;
    g_journal.state.frozen = 0;
    update();
}

void journal_child(const char *kind, pid_t pid)
{
    if (!is_open())
        return;
    run_state &st = g_journal.state;
    uint64_t ticks = 0;
    if (!process_start_ticks(pid, &ticks))
        return;  // already gone
    set_path(st.child_kind, sizeof st.child_kind, kind);
    st.child_pid = static_cast<int32_t>(pid);
    st.child_ticks = ticks;
    update();
}

void journal_child_done()
{
    if (!is_open())
        return;
    g_journal.state.child_kind[0] = '\0';
    g_journal.state.child_pid = 0;
    g_journal.state.child_ticks = 0;
}

void journal_secret_file(const char *path)
{
    if (!is_open())
        return;
    set_path(g_journal.state.secret_file, sizeof g_journal.state.secret_file, path);
    update();
}

void journal_vmconfig_file(const char *path)
{
    if (!is_open())
        return;
    set_path(g_journal.state.vmconfig_file, sizeof g_journal.state.vmconfig_file, path);
    update();
}

void journal_snapshot_left()
{
    g_journal.snapshot_left = true;
}

void journal_close()
{
    if (!is_open())
        return;
    if (g_journal.written) {
        run_state &st = g_journal.state;
        char msg[256];
        if (!st.frozen && !g_journal.snapshot_left) {
            if (run_state_remove(g_journal.dirfd, st.vmid, msg, sizeof msg) != 0)
                log_write(LOG_LEVEL_WARN, "VM %ld: cannot remove the state file %s/%s: %s", st.vmid,
                          run_dir_path(), g_journal.name, msg);
        } else {
            // What the next run must repair: the guest, the snapshots.
            journal_child_done();
            st.secret_file[0] = '\0';
            st.vmconfig_file[0] = '\0';
            update();
        }
    }
    g_journal.dirfd = -1;
    g_journal.written = false;
}

void journal_remove_in_handler()
{
    if (g_journal.dirfd >= 0 && g_journal.written)
        (void)unlinkat(g_journal.dirfd, g_journal.name, 0);
}
