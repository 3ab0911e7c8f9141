// Option values and flags, the scanner's warnings and the --version and
// --selftest answers.
#include "common/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture.h"
#include "common/digest.h"
#include "common/log.h"

namespace {

const option_spec kBackupTable[] = {
    {"--config-path", nullptr, 1}, {"--name", nullptr, 1},          {"--vmid", nullptr, 1},
    {"--snapshot-size", nullptr, 1}, {"--freeze-timeout", nullptr, 1},
    {"--no-vmconfig", nullptr, 0}, {"--disk", nullptr, 2},          {nullptr, nullptr, 0},
};

struct Argv {
    std::vector<const char *> v;
    Argv(std::initializer_list<const char *> args) : v(args) {}
    int32_t argc() const { return static_cast<int32_t>(v.size()); }
    const char *const *argv() const { return v.data(); }
};

std::vector<std::string> g_notes;
void record_note(const char *text) { g_notes.push_back(text); }

// Runs scan_options and returns the warnings as they appear on standard
// error, without the time stamp and program prefix.
struct Scan {
    int32_t count = 0;
    std::vector<std::string> lines;
    std::vector<std::string> notes;
};

Scan scan(const Argv &a, int32_t max_positional = 0) {
    g_notes.clear();
    log_set_note_sink(record_note);
    log_setup("vlt_proxmox", LOG_LEVEL_INFO);
    Scan s;
    std::string out;
    {
        fd_capture err(2);
        s.count = scan_options(a.argc(), a.argv(), kBackupTable, max_positional);
        out = err.text();
    }
    std::string plain = strip_log_prefixes(out, "vlt_proxmox");
    size_t start = 0;
    while (start < plain.size()) {
        size_t nl = plain.find('\n', start);
        std::string line = plain.substr(start, nl - start);
        const std::string level = "WARN  ";
        s.lines.push_back(line.compare(0, level.size(), level) == 0 ? line.substr(level.size())
                                                                     : "BAD LEVEL: " + line);
        start = nl == std::string::npos ? plain.size() : nl + 1;
    }
    s.notes = g_notes;
    log_set_note_sink(nullptr);
    return s;
}

TEST(OptionValue, FormsOfTheValue) {
    EXPECT_STREQ("5", option_value(3, Argv{"p", "--vmid", "5"}.argv(), "--vmid", nullptr, "d"));
    Argv joined{"p", "--vmid=5"};
    EXPECT_STREQ("5", option_value(joined.argc(), joined.argv(), "--vmid", nullptr, "d"));
    Argv empty{"p", "--vmid="};
    EXPECT_STREQ("", option_value(empty.argc(), empty.argv(), "--vmid", nullptr, "d"));
    Argv longer{"p", "--vmidx", "5"};
    EXPECT_STREQ("d", option_value(longer.argc(), longer.argv(), "--vmid", nullptr, "d"));
    Argv twice{"p", "--vmid", "5", "--vmid=6"};
    EXPECT_STREQ("5", option_value(twice.argc(), twice.argv(), "--vmid", nullptr, "d"));
    Argv next_is_option{"p", "--vmid", "--name"};
    EXPECT_STREQ("--name",
                 option_value(next_is_option.argc(), next_is_option.argv(), "--vmid", nullptr, "d"));
    Argv last{"p", "--name", "x", "--vmid"};
    EXPECT_STREQ("d", option_value(last.argc(), last.argv(), "--vmid", nullptr, "d"));
    EXPECT_EQ(nullptr, option_value(last.argc(), last.argv(), "--vmid", nullptr, nullptr));
}

TEST(OptionValue, AliasCountAndAbsentNames) {
    Argv a{"p", "-j", "vm7", "--job", "vm8"};
    EXPECT_STREQ("vm7", option_value(a.argc(), a.argv(), "--job", "-j", "d"));
    EXPECT_STREQ("vm8", option_value(a.argc(), a.argv(), "--job", nullptr, "d"));
    EXPECT_STREQ("vm7", option_value(a.argc(), a.argv(), nullptr, "-j", "d"));
    EXPECT_STREQ("d", option_value(a.argc(), a.argv(), nullptr, nullptr, "d"));
    Argv alias_eq{"p", "-j=vm9"};  // the alias is matched exactly, never with "="
    EXPECT_STREQ("d", option_value(alias_eq.argc(), alias_eq.argv(), "--job", "-j", "d"));
    // Element 0 is never examined, and a count below 2 gives the default.
    Argv zero{"--vmid", "5"};
    EXPECT_STREQ("d", option_value(1, zero.argv(), "--vmid", nullptr, "d"));
    EXPECT_STREQ("d", option_value(0, zero.argv(), "--vmid", nullptr, "d"));
}

TEST(OptionPresent, ExactElementsOnly) {
    Argv a{"--dry-run", "--no-vmconfig=1", "-h", "--dry-runx"};
    EXPECT_EQ(0, option_present(a.argc(), a.argv(), "--no-vmconfig", nullptr));
    EXPECT_EQ(0, option_present(a.argc(), a.argv(), "--dry-run", nullptr));  // element 0 only
    EXPECT_EQ(1, option_present(a.argc(), a.argv(), "--help", "-h"));
    EXPECT_EQ(1, option_present(a.argc(), a.argv(), "--dry-runx", nullptr));
    EXPECT_EQ(0, option_present(1, a.argv(), "--dry-run", nullptr));
    EXPECT_EQ(0, option_present(a.argc(), a.argv(), nullptr, nullptr));
}

TEST(MatchOption, InlineValuesAndArity) {
    const char *inl = "unset";
    EXPECT_EQ(&kBackupTable[2], match_option(kBackupTable, "--vmid", &inl));
    EXPECT_EQ(nullptr, inl);
    EXPECT_EQ(&kBackupTable[2], match_option(kBackupTable, "--vmid=9", &inl));
    EXPECT_STREQ("9", inl);
    EXPECT_EQ(&kBackupTable[1], match_option(kBackupTable, "--name=", &inl));
    EXPECT_STREQ("", inl);
    inl = "unset";
    EXPECT_EQ(nullptr, match_option(kBackupTable, "--vmidx", &inl));
    EXPECT_EQ(nullptr, inl);
    EXPECT_EQ(nullptr, match_option(kBackupTable, "--disk=scsi0", &inl));
    EXPECT_EQ(nullptr, match_option(kBackupTable, "--no-vmconfig=1", &inl));
    EXPECT_EQ(&kBackupTable[6], match_option(kBackupTable, "--disk", &inl));
    EXPECT_EQ(nullptr, match_option(nullptr, "--vmid", &inl));

    // A row that refuses name=value lets the search go on to a later row.
    const option_spec shadow[] = {{"--x", nullptr, 0}, {"--x", nullptr, 1}, {nullptr, nullptr, 0}};
    EXPECT_EQ(&shadow[1], match_option(shadow, "--x=1", &inl));
    EXPECT_STREQ("1", inl);
    EXPECT_EQ(&shadow[0], match_option(shadow, "--x", &inl));

    const option_spec with_alias[] = {{"--help", "-h", 0}, {nullptr, nullptr, 0}};
    EXPECT_EQ(&with_alias[0], match_option(with_alias, "-h", &inl));
    EXPECT_EQ(nullptr, inl);
    EXPECT_EQ(nullptr, match_option(with_alias, "-h=1", &inl));
}

// Every policy reads its command line through next_option_word: each form
// of argument, what it is taken as, and how far the reading moves on.
TEST(OptionWord, EachFormOfArgument) {
    const option_spec table[] = {{"--out", nullptr, 1},   {"--verify", "-v", 0},
                                 {"--disk", nullptr, 2},  {"--target", nullptr, 1, "refused here"},
                                 {nullptr, nullptr, 0}};
    struct row {
        std::vector<const char *> args;  // after element 0
        option_word_kind kind;
        const char *row_name;  // the row's name, or nullptr
        const char *value;  // nullptr for none
        uint32_t name_len;
        int32_t next;       // index after the reading
    };
    const row rows[] = {
        {{"--out", "/b"}, OPTION_WORD_KNOWN, "--out", "/b", 5, 3},
        {{"--out=/b"}, OPTION_WORD_KNOWN, "--out", "/b", 5, 2},
        {{"--out", "--"}, OPTION_WORD_KNOWN, "--out", "--", 5, 3},
        {{"--out"}, OPTION_WORD_NO_VALUE, "--out", nullptr, 5, 2},
        {{"-v", "x"}, OPTION_WORD_KNOWN, "--verify", nullptr, 2, 2},
        {{"--verify=yes"}, OPTION_WORD_JOINED, "--verify", "yes", 8, 2},
        {{"--disk=scsi0"}, OPTION_WORD_JOINED, "--disk", "scsi0", 6, 2},
        {{"--disk", "scsi0"}, OPTION_WORD_KNOWN, "--disk", "scsi0", 6, 3},
        {{"--target"}, OPTION_WORD_NO_VALUE, "--target", nullptr, 8, 2},
        {{"--outx=1"}, OPTION_WORD_UNKNOWN, nullptr, nullptr, 6, 2},
        {{"-v=1"}, OPTION_WORD_UNKNOWN, nullptr, nullptr, 4, 2},
        {{"--"}, OPTION_WORD_OPERAND, nullptr, nullptr, 2, 2},
        {{"-"}, OPTION_WORD_OPERAND, nullptr, nullptr, 1, 2},
        {{"word"}, OPTION_WORD_OPERAND, nullptr, nullptr, 4, 2},
    };
    for (const row &r : rows) {
        std::vector<const char *> argv = {"tool"};
        argv.insert(argv.end(), r.args.begin(), r.args.end());
        SCOPED_TRACE(r.args[0]);
        int32_t index = 1;
        option_word w;
        next_option_word(static_cast<int32_t>(argv.size()), argv.data(), table, &index, &w);
        EXPECT_EQ(w.kind, r.kind);
        EXPECT_STREQ(w.row != nullptr ? w.row->name : nullptr, r.row_name);
        EXPECT_STREQ(w.value, r.value);
        EXPECT_EQ(w.arg, argv[1]);
        EXPECT_EQ(w.name_len, r.name_len);
        EXPECT_EQ(index, r.next);
    }
}

TEST(OwnOptionsEnd, FirstBareDoubleDashAfterTheProgramName) {
    Argv a{"prog", "--vmid", "1", "--", "--out", "--"};
    EXPECT_EQ(3, own_options_end(a.argc(), a.argv()));
    Argv none{"prog", "--x=--", "---"};
    EXPECT_EQ(3, own_options_end(none.argc(), none.argv()));
    Argv first{"--", "--"};
    EXPECT_EQ(1, own_options_end(first.argc(), first.argv()));
}

TEST(ScanOptions, KnownOptionsPassSilently) {
    Scan s = scan({"vlt_proxmox", "--vmid", "101", "--name=db", "--disk", "scsi0", "-h",
                   "--help", "--version", "--selftest", "--no-vmconfig", "--config-path",
                   "-weird-value"});
    EXPECT_EQ(0, s.count);
    EXPECT_TRUE(s.lines.empty());
    EXPECT_TRUE(s.notes.empty());
}

TEST(ScanOptions, EqualsFormOfFlagsAndRepeatedOptions) {
    Scan s = scan({"vlt_proxmox", "--no-vmconfig=1", "--disk=scsi0", "--disk", "scsi1"});
    EXPECT_EQ(2, s.count);
    std::vector<std::string> want = {"unknown option '--no-vmconfig=...' ignored",
                                     "unknown option '--disk=...' ignored"};
    EXPECT_EQ(want, s.lines);
    EXPECT_EQ(want, s.notes);
}

TEST(ScanOptions, UnknownOptionWithAndWithoutValue) {
    Scan s = scan({"vlt_proxmox", "--frobnicate", "3", "--frobnicate", "--vmid", "5", "--zap"});
    EXPECT_EQ(3, s.count);
    std::vector<std::string> want = {
        "unknown option '--frobnicate' ignored (with the value after it)",
        "unknown option '--frobnicate' ignored", "unknown option '--zap' ignored"};
    EXPECT_EQ(want, s.lines);
    EXPECT_EQ(want, s.notes);
}

TEST(ScanOptions, PositionalArguments) {
    Scan s = scan({"vlt_proxmox", "-", "word", "", "--vmid", "5"});
    EXPECT_EQ(3, s.count);
    std::vector<std::string> want = {"unexpected argument '-' ignored",
                                     "unexpected argument 'word' ignored",
                                     "unexpected argument '' ignored"};
    EXPECT_EQ(want, s.lines);

    Scan allowed = scan({"vlt_proxmox", "one", "two", "three"}, 2);
    EXPECT_EQ(1, allowed.count);
    EXPECT_EQ(std::vector<std::string>{"unexpected argument 'three' ignored"}, allowed.lines);
}

TEST(ScanOptions, EndsAtDoubleDashAndAtAMissingValue) {
    Scan dd = scan({"vlt_proxmox", "--vmid", "5", "--", "--bogus", "word"});
    EXPECT_EQ(0, dd.count);
    EXPECT_TRUE(dd.lines.empty());

    Scan missing = scan({"vlt_proxmox", "--bogus", "--vmid"});
    EXPECT_EQ(1, missing.count);
    EXPECT_EQ(std::vector<std::string>{"unknown option '--bogus' ignored"}, missing.lines);

    // The value after an option is taken whatever it looks like, even "--".
    Scan dash_value = scan({"vlt_proxmox", "--name", "--", "--bogus"});
    EXPECT_EQ(1, dash_value.count);
    EXPECT_EQ(std::vector<std::string>{"unknown option '--bogus' ignored"}, dash_value.lines);

    EXPECT_EQ(0, scan({"vlt_proxmox"}).count);
}

TEST(ScanOptions, PercentSignsInArgumentsAreShownLiterally) {
    Scan s = scan({"vlt_proxmox", "--%s%n=1", "%d"});
    EXPECT_EQ(2, s.count);
    std::vector<std::string> want = {"unknown option '--%s%n=...' ignored",
                                     "unexpected argument '%d' ignored"};
    EXPECT_EQ(want, s.lines);
    EXPECT_EQ(want, s.notes);
}

struct Answer {
    int32_t rc;
    std::string out;
    std::string err;
};

Answer answer(const Argv &a, const char *program) {
    fd_capture out(1);
    fd_capture err(2);
    Answer r;
    r.rc = handle_version_selftest(a.argc(), a.argv(), program);
    r.err = err.text();
    r.out = out.text();
    return r;
}

TEST(VersionSelftest, Answers) {
    EXPECT_STREQ("1.0.2-alpha028", vlt_version);

    Answer none = answer({"vlt_proxmox", "--vmid", "101"}, "vlt_proxmox");
    EXPECT_EQ(-1, none.rc);
    EXPECT_EQ("", none.out);
    EXPECT_EQ("", none.err);

    Answer v = answer({"vlt_proxmox", "--vmid", "101", "--", "--version"}, "vlt_proxmox");
    EXPECT_EQ(0, v.rc);
    EXPECT_EQ("vlt_proxmox 1.0.2-alpha028\n", v.out);
    EXPECT_EQ("", v.err);

    Answer st = answer({"x", "--selftest"}, "vlt_proxmox_restore");
    EXPECT_EQ(0, st.rc);
    EXPECT_EQ("vlt_proxmox_restore 1.0.2-alpha028: selftest ok\n", st.out);
    EXPECT_EQ("", st.err);

    // --version wins, and the self-test does not even run (it would fail).
    selftest_corrupt_expected_sha256(1);
    Answer both = answer({"x", "--selftest", "--version"}, "vlt_proxmox");
    EXPECT_EQ(0, both.rc);
    EXPECT_EQ("vlt_proxmox 1.0.2-alpha028\n", both.out);
    EXPECT_EQ("", both.err);

    Answer failed = answer({"x", "--selftest"}, "vlt_proxmox");
    selftest_corrupt_expected_sha256(0);
    EXPECT_EQ(1, failed.rc);
    EXPECT_EQ("", failed.out);
    EXPECT_EQ("vlt_proxmox: selftest failed: SHA-256 gives a wrong result\n", failed.err);

    // "--version=1" is not the flag.
    Answer joined = answer({"x", "--version=1"}, "vlt_proxmox");
    EXPECT_EQ(-1, joined.rc);
}

}  // namespace
