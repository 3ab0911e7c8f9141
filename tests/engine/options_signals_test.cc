// Command lines the tools refuse, the help texts, and an interrupted backup.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "engine_test_util.h"

using namespace engine_test;

namespace {

std::vector<std::string> base_args(const scratch_dir &dir) {
    return {"--source", dir.file("src"), "--snapshot", "off", "--name", "vm1-scsi0", "--out", dir.path()};
}

}  // namespace

TEST(AgentOptions, RefusedOptionsExitTwoWithOneMessage) {
    scratch_dir dir;
    write_file(dir.file("src"), "data");
    struct refused {
        std::vector<std::string> extra;
        const char *message;
    } cases[] = {
        {{"--target", "nas1:443"}, "--target: backups to a network target are not supported by this agent; use --out <dir>"},
        {{"--target=nas1:443"}, "--target: backups to a network target are not supported by this agent; use --out <dir>"},
        {{"--api-key", "file:/k"}, "--api-key: backups to a network target are not supported by this agent; use --out <dir>"},
        {{"--out-encryption", "aes256"}, "--out-encryption: encrypted runs are not supported by this agent"},
        {{"--out-key-file", "/k"}, "--out-key-file: encrypted runs are not supported by this agent"},
        {{"--resume", "auto"}, "--resume: resuming interrupted runs is not supported by this agent"},
        {{"--background"}, "--background: background runs are not supported by this agent"},
        {{"--retention", "7d"}, "--retention: retention management is not supported by this agent"},
        {{"--diag-dir", "/tmp"}, "--diag-dir: diagnostics files are not supported by this agent"},
        {{"--type", "incr"}, "--type 'incr': this agent writes full runs only (--type full)"},
        {{"--compression", "gzip"}, "--compression 'gzip': expected zstd, lz4 or none"},
        {{"--level", "0"}, "--level '0': expected a compression level from 1 to 22"},
        {{"--level", "23"}, "--level '23': expected a compression level from 1 to 22"},
        {{"--threads", "0"}, "--threads '0': expected a number from 1 to 256"},
        {{"--block-size", "1000"},
         "--block-size '1000': expected a multiple of 4096 bytes from 4096 to 67108864 (K and M suffixes allowed)"},
        {{"--block-size", "128M"},
         "--block-size '128M': expected a multiple of 4096 bytes from 4096 to 67108864 (K and M suffixes allowed)"},
        {{"--verify=yes"}, "option --verify takes no value"},
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
        {{"stray"}, "unexpected argument 'stray'"},
        {{"--level"}, "option --level needs a value"},
    };
    for (const refused &c : cases) {
        SCOPED_TRACE(c.message);
        std::vector<std::string> args = base_args(dir);
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        tool_result r = run_agent(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, std::string("error: ") + c.message + "\n");
    }
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"src"});

    tool_result snap_on = run_agent({"--source", dir.file("src"), "--snapshot", "on", "--name", "j", "--out", dir.path()});
    EXPECT_EQ(snap_on.status, 2);
    EXPECT_NE(snap_on.err.find("--snapshot on: this agent takes no snapshots of its own"), std::string::npos);
    tool_result no_out = run_agent({"--source", dir.file("src"), "--snapshot", "off", "--name", "j"});
    EXPECT_EQ(no_out.status, 2);
    EXPECT_EQ(no_out.err, "error: --out is required (this agent writes to a local directory only)\n");
    tool_result no_name = run_agent({"--source", dir.file("src"), "--out", dir.path()});
    EXPECT_EQ(no_name.err, "error: --name is required\n");
}

TEST(AgentOptions, LocalFlagsAreAcceptedAndTheFirstOccurrenceCounts) {
    scratch_dir dir;
    write_file(dir.file("src"), text_bytes(300000));
    std::vector<std::string> args = base_args(dir);
    // what a profile adds after the operator's own flags
    for (const char *a : {"--block-size", "64K", "--threads", "2", "--compression=lz4", "--level", "9", "--max-level",
                          "19", "--verify", "--no-fs-bitmap", "--no-diag", "--type", "full", "--out-encryption", "none",
                          "--search-dir", "/nonexistent", "-v", "--no-progress", "--name", "other", "--block-size", "1M",
                          "--snapshot", "off", "--out", "/nonexistent"})
        args.push_back(a);
    tool_result r = run_agent(args);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string header = only_file_with(dir.path(), ".infb");
    ASSERT_FALSE(header.empty());
    std::string h = read_file(header);
    EXPECT_EQ(std::string(h.c_str() + 484), "vm1-scsi0");
    EXPECT_EQ(le32(h, 12), 65536u);
    EXPECT_EQ(static_cast<uint8_t>(h[131072 + 24]), 2u);  // lz4
    EXPECT_NE(r.err.find("DEBUG"), std::string::npos);       // -v
    EXPECT_EQ(r.err.find("% read"), std::string::npos);      // --no-progress
}

