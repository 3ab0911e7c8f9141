// The progress monitor against hand-made segments: well-formed ones, every
// kind of malformed file, a writer updating concurrently, and the program's
// command line and output.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "monitor/report.h"
#include "monitor/segment_reader.h"

namespace {

void put_u32(unsigned char *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (unsigned char)(v >> (8 * i));
}
void put_u64(unsigned char *p, uint64_t v) {
    for (int i = 0; i < 8; i++) p[i] = (unsigned char)(v >> (8 * i));
}

// A segment laid out the way the programs write it.
struct segment_bytes {
    unsigned char b[PROGRESS_SEGMENT_SIZE];
    segment_bytes(uint32_t pid, uint8_t kind, uint8_t phase, const char *job, const char *status,
                  uint32_t child) {
        memset(b, 0, sizeof b);
        put_u32(b + 0, 0x50524F47);
        put_u32(b + 4, 6);
        put_u64(b + 8, 4);
        put_u32(b + 16, pid);
        b[20] = kind;
        b[22] = phase;
        snprintf((char *)b + 24, 64, "%s", job);
        put_u64(b + 344, 0);
        put_u64(b + 408, 1700000000);
        put_u64(b + 416, monotonic_ms());  // made just now, by a process running before
        put_u64(b + 424, 65000);
        put_u64(b + 432, (uint64_t)-1);
        snprintf((char *)b + 440, 128, "%s", status);
        put_u32(b + 1200, child);
    }
};

struct temp_dir {
    std::string path;
    temp_dir() {
        char tmpl[] = "/tmp/vlt_monitor_test.XXXXXX";
        path = mkdtemp(tmpl) ? tmpl : "";
    }
    ~temp_dir() {
        if (!path.empty()) {
            std::string cmd = "rm -rf '" + path + "'";
            if (system(cmd.c_str()) != 0) fprintf(stderr, "cannot remove %s\n", path.c_str());
        }
    }
    std::string file(const std::string &name) const { return path + "/" + name; }
};

bool write_bytes(const std::string &path, const void *data, size_t len) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(data, 1, len, f) == len;
    return fclose(f) == 0 && ok;
}

std::string name_for(pid_t pid) { return "vlt_progress." + std::to_string(pid); }

// A pid that surely belongs to no process: a child that has exited and been reaped.
pid_t dead_pid() {
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    int st;
    waitpid(pid, &st, 0);
    return pid;
}

struct listing {
    std::vector<segment_entry> entries;
    size_t count = 0;
    int32_t rc = -1;
    char err[256] = {0};
    explicit listing(const std::string &dir) : entries(SEGMENT_MAX_LISTED) {
        rc = list_segments(dir.c_str(), entries.data(), entries.size(), &count, err, sizeof err);
    }
    const segment_entry *find(const std::string &name) const {
        for (size_t i = 0; i < count; i++)
            if (name == entries[i].name) return &entries[i];
        return nullptr;
    }
};

std::string capture(void (*fn)(FILE *, const segment_entry *, size_t, uint64_t),
                    const segment_entry *e, size_t n, uint64_t now) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    fn(f, e, n, now);
    fclose(f);
    std::string s(buf, len);
    free(buf);
    return s;
}

TEST(MonitorRead, DecodesAWellFormedSegmentOfALiveProcess) {
    temp_dir dir;
    pid_t me = getpid();
    segment_bytes seg((uint32_t)me, 2, 1, "vm101", "disk scsi0 (1/2): job vm101-scsi0", 4242);
    ASSERT_TRUE(write_bytes(dir.file(name_for(me)), seg.b, sizeof seg.b));

    listing l(dir.path);
    ASSERT_EQ(l.rc, 0) << l.err;
    ASSERT_EQ(l.count, 1u);
    const segment_entry &e = l.entries[0];
    EXPECT_EQ(e.state, SEGMENT_RUNNING);
    EXPECT_EQ(e.view.pid, (uint32_t)me);
    EXPECT_EQ(e.view.kind, 2);
    EXPECT_EQ(e.view.phase, 1);
    EXPECT_STREQ(e.view.job, "vm101");
    EXPECT_STREQ(e.view.status, "disk scsi0 (1/2): job vm101-scsi0");
    EXPECT_EQ(e.view.child_pid, 4242u);
    EXPECT_EQ(e.view.start_time, 1700000000);
    EXPECT_EQ(e.view.elapsed_ms, 65000u);
    EXPECT_EQ(e.view.counter, 4u);
}

