// Log line layout, thresholds, name limits and the system-log notes.
#include "common/log.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"

namespace {

std::vector<std::string> g_notes;
void record_note(const char *text) { g_notes.push_back(text); }

struct LogTest : testing::Test {
    void SetUp() override {
        g_notes.clear();
        log_set_note_sink(record_note);
        log_setup("vlt_test", LOG_LEVEL_INFO);
    }
    void TearDown() override { log_set_note_sink(nullptr); }
};

std::string utc_stamp(time_t t) {
    struct tm tm;
    gmtime_r(&t, &tm);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

TEST_F(LogTest, LineLayoutAndTimestamp) {
    fd_capture err(2);
    time_t before = time(nullptr);
    log_write(LOG_LEVEL_INFO, "VM %s disk %s: job %s finished", "101", "scsi0", "vm101-scsi0");
    time_t after = time(nullptr);
    std::string out = err.text();
    ASSERT_TRUE(has_log_stamp(out)) << out;
    std::string stamp = out.substr(0, 20);
    EXPECT_TRUE(stamp == utc_stamp(before) || stamp == utc_stamp(after)) << stamp;
    EXPECT_EQ(" [vlt_test] INFO  VM 101 disk scsi0: job vm101-scsi0 finished\n", out.substr(20));
}

TEST_F(LogTest, LevelNamesArePaddedToFive) {
    fd_capture err(2);
    log_write(LOG_LEVEL_WARN, "w");
    log_write(LOG_LEVEL_ERROR, "e");
    log_write(7, "odd");
    log_write(LOG_LEVEL_DEBUG, "hidden");
    std::string out = err.text();
    EXPECT_EQ("WARN  w\nERROR e\n?     odd\n", strip_log_prefixes(out, "vlt_test"));
}

TEST_F(LogTest, BelowThresholdPrintsNothing) {
    fd_capture err(2);
    log_write(LOG_LEVEL_DEBUG, "not shown %d", 1);
    EXPECT_EQ("", err.text());

    log_setup("vlt_test", LOG_LEVEL_ERROR);
    fd_capture err2(2);
    log_write(LOG_LEVEL_WARN, "not shown");
    log_write(LOG_LEVEL_ERROR, "shown");
    std::string out = err2.text();
    EXPECT_EQ(std::string::npos, out.find("not shown"));
    EXPECT_NE(std::string::npos, out.find("] ERROR shown\n"));
}

TEST_F(LogTest, SecondSetupTakesNameAndThreshold) {
    log_setup("first", LOG_LEVEL_ERROR);
    log_setup("second", LOG_LEVEL_DEBUG);
    fd_capture err(2);
    log_write(LOG_LEVEL_DEBUG, "d");
    std::string out = err.text();
    EXPECT_EQ(" [second] DEBUG d\n", out.substr(20));
}

TEST_F(LogTest, LongProgramNameIsCutTo63) {
    std::string name(70, 'n');
    name[62] = 'L';
    name[63] = 'X';
    log_setup(name.c_str(), LOG_LEVEL_INFO);
    fd_capture err(2);
    log_write(LOG_LEVEL_INFO, "hi");
    std::string out = err.text();
    EXPECT_EQ(" [" + name.substr(0, 63) + "] INFO  hi\n", out.substr(20));
}

TEST_F(LogTest, PercentSignsAndNewlinesPassLiterally) {
    fd_capture err(2);
    log_write(LOG_LEVEL_WARN, "%s", "100%s done %d");
    log_note(1, "%s", "100%s done %d");
    log_write(LOG_LEVEL_INFO, "two\nlines");
    std::string out = err.text();
    EXPECT_NE(std::string::npos, out.find("] WARN  100%s done %d\n"));
    EXPECT_NE(std::string::npos, out.find("] INFO  two\nlines\n"));
    ASSERT_EQ(1u, g_notes.size());
    EXPECT_EQ("100%s done %d", g_notes[0]);
}

TEST_F(LogTest, NotesAreCutTo511AndFilteredByCategory) {
    std::string long_text(600, 'a');
    long_text[510] = 'Y';
    long_text[511] = 'Z';
    fd_capture err(2);
    log_write(LOG_LEVEL_WARN, "%s", long_text.c_str());
    log_note(1, "%s", long_text.c_str());
    std::string out = err.text();
    EXPECT_NE(std::string::npos, out.find("] WARN  " + long_text + "\n"));
    ASSERT_EQ(1u, g_notes.size());
    EXPECT_EQ(511u, g_notes[0].size());
    EXPECT_EQ(long_text.substr(0, 511), g_notes[0]);

    log_note(2, "category two is not forwarded");
    log_note(0, "nor is no category");
    log_note(3, "bit 0 among others is");
    ASSERT_EQ(2u, g_notes.size());
    EXPECT_EQ("bit 0 among others is", g_notes[1]);
}

TEST_F(LogTest, LinesFromSeveralThreadsDoNotInterleave) {
    fd_capture err(2);
    auto writer = [](char tag) {
        for (int i = 0; i < 3000; i++) log_write(LOG_LEVEL_INFO, "%c%c%c%c %d", tag, tag, tag, tag, i);
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    std::string plain = strip_log_prefixes(err.text(), "vlt_test");
    int lines = 0;
    size_t start = 0;
    while (start < plain.size()) {
        size_t nl = plain.find('\n', start);
        ASSERT_NE(std::string::npos, nl);
        std::string line = plain.substr(start, nl - start);
        ASSERT_TRUE(line.rfind("INFO  aaaa ", 0) == 0 || line.rfind("INFO  bbbb ", 0) == 0) << line;
        lines++;
        start = nl + 1;
    }
    EXPECT_EQ(6000, lines);
}

std::vector<std::string> g_errors;
void record_error(const char *text) { g_errors.push_back(text); }

// The hook hears every ERROR line's message, formatted and without the
// stamp, after the line is out; other levels do not reach it.
TEST_F(LogTest, ErrorHookHearsErrorMessagesOnly) {
    g_errors.clear();
    log_set_error_hook(record_error);
    {
        fd_capture err(2);
        log_write(LOG_LEVEL_INFO, "VM %d: fine", 101);
        log_write(LOG_LEVEL_WARN, "VM %d: hm", 101);
        log_write(LOG_LEVEL_ERROR, "VM %d: disk %s failed", 101, "scsi0");
        log_write(LOG_LEVEL_ERROR, "%s", std::string(600, 'x').c_str());
        EXPECT_EQ(strip_log_prefixes(err.text(), "vlt_test"),
                  "INFO  VM 101: fine\nWARN  VM 101: hm\nERROR VM 101: disk scsi0 failed\nERROR " +
                      std::string(600, 'x') + "\n");
    }
    log_set_error_hook(nullptr);
    {
        fd_capture err(2);
        log_write(LOG_LEVEL_ERROR, "after");
    }
    ASSERT_EQ(g_errors.size(), 2u);
    EXPECT_EQ(g_errors[0], "VM 101: disk scsi0 failed");
    EXPECT_EQ(g_errors[1], std::string(511, 'x'));
}

}  // namespace
