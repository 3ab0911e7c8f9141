// One run of the per-volume restore tool vlt_restore: the configuration job
// into a temporary file, or a disk job into a newly allocated volume.
#pragma once
#include <cstddef>
#include <cstdint>

enum { RESTORE_MAX_FORWARDED = 120 };

// Starts "vlt_restore --meta <meta_path> --search-dir <search_dir> --target
// <target>" followed by the first 120 forwarded arguments, in a process group
// of its own, publishes it as the progress child and waits for it without a
// time limit, unless an interrupt is noted (restore/interrupt.h): then it
// is stopped. Returns 0 when it exited with status 0, otherwise -1 with
// "vlt_restore exited with code %d" (-1 for a signal), "vlt_restore
// stopped: interrupted by %s" or "fork failed: %s" in msg.
int32_t run_restore_tool(const char *meta_path, const char *search_dir, const char *target,
                         const char *const *forwarded, int32_t forwarded_count, char *msg,
                         size_t msg_size);

// Copies the forwarded arguments except "--assume-zeroed" into ret (room
// for RESTORE_MAX_FORWARDED; further ones are not copied) and returns their
// count; *ret_withheld tells whether "--assume-zeroed" was among them.
int32_t without_assume_zeroed(const char *const *forwarded, int32_t forwarded_count, const char **ret,
                              bool *ret_withheld);