TEST(MonitorRead, EveryMalformedFileIsReportedAndNothingIsRemoved) {
    temp_dir dir;
    pid_t me = getpid();
    segment_bytes good((uint32_t)me, 4, 0, "vm200", "looking for the backup jobs of 'vm200'", 0);

    // Truncated: the first 100 bytes of a valid segment.
    ASSERT_TRUE(write_bytes(dir.file("vlt_progress.11"), good.b, 100));
    // Longer than a segment.
    std::vector<unsigned char> longer(good.b, good.b + PROGRESS_SEGMENT_SIZE);
    longer.resize(PROGRESS_SEGMENT_SIZE + 8, 0);
    ASSERT_TRUE(write_bytes(dir.file("vlt_progress.12"), longer.data(), longer.size()));
    // Wrong magic.
    segment_bytes bad_magic = good;
    memcpy(bad_magic.b, "PROG", 4);
    ASSERT_TRUE(write_bytes(dir.file("vlt_progress.13"), bad_magic.b, PROGRESS_SEGMENT_SIZE));
    // Right magic, other version.
    segment_bytes bad_version = good;
    put_u32(bad_version.b + 4, 5);
    ASSERT_TRUE(write_bytes(dir.file("vlt_progress.14"), bad_version.b, PROGRESS_SEGMENT_SIZE));
    // Odd update counter that never settles (a writer killed mid-update).
    segment_bytes odd = good;
    put_u64(odd.b + 8, 7);
    ASSERT_TRUE(write_bytes(dir.file("vlt_progress.15"), odd.b, PROGRESS_SEGMENT_SIZE));
    // The pid inside does not match the name.
    ASSERT_TRUE(write_bytes(dir.file("vlt_progress.16"), good.b, PROGRESS_SEGMENT_SIZE));
    // A FIFO must not block the monitor, a symbolic link must not be followed.
    ASSERT_EQ(mkfifo(dir.file("vlt_progress.17").c_str(), 0600), 0);
    ASSERT_TRUE(write_bytes(dir.file("elsewhere"), good.b, PROGRESS_SEGMENT_SIZE));
    ASSERT_EQ(symlink(dir.file("elsewhere").c_str(), dir.file("vlt_progress.18").c_str()), 0);
    // A device node is not even opened (as root we may make one).
    bool made_device = mknod(dir.file("vlt_progress.20").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
    // An empty file.
    ASSERT_TRUE(write_bytes(dir.file("vlt_progress.19"), "", 0));
    // Names that are no segment names are not looked at at all.
    ASSERT_TRUE(write_bytes(dir.file("vlt_progress.abc"), good.b, PROGRESS_SEGMENT_SIZE));
    ASSERT_TRUE(write_bytes(dir.file("vlt_progress."), good.b, PROGRESS_SEGMENT_SIZE));
    ASSERT_TRUE(write_bytes(dir.file("vlt_progress.0"), good.b, PROGRESS_SEGMENT_SIZE));
    ASSERT_TRUE(write_bytes(dir.file("vlt_proxmox_key.1.abcdef"), "secret", 6));
    // And one good segment among them.
    ASSERT_TRUE(write_bytes(dir.file(name_for(me)), good.b, PROGRESS_SEGMENT_SIZE));

    uint32_t saved = segment_read_attempts;
    segment_read_attempts = 20;
    listing l(dir.path);
    segment_read_attempts = saved;
    ASSERT_EQ(l.rc, 0) << l.err;
    ASSERT_EQ(l.count, made_device ? 11u : 10u);
    if (made_device) {
        const segment_entry *dev = l.find("vlt_progress.20");
        ASSERT_NE(dev, nullptr);
        EXPECT_EQ(dev->state, SEGMENT_MALFORMED);
        EXPECT_STREQ(dev->reason, "not a regular file");
    }

    struct expectation {
        const char *name;
        const char *reason;
    } const expected[] = {
        {"vlt_progress.11", "truncated (100 of 1208 bytes)"},
        {"vlt_progress.12", "wrong size (1216 bytes, expected 1208)"},
        {"vlt_progress.13", "not a progress segment (bad magic)"},
        {"vlt_progress.14", "unsupported progress segment version 5"},
        {"vlt_progress.15", "no consistent copy (update counter odd or changing)"},
        {"vlt_progress.17", "not a regular file"},
        {"vlt_progress.18", "is a symbolic link"},
        {"vlt_progress.19", "truncated (0 of 1208 bytes)"},
    };
    for (const auto &x : expected) {
        const segment_entry *e = l.find(x.name);
        ASSERT_NE(e, nullptr) << x.name;
        EXPECT_EQ(e->state, SEGMENT_MALFORMED) << x.name;
        EXPECT_STREQ(e->reason, x.reason) << x.name;
    }
    const segment_entry *mismatch = l.find("vlt_progress.16");
    ASSERT_NE(mismatch, nullptr);
    EXPECT_EQ(mismatch->state, SEGMENT_MALFORMED);
    EXPECT_EQ(std::string(mismatch->reason),
              "pid field " + std::to_string(me) + " does not match the name");
    const segment_entry *ok = l.find(name_for(me));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->state, SEGMENT_RUNNING);
    EXPECT_STREQ(ok->view.job, "vm200");
    // Sorted by pid.
    EXPECT_STREQ(l.entries[0].name, "vlt_progress.11");

    // The monitor only reads.
    for (const char *n : {"vlt_progress.11", "vlt_progress.15", "vlt_progress.17"}) {
        struct stat st;
        EXPECT_EQ(lstat(dir.file(n).c_str(), &st), 0) << n;
    }
}

