// The monitor against segments the programs really write: one made by the
// common library's progress code in a child process, and the segment of a
// backup running on the simulated Proxmox host while its agent works.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/progress.h"
#include "monitor/segment_reader.h"
#include "tests/support/simhost.h"

namespace {

std::string segment_path(pid_t pid) { return "/dev/shm/vlt_progress." + std::to_string(pid); }

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

const segment_entry *find_pid(const std::vector<segment_entry> &entries, size_t count, pid_t pid) {
    for (size_t i = 0; i < count; i++)
        if (entries[i].state != SEGMENT_MALFORMED && entries[i].view.pid == (uint32_t)pid)
            return &entries[i];
    return nullptr;
}

// A child that opens a segment through the library, publishes a status and
// a child pid, tells the parent, and then waits for its next order.
struct segment_writer {
    pid_t pid = -1;
    int ready[2] = {-1, -1};
    int go[2] = {-1, -1};

    bool start() {
        if (pipe(ready) != 0 || pipe(go) != 0) return false;
        pid = fork();
        if (pid < 0) return false;
        if (pid == 0) {
            close(ready[0]);
            close(go[1]);
            progress_record *seg = nullptr;
            char ok = progress_create(&seg, PROGRESS_KIND_BACKUP, "vm101", 0, 0, nullptr) == 0;
            progress_status(PROGRESS_WORKING, "disk %s (%d/%d): job %s", "scsi0", 1, 2,
                            "vm101-scsi0");
            progress_set_child(4242);
            if (write(ready[1], &ok, 1) != 1) _exit(3);
            char order = 0;
            if (read(go[0], &order, 1) != 1) _exit(4);
            progress_finish(1);
            _exit(0);
        }
        close(ready[1]);
        close(go[0]);
        char ok = 0;
        return read(ready[0], &ok, 1) == 1 && ok == 1;
    }
    int finish() {
        char order = 'f';
        if (write(go[1], &order, 1) != 1) return -1;
        int st = 0;
        waitpid(pid, &st, 0);
        pid = -1;
        return st;
    }
    ~segment_writer() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            int st;
            waitpid(pid, &st, 0);
        }
        for (int fd : {ready[0], ready[1], go[0], go[1]})
            if (fd >= 0) close(fd);
    }
};

TEST(MonitorLive, ReadsTheSegmentTheLibraryWritesAndShowsAKilledWriterAsStale) {
    std::vector<segment_entry> entries(SEGMENT_MAX_LISTED);
    size_t count = 0;
    char err[256];

    segment_writer w;
    ASSERT_TRUE(w.start()) << "the child could not create its segment";
    ASSERT_EQ(list_segments("/dev/shm", entries.data(), entries.size(), &count, err, sizeof err), 0)
        << err;
    const segment_entry *e = find_pid(entries, count, w.pid);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->state, SEGMENT_RUNNING);
    EXPECT_EQ(e->view.kind, PROGRESS_KIND_BACKUP);
    EXPECT_EQ(e->view.phase, PROGRESS_WORKING);
    EXPECT_STREQ(e->view.job, "vm101");
    EXPECT_STREQ(e->view.status, "disk scsi0 (1/2): job vm101-scsi0");
    EXPECT_EQ(e->view.child_pid, 4242u);
    EXPECT_EQ(e->view.counter, 4u);  // two updates, each counted twice
    EXPECT_GT(e->view.start_time, 1600000000);
    int st = w.finish();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    EXPECT_FALSE(exists(segment_path(w.pid)));

    // SIGKILL leaves the segment behind; the monitor calls it stale and keeps it.
    segment_writer killed;
    ASSERT_TRUE(killed.start());
    pid_t dead = killed.pid;
    kill(dead, SIGKILL);
    waitpid(dead, &st, 0);
    killed.pid = -1;
    std::string left = segment_path(dead);
    ASSERT_TRUE(exists(left));
    ASSERT_EQ(list_segments("/dev/shm", entries.data(), entries.size(), &count, err, sizeof err), 0);
    e = find_pid(entries, count, dead);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->state, SEGMENT_STALE);
    EXPECT_STREQ(e->view.job, "vm101");
    EXPECT_TRUE(exists(left));
    unlink(left.c_str());
}

