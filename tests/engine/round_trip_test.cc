// Backups written by vlt_agent come back byte for byte through vlt_restore.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <vector>

#include "engine_test_util.h"

using namespace engine_test;

namespace {

struct round_trip {
    tool_result backup;
    tool_result restore;
    std::string header;
    std::string restored;
};

// Backs up data with the extra agent flags and restores it into a fresh
// regular file.
round_trip backup_and_restore(const scratch_dir &dir, const std::string &data, const std::vector<std::string> &flags,
                              const std::string &job = "vm101-scsi0") {
    round_trip rt;
    std::string src = dir.file("source-" + job);
    write_file(src, data);
    std::string out = dir.file("out-" + job);
    mkdir(out.c_str(), 0700);
    std::vector<std::string> args = {"--source", src, "--snapshot", "off", "--name", job, "--out", out, "--no-progress"};
    args.insert(args.end(), flags.begin(), flags.end());
    rt.backup = run_agent(args);
    rt.header = only_file_with(out, ".infb");
    if (rt.backup.status != 0 || rt.header.empty()) return rt;
    std::string target = dir.file("restored-" + job);
    rt.restore = run_restore({"--meta", rt.header, "--search-dir", out, "--target", target, "--no-progress", "--verify"});
    rt.restored = read_file(target);
    EXPECT_EQ(file_size(target), data.size());
    return rt;
}

void expect_round_trip(const std::string &data, const std::vector<std::string> &flags, const std::string &what) {
    SCOPED_TRACE(what);
    scratch_dir dir;
    round_trip rt = backup_and_restore(dir, data, flags);
    ASSERT_EQ(rt.backup.status, 0) << rt.backup.err;
    ASSERT_EQ(rt.restore.status, 0) << rt.restore.err;
    EXPECT_TRUE(rt.restored == data) << "restored " << rt.restored.size() << " bytes of " << data.size();
}

uint64_t entry_count(const std::string &header) { return le64(read_file(header), 84); }

}  // namespace

TEST(RoundTrip, ContentsOfEveryKindAndAwkwardSizes) {
    const std::vector<std::string> small_chunks = {"--block-size", "64K"};
    const size_t sizes[] = {0, 1, 65537, 3 * 65536 + 17};
    for (size_t n : sizes) {
        expect_round_trip(random_bytes(n, n + 1), small_chunks, "random " + std::to_string(n));
        expect_round_trip(text_bytes(n), small_chunks, "text " + std::to_string(n));
        expect_round_trip(std::string(n, '\0'), small_chunks, "zeros " + std::to_string(n));
    }
    std::string mixed = random_bytes(100000, 7) + std::string(200000, '\0') + text_bytes(70001) +
                        std::string(65536, '\0') + random_bytes(3, 9);
    expect_round_trip(mixed, small_chunks, "mixed, 64K chunks");
    expect_round_trip(mixed, {}, "mixed, default chunks");
}

TEST(RoundTrip, ZeroChunksAreHolesAndStoreNothing) {
    scratch_dir dir;
    // chunks: data, zero, zero, data(short)
    std::string data = random_bytes(65536, 3) + std::string(131072, '\0') + text_bytes(1000);
    round_trip rt = backup_and_restore(dir, data, {"--block-size", "64K", "--compression", "none"});
    ASSERT_EQ(rt.backup.status, 0) << rt.backup.err;
    ASSERT_EQ(rt.restore.status, 0) << rt.restore.err;
    EXPECT_TRUE(rt.restored == data);
    std::string header = read_file(rt.header);
    ASSERT_EQ(entry_count(rt.header), 2u);
    EXPECT_EQ(le64(header, 131072), 0u);           // first entry: block 0
    EXPECT_EQ(le64(header, 131072 + 58), 3u);      // second entry: block 3
    std::string store = rt.header.substr(0, rt.header.size() - 5) + ".csfb";
    EXPECT_EQ(file_size(store), 64u + 65536u + 1000u);

    // A regular target with older contents reads as zeros in the hole.
    std::string target = dir.file("used-target");
    write_file(target, std::string(data.size() + 5000, 'x'));
    std::string out = rt.header.substr(0, rt.header.rfind('/'));
    tool_result again = run_restore({"--meta", rt.header, "--search-dir", out, "--target", target, "--no-progress"});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(read_file(target) == data);

    scratch_dir zeros_dir;
    round_trip all_zero = backup_and_restore(zeros_dir, std::string(1 << 20, '\0'), {});
    ASSERT_EQ(all_zero.backup.status, 0) << all_zero.backup.err;
    EXPECT_EQ(entry_count(all_zero.header), 0u);
    EXPECT_TRUE(all_zero.restored == std::string(1 << 20, '\0'));
}

