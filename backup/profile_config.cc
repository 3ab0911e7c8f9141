// The backup configuration file: reading /etc/vlt/vlt_proxmox.cfg into
// targets and profiles, turning a profile into argument lists, the api-key
// forms and the test that tells an agent flag on the command line.
#include "backup/profile_config.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <strings.h>
#include <sys/types.h>

const char *const config_default_path = "/etc/vlt/vlt_proxmox.cfg";
const char *const cluster_config_name = "vlt_proxmox.cfg";

const profile_key profile_keys[profile_key_count] = {
    {"vmid", "--vmid", KEY_OWN_VALUE},
    {"freeze-timeout", "--freeze-timeout", KEY_OWN_VALUE},
    {"snapshot-size", "--snapshot-size", KEY_OWN_VALUE},
    {"consistency", "--consistency", KEY_OWN_VALUE},
    {"no-vmconfig", "--no-vmconfig", KEY_OWN_SWITCH},
    {"out", "--out", KEY_AGENT_VALUE},
    {"out-encryption", "--out-encryption", KEY_AGENT_VALUE},
    {"out-key-file", "--out-key-file", KEY_AGENT_VALUE},
    {"type", "--type", KEY_AGENT_VALUE},
    {"search-dir", "--search-dir", KEY_AGENT_VALUE},
    {"block-size", "--block-size", KEY_AGENT_VALUE},
    {"threads", "--threads", KEY_AGENT_VALUE},
    {"compression", "--compression", KEY_AGENT_VALUE},
    {"level", "--level", KEY_AGENT_VALUE},
    {"max-level", "--max-level", KEY_AGENT_VALUE},
    {"verify", "--verify", KEY_AGENT_SWITCH},
    {"no-progress", "--no-progress", KEY_AGENT_SWITCH},
    {"no-fs-bitmap", "--no-fs-bitmap", KEY_AGENT_SWITCH},
    {"target", nullptr, KEY_TARGET},
    {"target-dir", "--target-dir", KEY_AGENT_VALUE},
    {"tls-ca", "--tls-ca", KEY_AGENT_VALUE},
    {"api-key", nullptr, KEY_API_KEY},
    {"target-encryption", "--target-encryption", KEY_AGENT_VALUE},
    {"target-key-file", "--target-key-file", KEY_AGENT_VALUE},
    {"net-retry", "--net-retry", KEY_AGENT_VALUE},
    {"resume", "--resume", KEY_AGENT_VALUE},
    {"resume-max-age", "--resume-max-age", KEY_AGENT_VALUE},
    {"resume-dir", "--resume-dir", KEY_AGENT_VALUE},
    {"no-diag", "--no-diag", KEY_AGENT_SWITCH},
    {"diag-dir", "--diag-dir", KEY_AGENT_VALUE},
    {"background", "--background", KEY_AGENT_SWITCH},
    {"background-min", "--background-min", KEY_AGENT_VALUE},
    {"background-max", "--background-max", KEY_AGENT_VALUE},
    {"retention", "--retention", KEY_AGENT_VALUE},
    {"retention-class", "--retention-class", KEY_AGENT_VALUE},
    {"pool-limit", "--pool-limit", KEY_OWN_VALUE},
    {"agent-timeout", "--agent-timeout", KEY_OWN_VALUE},
    {"pve-dir", "--pve-dir", KEY_OWN_VALUE},
    {"all", "--all", KEY_OWN_SWITCH},
    {"pool", "--pool", KEY_OWN_VALUE},
    {"exclude", "--exclude", KEY_OWN_VALUE},
    {"jobs", "--jobs", KEY_OWN_VALUE},
    {"mailto", "--mailto", KEY_OWN_VALUE},
    {"mail-on", "--mail-on", KEY_OWN_VALUE},
};

