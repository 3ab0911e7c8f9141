// The manual pages against the programs: every option of each program's
// option table, every profile key and every flag it stands for must be
// documented; the pages must render without a warning; and the shell
// completion must offer what the programs accept.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "backup/profile_config.h"

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string src(const std::string &rel) { return std::string(VLT_SOURCE_DIR) + "/" + rel; }

// The page's text with roff's escapes taken out: "\-" is a hyphen, font
// changes vanish, so "\fB\-\-vmid\fR" reads "--vmid".
std::string page_text(const std::string &name) {
    std::string roff = slurp(src("docs/man/" + name));
    std::string out;
    for (size_t i = 0; i < roff.size(); i++) {
        if (roff[i] == '\\' && i + 1 < roff.size()) {
            char c = roff[i + 1];
            if (c == '-' || c == 'e') {
                out += c == '-' ? '-' : '\\';
                i++;
                continue;
            }
            if (c == 'f' && i + 2 < roff.size()) {
                i += 2;
                continue;
            }
            if (c == 'c' || c == '&') {
                i++;
                continue;
            }
        }
        out += roff[i];
    }
    return out;
}

// Whether word stands in text on its own: not as the start of a longer
// option ("--disk" inside "--disk-cache" does not count).
bool mentions(const std::string &text, const std::string &word) {
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        bool left_ok = at == 0 || !(isalnum((unsigned char)text[at - 1]) || text[at - 1] == '-');
        size_t end = at + word.size();
        bool right_ok = end >= text.size() ||
                        !(isalnum((unsigned char)text[end]) || text[end] == '-' || text[end] == '_');
        if (left_ok && right_ok) return true;
    }
    return false;
}

