// Selecting a node's VMs from the cluster file system and the pool listing.
#include "backup/node_select.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/json.h"
#include "common/owned.h"
#include "common/runner.h"
#include "common/text.h"
#include "vmconfig/vm_config.h"

namespace {

// A node name as Proxmox allows it (a host name without its domain).
bool valid_node_name(const char *name)
{
    if (name[0] == '\0' || strlen(name) > 63)
        return false;
    for (const char *c = name; *c != '\0'; c++)
        if (!isalnum(static_cast<unsigned char>(*c)) && *c != '-')
            return false;
    return true;
}

// "<digits>.conf" with a VMID from 1 to 999999999.
bool conf_vmid(const char *file_name, long *vmid)
{
    const char *p = file_name;
    if (*p < '1' || *p > '9')
        return false;
    long v = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9' && digits < 10) {
        v = v * 10 + (*p++ - '0');
        digits++;
    }
    if (digits > 9 || strcmp(p, ".conf") != 0)
        return false;
    *vmid = v;
    return true;
}

// The name: of a configuration file's main section; empty when it has
// none or cannot be read. Configuration files are small (Proxmox caps
// them well below this).
std::string conf_name(const std::string &path)
{
    unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return std::string();
    std::unique_ptr<char[]> text(new (std::nothrow) char[65536]);
    if (!text)
        return std::string();
    size_t used = 0;
    ssize_t n;
    while (used < 65535 && (n = read(fd.get(), text.get() + used, 65535 - used)) > 0)
        used += static_cast<size_t>(n);
    text[used] = '\0';
    char name[128];
    vm_config_value(text.get(), "name", name, sizeof name);
    return name;
}

bool by_vmid(const selected_vm &a, const selected_vm &b) { return a.vmid < b.vmid; }

}  // namespace

int32_t this_node_name(const char *pve_dir, char *out, size_t out_size, char *msg, size_t msg_size)
{
    std::string local = std::string(pve_dir) + "/local";
    char target[4096];
    ssize_t n = readlink(local.c_str(), target, sizeof target - 1);
    if (n > 0) {
        target[n] = '\0';
        while (n > 1 && target[n - 1] == '/')
            target[--n] = '\0';
        const char *slash = strrchr(target, '/');
        const char *name = slash != nullptr ? slash + 1 : target;
        if (valid_node_name(name)) {
            put_text(out, out_size, "%s", name);
            return 0;
        }
    }
    struct utsname host;
    if (uname(&host) == 0) {
        char *dot = strchr(host.nodename, '.');
        if (dot != nullptr)
            *dot = '\0';
        if (valid_node_name(host.nodename)) {
            put_text(out, out_size, "%s", host.nodename);
            return 0;
        }
    }
    put_text(msg, msg_size, "cannot tell this node's name: %s is not a link to nodes/<node>, and the host name "
             "is not a node name", local.c_str());
    return -1;
}

int32_t list_node_vms(const char *pve_dir, const char *node, std::vector<selected_vm> *out, char *msg,
                      size_t msg_size)
{
    out->clear();
    std::string dir = std::string(pve_dir) + "/nodes/" + node + "/qemu-server";
    unique_dir listing(opendir(dir.c_str()));
    if (listing.get() == nullptr) {
        if (errno == ENOENT)
            return 0;
        put_text(msg, msg_size, "cannot list %s: %s", dir.c_str(), strerror(errno));
        return -1;
    }
    errno = 0;
    while (struct dirent *entry = readdir(listing.get())) {
        long vmid;
        if (conf_vmid(entry->d_name, &vmid))
            out->push_back(selected_vm{vmid, conf_name(dir + "/" + entry->d_name)});
        errno = 0;
    }
    if (errno != 0) {
        put_text(msg, msg_size, "cannot list %s: %s", dir.c_str(), strerror(errno));
        return -1;
    }
    std::sort(out->begin(), out->end(), by_vmid);
    return 0;
}

