// The simhost driver: call log, faults, delays, check-clean and teardown.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "tests/testbed/testbed_util.h"

namespace testbed_test {
namespace {

using vlt_test::call_record;
using vlt_test::fault_spec;
using vlt_test::run_result;

constexpr uint64_t kMiB = 1024 * 1024;

TEST(CallLog, ParsesCallAndEndLines) {
    call_record r;
    ASSERT_TRUE(vlt_test::parse_call_line("1700000000.123456\t42\tcall\tpvesm\talloc\tlocal-lvm\t105\t\t1024K", &r));
    EXPECT_DOUBLE_EQ(r.time, 1700000000.123456);
    EXPECT_EQ(r.pid, 42);
    EXPECT_FALSE(r.is_end);
    EXPECT_EQ(r.tool, "pvesm");
    EXPECT_EQ(r.args, (std::vector<std::string>{"alloc", "local-lvm", "105", "", "1024K"}));
    EXPECT_EQ(r.joined(), "alloc local-lvm 105  1024K");

    ASSERT_TRUE(vlt_test::parse_call_line("1.5\t42\tend\tpvesm\t255", &r));
    EXPECT_TRUE(r.is_end);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_TRUE(r.args.empty());

    ASSERT_TRUE(vlt_test::parse_call_line("1.5\t7\tcall\tqm\ta\\tb\\nc\\\\d\\re", &r));
    EXPECT_EQ(r.args, (std::vector<std::string>{"a\tb\nc\\d\re"}));
    ASSERT_TRUE(vlt_test::parse_call_line("1.5\t7\tcall\tqm", &r));
    EXPECT_TRUE(r.args.empty());
}

TEST(CallLog, RejectsMalformedLines) {
    call_record r;
    for (const char *bad : {"", "x\t1\tcall\tqm", "1.0\tx\tcall\tqm", "1.0\t1\tstart\tqm", "1.0\t1\tcall\t",
                            "1.0\t1\tend\tqm", "1.0\t1\tend\tqm\t1\t2", "1.0\t1\tend\tqm\tx"})
        EXPECT_FALSE(vlt_test::parse_call_line(bad, &r)) << bad;
}

TEST(CallLog, ToolSecondsPairsCallsWithTheirEnds) {
    std::vector<call_record> recs;
    for (const char *line : {"10.0\t1\tcall\tlvcreate\t-s", "10.5\t2\tcall\tqm\tguest",  // nested by pid
                             "10.25\t1\tend\tlvcreate\t0", "11.0\t3\tcall\tlvcreate\t-s",
                             "11.5\t3\tend\tlvcreate\t5", "12.0\t4\tcall\tlvs"}) {  // lvs never ended
        call_record r;
        ASSERT_TRUE(vlt_test::parse_call_line(line, &r)) << line;
        recs.push_back(r);
    }
    std::map<std::string, double> t = vlt_test::tool_seconds(recs);
    EXPECT_DOUBLE_EQ(t["lvcreate"], 0.75);
    EXPECT_EQ(t.count("qm"), 0u);
    EXPECT_EQ(t.count("lvs"), 0u);
}

TEST(RandomBytes, AreDeterministicPerSeed) {
    EXPECT_EQ(vlt_test::random_bytes(1000, 1), vlt_test::random_bytes(1000, 1));
    EXPECT_NE(vlt_test::random_bytes(1000, 1), vlt_test::random_bytes(1000, 2));
    EXPECT_EQ(vlt_test::random_bytes(13, 5).size(), 13u);
    EXPECT_EQ(vlt_test::sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

class Driver : public host_test {};

TEST_F(Driver, EveryCallIsLoggedWithItsArgumentsAndEnd) {
    ASSERT_TRUE(host_.add_vm(101, "agent: 1\n"));
    ASSERT_EQ(tool("pvesm", {"alloc", "local-lvm", "101", "", "1K"}).exit_status, 255);
    ASSERT_EQ(tool("qm", {"guest", "cmd", "101", "fsfreeze-freeze"}).exit_status, 0);
    ASSERT_EQ(tool("qm", {"config", "101", "tab\there\nnewline"}).exit_status, 255);
    std::vector<call_record> all = host_.calls();
    ASSERT_EQ(all.size(), 6u);
    EXPECT_EQ(all[0].tool, "pvesm");
    EXPECT_EQ(all[0].args, (std::vector<std::string>{"alloc", "local-lvm", "101", "", "1K"}));
    EXPECT_TRUE(all[1].is_end);
    EXPECT_EQ(all[1].pid, all[0].pid);
    EXPECT_EQ(all[1].exit_status, 255);
    EXPECT_EQ(all[2].joined(), "guest cmd 101 fsfreeze-freeze");
    EXPECT_EQ(all[3].exit_status, 0);
    EXPECT_EQ(all[4].args[2], "tab\there\nnewline");
    for (size_t i = 1; i < all.size(); i++) EXPECT_LE(all[i - 1].time, all[i].time);
    EXPECT_EQ(host_.calls_of("qm").size(), 2u);

    ASSERT_TRUE(host_.clear_calls());
    EXPECT_TRUE(host_.calls().empty());
}

TEST_F(Driver, FaultFiresAtTheNthMatchingCallOnly) {
    ASSERT_TRUE(host_.add_lv("local-lvm", "vm-101-disk-0", 4 * kMiB));
    fault_spec f;
    f.tool = "pvesm";
    f.match = "path";
    f.nth = 2;
    f.exit_code = 9;
    f.text = "storage is on fire";
    ASSERT_TRUE(host_.add_fault(f));
    // Other sub-commands do not count.
    EXPECT_EQ(tool("pvesm", {"alloc", "local-lvm", "101", "", "4M"}).exit_status, 0);
    run_result r1 = tool("pvesm", {"path", "local-lvm:vm-101-disk-0"});
    run_result r2 = tool("pvesm", {"path", "local-lvm:vm-101-disk-0"});
    run_result r3 = tool("pvesm", {"path", "local-lvm:vm-101-disk-0"});
    EXPECT_EQ(r1.exit_status, 0);
    EXPECT_EQ(r2.exit_status, 9);
    EXPECT_EQ(r2.err, "storage is on fire\n");
    EXPECT_EQ(r2.out, "");
    EXPECT_EQ(r3.exit_status, 0);
    EXPECT_EQ(r3.out, "/dev/" + host_.vg() + "/vm-101-disk-0\n");
}

TEST_F(Driver, FaultMatchesGlobWordsAndRepeats) {
    ASSERT_TRUE(host_.add_vm(101, "agent: 1\n"));
    fault_spec f;
    f.tool = "qm";
    f.match = "guest cmd * fsfreeze-thaw";
    f.times = 0;  // every thaw
    f.exit_code = 255;
    f.text = "VM 101 qga command 'guest-fsfreeze-thaw' failed - got timeout";
    ASSERT_TRUE(host_.add_fault(f));
    EXPECT_EQ(tool("qm", {"guest", "cmd", "101", "fsfreeze-freeze"}).exit_status, 0);
    for (int i = 0; i < 2; i++) {
        run_result r = tool("qm", {"guest", "cmd", "101", "fsfreeze-thaw"});
        EXPECT_EQ(r.exit_status, 255);
        EXPECT_EQ(r.err, f.text + "\n");
    }
    // The failed thaws changed nothing: the guest is still frozen.
    EXPECT_TRUE(host_.guest_frozen(101));
    ASSERT_TRUE(host_.clear_faults());
    EXPECT_EQ(tool("qm", {"guest", "cmd", "101", "fsfreeze-thaw"}).out, "2\n");
    EXPECT_FALSE(host_.guest_frozen(101));
}

TEST_F(Driver, PrintFaultAnswersWithGivenOutput) {
    fault_spec f;
    f.tool = "pvesm";
    f.match = "alloc";
    f.action = fault_spec::print_out;
    f.exit_code = 0;
    f.text = "successfully created 'local-lvm'";
    ASSERT_TRUE(host_.add_fault(f));
    run_result r = tool("pvesm", {"alloc", "local-lvm", "105", "", "4M"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "successfully created 'local-lvm'\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(host_.lv_names(), std::vector<std::string>{"data"}) << "nothing was allocated";
}

TEST_F(Driver, MissingToolExits127) {
    fault_spec f;
    f.tool = "lvs";
    f.action = fault_spec::missing;
    f.nth = 2;
    f.times = 2;
    ASSERT_TRUE(host_.add_fault(f));
    EXPECT_EQ(lvs_listing().exit_status, 0);
    run_result r = lvs_listing();
    EXPECT_EQ(r.exit_status, 127);
    EXPECT_EQ(r.err, "lvs: command not found\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(lvs_listing().exit_status, 127);
    EXPECT_EQ(lvs_listing().exit_status, 0);  // calls 2 and 3 only
}

TEST_F(Driver, HangingToolEndsOnSigterm) {
    fault_spec f;
    f.tool = "lvcreate";
    f.action = fault_spec::hang;
    ASSERT_TRUE(host_.add_fault(f));
    ASSERT_TRUE(host_.add_lv("thick", "vm-101-disk-0", 4 * kMiB));
    auto bg = host_.start("lvcreate", {"-s", "-y", "-n", "s", "-L", "4m", host_.vg() + "/vm-101-disk-0"});
    ASSERT_TRUE(bg->started());
    ASSERT_TRUE(host_.wait_for_call("lvcreate", "-s -y -n s", 10000));
    EXPECT_FALSE(host_.wait_for_call("lvcreate", "-s -y -n other", 100));
    EXPECT_EQ(bg->wait(300).exit_status, -1);
    // Only the fake itself gets the signal: it must still end at once.
    ASSERT_TRUE(bg->send_signal(SIGTERM));
    run_result r = bg->wait(10000);
    EXPECT_EQ(r.exit_status, 143);
    EXPECT_FALSE(host_.lv_exists(host_.vg(), "s"));
    std::vector<call_record> all = host_.calls();
    ASSERT_FALSE(all.empty());
    EXPECT_TRUE(all.back().is_end);
    EXPECT_EQ(all.back().exit_status, 143);
}

// Callers send SIGTERM to a tool's group and then to the tool: a signal that
// comes while the fake is already exiting must not cost the end line nor
// change the status it logged.
TEST_F(Driver, SignalsDuringTheExitKeepTheEndLine) {
    fault_spec f;
    f.tool = "lvcreate";
    f.action = fault_spec::hang;
    f.times = 0;
    ASSERT_TRUE(host_.add_fault(f));
    // The window is short: try it a few times.
    for (int round = 0; round < 8; round++) {
        std::string name = "s" + std::to_string(round);
        auto bg = host_.start("lvcreate", {"-s", "-y", "-n", name, "-L", "4m", host_.vg() + "/vm-101-disk-0"});
        ASSERT_TRUE(bg->started());
        ASSERT_TRUE(host_.wait_for_call("lvcreate", "-s -y -n " + name, 10000));
        ASSERT_TRUE(bg->send_signal(SIGTERM));
        // More signals, one every half millisecond, until the fake is gone.
        run_result r;
        for (int i = 0; i < 20000; i++) {
            r = bg->wait(0);
            if (r.exit_status != -1 || r.term_signal != 0)
                break;
            kill(bg->pid(), i % 2 == 0 ? SIGHUP : SIGINT);
            usleep(500);
        }
        // Whichever signal the fake took first ends it, and its end line
        // says so.
        EXPECT_TRUE(r.exit_status == 143 || r.exit_status == 129 || r.exit_status == 130)
            << "round " << round << ": " << r.exit_status;
        std::vector<call_record> all = host_.calls();
        ASSERT_EQ(all.size(), 2u * (round + 1)) << "round " << round;
        EXPECT_TRUE(all.back().is_end);
        EXPECT_EQ(all.back().exit_status, r.exit_status) << "round " << round;
    }
}

TEST_F(Driver, DelayMakesEachCallTakeLonger) {
    ASSERT_TRUE(host_.set_delay("pvesh", 150));
    ASSERT_EQ(tool("pvesh", {"get", "/cluster/nextid"}).exit_status, 0);
    std::vector<call_record> all = host_.calls();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_GE(all[1].time - all[0].time, 0.150);
}

TEST_F(Driver, SnapshotWhoseNodeNeverAppears) {
    const std::string &vg = host_.vg();
    ASSERT_TRUE(host_.add_lv("local-lvm", "vm-101-disk-0", 4 * kMiB));
    ASSERT_TRUE(host_.add_lv("local-lvm", "vm-101-disk-1", 4 * kMiB));
    fault_spec f;
    f.tool = "lvcreate";
    f.action = fault_spec::no_node;
    ASSERT_TRUE(host_.add_fault(f));
    f.action = fault_spec::late_node;
    f.nth = 2;
    ASSERT_TRUE(host_.add_fault(f));
    struct stat st;

    ASSERT_EQ(tool("lvcreate", {"-s", "-y", "-kn", "-n", "a", vg + "/vm-101-disk-0"}).exit_status, 0);
    ASSERT_EQ(tool("lvcreate", {"-s", "-y", "-kn", "-n", "b", vg + "/vm-101-disk-1"}).exit_status, 0);
    EXPECT_TRUE(host_.lv_exists(vg, "a"));
    EXPECT_NE(lstat(host_.lv_device(vg, "a").c_str(), &st), 0);
    EXPECT_NE(lstat(host_.lv_device(vg, "b").c_str(), &st), 0);

    ASSERT_EQ(tool("udevadm", {"settle", "-t", "5"}).exit_status, 0);
    EXPECT_NE(lstat(host_.lv_device(vg, "a").c_str(), &st), 0) << "a never appears";
    ASSERT_EQ(stat(host_.lv_device(vg, "b").c_str(), &st), 0) << "b appears after settle";
    EXPECT_TRUE(S_ISBLK(st.st_mode));
    // Still listed with its device numbers, and removable.
    EXPECT_EQ(tool("lvremove", {"-f", "-y", vg + "/a"}).exit_status, 0);
    EXPECT_EQ(tool("lvremove", {"-f", "-y", vg + "/b"}).exit_status, 0);
    std::string report;
    EXPECT_TRUE(host_.check_clean(&report)) << report;
}

TEST_F(Driver, CheckCleanIsQuietOnACleanHost) {
    ASSERT_TRUE(host_.add_vm(101, "agent: 1\n"));
    ASSERT_TRUE(host_.add_lv("local-lvm", "vm-101-disk-0", 4 * kMiB));
    ASSERT_TRUE(host_.add_lv("thick", "vm-101-disk-1", 4 * kMiB));
    std::string report = "x";
    EXPECT_TRUE(host_.check_clean(&report));
    EXPECT_EQ(report, "");
}

TEST_F(Driver, CheckCleanReportsSnapshotsAndFrozenGuests) {
    const std::string &vg = host_.vg();
    ASSERT_TRUE(host_.add_vm(101, "agent: 1\n"));
    ASSERT_TRUE(host_.add_lv("local-lvm", "vm-101-disk-0", 4 * kMiB));
    ASSERT_TRUE(host_.add_lv("thick", "vm-101-disk-1", 4 * kMiB));
    ASSERT_EQ(tool("lvcreate", {"-s", "-y", "-kn", "-n", "vm-101-disk-0_vltsnap", vg + "/vm-101-disk-0"}).exit_status, 0);
    ASSERT_EQ(tool("lvcreate", {"-s", "-y", "-n", "other", "-L", "4m", "--addtag", "vlt_agent", vg + "/vm-101-disk-1"}).exit_status, 0);
    ASSERT_EQ(tool("lvcreate", {"-s", "-y", "-n", "notours", "-L", "4m", "--addtag", "vlt_agentx", vg + "/vm-101-disk-1"}).exit_status, 0);
    ASSERT_EQ(tool("qm", {"guest", "cmd", "101", "fsfreeze-freeze"}).exit_status, 0);
    std::string report;
    EXPECT_FALSE(host_.check_clean(&report));
    EXPECT_EQ(lines_of(report), (std::vector<std::string>{"snapshot " + vg + "/other",
                                                          "snapshot " + vg + "/vm-101-disk-0_vltsnap",
                                                          "frozen guest 101"}));
}

TEST_F(Driver, CheckCleanReportsStrayNodesAndLoopDevices) {
    const std::string &vg = host_.vg();
    ASSERT_TRUE(host_.add_lv("thick", "vm-101-disk-0", 4 * kMiB));
    std::string stray = "/dev/" + vg + "/stray";
    ASSERT_EQ(symlink("/dev/null", stray.c_str()), 0);
    std::string file = host_.root() + "/data/" + vg + "/leak.img";
    ASSERT_TRUE(vlt_test::write_file(file, std::string(1 << 20, '\0')));
    run_result r = host_.run("losetup", {"--find", "--show", file});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    std::string loop = r.out.substr(0, r.out.find('\n'));
    std::string report;
    EXPECT_FALSE(host_.check_clean(&report));
    EXPECT_EQ(lines_of(report), (std::vector<std::string>{"device node " + stray, "loop device " + loop + " (" + file + ")"}));

    // Teardown detaches the leaked loop device too and removes /dev/<VG>,
    // even while a prober still holds the device open: the kernel then only
    // marks it to detach at the last close (autoclear), and teardown waits
    // for that. The prober lets go once the mark is there, so the hold
    // always spans the detach, however busy the machine.
    std::string root = host_.root();
    int held = open(loop.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    std::string autoclear = "/sys/block/" + loop.substr(5) + "/loop/autoclear";
    bool marked = false, root_still_there = false;
    std::thread prober([&] {
        for (int i = 0; i < 2000 && !marked; i++) {
            marked = vlt_test::read_file(autoclear) == "1\n";
            if (!marked) usleep(5000);
        }
        root_still_there = vlt_test::file_exists(root);  // teardown is waiting for us
        close(held);
    });
    EXPECT_TRUE(host_.teardown(&report)) << report;
    std::string backing = vlt_test::read_file("/sys/block/" + loop.substr(5) + "/loop/backing_file");
    prober.join();
    EXPECT_TRUE(marked) << "teardown never detached the held device";
    EXPECT_TRUE(root_still_there) << "teardown went on while the device was still held";
    EXPECT_EQ(backing.find(root), std::string::npos) << backing;
    struct stat st;
    EXPECT_NE(lstat(("/dev/" + vg).c_str(), &st), 0);
    EXPECT_NE(lstat(root.c_str(), &st), 0);
}

TEST(SimHost, ParallelHostsNeverMeet) {
    vlt_test::sim_host a, b;
    VLT_REQUIRE_SIM_HOST(a);
    VLT_REQUIRE_SIM_HOST(b);
    EXPECT_NE(a.vg(), b.vg());
    EXPECT_NE(a.root(), b.root());
    ASSERT_TRUE(a.add_storage("local-lvm", "lvmthin"));
    ASSERT_TRUE(b.add_storage("local-lvm", "lvmthin"));
    ASSERT_TRUE(a.add_lv("local-lvm", "vm-101-disk-0", 4 * kMiB));
    run_result r = b.run("pvesm", {"alloc", "local-lvm", "101", "", "4M"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.out.find("'local-lvm:vm-101-disk-0'"), std::string::npos) << "b does not see a's LV";
    EXPECT_EQ(b.lv_device(b.vg(), "vm-101-disk-0").find(b.vg()), 5u);
}

// Each host gives the programs a run directory of its own, and a state
// file a backup run left there is a leftover.
TEST(SimHost, EachHostHasItsOwnRunDirectory) {
    vlt_test::sim_host a, b;
    VLT_REQUIRE_SIM_HOST(a);
    VLT_REQUIRE_SIM_HOST(b);
    EXPECT_EQ(a.run_dir(), a.root() + "/run");
    EXPECT_NE(a.run_dir(), b.run_dir());
    std::string given;
    for (const std::string &e : a.child_env())
        if (e.rfind("VLT_RUN_DIR=", 0) == 0) given = e.substr(12);
    EXPECT_EQ(given, a.run_dir());
    std::string out;
    ASSERT_EQ(a.driver({"env"}, &out), 0);
    EXPECT_NE(out.find("export VLT_RUN_DIR=" + a.run_dir() + "\n"), std::string::npos) << out;
    // The program's sendmail is the fake that records each mail.
    const std::string sendmail = std::string(vlt_test::testbed_dir()) + "/bin/sendmail";
    EXPECT_NE(out.find("export VLT_SENDMAIL=" + sendmail + "\n"), std::string::npos) << out;
    std::vector<std::string> env = a.child_env();
    EXPECT_NE(std::find(env.begin(), env.end(), "VLT_SENDMAIL=" + sendmail), env.end());

    ASSERT_EQ(mkdir(a.run_dir().c_str(), 0700), 0);
    ASSERT_TRUE(vlt_test::write_file(a.run_dir() + "/101.lock", "1\n"));
    std::string report;
    EXPECT_TRUE(a.check_clean(&report)) << report;  // the lock file stays for good
    ASSERT_TRUE(vlt_test::write_file(a.run_dir() + "/101.state", "vlt_proxmox run state 1\n"));
    EXPECT_FALSE(a.check_clean(&report));
    EXPECT_EQ(report, "run state " + a.run_dir() + "/101.state\n");
}

TEST(SimHost, ForeignVgNamesAreRefused) {
    vlt_test::sim_host h;
    VLT_REQUIRE_SIM_HOST(h);
    std::string out;
    EXPECT_NE(h.driver({"add-storage", "x", "lvm", "--vg", "pve"}, &out), 0);
    EXPECT_NE(out.find("must start with the host VG name"), std::string::npos) << out;
    EXPECT_TRUE(h.add_storage("y", "lvm", h.vg() + "_2"));
}

TEST(SimHost, TeardownCleansAHalfBuiltHost) {
    std::string root, vg;
    std::string loop;
    {
        vlt_test::sim_host h;
        VLT_REQUIRE_SIM_HOST(h);
        root = h.root();
        vg = h.vg();
        ASSERT_TRUE(h.add_storage("local-lvm", "lvmthin"));
        ASSERT_TRUE(h.add_lv("local-lvm", "vm-101-disk-0", 4 * kMiB));
        loop = h.lv_field(vg, "vm-101-disk-0", "loop");
        // As if a fake had died before recording its LV.
        ASSERT_EQ(unlink((root + "/lvs/" + vg + "/vm-101-disk-0").c_str()), 0);
    }
    struct stat st;
    EXPECT_NE(lstat(root.c_str(), &st), 0);
    EXPECT_NE(lstat(("/dev/" + vg).c_str(), &st), 0);
    std::string backing = vlt_test::read_file("/sys/block/" + loop.substr(5) + "/loop/backing_file");
    EXPECT_EQ(backing.find(root), std::string::npos) << backing;
}

TEST(SimHost, SweepTakesDownHostsWhoseOwnerIsGone) {
    vlt_test::sim_host helper;  // for its run() helper and environment
    VLT_REQUIRE_SIM_HOST(helper);
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    ASSERT_GT(dead, 0);
    int status;
    waitpid(dead, &status, 0);

    vlt_test::temp_dir base("vlt_sweep");
    std::string live_root = base.path() + "/vlt_sim.live";
    std::string dead_root = base.path() + "/vlt_sim.dead";
    std::string bash = "/bin/bash", driver = vlt_test::simhost_driver();
    auto in = [&](const std::string &root, const std::vector<std::string> &args, const std::string &owner) {
        std::vector<std::string> a = {driver};
        a.insert(a.end(), args.begin(), args.end());
        return helper.run(bash, a, {"VLT_SIM_ROOT=" + root, "VLT_SIM_OWNER=" + owner});
    };
    run_result r = in(dead_root, {"init"}, std::to_string(dead));
    ASSERT_EQ(r.exit_status, 0) << r.err;
    std::string dead_vg = r.out.substr(0, r.out.find('\n'));
    ASSERT_EQ(in(dead_root, {"add-storage", "local-lvm", "lvmthin"}, "").exit_status, 0);
    ASSERT_EQ(in(dead_root, {"add-lv", "local-lvm", "vm-1-disk-0", "4M"}, "").exit_status, 0);
    r = in(live_root, {"init"}, std::to_string(getpid()));
    ASSERT_EQ(r.exit_status, 0) << r.err;
    std::string live_vg = r.out.substr(0, r.out.find('\n'));
    ASSERT_EQ(in(live_root, {"add-storage", "local-lvm", "lvmthin"}, "").exit_status, 0);
    ASSERT_EQ(in(live_root, {"add-lv", "local-lvm", "vm-1-disk-0", "4M"}, "").exit_status, 0);

    r = helper.run(bash, {driver, "sweep", base.path()});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "swept " + dead_root + "\n");
    struct stat st;
    EXPECT_NE(lstat(dead_root.c_str(), &st), 0);
    EXPECT_NE(lstat(("/dev/" + dead_vg).c_str(), &st), 0);
    EXPECT_EQ(lstat(live_root.c_str(), &st), 0);
    EXPECT_EQ(lstat(("/dev/" + live_vg).c_str(), &st), 0);
    EXPECT_EQ(in(live_root, {"teardown"}, "").exit_status, 0);
    EXPECT_NE(lstat(("/dev/" + live_vg).c_str(), &st), 0);
}

TEST(SimHost, FakesRefuseToRunWithoutAHost) {
    vlt_test::temp_dir dir;
    std::string tool = std::string(vlt_test::testbed_dir()) + "/bin/lvremove";
    vlt_test::sim_host unused;  // only for its run() helper
    VLT_REQUIRE_SIM_HOST(unused);
    run_result r = unused.run(tool, {"-f", "-y", "pve/root"}, {"VLT_SIM_ROOT=" + dir.path()});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("is not a simulated host"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace testbed_test