TEST(ToolOptions, HelpAndRestoreCommandLine) {
    tool_result help = run_agent({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char *flag : {"--source", "--snapshot off", "--name", "--out", "--block-size", "--compression", "--level",
                             "--threads", "--verify", "--no-progress", "--target"})
        EXPECT_NE(help.err.find(flag), std::string::npos) << flag;
    tool_result rhelp = run_restore({"-h"});
    EXPECT_EQ(rhelp.status, 0);
    for (const char *flag : {"--meta", "--search-dir", "--target", "--assume-zeroed", "--verify", "--threads"})
        EXPECT_NE(rhelp.err.find(flag), std::string::npos) << flag;
    EXPECT_EQ(run_agent({"--version"}).out, "vlt_agent 1.0.2-alpha028\n");
    EXPECT_EQ(run_restore({"--version"}).out, "vlt_restore 1.0.2-alpha028\n");

    struct refused {
        std::vector<std::string> args;
        const char *message;
    } cases[] = {
        {{"--search-dir", "/b", "--target", "/t"}, "--meta is required"},
        {{"--meta", "/m", "--target", "/t"}, "--search-dir is required"},
        {{"--meta", "/m", "--search-dir", "/b"}, "--target is required"},
        {{"--meta", "/m", "--search-dir", "/b", "--target", "/t", "--tls-ca", "x"}, "unknown option '--tls-ca'"},
        {{"--meta", "/m", "--search-dir", "/b", "--target", "/t", "--threads", "300"},
         "--threads '300': expected a number from 1 to 256"},
    };
    for (const refused &c : cases) {
        tool_result r = run_restore(c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, std::string("error: ") + c.message + "\n");
    }
}

TEST(AgentSignals, TerminationLeavesNoRunFiles) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        scratch_dir dir;
        std::string fifo = dir.file("fifo");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        std::string out = dir.file("out");
        mkdir(out.c_str(), 0700);
        pid_t pid = spawn_tool(VLT_AGENT_PATH, {"--source", fifo, "--snapshot", "off", "--name", "vm2-scsi0", "--out",
                                                out, "--block-size", "64K", "--threads", "2"});
        ASSERT_GT(pid, 0);
        int w = open(fifo.c_str(), O_WRONLY);  // waits for the agent to open its end
        ASSERT_GE(w, 0);
        std::string chunk = random_bytes(3 * 65536 + 10, 1);
        ASSERT_EQ(write(w, chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
        // The chunk store exists as soon as the run has claimed its name.
        for (int i = 0; i < 500 && list_dir(out).empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(list_dir(out).size(), 1u);
        EXPECT_EQ(kill(-pid, sig), 0);
        EXPECT_EQ(wait_status(pid), -sig);
        close(w);
        EXPECT_TRUE(list_dir(out).empty()) << list_dir(out)[0];
    }
}

TEST(AgentSignals, RunCompletedFromAPipeKeepsItsFiles) {
    scratch_dir dir;
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    pid_t pid = spawn_tool(VLT_AGENT_PATH, {"--source", fifo, "--snapshot", "off", "--name", "vm2-scsi0", "--out",
                                            dir.path(), "--block-size", "64K"});
    ASSERT_GT(pid, 0);
    int w = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(w, 0);
    std::string data = random_bytes(100000, 3);
    ASSERT_EQ(write(w, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(w);
    EXPECT_EQ(wait_status(pid), 0);
    std::string header = only_file_with(dir.path(), ".infb");
    ASSERT_FALSE(header.empty());
    EXPECT_EQ(le64(read_file(header), 76), data.size());
}

namespace {

// Files may grow to 100000 bytes; writing past that fails with EFBIG
// instead of raising SIGXFSZ.
void limit_file_size() {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {100000, 100000};
    setrlimit(RLIMIT_FSIZE, &lim);
}

}  // namespace

TEST(WriteFailures, AgentRemovesItsChunkStoreAndRestoreStopsAtTheError) {
    scratch_dir dir;
    std::string src = dir.file("src");
    const std::string data = random_bytes(300000, 17);
    write_file(src, data);
    std::string out = dir.file("out");
    mkdir(out.c_str(), 0700);
    std::vector<std::string> args = {"--source", src, "--snapshot", "off", "--name", "vm4-scsi2", "--out", out,
                                     "--block-size", "64K", "--no-progress"};
    tool_result r = run_agent(args, {{"VLT_AGENT_FIXED_TIME", "1700000000"}}, limit_file_size);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("job vm4-scsi2: backup failed: cannot write " + out +
                         "/vm4-scsi2-202311142213.csfb: File too large"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(list_dir(out).empty());

    // The same run without the limit, restored into a file that may not
    // grow past 100000 bytes.
    ASSERT_EQ(run_agent(args).status, 0);
    std::string header = only_file_with(out, ".infb");
    std::string target = dir.file("target");
    r = run_restore({"--meta", header, "--search-dir", out, "--target", target}, {}, limit_file_size);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(target + ": File too large"), std::string::npos) << r.err;
    EXPECT_LE(file_size(target), data.size());
}
