// vlt_restore refuses damaged runs and unfit targets with one clear
// message, a non-zero status, and nothing written past the source size.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <unistd.h>
#include <sys/stat.h>
#include <vector>

#include "common/digest.h"
#include "engine_test_util.h"

using namespace engine_test;

namespace {

// A run of 4 chunks of 64 KiB (the last one short) stored uncompressed, so
// that a flipped stored byte reaches the digest check, in dir/out.
struct stored_run {
    std::string data;
    std::string out;
    std::string header;
    std::string store;
};

stored_run make_run(const scratch_dir &dir, const std::vector<std::string> &flags = {"--compression", "none"}) {
    stored_run run;
    run.data = text_bytes(65536) + random_bytes(65536, 8) + std::string(65536, '\0') + text_bytes(4000);
    std::string src = dir.file("src");
    write_file(src, run.data);
    run.out = dir.file("out");
    mkdir(run.out.c_str(), 0700);
    std::vector<std::string> args = {"--source", src, "--snapshot", "off", "--name", "vm3-scsi0", "--out", run.out,
                                     "--block-size", "64K", "--no-progress"};
    args.insert(args.end(), flags.begin(), flags.end());
    tool_result r = run_agent(args);
    EXPECT_EQ(r.status, 0) << r.err;
    run.header = only_file_with(run.out, ".infb");
    run.store = only_file_with(run.out, ".csfb");
    return run;
}

// A copy of pristine's files under dir/out, with the same names.
stored_run copy_run(const stored_run &pristine, const scratch_dir &dir) {
    stored_run run = pristine;
    run.out = dir.file("out");
    mkdir(run.out.c_str(), 0700);
    run.header = run.out + pristine.header.substr(pristine.header.rfind('/'));
    run.store = run.out + pristine.store.substr(pristine.store.rfind('/'));
    write_file(run.header, read_file(pristine.header));
    write_file(run.store, read_file(pristine.store));
    return run;
}

void flip_byte(const std::string &path, size_t offset) {
    std::string s = read_file(path);
    ASSERT_LT(offset, s.size());
    s[offset] = static_cast<char>(s[offset] ^ 0x5A);
    write_file(path, s);
}

void put_le(const std::string &path, size_t offset, uint64_t value, int bytes) {
    std::string s = read_file(path);
    for (int i = 0; i < bytes; ++i) s[offset + i] = static_cast<char>(value >> (8 * i));
    write_file(path, s);
}

tool_result restore_into(const stored_run &run, const std::string &target, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--meta", run.header, "--search-dir", run.out, "--target", target, "--no-progress"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_restore(args);
}

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

}  // namespace

// Faults in the run header or its index are found before the target is
// opened: the target keeps its bytes.
TEST(RestoreFaults, DamagedHeaderLeavesTheTargetUntouched) {
    struct fault {
        const char *what;
        void (*damage)(const stored_run &);
        const char *message;
    } faults[] = {
        {"wrong magic", [](const stored_run &r) { flip_byte(r.header, 0); }, "not a run header (bad magic)"},
        {"newer version", [](const stored_run &r) { put_le(r.header, 4, 2, 2); },
         "run header format version 2 is not supported (this tool reads version 1)"},
        {"header length below 4096", [](const stored_run &r) { put_le(r.header, 8, 100, 4); },
         "run header has a bad header length 100"},
        {"header length beyond the file", [](const stored_run &r) { put_le(r.header, 8, 4194304, 4); },
         "run header has a bad header length 4194304"},
        {"flipped index byte", [](const stored_run &r) { flip_byte(r.header, 131072 + 20); },
         "the index does not match its SHA-256 (corrupt run header)"},
        {"wrong index digest", [](const stored_run &r) { flip_byte(r.header, 100); },
         "the index does not match its SHA-256 (corrupt run header)"},
        {"truncated header", [](const stored_run &r) { write_file(r.header, read_file(r.header).substr(0, 4000)); },
         "run header is truncated (4000 bytes)"},
        {"index cut short", [](const stored_run &r) { write_file(r.header, read_file(r.header).substr(0, 131072 + 58)); },
         "run header file is 131130 bytes, expected 131246 for 3 index entries"},
        {"truncated chunk store", [](const stored_run &r) { write_file(r.store, read_file(r.store).substr(0, 70000)); },
         "is truncated (70000 of 135136 bytes)"},
        {"chunk store of another run", [](const stored_run &r) { flip_byte(r.store, 13); },
         "chunk store belongs to another run"},
        {"missing chunk store", [](const stored_run &r) { unlink(r.store.c_str()); }, "cannot open chunk store"},
    };
    scratch_dir pristine_dir;
    const stored_run pristine = make_run(pristine_dir);
    ASSERT_FALSE(pristine.header.empty());
    for (const fault &f : faults) {
        SCOPED_TRACE(f.what);
        scratch_dir dir;
        stored_run run = copy_run(pristine, dir);
        f.damage(run);
        std::string target = dir.file("target");
        const std::string before(300000, 'T');
        write_file(target, before);
        tool_result r = restore_into(run, target);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.err, f.message)) << r.err;
        EXPECT_TRUE(contains(r.err, "[vlt_restore] ERROR restore of " + run.header + " failed: ")) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(read_file(target) == before);
    }
}

