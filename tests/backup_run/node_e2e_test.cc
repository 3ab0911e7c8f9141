// Node-wide runs of vlt_proxmox end to end on the simulated host: which VMs
// --all and --pool back up, the summary, --json and the mail, two nodes of
// one cluster running the same profile, a VM migrated away before its
// turn, --jobs with snapshot phases that take turns, and the restore of
// what a node-wide run stored.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "common/json.h"
#include "fake_tools.h"
#include "tests/support/simhost.h"

namespace {

using strings = std::vector<std::string>;

const uint64_t kDisk = 4u << 20;

class NodeRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        VLT_REQUIRE_SIM_HOST(host_);
        ASSERT_TRUE(host_.add_storage("local-lvm", "lvmthin"));
        ASSERT_TRUE(host_.add_storage("thick", "lvm"));
    }

    // A VM with one disk, seeded with its VMID.
    void vm(vlt_test::sim_host &host, long id, const std::string &name, const std::string &storage = "local-lvm",
            const std::vector<std::string> &options = {})
    {
        std::string lv = "vm-" + std::to_string(id) + "-disk-0";
        ASSERT_TRUE(host.add_vm_with(id, "agent: 1\nname: " + name + "\nscsi0: " + storage + ":" + lv + ",size=4M\n",
                                     options));
        ASSERT_TRUE(host.add_lv_random(storage, lv, kDisk, static_cast<uint32_t>(id)));
    }

    vlt_test::run_result backup(const vlt_test::sim_host &host, strings args, const strings &env = {})
    {
        args.insert(args.begin(), {"--pve-dir", host.pve_dir()});
        args.insert(args.end(), {"--", "--out", out_.path()});
        return host.run(vlt_test::backup_program(), args, env);
    }

    // The job names of the agent runs, in the order they started.
    static strings agent_jobs(const vlt_test::sim_host &host)
    {
        strings jobs;
        for (const vlt_test::call_record &c : host.calls_of("vlt_agent"))
            for (size_t i = 0; i + 1 < c.args.size(); i++)
                if (c.args[i] == "--name")
                    jobs.push_back(c.args[i + 1]);
        return jobs;
    }

    // Whether any host tool call names the VMID as a word of its own or in
    // a volume name.
    static bool touched(const vlt_test::sim_host &host, long id)
    {
        const std::string word = std::to_string(id);
        for (const vlt_test::call_record &c : host.calls())
            for (const std::string &a : c.args)
                if (a == word || a.find("vm-" + word + "-") != std::string::npos ||
                    a.find("vm" + word + "-") != std::string::npos)
                    return true;
        return false;
    }

    // The summary as logged: the lines from the table's header on.
    static strings summary(const std::string &err)
    {
        strings lines = log_lines(err), out;
        bool in = false;
        for (const std::string &l : lines) {
            in = in || l.rfind("INFO  VMID  ", 0) == 0;
            if (in && l.find("] ") == std::string::npos)
                out.push_back(l);
        }
        return out;
    }

    void expect_clean(const vlt_test::sim_host &host)
    {
        std::string report;
        EXPECT_TRUE(host.check_clean(&report)) << report;
    }

    vlt_test::sim_host host_;
    vlt_test::temp_dir out_{"vlt_node_out"};
};