TEST(RoundTrip, ConfigTextIntoAnExistingRegularFileEndsAtTheSourceLength) {
    scratch_dir dir;
    const std::string config = "boot: order=scsi0\ncores: 2\nmemory: 2048\nname: web\n"
                               "net0: virtio=BC:24:11:2A:3B:4C,bridge=vmbr0\nscsi0: local-lvm:vm-101-disk-0,size=8G\n"
                               "smbios1: uuid=5d5f1e32-8b9a-4a43-9c3e-0f0d4b1b2c3d\nvmgenid: 1\n";
    std::string src = dir.file("vmconfig");
    write_file(src, config);
    std::string out = dir.file("out");
    mkdir(out.c_str(), 0700);
    tool_result b = run_agent({"--source", src, "--snapshot", "off", "--name", "vm101-vmconfig", "--out", out});
    ASSERT_EQ(b.status, 0) << b.err;
    std::string header = only_file_with(out, ".infb");

    // an empty file, as the restore orchestrator hands over, and a file that
    // holds more than the source
    for (const std::string &before : {std::string(), std::string(10000, 'x')}) {
        std::string target = dir.file("target");
        write_file(target, before);
        tool_result r = run_restore({"--meta", header, "--search-dir", out, "--target", target});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_file(target), config);
    }
}

TEST(RoundTrip, CompressionChoicesAreRecordedPerChunk) {
    const std::string text = text_bytes(200000);
    const std::string noise = random_bytes(65536, 11);
    struct {
        const char *name;
        uint8_t text_codec;
    } cases[] = {{"zstd", 1}, {"lz4", 2}, {"none", 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        round_trip rt = backup_and_restore(dir, text + noise, {"--block-size", "64K", "--compression", c.name, "--level", "5"});
        ASSERT_EQ(rt.backup.status, 0) << rt.backup.err;
        ASSERT_EQ(rt.restore.status, 0) << rt.restore.err;
        EXPECT_TRUE(rt.restored == text + noise);
        std::string header = read_file(rt.header);
        ASSERT_EQ(le64(header, 84), 5u);  // 200000 + 65536 bytes in 64 KiB chunks
        EXPECT_EQ(static_cast<uint8_t>(header[131072 + 24]), c.text_codec);
        // Random bytes do not shrink: stored as they are whatever the codec.
        size_t last = 131072 + 4 * 58;
        EXPECT_EQ(static_cast<uint8_t>(header[last + 24]), 0);
        EXPECT_EQ(le32(header, last + 16), le32(header, last + 20));
        if (c.text_codec != 0) EXPECT_LT(le32(header, 131072 + 16), 65536u);
        else EXPECT_EQ(le32(header, 131072 + 16), 65536u);
    }
}

TEST(RoundTrip, BlockSizeSetsTheChunkSize) {
    const std::string data = random_bytes(300000, 5);
    struct {
        const char *flag;
        uint32_t bytes;
    } cases[] = {{"4096", 4096}, {"128K", 131072}, {"1MiB", 1048576}, {"262144", 262144}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.flag);
        scratch_dir dir;
        round_trip rt = backup_and_restore(dir, data, {"--block-size", c.flag});
        ASSERT_EQ(rt.backup.status, 0) << rt.backup.err;
        ASSERT_EQ(rt.restore.status, 0) << rt.restore.err;
        EXPECT_TRUE(rt.restored == data);
        std::string header = read_file(rt.header);
        EXPECT_EQ(le32(header, 12), c.bytes);
        EXPECT_EQ(le64(header, 84), (data.size() + c.bytes - 1) / c.bytes);
    }
}

TEST(RoundTrip, ThreadCountDoesNotChangeTheOutput) {
    scratch_dir dir;
    std::string data = random_bytes(700000, 21) + std::string(300000, '\0') + text_bytes(1500000);
    std::string src = dir.file("disk");
    write_file(src, data);
    const env_list fixed = {{"VLT_AGENT_FIXED_RUN_ID", "00112233445566778899aabbccddeeff"},
                            {"VLT_AGENT_FIXED_TIME", "1750000000"}};
    std::vector<std::string> files[2];
    const char *threads[] = {"1", "4"};
    for (int i = 0; i < 2; ++i) {
        std::string out = dir.file(std::string("out") + threads[i]);
        mkdir(out.c_str(), 0700);
        tool_result r = run_agent({"--source", src, "--snapshot", "off", "--name", "vm7-virtio1", "--out", out,
                                   "--threads", threads[i], "--block-size", "64K", "--no-progress"},
                                  fixed);
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(list_dir(out).size(), 2u);
        files[i] = {read_file(only_file_with(out, ".infb")), read_file(only_file_with(out, ".csfb"))};
    }
    EXPECT_GT(files[0][1].size(), 64u);
    EXPECT_TRUE(files[0][0] == files[1][0]) << "run headers differ";
    EXPECT_TRUE(files[0][1] == files[1][1]) << "chunk stores differ";
}

TEST(RoundTrip, PipeSourceIsReadToItsEnd) {
    scratch_dir dir;
    std::string data = text_bytes(150000) + random_bytes(5000, 2);
    std::string src = dir.file("data");
    write_file(src, data);
    std::string out = dir.file("out");
    mkdir(out.c_str(), 0700);
    // The agent reads /dev/stdin, a pipe fed by the shell.
    tool_result b = run_tool("/bin/sh", {"-c", std::string("cat '") + src + "' | '" + VLT_AGENT_PATH +
                                                   "' --source /dev/stdin --snapshot off --name p-vmconfig --out '" +
                                                   out + "' --block-size 64K"});
    ASSERT_EQ(b.status, 0) << b.err;
    std::string header = only_file_with(out, ".infb");
    EXPECT_EQ(le64(read_file(header), 76), data.size());
    std::string target = dir.file("target");
    tool_result r = run_restore({"--meta", header, "--search-dir", out, "--target", target});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(target) == data);
}
