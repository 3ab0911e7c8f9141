// A strict JSON reader (RFC 8259) into a small tree, and JSON string quoting.
#include "common/json.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/text.h"

json_value::json_value() = default;
json_value::json_value(const json_value &) = default;
json_value::json_value(json_value &&) noexcept = default;
json_value &json_value::operator=(const json_value &) = default;
json_value &json_value::operator=(json_value &&) noexcept = default;
json_value::~json_value() = default;

namespace {

struct reader {
    const char *text;
    size_t len;
    size_t pos = 0;
    const char *error = nullptr;  // set once; the first failure wins

    bool at_end() const { return pos >= len; }
    char peek() const { return pos < len ? text[pos] : '\0'; }
    bool fail(const char *what)
    {
        if (error == nullptr)
            error = what;
        return false;
    }
    void skip_space()
    {
        while (pos < len && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n' || text[pos] == '\r'))
            pos++;
    }
    bool literal(const char *word)
    {
        size_t n = strlen(word);
        if (len - pos < n || memcmp(text + pos, word, n) != 0)
            return fail("invalid literal");
        pos += n;
        return true;
    }
};

void append_utf8(std::string *out, uint32_t cp)
{
    if (cp < 0x80) {
        *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out += static_cast<char>(0xC0 | (cp >> 6));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += static_cast<char>(0xE0 | (cp >> 12));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (cp >> 18));
        *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool read_hex4(reader *r, uint32_t *ret)
{
    if (r->len - r->pos < 4)
        return r->fail("unterminated \\u escape");
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) {
        char c = r->text[r->pos++];
        v <<= 4;
        if (c >= '0' && c <= '9')
            v |= static_cast<uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            v |= static_cast<uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            v |= static_cast<uint32_t>(c - 'A' + 10);
        else
            return r->fail("invalid \\u escape");
    }
    *ret = v;
    return true;
}

// After the opening quote.
bool read_string(reader *r, std::string *out)
{
    for (;;) {
        if (r->at_end())
            return r->fail("unterminated string");
        unsigned char c = static_cast<unsigned char>(r->text[r->pos++]);
        if (c == '"')
            return true;
        if (c < 0x20)
            return r->fail("control character in a string");
        if (c != '\\') {
            *out += static_cast<char>(c);
            continue;
        }
        if (r->at_end())
            return r->fail("unterminated string");
        char e = r->text[r->pos++];
        switch (e) {
        case '"': *out += '"'; break;
        case '\\': *out += '\\'; break;
        case '/': *out += '/'; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'u': {
            uint32_t cp;
            if (!read_hex4(r, &cp))
                return false;
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                // A high surrogate takes the low one of its pair with it.
                uint32_t low;
                if (r->len - r->pos < 2 || r->text[r->pos] != '\\' || r->text[r->pos + 1] != 'u')
                    return r->fail("unpaired surrogate");
                r->pos += 2;
                if (!read_hex4(r, &low))
                    return false;
                if (low < 0xDC00 || low > 0xDFFF)
                    return r->fail("unpaired surrogate");
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                return r->fail("unpaired surrogate");
            }
            append_utf8(out, cp);
            break;
        }
        default:
            return r->fail("invalid escape");
        }
    }
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool read_number(reader *r, json_value *out)
{
    size_t start = r->pos;
    if (r->peek() == '-')
        r->pos++;
    if (r->peek() == '0') {
        r->pos++;
    } else if (is_digit(r->peek())) {
        while (is_digit(r->peek()))
            r->pos++;
    } else {
        return r->fail("invalid number");
    }
    if (r->peek() == '.') {
        r->pos++;
        if (!is_digit(r->peek()))
            return r->fail("invalid number");
        while (is_digit(r->peek()))
            r->pos++;
    }
    if (r->peek() == 'e' || r->peek() == 'E') {
        r->pos++;
        if (r->peek() == '+' || r->peek() == '-')
            r->pos++;
        if (!is_digit(r->peek()))
            return r->fail("invalid number");
        while (is_digit(r->peek()))
            r->pos++;
    }
    out->kind = json_value::number;
    out->text.assign(r->text + start, r->pos - start);
    out->number_value = strtod(out->text.c_str(), nullptr);
    return true;
}

bool read_value(reader *r, json_value *out, int depth)
{
    r->skip_space();
    if (r->at_end())
        return r->fail("unexpected end");
    char c = r->peek();
    switch (c) {
    case 'n':
        out->kind = json_value::null_value;
        return r->literal("null");
    case 't':
        out->kind = json_value::boolean;
        out->flag = true;
        return r->literal("true");
    case 'f':
        out->kind = json_value::boolean;
        out->flag = false;
        return r->literal("false");
    case '"':
        r->pos++;
        out->kind = json_value::string;
        return read_string(r, &out->text);
    case '[':
    case '{':
        break;
    default:
        if (c == '-' || is_digit(c))
            return read_number(r, out);
        return r->fail("unexpected character");
    }
    if (depth >= JSON_MAX_DEPTH)
        return r->fail("nested too deeply");
    r->pos++;
    bool is_object = c == '{';
    out->kind = is_object ? json_value::object : json_value::array;
    char close = is_object ? '}' : ']';
    r->skip_space();
    if (r->peek() == close) {
        r->pos++;
        return true;
    }
    for (;;) {
        if (is_object) {
            r->skip_space();
            if (r->peek() != '"')
                return r->fail("expected a member name");
            r->pos++;
            out->members.emplace_back();
            if (!read_string(r, &out->members.back().first))
                return false;
            r->skip_space();
            if (r->peek() != ':')
                return r->fail("expected ':'");
            r->pos++;
            if (!read_value(r, &out->members.back().second, depth + 1))
                return false;
        } else {
            out->items.emplace_back();
            if (!read_value(r, &out->items.back(), depth + 1))
                return false;
        }
        r->skip_space();
        if (r->peek() == ',') {
            r->pos++;
            continue;
        }
        if (r->peek() == close) {
            r->pos++;
            return true;
        }
        return r->fail(is_object ? "expected ',' or '}'" : "expected ',' or ']'");
    }
}

}  // namespace

const json_value *json_value::member(const char *name) const
{
    if (kind != object)
        return nullptr;
    for (const auto &m : members)
        if (m.first == name)
            return &m.second;
    return nullptr;
}

const char *json_value::member_text(const char *name) const
{
    const json_value *v = member(name);
    return v != nullptr && v->kind == string ? v->text.c_str() : nullptr;
}

int32_t json_parse(const char *text, size_t len, json_value *out, char *msg, size_t msg_size)
{
    if (msg_size > 0)
        msg[0] = '\0';
    *out = json_value{};
    reader r{text, len};
    if (read_value(&r, out, 0)) {
        r.skip_space();
        if (r.at_end())
            return 0;
        r.fail("text after the value");
    }
    put_text(msg, msg_size, "%s at byte %zu", r.error, r.pos);
    return -1;
}

bool json_whole_number(const json_value *value, long *ret)
{
    if (value == nullptr)
        return false;
    const std::string &t = value->text;
    if (value->kind == json_value::number) {
        // Integral literals only: "101", not "101.5" or "1e2".
        size_t i = t[0] == '-' ? 1 : 0;
        if (i >= t.size())
            return false;
        for (; i < t.size(); i++)
            if (!is_digit(t[i]))
                return false;
    } else if (value->kind == json_value::string) {
        if (t.empty() || t.size() > 18)
            return false;
        for (char c : t)
            if (!is_digit(c))
                return false;
    } else {
        return false;
    }
    errno = 0;
    long v = strtol(t.c_str(), nullptr, 10);
    if (errno != 0)
        return false;
    *ret = v;
    return true;
}

void json_append_string(std::string *out, const char *text)
{
    *out += '"';
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text != nullptr ? text : "");
    while (*p != '\0') {
        if (*p == '"' || *p == '\\') {
            *out += '\\';
            *out += static_cast<char>(*p++);
        } else if (*p < 0x20 || *p == 0x7F) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", *p++);
            *out += esc;
        } else if (size_t n = utf8_sequence(p)) {
            out->append(reinterpret_cast<const char *>(p), n);
            p += n;
        } else {
            *out += "\\ufffd";
            p++;
        }
    }
    *out += '"';
}

size_t utf8_sequence(const unsigned char *p)
{
    size_t n;
    uint32_t cp;
    if (p[0] < 0x80)
        return 1;
    if ((p[0] & 0xE0) == 0xC0) {
        n = 2;
        cp = p[0] & 0x1F;
    } else if ((p[0] & 0xF0) == 0xE0) {
        n = 3;
        cp = p[0] & 0x0F;
    } else if ((p[0] & 0xF8) == 0xF0) {
        n = 4;
        cp = p[0] & 0x07;
    } else {
        return 0;
    }
    for (size_t i = 1; i < n; i++) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = cp << 6 | (p[i] & 0x3F);
    }
    static const uint32_t min_for[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min_for[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}
