// The restore run: from the backup's runs to a new, stopped VM.
#pragma once
#include <cstddef>
#include <cstdint>

#include "restore/restore_options.h"

// The whole restore run. out_vmid is 0 at entry and the VMID used on success.
// While it runs, SIGINT, SIGTERM and SIGHUP are noted (restore/interrupt.h):
// the run rolls back and returns -1 with "interrupted by ..."; the caller
// then ends the program by the signal.
int32_t restore_vm(const restore_options *opts, int64_t *out_vmid, char *err, size_t err_size);

enum : size_t {
    RESTORE_CONFIG_SIZE = 32768,  // configuration texts: at most 32767 bytes
};

// Reads a restored configuration file into buf (RESTORE_CONFIG_SIZE bytes):
// at most 32767 bytes, terminated. Returns 0, or -1 with "cannot read
// restored VM config %s: %s" or "restored VM config is too large (> %zu
// bytes)" in err. The file is left where it is.
int32_t read_restored_config(const char *path, char *buf, char *err, size_t err_size);

// Installs text as "<config_dir>/<vmid>.conf": writes it to a temporary file
// in config_dir, claims the target name by creating it exclusively (so an
// existing VM's configuration is never replaced) and renames the temporary
// file over the claim. On failure neither the temporary file nor the claim
// is left behind, an existing file is left untouched, and err holds the
// reason. ret_target receives the target path (1024 bytes).
int32_t install_target_config(const char *config_dir, int64_t vmid, const char *text,
                              char *ret_target, char *err, size_t err_size);
