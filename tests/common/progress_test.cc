// The progress segment as another process sees it: its file under
// /dev/shm, its layout, consistent copies, its end, and the signals that
// remove it. Anything that delivers a fatal signal runs in a forked child.
#include "common/progress.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "capture.h"
#include "common/digest.h"
#include "common/log.h"

namespace {

std::string shm_path(pid_t pid) { return "/dev/shm/vlt_progress." + std::to_string(pid); }

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A read-only mapping of another process's segment, taken by its file.
struct reader_map {
    const progress_record *seg = nullptr;
    explicit reader_map(const std::string &path) {
        int fd = open(path.c_str(), O_RDONLY);
        if (fd < 0) return;
        void *p = mmap(nullptr, sizeof(progress_record), PROT_READ, MAP_SHARED, fd, 0);
        close(fd);
        if (p != MAP_FAILED) seg = static_cast<const progress_record *>(p);
    }
    ~reader_map() {
        if (seg != nullptr) munmap(const_cast<progress_record *>(seg), sizeof(progress_record));
    }
    reader_map(const reader_map &) = delete;
    reader_map &operator=(const reader_map &) = delete;

    // A copy taken while the counter was even and unchanged across it.
    bool copy(progress_record *out) const {
        uint64_t before = __atomic_load_n(&seg->update_counter, __ATOMIC_ACQUIRE);
        if (before & 1u) return false;
        memcpy(out, seg, sizeof *out);
        __atomic_thread_fence(__ATOMIC_ACQUIRE);
        uint64_t after = __atomic_load_n(&seg->update_counter, __ATOMIC_RELAXED);
        return before == after;
    }
};

// A forked child that runs body() and then waits to be signalled or told to
// finish. ready() in the child tells the parent it has set up.
struct child_process {
    pid_t pid = -1;
    int to_parent[2] = {-1, -1};
    int to_child[2] = {-1, -1};

    template <class Body>
    explicit child_process(Body body) {
        if (pipe(to_parent) != 0 || pipe(to_child) != 0) return;
        pid = fork();
        if (pid == 0) {
            close(to_parent[0]);
            close(to_child[1]);
            int code = body(to_parent[1], to_child[0]);
            _exit(code);
        }
        close(to_parent[1]);
        close(to_child[0]);
        to_parent[1] = to_child[0] = -1;
    }
    ~child_process() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (int fd : {to_parent[0], to_child[1]})
            if (fd >= 0) close(fd);
    }
    // Reads what the child wrote until it closes its end or sends "\n".
    std::string read_line() {
        std::string s;
        char c;
        while (read(to_parent[0], &c, 1) == 1 && c != '\n') s += c;
        return s;
    }
    std::string read_rest() {
        std::string s;
        char buf[256];
        ssize_t n;
        while ((n = read(to_parent[0], buf, sizeof buf)) > 0) s.append(buf, n);
        return s;
    }
    void tell(const char *text) {
        if (write(to_child[1], text, strlen(text)) < 0) return;
    }
    int wait_status() {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return status;
    }
};

void say(int fd, const char *text) {
    if (write(fd, text, strlen(text)) < 0) _exit(90);
}

// Blocks until the parent writes one byte.
void await(int fd) {
    char c;
    if (read(fd, &c, 1) != 1) _exit(91);
}

const char *const kNoArgs[] = {"--out", "/backup"};

