// The node around the tools: storage.cfg, Proxmox's storage lock, locale
// warnings, the cluster file system's layout, pvesh's node and pool
// listings, and a second node sharing the cluster store.
#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/testbed/testbed_util.h"

namespace testbed_test {
namespace {

using vlt_test::run_result;

constexpr uint64_t kMiB = 1024 * 1024;

class Node : public host_test {
protected:
    std::string link_of(const std::string &path) {
        char buf[4096];
        ssize_t n = readlink(path.c_str(), buf, sizeof buf);
        return n < 0 ? "" : std::string(buf, size_t(n));
    }
};

TEST_F(Node, StorageCfgDescribesEveryStorage) {
    ASSERT_TRUE(host_.add_storage_with("san", "lvm", {"--vg", host_.vg() + "san", "--shared"}));
    ASSERT_TRUE(host_.add_storage("local", "dir"));
    const std::string &vg = host_.vg();
    EXPECT_EQ(vlt_test::read_file(host_.pve_dir() + "/storage.cfg"),
              "lvmthin: local-lvm\n\tthinpool data\n\tvgname " + vg + "\n\tcontent images,rootdir\n\n"
              "lvm: thick\n\tvgname " + vg + "\n\tcontent images,rootdir\n\tshared 0\n\n"
              "lvm: san\n\tvgname " + vg + "san\n\tcontent images,rootdir\n\tshared 1\n\n"
              "dir: local\n\tpath " + host_.root() + "/dir/local\n\tcontent images,rootdir\n\n");
    std::string out;
    EXPECT_NE(host_.driver({"add-storage", "t2", "lvmthin", "--shared"}, &out), 0);
    EXPECT_NE(out.find("cannot be shared"), std::string::npos) << out;

    ASSERT_TRUE(host_.remove_storage_cfg());
    EXPECT_FALSE(vlt_test::file_exists(host_.pve_dir() + "/storage.cfg"));
    // The storages themselves still work.
    ASSERT_TRUE(host_.add_lv("thick", "vm-101-disk-0", 4 * kMiB));
    EXPECT_EQ(tool("pvesm", {"path", "thick:vm-101-disk-0"}).exit_status, 0);
    ASSERT_TRUE(host_.add_storage("more", "lvm"));
    EXPECT_EQ(vlt_test::read_file(host_.pve_dir() + "/storage.cfg"),
              "lvm: more\n\tvgname " + vg + "\n\tcontent images,rootdir\n\tshared 0\n\n");
}

TEST_F(Node, PvesmWaitsForProxmoxsStorageLock) {
    std::string dir;
    ASSERT_EQ(host_.driver({"lock-dir"}, &dir), 0);
    EXPECT_EQ(dir, host_.lock_dir() + "\n");
    // The programs under test find the same directory in their environment.
    std::string env;
    ASSERT_EQ(host_.driver({"env"}, &env), 0);
    EXPECT_NE(env.find("export VLT_PVE_LOCK_DIR=" + host_.lock_dir() + "\n"), std::string::npos) << env;
    std::vector<std::string> child = host_.child_env();
    EXPECT_NE(std::find(child.begin(), child.end(), "VLT_PVE_LOCK_DIR=" + host_.lock_dir()), child.end());
    auto lock = host_.hold_storage_lock("local-lvm");
    ASSERT_TRUE(lock);
    EXPECT_TRUE(vlt_test::file_exists(host_.lock_dir() + "/pve-storage-local-lvm"));
    auto alloc = host_.start("pvesm", {"alloc", "local-lvm", "105", "", "4M"});
    ASSERT_TRUE(alloc->started());
    ASSERT_TRUE(host_.wait_for_call("pvesm", "alloc local-lvm", 10000));
    // Another storage's lock is another file: no wait there.
    EXPECT_EQ(tool("pvesm", {"alloc", "thick", "105", "", "4M"}).exit_status, 0);
    run_result r = alloc->wait(300);
    EXPECT_EQ(r.exit_status, -1) << "pvesm alloc did not wait for the lock: " << r.out << r.err;
    EXPECT_FALSE(host_.lv_exists(host_.vg(), "vm-105-disk-1"));
    lock->release();
    r = alloc->wait(20000);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "  Logical volume \"vm-105-disk-1\" created.\nsuccessfully created 'local-lvm:vm-105-disk-1'\n");

