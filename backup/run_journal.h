// The state file of the run in progress (common/run_state.h), brought up
// to date at every moment after which a run that dies would leave
// something behind: before the freeze (the guest may become frozen, these
// snapshots may come to be), once the thaw is confirmed, when a child is
// started, when a temporary file is made. The next run of the VM reads it
// under the VM's lock and repairs what it names.
//
// Every function does nothing while no journal is open, as in the tests of
// a single step.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Opens the journal of a run of vmid in the locked run directory (dirfd
// stays the caller's); nothing is written until journal_freezing.
void journal_open(int dirfd, long vmid);

// Before the snapshots: the guest may become frozen (unless the set is
// taken without a freeze) and each of the names ("vg/lv") may come to be a
// snapshot of the run. 0, or -1 with the reason (then nothing may be
// frozen or snapshotted).
int32_t journal_freezing(bool may_freeze, const char (*names)[300], size_t count, char *msg, size_t msg_size);
// The guest is thawed: a thaw was confirmed, or the freeze never reached it.
void journal_thawed();
// The child the run is waiting for ("vlt_agent", or "qm" for a guest
// command), written at once; journal_child_done forgets it with the next
// write.
void journal_child(const char *kind, pid_t pid);
void journal_child_done();
// The run's temporary files; nullptr when the file is gone.
void journal_secret_file(const char *path);
void journal_vmconfig_file(const char *path);
// A snapshot of the run could not be removed: the state file stays.
void journal_snapshot_left();

// The end of the run: the state file goes when the guest is thawed and
// every snapshot was removed; otherwise it stays, naming what is left, for
// the next run. The journal is closed either way.
void journal_close();

// For the signal handler, once it has thawed the guest and removed every
// snapshot: removes the state file. Async-signal-safe.
void journal_remove_in_handler();

// The journal of a run, closed by the destructor on every way out.
class journal_scope {
public:
    journal_scope(int dirfd, long vmid) { journal_open(dirfd, vmid); }
    ~journal_scope() { journal_close(); }
    journal_scope(const journal_scope &) = delete;
    journal_scope &operator=(const journal_scope &) = delete;
};