std::string run_monitor_json() {
    std::string out;
    FILE *p = popen((std::string("'") + VLT_PROGRESS_BIN + "' --json").c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

// A backup on the simulated host whose agent sleeps: while it sleeps the
// backup sits in its disk job, and the monitor must show that job, the
// working phase and the agent's pid. SIGTERM then ends the backup, which
// stops the agent, removes its snapshot and its segment.
TEST(MonitorLive, ShowsARunningBackupsJobPhaseAndAgent) {
    vlt_test::sim_host host;
    VLT_REQUIRE_SIM_HOST(host);
    ASSERT_TRUE(host.add_storage("local-lvm", "lvmthin"));
    ASSERT_TRUE(host.add_vm(101, "agent: 1\nscsi0: local-lvm:vm-101-disk-0,size=4M\n"));
    ASSERT_TRUE(host.add_lv("local-lvm", "vm-101-disk-0", 4 << 20));

    vlt_test::temp_dir bin("vlt_monitor_agent");
    std::string pid_file = bin.path() + "/agent.pid";
    ASSERT_TRUE(vlt_test::write_file(bin.path() + "/vlt_agent",
                                     "#!/bin/sh\necho $$ > '" + pid_file + "'\nexec sleep 60\n"));
    ASSERT_EQ(chmod((bin.path() + "/vlt_agent").c_str(), 0755), 0);
    std::string path;
    for (const std::string &e : host.child_env())
        if (e.rfind("PATH=", 0) == 0) path = e.substr(5);
    vlt_test::temp_dir out("vlt_monitor_out");

    auto run = host.start(vlt_test::backup_program(), {"--vmid", "101", "--pve-dir", host.pve_dir(), "--", "--out", out.path()},
                          {"PATH=" + bin.path() + ":" + path});
    ASSERT_TRUE(run->started());

    // Wait (at most 30 s) until the agent runs and the segment names it.
    pid_t agent = 0;
    segment_view seen{};
    for (int i = 0; i < 600 && run->running(); i++) {
        std::string text = vlt_test::read_file(pid_file);
        if (!text.empty()) agent = (pid_t)atol(text.c_str());
        char err[256];
        if (agent > 0 && read_segment(segment_path(run->pid()).c_str(), &seen, err, sizeof err) == 0 &&
            seen.child_pid == (uint32_t)agent)
            break;
        usleep(50000);
    }
    ASSERT_GT(agent, 0) << "the agent never started: " << run->err_so_far();
    ASSERT_EQ(seen.child_pid, (uint32_t)agent) << run->err_so_far();

    std::string json = run_monitor_json();
    std::string expected = "{\"pid\":" + std::to_string(run->pid()) +
                           ",\"program\":\"vlt_proxmox\",\"kind\":2,\"job\":\"vm101\","
                           "\"state\":\"running\",\"phase\":\"working\",\"phase_code\":1,"
                           "\"status\":\"disk scsi0 (1/1): job vm101-scsi0\",\"detail\":\"consistency: fs\","
                           "\"elapsed_ms\":";
    EXPECT_NE(json.find(expected), std::string::npos) << json;
    EXPECT_NE(json.find("\"child_pid\":" + std::to_string(agent) + ","), std::string::npos) << json;

    ASSERT_TRUE(run->send_signal(SIGTERM));
    vlt_test::run_result r = run->wait(30000);
    EXPECT_EQ(r.term_signal, SIGTERM) << r.err;
    EXPECT_FALSE(exists(segment_path(run->pid())));
    EXPECT_NE(kill(agent, 0), 0) << "the agent survived its backup";
    std::string report;
    EXPECT_TRUE(host.check_clean(&report, run->pid())) << report;
}

}  // namespace
