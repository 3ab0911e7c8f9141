#include "fake_tools.h"

#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

const char *const kTools[] = {"qm", "pvesm", "lvs", "lvcreate", "lvremove", "udevadm", "vlt_agent"};

void run_shell(const std::string &cmd)
{
    int rc = system(cmd.c_str());
    (void)rc;
}

}  // namespace

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_text(const std::string &path, const std::string &text, int mode)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

fake_tools::fake_tools()
{
    char tmpl[] = "/tmp/vlt_backup_run.XXXXXX";
    dir_ = mkdtemp(tmpl);
    bin_ = dir_ + "/bin";
    mkdir(bin_.c_str(), 0755);
    vg_ = "vltbr" + std::to_string(getpid());
    for (const char *tool : kTools) {
        std::string script =
            "#!/bin/bash\n"
            "FAKE_DIR='" + dir_ + "'\n"
            "tool=" + tool + "\n"
            "{ printf '%s' \"$tool\"; for a in \"$@\"; do printf '\\t%s' \"$a\"; done; printf '\\n'; } "
            ">> \"$FAKE_DIR/calls\"\n"
            "n=$(( $(cat \"$FAKE_DIR/count.$tool\" 2>/dev/null || echo 0) + 1 ))\n"
            "echo $n > \"$FAKE_DIR/count.$tool\"\n"
            // The configuration job's file is held open while the fake
            // agent runs, so the host checks of tests running alongside
            // never take it for a leftover.
            "if [ \"$tool\" = vlt_agent ] && [ -f \"$2\" ]; then exec 9<\"$2\"; fi\n"
            "if [ -f \"$FAKE_DIR/script.$tool\" ]; then . \"$FAKE_DIR/script.$tool\"; fi\n"
            "exit 0\n";
        write_text(bin_ + "/" + tool, script, 0755);
    }
    const char *old = getenv("PATH");
    saved_path_ = old != nullptr ? old : "/usr/bin:/bin";
    setenv("PATH", (bin_ + ":" + saved_path_).c_str(), 1);
}

fake_tools::~fake_tools()
{
    setenv("PATH", saved_path_.c_str(), 1);
    run_shell("rm -rf '" + dir_ + "' '/dev/" + vg_ + "' /dev/mapper/" + vg_ + "-* 2>/dev/null; "
              "rmdir /dev/mapper 2>/dev/null");
}

void fake_tools::on(const std::string &tool, const std::string &snippet)
{
    write_text(dir_ + "/script." + tool, snippet + "\n");
}

void fake_tools::remove(const std::string &tool) { unlink((bin_ + "/" + tool).c_str()); }

void fake_tools::lvcreate_makes_nodes(bool mapper)
{
    std::string make = mapper
        ? "mkdir -p /dev/mapper; mknod \"/dev/mapper/${vg//-/--}-${name//-/--}\" b 240 9\n"
        : "mkdir -p \"/dev/$vg\"; mknod \"/dev/$vg/$name\" b 240 9\n";
    on("lvcreate",
       "args=(\"$@\"); origin=\"${args[-1]}\"; vg=\"${origin%%/*}\"\n"
       "while [ $# -gt 0 ]; do [ \"$1\" = -n ] && name=\"$2\"; shift; done\n" + make);
}

std::vector<std::vector<std::string>> fake_tools::calls() const
{
    std::vector<std::vector<std::string>> out;
    std::istringstream in(slurp(dir_ + "/calls"));
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> words;
        size_t start = 0;
        while (true) {
            size_t tab = line.find('\t', start);
            words.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        out.push_back(words);
    }
    return out;
}

std::vector<std::string> fake_tools::calls_of(const std::string &tool) const
{
    std::vector<std::string> out;
    for (const auto &call : calls()) {
        if (call[0] != tool)
            continue;
        std::string joined;
        for (size_t i = 1; i < call.size(); i++)
            joined += (i > 1 ? " " : "") + call[i];
        out.push_back(joined);
    }
    return out;
}

std::vector<std::string> fake_tools::call_lines() const
{
    std::vector<std::string> out;
    for (const auto &call : calls()) {
        std::string joined;
        for (size_t i = 0; i < call.size(); i++)
            joined += (i > 0 ? " " : "") + call[i];
        out.push_back(joined);
    }
    return out;
}

std::string fake_tools::read(const std::string &name) const { return slurp(path(name)); }

stderr_capture::stderr_capture()
{
    fflush(stderr);
    char path[] = "/tmp/vlt_backup_run_log.XXXXXX";
    file_ = mkstemp(path);
    if (file_ >= 0)
        unlink(path);
    saved_ = dup(2);
    if (file_ >= 0)
        dup2(file_, 2);
}

stderr_capture::~stderr_capture()
{
    restore();
    if (file_ >= 0)
        close(file_);
}

void stderr_capture::restore()
{
    if (saved_ < 0)
        return;
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
}

std::string stderr_capture::text()
{
    restore();
    std::string out;
    char buf[4096];
    off_t off = 0;
    ssize_t n;
    while (file_ >= 0 && (n = pread(file_, buf, sizeof buf, off)) > 0) {
        out.append(buf, static_cast<size_t>(n));
        off += n;
    }
    return out;
}

std::vector<std::string> log_lines(const std::string &captured)
{
    std::vector<std::string> out;
    std::istringstream in(captured);
    std::string line;
    while (std::getline(in, line)) {
        // "<time> [<program>] <LEVEL> message"
        size_t bracket = line.find("] ");
        if (line.size() > 20 && line[4] == '-' && bracket != std::string::npos)
            out.push_back(line.substr(bracket + 2));
        else
            out.push_back(line);
    }
    return out;
}

bool like(const std::string &text, const std::string &pattern)
{
    return fnmatch(pattern.c_str(), text.c_str(), 0) == 0;
}