TEST(Progress, SegmentLayoutWhileRunning) {
    child_process child([](int out, int in) {
        progress_start(PROGRESS_KIND_BACKUP, "vm101", kNoArgs, 2);
        progress_status(PROGRESS_WORKING, "disk %s", "scsi0");
        progress_set_child(4242);
        say(out, "ready\n");
        await(in);
        progress_finish(1);
        return 0;
    });
    ASSERT_GT(child.pid, 0);
    ASSERT_EQ("ready", child.read_line());
    time_t now = time(nullptr);

    std::string path = shm_path(child.pid);
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(1208, st.st_size);
    EXPECT_EQ(0600u, st.st_mode & 0777);

    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    unsigned char head[8];
    ASSERT_EQ(8, pread(fd, head, 8, 0));
    close(fd);
    const unsigned char want[8] = {'G', 'O', 'R', 'P', 6, 0, 0, 0};
    EXPECT_EQ(0, memcmp(want, head, 8));

    reader_map map(path);
    ASSERT_NE(nullptr, map.seg);
    progress_record r;
    ASSERT_TRUE(map.copy(&r));
    uint64_t first8;
    memcpy(&first8, &r, 8);
    EXPECT_EQ(PROGRESS_MAGIC_VERSION, first8);
    EXPECT_EQ(4u, r.update_counter);  // two updates after creation
    EXPECT_EQ(static_cast<uint32_t>(child.pid), r.pid);
    EXPECT_EQ(PROGRESS_KIND_BACKUP, r.tool_kind);
    EXPECT_EQ(0, r.tool_code);
    EXPECT_EQ(PROGRESS_WORKING, r.phase);
    EXPECT_STREQ("vm101", r.job);
    EXPECT_STREQ("", r.detail);
    EXPECT_EQ(0u, r.total_bytes);
    EXPECT_EQ(-1, r.eta_seconds);
    EXPECT_STREQ("disk scsi0", r.status_text);
    EXPECT_EQ(4242u, r.child_pid);
    for (int64_t v : r.slot_values) EXPECT_EQ(-1, v);
    EXPECT_EQ(cpu_feature_bits(), r.cpu_features);
    EXPECT_STREQ(sha256_impl_name(), r.sha256_impl);
    EXPECT_LE(r.start_time, now);
    EXPECT_GE(r.start_time, now - 5);
    EXPECT_LT(r.elapsed_ms, 5000u);
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    EXPECT_LE(r.start_mono_ms, static_cast<uint64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);

    // Everything the orchestrators never write stays zero.
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&r);
    size_t zero_ranges[][2] = {{23, 24},     {352, 408},   {568, 600},   {1132, 1136},
                               {1136, 1200}, {1204, 1208}, {24 + 6, 88}, {440 + 11, 568}};
    for (auto &range : zero_ranges)
        for (size_t i = range[0]; i < range[1]; i++) ASSERT_EQ(0, bytes[i]) << "byte " << i;

    child.tell("x");
    EXPECT_EQ(0, child.wait_status());
    EXPECT_FALSE(exists(path));
}

TEST(Progress, ReadersSeeConsistentCopies) {
    child_process child([](int out, int in) {
        progress_start(PROGRESS_KIND_RESTORE, "vm7", nullptr, 0);
        say(out, "ready\n");
        // Each text is one letter repeated, its length tied to the letter:
        // a torn copy mixes letters or lengths.
        // Update until the parent has seen enough.
        fcntl(in, F_SETFL, fcntl(in, F_GETFL) | O_NONBLOCK);
        char text[128];
        char c;
        for (int i = 0; read(in, &c, 1) != 1; i++) {
            int len = 10 + i % 100;
            memset(text, 'a' + i % 26, len);
            text[len] = '\0';
            progress_status(static_cast<uint8_t>(i % 2), "%s", text);
            progress_set_child(i);
        }
        progress_finish(0);
        return 0;
    });
    ASSERT_EQ("ready", child.read_line());
    reader_map map(shm_path(child.pid));
    ASSERT_NE(nullptr, map.seg);
    int consistent = 0;
    uint64_t last_counter = 1;
    int distinct = 0;
    time_t give_up = time(nullptr) + 3;
    while (distinct < 200 && time(nullptr) < give_up) {
        progress_record r;
        if (!map.copy(&r)) continue;
        consistent++;
        if (r.update_counter != last_counter) distinct++;
        last_counter = r.update_counter;
        ASSERT_EQ(0u, r.update_counter % 2);
        size_t len = strlen(r.status_text);
        if (len == 0) continue;  // before the first update
        char letter = r.status_text[0];
        for (size_t i = 0; i < len; i++) ASSERT_EQ(letter, r.status_text[i]);
        // Update i wrote phase i % 2, letter i % 26 and length 10 + i % 100;
        // the child pid comes from the update after it (i) or before (i - 1).
        ASSERT_GE(len, 10u);
        ASSERT_LT(len, 110u);
        unsigned from_letter = static_cast<unsigned>(letter - 'a');
        ASSERT_EQ((len - 10) % 2, from_letter % 2);
        ASSERT_EQ(from_letter % 2, r.phase);
        unsigned child_mod = r.child_pid % 26;
        ASSERT_TRUE(child_mod == from_letter || (child_mod + 1) % 26 == from_letter)
            << r.child_pid << " " << letter;
    }
    EXPECT_GT(consistent, 0);
    EXPECT_GE(distinct, 2);  // the copies were taken while the child wrote
    child.tell("x");
    EXPECT_EQ(0, child.wait_status());
}