TEST(MonitorRead, SegmentOfAVanishedProcessIsStaleAndKept) {
    temp_dir dir;
    pid_t gone = dead_pid();
    segment_bytes seg((uint32_t)gone, 2, 1, "vm101", "removing snapshot pve/vm-101-disk-0_vltsnap",
                      9999);
    std::string path = dir.file(name_for(gone));
    ASSERT_TRUE(write_bytes(path, seg.b, sizeof seg.b));

    listing l(dir.path);
    ASSERT_EQ(l.count, 1u);
    EXPECT_EQ(l.entries[0].state, SEGMENT_STALE);
    // A stale segment's elapsed time is the one last written, not counted on.
    EXPECT_EQ(entry_elapsed_ms(&l.entries[0], 10000000), 65000u);
    EXPECT_EQ(access(path.c_str(), F_OK), 0);
}

TEST(MonitorRead, AReusedPidDoesNotMakeALeftOverSegmentLive) {
    // This process exists, but it started long after monotonic time 1000 ms:
    // it cannot have made a segment then, so that segment's writer is gone.
    temp_dir dir;
    pid_t me = getpid();
    segment_bytes seg((uint32_t)me, 2, 1, "vm101", "disk scsi0 (1/1): job vm101-scsi0", 0);
    put_u64(seg.b + 416, 1000);
    ASSERT_TRUE(write_bytes(dir.file(name_for(me)), seg.b, sizeof seg.b));
    listing l(dir.path);
    ASSERT_EQ(l.count, 1u);
    EXPECT_EQ(l.entries[0].state, SEGMENT_STALE);

    // The start time is the 22nd field of /proc/<pid>/stat, counted after
    // the command name, which may hold blanks and parentheses itself.
    temp_dir proc;
    ASSERT_EQ(mkdir((proc.path + "/77").c_str(), 0755), 0);
    long hz = sysconf(_SC_CLK_TCK);
    std::string stat = "77 (a) b (c) S 1 77 77 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 " +
                       std::to_string(60 * hz) + " 1000 100 18446744073709551615\n";
    ASSERT_TRUE(write_bytes(proc.file("77/stat"), stat.data(), stat.size()));
    // Started at 60 s: after 50 s (more than the slack), not after 58 s.
    EXPECT_TRUE(process_started_after(77, 50000, proc.path.c_str()));
    EXPECT_FALSE(process_started_after(77, 58000, proc.path.c_str()));
    EXPECT_FALSE(process_started_after(78, 0, proc.path.c_str()));  // no such file
    std::string cut = "77 (a) S 1 2 3";
    ASSERT_TRUE(write_bytes(proc.file("77/stat"), cut.data(), cut.size()));
    EXPECT_FALSE(process_started_after(77, 0, proc.path.c_str()));
}

