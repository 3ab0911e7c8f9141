// The fault actions a fault matrix needs (garbage, hang-after,
// signal-caller, fakes that end once their caller is gone), the engine
// wrappers, and the recording sendmail.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "tests/testbed/testbed_util.h"

namespace testbed_test {
namespace {

using vlt_test::call_record;
using vlt_test::fault_spec;
using vlt_test::run_result;

class FaultsEngine : public host_test {
protected:
    // The exit status in the end line of the last call of tool_name whose
    // arguments start with prefix; -1000 when it did not end within timeout_ms.
    int wait_for_end(const std::string &tool_name, const std::string &prefix, int timeout_ms) {
        for (int waited = 0; waited <= timeout_ms; waited += 20) {
            long pid = 0;
            int status = -1000;
            for (const call_record &c : host_.calls()) {
                if (!c.is_end && c.tool == tool_name && c.joined().compare(0, prefix.size(), prefix) == 0) {
                    pid = c.pid;
                    status = -1000;
                }
                if (c.is_end && pid != 0 && c.pid == pid) status = c.exit_status;
            }
            if (status != -1000) return status;
            usleep(20000);
        }
        return -1000;
    }
    std::string engine(const std::string &name) { return std::string(vlt_test::engine_bin_dir()) + "/" + name; }
    // Runs a fake from a caller process that only waits for it, with the
    // default action for every signal (a shell would wait out a SIGINT);
    // returns the caller's wait status, or -1 when it did not end in time.
    int status_of_caller(const std::string &fake, const std::vector<std::string> &args) {
        std::string path = std::string(vlt_test::testbed_dir()) + "/bin/" + fake;
        std::vector<std::string> env = host_.child_env();
        std::vector<char *> cargv = {const_cast<char *>(path.c_str())}, cenv;
        for (const std::string &a : args) cargv.push_back(const_cast<char *>(a.c_str()));
        cargv.push_back(nullptr);
        for (const std::string &e : env) cenv.push_back(const_cast<char *>(e.c_str()));
        cenv.push_back(nullptr);
        pid_t caller = fork();
        if (caller == 0) {
            setpgid(0, 0);
            for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_DFL);
            pid_t child = fork();
            if (child == 0) {
                int devnull = open("/dev/null", O_RDWR);
                dup2(devnull, 0);
                dup2(devnull, 1);
                dup2(devnull, 2);
                execve(cargv[0], cargv.data(), cenv.data());
                _exit(127);
            }
            int st;
            while (waitpid(child, &st, 0) < 0 && errno == EINTR) {
            }
            _exit(0);
        }
        if (caller < 0) return -1;
        int status = 0;
        for (int i = 0; i < 1500; i++) {
            if (waitpid(caller, &status, WNOHANG) == caller) return status;
            usleep(20000);
        }
        kill(-caller, SIGKILL);
        waitpid(caller, &status, 0);
        return -1;
    }
};

TEST_F(FaultsEngine, GarbageComesWithStatusZeroAndChangesNothing) {
    fault_spec f;
    f.tool = "pvesm";
    f.match = "alloc";
    f.action = fault_spec::garbage_out;
    const char *kinds[] = {"random", "empty", "huge", "nul"};
    for (int i = 0; i < 4; i++) {
        f.garbage = kinds[i];
        f.nth = i + 1;
        ASSERT_TRUE(host_.add_fault(f));
    }
    std::vector<run_result> got;
    for (int i = 0; i < 4; i++) got.push_back(tool("pvesm", {"alloc", "local-lvm", "105", "", "4M"}));
    for (const run_result &r : got) {
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(got[0].out.size(), 512u);
    EXPECT_EQ(got[1].out, "\n");
    ASSERT_EQ(got[2].out.size(), 1048576u);
    std::vector<std::string> lines = lines_of(got[2].out);
    EXPECT_EQ(lines.size(), 8192u);
    EXPECT_EQ(lines.front(), std::string(127, 'x'));
    EXPECT_EQ(got[3].out, std::string("garbage\0after a NUL byte\n", 25));
    EXPECT_EQ(host_.lv_names(), std::vector<std::string>{"data"}) << "nothing was allocated";
    // The fifth call is a plain one again.
    EXPECT_EQ(tool("pvesm", {"alloc", "local-lvm", "105", "", "4M"}).out,
              "  Logical volume \"vm-105-disk-0\" created.\nsuccessfully created 'local-lvm:vm-105-disk-0'\n");
    std::string out;
    EXPECT_NE(host_.driver({"fault", "qm", "garbage", "lots"}, &out), 0);
}

TEST_F(FaultsEngine, HangAfterDoesTheWorkThenHangs) {
    fault_spec f;
    f.tool = "pvesm";
    f.match = "alloc";
    f.action = fault_spec::hang_after;
    ASSERT_TRUE(host_.add_fault(f));
    auto alloc = host_.start("pvesm", {"alloc", "local-lvm", "205", "vm-205-cloudinit", "4M"});
    ASSERT_TRUE(alloc->started());
    for (int i = 0; i < 1000 && !host_.lv_exists(host_.vg(), "vm-205-cloudinit"); i++) usleep(10000);
    ASSERT_TRUE(host_.lv_exists(host_.vg(), "vm-205-cloudinit"));
    EXPECT_EQ(alloc->wait(300).exit_status, -1) << "it did not hang";
    // The volume is usable and the storage lock free while it hangs.
    EXPECT_EQ(tool("pvesm", {"alloc", "local-lvm", "205", "", "4M"}).exit_status, 0);
    ASSERT_TRUE(alloc->send_signal(SIGTERM));
    run_result r = alloc->wait(10000);
    EXPECT_EQ(r.exit_status, 143);
    EXPECT_EQ(r.out, "  Logical volume \"vm-205-cloudinit\" created.\nsuccessfully created 'local-lvm:vm-205-cloudinit'\n");
    EXPECT_EQ(wait_for_end("pvesm", "alloc local-lvm 205 vm-205-cloudinit", 5000), 143);
}

TEST_F(FaultsEngine, SignalCallerHitsTheCallingProgram) {
    ASSERT_TRUE(host_.add_vm(101, "agent: 1\n"));
    const int sigs[] = {SIGTERM, SIGINT, SIGHUP, SIGKILL};
    for (int sig : sigs) {
        SCOPED_TRACE(sig);
        ASSERT_TRUE(host_.clear_faults());
        ASSERT_TRUE(host_.clear_calls());
        fault_spec f;
        f.tool = "qm";
        f.match = "guest cmd 101 fsfreeze-freeze";
        f.action = fault_spec::signal_caller;
        f.sig = sig;
        ASSERT_TRUE(host_.add_fault(f));
        int status = status_of_caller("qm", {"guest", "cmd", "101", "fsfreeze-freeze"});
        ASSERT_NE(status, -1) << "the caller was not hit";
        EXPECT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), sig);
        // Its caller gone, the fake ends by itself; the guest was not frozen.
        EXPECT_EQ(wait_for_end("qm", "guest cmd 101 fsfreeze-freeze", 10000), 129);
        EXPECT_FALSE(host_.guest_frozen(101));
    }
    EXPECT_NE(host_.driver({"fault", "qm", "signal-caller", "USR1"}), 0);
}

