// Writing and reading the state file of a backup run.
#include "common/run_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "common/owned.h"
#include "common/text.h"

namespace {

const char kHeader[] = "vlt_proxmox run state 1";
const size_t kMaxFileSize = 65536;

bool is_lvm_name_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '_' || c == '.' || c == '-';
}

// LVM's rule for a VG or LV name: its characters only, not starting with
// "-", not "." or "..".
bool lvm_name_ok(const char *name, size_t len)
{
    if (len == 0 || len > 127 || name[0] == '-')
        return false;
    if ((len == 1 && name[0] == '.') || (len == 2 && name[0] == '.' && name[1] == '.'))
        return false;
    for (size_t i = 0; i < len; i++)
        if (!is_lvm_name_char(name[i]))
            return false;
    return true;
}

bool is_alnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// An absolute path without "." or ".." components whose last component is
// stem followed by six mkstemp characters; with_pid: stem, digits, ".".
bool temp_path_ok(const char *path, const char *stem, bool with_pid)
{
    if (path[0] != '/' || strstr(path, "/.") != nullptr || strstr(path, "//") != nullptr)
        return false;
    const char *base = strrchr(path, '/') + 1;
    size_t stem_len = strlen(stem);
    if (strncmp(base, stem, stem_len) != 0)
        return false;
    const char *p = base + stem_len;
    if (with_pid) {
        const char *digits = p;
        while (*p >= '0' && *p <= '9')
            p++;
        if (p == digits || p - digits > 10 || *p != '.')
            return false;
        p++;
    }
    for (int i = 0; i < 6; i++)
        if (!is_alnum(p[i]))
            return false;
    return p[6] == '\0';
}

// A decimal number that fills the whole word.
bool parse_number(const char *word, unsigned long long max, unsigned long long *out)
{
    if (*word < '0' || *word > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(word, &end, 10);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    *out = v;
    return true;
}

// "<pid> <ticks>" into the two fields.
bool parse_process(char *value, int32_t *pid, uint64_t *ticks)
{
    char *space = strchr(value, ' ');
    if (space == nullptr)
        return false;
    *space = '\0';
    unsigned long long p, t;
    if (!parse_number(value, 0x7FFFFFFF, &p) || p == 0 || !parse_number(space + 1, ~0ULL, &t))
        return false;
    *pid = static_cast<int32_t>(p);
    *ticks = t;
    return true;
}

// Reads at most kMaxFileSize bytes of an open file into a new buffer.
int32_t read_whole(int fd, std::unique_ptr<char[]> *text, char *msg, size_t msg_size)
{
    text->reset(new (std::nothrow) char[kMaxFileSize + 1]);
    if (!*text) {
        put_text(msg, msg_size, "out of memory");
        return -1;
    }
    size_t used = 0;
    for (;;) {
        ssize_t n = read(fd, text->get() + used, kMaxFileSize + 1 - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            put_text(msg, msg_size, "%s", strerror(errno));
            return -1;
        }
        if (n == 0)
            break;
        used += static_cast<size_t>(n);
        if (used > kMaxFileSize) {
            put_text(msg, msg_size, "it is larger than %zu bytes", kMaxFileSize);
            return -1;
        }
    }
    (*text)[used] = '\0';
    if (strlen(text->get()) != used) {
        put_text(msg, msg_size, "it holds a NUL byte");
        return -1;
    }
    return 0;
}

}  // namespace

bool run_state_snapshot_name_ok(const char *name)
{
    const char *slash = strchr(name, '/');
    if (slash == nullptr || strchr(slash + 1, '/') != nullptr)
        return false;
    size_t vg_len = static_cast<size_t>(slash - name);
    const char *lv = slash + 1;
    size_t lv_len = strlen(lv);
    static const char suffix[] = "_vltsnap";
    size_t suffix_len = sizeof suffix - 1;
    return lvm_name_ok(name, vg_len) && lvm_name_ok(lv, lv_len) && lv_len > suffix_len &&
           strcmp(lv + lv_len - suffix_len, suffix) == 0;
}

void run_state_name(long vmid, char *out, size_t out_size)
{
    put_text(out, out_size, "%ld.state", vmid);
}