TEST(MonitorRead, TextFieldsFilledToTheBrimAreCutInsideTheirField) {
    unsigned char b[PROGRESS_SEGMENT_SIZE];
    segment_bytes seg(1, 2, 0, "", "", 0);
    memcpy(b, seg.b, sizeof b);
    memset(b + 24, 'J', 64);           // no terminating zero
    memset(b + 440, 'S', 128);     // runs into the next field
    memset(b + 440 + 128, 'X', 8);
    segment_view v;
    char err[128] = {0};
    ASSERT_EQ(decode_segment(b, sizeof b, &v, err, sizeof err), 0) << err;
    EXPECT_EQ(std::string(v.job), std::string(63, 'J'));
    EXPECT_EQ(std::string(v.status), std::string(127, 'S'));
}

// A writer in another process keeps updating the segment by the counter
// protocol, each update writing the same number into the status text and the
// child pid. A copy that mixed two updates would show two different numbers.
TEST(MonitorRead, CopiesAreNeverTornWhileAWriterUpdates) {
    temp_dir dir;
    std::string path = dir.file("vlt_progress.1");
    segment_bytes seg(1, 2, 1, "vm101", "n=0 even", 0);
    ASSERT_TRUE(write_bytes(path, seg.b, sizeof seg.b));
    int fd = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    void *map = mmap(nullptr, PROGRESS_SEGMENT_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    ASSERT_NE(map, MAP_FAILED);

    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        unsigned char *p = (unsigned char *)map;
        volatile uint64_t *counter = (volatile uint64_t *)(p + 8);
        for (uint32_t n = 1;; n++) {
            uint64_t c = *counter;
            *counter = c + 1;
            __atomic_thread_fence(__ATOMIC_RELEASE);
            // Byte by byte, slowly enough that an unprotected copy would tear.
            char text[128];
            memset(text, 0, sizeof text);
            snprintf(text, sizeof text, "n=%u %s", n, n % 2 ? "odd-update-with-a-longer-text" : "even");
            for (size_t i = 0; i < sizeof text; i++)
                ((volatile unsigned char *)p)[440 + i] = (unsigned char)text[i];
            // A long gap between the two fields: an unprotected copy taken
            // in it shows the new text with the old child pid.
            for (int spin = 0; spin < 300000; spin++) __asm__ volatile("" ::: "memory");
            for (int i = 0; i < 4; i++)
                ((volatile unsigned char *)p)[1200 + i] = (unsigned char)(n >> (8 * i));
            __atomic_thread_fence(__ATOMIC_RELEASE);
            *counter = c + 2;
            usleep(50);  // and a pause for the readers
        }
    }
    struct reaper {
        pid_t pid;
        ~reaper() {
            kill(pid, SIGKILL);
            int st;
            waitpid(pid, &st, 0);
        }
    } reap{writer};

    int consistent = 0, busy = 0;
    uint64_t last_counter = 0;
    bool went_backwards = false;
    uint32_t saved_attempts = segment_read_attempts;
    segment_read_attempts = 50;
    for (int i = 0; i < 1000; i++) {
        segment_view v;
        char err[128];
        if (read_segment(path.c_str(), &v, err, sizeof err) != 0) {
            EXPECT_STREQ(err, "no consistent copy (update counter odd or changing)");
            busy++;
            continue;
        }
        consistent++;
        EXPECT_EQ(v.counter % 2, 0u);
        if (v.counter < last_counter) went_backwards = true;
        last_counter = v.counter;
        unsigned n = 0;
        char tail[64] = {0};
        ASSERT_EQ(sscanf(v.status, "n=%u %63s", &n, tail), 2) << v.status;
        EXPECT_EQ(n, v.child_pid) << "torn copy: " << v.status << " / child " << v.child_pid;
        EXPECT_STREQ(tail, n % 2 ? "odd-update-with-a-longer-text" : "even") << v.status;
    }
    segment_read_attempts = saved_attempts;
    munmap(map, PROGRESS_SEGMENT_SIZE);
    EXPECT_FALSE(went_backwards);
    EXPECT_GT(consistent, 0) << busy << " reads found no consistent copy";
}