// Six ids on one node: a running VM, a stopped one, one with its disk on
// directory storage, a container, two VMs of a pool of which one is
// excluded.
TEST_F(NodeRun, AllWithExcludeBacksUpExactlyThisNodesVms)
{
    ASSERT_TRUE(host_.add_storage("files", "dir"));
    vm(host_, 101, "web01");
    vm(host_, 102, "db01", "thick", {"--stopped"});
    ASSERT_TRUE(host_.add_vm(103, "agent: 1\nname: files01\nscsi0: files:103/vm-103-disk-0.raw,size=4M\n"));
    ASSERT_TRUE(host_.add_ct(104));
    vm(host_, 105, "shop");
    vm(host_, 106, "test");
    ASSERT_TRUE(host_.add_pool("web", {"105", "106"}));
    ASSERT_TRUE(host_.clear_calls());

    vlt_test::run_result r = backup(host_, {"--all", "--exclude", "106", "--json"});
    EXPECT_EQ(r.exit_status, 1) << r.err;
    // One VM after another in ascending order; the failing one stops no other.
    EXPECT_EQ(agent_jobs(host_), (strings{"vm101-scsi0", "vm101-vmconfig", "vm102-scsi0", "vm102-vmconfig",
                                          "vm105-scsi0", "vm105-vmconfig"}));
    EXPECT_FALSE(touched(host_, 104));
    EXPECT_FALSE(touched(host_, 106));
    EXPECT_TRUE(host_.mails().empty());

    strings lines = log_lines(r.err);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "INFO  node simnode: 4 VM(s) to back up (all): 101 102 103 105; 1 excluded"),
              lines.end())
        << r.err;
    EXPECT_NE(std::find(lines.begin(), lines.end(), "INFO  VM 103 (3 of 4): backing up as job prefix vm103"),
              lines.end())
        << r.err;
    strings table = summary(r.err);
    ASSERT_EQ(table.size(), 6u) << r.err;
    EXPECT_TRUE(like(table[0], "INFO  VMID  NAME *RESULT *DISKS  CONSISTENCY  DURATION  READ *WHY")) << table[0];
    EXPECT_TRUE(like(table[1], "INFO  101   web01 *ok *1/1 *fs *0:00:[0-9][0-9] *4.0 MiB")) << table[1];
    EXPECT_TRUE(like(table[2], "INFO  102   db01 *ok *1/1 *stopped *0:00:[0-9][0-9] *4.0 MiB")) << table[2];
    const std::string why = "not every disk is LVM-backed (this version only supports LVM/LVM-thin): scsi0 "
                            "(files:103/vm-103-disk-0.raw) not LVM-backed: " +
                            host_.root() + "/dir/files/images/103/vm-103-disk-0.raw is not an LVM logical volume "
                            "(storage backend other than LVM/LVM-thin)";
    EXPECT_TRUE(like(table[3], "INFO  103   files01 *failed *- *- *0:00:[0-9][0-9] *- *" + why)) << table[3];
    EXPECT_TRUE(like(table[4], "INFO  105   shop *ok *1/1 *fs *0:00:[0-9][0-9] *4.0 MiB")) << table[4];
    EXPECT_EQ(table[5], "ERROR 3 of 4 VM(s) backed up, 1 failed, 0 skipped");

    // --json: the same, on standard output alone.
    json_value v;
    char msg[128];
    ASSERT_EQ(json_parse(r.out.data(), r.out.size(), &v, msg, sizeof msg), 0) << msg << "\n" << r.out;
    EXPECT_STREQ(v.member_text("node"), "simnode");
    EXPECT_STREQ(v.member_text("selection"), "all");
    long n = -1;
    for (auto [key, want] : {std::pair{"total", 4L}, {"backed_up", 3L}, {"failed", 1L}, {"skipped", 0L},
                             {"exit_status", 1L}}) {
        ASSERT_TRUE(json_whole_number(v.member(key), &n)) << key;
        EXPECT_EQ(n, want) << key;
    }
    const json_value *vms = v.member("vms");
    ASSERT_NE(vms, nullptr);
    ASSERT_EQ(vms->items.size(), 4u);
    const long ids[] = {101, 102, 103, 105};
    const char *results[] = {"ok", "ok", "failed", "ok"};
    const char *consistency[] = {"fs", "stopped", nullptr, "fs"};
    for (size_t i = 0; i < 4; i++) {
        const json_value &row = vms->items[i];
        ASSERT_TRUE(json_whole_number(row.member("vmid"), &n));
        EXPECT_EQ(n, ids[i]);
        EXPECT_STREQ(row.member_text("result"), results[i]) << ids[i];
        EXPECT_EQ(row.member_text("job_prefix"), "vm" + std::to_string(ids[i]));
        if (consistency[i] != nullptr) {
            EXPECT_STREQ(row.member_text("consistency"), consistency[i]) << ids[i];
            EXPECT_TRUE(json_whole_number(row.member("bytes_read"), &n));
            EXPECT_EQ(n, static_cast<long>(kDisk));
            EXPECT_EQ(row.member("reason")->kind, json_value::null_value);
        } else {
            EXPECT_EQ(row.member("bytes_read")->kind, json_value::null_value);
            ASSERT_NE(row.member_text("reason"), nullptr);
            EXPECT_EQ(why, row.member_text("reason"));
        }
    }
    EXPECT_FALSE(host_.guest_frozen(101));
    expect_clean(host_);

    // What the node-wide run stored restores as today, by the VM's prefix.
    for (long id : {101L, 105L}) {
        ASSERT_TRUE(host_.clear_calls());
        vlt_test::run_result rr = host_.run(vlt_test::restore_program(),
                                            {"--job", "vm" + std::to_string(id), "--search-dir", out_.path(),
                                             "--pve-dir", host_.pve_dir()});
        ASSERT_EQ(rr.exit_status, 0) << rr.err;
        std::string done = rr.err.substr(rr.err.rfind("done (VMID ") + 11);
        std::string new_id = done.substr(0, done.find(')'));
        EXPECT_EQ(vlt_test::sha256_file(host_.lv_device(host_.vg(), "vm-" + new_id + "-disk-0")),
                  vlt_test::sha256_hex(vlt_test::random_bytes(kDisk, static_cast<uint32_t>(id))))
            << id;
    }
    expect_clean(host_);
}