int32_t parse_pool_members(const char *answer, const char *node, std::vector<selected_vm> *out,
                           size_t *ret_elsewhere, char *msg, size_t msg_size)
{
    out->clear();
    *ret_elsewhere = 0;
    // The object starts a line; whatever a tool printed before it is not ours.
    const char *start = answer;
    while (*start != '\0' && *start != '{') {
        const char *newline = strchr(start, '\n');
        if (newline == nullptr) {
            start += strlen(start);
            break;
        }
        start = newline + 1;
    }
    json_value root;
    char parse_msg[128];
    if (*start == '\0' || json_parse(start, strlen(start), &root, parse_msg, sizeof parse_msg) != 0) {
        put_text(msg, msg_size, "the pool listing is not JSON (%s)", *start == '\0' ? "no object" : parse_msg);
        return -1;
    }
    const json_value *members = root.member("members");
    if (members == nullptr || members->kind != json_value::array) {
        put_text(msg, msg_size, "the pool listing has no member list");
        return -1;
    }
    for (const json_value &m : members->items) {
        const char *type = m.member_text("type");
        if (type == nullptr || strcmp(type, "qemu") != 0)
            continue;  // containers, storages
        long vmid;
        const char *where = m.member_text("node");
        if (!json_whole_number(m.member("vmid"), &vmid) || vmid < 1 || vmid > 999999999 || where == nullptr) {
            put_text(msg, msg_size, "the pool listing has a VM without a VMID or a node");
            return -1;
        }
        if (strcmp(where, node) != 0) {
            (*ret_elsewhere)++;
            continue;
        }
        const char *name = m.member_text("name");
        out->push_back(selected_vm{vmid, name != nullptr ? name : ""});
    }
    std::sort(out->begin(), out->end(), by_vmid);
    out->erase(std::unique(out->begin(), out->end(),
                           [](const selected_vm &a, const selected_vm &b) { return a.vmid == b.vmid; }),
               out->end());
    return 0;
}

int32_t list_pool_vms(const char *pool, const char *node, std::vector<selected_vm> *out, size_t *ret_elsewhere,
                      char *msg, size_t msg_size)
{
    std::string path = std::string("/pools/") + pool;
    const char *argv[] = {"pvesh", "get", path.c_str(), "--output-format", "json", nullptr};
    // A pool of a few thousand members fits; a longer answer would be cut.
    const size_t size = 4u << 20;
    std::unique_ptr<char[]> answer(new (std::nothrow) char[size]);
    if (!answer) {
        put_text(msg, msg_size, "pool '%s': out of memory", pool);
        return -1;
    }
    command_result result;
    char missing[128];
    if (run_pve_tool(argv, 60, answer.get(), size, &result, missing, sizeof missing) != 0) {
        put_text(msg, msg_size, "%s", missing);
        return -1;
    }
    if (result.exit_code != 0) {
        trim_trailing_space(answer.get());
        put_text(msg, msg_size, "pool '%s': pvesh get %s failed: %.300s", pool, path.c_str(),
                 answer[0] != '\0' ? answer.get() : "unknown error");
        return -1;
    }
    if (strlen(answer.get()) >= size - 1) {
        put_text(msg, msg_size, "pool '%s': the listing is longer than %zu bytes", pool, size - 1);
        return -1;
    }
    char why[256];
    if (parse_pool_members(answer.get(), node, out, ret_elsewhere, why, sizeof why) != 0) {
        put_text(msg, msg_size, "pool '%s': %s", pool, why);
        return -1;
    }
    return 0;
}

size_t drop_excluded(std::vector<selected_vm> *vms, const long *excluded, int32_t excluded_count)
{
    size_t before = vms->size();
    vms->erase(std::remove_if(vms->begin(), vms->end(),
                              [&](const selected_vm &vm) {
                                  return std::find(excluded, excluded + excluded_count, vm.vmid) !=
                                         excluded + excluded_count;
                              }),
               vms->end());
    return before - vms->size();
}

int32_t vm_home(const char *pve_dir, const char *node, long vmid, char *other, size_t other_size)
{
    if (other_size > 0)
        other[0] = '\0';
    char conf[64];
    put_text(conf, sizeof conf, "%ld.conf", vmid);
    struct stat st;
    std::string nodes = std::string(pve_dir) + "/nodes";
    if (stat((nodes + "/" + node + "/qemu-server/" + conf).c_str(), &st) == 0)
        return 1;
    unique_dir listing(opendir(nodes.c_str()));
    if (listing.get() == nullptr)
        return -1;
    while (struct dirent *entry = readdir(listing.get())) {
        if (entry->d_name[0] == '.' || strcmp(entry->d_name, node) == 0)
            continue;
        if (stat((nodes + "/" + entry->d_name + "/qemu-server/" + conf).c_str(), &st) == 0) {
            put_text(other, other_size, "%s", entry->d_name);
            return 0;
        }
    }
    return -1;
}