TEST(MonitorRead, SegmentNames) {
    uint32_t pid = 0;
    EXPECT_TRUE(segment_name_pid("vlt_progress.812", &pid));
    EXPECT_EQ(pid, 812u);
    EXPECT_TRUE(segment_name_pid("vlt_progress.4294967295", &pid));
    EXPECT_EQ(pid, 4294967295u);
    for (const char *bad : {"vlt_progress.", "vlt_progress.0", "vlt_progress.12a", "vlt_progress.-1",
                            "vlt_progress.4294967296", "vlt_progress.99999999999",
                            "xvlt_progress.1", "vlt_progress.+1", "vlt_progress. 1"})
        EXPECT_FALSE(segment_name_pid(bad, &pid)) << bad;
}

TEST(MonitorReport, TableLinesAndElapsedTime) {
    std::vector<segment_entry> e(3);
    memset(e.data(), 0, sizeof(segment_entry) * e.size());
    e[0].state = SEGMENT_RUNNING;
    e[0].view = segment_view{};
    e[0].view.pid = 812;
    e[0].view.kind = 2;
    e[0].view.phase = 1;
    snprintf(e[0].view.job, sizeof e[0].view.job, "vm101");
    snprintf(e[0].view.status, sizeof e[0].view.status, "disk scsi0 (1/1): job vm101-scsi0");
    snprintf(e[0].view.detail, sizeof e[0].view.detail, "consistency: crash");
    e[0].view.child_pid = 813;
    e[0].view.start_mono_ms = 5000;
    e[0].view.elapsed_ms = 1000;
    e[1].state = SEGMENT_STALE;
    e[1].view.pid = 900;
    e[1].view.kind = 4;
    e[1].view.phase = 0;
    snprintf(e[1].view.job, sizeof e[1].view.job, "web\033[2Jx");  // an escape sequence
    snprintf(e[1].view.status, sizeof e[1].view.status, "a\nb");
    e[1].view.start_mono_ms = 5000;
    e[1].view.elapsed_ms = 3723000;
    e[2].state = SEGMENT_MALFORMED;
    snprintf(e[2].name, sizeof e[2].name, "vlt_progress.3");

    // The live one counts on from its start: 5000 -> 3605000 is one hour.
    std::string table = capture(write_table, e.data(), e.size(), 3605000);
    std::string expected =
        "PID      PROGRAM              JOB                  STATE    PHASE        ELAPSED    CHILD  STATUS\n"
        "812      vlt_proxmox          vm101                running  working      1:00:00      813  disk scsi0 (1/1): job vm101-scsi0 [consistency: crash]\n"
        "900      vlt_proxmox_restore  web?[2Jx             stale    preparing    1:02:03        -  a?b\n";
    EXPECT_EQ(table, expected);

    char buf[32];
    format_elapsed(0, buf, sizeof buf);
    EXPECT_STREQ(buf, "0:00:00");
    format_elapsed(100 * 3600 * 1000ull + 59999, buf, sizeof buf);
    EXPECT_STREQ(buf, "100:00:59");
    EXPECT_STREQ(program_of_kind(7, buf, sizeof buf), "kind 7");
    EXPECT_STREQ(phase_name(2, buf, sizeof buf), "phase 2");
    EXPECT_STREQ(phase_name(3, buf, sizeof buf), "succeeded");
    EXPECT_STREQ(phase_name(4, buf, sizeof buf), "failed");
}