TEST(RestoreFaults, DamagedChunkFailsAndWritesNothingPastTheSource) {
    struct fault {
        const char *what;
        std::vector<std::string> agent_flags;
        const char *message;
    } faults[] = {
        {"stored as is", {"--compression", "none"}, "chunk 1 in "},
        {"zstd", {"--compression", "zstd"}, "chunk 1 in "},
        {"lz4", {"--compression", "lz4"}, "chunk 1 in "},
    };
    for (const fault &f : faults) {
        SCOPED_TRACE(f.what);
        scratch_dir dir;
        stored_run run = make_run(dir, f.agent_flags);
        ASSERT_FALSE(run.header.empty());
        // The random second chunk is always stored as it is; flip one of its
        // bytes, then also one in the text chunk 0 for the codecs.
        std::string h = read_file(run.header);
        flip_byte(run.store, le64(h, 131072 + 58 + 8) + 1000);
        tool_result r = restore_into(run, dir.file("target"));
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.err, std::string(f.message) + run.store + ": chunk data does not match its SHA-256"))
            << r.err;
        EXPECT_LE(file_size(dir.file("target")), run.data.size());

        flip_byte(run.store, le64(h, 131072 + 58 + 8) + 1000);  // undo
        flip_byte(run.store, 64 + 10);
        r = restore_into(run, dir.file("target"));
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.err, "chunk 0 in " + run.store + ": ")) << r.err;
    }
}

// Index entries that digest correctly but do not describe the source are
// refused too (a writer fault, or a header put together by hand).
TEST(RestoreFaults, InconsistentIndexIsRefused) {
    struct fault {
        const char *what;
        void (*patch)(std::string &index);
        const char *message;
    } faults[] = {
        {"entries swapped",
         [](std::string &ix) { ix = ix.substr(58, 58) + ix.substr(0, 58) + ix.substr(116); },
         "index entry 0 (block 1): chunk not where the previous one ends"},
        {"block beyond the source", [](std::string &ix) { ix[58] = 9; },
         "index entry 1 (block 9): block number beyond the source"},
        {"block repeated", [](std::string &ix) { ix[58] = 0; }, "index entry 1 (block 0): block numbers out of order"},
        {"short chunk made long", [](std::string &ix) { ix[116 + 20] = 0; ix[116 + 22] = 1; },
         "index entry 2 (block 3): wrong chunk length"},
        {"unknown codec", [](std::string &ix) { ix[24] = 7; }, "index entry 0 (block 0): unknown codec"},
    };
    scratch_dir pristine_dir;
    const stored_run pristine = make_run(pristine_dir);
    ASSERT_FALSE(pristine.header.empty());
    for (const fault &f : faults) {
        SCOPED_TRACE(f.what);
        scratch_dir dir;
        stored_run run = copy_run(pristine, dir);
        std::string h = read_file(run.header);
        std::string index = h.substr(131072);
        f.patch(index);
        uint8_t digest[32];
        sha256_digest(index.data(), index.size(), digest);
        h = h.substr(0, 100) + std::string(reinterpret_cast<char *>(digest), 32) + h.substr(132, 131072 - 132) + index;
        write_file(run.header, h);
        std::string target = dir.file("target");
        write_file(target, "old");
        tool_result r = restore_into(run, target);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.err, run.header + ": " + f.message)) << r.err;
        EXPECT_EQ(read_file(target), "old");
    }
}

