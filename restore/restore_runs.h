// One run of the per-volume restore tool vlt_restore: the configuration job
// into a temporary file, or a disk job into a newly allocated volume.
#pragma once
#include <cstddef>
#include <cstdint>

enum { RESTORE_MAX_FORWARDED = 120 };

// Starts "vlt_restore --meta <meta_path> --search-dir <search_dir> --target
// <target>" followed by the first 120 forwarded arguments, in a process group
// of its own, publishes it as the progress child and waits for it without a
// time limit. Returns 0 when it exited with status 0, otherwise -1 with
// "vlt_restore exited with code %d" (-1 for a signal) or "fork failed: %s"
// in msg.
int32_t run_restore_tool(const char *meta_path, const char *search_dir, const char *target,
                         const char *const *forwarded, int32_t forwarded_count, char *msg,
                         size_t msg_size);