bool run_state_format(const run_state *state, char *out, size_t out_size)
{
    size_t used = 0;
    bool fits = true;
    auto add = [&](const char *fmt, auto... args) {
        if (!fits)
            return;
        int n = snprintf(out + used, out_size - used, fmt, args...);
        if (n < 0 || static_cast<size_t>(n) >= out_size - used)
            fits = false;
        else
            used += static_cast<size_t>(n);
    };
    add("%s\n", kHeader);
    add("vmid %ld\n", state->vmid);
    add("run %d %llu\n", static_cast<int>(state->pid), static_cast<unsigned long long>(state->start_ticks));
    add("frozen %d\n", state->frozen ? 1 : 0);
    for (uint32_t i = 0; i < state->snapshot_count && i < RUN_STATE_MAX_SNAPSHOTS; i++)
        add("snapshot %s\n", state->snapshots[i]);
    if (state->child_kind[0] != '\0')
        add("child %s %d %llu\n", state->child_kind, static_cast<int>(state->child_pid),
            static_cast<unsigned long long>(state->child_ticks));
    if (state->secret_file[0] != '\0')
        add("secret %s\n", state->secret_file);
    if (state->vmconfig_file[0] != '\0')
        add("vmconfig %s\n", state->vmconfig_file);
    add("%s", "end\n");
    return fits;
}

int32_t run_state_parse(const char *text, run_state *state, char *msg, size_t msg_size)
{
    memset(state, 0, sizeof *state);
    std::unique_ptr<char[]> copy(new (std::nothrow) char[strlen(text) + 1]);
    if (!copy) {
        put_text(msg, msg_size, "out of memory");
        return -1;
    }
    strcpy(copy.get(), text);
    bool seen_vmid = false, seen_run = false, seen_frozen = false, ended = false;
    int line_no = 0;
    char *cursor = copy.get();
    while (*cursor != '\0') {
        char *line = cursor;
        char *newline = strchr(cursor, '\n');
        if (newline == nullptr) {
            put_text(msg, msg_size, "line %d is not complete", line_no + 1);
            return -1;
        }
        *newline = '\0';
        cursor = newline + 1;
        line_no++;
        if (ended) {
            put_text(msg, msg_size, "line %d comes after \"end\"", line_no);
            return -1;
        }
        if (line_no == 1) {
            if (strcmp(line, kHeader) != 0) {
                put_text(msg, msg_size, "it does not start with \"%s\"", kHeader);
                return -1;
            }
            continue;
        }
        if (strcmp(line, "end") == 0) {
            ended = true;
            continue;
        }
        char *space = strchr(line, ' ');
        const char *value = space != nullptr ? space + 1 : "";
        if (space != nullptr)
            *space = '\0';
        const char *key = line;
        bool ok = false;
        unsigned long long number = 0;
        if (strcmp(key, "vmid") == 0 && !seen_vmid) {
            ok = parse_number(value, 999999999, &number) && number > 0;
            state->vmid = static_cast<long>(number);
            seen_vmid = true;
        } else if (strcmp(key, "run") == 0 && !seen_run) {
            char buf[64];
            put_text(buf, sizeof buf, "%s", value);
            ok = parse_process(buf, &state->pid, &state->start_ticks);
            seen_run = true;
        } else if (strcmp(key, "frozen") == 0 && !seen_frozen) {
            ok = strcmp(value, "0") == 0 || strcmp(value, "1") == 0;
            state->frozen = value[0] == '1';
            seen_frozen = true;
        } else if (strcmp(key, "snapshot") == 0 && state->snapshot_count < RUN_STATE_MAX_SNAPSHOTS) {
            ok = run_state_snapshot_name_ok(value);
            if (ok)
                put_text(state->snapshots[state->snapshot_count++], sizeof state->snapshots[0], "%s", value);
        } else if (strcmp(key, "child") == 0 && state->child_kind[0] == '\0') {
            char buf[96];
            put_text(buf, sizeof buf, "%s", value);
            char *rest = strchr(buf, ' ');
            if (rest != nullptr) {
                *rest = '\0';
                ok = (strcmp(buf, "vlt_agent") == 0 || strcmp(buf, "qm") == 0) &&
                     parse_process(rest + 1, &state->child_pid, &state->child_ticks);
                put_text(state->child_kind, sizeof state->child_kind, "%s", buf);
            }
        } else if (strcmp(key, "secret") == 0 && state->secret_file[0] == '\0') {
            ok = temp_path_ok(value, "vlt_proxmox_key.", true) && strlen(value) < sizeof state->secret_file;
            put_text(state->secret_file, sizeof state->secret_file, "%s", value);
        } else if (strcmp(key, "vmconfig") == 0 && state->vmconfig_file[0] == '\0') {
            ok = temp_path_ok(value, "vlt_proxmox_vmconfig.", false) &&
                 strlen(value) < sizeof state->vmconfig_file;
            put_text(state->vmconfig_file, sizeof state->vmconfig_file, "%s", value);
        }
        if (!ok) {
            put_text(msg, msg_size, "line %d (\"%.60s\") is not understood", line_no, key);
            return -1;
        }
    }
    if (line_no == 0) {
        put_text(msg, msg_size, "it is empty");
        return -1;
    }
    if (!ended || !seen_vmid || !seen_run || !seen_frozen) {
        put_text(msg, msg_size, "it is not complete");
        return -1;
    }
    return 0;
}