TEST(MonitorReport, TableShowsNoC1Control) {
    segment_entry e{};
    e.state = SEGMENT_STALE;
    e.view.pid = 900;
    e.view.kind = 4;
    // U+009B is the one-character form of ESC [, in UTF-8 and as a single
    // byte; other UTF-8 and a lone high byte stay as they are. (The column
    // is padded by the bytes of the job name.)
    snprintf(e.view.job, sizeof e.view.job, "web\xc2\x9b" "2Jx");
    snprintf(e.view.status, sizeof e.view.status,
             "\x9b" "31mred\xc2\x85 caf\xc3\xa9 \xc2\xa0 \xe2\x80\x9c \xff\xc2");
    std::string table = capture(write_table, &e, 1, 0);
    EXPECT_EQ(table.substr(table.find('\n') + 1),
              "900      vlt_proxmox_restore  web?2Jx             stale    preparing    0:00:00        -  "
              "?31mred? caf\xc3\xa9 \xc2\xa0 \xe2\x80\x9c \xff\xc2\n");
}

TEST(MonitorReport, JsonEscapesEverythingAWriterCouldPutThere) {
    std::vector<segment_entry> e(2);
    memset(e.data(), 0, sizeof(segment_entry) * e.size());
    e[0].state = SEGMENT_RUNNING;
    e[0].view.pid = 812;
    e[0].view.kind = 2;
    e[0].view.phase = 1;
    e[0].view.counter = 6;
    e[0].view.start_time = 1700000000;
    e[0].view.elapsed_ms = 1500;
    e[0].view.child_pid = 813;
    snprintf(e[0].view.job, sizeof e[0].view.job, "a\"b\\c\x01");
    snprintf(e[0].view.status, sizeof e[0].view.status, "caf\xc3\xa9 \xff!");
    snprintf(e[0].view.detail, sizeof e[0].view.detail, "consistency: fs\n");
    e[1].state = SEGMENT_MALFORMED;
    snprintf(e[1].name, sizeof e[1].name, "vlt_progress.5");
    snprintf(e[1].reason, sizeof e[1].reason, "truncated (100 of 1208 bytes)");

    std::string json = capture(write_json, e.data(), e.size(), 0);
    EXPECT_EQ(json,
              "{\"segments\":[{\"pid\":812,\"program\":\"vlt_proxmox\",\"kind\":2,"
              "\"job\":\"a\\\"b\\\\c\\u0001\",\"state\":\"running\",\"phase\":\"working\","
              "\"phase_code\":1,\"status\":\"caf\xc3\xa9 \\ufffd!\",\"detail\":\"consistency: fs\\u000a\","
              "\"elapsed_ms\":1500,"
              "\"start_time\":1700000000,\"child_pid\":813,\"update_counter\":6}],"
              "\"skipped\":[{\"name\":\"vlt_progress.5\",\"reason\":\"truncated (100 of 1208 bytes)\"}]}\n");
}

// --- the program itself ---

struct program_run {
    int status = -1;
    std::string out, err;
};