// --pool: the pool's VMs on this node only; a member on another node is
// not touched there or here.
TEST_F(NodeRun, PoolSelectsOnlyThePoolsVmsOnThisNode)
{
    vlt_test::sim_host other(host_, "pve2");
    VLT_REQUIRE_SIM_HOST(other);
    ASSERT_TRUE(other.add_storage("local-lvm", "lvmthin"));
    vm(host_, 101, "web01");
    vm(host_, 105, "shop");
    vm(host_, 106, "test");
    vm(other, 201, "remote");
    ASSERT_TRUE(host_.add_pool("web", {"201", "106", "105", "local-lvm"}));
    ASSERT_TRUE(host_.clear_calls());
    ASSERT_TRUE(other.clear_calls());

    vlt_test::run_result r = backup(host_, {"--pool", "web"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(agent_jobs(host_), (strings{"vm105-scsi0", "vm105-vmconfig", "vm106-scsi0", "vm106-vmconfig"}));
    EXPECT_FALSE(touched(host_, 101));
    EXPECT_FALSE(touched(host_, 201));
    EXPECT_TRUE(other.calls().empty());
    EXPECT_EQ(host_.calls_of("pvesh").size(), 1u);
    EXPECT_EQ(host_.calls_of("pvesh")[0].joined(), "get /pools/web --output-format json");
    strings lines = log_lines(r.err);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "INFO  node simnode: 2 VM(s) to back up (pool web): 105 106; 1 of the pool on other nodes"),
              lines.end())
        << r.err;
    EXPECT_EQ(lines.back(), "INFO  2 of 2 VM(s) backed up, 0 failed, 0 skipped");

    // A pool that does not exist: nothing is backed up, status 1.
    ASSERT_TRUE(host_.clear_calls());
    r = backup(host_, {"--pool", "nope"});
    EXPECT_EQ(r.exit_status, 1);
    lines = log_lines(r.err);
    ASSERT_GE(lines.size(), 2u) << r.err;
    EXPECT_EQ(lines[lines.size() - 2],
              "ERROR pool 'nope': pvesh get /pools/nope failed: pool 'nope' does not exist");
    EXPECT_EQ(lines.back(), "ERROR 0 of 0 VM(s) backed up, 0 failed, 0 skipped");
    EXPECT_TRUE(agent_jobs(host_).empty());
    expect_clean(host_);
    expect_clean(other);
}

