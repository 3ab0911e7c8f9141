// JSON: a small reader for the answers of the Proxmox API (pvesh ...
// --output-format json), and the quoting of texts the programs write as
// JSON (vlt_proxmox's summary, vlt_progress --json).
//
// The reader builds a tree: the answers it reads are small (a pool's
// member list), and a tree lets the caller pick members by name in any
// order. Nesting is limited, so a hostile answer cannot exhaust the stack.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

enum { JSON_MAX_DEPTH = 64 };

struct json_value {
    enum kind_t : uint8_t { null_value, boolean, number, string, array, object };
    kind_t kind = null_value;
    bool flag = false;                  // boolean
    double number_value = 0;            // number
    std::string text;                   // string: its text, escapes resolved (UTF-8);
                                        // number: the literal as written
    std::vector<json_value> items;      // array, in order
    std::vector<std::pair<std::string, json_value>> members;  // object, in order

    // Defined where json_value is complete: a pair holding it cannot be
    // destroyed or copied before (clang's standard library checks).
    json_value();
    json_value(const json_value &);
    json_value(json_value &&) noexcept;
    json_value &operator=(const json_value &);
    json_value &operator=(json_value &&) noexcept;
    ~json_value();

    // The member called name of an object (the first of that name);
    // nullptr when this is not an object or has no such member.
    const json_value *member(const char *name) const;
    // The member's text when it is a string, else nullptr.
    const char *member_text(const char *name) const;
};

// Parses the one JSON value that text[0..len) holds, white space around it
// allowed. 0 with the tree in *out; -1 with "<what> at byte <n>" in msg
// (*out is then unspecified).
[[nodiscard]] int32_t json_parse(const char *text, size_t len, json_value *out, char *msg, size_t msg_size);

// A whole number from a number (integral, within long) or from a string of
// decimal digits (the API spells some numbers as strings). False otherwise.
bool json_whole_number(const json_value *value, long *ret);

// Length of the valid UTF-8 sequence at p (NUL-terminated), or 0 when it
// is not one: overlong forms, surrogates and code points past U+10FFFF
// are not.
size_t utf8_sequence(const unsigned char *p);

// Appends text as a JSON string: quotes, backslash and double quote
// escaped, control characters and DEL as \u00XX, valid UTF-8 copied, and
// each byte of an invalid sequence as \ufffd (the text may come from
// anywhere; the output is always valid JSON).
void json_append_string(std::string *out, const char *text);
