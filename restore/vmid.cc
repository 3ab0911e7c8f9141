// The target VMID of a restore: a requested one checked against the
// cluster file system, or the next free one named by pvesh.
#include "restore/vmid.h"

#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "common/runner.h"
#include "common/text.h"

namespace {

const char *const kDefaultPveDir = "/etc/pve";

int32_t vmid_from_pvesh(int64_t *out_vmid, char *err, size_t err_size) {
    const char *const argv[] = {"pvesh", "get", "/cluster/nextid", nullptr};
    // Room for the number and whatever Perl may print before it.
    char out[4096];
    command_result result;
    if (run_pve_tool(argv, 30, out, sizeof out, &result, err, err_size) != 0)
        return -1;
    trim_trailing_space(out);
    if (result.exit_code != 0) {
        put_text(err, err_size, "pvesh get /cluster/nextid failed: %.100s", out);
        return -1;
    }
    if (parse_nextid_output(out, out_vmid) != 0) {
        put_text(err, err_size, "pvesh get /cluster/nextid returned an unexpected value: %.100s",
                  out);
        return -1;
    }
    return 0;
}

}  // namespace

int32_t parse_nextid_output(const char *output, int64_t *out_vmid) {
    size_t len = 0;
    const char *answer = last_line_starting_with(output, '\0', &len);
    char number[128] = "";
    if (answer != nullptr)
        copy_cut(number, sizeof number, answer, len);
    return parse_vmid_text(number, out_vmid);
}

const char *restore_pve_dir(const restore_options *opts) {
    if (opts->pve_dir != nullptr && opts->pve_dir[0] != '\0')
        return opts->pve_dir;
    return kDefaultPveDir;
}

int32_t parse_vmid_text(const char *text, int64_t *out_vmid) {
    if (text == nullptr || text[0] == '\0')
        return -1;
    errno = 0;
    char *end = nullptr;
    long long value = std::strtoll(text, &end, 10);
    // A number too large for 64 bits is no VMID either.
    if (end == text || *end != '\0' || errno == ERANGE || value < 1)
        return -1;
    *out_vmid = static_cast<int64_t>(value);
    return 0;
}

int32_t choose_vmid(const restore_options *opts, int64_t *out_vmid, char *err, size_t err_size) {
    const char *pve_dir = restore_pve_dir(opts);
    if (opts->requested_vmid == nullptr)
        return vmid_from_pvesh(out_vmid, err, err_size);

    int64_t vmid = 0;
    if (parse_vmid_text(opts->requested_vmid, &vmid) != 0) {
        put_text(err, err_size, "--vmid must be a positive integer");
        return -1;
    }
    char qemu_path[1024];
    char lxc_path[1024];
    std::snprintf(qemu_path, sizeof qemu_path, "%s/qemu-server/%" PRId64 ".conf", pve_dir, vmid);
    std::snprintf(lxc_path, sizeof lxc_path, "%s/lxc/%" PRId64 ".conf", pve_dir, vmid);
    struct stat st;
    // A name that can be looked up is taken, whatever it is (even a
    // dangling link would make the later exclusive create fail).
    if (lstat(qemu_path, &st) == 0) {
        put_text(err, err_size, "VMID %" PRId64 " is already in use (%s exists)", vmid,
                  qemu_path);
        return -1;
    }
    if (lstat(lxc_path, &st) == 0) {
        put_text(err, err_size, "VMID %" PRId64 " is already in use (%s exists)", vmid, lxc_path);
        return -1;
    }
    *out_vmid = vmid;
    return 0;
}
