#include "fault/matrix_cases.h"

#include <signal.h>

#include <map>

namespace fault_matrix {
namespace {

const char *const kTools[] = {"qm",       "pvesm",     "pvesh",   "lvs",       "lvcreate",
                              "lvremove", "lvchange",  "udevadm", "vlt_agent", "vlt_restore"};

bool starts_with(const std::string &s, const std::string &prefix) { return s.rfind(prefix, 0) == 0; }

// The calls whose time limit a case can wait out: the guest-agent commands
// get --freeze-timeout 1; udevadm settle has 10 seconds. Every other call
// has 30 seconds or more (or none: the engine's), too long for a case.
bool hang_testable(const std::string &tool, const std::string &args)
{
    return (tool == "qm" && starts_with(args, "guest cmd ")) || (tool == "udevadm" && starts_with(args, "settle"));
}

// The representative cases of the normal test run: one of each kind, on
// calls of every phase (configuration, freeze, snapshot, agent, removal;
// allocation, engine), kept few so that the sanitizer build stays quick.
struct slice_entry {
    program prog;
    const char *tool;
    const char *args_part;  // a part of the call's arguments
    fault_kind kind;
};
const slice_entry kSlice[] = {
    {program::backup, "qm", "config", fault_kind::garbage_nul},
    {program::backup, "lvs", "lv_tags", fault_kind::missing},
    {program::backup, "qm", "fsfreeze-freeze", fault_kind::hang},
    {program::backup, "lvcreate", "vm-101-disk-1_vltsnap", fault_kind::fail},
    {program::backup, "lvcreate", "vm-101-disk-1_vltsnap", fault_kind::sig_kill},
    {program::backup, "vlt_agent", "nightly-scsi0", fault_kind::sig_term},
    {program::backup, "vlt_agent", "nightly-virtio1", fault_kind::fail},
    {program::backup, "lvremove", "vm-101-disk-0_vltsnap", fault_kind::fail},
    {program::restore, "pvesm", "alloc thick", fault_kind::garbage_random},
    {program::restore, "vlt_restore", "nightly-virtio1", fault_kind::sig_int},
    {program::restore, "vlt_restore", "nightly-vmconfig", fault_kind::fail},
};

bool in_slice(const case_def &c, const slice_entry &e)
{
    return c.prog == e.prog && c.tool == e.tool && c.kind == e.kind && c.args.find(e.args_part) != std::string::npos;
}

}  // namespace

const char *kind_name(fault_kind k)
{
    switch (k) {
    case fault_kind::fail: return "fail";
    case fault_kind::missing: return "missing";
    case fault_kind::garbage_random: return "random";
    case fault_kind::garbage_empty: return "empty";
    case fault_kind::garbage_huge: return "huge";
    case fault_kind::garbage_nul: return "nul";
    case fault_kind::hang: return "hang";
    case fault_kind::sig_term: return "SIGTERM";
    case fault_kind::sig_int: return "SIGINT";
    case fault_kind::sig_hup: return "SIGHUP";
    case fault_kind::sig_kill: return "SIGKILL";
    }
    return "?";
}

int signal_of(fault_kind k)
{
    switch (k) {
    case fault_kind::sig_term: return SIGTERM;
    case fault_kind::sig_int: return SIGINT;
    case fault_kind::sig_hup: return SIGHUP;
    case fault_kind::sig_kill: return SIGKILL;
    default: return 0;
    }
}

bool is_outside_tool(const std::string &tool)
{
    for (const char *t : kTools)
        if (tool == t)
            return true;
    return false;
}

vlt_test::fault_spec fault_for(const case_def &c)
{
    vlt_test::fault_spec f;
    f.tool = c.tool;
    f.nth = c.nth;
    f.times = 1;
    switch (c.kind) {
    case fault_kind::fail:
        f.action = vlt_test::fault_spec::fail;
        // Each tool's own way of failing: Proxmox's tools exit 255, LVM's 5.
        f.exit_code = (c.tool == "qm" || c.tool == "pvesm" || c.tool == "pvesh") ? 255
                      : (c.tool.rfind("lv", 0) == 0)                             ? 5
                                                                                 : 1;
        f.text = "matrix: " + c.tool + " failed on purpose";
        break;
    case fault_kind::missing: f.action = vlt_test::fault_spec::missing; break;
    case fault_kind::garbage_random:
    case fault_kind::garbage_empty:
    case fault_kind::garbage_huge:
    case fault_kind::garbage_nul:
        f.action = vlt_test::fault_spec::garbage_out;
        f.garbage = kind_name(c.kind);
        break;
    case fault_kind::hang: f.action = vlt_test::fault_spec::hang; break;
    case fault_kind::sig_term:
    case fault_kind::sig_int:
    case fault_kind::sig_hup:
    case fault_kind::sig_kill:
        f.action = vlt_test::fault_spec::signal_caller;
        f.sig = signal_of(c.kind);
        break;
    }
    return f;
}

std::vector<std::string> names_of(const case_def &c)
{
    std::vector<std::string> words = {c.tool};
    // The subject of the call: a volume id's volume, the snapshot of lvcreate
    // -n and lvremove, the job of an agent.
    std::string args = " " + c.args + " ";
    for (const char *key : {" -n ", " --name "}) {
        size_t at = args.find(key);
        if (at != std::string::npos) {
            size_t from = at + std::string(key).size();
            words.push_back(args.substr(from, args.find(' ', from) - from));
        }
    }
    // The listing that resolves a disk: a disk lvs does not list (no lvm
    // tools, nothing readable) is refused as not on LVM, naming the disk.
    if (c.tool == "lvs" && c.args.find("lv_kernel_major") != std::string::npos)
        words.push_back("not LVM-backed");
    if (c.tool == "lvremove" || (c.tool == "pvesm" && starts_with(c.args, "path "))) {
        size_t from = args.find_last_of("/:", args.size() - 2) + 1;
        words.push_back(args.substr(from, args.size() - 1 - from));
    }
    return words;
}

expectation expected_outcome(const case_def &c)
{
    expectation e;
    if (signal_of(c.kind) != 0)
        return e;
    if (c.prog == program::backup && c.tool == "qm" && c.args.find(" fsfreeze-thaw") != std::string::npos) {
        e.tolerated = true;
        e.why = "a thaw not carried out is sent again after fsfreeze-status until the guest reads thawed";
    } else if (c.prog == program::backup && c.tool == "lvs" && c.args.find("lv_tags") != std::string::npos &&
               c.kind != fault_kind::fail && c.kind != fault_kind::missing) {
        e.tolerated = true;
        e.why = "the tag listing only finds left snapshots to remove: an unreadable one removes nothing, and "
                "lvcreate refuses a name still taken";
    } else if (c.tool == "lvremove" && c.kind != fault_kind::hang) {
        e.tolerated = true;
        e.why = "lvremove is tried five times, and a removal counts only with lvremove's line for the volume";
    } else if ((c.tool == "vlt_agent" || (c.tool == "vlt_restore" && c.args.find("-vmconfig-") == std::string::npos)) &&
               c.kind != fault_kind::fail && c.kind != fault_kind::missing && c.kind != fault_kind::hang) {
        e.tolerated = true;
        e.why = "the engine's exit status is its report; its output is only passed on";
        e.engine_took_at_its_word = true;
    }
    return e;
}

std::vector<case_def> cases_of(program p, const std::vector<vlt_test::call_record> &calls, bool slice)
{
    std::vector<case_def> cases;
    std::map<std::string, int> nth;
    int position = 0;
    for (const vlt_test::call_record &rec : calls) {
        if (rec.is_end || !is_outside_tool(rec.tool))
            continue;
        position++;
        case_def base;
        base.prog = p;
        base.position = position;
        base.tool = rec.tool;
        base.nth = ++nth[rec.tool];
        base.args = rec.joined();
        for (fault_kind k : {fault_kind::fail, fault_kind::missing, fault_kind::garbage_random,
                             fault_kind::garbage_empty, fault_kind::garbage_huge, fault_kind::garbage_nul,
                             fault_kind::hang, fault_kind::sig_term, fault_kind::sig_int, fault_kind::sig_hup,
                             fault_kind::sig_kill}) {
            if (k == fault_kind::hang && !hang_testable(rec.tool, base.args))
                continue;
            case_def c = base;
            c.kind = k;
            bool wanted = !slice;
            for (const slice_entry &e : kSlice)
                wanted = wanted || in_slice(c, e);
            if (wanted)
                cases.push_back(c);
        }
    }
    return cases;
}

std::string missing_slice_cases(const std::vector<case_def> &cases)
{
    std::string missing;
    for (const slice_entry &e : kSlice) {
        bool found = false;
        for (const case_def &c : cases)
            found = found || in_slice(c, e);
        if (!found)
            missing += std::string(e.prog == program::backup ? "backup " : "restore ") + e.tool + " ..." +
                       e.args_part + "... " + kind_name(e.kind) + "\n";
    }
    return missing;
}

}  // namespace fault_matrix
