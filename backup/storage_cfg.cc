// Reading storage.cfg: sections of a header line and indented properties.
#include "backup/storage_cfg.h"

#include <fcntl.h>
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

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

struct piece {
    const char *p;
    size_t n;
};

piece trim(piece s)
{
    while (s.n > 0 && is_blank(s.p[0])) {
        s.p++;
        s.n--;
    }
    while (s.n > 0 && is_blank(s.p[s.n - 1]))
        s.n--;
    return s;
}

// The first run of non-blanks of s, and what follows it.
piece first_word(piece s, piece *rest)
{
    size_t i = 0;
    while (i < s.n && !is_blank(s.p[i]))
        i++;
    *rest = piece{s.p + i, s.n - i};
    return piece{s.p, i};
}

bool equals(piece s, const char *word) { return s.n == strlen(word) && memcmp(s.p, word, s.n) == 0; }

bool is_lower_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

bool is_alnum(char c) { return is_lower_alnum(c) || (c >= 'A' && c <= 'Z'); }

// A storage id as Proxmox allows it: a letter, then letters, digits, "-",
// "_" or ".", ending in a letter or digit.
bool valid_id(piece id)
{
    if (id.n == 0 || id.n >= STORAGE_CFG_NAME_SIZE || !is_alnum(id.p[0]) || (id.p[0] >= '0' && id.p[0] <= '9'))
        return false;
    for (size_t i = 1; i < id.n; i++)
        if (!is_alnum(id.p[i]) && id.p[i] != '-' && id.p[i] != '_' && id.p[i] != '.')
            return false;
    return is_alnum(id.p[id.n - 1]);
}

bool valid_type(piece type)
{
    if (type.n == 0 || type.n >= STORAGE_CFG_TYPE_SIZE)
        return false;
    for (size_t i = 0; i < type.n; i++)
        if (!is_lower_alnum(type.p[i]))
            return false;
    return true;
}

// Proxmox's spellings of a boolean; -1 for anything else. A property
// written without a value is on.
int32_t boolean_value(piece v)
{
    const char *on[] = {"1", "yes", "on", "true"};
    const char *off[] = {"0", "no", "off", "false"};
    if (v.n == 0)
        return 1;
    for (const char *w : on)
        if (equals(v, w))
            return 1;
    for (const char *w : off)
        if (equals(v, w))
            return 0;
    return -1;
}

struct cfg_parser {
    storage_cfg *cfg;
    char *msg;
    size_t msg_size;
    uint64_t line_no = 0;
    storage_def *current = nullptr;
    // Properties of the current section seen so far, so that a second one
    // of the same name is caught.
    bool seen_shared = false, seen_vgname = false, seen_thinpool = false;

    int32_t fail(const char *what)
    {
        put_text(msg, msg_size, "line %llu: %s", static_cast<unsigned long long>(line_no), what);
        return -1;
    }

    int32_t header(piece line)
    {
        const char *colon = static_cast<const char *>(memchr(line.p, ':', line.n));
        if (colon == nullptr)
            return fail("expected a section header '<type>: <storage>'");
        piece type{line.p, static_cast<size_t>(colon - line.p)};
        piece after = trim(piece{colon + 1, line.n - type.n - 1});
        piece extra;
        piece id = first_word(after, &extra);
        if (!valid_type(type))
            return fail("invalid storage type in the section header");
        if (!valid_id(id) || trim(extra).n != 0)
            return fail("invalid storage id in the section header");
        if (cfg->count >= STORAGE_CFG_MAX_STORAGES) {
            char what[64];
            put_text(what, sizeof what, "more than %d storages", static_cast<int>(STORAGE_CFG_MAX_STORAGES));
            return fail(what);
        }
        char id_text[STORAGE_CFG_NAME_SIZE];
        copy_cut(id_text, sizeof id_text, id.p, id.n);
        if (find_storage_def(cfg, id_text) != nullptr) {
            char what[STORAGE_CFG_NAME_SIZE + 48];
            put_text(what, sizeof what, "storage '%s' is defined twice", id_text);
            return fail(what);
        }
        current = &cfg->rows[cfg->count++];
        memset(current, 0, sizeof *current);
        copy_cut(current->id, sizeof current->id, id.p, id.n);
        copy_cut(current->type, sizeof current->type, type.p, type.n);
        seen_shared = seen_vgname = seen_thinpool = false;
        return 0;
    }