    // The same for free, and with the driver holding the lock.
    auto holder = host_.start("/bin/bash", {vlt_test::simhost_driver(), "hold-storage-lock", "local-lvm", "60"});
    ASSERT_TRUE(holder->started());
    for (int i = 0; i < 1000; i++) {
        auto probe = host_.hold_storage_lock("local-lvm", 0);
        if (!probe) break;
        probe->release();
        usleep(10000);
    }
    auto free_run = host_.start("pvesm", {"free", "local-lvm:vm-105-disk-1"});
    ASSERT_TRUE(host_.wait_for_call("pvesm", "free local-lvm:vm-105-disk-1", 10000));
    EXPECT_EQ(free_run->wait(300).exit_status, -1) << "pvesm free did not wait for the lock";
    EXPECT_TRUE(host_.lv_exists(host_.vg(), "vm-105-disk-1"));
    ASSERT_TRUE(holder->send_signal(SIGTERM));
    holder->wait(10000);
    r = free_run->wait(20000);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_FALSE(host_.lv_exists(host_.vg(), "vm-105-disk-1"));
}

TEST_F(Node, PerlLocaleWarningsComeFirstUnlessLcAllIsC) {
    ASSERT_TRUE(host_.add_vm(101, "agent: 1\n"));
    const std::string warnings = vlt_test::perl_locale_warnings;
    auto as_ssh = [&](const std::string &name, const std::vector<std::string> &args) {
        return host_.run(name, args, {"LC_ALL=", "LANG=en_US.UTF-8"}, 30000);
    };
    // Off by default.
    EXPECT_EQ(as_ssh("pvesh", {"get", "/cluster/nextid"}).err, "");
    ASSERT_TRUE(host_.set_setting("locale_warnings", "1"));
    run_result r = as_ssh("pvesh", {"get", "/cluster/nextid"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, warnings);
    EXPECT_EQ(r.out, "100\n");
    r = as_ssh("qm", {"config", "999"});
    EXPECT_EQ(r.err, warnings + "Configuration file 'nodes/simnode/qemu-server/999.conf' does not exist\n");
    r = as_ssh("pvesm", {"path", "local-lvm:vm-101-disk-0"});
    EXPECT_EQ(r.err, warnings);
    EXPECT_EQ(as_ssh("lvs", {"-o", "lv_name"}).err, "") << "lvs is no Perl program";
    // LC_ALL=C (what child_env() gives) prevents them, unless "always".
    EXPECT_EQ(tool("qm", {"status", "101"}).err, "");
    ASSERT_TRUE(host_.set_setting("locale_warnings", "always"));
    r = tool("qm", {"status", "101"});
    EXPECT_EQ(r.err, warnings);
    EXPECT_EQ(r.out, "status: running\n");
    // Before a fault's text too, but not when the tool is missing.
    vlt_test::fault_spec f;
    f.tool = "pvesm";
    f.exit_code = 2;
    f.text = "boom";
    ASSERT_TRUE(host_.add_fault(f));
    f.action = vlt_test::fault_spec::missing;
    f.nth = 2;
    ASSERT_TRUE(host_.add_fault(f));
    EXPECT_EQ(tool("pvesm", {"path", "local-lvm:vm-101-disk-0"}).err, warnings + "boom\n");
    EXPECT_EQ(tool("pvesm", {"path", "local-lvm:vm-101-disk-0"}).err, "pvesm: command not found\n");
    EXPECT_NE(host_.driver({"set", "locale_warnings", "yes"}), 0);
}

TEST_F(Node, AllocNamesAndSizesOfRestoredVolumes) {
    const std::string &vg = host_.vg();
    run_result r = tool("pvesm", {"alloc", "local-lvm", "205", "vm-205-cloudinit", "4M"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "  Logical volume \"vm-205-cloudinit\" created.\nsuccessfully created 'local-lvm:vm-205-cloudinit'\n");
    // An EFI vars disk: 528 KiB, rounded up to one extent.
    r = tool("pvesm", {"alloc", "thick", "205", "", "528"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out,
              "  Rounding up size to full physical extent 4.00 MiB\n"
              "  Logical volume \"vm-205-disk-0\" created.\n"
              "successfully created 'thick:vm-205-disk-0'\n");
    EXPECT_EQ(host_.lv_field(vg, "vm-205-disk-0", "size"), "4194304");
    ASSERT_TRUE(host_.add_storage("local", "dir"));
    r = tool("pvesm", {"alloc", "local", "205", "", "528"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "Formatting '" + host_.root() + "/dir/local/images/205/vm-205-disk-0.raw', fmt=raw size=540672\n"
                     "successfully created 'local:205/vm-205-disk-0.raw'\n");
    r = tool("pvesm", {"alloc", "local-lvm", "205", "", "528K"});
    EXPECT_EQ(r.exit_status, 255);
}

TEST_F(Node, PveDirectoryHasTheClusterLayout) {
    const std::string pve = host_.pve_dir();
    EXPECT_EQ(link_of(pve + "/qemu-server"), "nodes/simnode/qemu-server");
    EXPECT_EQ(link_of(pve + "/lxc"), "nodes/simnode/lxc");
    EXPECT_EQ(link_of(pve + "/local"), "nodes/simnode");
    ASSERT_TRUE(host_.add_vm(101, "agent: 1\n"));
    ASSERT_TRUE(host_.add_ct(102));
    EXPECT_TRUE(vlt_test::file_exists(pve + "/nodes/simnode/qemu-server/101.conf"));
    EXPECT_TRUE(vlt_test::file_exists(pve + "/nodes/simnode/lxc/102.conf"));

    // An exclusive create through the link, as the restore installs a config.
    int fd = open((pve + "/qemu-server/103.conf").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "memory: 64\n", 11), 11);
    close(fd);
    EXPECT_EQ(open((pve + "/qemu-server/103.conf").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(tool("qm", {"config", "103"}).out, "memory: 64\n");
    EXPECT_EQ(tool("pvesh", {"get", "/cluster/nextid"}).out, "100\n");
    ASSERT_TRUE(host_.add_vm(100, "agent: 1\n"));
    EXPECT_EQ(tool("pvesh", {"get", "/cluster/nextid"}).out, "104\n");

    // A VM on another node: not this node's, but its id is taken.
    ASSERT_TRUE(host_.add_vm_with(104, "name: elsewhere\n", {"--node", "pve2"}));
    EXPECT_TRUE(vlt_test::file_exists(pve + "/nodes/pve2/qemu-server/104.conf"));
    run_result r = tool("qm", {"status", "104"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "Configuration file 'nodes/simnode/qemu-server/104.conf' does not exist\n");
    EXPECT_EQ(tool("pvesh", {"get", "/cluster/nextid"}).out, "105\n");

    // The node name can change while the host is alone in its store: not now.
    EXPECT_NE(host_.driver({"set", "node", "other"}), 0);
}

TEST(SimHostNode, RenamingALoneNodeMovesItsDirectory) {
    vlt_test::sim_host host;
    VLT_REQUIRE_SIM_HOST(host);
    ASSERT_TRUE(host.add_vm(101, "agent: 1\n"));
    ASSERT_TRUE(host.set_setting("node", "pve1"));
    EXPECT_TRUE(vlt_test::file_exists(host.pve_dir() + "/nodes/pve1/qemu-server/101.conf"));
    EXPECT_FALSE(vlt_test::file_exists(host.pve_dir() + "/nodes/simnode"));
    run_result r = host.run("qm", {"status", "101"});
    EXPECT_EQ(r.out, "status: running\n") << r.err;
    r = host.run("qm", {"config", "102"});
    EXPECT_EQ(r.err, "Configuration file 'nodes/pve1/qemu-server/102.conf' does not exist\n");
}

TEST_F(Node, PveshListsANodesVms) {
    ASSERT_TRUE(host_.add_vm(101, "name: web01\nmemory: 2048\ncores: 2\nagent: 1\n"));
    ASSERT_TRUE(host_.add_vm_with(102, "agent: 1\n", {"--stopped"}));
    ASSERT_TRUE(host_.add_vm_with(103, "name: tmpl\ntemplate: 1\nlock: backup\n", {"--state", "paused"}));
    ASSERT_TRUE(host_.add_ct(104));
    ASSERT_TRUE(host_.add_vm_with(105, "name: far\n", {"--node", "pve2"}));
    run_result r = tool("pvesh", {"get", "/nodes/simnode/qemu", "--output-format", "json"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out,
              "[{\"cpu\":0,\"cpus\":1,\"disk\":0,\"diskread\":0,\"diskwrite\":0,\"lock\":\"backup\",\"maxdisk\":0,"
              "\"maxmem\":536870912,\"mem\":0,\"name\":\"tmpl\",\"netin\":0,\"netout\":0,\"status\":\"running\","
              "\"template\":1,\"uptime\":0,\"vmid\":103},"
              "{\"cpu\":0,\"cpus\":1,\"disk\":0,\"diskread\":0,\"diskwrite\":0,\"maxdisk\":0,\"maxmem\":536870912,"
              "\"mem\":0,\"name\":\"VM 102\",\"netin\":0,\"netout\":0,\"status\":\"stopped\",\"uptime\":0,\"vmid\":102},"
              "{\"cpu\":0,\"cpus\":2,\"disk\":0,\"diskread\":0,\"diskwrite\":0,\"maxdisk\":0,\"maxmem\":2147483648,"
              "\"mem\":0,\"name\":\"web01\",\"netin\":0,\"netout\":0,\"status\":\"running\",\"uptime\":0,\"vmid\":101}]\n");
    r = tool("pvesh", {"get", "/nodes/pve2/qemu", "--output-format", "json"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.out.find("\"name\":\"far\""), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\"vmid\":101"), std::string::npos) << r.out;

    ASSERT_TRUE(host_.add_vm(106, "agent: 1\n"));
    ASSERT_TRUE(host_.migrate_vm(106, "pve2"));
    EXPECT_EQ(tool("pvesh", {"get", "/nodes/simnode/qemu", "--output-format", "json"}).out.find("\"vmid\":106"),
              std::string::npos);
    EXPECT_NE(tool("pvesh", {"get", "/nodes/pve2/qemu", "--output-format", "json"}).out.find("\"vmid\":106"),
              std::string::npos);
    EXPECT_EQ(tool("qm", {"status", "106"}).exit_status, 255);
    EXPECT_NE(host_.driver({"migrate-vm", "106", "pve2"}), 0) << "106 is no longer on this node";

    r = tool("pvesh", {"get", "/nodes/nowhere/qemu", "--output-format", "json"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "hostname lookup 'nowhere' failed - failed to get address info for: nowhere: Name or service not known\n");
    r = tool("pvesh", {"get", "/nodes/simnode/qemu"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(tool("pvesh", {"get", "/nodes/simnode/lxc", "--output-format", "json"}).exit_status, 255);
}

TEST_F(Node, PveshListsAPoolsMembers) {
    ASSERT_TRUE(host_.add_vm(101, "name: web01\nagent: 1\n"));
    ASSERT_TRUE(host_.add_vm_with(102, "agent: 1\n", {"--node", "pve2", "--stopped"}));
    ASSERT_TRUE(host_.add_ct(103));
    ASSERT_TRUE(host_.add_pool("prod", {"102", "101"}, "web: 100%"));
    ASSERT_TRUE(host_.add_pool("prod", {"103", "999", "local-lvm"}));
    ASSERT_TRUE(host_.add_pool("empty", {}));
    EXPECT_EQ(vlt_test::read_file(host_.pve_dir() + "/user.cfg"),
              "user:root@pam:1:0:::root@localhost:::\n\n"
              "pool:prod:web%3A 100%25:101,102,103,999:local-lvm:\n"
              "pool:empty::::\n");
    run_result r = tool("pvesh", {"get", "/pools/prod", "--output-format", "json"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"comment\":\"web: 100%\",\"members\":["
              "{\"cpu\":0,\"disk\":0,\"diskread\":0,\"diskwrite\":0,\"id\":\"lxc/103\",\"maxcpu\":1,\"maxdisk\":0,"
              "\"maxmem\":536870912,\"mem\":0,\"name\":\"ct103\",\"netin\":0,\"netout\":0,\"node\":\"simnode\","
              "\"status\":\"stopped\",\"template\":0,\"type\":\"lxc\",\"uptime\":0,\"vmid\":103},"
              "{\"cpu\":0,\"disk\":0,\"diskread\":0,\"diskwrite\":0,\"id\":\"qemu/101\",\"maxcpu\":1,\"maxdisk\":0,"
              "\"maxmem\":536870912,\"mem\":0,\"name\":\"web01\",\"netin\":0,\"netout\":0,\"node\":\"simnode\","
              "\"status\":\"running\",\"template\":0,\"type\":\"qemu\",\"uptime\":0,\"vmid\":101},"
              "{\"cpu\":0,\"disk\":0,\"diskread\":0,\"diskwrite\":0,\"id\":\"qemu/102\",\"maxcpu\":1,\"maxdisk\":0,"
              "\"maxmem\":536870912,\"mem\":0,\"name\":\"VM 102\",\"netin\":0,\"netout\":0,\"node\":\"pve2\","
              "\"status\":\"stopped\",\"template\":0,\"type\":\"qemu\",\"uptime\":0,\"vmid\":102},"
              "{\"content\":\"images,rootdir\",\"disk\":0,\"id\":\"storage/simnode/local-lvm\",\"maxdisk\":0,"
              "\"node\":\"simnode\",\"plugintype\":\"lvmthin\",\"shared\":0,\"status\":\"available\","
              "\"storage\":\"local-lvm\",\"type\":\"storage\"}]}\n");
    EXPECT_EQ(tool("pvesh", {"get", "/pools/empty", "--output-format", "json"}).out, "{\"members\":[]}\n");
    r = tool("pvesh", {"get", "/pools/nope", "--output-format", "json"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "pool 'nope' does not exist\n");
}

TEST(SimHostCluster, TwoNodesShareOneClusterStore) {
    vlt_test::sim_host a;
    VLT_REQUIRE_SIM_HOST(a);
    vlt_test::sim_host b(a, "pve2");
    VLT_REQUIRE_SIM_HOST(b);
    EXPECT_EQ(b.node(), "pve2");
    EXPECT_NE(a.vg(), b.vg());
    ASSERT_TRUE(a.add_storage("local-lvm", "lvmthin"));
    ASSERT_TRUE(b.add_storage("local-lvm", "lvmthin"));
    ASSERT_TRUE(b.add_storage("nfs", "dir"));
    // One storage.cfg for the cluster: the first definition of an id stays.
    std::string cfg = vlt_test::read_file(a.pve_dir() + "/storage.cfg");
    EXPECT_EQ(vlt_test::read_file(b.pve_dir() + "/storage.cfg"), cfg);
    EXPECT_NE(cfg.find("\tvgname " + a.vg() + "\n"), std::string::npos) << cfg;
    EXPECT_EQ(cfg.find("\tvgname " + b.vg() + "\n"), std::string::npos) << cfg;
    EXPECT_NE(cfg.find("dir: nfs\n"), std::string::npos) << cfg;

    ASSERT_TRUE(a.add_vm(101, "name: on-a\nagent: 1\n"));
    ASSERT_TRUE(b.add_vm(201, "name: on-b\nagent: 1\n"));
    ASSERT_TRUE(b.add_lv("local-lvm", "vm-201-disk-0", 4 * kMiB));
    EXPECT_TRUE(vlt_test::file_exists(a.pve_dir() + "/nodes/pve2/qemu-server/201.conf"));
    EXPECT_EQ(a.run("qm", {"status", "101"}).out, "status: running\n");
    run_result r = b.run("qm", {"status", "101"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "Configuration file 'nodes/pve2/qemu-server/101.conf' does not exist\n");
    EXPECT_EQ(b.run("qm", {"config", "201"}).out, "agent: 1\nname: on-b\n");
    EXPECT_EQ(b.run("pvesm", {"path", "local-lvm:vm-201-disk-0"}).out, "/dev/" + b.vg() + "/vm-201-disk-0\n");
    // Ids are cluster-wide; both nodes answer for both.
    EXPECT_EQ(b.run("pvesh", {"get", "/cluster/nextid"}).out, "100\n");
    ASSERT_TRUE(a.add_vm(100, "agent: 1\n"));
    EXPECT_EQ(b.run("pvesh", {"get", "/cluster/nextid"}).out, "102\n");
    r = a.run("pvesh", {"get", "/nodes/pve2/qemu", "--output-format", "json"});
    EXPECT_NE(r.out.find("\"name\":\"on-b\""), std::string::npos) << r.out << r.err;

    // A migration moves the configuration; the guest state goes along.
    ASSERT_TRUE(a.set_run_state(101, "paused"));
    ASSERT_TRUE(a.migrate_vm(101, "pve2"));
    EXPECT_EQ(b.run("qm", {"status", "101"}).out, "status: paused\n");
    EXPECT_EQ(a.run("qm", {"status", "101"}).exit_status, 255);
    ASSERT_TRUE(b.set_run_state(101, "running"));
    ASSERT_EQ(b.run("qm", {"guest", "cmd", "101", "fsfreeze-freeze"}).exit_status, 0);
    EXPECT_TRUE(a.guest_frozen(101));
    std::string report;
    EXPECT_FALSE(b.check_clean(&report));
    EXPECT_EQ(report, "frozen guest 101\n");
    ASSERT_EQ(b.run("qm", {"guest", "cmd", "101", "fsfreeze-thaw"}).exit_status, 0);
    EXPECT_TRUE(b.check_clean(&report)) << report;
    EXPECT_TRUE(a.check_clean(&report)) << report;

    std::string out;
    EXPECT_NE(b.driver({"set", "node", "pve3"}, &out), 0);
    vlt_test::sim_host c(a, "simnode");
    EXPECT_FALSE(c.ok()) << "a node name taken by the first host";

    std::string b_root = b.root();
    EXPECT_TRUE(b.teardown(&report)) << report;
    EXPECT_TRUE(vlt_test::file_exists(a.pve_dir() + "/nodes/pve2/qemu-server/201.conf"));
    EXPECT_FALSE(vlt_test::file_exists(b_root));
}

}  // namespace
}  // namespace testbed_test
