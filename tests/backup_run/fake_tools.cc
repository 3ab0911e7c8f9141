// The fake host tools of the backup-run tests: scripts on a private PATH
// that log their calls, and helpers to read what they saw.
#include "fake_tools.h"

#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "common/storage_lock.h"

namespace {

const char *const kTools[] = {"qm", "pvesm", "lvs", "lvcreate", "lvremove", "lvchange", "udevadm", "vlt_agent", "pvesh"};

void run_shell(const std::string &cmd)
{
    int rc = system(cmd.c_str());
    (void)rc;
}

}  // namespace

fake_tools::fake_tools()
{
    dir_ = tmp_.path();
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
            // lvremove's report of each volume it removed.
            "if [ \"$tool\" = lvremove ]; then lv=${@: -1}; "
            "echo \"  Logical volume \\\"${lv##*/}\\\" successfully removed.\"; fi\n"
            "exit 0\n";
        write_text(bin_ + "/" + tool, script, 0755);
    }
    path_.emplace(bin_);
    // The run's lock and state files stay inside the fixture.
    const char *run_dir = getenv("VLT_RUN_DIR");
    had_run_dir_ = run_dir != nullptr;
    saved_run_dir_ = run_dir != nullptr ? run_dir : "";
    setenv("VLT_RUN_DIR", (dir_ + "/run").c_str(), 1);
    // Proxmox's storage locks of the code under test go here.
    lock_dir_ = dir_ + "/locks";
    pve_lock_dir = lock_dir_.c_str();
}

fake_tools::~fake_tools()
{
    if (had_run_dir_)
        setenv("VLT_RUN_DIR", saved_run_dir_.c_str(), 1);
    else
        unsetenv("VLT_RUN_DIR");
    pve_lock_dir = nullptr;
    path_.reset();
    // /dev/mapper itself stays: a test running next to this one may be
    // about to make its node there.
    run_shell("rm -rf '/dev/" + vg_ + "' /dev/mapper/" + vg_ + "-* 2>/dev/null");
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

void fake_tools::lvs_from_table()
{
    on("lvs",
       // The search for snapshots an earlier run left reads tags and
       // origins from the file lvs-tags (none by default).
       "case \"$*\" in *lv_tags*) cat \"$FAKE_DIR/lvs-tags\" 2>/dev/null; exit 0;; esac\n"
       "names=(vg_name lv_name lv_attr lv_size segtype origin lv_kernel_major lv_kernel_minor pool_lv "
       "data_percent metadata_percent snap_percent)\n"
       "fields=; sel=()\n"
       "while [ $# -gt 0 ]; do case \"$1\" in -o) fields=\"$2\"; shift;; --separator|--units) shift;; -*) ;; "
       "*) sel+=(\"$1\");; esac; shift; done\n"
       "IFS=, read -ra want <<< \"$fields\"\n"
       "row() { local line='  ' first=1 f i v; for f in \"${want[@]}\"; do v=\n"
       "  for i in \"${!names[@]}\"; do [ \"${names[$i]}\" = \"$f\" ] && v=\"${r[$i]}\"; done\n"
       "  [ $first = 1 ] || line+='|'; first=0; line+=\"$v\"; done; printf '%s\\n' \"$line\"; }\n"
       "selected() { [ ${#sel[@]} -eq 0 ] && return 0; local s; for s in \"${sel[@]}\"; do "
       "[ \"$s\" = \"$1\" ] && return 0; done; return 1; }\n"
       "seen=\n"
       "while IFS='|' read -ra r; do [ ${#r[@]} -gt 1 ] || continue; selected \"${r[0]}/${r[1]}\" || continue; "
       "seen+=\" ${r[0]}/${r[1]} \"; row; done < \"$FAKE_DIR/lvtable\"\n"
       "pct=$(cat \"$FAKE_DIR/snap-percent\" 2>/dev/null || echo 0.00)\n"
       "for s in \"${sel[@]}\"; do case \"$s\" in *_vltsnap) [[ $seen == *\" $s \"* ]] && continue\n"
       "  r=(\"${s%%/*}\" \"${s#*/}\" swi-a-s--- 4194304 linear \"${s#*/}\" 240 9 '' \"$pct\" '' \"$pct\"); row;; esac; done\n"
       "exit 0");
}

void fake_tools::add_lv_row(const std::string &row)
{
    write_text(path("lvtable"), read("lvtable") + row + "\n");
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

std::vector<std::string> fake_tools::read_lines(const std::string &name) const
{
    std::vector<std::string> out;
    std::string text = read(name);
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        out.push_back(text.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
        if (nl == std::string::npos)
            break;
        start = nl + 1;
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