// The names and aliases of the option_spec table `table` in a source file.
std::vector<std::string> option_table(const std::string &file, const std::string &table) {
    std::string code = slurp(src(file));
    std::vector<std::string> names;
    size_t start = code.find("option_spec " + table + "[]");
    if (start == std::string::npos) return names;
    size_t end = code.find("};", start);
    std::string body = code.substr(start, end - start);
    std::regex row(R"re(\{\s*"(-[^"]+)"\s*,\s*(nullptr|"(-[^"]+)"))re");
    for (std::sregex_iterator it(body.begin(), body.end(), row), last; it != last; ++it) {
        names.push_back((*it)[1]);
        if ((*it)[3].matched) names.push_back((*it)[3]);
    }
    return names;
}

// The first option_spec table of a file, whatever its name.
std::vector<std::string> first_option_table(const std::string &file) {
    std::string code = slurp(src(file));
    std::smatch m;
    if (!std::regex_search(code, m, std::regex(R"(option_spec\s+(\w+)\s*\[\])"))) return {};
    return option_table(file, m[1]);
}

struct run_output {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a shell command line, capturing both streams.
run_output shell(const std::string &cmd) {
    run_output r;
    char out_tmpl[] = "/tmp/vlt_docs_out.XXXXXX";
    char err_tmpl[] = "/tmp/vlt_docs_err.XXXXXX";
    int out_fd = mkstemp(out_tmpl), err_fd = mkstemp(err_tmpl);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        execl("/bin/bash", "bash", "-c", cmd.c_str(), (char *)nullptr);
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    close(out_fd);
    close(err_fd);
    r.out = slurp(out_tmpl);
    r.err = slurp(err_tmpl);
    unlink(out_tmpl);
    unlink(err_tmpl);
    return r;
}

// Every "--word" in a text.
std::set<std::string> long_options_in(const std::string &text) {
    std::set<std::string> found;
    std::regex opt(R"((^|[^-\w])(--[a-z][a-z0-9-]*))");
    for (std::sregex_iterator it(text.begin(), text.end(), opt), last; it != last; ++it)
        found.insert((*it)[2]);
    return found;
}

TEST(ManPages, EveryOptionOfEachProgramsTableIsDocumented) {
    const std::vector<std::string> common = option_table("common/options.cc", "kCommonOptions");
    ASSERT_EQ(common.size(), 4u) << "the common option table changed shape";

    struct program {
        const char *source;
        const char *page;
        size_t expected_rows;
    } const programs[] = {
        {"backup/cli.cc", "vlt_proxmox.8", 18},
        {"restore/cli.cc", "vlt_proxmox_restore.8", 11},
    };
    for (const auto &p : programs) {
        std::vector<std::string> options = first_option_table(p.source);
        ASSERT_EQ(options.size(), p.expected_rows) << p.source << ": option table not found";
        options.insert(options.end(), common.begin(), common.end());
        std::string text = page_text(p.page);
        for (const auto &o : options) EXPECT_TRUE(mentions(text, o)) << p.page << " lacks " << o;
    }
}

TEST(ManPages, UsageTextsAndPagesAgree) {
    // Every option the programs' own usage texts name is in their page too
    // (the backup usage also names agent flags such as --out and --target).
    struct program {
        const char *binary;
        const char *page;
    } const programs[] = {
        {VLT_BACKUP_BIN, "vlt_proxmox.8"},
        {VLT_RESTORE_BIN, "vlt_proxmox_restore.8"},
        {VLT_PROGRESS_BIN, "vlt_progress.1"},
        {VLT_AGENT_BIN, "vlt_agent.1"},
        {VLT_RESTORE_TOOL_BIN, "vlt_restore.1"},
    };
    for (const auto &p : programs) {
        run_output r = shell(std::string("'") + p.binary + "' --help");
        ASSERT_EQ(r.status, 0) << p.binary;
        std::set<std::string> named = long_options_in(r.err + r.out);
        EXPECT_GE(named.size(), 4u) << p.binary << " usage: " << r.err;
        std::string text = page_text(p.page);
        for (const auto &o : named) EXPECT_TRUE(mentions(text, o)) << p.page << " lacks " << o;
    }
}

TEST(ManPages, EveryProfileKeyAndTheFlagItStandsForIsDocumented) {
    std::string cfg = page_text("vlt_proxmox.cfg.5");
    std::string backup = page_text("vlt_proxmox.8");
    for (const profile_key &k : profile_keys) {
        EXPECT_TRUE(mentions(cfg, k.key)) << "vlt_proxmox.cfg.5 lacks the key " << k.key;
        if (!k.flag) continue;
        EXPECT_TRUE(mentions(cfg, k.flag)) << "vlt_proxmox.cfg.5 lacks " << k.flag;
        // The agent flags are recognised before "--" too: the backup page lists them.
        EXPECT_TRUE(mentions(backup, k.flag)) << "vlt_proxmox.8 lacks " << k.flag;
    }
    // The example in the page and the packaged file are accepted by the parser.
    std::string example = slurp(src("docs/man/vlt_proxmox.cfg.5"));
    size_t from = example.find(".SH EXAMPLE\n.nf\n");
    size_t to = example.find(".fi\n", from);
    ASSERT_NE(from, std::string::npos);
    std::string body = example.substr(from + 16, to - from - 16);
    std::string plain;
    for (size_t i = 0; i < body.size(); i++) {
        if (body[i] == '\\' && i + 1 < body.size() && body[i + 1] == '-') continue;
        plain += body[i];
    }
    char tmpl[] = "/tmp/vlt_docs_cfg.XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, plain.data(), plain.size()), (ssize_t)plain.size());
    close(fd);
    for (const std::string &path : {std::string(tmpl), src("packaging/vlt_proxmox.cfg")}) {
        auto cfg_parsed = std::make_unique<backup_config>();
        char err[256] = {0};
        EXPECT_EQ(config_load(path.c_str(), 1, cfg_parsed.get(), err, sizeof err), 0)
            << path << ": " << err << "\n" << plain;
        if (path == tmpl) {
            EXPECT_EQ(cfg_parsed->profile_count, 3u);
            EXPECT_EQ(cfg_parsed->target_count, 1u);
        } else {
            // The packaged file changes nothing: no profile, no target.
            EXPECT_EQ(cfg_parsed->profile_count, 0u);
            EXPECT_EQ(cfg_parsed->target_count, 0u);
        }
    }
    unlink(tmpl);
}

TEST(ManPages, RenderWithoutWarnings) {
    if (shell("command -v man").status != 0) GTEST_SKIP() << "man is not installed";
    for (const char *page : {"vlt_proxmox.8", "vlt_proxmox_restore.8", "vlt_proxmox.cfg.5",
                             "vlt_progress.1", "vlt_agent.1", "vlt_restore.1"}) {
        run_output r = shell("LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l '" + src("docs/man/") +
                             page + "'");
        EXPECT_EQ(r.status, 0) << page;
        EXPECT_EQ(r.err, "") << page;
        EXPECT_GT(r.out.size(), 1000u) << page;
    }
    // What a signal does to a restore is spelled out, and the old word that
    // it does not roll back is gone.
    // man drops bold and underlining when its output is not a terminal.
    run_output r = shell("LC_ALL=C.UTF-8 MANWIDTH=200 man -l '" + src("docs/man/vlt_proxmox_restore.8") +
                         "' | cat");
    EXPECT_NE(r.out.find("A signal rolls the restore back like a failure:"), std::string::npos);
    EXPECT_EQ(r.out.find("roll-back does not run"), std::string::npos);
}

// --- bash completion

// Runs the completion function for a command line; the last word is the
// one being completed. Returns the candidates, one per line.
std::string complete(const std::string &function, const std::vector<std::string> &words) {
    std::string script = "source '" + src("packaging/bash-completion/vlt_proxmox") + "'; COMP_WORDS=(";
    for (const auto &w : words) script += "'" + w + "' ";
    script += "); COMP_CWORD=" + std::to_string(words.size() - 1) + "; " + function +
              "; printf '%s\\n' \"${COMPREPLY[@]}\"";
    run_output r = shell(script);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return r.out;
}

TEST(Completion, ProfileNamesForNameComeFromTheConfigurationFile) {
    char tmpl[] = "/tmp/vlt_docs_completion.XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    std::string cfg =
        "# [commented]\n"
        "[targets]\n"
        "nas:h:443:/ca.pem\n"
        "[ web01 ]   # the web server\n"
        "vmid = 101\n"
        "; [also-commented]\n"
        "  [web02]\n"
        "[db01]\n";
    ASSERT_EQ(write(fd, cfg.data(), cfg.size()), (ssize_t)cfg.size());
    close(fd);
    std::string path = tmpl;

    EXPECT_EQ(complete("_vlt_proxmox", {"vlt_proxmox", "--config-path", path, "--name", ""}),
              "web01\nweb02\ndb01\n");
    EXPECT_EQ(complete("_vlt_proxmox", {"vlt_proxmox", "--config-path=" + path, "--name", "we"}),
              "web01\nweb02\n");
    // The restore's --job takes the same prefixes.
    EXPECT_EQ(complete("_vlt_proxmox_restore",
                       {"vlt_proxmox_restore", "--search-dir", "/x", "--job", "d"}),
              complete("_vlt_proxmox_restore", {"vlt_proxmox_restore", "--job", "d"}));
    // A missing file offers nothing and says nothing.
    EXPECT_EQ(complete("_vlt_proxmox", {"vlt_proxmox", "--config-path", "/nonexistent", "--name", ""}),
              "\n");
    unlink(tmpl);
}

// VMIDs of this node and the cluster's pool names, from the Proxmox
// directory given with --pve-dir (else /etc/pve).
TEST(Completion, VmidsAndPoolNamesComeFromTheProxmoxDirectory) {
    char tmpl[] = "/tmp/vlt_docs_pve.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string pve = tmpl;
    ASSERT_EQ(shell("mkdir -p '" + pve + "/nodes/n1/qemu-server' '" + pve + "/nodes/n2/qemu-server' && "
                    "ln -s nodes/n1/qemu-server '" + pve + "/qemu-server' && "
                    "touch '" + pve + "/nodes/n1/qemu-server/101.conf' '" + pve +
                    "/nodes/n1/qemu-server/102.conf' '" + pve + "/nodes/n2/qemu-server/201.conf'")
                  .status,
              0);
    std::ofstream(pve + "/user.cfg") << "user:root@pam:1:0::::::\n"
                                         "pool:web:web farm:101,201::\n"
                                         "pool:db::102:local-lvm:\n";
    EXPECT_EQ(complete("_vlt_proxmox", {"vlt_proxmox", "--pve-dir", pve, "--vmid", ""}), "101\n102\n");
    EXPECT_EQ(complete("_vlt_proxmox", {"vlt_proxmox", "--pve-dir=" + pve, "--all", "--exclude", "101,1"}),
              "101,101\n101,102\n");
    EXPECT_EQ(complete("_vlt_proxmox", {"vlt_proxmox", "--pve-dir", pve, "--pool", ""}), "web\ndb\n");
    EXPECT_EQ(complete("_vlt_proxmox", {"vlt_proxmox", "--pve-dir", pve, "--pool", "w"}), "web\n");
    EXPECT_EQ(complete("_vlt_proxmox", {"vlt_proxmox", "--pve-dir", "/nonexistent", "--pool", ""}), "\n");
    EXPECT_EQ(complete("_vlt_proxmox", {"vlt_proxmox", "--all", "--mail-on", ""}), "always\nfailure\n");
    shell("rm -rf '" + pve + "'");
}

TEST(Completion, OffersEveryOptionOfTheTablesAndNothingAfterTheSeparator) {
    const std::vector<std::string> common = option_table("common/options.cc", "kCommonOptions");
    struct program {
        const char *function;
        const char *name;
        std::vector<std::string> options;
    } const programs[] = {
        {"_vlt_proxmox", "vlt_proxmox", first_option_table("backup/cli.cc")},
        {"_vlt_proxmox_restore", "vlt_proxmox_restore", first_option_table("restore/cli.cc")},
    };
    for (const auto &p : programs) {
        ASSERT_FALSE(p.options.empty());
        std::string offered = "\n" + complete(p.function, {p.name, "-"});
        for (const auto &o : p.options)
            EXPECT_NE(offered.find("\n" + o + "\n"), std::string::npos) << p.name << " " << o;
        for (const auto &o : common) {
            if (o == "-h") continue;
            EXPECT_NE(offered.find("\n" + o + "\n"), std::string::npos) << p.name << " " << o;
        }
        // Behind "--" the words belong to the engine tool: no options of ours.
        EXPECT_EQ(complete(p.function, {p.name, "--", "--v"}), "\n") << p.name;
    }
    // The agent flags a profile may set are accepted before "--" as well.
    std::string backup_offered = "\n" + complete("_vlt_proxmox", {"vlt_proxmox", "-"});
    for (const profile_key &k : profile_keys) {
        if (!k.flag) continue;
        EXPECT_NE(backup_offered.find("\n" + std::string(k.flag) + "\n"), std::string::npos)
            << k.flag;
    }
    EXPECT_EQ(complete("_vlt_proxmox", {"vlt_proxmox", "--no-v"}), "--no-vmconfig\n");
    EXPECT_EQ(complete("_vlt_proxmox", {"vlt_proxmox", "--compression", "z"}), "zstd\n");
    EXPECT_EQ(complete("_vlt_proxmox", {"vlt_proxmox", "--consistency", ""}), "fs\ntry\ncrash\n");
    EXPECT_EQ(complete("_vlt_proxmox", {"vlt_proxmox", "--cons"}), "--consistency\n");
    EXPECT_EQ(complete("_vlt_progress", {"vlt_progress", "--w"}), "--watch\n");
}

// --- the systemd units

TEST(SystemdUnits, TheTemplatesVerifyAsAnInstanceForAProfile) {
    if (shell("command -v systemd-analyze").status != 0) GTEST_SKIP() << "no systemd-analyze";
    char tmpl[] = "/tmp/vlt_docs_units.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    std::string service = slurp(src("packaging/systemd/vlt-proxmox-backup@.service"));
    std::string timer = slurp(src("packaging/systemd/vlt-proxmox-backup@.timer"));
    std::string failed = slurp(src("packaging/systemd/vlt-proxmox-backup-failed@.service"));
    ASSERT_FALSE(service.empty());
    ASSERT_FALSE(timer.empty());
    ASSERT_FALSE(failed.empty());
    // A failed run starts the report of the same profile.
    EXPECT_NE(service.find("\nOnFailure=vlt-proxmox-backup-failed@%i.service\n"), std::string::npos);
    EXPECT_NE(failed.find("\nSyslogLevel=err\n"), std::string::npos);
    // The instance name is the profile: it reaches the program as --name.
    EXPECT_NE(service.find("\nExecStart=/usr/sbin/vlt_proxmox --name %i\n"), std::string::npos);
    // Only the program gets the stop signal, so its own clean-up runs.
    EXPECT_NE(service.find("\nKillMode=mixed\n"), std::string::npos);
    EXPECT_NE(timer.find("\nWantedBy=timers.target\n"), std::string::npos);
    {
        std::ofstream(dir + "/vlt-proxmox-backup@web01.service") << service;
        std::ofstream(dir + "/vlt-proxmox-backup@web01.timer") << timer;
        std::ofstream(dir + "/vlt-proxmox-backup-failed@web01.service") << failed;
    }
    run_output r = shell("cd '" + dir + "' && systemd-analyze verify --man=no "
                         "vlt-proxmox-backup@web01.timer vlt-proxmox-backup@web01.service "
                         "vlt-proxmox-backup-failed@web01.service");
    // The program is not installed here; anything else is a fault in the units.
    std::istringstream lines(r.out + r.err);
    std::string line, faults;
    while (std::getline(lines, line))
        if (line.find("/usr/sbin/vlt_proxmox is not executable") == std::string::npos)
            faults += line + "\n";
    EXPECT_EQ(faults, "");
    shell("rm -rf '" + dir + "'");
}

// The failure report as systemd runs it: "$$" is "$", "%%" is "%", "%i"
// the profile; journalctl stands in for the journal.
TEST(SystemdUnits, TheFailureReportNamesTheProfileAndTheLastLogLines) {
    std::string unit = slurp(src("packaging/systemd/vlt-proxmox-backup-failed@.service"));
    size_t at = unit.find("\nExecStart=");
    ASSERT_NE(at, std::string::npos);
    std::string line;
    for (size_t i = at + 11; i < unit.size(); i++) {
        if (unit[i] == '\\' && i + 1 < unit.size() && unit[i + 1] == '\n') {
            i++;
            continue;
        }
        if (unit[i] == '\n') break;
        line += unit[i];
    }
    std::string cmd;
    for (size_t i = 0; i < line.size(); i++) {
        if ((line[i] == '$' || line[i] == '%') && i + 1 < line.size() && line[i + 1] == line[i]) {
            cmd += line[i++];
        } else if (line.compare(i, 2, "%i") == 0) {
            cmd += "nightly";
            i++;
        } else {
            cmd += line[i];
        }
    }
    char tmpl[] = "/tmp/vlt_docs_report.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    std::ofstream(dir + "/journalctl") << "#!/bin/sh\necho \"journalctl $*\"\necho \"ERROR 0 of 2 VM(s) backed up\"\n";
    chmod((dir + "/journalctl").c_str(), 0755);
    run_output r = shell("PATH='" + dir + "':$PATH " + cmd);
    EXPECT_EQ(r.status, 0) << cmd << "\n" << r.err;
    EXPECT_EQ(r.out, "vlt_proxmox backup of profile nightly failed (vlt-proxmox-backup@nightly.service); its last "
                     "log lines:\njournalctl --unit=vlt-proxmox-backup@nightly.service --lines=20 --no-pager "
                     "--output=cat\nERROR 0 of 2 VM(s) backed up\n");
    shell("rm -rf '" + dir + "'");
}

// --- installation

// Every regular file under dir, relative to it, sorted.
std::string files_under(const std::string &dir) {
    return shell("cd '" + dir + "' && find . -type f -printf '%m %P\\n' | sort").out;
}

TEST(Install, TheEngineIsAComponentOfItsOwn) {
    char tmpl[] = "/tmp/vlt_docs_install.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string root = tmpl;
    auto install = [&](const std::string &component, const std::string &dest) {
        return shell("DESTDIR='" + dest + "' cmake --install '" VLT_BINARY_DIR
                     "' --prefix /usr --component " + component);
    };
    run_output r = install("proxmox", root + "/proxmox");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(files_under(root + "/proxmox"),
              "640 etc/vlt/vlt_proxmox.cfg\n"
              "644 lib/systemd/system/vlt-proxmox-backup-failed@.service\n"
              "644 lib/systemd/system/vlt-proxmox-backup@.service\n"
              "644 lib/systemd/system/vlt-proxmox-backup@.timer\n"
              "644 usr/share/bash-completion/completions/vlt_progress\n"
              "644 usr/share/bash-completion/completions/vlt_proxmox\n"
              "644 usr/share/bash-completion/completions/vlt_proxmox_restore\n"
              "644 usr/share/doc/vlt-proxmox/changelog.gz\n"
              "644 usr/share/doc/vlt-proxmox/copyright\n"
              "644 usr/share/lintian/overrides/vlt-proxmox\n"
              "644 usr/share/man/man1/vlt_progress.1.gz\n"
              "644 usr/share/man/man5/vlt_proxmox.cfg.5.gz\n"
              "644 usr/share/man/man8/vlt_proxmox.8.gz\n"
              "644 usr/share/man/man8/vlt_proxmox_restore.8.gz\n"
              "755 usr/bin/vlt_progress\n"
              "755 usr/sbin/vlt_proxmox\n"
              "755 usr/sbin/vlt_proxmox_restore\n");

    r = install("engine", root + "/engine");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(files_under(root + "/engine"),
              "644 usr/share/doc/vlt-proxmox-engine/changelog.gz\n"
              "644 usr/share/doc/vlt-proxmox-engine/copyright\n"
              "644 usr/share/man/man1/vlt_agent.1.gz\n"
              "644 usr/share/man/man1/vlt_restore.1.gz\n"
              "755 usr/bin/vlt_agent\n"
              "755 usr/bin/vlt_restore\n");

    // The service names the program where the install put it.
    EXPECT_EQ(slurp(root + "/proxmox/lib/systemd/system/vlt-proxmox-backup@.service"),
              slurp(src("packaging/systemd/vlt-proxmox-backup@.service")));
    r = shell("DESTDIR='" + root + "/opt' cmake --install '" VLT_BINARY_DIR
              "' --prefix /opt/vlt --component proxmox");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::string moved = slurp(root + "/opt/lib/systemd/system/vlt-proxmox-backup@.service");
    EXPECT_NE(moved.find("\nExecStart=/opt/vlt/sbin/vlt_proxmox --name %i\n"), std::string::npos)
        << moved;
    EXPECT_EQ(moved.find("/usr/sbin"), std::string::npos);

    // The installed page is the page, compressed.
    r = shell("gzip -dc '" + root + "/proxmox/usr/share/man/man8/vlt_proxmox.8.gz' | cmp - '" +
              src("docs/man/vlt_proxmox.8") + "'");
    EXPECT_EQ(r.status, 0) << r.out;
    shell("rm -rf '" + root + "'");
}

}  // namespace