TEST(Progress, DetailIsSetApartFromTheStatus) {
    progress_detail("ignored %d", 1);  // no segment: nothing happens
    progress_start(PROGRESS_KIND_BACKUP, "vm5", nullptr, 0);
    std::string path = shm_path(getpid());
    reader_map map(path);
    ASSERT_NE(nullptr, map.seg);
    progress_status(PROGRESS_WORKING, "disk %s", "scsi0");
    uint64_t elapsed = map.seg->elapsed_ms;
    progress_detail("consistency: %s", "crash");
    progress_record r;
    ASSERT_TRUE(map.copy(&r));
    EXPECT_STREQ("consistency: crash", r.detail);
    // The status, the phase and the elapsed time stay as they were.
    EXPECT_STREQ("disk scsi0", r.status_text);
    EXPECT_EQ(PROGRESS_WORKING, r.phase);
    EXPECT_EQ(elapsed, r.elapsed_ms);
    EXPECT_EQ(4u, r.update_counter);
    // Cut to its field, the rest of which stays zero.
    std::string long_text(300, 'c');
    progress_detail("%s", long_text.c_str());
    ASSERT_TRUE(map.copy(&r));
    EXPECT_EQ(long_text.substr(0, 255), std::string(r.detail));
    EXPECT_STREQ("disk scsi0", r.status_text);
    progress_finish(1);
    EXPECT_FALSE(exists(path));
}

TEST(Progress, FinishWritesTheOutcomeThenRemovesTheObject) {
    for (int succeeded : {1, 0}) {
        progress_start(PROGRESS_KIND_RESTORE, "vm9", nullptr, 0);
        std::string path = shm_path(getpid());
        ASSERT_TRUE(exists(path));
        reader_map map(path);
        ASSERT_NE(nullptr, map.seg);
        progress_set_child(999);
        EXPECT_EQ(999u, map.seg->child_pid);
        progress_finish(succeeded);
        EXPECT_FALSE(exists(path));
        EXPECT_EQ(succeeded ? PROGRESS_SUCCEEDED : PROGRESS_FAILED, map.seg->phase);
        EXPECT_EQ(0u, map.seg->child_pid);
        EXPECT_EQ(6u, map.seg->update_counter);  // set_child, then two updates
        // No segment any more: updates do nothing.
        progress_status(PROGRESS_WORKING, "ignored");
        progress_set_child(5);
        progress_finish(1);
        EXPECT_STREQ("", map.seg->status_text);
        EXPECT_EQ(0u, map.seg->child_pid);
    }
}

