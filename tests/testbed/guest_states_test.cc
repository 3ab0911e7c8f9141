// VM run states, qm status, and the guest agent's answers per state,
// including a freeze that takes time inside the guest.
#include <signal.h>
#include <unistd.h>

#include <memory>

#include "tests/testbed/testbed_util.h"

namespace testbed_test {
namespace {

using vlt_test::fault_spec;
using vlt_test::run_result;

class GuestStates : public host_test {
protected:
    // Starts a freeze of VM 101 that takes ms inside the guest and waits
    // until the guest has taken it.
    std::unique_ptr<vlt_test::background_run> start_slow_freeze(int ms) {
        EXPECT_TRUE(host_.add_vm(101, "agent: 1\n"));
        EXPECT_TRUE(host_.set_freeze_time(101, ms));
        auto freeze = host_.start("qm", {"guest", "cmd", "101", "fsfreeze-freeze"});
        EXPECT_TRUE(freeze->started());
        for (int i = 0; i < 1000 && !host_.guest_freezing(101); i++) usleep(10000);
        EXPECT_TRUE(host_.guest_freezing(101));
        return freeze;
    }
};

TEST_F(GuestStates, QmStatusPrintsTheRunState) {
    ASSERT_TRUE(host_.add_vm(101, "agent: 1\n"));
    ASSERT_TRUE(host_.add_vm_with(102, "agent: 1\n", {"--stopped"}));
    ASSERT_TRUE(host_.add_vm_with(103, "agent: 1\n", {"--state", "prelaunch"}));
    for (const char *state : {"paused", "suspended", "inmigrate", "postmigrate", "io-error", "running"}) {
        ASSERT_TRUE(host_.set_run_state(101, state));
        run_result r = tool("qm", {"status", "101"});
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(r.out, std::string("status: ") + state + "\n");
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(tool("qm", {"status", "102"}).out, "status: stopped\n");
    EXPECT_EQ(tool("qm", {"status", "103"}).out, "status: prelaunch\n");
    ASSERT_TRUE(host_.set_run_state(102, "running"));
    EXPECT_EQ(tool("qm", {"status", "102"}).out, "status: running\n");

    run_result r = tool("qm", {"status", "999"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "Configuration file 'nodes/simnode/qemu-server/999.conf' does not exist\n");
    EXPECT_EQ(r.out, "");
    r = tool("qm", {"status"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "400 not enough arguments\nqm status <vmid> [OPTIONS]\n");
    r = tool("qm", {"status", "101", "--bogus"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "400 unable to parse option '--bogus'\n");
    EXPECT_NE(host_.driver({"set-state", "101", "Bad State"}), 0);
}

TEST_F(GuestStates, QmStatusVerboseListsSortedFields) {
    ASSERT_TRUE(host_.add_vm_with(101, "name: db01\nmemory: 2048\ncores: 2\nsockets: 2\nlock: backup\n",
                                  {"--state", "paused"}));
    run_result r = tool("qm", {"status", "101", "--verbose"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out,
              "cpus: 4\n"
              "lock: backup\n"
              "maxmem: 2147483648\n"
              "name: db01\n"
              "qmpstatus: paused\n"
              "status: running\n"
              "uptime: 0\n"
              "vmid: 101\n");
    ASSERT_TRUE(host_.add_vm_with(102, "template: 1\n", {"--stopped"}));
    EXPECT_EQ(tool("qm", {"status", "102", "--verbose"}).out,
              "cpus: 1\n"
              "maxmem: 536870912\n"
              "qmpstatus: stopped\n"
              "status: stopped\n"
              "template: 1\n"
              "uptime: 0\n"
              "vmid: 102\n");
}

TEST_F(GuestStates, AgentAnswersOnlyInARunningGuestWithTheAgentEnabled) {
    ASSERT_TRUE(host_.add_vm(101, "agent: 1,freeze-fs-on-backup=0\n"));
    ASSERT_TRUE(host_.add_vm(102, "agent: enabled=1,fstrim_cloned_disks=1\n"));
    ASSERT_TRUE(host_.add_vm(103, "agent: 0\n"));
    ASSERT_TRUE(host_.add_vm(104, "agent: enabled=0\n"));
    ASSERT_TRUE(host_.add_vm_with(105, "agent: 1\n", {"--stopped"}));
    ASSERT_TRUE(host_.add_vm_with(106, "agent: 1\n", {"--state", "paused"}));
    ASSERT_TRUE(host_.add_vm_with(107, "agent: 0\n", {"--stopped"}));

    // A property string with more than the flag counts as enabled.
    for (long id : {101L, 102L}) {
        run_result r = tool("qm", {"guest", "cmd", std::to_string(id), "fsfreeze-status"});
        EXPECT_EQ(r.exit_status, 0) << id << ": " << r.err;
        EXPECT_EQ(r.out, "thawed\n") << id;
    }
    struct {
        long vmid;
        std::string err;
    } refused[] = {
        {103, "No QEMU guest agent configured\n"},
        {104, "No QEMU guest agent configured\n"},
        {105, "VM 105 is not running\n"},
        {106, "QEMU guest agent is not running\n"},
        {107, "No QEMU guest agent configured\n"},  // the configuration is checked first
    };
    for (const auto &c : refused) {
        for (const char *cmd : {"fsfreeze-freeze", "fsfreeze-thaw", "fsfreeze-status", "ping"}) {
            run_result r = tool("qm", {"guest", "cmd", std::to_string(c.vmid), cmd});
            EXPECT_EQ(r.exit_status, 255) << c.vmid << " " << cmd;
            EXPECT_EQ(r.err, c.err) << c.vmid << " " << cmd;
            EXPECT_EQ(r.out, "") << c.vmid << " " << cmd;
        }
        EXPECT_FALSE(host_.guest_frozen(c.vmid)) << c.vmid;
    }
    // Each state that is not "running" leaves the agent unanswered.
    for (const char *state : {"prelaunch", "suspended", "inmigrate", "postmigrate", "io-error"}) {
        ASSERT_TRUE(host_.set_run_state(106, state));
        run_result r = tool("qm", {"guest", "cmd", "106", "ping"});
        EXPECT_EQ(r.err, "QEMU guest agent is not running\n") << state;
    }
    ASSERT_TRUE(host_.set_run_state(106, "running"));
    EXPECT_EQ(tool("qm", {"guest", "cmd", "106", "fsfreeze-freeze"}).out, "2\n");
}

TEST_F(GuestStates, StoppingAGuestEndsItsFreeze) {
    ASSERT_TRUE(host_.add_vm(101, "agent: 1\n"));
    ASSERT_EQ(tool("qm", {"guest", "cmd", "101", "fsfreeze-freeze"}).exit_status, 0);
    ASSERT_TRUE(host_.guest_frozen(101));
    ASSERT_TRUE(host_.set_run_state(101, "stopped"));
    EXPECT_FALSE(host_.guest_frozen(101));
    std::string report;
    EXPECT_TRUE(host_.check_clean(&report)) << report;
}

TEST_F(GuestStates, SlowFreezeBlocksQmAndKeepsTheAgentBusy) {
    auto freeze = start_slow_freeze(1500);
    ASSERT_FALSE(HasFailure());
    EXPECT_FALSE(host_.guest_frozen(101));

    // Meanwhile every other command misses its ping.
    for (const char *cmd : {"fsfreeze-thaw", "fsfreeze-status", "fsfreeze-freeze", "ping"}) {
        run_result r = tool("qm", {"guest", "cmd", "101", cmd});
        if (!host_.guest_freezing(101)) break;  // a very slow machine: the freeze is over
        EXPECT_EQ(r.exit_status, 255) << cmd;
        EXPECT_EQ(r.err, "QEMU guest agent is not running\n") << cmd;
    }
    std::string report;
    if (host_.guest_freezing(101)) {
        EXPECT_FALSE(host_.check_clean(&report));
        EXPECT_EQ(report, "frozen guest 101\n");
    }

    run_result r = freeze->wait(20000);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "2\n");
    EXPECT_TRUE(host_.guest_frozen(101));
    EXPECT_FALSE(host_.guest_freezing(101));
    std::vector<vlt_test::call_record> all = host_.calls();
    ASSERT_GE(all.size(), 2u);
    EXPECT_GE(all.back().time - all.front().time, 1.5) << "qm returned before the freeze was done";
    EXPECT_EQ(tool("qm", {"guest", "cmd", "101", "fsfreeze-status"}).out, "frozen\n");
    EXPECT_EQ(tool("qm", {"guest", "cmd", "101", "fsfreeze-thaw"}).out, "2\n");
    EXPECT_TRUE(host_.check_clean(&report)) << report;
}

TEST_F(GuestStates, KilledSlowFreezeStillFreezesTheGuestLater) {
    auto freeze = start_slow_freeze(1000);
    ASSERT_FALSE(HasFailure());
    ASSERT_TRUE(freeze->send_signal(SIGTERM));
    run_result r = freeze->wait(10000);
    EXPECT_EQ(r.exit_status, 143);
    EXPECT_EQ(r.out, "");

    // No process is left, yet the guest ends frozen when its freeze completes.
    for (int i = 0; i < 1000 && host_.guest_freezing(101); i++) usleep(10000);
    EXPECT_FALSE(host_.guest_freezing(101));
    EXPECT_TRUE(host_.guest_frozen(101));
    std::string out;
    ASSERT_EQ(host_.driver({"guest", "101"}, &out), 0);
    EXPECT_EQ(out, "agent=answering frozen=1 running=1 fs=2 status=running freezing=0 freeze_ms=1000\n");
    EXPECT_EQ(tool("qm", {"guest", "cmd", "101", "fsfreeze-status"}).out, "frozen\n");
    std::string report;
    EXPECT_FALSE(host_.check_clean(&report));
    EXPECT_EQ(report, "frozen guest 101\n");
    EXPECT_EQ(tool("qm", {"guest", "cmd", "101", "fsfreeze-thaw"}).out, "2\n");
    EXPECT_TRUE(host_.check_clean(&report)) << report;
}

TEST_F(GuestStates, ThawThatKeepsFailingLeavesTheGuestFrozen) {
    ASSERT_TRUE(host_.add_vm(101, "agent: 1\n"));
    fault_spec f;
    f.tool = "qm";
    f.match = "guest cmd 101 fsfreeze-thaw";
    f.times = 0;
    f.exit_code = 255;
    f.text = "VM 101 qga command 'guest-fsfreeze-thaw' failed - got timeout";
    ASSERT_TRUE(host_.add_fault(f));
    ASSERT_EQ(tool("qm", {"guest", "cmd", "101", "fsfreeze-freeze"}).exit_status, 0);
    for (int i = 0; i < 3; i++) {
        run_result r = tool("qm", {"guest", "cmd", "101", "fsfreeze-thaw"});
        EXPECT_EQ(r.exit_status, 255);
        EXPECT_EQ(r.err, f.text + "\n");
        EXPECT_EQ(tool("qm", {"guest", "cmd", "101", "fsfreeze-status"}).out, "frozen\n");
    }
    std::string report;
    EXPECT_FALSE(host_.check_clean(&report));
    EXPECT_EQ(report, "frozen guest 101\n");
}

}  // namespace
}  // namespace testbed_test
