// The run files as the restore program and vlt_restore read them: header
// fields at their byte offsets, the index, the chunk store, and file names.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/digest.h"
#include "engine_test_util.h"

using namespace engine_test;

namespace {

const env_list fixed_identity = {{"VLT_AGENT_FIXED_RUN_ID", "0123456789abcdef0123456789abcdef"},
                                 {"VLT_AGENT_FIXED_TIME", "1700000000"}};  // 2023-11-14 22:13:20 UTC

tool_result backup(const std::string &src, const std::string &out, const std::string &job, const env_list &env,
                   std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--source", src, "--snapshot", "off", "--name", job, "--out", out, "--no-progress"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_agent(args, env);
}

std::string digest_of(const std::string &data) {
    uint8_t d[32];
    sha256_digest(data.data(), data.size(), d);
    return std::string(reinterpret_cast<char *>(d), 32);
}

}  // namespace

TEST(RunFiles, HeaderFieldsSitAtTheirOffsets) {
    scratch_dir dir;
    // chunks of 64 KiB: text, zeros (a hole), random, a short text tail
    std::string data = text_bytes(65536) + std::string(65536, '\0') + random_bytes(65536, 4) + text_bytes(777);
    std::string src = dir.file("disk");
    write_file(src, data);
    tool_result r = backup(src, dir.path(), "vm101-scsi0", fixed_identity, {"--block-size", "64K"});
    ASSERT_EQ(r.status, 0) << r.err;

    const std::string base = dir.file("vm101-scsi0-202311142213");
    ASSERT_TRUE(file_exists(base + ".infb"));
    ASSERT_TRUE(file_exists(base + ".csfb"));
    const std::string h = read_file(base + ".infb");
    const std::string store = read_file(base + ".csfb");

    EXPECT_EQ(h.substr(0, 4), "VLTH");
    EXPECT_EQ(le16(h, 4), 1u);
    EXPECT_EQ(le16(h, 6), 0u);
    EXPECT_EQ(le32(h, 8), 131072u);
    EXPECT_EQ(le32(h, 12), 65536u);
    EXPECT_EQ(h[16], 0);  // full run
    EXPECT_EQ(h[17], 1);  // first run of its chain
    EXPECT_EQ(le16(h, 18), 0u);
    const std::string run_id("\x01\x23\x45\x67\x89\xab\x4d\xef\x81\x23\x45\x67\x89\xab\xcd\xef", 16);
    EXPECT_EQ(h.substr(20, 16), run_id);  // version-4 and variant bits put into the given id
    EXPECT_EQ(h.substr(36, 16), std::string(16, '\0'));
    EXPECT_EQ(h.substr(52, 16), run_id);
    EXPECT_EQ(le64(h, 68), 1700000000u);
    EXPECT_EQ(le64(h, 76), data.size());
    EXPECT_EQ(le64(h, 84), 3u);
    EXPECT_EQ(le64(h, 92), 0u);
    ASSERT_EQ(h.size(), 131072u + 3 * 58);
    const std::string index = h.substr(131072);
    EXPECT_EQ(h.substr(100, 32), digest_of(index));
    EXPECT_EQ(std::string(h.c_str() + 132), "1.0.2-alpha028");
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(std::string(h.c_str() + 164), std::string(host).substr(0, 63));
    EXPECT_EQ(std::string(h.c_str() + 484), "vm101-scsi0");
    EXPECT_EQ(h.substr(228, 256), std::string(256, '\0'));  // parent settings: none in a first run
    EXPECT_EQ(le64(h, 25669), 0u);

    // Chunk store: its prefix names the run.
    EXPECT_EQ(store.substr(0, 4), "VLTC");
    EXPECT_EQ(store.substr(12, 16), run_id);

    // Index: blocks 0, 2 and 3 (block 1 is a hole), each pointing at its
    // bytes in the chunk store, with the digest of the source bytes.
    const uint64_t blocks[] = {0, 2, 3};
    uint64_t expected_offset = 64;
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const size_t e = static_cast<size_t>(i) * 58;
        const uint64_t block = le64(index, e);
        EXPECT_EQ(block, blocks[i]);
        const uint64_t offset = le64(index, e + 8);
        const uint32_t stored = le32(index, e + 16);
        const uint32_t raw = le32(index, e + 20);
        const uint32_t codec = static_cast<uint8_t>(index[e + 24]);
        EXPECT_EQ(offset, expected_offset);
        expected_offset += stored;
        const std::string source_bytes = data.substr(block * 65536, raw);
        EXPECT_EQ(raw, block == 3 ? 777u : 65536u);
        EXPECT_EQ(index.substr(e + 26, 32), digest_of(source_bytes));
        ASSERT_LE(offset + stored, store.size());
        std::string out(raw, '\0');
        uint64_t produced = 0;
        ASSERT_EQ(codec_decompress(codec, store.data() + offset, stored, out.data(), raw, &produced), 0);
        EXPECT_EQ(produced, raw);
        EXPECT_TRUE(out == source_bytes);
    }
    EXPECT_EQ(expected_offset, store.size());
    EXPECT_EQ(static_cast<uint8_t>(index[24]), 1u);       // text: zstd
    EXPECT_EQ(static_cast<uint8_t>(index[58 + 24]), 0u);  // random: stored as is
}