TEST(Progress, TextsAreCutToTheirFields) {
    std::string job(70, 'j');
    std::string detail(300, 'd');
    progress_record *seg = nullptr;
    ASSERT_EQ(0, progress_create(&seg, 2, job.c_str(), 9, 12345, detail.c_str()));
    ASSERT_NE(nullptr, seg);
    EXPECT_EQ(job.substr(0, 63), std::string(seg->job));
    EXPECT_EQ(detail.substr(0, 255), std::string(seg->detail));
    EXPECT_EQ(9, seg->tool_code);
    EXPECT_EQ(12345u, seg->total_bytes);

    std::string status(200, 's');
    status[126] = 'E';
    progress_status(PROGRESS_PREPARING, "%s", status.c_str());
    EXPECT_EQ(status.substr(0, 127), std::string(seg->status_text));
    progress_status(PROGRESS_WORKING, "%d%%", 50);
    EXPECT_STREQ("50%", seg->status_text);
    EXPECT_EQ(0, seg->status_text[100]);  // the longer text is gone whole

    progress_record *again = nullptr;  // one segment per process
    EXPECT_EQ(-1, progress_create(&again, 2, "x", 0, 0, nullptr));
    EXPECT_EQ(nullptr, again);

    progress_destroy(&seg);
    EXPECT_EQ(nullptr, seg);
    EXPECT_FALSE(exists(shm_path(getpid())));
    progress_destroy(&seg);  // nothing left to do
}

TEST(Progress, NoProgressCreatesNothing) {
    const char *args[] = {"--out", "/backup", "--no-progress"};
    fd_capture err(2);
    progress_start(PROGRESS_KIND_BACKUP, "vm1", args, 3);
    EXPECT_FALSE(exists(shm_path(getpid())));
    progress_status(PROGRESS_WORKING, "x");
    progress_finish(1);
    EXPECT_EQ("", err.text());
}

TEST(Progress, ExistingObjectGivesOneWarning) {
    std::string path = shm_path(getpid());
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(5, write(fd, "stale", 5));
    close(fd);

    log_setup("vlt_proxmox", LOG_LEVEL_INFO);
    fd_capture err(2);
    progress_start(PROGRESS_KIND_BACKUP, "vm1", kNoArgs, 2);
    progress_status(PROGRESS_WORKING, "x");
    progress_finish(1);
    std::string out = err.text();
    EXPECT_EQ(" [vlt_proxmox] WARN  progress reporting unavailable (I/O error, status=-1); "
              "continuing without it\n",
              out.size() > 20 ? out.substr(20) : out);
    // The object that was there is left alone.
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(5, st.st_size);
    unlink(path.c_str());
}

TEST(Progress, FinishRestoresThePreviousSignalActions) {
    signal(SIGHUP, SIG_IGN);
    progress_record *seg = nullptr;
    ASSERT_EQ(0, progress_create(&seg, 2, "vm1", 0, 0, nullptr));
    struct sigaction now;
    sigaction(SIGHUP, nullptr, &now);
    EXPECT_NE(SIG_IGN, now.sa_handler);
    EXPECT_NE(SIG_DFL, now.sa_handler);
    progress_finish(1);
    sigaction(SIGHUP, nullptr, &now);
    EXPECT_EQ(SIG_IGN, now.sa_handler);
    sigaction(SIGTERM, nullptr, &now);
    EXPECT_EQ(SIG_DFL, now.sa_handler);
    signal(SIGHUP, SIG_DFL);
}

// A forked child that runs on without a new program (one VM's run of a
// node-wide backup) forgets the parent's segment: its updates and its end
// no longer touch it, and a segment of its own can be made and removed.
TEST(Progress, ChildForgetsTheInheritedSegment) {
    progress_record *seg = nullptr;
    ASSERT_EQ(0, progress_create(&seg, 2, "all", 0, 0, nullptr));
    progress_status(1, "VM 101 (1 of 2)");
    child_process child([](int out, int) {
        progress_forget_inherited();
        struct sigaction now;
        sigaction(SIGTERM, nullptr, &now);
        say(out, now.sa_handler == SIG_DFL ? "default action\n" : "progress handler\n");
        progress_status(1, "written by the child");
        progress_finish(1);  // nothing: no segment
        progress_record *own = nullptr;
        if (progress_create(&own, 2, "vm101", 0, 0, nullptr) != 0) return 3;
        say(out, exists(shm_path(getpid())) ? "own segment\n" : "no segment\n");
        progress_finish(1);
        say(out, exists(shm_path(getpid())) ? "left\n" : "removed\n");
        return 0;
    });
    EXPECT_EQ(child.read_line(), "default action");
    EXPECT_EQ(child.read_line(), "own segment");
    EXPECT_EQ(child.read_line(), "removed");
    int status = child.wait_status();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(exists(shm_path(getpid())));
    EXPECT_STREQ(seg->status_text, "VM 101 (1 of 2)");
    EXPECT_EQ(seg->phase, 1);
    progress_finish(1);
    EXPECT_FALSE(exists(shm_path(getpid())));
}