// The same profile, from the cluster file system, on both nodes: each VM
// is backed up once, where it lives; one migrated away between the
// selection and its turn is skipped with the reason.
TEST_F(NodeRun, SameProfileOnTwoNodesBacksUpEachVmOnce)
{
    if (vlt_test::file_exists("/etc/vlt/vlt_proxmox.cfg"))
        GTEST_SKIP() << "this machine has /etc/vlt/vlt_proxmox.cfg, which comes before the cluster's";
    vlt_test::sim_host other(host_, "pve2");
    VLT_REQUIRE_SIM_HOST(other);
    ASSERT_TRUE(other.add_storage("local-lvm", "lvmthin"));
    vm(host_, 101, "web01");
    vm(host_, 102, "db01");
    vm(other, 201, "remote");
    // The disk 102 will have after its migration (shared storage).
    ASSERT_TRUE(other.add_lv_random("local-lvm", "vm-102-disk-0", kDisk, 102));
    ASSERT_TRUE(vlt_test::write_file(host_.pve_dir() + "/vlt_proxmox.cfg", "[nightly]\nall = yes\n"));
    ASSERT_TRUE(host_.clear_calls());
    ASSERT_TRUE(other.clear_calls());

    // 102 is selected, then migrated while 101's agent runs.
    ASSERT_TRUE(host_.set_delay("vlt_agent", 1500));
    std::unique_ptr<vlt_test::background_run> run =
        host_.start(vlt_test::backup_program(),
                    {"--pve-dir", host_.pve_dir(), "--name", "nightly", "--", "--out", out_.path()});
    ASSERT_TRUE(run->started());
    ASSERT_TRUE(host_.wait_for_call("vlt_agent", "--source", 60000));
    // What vlt_progress shows meanwhile: the run's name, which VM of how
    // many, and the tally so far.
    std::string seg = vlt_test::read_file("/dev/shm/vlt_progress." + std::to_string(run->pid()));
    ASSERT_EQ(seg.size(), 1208u);
    EXPECT_STREQ(seg.c_str() + 24, "nightly");
    EXPECT_STREQ(seg.c_str() + 88, "0 of 2 VM(s) done: 0 backed up, 0 failed, 0 skipped");
    EXPECT_STREQ(seg.c_str() + 440, "VM 101 (1 of 2)");
    ASSERT_TRUE(host_.migrate_vm(102, "pve2"));
    vlt_test::run_result r = run->wait(120000);
    ASSERT_TRUE(host_.set_delay("vlt_agent", 0));
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(agent_jobs(host_), (strings{"nightly-101-scsi0", "nightly-101-vmconfig"}));
    EXPECT_FALSE(touched(host_, 102) && !host_.calls_of("lvcreate").empty() &&
                 host_.calls_of("lvcreate").back().joined().find("102") != std::string::npos);
    strings lines = log_lines(r.err);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "INFO  VM 102 (2 of 2): skipped: migrated to node pve2 since the selection"),
              lines.end())
        << r.err;
    strings table = summary(r.err);
    ASSERT_EQ(table.size(), 4u) << r.err;
    EXPECT_TRUE(like(table[1], "INFO  101   web01 *ok *1/1 *fs *")) << table[1];
    EXPECT_TRUE(like(table[2], "INFO  102   db01 *skipped *- *- *- *- *migrated to node pve2")) << table[2];
    EXPECT_EQ(table[3], "INFO  1 of 2 VM(s) backed up, 0 failed, 1 skipped");
    expect_clean(host_);

    // The other node, same profile: the VMs that live there now.
    r = backup(other, {"--name", "nightly"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(agent_jobs(other), (strings{"nightly-102-scsi0", "nightly-102-vmconfig", "nightly-201-scsi0",
                                          "nightly-201-vmconfig"}));
    EXPECT_EQ(log_lines(r.err).back(), "INFO  2 of 2 VM(s) backed up, 0 failed, 0 skipped");
    expect_clean(other);
}

// The seconds a VM's snapshot phase spans in the call log: from its freeze
// (or first snapshot) to the end of its thaw (or of its last snapshot).
struct phase {
    double start = -1;
    double end = -1;
};

TEST_F(NodeRun, JobsRunVmsSideBySideButTheirSnapshotPhasesTakeTurns)
{
    for (long id : {101, 102, 103, 104})
        vm(host_, id, "vm" + std::to_string(id));
    // Each agent run takes at least this long (the fake waits before the
    // engine starts; a call that reaches the engine has no end line).
    const double agent_seconds = 1.5;
    ASSERT_TRUE(host_.set_delay("vlt_agent", 1500));
    ASSERT_TRUE(host_.clear_calls());
    vlt_test::run_result r = backup(host_, {"--all", "--jobs", "2", "--no-vmconfig"});
    ASSERT_TRUE(host_.set_delay("vlt_agent", 0));
    EXPECT_EQ(r.exit_status, 0) << r.err;

    // Pair each call with its end line (the fake's pid).
    std::map<long, double> ends;
    for (const vlt_test::call_record &c : host_.calls())
        if (c.is_end)
            ends[c.pid] = c.time;
    std::map<std::string, phase> phases;  // by VMID
    std::vector<double> agents;
    for (const vlt_test::call_record &c : host_.calls()) {
        if (c.is_end)
            continue;
        std::string id;
        if (c.tool == "qm" && c.args.size() == 4 && c.args[0] == "guest")
            id = c.args[2];
        else if (c.tool == "lvcreate")
            id = c.args.back().substr(c.args.back().find("/vm-") + 4, 3);
        else if (c.tool == "vlt_agent")
            agents.push_back(c.time);
        if (id.empty())
            continue;
        ASSERT_TRUE(ends.count(c.pid)) << c.tool << " " << c.joined();
        phase &p = phases[id];
        if (p.start < 0)
            p.start = c.time;
        p.end = std::max(p.end, ends[c.pid]);
    }
    ASSERT_EQ(phases.size(), 4u);
    for (auto a = phases.begin(); a != phases.end(); ++a)
        for (auto b = std::next(a); b != phases.end(); ++b)
            EXPECT_TRUE(a->second.end <= b->second.start || b->second.end <= a->second.start)
                << "VM " << a->first << " [" << a->second.start << ", " << a->second.end << "] and VM " << b->first
                << " [" << b->second.start << ", " << b->second.end << "]";
    // And two agent runs did work at the same time: one started while the
    // other was still in its first agent_seconds.
    ASSERT_EQ(agents.size(), 4u);
    bool side_by_side = false;
    for (size_t i = 0; i < agents.size(); i++)
        for (size_t j = i + 1; j < agents.size(); j++)
            side_by_side = side_by_side || (agents[j] - agents[i] < agent_seconds && agents[i] - agents[j] < agent_seconds);
    EXPECT_TRUE(side_by_side);
    EXPECT_EQ(log_lines(r.err).back(), "INFO  4 of 4 VM(s) backed up, 0 failed, 0 skipped");
    expect_clean(host_);
}

// A signal to a node-wide run, as a terminal's Ctrl-C sends it to the
// whole process group or as systemd's stop sends SIGTERM to the main
// process: the running VM run cleans up and ends, no further VM starts,
// the summary says so, and the signal ends the program.
TEST_F(NodeRun, SignalEndsTheRunningVmRunAndStartsNoOther)
{
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        vlt_test::sim_host host;
        VLT_REQUIRE_SIM_HOST(host);
        ASSERT_TRUE(host.add_storage("local-lvm", "lvmthin"));
        for (long id : {101, 102, 103})
            vm(host, id, "vm" + std::to_string(id));
        ASSERT_TRUE(host.set_delay("vlt_agent", 60000));
        auto run = host.start(vlt_test::backup_program(),
                              {"--pve-dir", host.pve_dir(), "--all", "--no-vmconfig", "--", "--out", out_.path()});
        ASSERT_TRUE(run->started());
        ASSERT_TRUE(host.wait_for_call("vlt_agent", "", 30000));
        if (sig == SIGINT)
            ASSERT_EQ(kill(-run->pid(), sig), 0);  // the terminal's whole group
        else
            ASSERT_TRUE(run->send_signal(sig));
        vlt_test::run_result r = run->wait(60000);
        EXPECT_EQ(r.term_signal, sig) << r.err;
        const std::string name = sig == SIGINT ? "SIGINT" : "SIGTERM";
        strings lines = log_lines(r.err);
        EXPECT_NE(std::find(lines.begin(), lines.end(),
                            "WARN  interrupted by " + name +
                                ": 1 running VM run(s) clean up and end, no further VM starts"),
                  lines.end())
            << r.err;
        strings table = summary(r.err);
        ASSERT_EQ(table.size(), 5u) << r.err;
        EXPECT_TRUE(like(table[1], "INFO  101 *vm101 *failed *0/1 *interrupted by " + name)) << table[1];
        EXPECT_TRUE(like(table[2], "INFO  102 *vm102 *skipped *not started: the run was interrupted by " + name))
            << table[2];
        EXPECT_TRUE(like(table[3], "INFO  103 *vm103 *skipped *not started: the run was interrupted by " + name))
            << table[3];
        EXPECT_EQ(table[4], "ERROR 0 of 3 VM(s) backed up, 1 failed, 2 skipped");
        EXPECT_FALSE(touched(host, 102));
        EXPECT_FALSE(touched(host, 103));
        // The VM run's clean-up removed its snapshot, once.
        EXPECT_EQ(host.calls_of("lvremove").size(), 1u);
        ASSERT_TRUE(host.set_delay("vlt_agent", 0));
        expect_clean(host);
    }
}