TEST_F(FaultsEngine, HangingFakeEndsWhenItsCallerIsKilled) {
    fault_spec f;
    f.tool = "lvs";
    f.action = fault_spec::hang;
    ASSERT_TRUE(host_.add_fault(f));
    auto caller = host_.start("/bin/bash", {"-c", "lvs; echo after"});
    ASSERT_TRUE(caller->started());
    ASSERT_TRUE(host_.wait_for_call("lvs", "", 10000));
    EXPECT_EQ(wait_for_end("lvs", "", 300), -1000) << "the fake did not hang";
    // SIGKILL to the caller alone, as when our program is killed that way.
    ASSERT_TRUE(caller->send_signal(SIGKILL));
    EXPECT_EQ(caller->wait(10000).term_signal, SIGKILL);
    EXPECT_EQ(wait_for_end("lvs", "", 10000), 129);
}

TEST_F(FaultsEngine, EngineWrapperLogsAndIsTheEngine) {
    // The same output and status as the engine itself.
    run_result direct = host_.run(engine("vlt_agent"), {"--bogus"});
    run_result wrapped = tool("vlt_agent", {"--bogus"});
    EXPECT_NE(direct.exit_status, 0);
    EXPECT_EQ(wrapped.exit_status, direct.exit_status);
    EXPECT_EQ(wrapped.out, direct.out);
    EXPECT_EQ(wrapped.err, direct.err);
    run_result version = tool("vlt_restore", {"--version"});
    EXPECT_EQ(version.exit_status, 0) << version.err;
    EXPECT_EQ(version.out, host_.run(engine("vlt_restore"), {"--version"}).out);
    std::vector<call_record> all = host_.calls();
    ASSERT_EQ(all.size(), 2u) << "a call line each, no end line";
    EXPECT_EQ(all[0].tool, "vlt_agent");
    EXPECT_EQ(all[0].args, std::vector<std::string>{"--bogus"});
    EXPECT_EQ(all[1].tool, "vlt_restore");

    // While it runs, the process is the engine: same pid as logged, the
    // engine's binary, the caller's locale.
    vlt_test::temp_dir dir("vlt_wrap");
    std::string fifo = dir.path() + "/source";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto bg = host_.start("vlt_agent", {"--source", fifo, "--snapshot", "off", "--name", "x", "--out", dir.path(),
                                        "--no-progress"},
                          {"LC_ALL=de_DE.UTF-8"});
    ASSERT_TRUE(bg->started());
    std::string exe_link = "/proc/" + std::to_string(bg->pid()) + "/exe";
    std::string exe;
    for (int i = 0; i < 1000; i++) {
        char buf[4096];
        ssize_t n = readlink(exe_link.c_str(), buf, sizeof buf);
        exe = n > 0 ? std::string(buf, size_t(n)) : "";
        if (exe.size() >= 10 && exe.compare(exe.size() - 10, 10, "/vlt_agent") == 0) break;
        usleep(10000);
    }
    char real[4096];
    ASSERT_NE(realpath(engine("vlt_agent").c_str(), real), nullptr);
    EXPECT_EQ(exe, real);
    EXPECT_EQ(vlt_test::read_file("/proc/" + std::to_string(bg->pid()) + "/cmdline"),
              std::string("vlt_agent\0--source\0", 19) + fifo + std::string("\0--snapshot\0off\0--name\0x\0--out\0", 31) +
                  dir.path() + std::string("\0--no-progress\0", 15));
    std::string environ_text = vlt_test::read_file("/proc/" + std::to_string(bg->pid()) + "/environ");
    EXPECT_NE(environ_text.find(std::string("\0LC_ALL=de_DE.UTF-8\0", 20)), std::string::npos);
    std::vector<call_record> agent_calls = host_.calls_of("vlt_agent");
    ASSERT_EQ(agent_calls.size(), 2u);
    EXPECT_EQ(agent_calls[1].pid, bg->pid());
    ASSERT_TRUE(bg->send_signal(SIGKILL));
    EXPECT_EQ(bg->wait(10000).term_signal, SIGKILL);
}