int32_t run_state_write(int dirfd, const run_state *state, char *msg, size_t msg_size)
{
    std::unique_ptr<char[]> text(new (std::nothrow) char[kMaxFileSize]);
    if (!text) {
        put_text(msg, msg_size, "out of memory");
        return -1;
    }
    if (!run_state_format(state, text.get(), kMaxFileSize)) {
        put_text(msg, msg_size, "the state does not fit into %zu bytes", kMaxFileSize);
        return -1;
    }
    char name[64], fresh[80];
    run_state_name(state->vmid, name, sizeof name);
    put_text(fresh, sizeof fresh, "%s.new", name);
    (void)unlinkat(dirfd, fresh, 0);
    unique_fd fd(openat(dirfd, fresh, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        put_text(msg, msg_size, "%s", strerror(errno));
        return -1;
    }
    size_t len = strlen(text.get());
    ssize_t written = write(fd.get(), text.get(), len);
    int write_errno = errno;
    if (written < 0 || static_cast<size_t>(written) != len || fd.close_now() != 0) {
        put_text(msg, msg_size, "%s", written < 0 ? strerror(write_errno) : "short write");
        (void)unlinkat(dirfd, fresh, 0);
        return -1;
    }
    if (renameat(dirfd, fresh, dirfd, name) != 0) {
        put_text(msg, msg_size, "%s", strerror(errno));
        (void)unlinkat(dirfd, fresh, 0);
        return -1;
    }
    return 0;
}

int32_t run_state_read_name(int dirfd, const char *name, run_state *state, char *msg, size_t msg_size)
{
    memset(state, 0, sizeof *state);
    unique_fd fd(openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return 1;
        put_text(msg, msg_size, "%s", errno == ELOOP ? "it is a symbolic link" : strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        put_text(msg, msg_size, "%s", strerror(errno));
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        put_text(msg, msg_size, "it is not a plain file");
        return -1;
    }
    if (st.st_uid != geteuid() || (st.st_mode & 022) != 0) {
        put_text(msg, msg_size, "it is not ours alone (uid %u, mode %04o)", static_cast<unsigned>(st.st_uid),
                 static_cast<unsigned>(st.st_mode & 07777));
        return -1;
    }
    std::unique_ptr<char[]> text;
    if (read_whole(fd.get(), &text, msg, msg_size) != 0)
        return -1;
    return run_state_parse(text.get(), state, msg, msg_size);
}

int32_t run_state_read(int dirfd, long vmid, run_state *state, char *msg, size_t msg_size)
{
    char name[64];
    run_state_name(vmid, name, sizeof name);
    int32_t rc = run_state_read_name(dirfd, name, state, msg, msg_size);
    if (rc == 0 && state->vmid != vmid) {
        put_text(msg, msg_size, "it is the state of VM %ld", state->vmid);
        return -1;
    }
    return rc;
}

int32_t run_state_remove(int dirfd, long vmid, char *msg, size_t msg_size)
{
    char name[64];
    run_state_name(vmid, name, sizeof name);
    if (unlinkat(dirfd, name, 0) != 0 && errno != ENOENT) {
        put_text(msg, msg_size, "%s", strerror(errno));
        return -1;
    }
    return 0;
}