// Set by the child's own handler: whether the object was already gone.
int g_report_fd = -1;
char g_report_path[80];

void plain_handler(int sig) {
    const char *text = access(g_report_path, F_OK) == 0 ? "called, object present\n"
                                                        : "called, object gone\n";
    if (sig == SIGTERM && write(g_report_fd, text, strlen(text)) < 0) _exit(92);
}

void info_handler(int, siginfo_t *, void *) {
    if (write(g_report_fd, "info handler called\n", 20) < 0) _exit(93);
}

TEST(ProgressSignals, TerminationRemovesTheObjectAndCallsThePreviousHandler) {
    child_process child([](int out, int) {
        g_report_fd = out;
        snprintf(g_report_path, sizeof g_report_path, "/dev/shm/vlt_progress.%d", getpid());
        signal(SIGTERM, plain_handler);
        progress_start(PROGRESS_KIND_BACKUP, "vm101", kNoArgs, 2);
        say(out, "ready\n");
        for (;;) pause();
        return 0;
    });
    ASSERT_EQ("ready", child.read_line());
    std::string path = shm_path(child.pid);
    ASSERT_TRUE(exists(path));
    kill(child.pid, SIGTERM);
    int status = child.wait_status();
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(SIGTERM, WTERMSIG(status));
    EXPECT_EQ("called, object gone\n", child.read_rest());
    EXPECT_FALSE(exists(path));
}

TEST(ProgressSignals, IgnoredHangupStillEndsTheProcess) {
    child_process child([](int out, int) {
        signal(SIGHUP, SIG_IGN);
        progress_start(PROGRESS_KIND_RESTORE, "vm5", nullptr, 0);
        say(out, "ready\n");
        for (;;) pause();
        return 0;
    });
    ASSERT_EQ("ready", child.read_line());
    std::string path = shm_path(child.pid);
    ASSERT_TRUE(exists(path));
    kill(child.pid, SIGHUP);
    int status = child.wait_status();
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(SIGHUP, WTERMSIG(status));
    EXPECT_FALSE(exists(path));
}

TEST(ProgressSignals, InterruptSkipsAnExtendedPreviousHandler) {
    child_process child([](int out, int) {
        g_report_fd = out;
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_sigaction = info_handler;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        progress_start(PROGRESS_KIND_BACKUP, "vm1", kNoArgs, 2);
        say(out, "ready\n");
        for (;;) pause();
        return 0;
    });
    ASSERT_EQ("ready", child.read_line());
    std::string path = shm_path(child.pid);
    ASSERT_TRUE(exists(path));
    kill(child.pid, SIGINT);
    int status = child.wait_status();
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(SIGINT, WTERMSIG(status));
    EXPECT_EQ("", child.read_rest());
    EXPECT_FALSE(exists(path));
}

TEST(ProgressSignals, AfterFinishTheSignalNoLongerTouchesTheSegment) {
    child_process child([](int out, int) {
        g_report_fd = out;
        snprintf(g_report_path, sizeof g_report_path, "/dev/shm/vlt_progress.%d", getpid());
        signal(SIGTERM, plain_handler);
        progress_start(PROGRESS_KIND_BACKUP, "vm1", kNoArgs, 2);
        progress_finish(1);
        say(out, "ready\n");
        for (;;) pause();
        return 0;
    });
    ASSERT_EQ("ready", child.read_line());
    kill(child.pid, SIGTERM);
    // The plain handler is back in force: it reports and the child lives on.
    EXPECT_EQ("called, object gone", child.read_line());
    kill(child.pid, SIGKILL);
    int status = child.wait_status();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(SIGKILL, WTERMSIG(status));
}

}  // namespace
