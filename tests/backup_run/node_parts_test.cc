// The parts of a node-wide run on their own: which VMs the cluster file
// system and a pool listing select, the summary's table, counts and JSON,
// what vlt_agent reports as read, and the mail through sendmail.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "backup/mail.h"
#include "backup/node_select.h"
#include "backup/node_summary.h"
#include "common/json.h"
#include "fake_tools.h"

namespace {

using strings = std::vector<std::string>;

std::vector<long> ids_of(const std::vector<selected_vm> &vms)
{
    std::vector<long> ids;
    for (const selected_vm &vm : vms)
        ids.push_back(vm.vmid);
    return ids;
}

// A cluster file system: nodes/pve1 (this node, behind "local") and pve2.
class NodeSelect : public ::testing::Test {
protected:
    void SetUp() override
    {
        pve_ = dir_.path() + "/pve";
        for (const char *d : {"", "/nodes", "/nodes/pve1", "/nodes/pve1/qemu-server", "/nodes/pve1/lxc",
                              "/nodes/pve2", "/nodes/pve2/qemu-server"})
            ASSERT_EQ(mkdir((pve_ + d).c_str(), 0755), 0) << d;
        ASSERT_EQ(symlink("nodes/pve1", (pve_ + "/local").c_str()), 0);
    }
    void conf(const std::string &node, const std::string &file, const std::string &text = "memory: 512\n")
    {
        ASSERT_TRUE(vlt_test::write_file(pve_ + "/nodes/" + node + "/" + file, text));
    }