    int32_t name_value(piece value, char *field, size_t field_size, bool *seen, const char *key)
    {
        char what[96];
        if (*seen) {
            put_text(what, sizeof what, "'%s' given twice in one section", key);
            return fail(what);
        }
        *seen = true;
        if (value.n == 0 || value.n >= field_size) {
            put_text(what, sizeof what, "invalid value for '%s'", key);
            return fail(what);
        }
        copy_cut(field, field_size, value.p, value.n);
        return 0;
    }

    int32_t property(piece line)
    {
        if (current == nullptr)
            return fail("a property outside a section");
        piece rest;
        piece key = first_word(trim(line), &rest);
        piece value = trim(rest);
        if (equals(key, "shared")) {
            if (seen_shared)
                return fail("'shared' given twice in one section");
            seen_shared = true;
            int32_t on = boolean_value(value);
            if (on < 0)
                return fail("'shared' must be 0 or 1");
            current->shared = on;
            return 0;
        }
        if (equals(key, "vgname"))
            return name_value(value, current->vgname, sizeof current->vgname, &seen_vgname, "vgname");
        if (equals(key, "thinpool"))
            return name_value(value, current->thinpool, sizeof current->thinpool, &seen_thinpool, "thinpool");
        return 0;  // every other property is of no concern here
    }

    int32_t line(piece raw)
    {
        line_no++;
        piece content = trim(raw);
        if (content.n == 0) {
            current = nullptr;  // an empty line ends a section
            return 0;
        }
        if (content.p[0] == '#')
            return 0;
        if (is_blank(raw.p[0]))
            return property(raw);
        if (current != nullptr)
            return fail("expected an indented property or an empty line");
        return header(content);
    }
};

}  // namespace

const storage_def *find_storage_def(const storage_cfg *cfg, const char *id)
{
    for (uint64_t i = 0; i < cfg->count && i < STORAGE_CFG_MAX_STORAGES; i++)
        if (strcmp(cfg->rows[i].id, id) == 0)
            return &cfg->rows[i];
    return nullptr;
}

int32_t parse_storage_cfg(const char *text, size_t len, storage_cfg *cfg, char *msg, size_t msg_size)
{
    memset(cfg, 0, sizeof *cfg);
    put_text(msg, msg_size, "%s", "");
    cfg_parser parser{cfg, msg, msg_size};
    size_t pos = 0;
    while (pos < len) {
        const char *start = text + pos;
        const char *nl = static_cast<const char *>(memchr(start, '\n', len - pos));
        size_t n = nl != nullptr ? static_cast<size_t>(nl - start) : len - pos;
        if (memchr(start, '\0', n) != nullptr) {
            parser.line_no++;
            return parser.fail("a NUL byte");
        }
        if (parser.line(piece{start, n}) != 0)
            return -1;
        pos += n + 1;
    }
    return 0;
}

int32_t load_storage_cfg(const char *path, storage_cfg *cfg, char *msg, size_t msg_size)
{
    memset(cfg, 0, sizeof *cfg);
    put_text(msg, msg_size, "%s", "");
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        int err = errno;
        put_text(msg, msg_size, "cannot read %s: %s", path, strerror(err));
        return err == ENOENT ? 1 : -1;
    }
    std::unique_ptr<char[]> buf(new (std::nothrow) char[STORAGE_CFG_MAX_BYTES + 1]);
    if (!buf) {
        put_text(msg, msg_size, "cannot read %s: out of memory", path);
        return -1;
    }
    size_t have = 0;
    for (;;) {
        ssize_t n = read(fd.get(), buf.get() + have, STORAGE_CFG_MAX_BYTES + 1 - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            put_text(msg, msg_size, "cannot read %s: %s", path, strerror(errno));
            return -1;
        }
        if (n == 0)
            break;
        have += static_cast<size_t>(n);
        if (have > STORAGE_CFG_MAX_BYTES) {
            put_text(msg, msg_size, "cannot read %s: larger than %d bytes", path,
                     static_cast<int>(STORAGE_CFG_MAX_BYTES));
            return -1;
        }
    }
    char why[256];
    if (parse_storage_cfg(buf.get(), have, cfg, why, sizeof why) != 0) {
        put_text(msg, msg_size, "cannot parse %s: %s", path, why);
        return -1;
    }
    return 0;
}
