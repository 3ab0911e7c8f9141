// The JSON reader against the answers the Proxmox API gives and against
// broken or hostile text, and the quoting of texts the programs write.
#include "common/json.h"

#include <gtest/gtest.h>

#include <string>

namespace {

json_value parse_ok(const std::string &text) {
    json_value v;
    char msg[128] = "untouched";
    EXPECT_EQ(json_parse(text.data(), text.size(), &v, msg, sizeof msg), 0) << msg << " in " << text;
    return v;
}

std::string parse_error(const std::string &text) {
    json_value v;
    char msg[128] = "";
    EXPECT_EQ(json_parse(text.data(), text.size(), &v, msg, sizeof msg), -1) << text;
    return msg;
}

std::string quoted(const char *text) {
    std::string out = "x";
    json_append_string(&out, text);
    return out;
}

TEST(Json, ReadsAPoolListingIntoATree) {
    json_value v = parse_ok(
        " {\"comment\":\"web \\\"farm\\\"\",\"members\":[{\"vmid\":101,\"node\":\"pve1\",\"type\":\"qemu\","
        "\"name\":\"web01\",\"uptime\":12.5},{\"id\":\"storage/pve1/local\",\"type\":\"storage\"},"
        "{\"vmid\":\"202\",\"type\":\"lxc\",\"template\":false,\"tags\":null}]}\n");
    ASSERT_EQ(v.kind, json_value::object);
    EXPECT_STREQ(v.member_text("comment"), "web \"farm\"");
    EXPECT_EQ(v.member_text("members"), nullptr);  // not a string
    EXPECT_EQ(v.member("nothing"), nullptr);
    const json_value *members = v.member("members");
    ASSERT_NE(members, nullptr);
    ASSERT_EQ(members->kind, json_value::array);
    ASSERT_EQ(members->items.size(), 3u);
    const json_value &vm = members->items[0];
    EXPECT_STREQ(vm.member_text("node"), "pve1");
    long id = 0;
    EXPECT_TRUE(json_whole_number(vm.member("vmid"), &id));
    EXPECT_EQ(id, 101);
    EXPECT_FALSE(json_whole_number(vm.member("uptime"), &id));  // 12.5
    EXPECT_EQ(vm.member("uptime")->number_value, 12.5);
    EXPECT_TRUE(json_whole_number(members->items[2].member("vmid"), &id));  // "202" as a string
    EXPECT_EQ(id, 202);
    EXPECT_EQ(members->items[2].member("template")->kind, json_value::boolean);
    EXPECT_FALSE(members->items[2].member("template")->flag);
    EXPECT_EQ(members->items[2].member("tags")->kind, json_value::null_value);
    EXPECT_EQ(members->items[1].member("vmid"), nullptr);
    // The first member of a name counts; an array has no members.
    EXPECT_STREQ(parse_ok("{\"a\":\"1\",\"a\":\"2\"}").member_text("a"), "1");
    EXPECT_EQ(parse_ok("[1]").member("a"), nullptr);
}

TEST(Json, EscapesAndUnicode) {
    json_value v = parse_ok("[\"a\\/b\\n\\t\\\\\", \"\\u00e9\\ud83d\\ude00\", \"\xc3\xa9\"]");
    ASSERT_EQ(v.items.size(), 3u);
    EXPECT_EQ(v.items[0].text, "a/b\n\t\\");
    EXPECT_EQ(v.items[1].text, "\xc3\xa9\xf0\x9f\x98\x80");
    EXPECT_EQ(v.items[2].text, "\xc3\xa9");
    EXPECT_EQ(parse_error("[\"\\ud83d\"]"), "unpaired surrogate at byte 8");
    EXPECT_EQ(parse_error("[\"\\ude00\"]"), "unpaired surrogate at byte 8");
    EXPECT_EQ(parse_error("\"\\x\""), "invalid escape at byte 3");
    EXPECT_EQ(parse_error("\"\\u12G4\""), "invalid \\u escape at byte 6");
    EXPECT_EQ(parse_error(std::string("\"a\nb\"")), "control character in a string at byte 3");
}

TEST(Json, BrokenAndHostileTextIsRefusedWithWhereItBroke) {
    EXPECT_EQ(parse_error(""), "unexpected end at byte 0");
    EXPECT_EQ(parse_error("{\"members\":[1,2"), "expected ',' or ']' at byte 15");
    EXPECT_EQ(parse_error("{\"a\" 1}"), "expected ':' at byte 5");
    EXPECT_EQ(parse_error("{1:2}"), "expected a member name at byte 1");
    EXPECT_EQ(parse_error("{\"a\":1 \"b\":2}"), "expected ',' or '}' at byte 7");
    EXPECT_EQ(parse_error("{} {}"), "text after the value at byte 3");
    EXPECT_EQ(parse_error("[tru]"), "invalid literal at byte 1");
    EXPECT_EQ(parse_error("[01]"), "expected ',' or ']' at byte 2");
    EXPECT_EQ(parse_error("[1.]"), "invalid number at byte 3");
    EXPECT_EQ(parse_error("[-]"), "invalid number at byte 2");
    EXPECT_EQ(parse_error("\"open"), "unterminated string at byte 5");
    EXPECT_EQ(parse_error("'x'"), "unexpected character at byte 0");
    // Nesting is bounded, so a deep answer cannot exhaust the stack.
    std::string deep_ok(JSON_MAX_DEPTH, '['), deep_bad(JSON_MAX_DEPTH + 1, '[');
    deep_ok += std::string(JSON_MAX_DEPTH, ']');
    deep_bad += std::string(JSON_MAX_DEPTH + 1, ']');
    parse_ok(deep_ok);
    EXPECT_EQ(parse_error(deep_bad), "nested too deeply at byte 64");
    EXPECT_EQ(parse_error(std::string(100000, '[')), "nested too deeply at byte 64");
}

TEST(Json, WholeNumbers) {
    long n = -7;
    json_value negative = parse_ok("-12");
    EXPECT_TRUE(json_whole_number(&negative, &n));
    EXPECT_EQ(n, -12);
    for (const char *bad : {"1e2", "1.0", "\"\"", "\"-1\"", "\"1x\"", "true", "null", "99999999999999999999"}) {
        n = -7;
        json_value v = parse_ok(bad);
        EXPECT_FALSE(json_whole_number(&v, &n)) << bad;
        EXPECT_EQ(n, -7) << bad;
    }
    EXPECT_FALSE(json_whole_number(nullptr, &n));
}

TEST(Json, QuotingKeepsTheOutputValidWhateverTheText) {
    EXPECT_EQ(quoted("web01"), "x\"web01\"");
    EXPECT_EQ(quoted("a\"b\\c"), "x\"a\\\"b\\\\c\"");
    EXPECT_EQ(quoted("tab\there\nline\x7f"), "x\"tab\\u0009here\\u000aline\\u007f\"");
    EXPECT_EQ(quoted("caf\xc3\xa9 \xf0\x9f\x98\x80"), "x\"caf\xc3\xa9 \xf0\x9f\x98\x80\"");
    // Invalid UTF-8: a lone continuation byte, an overlong slash, a cut
    // sequence and an encoded surrogate each become U+FFFD per byte.
    EXPECT_EQ(quoted("\x80"), "x\"\\ufffd\"");
    EXPECT_EQ(quoted("\xc0\xaf"), "x\"\\ufffd\\ufffd\"");
    EXPECT_EQ(quoted("\xe2\x82"), "x\"\\ufffd\\ufffd\"");
    EXPECT_EQ(quoted("\xed\xa0\x80"), "x\"\\ufffd\\ufffd\\ufffd\"");
    EXPECT_EQ(quoted(nullptr), "x\"\"");
    // What it writes reads back as the same text.
    const char *text = "VM \"db\"\t\\ ok \xc3\xa9";
    std::string q;
    json_append_string(&q, text);
    EXPECT_EQ(parse_ok(q).text, text);
}

}  // namespace