TEST_F(FaultsEngine, EngineWrapperTakesFaultsAndDelays) {
    fault_spec f;
    f.tool = "vlt_agent";
    f.exit_code = 1;
    f.text = "vlt_agent: read error on the source";
    ASSERT_TRUE(host_.add_fault(f));
    run_result r = tool("vlt_agent", {"--version"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, f.text + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(wait_for_end("vlt_agent", "--version", 0), 1);

    f.tool = "vlt_restore";
    f.action = fault_spec::hang_after;
    ASSERT_TRUE(host_.add_fault(f));
    auto bg = host_.start("vlt_restore", {"--version"});
    EXPECT_EQ(bg->wait(500).exit_status, -1) << "it did not hang after the engine";
    ASSERT_TRUE(bg->send_signal(SIGTERM));
    r = bg->wait(10000);
    EXPECT_EQ(r.exit_status, 143);
    EXPECT_EQ(r.out, host_.run(engine("vlt_restore"), {"--version"}).out);
    EXPECT_EQ(wait_for_end("vlt_restore", "--version", 5000), 143);

    ASSERT_TRUE(host_.clear_faults());
    ASSERT_TRUE(host_.set_delay("vlt_agent", 150));
    r = tool("vlt_agent", {"--version"});
    EXPECT_EQ(r.exit_status, 0);
    std::vector<call_record> calls = host_.calls_of("vlt_agent");
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().joined(), "--version");
}

TEST_F(FaultsEngine, EngineWrapperWithoutEngineOrHost) {
    vlt_test::temp_dir empty("vlt_noengine");
    std::string path = std::string(vlt_test::testbed_dir()) + "/bin:/usr/bin:/bin";
    run_result r = host_.run("vlt_agent", {"--version"}, {"VLT_ENGINE_BIN_DIR=" + empty.path(), "PATH=" + path});
    EXPECT_EQ(r.exit_status, 127);
    EXPECT_EQ(r.err, "vlt_agent: the engine binary was not found (set VLT_ENGINE_BIN_DIR or simhost set engine_dir)\n");
    // The host setting names it too.
    ASSERT_TRUE(host_.set_setting("engine_dir", vlt_test::engine_bin_dir()));
    r = host_.run("vlt_agent", {"--version"}, {"VLT_ENGINE_BIN_DIR=", "PATH=" + path});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    // Found on the PATH behind testbed/bin.
    ASSERT_TRUE(host_.set_setting("engine_dir", ""));
    r = host_.run("vlt_agent", {"--version"}, {"VLT_ENGINE_BIN_DIR=", "PATH=" + path + ":" + vlt_test::engine_bin_dir()});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    // Outside a simulated host the engine runs unlogged.
    ASSERT_TRUE(host_.clear_calls());
    r = host_.run("vlt_agent", {"--version"}, {"VLT_SIM_ROOT="});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(host_.calls().empty());
}

TEST_F(FaultsEngine, SendmailRecordsEachMail) {
    run_result r = host_.run("/bin/bash", {"-c", "printf 'Subject: backup\\n\\nall done\\n' | sendmail -t -f 'root@node' 'ops team@x'"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    ASSERT_EQ(host_.run("/bin/bash", {"-c", "printf 'second' | sendmail root"}).exit_status, 0);
    std::vector<vlt_test::mail_record> mails = host_.mails();
    ASSERT_EQ(mails.size(), 2u);
    EXPECT_EQ(mails[0].args, (std::vector<std::string>{"-t", "-f", "root@node", "ops team@x"}));
    EXPECT_EQ(mails[0].message, "Subject: backup\n\nall done\n");
    EXPECT_EQ(mails[1].args, std::vector<std::string>{"root"});
    EXPECT_EQ(mails[1].message, "second");
    std::string out;
    ASSERT_EQ(host_.driver({"mails"}, &out), 0);
    EXPECT_EQ(out, "1\t-t\t-f\troot@node\tops team@x\n2\troot\n");
    ASSERT_EQ(host_.driver({"mail", "2"}, &out), 0);
    EXPECT_EQ(out, "second");
    EXPECT_EQ(host_.calls_of("sendmail").size(), 2u);

    fault_spec f;
    f.tool = "sendmail";
    f.exit_code = 75;
    f.text = "sendmail: fatal: queue file write error";
    ASSERT_TRUE(host_.add_fault(f));
    r = host_.run("/bin/bash", {"-c", "printf 'third' | sendmail root"});
    EXPECT_EQ(r.exit_status, 75);
    EXPECT_EQ(r.err, f.text + "\n");
    EXPECT_EQ(host_.mails().size(), 2u);
}

}  // namespace
}  // namespace testbed_test