namespace {

// A line is read into this many bytes: at most 2046 characters and the newline.
constexpr size_t line_size = 2048;
constexpr int32_t content_error = -1;

struct file_closer {
    void operator()(FILE *f) const { (void)fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool is_comment_char(char c) { return c == '#' || c == ';'; }

const profile_key *find_key(const char *key)
{
    for (const profile_key &row : profile_keys)
        if (strcmp(row.key, key) == 0)
            return &row;
    return nullptr;
}

// Reads one line (with its newline, if any) into buf. Returns the number of
// bytes stored, 0 at the end of the file, -1 on a read error. A line that
// fills the buffer stops there; the rest stays in the stream.
ssize_t read_line(FILE *f, char *buf, size_t size)
{
    size_t n = 0;
    while (n + 1 < size) {
        int c = getc(f);
        if (c == EOF) {
            if (ferror(f))
                return -1;
            break;
        }
        buf[n++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    buf[n] = '\0';
    return static_cast<ssize_t>(n);
}

// Where the content of a line ends: comments are cut off, a quoted value is
// checked. Returns the length of the content, or content_error when a quote
// is not closed or something other than a comment follows it.
int32_t content_end(const char *line, size_t len)
{
    while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r'))
        len--;
    if (len == 0)
        return 0;

    // The value part starts at the first non-blank after the first "=".
    size_t value_start = len;
    const char *eq = static_cast<const char *>(memchr(line, '=', len));
    if (eq != nullptr) {
        size_t i = static_cast<size_t>(eq - line) + 1;
        while (i < len && is_blank(line[i]))
            i++;
        value_start = i;
    }

    for (size_t i = 0; i < value_start; i++)
        if (is_comment_char(line[i]) && (i == 0 || is_blank(line[i - 1])))
            return static_cast<int32_t>(i);
    if (value_start == len)
        return static_cast<int32_t>(len);

    char quote = line[value_start];
    if (quote == '"' || quote == '\'') {
        size_t i = value_start + 1;
        for (;; i++) {
            if (i >= len)
                return content_error;
            if (quote == '"' && line[i] == '\\') {
                if (i + 1 >= len)
                    return content_error;
                if (line[i + 1] == '"' || line[i + 1] == '\\')
                    i++;
                continue;
            }
            if (line[i] == quote)
                break;
        }
        i++;
        while (i < len && is_blank(line[i]))
            i++;
        if (i == len)
            return static_cast<int32_t>(len);
        if (is_comment_char(line[i]))
            return static_cast<int32_t>(i);
        return content_error;
    }

    // The character before the value may be a blank too: "key = # note"
    // has an empty value, "key=#x" the value #x.
    for (size_t i = value_start; i < len; i++)
        if (is_comment_char(line[i]) && is_blank(line[i - 1]))
            return static_cast<int32_t>(i);
    return static_cast<int32_t>(len);
}

// Trims white space from both ends in place; returns the new start.
char *trim(char *s)
{
    while (is_space(*s))
        s++;
    size_t n = strlen(s);
    while (n > 0 && is_space(s[n - 1]))
        s[--n] = '\0';
    return s;
}

// Removes the quotes of a quoted value in place, applying the backslash
// escapes inside double quotes. An unquoted value is left as it is.
void unquote(char *value)
{
    char quote = value[0];
    if (quote != '"' && quote != '\'')
        return;
    const char *in = value + 1;
    char *out = value;
    while (*in != '\0' && *in != quote) {
        if (quote == '"' && in[0] == '\\' && (in[1] == '"' || in[1] == '\\'))
            in++;
        *out++ = *in++;
    }
    *out = '\0';
}

struct parser {
    const char *path;
    backup_config *cfg;
    char *err;
    size_t err_size;
    int line_no = 0;
    bool in_section = false;
    bool in_targets = false;
    bool targets_seen = false;
    profile *current = nullptr;

    int32_t fail(const char *what)
    {
        snprintf(err, err_size, "%s:%d: %s", path, line_no, what);
        return -1;
    }

    int32_t fail_named(const char *fmt_tail, const char *name)
    {
        // fmt_tail is one of our fixed texts with a single %s.
        char what[line_size + 64];
        snprintf(what, sizeof what, fmt_tail, name);
        return fail(what);
    }

    int32_t section_header(char *text)
    {
        size_t n = strlen(text);
        if (n < 2 || text[n - 1] != ']')
            return fail("malformed section header");
        text[n - 1] = '\0';
        char *name = trim(text + 1);
        if (*name == '\0')
            return fail("empty section name");
        in_section = true;
        if (strcmp(name, "targets") == 0) {
            if (targets_seen)
                return fail("duplicate [targets] section");
            targets_seen = true;
            in_targets = true;
            current = nullptr;
            return 0;
        }
        for (uint64_t i = 0; i < cfg->profile_count; i++)
            if (strcmp(cfg->profiles[i].name, name) == 0)
                return fail_named("duplicate section [%s]", name);
        if (cfg->profile_count >= config_max_profiles)
            return fail("too many sections");
        if (strlen(name) >= profile_name_size)
            return fail("section name too long");
        current = &cfg->profiles[cfg->profile_count++];
        snprintf(current->name, sizeof current->name, "%s", name);
        in_targets = false;
        return 0;
    }

    int32_t setting(char *text)
    {
        char *eq = strchr(text, '=');
        if (eq == nullptr)
            return fail("expected key=value");
        *eq = '\0';
        char *key = trim(text);
        char *value = trim(eq + 1);
        unquote(value);
        if (*key == '\0')
            return fail("empty key");
        if (*value == '\0')
            return fail_named("empty value for '%s'", key);
        const profile_key *row = find_key(key);
        if (row == nullptr)
            return fail_named("unknown setting '%s'", key);
        for (uint64_t i = 0; i < current->setting_count; i++)
            if (strcmp(current->settings[i].key, key) == 0)
                return fail_named("duplicate setting '%s'", key);
        if (row->kind == KEY_OWN_SWITCH || row->kind == KEY_AGENT_SWITCH) {
            if (strcasecmp(value, "yes") == 0 || strcasecmp(value, "true") == 0 ||
                strcmp(value, "1") == 0)
                value = const_cast<char *>("yes");
            else if (strcasecmp(value, "no") == 0 || strcasecmp(value, "false") == 0 ||
                     strcmp(value, "0") == 0)
                value = const_cast<char *>("no");
            else
                return fail_named("'%s' must be yes or no", key);
        }
        if (current->setting_count >= profile_max_settings)
            return fail_named("too many settings in [%s]", current->name);
        if (strlen(value) >= setting_value_size)
            return fail_named("value too long for '%s'", key);
        profile_setting &s = current->settings[current->setting_count++];
        snprintf(s.key, sizeof s.key, "%s", key);
        snprintf(s.value, sizeof s.value, "%s", value);
        return 0;
    }

    int32_t target_line(const char *text)
    {
        if (cfg->target_count >= config_max_targets)
            return fail("too many targets");
        const char *c1 = strchr(text, ':');
        const char *c2 = c1 ? strchr(c1 + 1, ':') : nullptr;
        const char *c3 = c2 ? strchr(c2 + 1, ':') : nullptr;
        if (c3 == nullptr)
            return fail("expected name:host:port:tls-ca-path");
        size_t name_len = static_cast<size_t>(c1 - text);
        size_t host_len = static_cast<size_t>(c2 - c1 - 1);
        size_t port_len = static_cast<size_t>(c3 - c2 - 1);
        const char *ca = c3 + 1;
        size_t ca_len = strlen(ca);
        if (name_len == 0 || name_len >= target_name_size)
            return fail("invalid target name");
        if (host_len == 0 || host_len >= target_host_size)
            return fail("invalid target host");
        if (ca_len == 0)
            return fail("missing tls-ca-path");
        // The port is read the way strtoul reads it: leading white space and a
        // sign pass, a negative number wraps out of range.
        char port_text[16];
        if (port_len == 0 || port_len >= sizeof port_text)
            return fail("invalid target port");
        memcpy(port_text, c2 + 1, port_len);
        port_text[port_len] = '\0';
        char *end = nullptr;
        errno = 0;
        unsigned long port = strtoul(port_text, &end, 10);
        if (end == port_text || *end != '\0' || errno != 0 || port < 1 || port > 65535)
            return fail("invalid target port");
        if (ca_len >= target_tls_ca_size)
            return fail("tls-ca-path too long");
        char name[target_name_size];
        memcpy(name, text, name_len);
        name[name_len] = '\0';
        for (uint64_t i = 0; i < cfg->target_count; i++)
            if (strcmp(cfg->targets[i].name, name) == 0)
                return fail_named("duplicate target '%s'", name);
        target_alias &t = cfg->targets[cfg->target_count++];
        memcpy(t.name, name, name_len + 1);
        memcpy(t.host, c1 + 1, host_len);
        t.host[host_len] = '\0';
        t.port = static_cast<uint16_t>(port);
        memcpy(t.tls_ca_path, ca, ca_len + 1);
        return 0;
    }

    int32_t line(char *buf, size_t len)
    {
        int32_t end = content_end(buf, len);
        if (end == content_error)
            return fail("unterminated quote or text after the closing quote");
        buf[end] = '\0';
        char *text = trim(buf);
        if (*text == '\0')
            return 0;
        if (text[0] == '[')
            return section_header(text);
        if (!in_section)
            return fail("content before any [section]");
        return in_targets ? target_line(text) : setting(text);
    }

    // Every profile's target must name an alias, wherever [targets] stands.
    int32_t check_targets()
    {
        for (uint64_t p = 0; p < cfg->profile_count; p++) {
            const profile &prof = cfg->profiles[p];
            for (uint64_t s = 0; s < prof.setting_count; s++) {
                if (strcmp(prof.settings[s].key, "target") != 0)
                    continue;
                bool found = false;
                for (uint64_t t = 0; t < cfg->target_count && !found; t++)
                    found = strcmp(cfg->targets[t].name, prof.settings[s].value) == 0;
                if (!found) {
                    snprintf(err, err_size, "%s: [%s]: unknown target '%s' (not in [targets])",
                             path, prof.name, prof.settings[s].value);
                    return -1;
                }
            }
        }
        return 0;
    }
};

const target_alias *find_target(const backup_config *cfg, const char *name)
{
    for (uint64_t i = 0; i < cfg->target_count; i++)
        if (strcmp(cfg->targets[i].name, name) == 0)
            return &cfg->targets[i];
    return nullptr;
}

// An argument list that grows by doubling from 8 entries and frees what it
// holds unless released.
class arg_list {
  public:
    arg_list() = default;
    arg_list(const arg_list &) = delete;
    arg_list &operator=(const arg_list &) = delete;
    ~arg_list() { profile_args_free(items_, count_); }

    bool add(const char *text)
    {
        if (count_ == capacity_) {
            int32_t grown = capacity_ == 0 ? 8 : capacity_ * 2;
            void *p = realloc(items_, static_cast<size_t>(grown) * sizeof(char *));
            if (p == nullptr)
                return false;
            items_ = static_cast<char **>(p);
            capacity_ = grown;
        }
        char *copy = strdup(text);
        if (copy == nullptr)
            return false;
        items_[count_++] = copy;
        return true;
    }

    void release(char ***ret, int32_t *ret_count)
    {
        *ret = items_;
        *ret_count = count_;
        items_ = nullptr;
        count_ = capacity_ = 0;
    }

  private:
    char **items_ = nullptr;
    int32_t count_ = 0;
    int32_t capacity_ = 0;
};

}  // namespace

int32_t config_load(const char *path, int32_t required, backup_config *cfg, char *err,
                    size_t err_size)
{
    file_ptr f(fopen(path, "re"));
    if (!f) {
        memset(cfg, 0, sizeof *cfg);
        if (!required)
            return 0;
        snprintf(err, err_size, "cannot read the configuration file %s", path);
        return -1;
    }
    return config_read(f.get(), path, cfg, err, err_size);
}

int32_t config_read(FILE *f, const char *path, backup_config *cfg, char *err, size_t err_size)
{
    memset(cfg, 0, sizeof *cfg);
    parser p{path, cfg, err, err_size};
    char buf[line_size];
    for (;;) {
        ssize_t n = read_line(f, buf, sizeof buf);
        if (n < 0) {
            snprintf(err, err_size, "cannot read the configuration file %s", path);
            return -1;
        }
        if (n == 0)
            break;
        p.line_no++;
        if (buf[n - 1] != '\n') {
            // Either the last line of the file or one that did not fit.
            int c = getc(f);
            if (c != EOF) {
                (void)ungetc(c, f);
                return p.fail("line too long");
            }
            if (ferror(f)) {
                snprintf(err, err_size, "cannot read the configuration file %s", path);
                return -1;
            }
        }
        if (p.line(buf, static_cast<size_t>(n)) != 0)
            return -1;
    }
    return p.check_targets();
}

void profile_args_free(char **list, int32_t count)
{
    if (list == nullptr)
        return;
    for (int32_t i = 0; i < count; i++)
        free(list[i]);
    free(list);
}

int32_t profile_apply(const backup_config *cfg, const char *name, char ***ret_own,
                      int32_t *ret_own_count, char ***ret_agent, int32_t *ret_agent_count,
                      const char **ret_api_key, char *err, size_t err_size)
{
    *ret_own = nullptr;
    *ret_own_count = 0;
    *ret_agent = nullptr;
    *ret_agent_count = 0;
    *ret_api_key = nullptr;

    const profile *prof = nullptr;
    for (uint64_t i = 0; i < cfg->profile_count && prof == nullptr; i++)
        if (strcmp(cfg->profiles[i].name, name) == 0)
            prof = &cfg->profiles[i];
    if (prof == nullptr)
        return 0;

    arg_list own;
    arg_list agent;
    const char *api_key = nullptr;
    bool ok = true;
    for (uint64_t i = 0; i < prof->setting_count && ok; i++) {
        const profile_setting &s = prof->settings[i];
        const profile_key *row = find_key(s.key);
        if (row == nullptr)
            continue;  // config_load admits only known keys
        switch (row->kind) {
        case KEY_OWN_VALUE:
            ok = own.add(row->flag) && own.add(s.value);
            break;
        case KEY_AGENT_VALUE:
            ok = agent.add(row->flag) && agent.add(s.value);
            break;
        case KEY_OWN_SWITCH:
            if (strcmp(s.value, "yes") == 0)
                ok = own.add(row->flag);
            break;
        case KEY_AGENT_SWITCH:
            if (strcmp(s.value, "yes") == 0)
                ok = agent.add(row->flag);
            break;
        case KEY_TARGET: {
            const target_alias *t = find_target(cfg, s.value);
            if (t == nullptr) {
                snprintf(err, err_size, "[%s]: unknown target '%s' (not in [targets])",
                         prof->name, s.value);
                return -1;
            }
            char host_port[target_host_size + 8];
            snprintf(host_port, sizeof host_port, "%s:%u", t->host,
                     static_cast<unsigned>(t->port));
            ok = agent.add("--target") && agent.add(host_port) && agent.add("--tls-ca") &&
                 agent.add(t->tls_ca_path);
            break;
        }
        case KEY_API_KEY: {
            secret_spec spec;
            char why[128];
            if (parse_secret_spec(s.value, &spec, why, sizeof why) != 0) {
                snprintf(err, err_size, "[%s]: api-key: %s", prof->name, why);
                return -1;
            }
            if (spec.kind == SECRET_KMS) {
                snprintf(err, err_size,
                         "[%s]: api-key: kms: scheme is recognized but not yet implemented",
                         prof->name);
                return -1;
            }
            api_key = s.value;
            break;
        }
        }
    }
    if (!ok) {
        snprintf(err, err_size, "out of memory");
        return -1;
    }
    own.release(ret_own, ret_own_count);
    agent.release(ret_agent, ret_agent_count);
    *ret_api_key = api_key;
    return 1;
}

int32_t parse_secret_spec(const char *value, secret_spec *out, char *err, size_t err_size)
{
    if (strncmp(value, "file:", 5) == 0) {
        if (value[5] == '\0') {
            snprintf(err, err_size, "file: needs a path");
            return -1;
        }
        out->kind = SECRET_FILE;
        out->text = value + 5;
        return 0;
    }
    if (strncmp(value, "kms:", 4) == 0) {
        if (value[4] == '\0') {
            snprintf(err, err_size, "kms: needs a url");
            return -1;
        }
        out->kind = SECRET_KMS;
        out->text = value + 4;
        return 0;
    }
    out->kind = SECRET_LITERAL;
    out->text = value;
    return 0;
}

int32_t classify_agent_arg(const char *arg)
{
    if (strncmp(arg, "--", 2) != 0)
        return 0;
    const char *eq = strchr(arg, '=');
    size_t name_len = eq ? static_cast<size_t>(eq - arg) : strlen(arg);
    bool joined = eq != nullptr;
    if (name_len == 8 && strncmp(arg, "--target", 8) == 0)
        return joined ? 3 : 2;
    for (const profile_key &row : profile_keys) {
        if (row.flag == nullptr)
            continue;
        if (strlen(row.flag) != name_len || strncmp(row.flag, arg, name_len) != 0)
            continue;
        switch (row.kind) {
        case KEY_AGENT_SWITCH:
            return joined ? 0 : 1;
        case KEY_AGENT_VALUE:
            return joined ? 3 : 2;
        default:
            return 0;
        }
    }
    return 0;
}