TEST(RestoreTargets, BlockDeviceSmallerThanTheSourceIsRefused) {
    scratch_dir dir;
    stored_run run = make_run(dir);  // 200608 bytes
    loop_device small(dir.file("small.img"), 196608, 'S');
    if (!small.ok()) GTEST_SKIP() << small.why();
    tool_result r = restore_into(run, small.device());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "target " + small.device() + " is smaller than the source (196608 < 200608 bytes)"))
        << r.err;
    EXPECT_TRUE(small.contents() == std::string(196608, 'S'));
}

TEST(RestoreTargets, BlockDeviceGetsTheSourceAndKeepsTheRest) {
    scratch_dir dir;
    stored_run run = make_run(dir);
    const size_t dev_size = 262144 + 4096;
    loop_device dev(dir.file("big.img"), dev_size, 'B');
    if (!dev.ok()) GTEST_SKIP() << dev.why();

    tool_result r = restore_into(run, dev.device(), {"--verify"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string now = dev.contents();
    ASSERT_EQ(now.size(), dev_size);
    EXPECT_TRUE(now.substr(0, run.data.size()) == run.data);  // the hole came back as zeros
    EXPECT_TRUE(now.substr(run.data.size()) == std::string(dev_size - run.data.size(), 'B'));

    // With --assume-zeroed the hole is not written; on a device that is not
    // zero, --verify sees the difference.
    loop_device dirty(dir.file("dirty.img"), dev_size, 'D');
    ASSERT_TRUE(dirty.ok()) << dirty.why();
    r = restore_into(run, dirty.device(), {"--assume-zeroed", "--verify"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "verify: block 2 of " + dirty.device() + " differs from the backup")) << r.err;
    std::string d = dirty.contents();
    EXPECT_TRUE(d.substr(0, 131072) == run.data.substr(0, 131072));
    EXPECT_TRUE(d.substr(131072, 65536) == std::string(65536, 'D'));
}

// Holes are not written where the device reads as zeros already: a thin
// volume stays thin. The loop device's sparse backing file shows it.
TEST(RestoreTargets, HolesOnAZeroDeviceAreNotWritten) {
    scratch_dir dir;
    std::string src = dir.file("src");
    std::string data = std::string(3 << 20, '\0') + text_bytes(65536) + std::string(1 << 20, '\0');
    write_file(src, data);
    std::string out = dir.file("out");
    mkdir(out.c_str(), 0700);
    tool_result b = run_agent({"--source", src, "--snapshot", "off", "--name", "vm8-scsi0", "--out", out,
                               "--block-size", "64K", "--no-progress"});
    ASSERT_EQ(b.status, 0) << b.err;
    std::string backing = dir.file("thin.img");
    loop_device dev(backing, data.size(), '\0');
    if (!dev.ok()) GTEST_SKIP() << dev.why();
    tool_result r = run_restore({"--meta", only_file_with(out, ".infb"), "--search-dir", out, "--target", dev.device(),
                                 "--verify", "--no-progress"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(dev.contents() == data);
    struct stat st;
    ASSERT_EQ(stat(backing.c_str(), &st), 0);
    EXPECT_LE(static_cast<uint64_t>(st.st_blocks) * 512, 256u * 1024) << "zeros were written into holes";
}

TEST(RestoreTargets, DamagedChunkOnADeviceWritesNothingPastTheSource) {
    scratch_dir dir;
    stored_run run = make_run(dir);
    flip_byte(run.store, 64 + 65536 + 65536 + 100);  // in the last chunk
    const size_t dev_size = 262144 + 4096;
    loop_device dev(dir.file("dev.img"), dev_size, 'P');
    if (!dev.ok()) GTEST_SKIP() << dev.why();
    tool_result r = restore_into(run, dev.device());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "chunk 3 in " + run.store + ": chunk data does not match its SHA-256")) << r.err;
    std::string now = dev.contents();
    EXPECT_TRUE(now.substr(196608) == std::string(dev_size - 196608, 'P'));
}

TEST(RestoreTargets, UnfitTargetsAreRefused) {
    scratch_dir dir;
    stored_run run = make_run(dir);
    tool_result r = restore_into(run, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "target " + dir.path() + " is not a block device or regular file")) << r.err;
    r = restore_into(run, run.store);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "target " + run.store + " is a file of the run itself")) << r.err;
    EXPECT_EQ(file_size(run.store), 64u + 65536 + 65536 + 4000);
}
