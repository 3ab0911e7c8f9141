// The configuration file parser, profile expansion, the api-key parser and
// the agent-flag classification.
#include "backup/profile_config.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/backup_front/test_util.h"

namespace {

using strings = std::vector<std::string>;

struct applied {
    int32_t rc = -9;
    strings own;
    strings agent;
    const char *api_key = nullptr;
    std::string err;
};

class ConfigTest : public testing::Test {
  protected:
    bf_test::temp_dir dir_;
    std::unique_ptr<backup_config> cfg_{new backup_config};
    std::string path_ = dir_.file("vlt.cfg");
    std::string err_;

    // Loads `text` as the file's whole content; the message lands in err_.
    int32_t load(const std::string &text)
    {
        dir_.write("vlt.cfg", text);
        char err[256] = "";
        int32_t rc = config_load(path_.c_str(), 1, cfg_.get(), err, sizeof err);
        err_ = err;
        return rc;
    }

    // The message expected for an error on `line`.
    std::string at(int line, const std::string &what) const
    {
        return path_ + ":" + std::to_string(line) + ": " + what;
    }

    // Loads `text` and expects it to fail with `what` on `line`.
    void expect_error(const std::string &text, int line, const std::string &what)
    {
        SCOPED_TRACE(text);
        EXPECT_EQ(-1, load(text));
        EXPECT_EQ(at(line, what), err_);
    }

    applied apply(const char *name)
    {
        applied a;
        char **own = nullptr;
        char **agent = nullptr;
        int32_t own_n = -1;
        int32_t agent_n = -1;
        char err[256] = "";
        a.rc = profile_apply(cfg_.get(), name, &own, &own_n, &agent, &agent_n, &a.api_key, err,
                             sizeof err);
        for (int32_t i = 0; i < own_n; i++)
            a.own.emplace_back(own[i]);
        for (int32_t i = 0; i < agent_n; i++)
            a.agent.emplace_back(agent[i]);
        if (a.rc != 1) {
            EXPECT_EQ(nullptr, own);
            EXPECT_EQ(nullptr, agent);
            EXPECT_EQ(0, own_n);
            EXPECT_EQ(0, agent_n);
            EXPECT_EQ(nullptr, a.api_key);
        }
        profile_args_free(own, own_n);
        profile_args_free(agent, agent_n);
        a.err = err;
        return a;
    }