// mailto: one mail with the summary through the fake sendmail; a failing
// sendmail is a warning only; mail-on=failure mails nothing after success.
TEST_F(NodeRun, SummaryIsMailedAndAFailingSendmailIsOnlyAWarning)
{
    vm(host_, 101, "web01");
    ASSERT_TRUE(vlt_test::write_file(host_.pve_dir() + "/mail.cfg",
                                     "[nightly]\nall = 1\nmailto = root@localhost, ops@example.org\n"));
    const std::string cfg = host_.pve_dir() + "/mail.cfg";
    vlt_test::run_result r = backup(host_, {"--config-path", cfg, "--name", "nightly"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    std::vector<vlt_test::mail_record> mails = host_.mails();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].args, (strings{"-oi", "--", "root@localhost", "ops@example.org"}));
    const std::string &m = mails[0].message;
    EXPECT_EQ(m.substr(0, m.find("\n\n") + 2),
              "To: root@localhost, ops@example.org\n"
              "Subject: vlt_proxmox nightly on simnode: 1 of 1 VM(s) backed up, 0 failed, 0 skipped\n"
              "Auto-Submitted: auto-generated\n"
              "MIME-Version: 1.0\n"
              "Content-Type: text/plain; charset=UTF-8\n"
              "Content-Transfer-Encoding: 8bit\n\n");
    strings table = summary(r.err);
    ASSERT_EQ(table.size(), 4u) << r.err;
    EXPECT_EQ(table[3], "INFO  the summary was mailed to root@localhost, ops@example.org");
    for (size_t i = 0; i < 2; i++)
        EXPECT_NE(m.find(table[i].substr(6) + "\n"), std::string::npos) << table[i] << "\n" << m;
    EXPECT_NE(m.find("\n1 of 1 VM(s) backed up, 0 failed, 0 skipped\n"), std::string::npos) << m;
    strings lines = log_lines(r.err);
    EXPECT_EQ(lines.back(), "INFO  the summary was mailed to root@localhost, ops@example.org");

    // sendmail fails: a warning, the backup still succeeded.
    vlt_test::fault_spec f;
    f.tool = "sendmail";
    f.times = 0;
    f.exit_code = 75;
    f.text = "sendmail: fatal: queue file write error";
    ASSERT_TRUE(host_.add_fault(f));
    r = backup(host_, {"--config-path", cfg, "--name", "nightly"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(log_lines(r.err).back(),
              "WARN  the summary was not mailed to root@localhost, ops@example.org: " +
                  std::string(vlt_test::testbed_dir()) + "/bin/sendmail exited with 75: "
                  "sendmail: fatal: queue file write error");
    // No sendmail at all: the same.
    r = backup(host_, {"--config-path", cfg, "--name", "nightly"}, {"VLT_SENDMAIL=/nonexistent/sendmail"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(log_lines(r.err).back(),
              "WARN  the summary was not mailed to root@localhost, ops@example.org: /nonexistent/sendmail could not "
              "be run (is a mail transfer agent installed?)");
    ASSERT_TRUE(host_.clear_faults());

    // mail-on=failure: nothing after a success, one mail after a failure.
    host_.driver({"mails"});
    size_t before = host_.mails().size();
    r = backup(host_, {"--config-path", cfg, "--name", "nightly", "--mail-on", "failure"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(host_.mails().size(), before);
    ASSERT_TRUE(host_.add_vm(107, "agent: 1\nscsi0: local-lvm:vm-107-disk-0,size=4M\n"));  // no such volume
    r = backup(host_, {"--config-path", cfg, "--name", "nightly", "--mail-on", "failure"});
    EXPECT_EQ(r.exit_status, 1) << r.err;
    mails = host_.mails();
    ASSERT_EQ(mails.size(), before + 1);
    EXPECT_NE(mails.back().message.find("Subject: vlt_proxmox nightly on simnode: 1 of 2 VM(s) backed up, 1 failed, "
                                        "0 skipped\n"),
              std::string::npos)
        << mails.back().message;
    expect_clean(host_);
}

}  // namespace