program_run run_monitor(const std::vector<std::string> &args) {
    program_run r;
    char out_tmpl[] = "/tmp/vlt_monitor_out.XXXXXX";
    char err_tmpl[] = "/tmp/vlt_monitor_err.XXXXXX";
    int out_fd = mkstemp(out_tmpl), err_fd = mkstemp(err_tmpl);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        std::vector<char *> argv;
        argv.push_back((char *)VLT_PROGRESS_BIN);
        for (const auto &a : args) argv.push_back((char *)a.c_str());
        argv.push_back(nullptr);
        execv(VLT_PROGRESS_BIN, argv.data());
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    auto slurp = [](int fd) {
        std::string s;
        char buf[4096];
        ssize_t n;
        lseek(fd, 0, SEEK_SET);
        while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, (size_t)n);
        close(fd);
        return s;
    };
    r.out = slurp(out_fd);
    r.err = slurp(err_fd);
    unlink(out_tmpl);
    unlink(err_tmpl);
    return r;
}

TEST(MonitorProgram, PrintsTableJsonAndSkippedSegments) {
    temp_dir dir;
    pid_t me = getpid();
    segment_bytes seg((uint32_t)me, 4, 1, "vm101", "disk scsi0 (1/2): restoring into local-lvm:vm-105-disk-0", 0);
    ASSERT_TRUE(write_bytes(dir.file(name_for(me)), seg.b, sizeof seg.b));
    ASSERT_TRUE(write_bytes(dir.file("vlt_progress.3"), seg.b, 10));

    program_run text = run_monitor({"--dir", dir.path});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find(std::to_string(me) + " "), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("vlt_proxmox_restore  vm101"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("running  working"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("restoring into local-lvm:vm-105-disk-0\n"), std::string::npos);
    EXPECT_EQ(text.err, "vlt_progress: " + dir.path +
                            "/vlt_progress.3: skipped: truncated (10 of 1208 bytes)\n");

    program_run json = run_monitor({"--json", "--dir=" + dir.path});
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.out.rfind("{\"segments\":[{\"pid\":" + std::to_string(me) +
                                 ",\"program\":\"vlt_proxmox_restore\",\"kind\":4,\"job\":\"vm101\"",
                             0),
              0u)
        << json.out;
    EXPECT_NE(json.out.find("\"skipped\":[{\"name\":\"vlt_progress.3\""), std::string::npos);

    program_run watch = run_monitor({"--watch", "--count", "2", "--json", "--dir", dir.path});
    EXPECT_EQ(watch.status, 0);
    size_t lines = 0;
    for (char c : watch.out) lines += c == '\n';
    EXPECT_EQ(lines, 2u) << watch.out;
}

TEST(MonitorProgram, CommandLineErrorsAndAMissingDirectory) {
    program_run r = run_monitor({"--bogus"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "error: unknown argument '--bogus' (use --help)\n");
    r = run_monitor({"--watch", "--count", "0"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "error: --count must be a positive number\n");
    r = run_monitor({"--count", "3"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "error: --count needs --watch\n");
    r = run_monitor({"--dir"});
    EXPECT_EQ(r.status, 2);
    r = run_monitor({"--dir", "/nonexistent/vlt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vlt_progress: cannot read /nonexistent/vlt: No such file or directory\n");
    r = run_monitor({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("--watch"), std::string::npos);
    r = run_monitor({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "vlt_progress 1.0.2-alpha028\n");
}

TEST(MonitorProgram, WatchEndsCleanlyOnSigint) {
    temp_dir dir;
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        execl(VLT_PROGRESS_BIN, VLT_PROGRESS_BIN, "--watch", "--dir", dir.path.c_str(),
              (char *)nullptr);
        _exit(127);
    }
    close(out[1]);
    // Wait for the first screen, then interrupt.
    char buf[512];
    ssize_t n = read(out[0], buf, sizeof buf);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, 3), "PID");
    kill(pid, SIGINT);
    int st = 0;
    waitpid(pid, &st, 0);
    close(out[0]);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
}

}  // namespace
