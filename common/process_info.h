// What /proc tells about another process: whether it still runs, and when
// it started, so that a process id written down earlier can be told apart
// from a later process that got the same id.
#pragma once
#include <sys/types.h>

#include <cstdint>

// Whether process pid exists (a process we may not signal exists too; so
// does a zombie).
int process_exists(uint32_t pid);

// Whether process pid started clearly after the monotonic time mono_ms, by
// <proc_dir>/<pid>/stat; 0 when that cannot be told.
int process_started_after(uint32_t pid, uint64_t mono_ms, const char *proc_dir);

// The start time of a live process (not a zombie) in clock ticks since
// boot, the 22nd field of <proc_dir>/<pid>/stat. False when there is no
// such process, it has ended, or its stat cannot be read.
bool process_start_ticks(pid_t pid, uint64_t *ticks, const char *proc_dir = "/proc");

// True while the process that had start time `ticks` still runs as pid:
// false once it ended, also when a later process got the same id.
bool process_still_runs(pid_t pid, uint64_t ticks);

// True when no process pid runs (none exists, or only its zombie is left).
bool process_gone(pid_t pid);