    // The stored value of `key` in the first profile.
    std::string value_of(const char *key) const
    {
        const profile &p = cfg_->profiles[0];
        for (uint64_t i = 0; i < p.setting_count; i++)
            if (strcmp(p.settings[i].key, key) == 0)
                return p.settings[i].value;
        return "<unset>";
    }
};

TEST_F(ConfigTest, MissingFileIsEmptyUnlessRequired)
{
    std::string missing = dir_.file("nope.cfg");
    cfg_->profile_count = 7;  // must be cleared
    char err[256] = "";
    EXPECT_EQ(0, config_load(missing.c_str(), 0, cfg_.get(), err, sizeof err));
    EXPECT_EQ(0u, cfg_->profile_count);
    EXPECT_EQ(0u, cfg_->target_count);
    EXPECT_STREQ("", err);

    EXPECT_EQ(-1, config_load(missing.c_str(), 1, cfg_.get(), err, sizeof err));
    EXPECT_EQ("cannot read the configuration file " + missing, std::string(err));
}

TEST_F(ConfigTest, DirectoryInPlaceOfTheFileIsAReadError)
{
    char err[256] = "";
    EXPECT_EQ(-1, config_load(dir_.path().c_str(), 0, cfg_.get(), err, sizeof err));
    EXPECT_EQ("cannot read the configuration file " + dir_.path(), std::string(err));
}

TEST_F(ConfigTest, LineLengthLimit)
{
    // "out = x #" and a comment padded to the length wanted.
    auto line_of = [](size_t len) {
        std::string l = "out = x # ";
        l.append(len - l.size(), 'c');
        return l;
    };
    ASSERT_EQ(0, load("[p]\n" + line_of(2046) + "\nverify = yes\n")) << err_;
    EXPECT_EQ("x", value_of("out"));
    EXPECT_EQ("yes", value_of("verify"));

    expect_error("[p]\n" + line_of(2047) + "\nverify = yes\n", 2, "line too long");
    expect_error("[p]\n" + line_of(5000) + "\n", 2, "line too long");
    // The newline itself must fit: 2047 characters then the newline, last line.
    expect_error("[p]\n" + line_of(2047) + "\n", 2, "line too long");
    // The last line has no newline to fit, so it may use the whole buffer.
    ASSERT_EQ(0, load("[p]\n" + line_of(2047))) << err_;
    EXPECT_EQ("x", value_of("out"));
}

TEST_F(ConfigTest, LastLineWithoutNewlineAndCrlf)
{
    ASSERT_EQ(0, load("[p]\nout = /backup\nthreads = 4")) << err_;
    EXPECT_EQ("4", value_of("threads"));

    ASSERT_EQ(0, load("[targets]\r\nnas:nas1:443:/etc/ca.pem\r\n[p]\r\nout = \"/a b\"\r\n"
                      "verify = yes # on\r\ntarget = nas\r\n"))
        << err_;
    EXPECT_EQ("/a b", value_of("out"));
    EXPECT_EQ("yes", value_of("verify"));
    EXPECT_STREQ("/etc/ca.pem", cfg_->targets[0].tls_ca_path);
    EXPECT_STREQ("p", cfg_->profiles[0].name);
}

TEST_F(ConfigTest, CommentsAndQuotes)
{
    ASSERT_EQ(0, load("# whole-line comment\n"
                      "; another one\n"
                      "   # indented\n"
                      "[p] # the profile\n"
                      "out = x # note\n"
                      "type=#x\n"
                      "search-dir=b;c\n"
                      "compression = zstd ;level\n"
                      "level = \"a # b ; c\"\n"
                      "max-level = 'a \\ b'   # single quotes know no escapes\n"
                      "resume-dir = \"q\\\"uote\\\\slash\\n\"\n"
                      "diag-dir = \"x\"#tight\n"
                      "target-dir = \"y\"\t; tab\n"
                      "out-key-file = a#b\n"))
        << err_;
    EXPECT_EQ("x", value_of("out"));
    EXPECT_EQ("#x", value_of("type"));
    EXPECT_EQ("b;c", value_of("search-dir"));
    EXPECT_EQ("zstd", value_of("compression"));
    EXPECT_EQ("a # b ; c", value_of("level"));
    EXPECT_EQ("a \\ b", value_of("max-level"));
    EXPECT_EQ("q\"uote\\slash\\n", value_of("resume-dir"));
    EXPECT_EQ("x", value_of("diag-dir"));
    EXPECT_EQ("y", value_of("target-dir"));
    EXPECT_EQ("a#b", value_of("out-key-file"));
    EXPECT_EQ(10u, cfg_->profiles[0].setting_count);
}

TEST_F(ConfigTest, QuotingErrors)
{
    const std::string msg = "unterminated quote or text after the closing quote";
    expect_error("[p]\nout = \"abc\n", 2, msg);
    expect_error("[p]\nout = 'abc\n", 2, msg);
    expect_error("[p]\nout = \"abc\" x\n", 2, msg);
    expect_error("[p]\nout = \"abc\"x\n", 2, msg);
    expect_error("[p]\nout = \"abc\\\"\n", 2, msg);   // the escaped quote does not close
    expect_error("[p]\nout = \"abc\\\n", 2, msg);     // backslash at the end of the line
    expect_error("[p]\r\nout = \"abc\\\r\n", 2, msg); // also before a CRLF ending
    expect_error("[p]\nout = 'a' 'b'\n", 2, msg);
}

TEST_F(ConfigTest, SectionHeaderErrors)
{
    expect_error("[p\n", 1, "malformed section header");
    expect_error("[\n", 1, "malformed section header");
    expect_error("[p]#c\n", 1, "malformed section header");
    expect_error("[p] x\n", 1, "malformed section header");
    expect_error("[   ]\n", 1, "empty section name");
    expect_error("[targets]\n[p]\n[targets]\n", 3, "duplicate [targets] section");
    expect_error("[p]\n[q]\n[ p ]\n", 3, "duplicate section [p]");
    expect_error("out = x\n", 1, "content before any [section]");
    expect_error("\n# c\nnas:h:1:/c\n", 3, "content before any [section]");

    // "targets" is matched exactly: other spellings are profiles.
    ASSERT_EQ(0, load("[Targets]\nout = x\n[ targets ]\nnas:h:1:/c\n")) << err_;
    EXPECT_EQ(1u, cfg_->profile_count);
    EXPECT_STREQ("Targets", cfg_->profiles[0].name);
    EXPECT_EQ(1u, cfg_->target_count);
}

TEST_F(ConfigTest, SectionLimits)
{
    std::string text;
    for (int i = 0; i < 64; i++)
        text += "[p" + std::to_string(i) + "]\n";
    ASSERT_EQ(0, load(text)) << err_;
    EXPECT_EQ(64u, cfg_->profile_count);
    expect_error(text + "[p64]\n", 65, "too many sections");
    // A duplicate is reported before the count, the count before the length.
    expect_error(text + "[p3]\n", 65, "duplicate section [p3]");
    expect_error(text + "[" + std::string(128, 'n') + "]\n", 65, "too many sections");
    // [targets] is not a profile and does not count.
    ASSERT_EQ(0, load(text + "[targets]\n")) << err_;

    std::string name127(127, 'n');
    ASSERT_EQ(0, load("[" + name127 + "]\n")) << err_;
    EXPECT_EQ(name127, cfg_->profiles[0].name);
    expect_error("[" + std::string(128, 'n') + "]\n", 1, "section name too long");
}

TEST_F(ConfigTest, SettingErrors)
{
    expect_error("[p]\nout x\n", 2, "expected key=value");
    expect_error("[p]\nout # c = x\n", 2, "expected key=value");  // the comment hides "="
    expect_error("[p]\n = x\n", 2, "empty key");
    expect_error("[p]\nout =\n", 2, "empty value for 'out'");
    expect_error("[p]\nout = \"\"\n", 2, "empty value for 'out'");
    expect_error("[p]\nout = # nothing\n", 2, "empty value for 'out'");
    expect_error("[p]\nOut = x\n", 2, "unknown setting 'Out'");
    expect_error("[p]\nname = x\n", 2, "unknown setting 'name'");
    expect_error("[p]\nout = x\n\nout = y\n", 4, "duplicate setting 'out'");
    expect_error("[p]\nverify = maybe\n", 2, "'verify' must be yes or no");
    expect_error("[p]\nno-vmconfig = on\n", 2, "'no-vmconfig' must be yes or no");
    // Checks run in order: the empty value before the unknown key.
    expect_error("[p]\nbogus =\n", 2, "empty value for 'bogus'");
    // The same key in another profile is fine.
    EXPECT_EQ(0, load("[p]\nout = x\n[q]\nout = y\n")) << err_;
}

TEST_F(ConfigTest, SwitchValues)
{
    ASSERT_EQ(0, load("[p]\nverify = TRUE\nno-progress = Yes\nno-fs-bitmap = 1\n"
                      "no-diag = No\nbackground = fAlSe\nno-vmconfig = 0\n"))
        << err_;
    EXPECT_EQ("yes", value_of("verify"));
    EXPECT_EQ("yes", value_of("no-progress"));
    EXPECT_EQ("yes", value_of("no-fs-bitmap"));
    EXPECT_EQ("no", value_of("no-diag"));
    EXPECT_EQ("no", value_of("background"));
    EXPECT_EQ("no", value_of("no-vmconfig"));

    applied a = apply("p");
    EXPECT_EQ(1, a.rc);
    EXPECT_EQ((strings{"--verify", "--no-progress", "--no-fs-bitmap"}), a.agent);
    EXPECT_TRUE(a.own.empty());

    expect_error("[p]\nverify = 2\n", 2, "'verify' must be yes or no");
    expect_error("[p]\nverify = y\n", 2, "'verify' must be yes or no");
}

TEST_F(ConfigTest, SettingLimits)
{
    // 32 distinct keys are allowed; the 33rd setting is refused on its line.
    std::string text = "[targets]\nnas:h:1:/c\n[big]\n";
    for (int i = 0; i < 33; i++) {
        const profile_key &k = profile_keys[i];
        std::string v = k.kind == KEY_OWN_SWITCH || k.kind == KEY_AGENT_SWITCH ? "yes"
                        : k.kind == KEY_TARGET                              ? "nas"
                                                                            : "v";
        text += std::string(k.key) + " = " + v + "\n";
        if (i == 31) {
            ASSERT_EQ(0, load(text)) << err_;
        }
    }
    expect_error(text, 36, "too many settings in [big]");

    ASSERT_EQ(0, load("[p]\nout = " + std::string(1023, 'v') + "\n")) << err_;
    EXPECT_EQ(std::string(1023, 'v'), value_of("out"));
    expect_error("[p]\nout = " + std::string(1024, 'v') + "\n", 2, "value too long for 'out'");
}

TEST_F(ConfigTest, TargetLines)
{
    ASSERT_EQ(0, load("[targets]\n"
                      "nas:nas1:443:/etc/ca.pem\n"
                      "win:backup.example:8443:C:/certs/ca.pem # colons stay in the path\n"
                      "spaced:h: +443:/ca\n"
                      "zeros:h:000000000000443:/ca\n"))
        << err_;
    ASSERT_EQ(4u, cfg_->target_count);
    EXPECT_STREQ("nas", cfg_->targets[0].name);
    EXPECT_STREQ("nas1", cfg_->targets[0].host);
    EXPECT_EQ(443, cfg_->targets[0].port);
    EXPECT_STREQ("/etc/ca.pem", cfg_->targets[0].tls_ca_path);
    EXPECT_STREQ("C:/certs/ca.pem", cfg_->targets[1].tls_ca_path);
    EXPECT_EQ(8443, cfg_->targets[1].port);
    EXPECT_EQ(443, cfg_->targets[2].port);
    EXPECT_EQ(443, cfg_->targets[3].port);

    auto bad = [&](const std::string &line, const std::string &what) {
        expect_error("[targets]\n" + line + "\n", 2, what);
    };
    bad("nas:h:443", "expected name:host:port:tls-ca-path");
    bad("nas", "expected name:host:port:tls-ca-path");
    bad(":h:443:/ca", "invalid target name");
    bad(std::string(128, 'n') + ":h:443:/ca", "invalid target name");
    bad("::x:", "invalid target name");
    bad("nas::443:/ca", "invalid target host");
    bad("nas:" + std::string(256, 'h') + ":443:/ca", "invalid target host");
    bad("nas:h:443:", "missing tls-ca-path");
    bad("nas:h:x:", "missing tls-ca-path");  // checked before the port
    bad("nas:h:0:/ca", "invalid target port");
    bad("nas:h:65536:/ca", "invalid target port");
    bad("nas:h:12a:/ca", "invalid target port");
    bad("nas:h:0000000000000443:/ca", "invalid target port");  // 16 digits
    bad("nas:h::/ca", "invalid target port");
    bad("nas:h: :/ca", "invalid target port");
    bad("nas:h:-1:/ca", "invalid target port");
    bad("nas:h:443 :/ca", "invalid target port");
    bad("nas:h:443:/" + std::string(599, 'c'), "tls-ca-path too long");
    expect_error("[targets]\nnas:h:1:/a\nnas:h:2:/b\n", 3, "duplicate target 'nas'");

    std::string name127(127, 'n'), host255(255, 'h'), ca599 = "/" + std::string(598, 'c');
    ASSERT_EQ(0, load("[targets]\n" + name127 + ":" + host255 + ":65535:" + ca599 + "\n"))
        << err_;
    EXPECT_EQ(name127, cfg_->targets[0].name);
    EXPECT_EQ(host255, cfg_->targets[0].host);
    EXPECT_EQ(65535, cfg_->targets[0].port);
    EXPECT_EQ(ca599, cfg_->targets[0].tls_ca_path);

    std::string many = "[targets]\n";
    for (int i = 0; i < 64; i++)
        many += "t" + std::to_string(i) + ":h:1:/ca\n";
    ASSERT_EQ(0, load(many)) << err_;
    EXPECT_EQ(64u, cfg_->target_count);
    // Too many is reported before the line is even looked at.
    expect_error(many + "garbage\n", 66, "too many targets");
}

TEST_F(ConfigTest, TargetAliasesAreCheckedAfterTheLastLine)
{
    // Defined further down the file: fine.
    ASSERT_EQ(0, load("[prod]\ntarget = nas\n[targets]\nnas:nas1:443:/etc/ca.pem\n")) << err_;

    // An unknown alias fails the load even in a profile no run uses.
    EXPECT_EQ(-1, load("[targets]\nnas:nas1:443:/ca\n[prod]\ntarget = nas\n"
                       "[unused]\nout = /x\ntarget = nope\n"));
    EXPECT_EQ(path_ + ": [unused]: unknown target 'nope' (not in [targets])", err_);

    // Aliases are case-sensitive.
    EXPECT_EQ(-1, load("[prod]\ntarget = NAS\n[targets]\nnas:nas1:443:/ca\n"));
    EXPECT_EQ(path_ + ": [prod]: unknown target 'NAS' (not in [targets])", err_);
}

TEST_F(ConfigTest, ErrorsAreCutToTheCallersBuffer)
{
    dir_.write("vlt.cfg", "[p]\nbogus = x\n");
    char err[16];
    memset(err, 'Z', sizeof err);
    EXPECT_EQ(-1, config_load(path_.c_str(), 1, cfg_.get(), err, sizeof err));
    EXPECT_EQ(at(2, "unknown setting 'bogus'").substr(0, 15), std::string(err));
}

TEST_F(ConfigTest, ProfileApplyKeepsFileOrder)
{
    ASSERT_EQ(0, load("[prod]\n"
                      "out = /backup\n"
                      "vmid = 200\n"
                      "verify = yes\n"
                      "target = nas\n"
                      "no-vmconfig = true\n"
                      "threads = 8\n"
                      "no-diag = no\n"
                      "freeze-timeout = 30\n"
                      "api-key = file:/etc/vlt/key\n"
                      "tls-ca = /extra.pem\n"
                      "[other]\nout = /elsewhere\n"
                      "[targets]\nnas:nas1:443:/etc/ca.pem\n"))
        << err_;
    applied a = apply("prod");
    EXPECT_EQ(1, a.rc);
    EXPECT_EQ((strings{"--vmid", "200", "--no-vmconfig", "--freeze-timeout", "30"}), a.own);
    EXPECT_EQ((strings{"--out", "/backup", "--verify", "--target", "nas1:443", "--tls-ca",
                       "/etc/ca.pem", "--threads", "8", "--tls-ca", "/extra.pem"}),
              a.agent);
    ASSERT_NE(nullptr, a.api_key);
    EXPECT_STREQ("file:/etc/vlt/key", a.api_key);
    // Handed back as stored, not copied.
    EXPECT_EQ(cfg_->profiles[0].settings[8].value, a.api_key);

    applied other = apply("other");
    EXPECT_EQ(1, other.rc);
    EXPECT_EQ((strings{"--out", "/elsewhere"}), other.agent);
    EXPECT_EQ(nullptr, other.api_key);

    // Names are case-sensitive; an unknown one applies nothing.
    EXPECT_EQ(0, apply("Prod").rc);
    EXPECT_EQ(0, apply("targets").rc);
}

// The keys of a node's job go to the run's own list like --vmid does.
TEST_F(ConfigTest, NodeJobKeysBecomeOwnOptions)
{
    ASSERT_EQ(0, load("[nightly]\n"
                      "all = yes\n"
                      "exclude = \"104, 105\"\n"
                      "jobs = 2\n"
                      "mailto = root@localhost\n"
                      "mail-on = failure\n"
                      "pve-dir = /mnt/pve\n"
                      "out = /b\n"
                      "[pool-job]\npool = web\nall = no\n"))
        << err_;
    applied a = apply("nightly");
    EXPECT_EQ(1, a.rc);
    EXPECT_EQ((strings{"--all", "--exclude", "104, 105", "--jobs", "2", "--mailto", "root@localhost", "--mail-on",
                       "failure", "--pve-dir", "/mnt/pve"}),
              a.own);
    EXPECT_EQ((strings{"--out", "/b"}), a.agent);
    applied p = apply("pool-job");
    EXPECT_EQ((strings{"--pool", "web"}), p.own);
    expect_error("[p]\nall = sometimes\n", 2, "'all' must be yes or no");
}

TEST_F(ConfigTest, ProfileWithManyArgumentsGrowsItsLists)
{
    // 31 agent options with values and a target: 66 agent words.
    std::string text = "[targets]\nt:h:9:/ca\n[p]\ntarget = t\n";
    strings expected = {"--target", "h:9", "--tls-ca", "/ca"};
    int n = 0;
    for (const profile_key &k : profile_keys) {
        if (k.kind != KEY_AGENT_VALUE)
            continue;
        std::string v = "value" + std::to_string(n++);
        text += std::string(k.key) + "=" + v + "\n";
        expected.push_back(k.flag);
        expected.push_back(v);
    }
    ASSERT_EQ(0, load(text)) << err_;
    applied a = apply("p");
    EXPECT_EQ(1, a.rc);
    EXPECT_EQ(expected, a.agent);
}

TEST_F(ConfigTest, ProfileApiKeyErrors)
{
    ASSERT_EQ(0, load("[prod]\napi-key = kms:https://vault/key\n"
                      "[nofile]\napi-key = file:\n"
                      "[nourl]\napi-key = kms:\n"
                      "[literal]\nout = /b\napi-key = s3cr3t # comment\n"))
        << err_;
    applied a = apply("prod");
    EXPECT_EQ(-1, a.rc);
    EXPECT_EQ("[prod]: api-key: kms: scheme is recognized but not yet implemented", a.err);

    a = apply("nofile");
    EXPECT_EQ(-1, a.rc);
    EXPECT_EQ("[nofile]: api-key: file: needs a path", a.err);

    a = apply("nourl");
    EXPECT_EQ(-1, a.rc);
    EXPECT_EQ("[nourl]: api-key: kms: needs a url", a.err);

    a = apply("literal");
    EXPECT_EQ(1, a.rc);
    ASSERT_NE(nullptr, a.api_key);
    EXPECT_STREQ("s3cr3t", a.api_key);
    EXPECT_EQ((strings{"--out", "/b"}), a.agent);
}

TEST(SecretSpec, Forms)
{
    secret_spec s{SECRET_KMS, nullptr};
    char err[64] = "";
    const char *file_value = "file:/etc/vlt/api.key";
    ASSERT_EQ(0, parse_secret_spec(file_value, &s, err, sizeof err));
    EXPECT_EQ(SECRET_FILE, s.kind);
    EXPECT_STREQ("/etc/vlt/api.key", s.text);

    ASSERT_EQ(0, parse_secret_spec("kms:https://kms/k1", &s, err, sizeof err));
    EXPECT_EQ(SECRET_KMS, s.kind);
    EXPECT_STREQ("https://kms/k1", s.text);

    // Prefixes are case-sensitive; anything else is a literal, whole.
    for (const char *lit : {"File:/x", "KMS:u", "plain", "file", "x file:/y"}) {
        ASSERT_EQ(0, parse_secret_spec(lit, &s, err, sizeof err)) << lit;
        EXPECT_EQ(SECRET_LITERAL, s.kind) << lit;
        EXPECT_EQ(lit, s.text);
    }

    s = {SECRET_KMS, "untouched"};
    EXPECT_EQ(-1, parse_secret_spec("file:", &s, err, sizeof err));
    EXPECT_STREQ("file: needs a path", err);
    EXPECT_STREQ("untouched", s.text);
    EXPECT_EQ(-1, parse_secret_spec("kms:", &s, err, sizeof err));
    EXPECT_STREQ("kms: needs a url", err);
}

TEST(ClassifyAgentArg, EveryFlagOfTheKeyTable)
{
    // What each flag of a profile key is, written out: the agent's switches
    // stand alone, the agent's options take a value (next or after "="),
    // and the orchestrator's own flags stay with it.
    const strings agent_switches = {"--verify", "--no-progress", "--no-fs-bitmap", "--no-diag",
                                    "--background"};
    const strings agent_options = {
        "--out",           "--out-encryption",  "--out-key-file",   "--type",
        "--search-dir",    "--block-size",      "--threads",        "--compression",
        "--level",         "--max-level",       "--target-dir",     "--tls-ca",
        "--target-encryption", "--target-key-file", "--net-retry",  "--resume",
        "--resume-max-age", "--resume-dir",     "--diag-dir",       "--background-min",
        "--background-max", "--retention",      "--retention-class"};
    const strings own = {"--vmid",        "--freeze-timeout", "--snapshot-size", "--consistency",
                         "--no-vmconfig", "--pool-limit",     "--agent-timeout", "--pve-dir",
                         "--all",         "--pool",           "--exclude",       "--jobs",
                         "--mailto",      "--mail-on"};
    struct {
        const strings &flags;
        int32_t bare;
        int32_t joined;
    } groups[] = {{agent_switches, 1, 0}, {agent_options, 2, 3}, {own, 0, 0}};
    size_t listed = 0;
    for (const auto &g : groups) {
        for (const std::string &flag : g.flags) {
            EXPECT_EQ(g.bare, classify_agent_arg(flag.c_str())) << flag;
            EXPECT_EQ(g.joined, classify_agent_arg((flag + "=v").c_str())) << flag << "=v";
        }
        listed += g.flags.size();
    }
    // The lists above are the whole key table: a new key gets its line here.
    strings table_flags;
    for (const profile_key &k : profile_keys)
        if (k.flag != nullptr)
            table_flags.push_back(k.flag);
    EXPECT_EQ(listed, table_flags.size());
    for (const std::string &flag : table_flags) {
        bool found = false;
        for (const auto &g : groups)
            found = found || std::find(g.flags.begin(), g.flags.end(), flag) != g.flags.end();
        EXPECT_TRUE(found) << flag << " is in the key table but in none of the lists";
    }
}

TEST(ClassifyAgentArg, SpecialCases)
{
    struct {
        const char *arg;
        int32_t want;
    } cases[] = {
        {"--out", 2},           {"--out=/b", 3},         {"--out=", 3},
        {"--verify", 1},        {"--verify=yes", 0},     {"--target", 2},
        {"--target=h:1", 3},    {"--tls-ca", 2},         {"--api-key", 0},
        {"--api-key=x", 0},     {"--vmid", 0},           {"--no-vmconfig", 0},
        {"--disk", 0},          {"--name", 0},           {"--config-path", 0},
        {"--outx", 0},          {"--ou", 0},             {"-out", 0},
        {"out", 0},             {"--OUT", 0},            {"--", 0},
        {"--no-progress", 1},   {"--threads", 2},        {"--retention-class=x", 3},
        {"--background", 1},    {"--background-min", 2}, {"--help", 0},
        {"", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.want, classify_agent_arg(c.arg)) << "'" << c.arg << "'";
}

}  // namespace