    vlt_test::temp_dir dir_{"vlt_node_select"};
    std::string pve_;
    char msg_[512] = "";
};

TEST_F(NodeSelect, ThisNodeIsWhereLocalPoints)
{
    char node[64] = "";
    ASSERT_EQ(this_node_name(pve_.c_str(), node, sizeof node, msg_, sizeof msg_), 0) << msg_;
    EXPECT_STREQ(node, "pve1");
    // Without the link (a node outside a cluster file system): the host
    // name up to its first dot.
    ASSERT_EQ(unlink((pve_ + "/local").c_str()), 0);
    struct utsname host;
    ASSERT_EQ(uname(&host), 0);
    std::string expected = host.nodename;
    expected = expected.substr(0, expected.find('.'));
    ASSERT_EQ(this_node_name(pve_.c_str(), node, sizeof node, msg_, sizeof msg_), 0) << msg_;
    EXPECT_EQ(node, expected);
}

TEST_F(NodeSelect, AllIsEveryVmConfigurationOfThisNodeInAscendingOrder)
{
    conf("pve1", "qemu-server/1000.conf", "name: big\n");
    conf("pve1", "qemu-server/105.conf", "memory: 1\nname: db01\n[snap1]\nname: old\n");
    conf("pve1", "qemu-server/101.conf", "name: web01\nscsi0: local-lvm:vm-101-disk-0\n");
    conf("pve1", "qemu-server/99.conf");
    conf("pve1", "lxc/102.conf");                  // a container
    conf("pve2", "qemu-server/103.conf");          // another node's VM
    conf("pve1", "qemu-server/104.conf.tmp.123");  // the cluster file system's temporary file
    conf("pve1", "qemu-server/0106.conf");
    conf("pve1", "qemu-server/abc.conf");
    conf("pve1", "qemu-server/1234567890.conf");
    std::vector<selected_vm> vms;
    ASSERT_EQ(list_node_vms(pve_.c_str(), "pve1", &vms, msg_, sizeof msg_), 0) << msg_;
    EXPECT_EQ(ids_of(vms), (std::vector<long>{99, 101, 105, 1000}));
    ASSERT_EQ(vms.size(), 4u);
    EXPECT_EQ(vms[0].name, "");
    EXPECT_EQ(vms[1].name, "web01");
    EXPECT_EQ(vms[2].name, "db01");  // the main section's, not the snapshot's
    EXPECT_EQ(vms[3].name, "big");

    // A node without VMs, or without a directory for them, has none.
    ASSERT_EQ(list_node_vms(pve_.c_str(), "pve3", &vms, msg_, sizeof msg_), 0) << msg_;
    EXPECT_TRUE(vms.empty());
    // One that cannot be read is an error, not an empty node.
    ASSERT_EQ(rmdir((pve_ + "/nodes/pve2/qemu-server").c_str()), -1);
    ASSERT_TRUE(vlt_test::write_file(pve_ + "/nodes/pve4", "not a directory"));
    EXPECT_EQ(list_node_vms(pve_.c_str(), "pve4", &vms, msg_, sizeof msg_), -1);
    EXPECT_EQ(std::string(msg_), "cannot list " + pve_ + "/nodes/pve4/qemu-server: Not a directory");
}

TEST_F(NodeSelect, WhereAVmLivesAtItsTurn)
{
    conf("pve1", "qemu-server/101.conf");
    conf("pve2", "qemu-server/103.conf");
    conf("pve1", "lxc/104.conf");
    char other[64] = "x";
    EXPECT_EQ(vm_home(pve_.c_str(), "pve1", 101, other, sizeof other), 1);
    EXPECT_STREQ(other, "");
    EXPECT_EQ(vm_home(pve_.c_str(), "pve1", 103, other, sizeof other), 0);
    EXPECT_STREQ(other, "pve2");
    EXPECT_EQ(vm_home(pve_.c_str(), "pve1", 104, other, sizeof other), -1);  // a container is no VM
    EXPECT_EQ(vm_home(pve_.c_str(), "pve1", 999, other, sizeof other), -1);
}

TEST_F(NodeSelect, PoolMembersOfThisNode)
{
    const char *listing =
        "perl: warning: Setting locale failed.\n"
        "{\"comment\":\"web\",\"members\":["
        "{\"id\":\"qemu/203\",\"node\":\"pve1\",\"type\":\"qemu\",\"vmid\":203,\"name\":\"b\"},"
        "{\"id\":\"qemu/201\",\"node\":\"pve1\",\"type\":\"qemu\",\"vmid\":\"201\",\"name\":\"a\"},"
        "{\"id\":\"qemu/202\",\"node\":\"pve2\",\"type\":\"qemu\",\"vmid\":202},"
        "{\"id\":\"lxc/204\",\"node\":\"pve1\",\"type\":\"lxc\",\"vmid\":204},"
        "{\"id\":\"storage/pve1/local\",\"node\":\"pve1\",\"type\":\"storage\",\"storage\":\"local\"},"
        "{\"id\":\"qemu/201\",\"node\":\"pve1\",\"type\":\"qemu\",\"vmid\":201}]}\n";
    std::vector<selected_vm> vms;
    size_t elsewhere = 9;
    ASSERT_EQ(parse_pool_members(listing, "pve1", &vms, &elsewhere, msg_, sizeof msg_), 0) << msg_;
    EXPECT_EQ(ids_of(vms), (std::vector<long>{201, 203}));
    EXPECT_EQ(vms[0].name, "a");
    EXPECT_EQ(elsewhere, 1u);
    ASSERT_EQ(parse_pool_members("{\"members\":[]}", "pve1", &vms, &elsewhere, msg_, sizeof msg_), 0);
    EXPECT_TRUE(vms.empty());

    struct bad {
        const char *answer;
        const char *message;
    } const cases[] = {
        {"", "the pool listing is not JSON (no object)"},
        {"{\"members\":[", "the pool listing is not JSON (unexpected end at byte 12)"},
        {"{\"comment\":\"x\"}", "the pool listing has no member list"},
        {"{\"members\":{}}", "the pool listing has no member list"},
        {"{\"members\":[{\"type\":\"qemu\",\"vmid\":5}]}", "the pool listing has a VM without a VMID or a node"},
        {"{\"members\":[{\"type\":\"qemu\",\"vmid\":0,\"node\":\"pve1\"}]}",
         "the pool listing has a VM without a VMID or a node"},
        {"{\"members\":[{\"type\":\"qemu\",\"vmid\":1.5,\"node\":\"pve1\"}]}",
         "the pool listing has a VM without a VMID or a node"},
    };
    for (const bad &c : cases) {
        EXPECT_EQ(parse_pool_members(c.answer, "pve1", &vms, &elsewhere, msg_, sizeof msg_), -1) << c.answer;
        EXPECT_STREQ(msg_, c.message) << c.answer;
    }
}

TEST_F(NodeSelect, PoolListingThroughPvesh)
{
    fake_tools tools;
    tools.on("pvesh", "case \"$2\" in\n"
                      "/pools/web) echo '{\"members\":[{\"type\":\"qemu\",\"vmid\":7,\"node\":\"pve1\"}]}' ;;\n"
                      "*) echo \"pool '${2#/pools/}' does not exist\" >&2; exit 2 ;;\n"
                      "esac");
    std::vector<selected_vm> vms;
    size_t elsewhere = 0;
    ASSERT_EQ(list_pool_vms("web", "pve1", &vms, &elsewhere, msg_, sizeof msg_), 0) << msg_;
    EXPECT_EQ(ids_of(vms), (std::vector<long>{7}));
    EXPECT_EQ(list_pool_vms("nope", "pve1", &vms, &elsewhere, msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "pool 'nope': pvesh get /pools/nope failed: pool 'nope' does not exist");
    EXPECT_EQ(tools.calls_of("pvesh"), (strings{"get /pools/web --output-format json",
                                                "get /pools/nope --output-format json"}));
    tools.remove("pvesh");
    EXPECT_EQ(list_pool_vms("web", "pve1", &vms, &elsewhere, msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "pvesh is not available (not running on a Proxmox VE host?)");
}

TEST(NodeSelectExclude, DropsTheExcludedAndCountsThem)
{
    std::vector<selected_vm> vms{{101, ""}, {102, ""}, {103, ""}, {104, ""}};
    const long excluded[] = {103, 101, 999};
    EXPECT_EQ(drop_excluded(&vms, excluded, 3), 2u);
    EXPECT_EQ(ids_of(vms), (std::vector<long>{102, 104}));
    EXPECT_EQ(drop_excluded(&vms, excluded, 0), 0u);
}

node_summary sample_summary()
{
    node_summary s;
    s.node = "pve1";
    s.label = "nightly";
    s.excluded = {104};
    s.started = 1767225600;  // 2026-01-01T00:00:00Z
    s.ended = 1767229261;
    vm_row ok;
    ok.vmid = 101;
    ok.name = "web01";
    ok.job_prefix = "nightly-101";
    ok.result = VM_RESULT_OK;
    ok.disks = 2;
    ok.disks_backed_up = 2;
    ok.consistency = "fs";
    ok.duration_ms = 3723000;
    ok.bytes_known = true;
    ok.bytes_read = 12u << 20;
    vm_row failed;
    failed.vmid = 102;
    failed.name = "db\n01";
    failed.job_prefix = "nightly-102";
    failed.result = VM_RESULT_FAILED;
    failed.reason = "disk scsi1 is not LVM-backed";
    failed.duration_ms = 900;
    vm_row skipped;
    skipped.vmid = 1000;
    skipped.job_prefix = "nightly-1000";
    skipped.result = VM_RESULT_SKIPPED;
    skipped.reason = "migrated to node pve2";
    s.rows = {ok, failed, skipped};
    return s;
}

TEST(NodeSummary, TableAndCountLine)
{
    node_summary s = sample_summary();
    EXPECT_EQ(summary_table(s),
              (strings{"VMID  NAME   RESULT   DISKS  CONSISTENCY  DURATION  READ      WHY",
                       "101   web01  ok       2/2    fs           1:02:03   12.0 MiB",
                       "102   db 01  failed   -      -            0:00:00   -         disk scsi1 is not LVM-backed",
                       "1000  -      skipped  -      -            -         -         migrated to node pve2"}));
    summary_counts c = count_rows(s);
    EXPECT_EQ(summary_count_line(c), "1 of 3 VM(s) backed up, 1 failed, 1 skipped");
    EXPECT_TRUE(summary_failed(s));
    s.rows[1].result = VM_RESULT_SKIPPED;
    EXPECT_FALSE(summary_failed(s));
    EXPECT_EQ(summary_count_line(count_rows(s)), "1 of 3 VM(s) backed up, 0 failed, 2 skipped");
    s.interrupted_by = 15;
    EXPECT_TRUE(summary_failed(s));
    node_summary none;
    none.error = "pool 'x': pvesh get /pools/x failed: pool 'x' does not exist";
    EXPECT_TRUE(summary_failed(none));
    EXPECT_EQ(summary_count_line(count_rows(none)), "0 of 0 VM(s) backed up, 0 failed, 0 skipped");

    EXPECT_EQ(format_bytes(0), "0 B");
    EXPECT_EQ(format_bytes(1023), "1023 B");
    EXPECT_EQ(format_bytes(1536), "1.5 KiB");
    EXPECT_EQ(format_bytes(5ull << 40), "5.0 TiB");
    EXPECT_EQ(format_duration(59999), "0:00:59");
    EXPECT_EQ(format_duration(36000000 + 61000), "10:01:01");
}

TEST(NodeSummary, JsonHoldsWhatTheTableSays)
{
    node_summary s = sample_summary();
    std::string text = summary_json(s);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\n'), text.size() - 1);  // one line
    json_value v;
    char msg[128];
    ASSERT_EQ(json_parse(text.data(), text.size(), &v, msg, sizeof msg), 0) << msg << "\n" << text;
    EXPECT_STREQ(v.member_text("node"), "pve1");
    EXPECT_STREQ(v.member_text("job"), "nightly");
    EXPECT_STREQ(v.member_text("selection"), "all");
    EXPECT_EQ(v.member("pool")->kind, json_value::null_value);
    EXPECT_EQ(v.member("excluded")->items.size(), 1u);
    EXPECT_STREQ(v.member_text("started"), "2026-01-01T00:00:00Z");
    EXPECT_STREQ(v.member_text("ended"), "2026-01-01T01:01:01Z");
    long n = -1;
    for (auto [key, want] : {std::pair{"total", 3L}, {"backed_up", 1L}, {"failed", 1L}, {"skipped", 1L},
                             {"exit_status", 1L}}) {
        ASSERT_TRUE(json_whole_number(v.member(key), &n)) << key;
        EXPECT_EQ(n, want) << key;
    }
    const json_value *vms = v.member("vms");
    ASSERT_NE(vms, nullptr);
    ASSERT_EQ(vms->items.size(), 3u);
    const json_value &ok = vms->items[0];
    EXPECT_STREQ(ok.member_text("job_prefix"), "nightly-101");
    EXPECT_STREQ(ok.member_text("result"), "ok");
    EXPECT_EQ(ok.member("reason")->kind, json_value::null_value);
    EXPECT_TRUE(json_whole_number(ok.member("bytes_read"), &n));
    EXPECT_EQ(n, 12L << 20);
    EXPECT_EQ(ok.member("duration_s")->text, "3723.000");
    const json_value &failed = vms->items[1];
    EXPECT_STREQ(failed.member_text("name"), "db\n01");  // JSON keeps it exact
    EXPECT_STREQ(failed.member_text("reason"), "disk scsi1 is not LVM-backed");
    EXPECT_EQ(failed.member("disks")->kind, json_value::null_value);
    EXPECT_EQ(failed.member("bytes_read")->kind, json_value::null_value);
    EXPECT_STREQ(vms->items[2].member_text("result"), "skipped");
}

TEST(NodeSummary, BytesReadComeFromTheAgentsReportOfEachDiskJob)
{
    const std::string head = "2026-01-01T00:00:00Z [vlt_agent] INFO  job ";
    uint64_t bytes = 0;
    EXPECT_TRUE(agent_bytes_read((head + "vm101-scsi0: run written to /b/x (8388608 bytes read, 3 chunks "
                                         "stored, 0 bytes new)\n").c_str(),
                                 "vm101", &bytes));
    EXPECT_EQ(bytes, 8388608u);
    // A path that looks like the report itself: the last group counts.
    EXPECT_TRUE(agent_bytes_read((head + "vm101-scsi0: run written to /b/(1 bytes read, (77 bytes read, "
                                         "1 chunks stored)\n").c_str(),
                                 "vm101", &bytes));
    EXPECT_EQ(bytes, 77u);
    bytes = 5;
    for (const std::string &line : {
             head + "vm101-vmconfig: run written to /b/x (500 bytes read, 1 chunks stored)",  // not a disk
             head + "vm1010-scsi0: run written to /b/x (500 bytes read, 1 chunks stored)",    // another VM
             head + "vm101-: run written to /b/x (500 bytes read, 1 chunks stored)",
             head + "vm101-scsi0: run written to /b/x",
             std::string("2026-01-01T00:00:00Z [vlt_proxmox] INFO  job vm101-scsi0: run written to /b/x (500 "
                         "bytes read, 1 chunks stored)"),
             head + "vm101-scsi0: run written to /b/x (99999999999999999999999 bytes read, 1 chunks stored)",
         })
        EXPECT_FALSE(agent_bytes_read(line.c_str(), "vm101", &bytes)) << line;
    EXPECT_EQ(bytes, 5u);
}

TEST(NodeSummary, MailSubjectAndBody)
{
    node_summary s = sample_summary();
    EXPECT_EQ(summary_mail_subject(s), "vlt_proxmox nightly on pve1: 1 of 3 VM(s) backed up, 1 failed, 1 skipped");
    std::string body = summary_mail_body(s);
    EXPECT_EQ(body.substr(0, body.find("\n\n") + 2),
              "vlt_proxmox nightly on node pve1, 2026-01-01T00:00:00Z to 2026-01-01T01:01:01Z\n\n");
    for (const std::string &line : summary_table(s))
        EXPECT_NE(body.find(line + "\n"), std::string::npos) << line;
    EXPECT_NE(body.find("\n1 of 3 VM(s) backed up, 1 failed, 1 skipped\nExcluded: 104\n"), std::string::npos)
        << body;
    node_summary none;
    none.label = "pool web";
    none.error = "pool 'web': the pool listing has no member list";
    EXPECT_EQ(summary_mail_subject(none),
              "vlt_proxmox pool web on ?: failed: pool 'web': the pool listing has no member list");
}

// sendmail stand-in: records its arguments and the message, then exits
// with $MAIL_EXIT after printing $MAIL_SAY.
class MailTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        program_ = dir_.path() + "/sendmail";
        ASSERT_TRUE(vlt_test::write_script(program_, "printf '%s\\n' \"$@\" > \"$0.args\"\n"
                                                     "cat > \"$0.msg\"\n"
                                                     "[ -n \"$MAIL_SAY\" ] && echo \"$MAIL_SAY\" >&2\n"
                                                     "exit ${MAIL_EXIT:-0}\n"));
        setenv("VLT_SENDMAIL", program_.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("VLT_SENDMAIL");
        unsetenv("MAIL_EXIT");
        unsetenv("MAIL_SAY");
        mail_time_limit_seconds = 60;
    }
    vlt_test::temp_dir dir_{"vlt_mail"};
    std::string program_;
    char msg_[512] = "";
};

TEST_F(MailTest, AddressesAreCheckedBeforeTheyReachSendmail)
{
    EXPECT_EQ(check_mail_addresses("root, ops@example.org\tx@y", msg_, sizeof msg_), 0) << msg_;
    struct bad {
        const char *list;
        const char *message;
    } const cases[] = {
        {"", "no mail address"},
        {" , ,", "no mail address"},
        {"-oQ/tmp/x", "'-oQ/tmp/x' is not a mail address"},
        {"root,a\"b@c", "'a\"b@c' is not a mail address"},
        {"Root <root@x>", "'<root@x>' is not a mail address"},
        {"a;b", "'a;b' is not a mail address"},
        {"caf\xc3\xa9@x", "'caf\xc3\xa9@x' is not a mail address"},
    };
    for (const bad &c : cases) {
        EXPECT_EQ(check_mail_addresses(c.list, msg_, sizeof msg_), -1) << c.list;
        EXPECT_STREQ(msg_, c.message) << c.list;
    }
    std::string many;
    for (int i = 0; i <= MAIL_MAX_ADDRESSES; i++)
        many += "a" + std::to_string(i) + " ";
    EXPECT_EQ(check_mail_addresses(many.c_str(), msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "more than 32 mail addresses");
    EXPECT_EQ(sendmail_path(), program_);
    unsetenv("VLT_SENDMAIL");
    EXPECT_STREQ(sendmail_path(), "/usr/sbin/sendmail");
    setenv("VLT_SENDMAIL", "", 1);
    EXPECT_STREQ(sendmail_path(), "/usr/sbin/sendmail");
}

TEST_F(MailTest, TheMailReachesSendmailWhole)
{
    ASSERT_EQ(send_mail("root,ops@example.org", "vlt_proxmox all on pve1: 2 of 2 VM(s) backed up\xc3\xa9",
                        "table\nline", msg_, sizeof msg_),
              0)
        << msg_;
    EXPECT_EQ(vlt_test::read_file(program_ + ".args"), "-oi\n--\nroot\nops@example.org\n");
    EXPECT_EQ(vlt_test::read_file(program_ + ".msg"),
              "To: root, ops@example.org\n"
              "Subject: vlt_proxmox all on pve1: 2 of 2 VM(s) backed up??\n"
              "Auto-Submitted: auto-generated\n"
              "MIME-Version: 1.0\n"
              "Content-Type: text/plain; charset=UTF-8\n"
              "Content-Transfer-Encoding: 8bit\n"
              "\n"
              "table\nline\n");
}

TEST_F(MailTest, AFailingOrMissingSendmailIsReported)
{
    setenv("MAIL_EXIT", "75", 1);
    setenv("MAIL_SAY", "postdrop: warning: unable to look up public/pickup", 1);
    EXPECT_EQ(send_mail("root", "s", "b", msg_, sizeof msg_), -1);
    EXPECT_EQ(std::string(msg_), program_ + " exited with 75: postdrop: warning: unable to look up public/pickup");
    unsetenv("MAIL_SAY");
    EXPECT_EQ(send_mail("root", "s", "b", msg_, sizeof msg_), -1);
    EXPECT_EQ(std::string(msg_), program_ + " exited with 75: no output");
    setenv("VLT_SENDMAIL", (dir_.path() + "/missing").c_str(), 1);
    EXPECT_EQ(send_mail("root", "s", "b", msg_, sizeof msg_), -1);
    EXPECT_EQ(std::string(msg_), dir_.path() + "/missing could not be run (is a mail transfer agent installed?)");
    EXPECT_EQ(send_mail("-x", "s", "b", msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "'-x' is not a mail address");
}

}  // namespace