TEST(RunFiles, EmptySourceHasAnEmptyIndexAndZeroDigest) {
    scratch_dir dir;
    std::string src = dir.file("empty");
    write_file(src, "");
    tool_result r = backup(src, dir.path(), "vm5-vmconfig", fixed_identity);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string h = read_file(dir.file("vm5-vmconfig-202311142213.infb"));
    ASSERT_EQ(h.size(), 131072u);
    EXPECT_EQ(le32(h, 12), 2097152u);  // default chunk size
    EXPECT_EQ(le64(h, 76), 0u);
    EXPECT_EQ(le64(h, 84), 0u);
    EXPECT_EQ(h.substr(100, 32), std::string(32, '\0'));
    EXPECT_EQ(file_size(dir.file("vm5-vmconfig-202311142213.csfb")), 64u);
}

TEST(RunFiles, HostNameCanBeSetForTestsOfSeveralHosts) {
    scratch_dir dir;
    std::string src = dir.file("conf");
    write_file(src, "memory: 512\n");
    env_list env = fixed_identity;
    env.push_back({"VLT_AGENT_FIXED_HOST", "pve2"});
    ASSERT_EQ(backup(src, dir.path(), "vm5-vmconfig", env).status, 0);
    std::string h = read_file(dir.file("vm5-vmconfig-202311142213.infb"));
    EXPECT_EQ(h.substr(164, 5), std::string("pve2\0", 5));

    // Cut to 63 characters, like a host name the system gives.
    env.back().second = std::string(70, 'h');
    ASSERT_EQ(backup(src, dir.path(), "vm6-vmconfig", env).status, 0);
    h = read_file(dir.file("vm6-vmconfig-202311142213.infb"));
    EXPECT_EQ(h.substr(164, 64), std::string(63, 'h') + std::string(1, '\0'));
}

TEST(RunFiles, RunIdsAreRandomVersion4) {
    scratch_dir dir;
    std::string src = dir.file("src");
    write_file(src, "x");
    ASSERT_EQ(backup(src, dir.path(), "a", {}).status, 0);
    ASSERT_EQ(backup(src, dir.path(), "b", {}).status, 0);
    std::vector<std::string> ids;
    for (const std::string &n : list_dir(dir.path())) {
        if (n.size() > 5 && n.substr(n.size() - 5) == ".infb") {
            std::string h = read_file(dir.file(n));
            std::string id = h.substr(20, 16);
            EXPECT_EQ(static_cast<uint8_t>(id[6]) & 0xF0, 0x40);
            EXPECT_EQ(static_cast<uint8_t>(id[8]) & 0xC0, 0x80);
            EXPECT_EQ(h.substr(52, 16), id);
            int64_t created = static_cast<int64_t>(le64(h, 68));
            EXPECT_LE(std::llabs(created - static_cast<int64_t>(time(nullptr))), 120);
            ids.push_back(id);
        }
    }
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_NE(ids[0], ids[1]);
}

TEST(RunFiles, NamesCountUpWhenTaken) {
    scratch_dir dir;
    std::string src = dir.file("src");
    write_file(src, text_bytes(1000));
    std::string out = dir.file("out");
    mkdir(out.c_str(), 0700);
    const std::string base = out + "/vm9-scsi1-202311142213";

    ASSERT_EQ(backup(src, out, "vm9-scsi1", fixed_identity).status, 0);
    ASSERT_EQ(backup(src, out, "vm9-scsi1", fixed_identity).status, 0);
    EXPECT_TRUE(file_exists(base + ".infb"));
    EXPECT_TRUE(file_exists(base + "-2.infb"));
    EXPECT_TRUE(file_exists(base + "-2.csfb"));

    // A leftover chunk store without a header takes its name too.
    write_file(base + "-3.csfb", "leftover");
    ASSERT_EQ(backup(src, out, "vm9-scsi1", fixed_identity).status, 0);
    EXPECT_EQ(read_file(base + "-3.csfb"), "leftover");
    EXPECT_FALSE(file_exists(base + "-3.infb"));
    EXPECT_TRUE(file_exists(base + "-4.infb"));
    EXPECT_EQ(list_dir(out).size(), 7u);

    // Counters stop at 1000.
    for (int i = 5; i <= 1000; ++i) write_file(base + "-" + std::to_string(i) + ".infb", "");
    tool_result r = backup(src, out, "vm9-scsi1", fixed_identity);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no free run name for job vm9-scsi1 in " + out + ": 1000 runs with this time stamp exist"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(list_dir(out).size(), 7u + 996u);
}

TEST(RunFiles, JobNameLimits) {
    scratch_dir dir;
    std::string src = dir.file("src");
    write_file(src, "abc");
    std::string name63(63, 'j');
    ASSERT_EQ(backup(src, dir.path(), name63, fixed_identity).status, 0);
    std::string h = read_file(dir.file(name63 + "-202311142213.infb"));
    EXPECT_EQ(std::string(h.c_str() + 484), name63);

    tool_result too_long = backup(src, dir.path(), name63 + "j", fixed_identity);
    EXPECT_EQ(too_long.status, 2);
    EXPECT_EQ(too_long.err, "error: --name '" + name63 + "j': a job name has 1 to 63 characters\n");
    tool_result slash = backup(src, dir.path(), "a/b", fixed_identity);
    EXPECT_EQ(slash.status, 2);
    EXPECT_EQ(slash.err, "error: --name 'a/b': a job name cannot contain '/' or be '.' or '..'\n");
}
