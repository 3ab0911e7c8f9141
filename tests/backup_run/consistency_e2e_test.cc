// Every kind of VM a node has, under every consistency policy, on the
// simulated host: which guest-agent commands vlt_proxmox sends, its exit
// status, its warnings and errors, and the consistency its summary names.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "fake_tools.h"
#include "tests/support/simhost.h"

namespace {

using strings = std::vector<std::string>;

enum vm_kind { answering, absent, hanging, disabled, freeze_off, paused, stopped, template_vm };

const char *const kind_names[] = {"AnsweringAgent", "AgentAbsent", "AgentHanging", "AgentDisabled",
                                  "FreezeOffInTheAgentSetting", "Paused", "Stopped", "Template"};
const char *const policies[] = {"fs", "try", "crash"};

struct expectation {
    strings guest_commands;  // the qm guest cmd commands sent, in order
    int exit_status;
    strings complaints;      // the WARN and ERROR lines
    std::string word;        // the summary's consistency word; empty: no summary
    std::string note;        // an INFO line the run must have logged, or empty
    bool status_polls = false;  // after the commands, fsfreeze-status asked until the deadline
};

const std::string kRefusalTail = "): --consistency try backs it up crash-consistent";
const std::string kAbsent = "qm guest cmd 101 fsfreeze-freeze failed: QEMU guest agent is not running";
const std::string kTimedOut = "qm guest cmd 101 fsfreeze-freeze timed out after 1 s";
// The hanging agent's thaw is retried with status checks until the
// deadline (VLT_THAW_DEADLINE=2), then given up: the guest may be frozen.
const std::string kThawTimedOut =
    "WARN  VM 101: the guest could not be confirmed thawed within 2 s (qm guest cmd 101 fsfreeze-status timed out "
    "after 1 s) (the guest may still be frozen -- check manually)";
const std::string kMayBeFrozen =
    "ERROR VM 101: the guest may still be frozen: its thaw could not be confirmed (every disk was backed up); check it "
    "with 'qm guest cmd 101 fsfreeze-status'";
const std::string kNotEnabled = "the guest agent is not enabled in the VM's configuration";
const std::string kPaused = "the VM's run state is paused";

std::string refused(const std::string &cause) { return "ERROR VM 101: cannot freeze the guest (" + cause + kRefusalTail; }
std::string crash_warning(const std::string &cause) { return "WARN  VM 101: backing up crash-consistent (" + cause + ")"; }

expectation expected(vm_kind kind, const std::string &policy)
{
    const strings freeze_thaw = {"fsfreeze-freeze", "fsfreeze-thaw"};
    const bool fs = policy == "fs", crash = policy == "crash";
    switch (kind) {
    case answering:
        return crash ? expectation{{}, 0, {}, "crash", ""} : expectation{freeze_thaw, 0, {}, "fs", ""};
    case absent:
        // qm refuses before anything reaches the guest: no thaw is sent.
        if (crash)
            return {{}, 0, {}, "crash", ""};
        return fs ? expectation{{"fsfreeze-freeze"}, 1, {refused(kAbsent)}, "", ""}
                  : expectation{{"fsfreeze-freeze"}, 0, {crash_warning(kAbsent)}, "crash", ""};
    case hanging:
        // A freeze that timed out may still happen: it gets its thaw, and a
        // thaw that cannot be confirmed fails the run, also after a
        // crash-consistent backup.
        if (crash)
            return {{}, 0, {}, "crash", ""};
        return fs ? expectation{freeze_thaw, 1, {kThawTimedOut, refused(kTimedOut)}, "", "", true}
                  : expectation{freeze_thaw, 1, {kThawTimedOut, crash_warning(kTimedOut), kMayBeFrozen}, "crash", "",
                                true};
    case disabled:
        // No guest-agent call at all: no 60 s wait for an agent that is not there.
        if (crash)
            return {{}, 0, {}, "crash", ""};
        return fs ? expectation{{}, 1, {refused(kNotEnabled)}, "", ""}
                  : expectation{{}, 0, {crash_warning(kNotEnabled)}, "crash", ""};
    case freeze_off:
        return {{}, 0, {}, "crash",
                "INFO  VM 101: the VM's own setting turns the freeze off (agent: 1,freeze-fs-on-backup=0): snapshots "
                "without a freeze, crash-consistent"};
    case paused:
        if (crash)
            return {{}, 0, {}, "crash", ""};
        return fs ? expectation{{}, 1, {refused(kPaused)}, "", ""}
                  : expectation{{}, 0, {crash_warning(kPaused)}, "crash", ""};
    case stopped:
        return {{}, 0, {}, "stopped", "INFO  VM 101 is stopped: its disks are consistent without a freeze"};
    case template_vm:
        return {{}, 0, {}, "stopped", "INFO  VM 101 is a template: its disks are consistent without a freeze"};
    }
    return {};
}

class StateTimesPolicy : public ::testing::TestWithParam<std::tuple<vm_kind, const char *>> {
protected:
    vlt_test::sim_host host_;
    vlt_test::temp_dir out_{"vlt_consistency_out"};
};

TEST_P(StateTimesPolicy, CallsExitStatusWarningsAndConsistency)
{
    VLT_REQUIRE_SIM_HOST(host_);
    const vm_kind kind = std::get<0>(GetParam());
    const std::string policy = std::get<1>(GetParam());
    ASSERT_TRUE(host_.add_storage("local-lvm", "lvmthin"));
    std::string disk = "vm-101-disk-0";
    std::string agent = "agent: 1\n";
    if (kind == disabled)
        agent = "agent: 0\n";
    if (kind == freeze_off)
        agent = "agent: 1,freeze-fs-on-backup=0\n";
    if (kind == template_vm)
        disk = "base-101-disk-0";
    std::string config = agent + "memory: 512\nscsi0: local-lvm:" + disk + ",size=4M\n";
    if (kind == template_vm)
        config += "template: 1\n";
    strings vm_options;
    if (kind == stopped || kind == template_vm)
        vm_options.push_back("--stopped");
    if (kind == paused)
        vm_options.insert(vm_options.end(), {"--state", "paused"});
    ASSERT_TRUE(host_.add_vm_with(101, config, vm_options));
    if (kind == template_vm) {
        ASSERT_TRUE(host_.add_lv_with("local-lvm", disk, 4u << 20, {"--read-only", "--skip"}));
    } else {
        ASSERT_TRUE(host_.add_lv_random("local-lvm", disk, 4u << 20, 5));
    }
    if (kind == absent || kind == hanging) {
        ASSERT_TRUE(host_.set_agent(101, kind == absent ? "absent" : "hanging"));
    }
    ASSERT_TRUE(host_.clear_calls());

    // Only the hanging agent gets a short time limit: an answering one must
    // never be cut off by a busy machine.
    auto r = host_.run(vlt_test::backup_program(),
                       {"--vmid", "101", "--pve-dir", host_.pve_dir(), "--consistency", policy, "--freeze-timeout",
                        kind == hanging ? "1" : "60", "--no-vmconfig", "--", "--out", out_.path(), "--no-progress"},
                       kind == hanging ? strings{"VLT_THAW_DEADLINE=2"} : strings{});
    const expectation want = expected(kind, policy);

    strings guest_commands;
    for (const auto &c : host_.calls_of("qm")) {
        if (c.args.size() == 4 && c.args[0] == "guest" && c.args[1] == "cmd" && c.args[2] == "101")
            guest_commands.push_back(c.args[3]);
        else
            EXPECT_TRUE(c.joined() == "config 101 --current" || c.joined() == "status 101") << c.joined();
    }
    if (want.status_polls) {
        ASSERT_GT(guest_commands.size(), want.guest_commands.size());
        for (size_t i = want.guest_commands.size(); i < guest_commands.size(); i++)
            EXPECT_EQ(guest_commands[i], "fsfreeze-status");
        guest_commands.resize(want.guest_commands.size());
    }
    EXPECT_EQ(guest_commands, want.guest_commands);
    EXPECT_EQ(r.exit_status, want.exit_status) << r.err;

    strings lines = log_lines(r.err), complaints;
    for (const std::string &l : lines)
        if (l.rfind("WARN", 0) == 0 || l.rfind("ERROR", 0) == 0)
            complaints.push_back(l);
    EXPECT_EQ(complaints, want.complaints) << r.err;
    if (!want.note.empty()) {
        EXPECT_NE(std::find(lines.begin(), lines.end(), want.note), lines.end()) << r.err;
    }

    if (want.word.empty()) {
        // Refused before the snapshots: nothing taken, no summary.
        EXPECT_TRUE(host_.calls_of("lvcreate").empty());
        for (const std::string &l : lines)
            EXPECT_EQ(l.find("consistency: "), std::string::npos) << l;
    } else {
        EXPECT_EQ(host_.calls_of("lvcreate").size(), 1u);
        ASSERT_FALSE(lines.empty());
        EXPECT_TRUE(like(lines.back(), std::string("INFO  VM 101: backup ") +
                                           (want.exit_status == 0 ? "finished" : "failed") +
                                           ", consistency: " + want.word + " (*)"))
            << lines.back();
        // A set without a freeze says so in place of the consistency window.
        const std::string window = want.word == "fs" ? "INFO  VM 101: consistency window (guest quiesced until thawed): *"
                                   : want.word == "stopped" ? "INFO  VM 101: no freeze needed (*): snapshots took *"
                                                            : "INFO  VM 101: crash-consistent, no freeze (*): snapshots took *";
        bool found = false;
        for (const std::string &l : lines)
            found = found || like(l, window);
        EXPECT_TRUE(found) << r.err;
    }
    EXPECT_FALSE(host_.guest_frozen(101));
    std::string report;
    if (want.status_polls) {
        // What the run could not confirm, its state file keeps for the next.
        EXPECT_FALSE(host_.check_clean(&report));
        EXPECT_EQ(report, "run state " + host_.run_dir() + "/101.state\n");
    } else {
        EXPECT_TRUE(host_.check_clean(&report)) << report;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryVmKind, StateTimesPolicy,
                         ::testing::Combine(::testing::Values(answering, absent, hanging, disabled, freeze_off, paused,
                                                              stopped, template_vm),
                                            ::testing::ValuesIn(policies)),
                         [](const ::testing::TestParamInfo<StateTimesPolicy::ParamType> &info) {
                             return std::string(kind_names[std::get<0>(info.param)]) + "_" +
                                    std::get<1>(info.param);
                         });

}  // namespace
