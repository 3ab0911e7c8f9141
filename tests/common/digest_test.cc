// CRC-32C on both code paths, the codec wrappers, the self-test and the
// SHA-256 code path report.
#include "common/digest.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/status.h"

namespace {

struct TablePath {
    TablePath() { crc32c_force_table_path(1); }
    ~TablePath() { crc32c_force_table_path(0); }
};

// Bitwise reference, independent of both implementations.
uint32_t crc32c_bitwise(uint32_t prev, const uint8_t *p, size_t n) {
    uint32_t c = ~prev;
    for (size_t i = 0; i < n; i++) {
        c ^= p[i];
        for (int k = 0; k < 8; k++) c = (c >> 1) ^ (0x82F63B78u & (0u - (c & 1u)));
    }
    return ~c;
}

std::vector<uint8_t> random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(n);
    for (auto &b : v) b = static_cast<uint8_t>(gen());
    return v;
}

TEST(Crc32c, CheckValueOnBothPaths) {
    EXPECT_EQ(0xE3069283u, crc32c(0, "123456789", 9));
    TablePath table;
    EXPECT_EQ(0xE3069283u, crc32c(0, "123456789", 9));
}

TEST(Crc32c, ZeroLengthReturnsPreviousValue) {
    for (uint32_t prev : {0u, 1u, 0xE3069283u, 0xFFFFFFFFu}) {
        EXPECT_EQ(prev, crc32c(prev, "xyz", 0));
        EXPECT_EQ(prev, crc32c(prev, nullptr, 0));
        TablePath table;
        EXPECT_EQ(prev, crc32c(prev, "xyz", 0));
    }
}

TEST(Crc32c, PathsAgreeForShortAndUnalignedBuffers) {
    std::vector<uint8_t> data = random_bytes(200, 7);
    for (size_t offset = 0; offset < 8; offset++) {
        for (size_t len = 0; len <= 64; len++) {
            const uint8_t *p = data.data() + offset;
            uint32_t fast = crc32c(0x1234u, p, len);
            uint32_t slow;
            {
                TablePath table;
                slow = crc32c(0x1234u, p, len);
            }
            ASSERT_EQ(slow, fast) << "offset " << offset << " length " << len;
            ASSERT_EQ(crc32c_bitwise(0x1234u, p, len), slow) << "length " << len;
        }
    }
}

TEST(Crc32c, ChainsAcrossSplits) {
    std::vector<uint8_t> data = random_bytes(1000, 11);
    uint32_t whole = crc32c(0, data.data(), data.size());
    for (size_t cut : {1u, 3u, 8u, 13u, 500u, 999u}) {
        uint32_t first = crc32c(0, data.data(), cut);
        EXPECT_EQ(whole, crc32c(first, data.data() + cut, data.size() - cut)) << cut;
        TablePath table;
        EXPECT_EQ(whole, crc32c(crc32c(0, data.data(), cut), data.data() + cut,
                                data.size() - cut));
    }
}

TEST(Sha256, KnownVectors) {
    uint8_t out[32];
    sha256_digest("abc", 3, out);
    const uint8_t abc[32] = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                             0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                             0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
    EXPECT_EQ(0, memcmp(abc, out, 32));
    sha256_digest(nullptr, 0, out);  // the empty message
    EXPECT_EQ(0xe3, out[0]);
    EXPECT_EQ(0xb0, out[1]);
    EXPECT_EQ(0x55, out[31]);
}

TEST(Codec, BoundsPerCodec) {
    EXPECT_EQ(1000u, codec_bound(CODEC_NONE, 1000));
    EXPECT_EQ(1000u, codec_bound(9, 1000));
    EXPECT_GT(codec_bound(CODEC_ZSTD, 1000), 1000u);
    EXPECT_GT(codec_bound(CODEC_LZ4, 1000), 1000u);
    // lz4 cannot take more than its maximum input: no bound is better than
    // a wrapped one.
    EXPECT_EQ(0u, codec_bound(CODEC_LZ4, (1ull << 32) + 10));
}

TEST(Codec, RoundTripsAndNoGain) {
    std::vector<uint8_t> text(8192);
    for (size_t i = 0; i < text.size(); i++) text[i] = static_cast<uint8_t>("abcdefgh"[i % 8]);
    for (uint32_t codec : {CODEC_ZSTD, CODEC_LZ4}) {
        std::vector<uint8_t> packed(codec_bound(codec, text.size()));
        uint64_t n = codec_compress(codec, 3, text.data(), text.size(), packed.data(),
                                    packed.size());
        ASSERT_GT(n, 0u) << codec;
        ASSERT_LT(n, text.size());
        std::vector<uint8_t> back(text.size());
        uint64_t out_len = 0;
        ASSERT_EQ(0, codec_decompress(codec, packed.data(), n, back.data(), back.size(),
                                      &out_len));
        EXPECT_EQ(text.size(), out_len);
        EXPECT_EQ(text, back);
        // Decompressing without an out length still works.
        EXPECT_EQ(0, codec_decompress(codec, packed.data(), n, back.data(), back.size(),
                                      nullptr));

        std::vector<uint8_t> noise = random_bytes(16, 3);
        std::vector<uint8_t> dst(codec_bound(codec, 16));
        EXPECT_EQ(0u, codec_compress(codec, 3, noise.data(), 16, dst.data(), dst.size()))
            << codec;
    }
}

TEST(Codec, UnsupportedCodecsAndShortDestinations) {
    const char src[] = "hello hello hello hello";
    char dst[64];
    EXPECT_EQ(0u, codec_compress(CODEC_NONE, 3, src, sizeof src, dst, sizeof dst));
    EXPECT_EQ(0u, codec_compress(7, 3, src, sizeof src, dst, sizeof dst));
    EXPECT_EQ(STATUS_INVALID, codec_decompress(7, src, sizeof src, dst, sizeof dst, nullptr));

    uint64_t out_len = 99;
    EXPECT_EQ(STATUS_INVALID,
              codec_decompress(CODEC_NONE, src, sizeof src, dst, sizeof src - 1, &out_len));
    EXPECT_EQ(99u, out_len);
    EXPECT_EQ(0, codec_decompress(CODEC_NONE, src, sizeof src, dst, sizeof src, &out_len));
    EXPECT_EQ(sizeof src, out_len);
    EXPECT_STREQ(src, dst);
}

TEST(Codec, CorruptDataIsReportedAsCorrupt) {
    std::vector<uint8_t> text(4096, 'a');
    for (uint32_t codec : {CODEC_ZSTD, CODEC_LZ4}) {
        std::vector<uint8_t> packed(codec_bound(codec, text.size()));
        uint64_t n = codec_compress(codec, 3, text.data(), text.size(), packed.data(),
                                    packed.size());
        ASSERT_GT(n, 0u);
        std::vector<uint8_t> back(text.size());
        // Truncated data does not decompress.
        EXPECT_EQ(STATUS_CORRUPT,
                  codec_decompress(codec, packed.data(), n / 2, back.data(), back.size(),
                                   nullptr))
            << codec;
        // Nor does a destination too small for what the data holds.
        EXPECT_EQ(STATUS_CORRUPT, codec_decompress(codec, packed.data(), n, back.data(),
                                                   text.size() - 1, nullptr))
            << codec;
    }
    const uint8_t garbage[] = {0xff, 0xff, 0xff, 0xff, 0x12, 0x34, 0x56, 0x78};
    uint8_t out[64];
    EXPECT_EQ(STATUS_CORRUPT,
              codec_decompress(CODEC_ZSTD, garbage, sizeof garbage, out, sizeof out, nullptr));
    EXPECT_EQ(STATUS_CORRUPT,
              codec_decompress(CODEC_LZ4, garbage, sizeof garbage, out, sizeof out, nullptr));
}

TEST(Selftest, PassesAndReportsTheFirstFailure) {
    char msg[256] = "untouched";
    EXPECT_EQ(0, run_selftest(msg, sizeof msg));
    EXPECT_EQ(0, run_selftest(nullptr, 0));

    selftest_corrupt_expected_sha256(1);
    EXPECT_EQ(1, run_selftest(msg, sizeof msg));
    EXPECT_STREQ("SHA-256 gives a wrong result", msg);
    char small[8];
    EXPECT_EQ(1, run_selftest(small, sizeof small));
    EXPECT_STREQ("SHA-256", small);
    EXPECT_EQ(1, run_selftest(nullptr, 0));
    selftest_corrupt_expected_sha256(0);

    {
        TablePath table;  // the check holds on the table path as well
        EXPECT_EQ(0, run_selftest(msg, sizeof msg));
    }
}

// Leaf 1 ECX bits: SSSE3 9, OSXSAVE 27, AVX 28. Leaf 7 EBX bits: BMI1 3,
// AVX2 5, BMI2 8, SHA 29.
constexpr uint32_t kSsse3 = 1u << 9, kOsxsave = 1u << 27, kAvx = 1u << 28;
constexpr uint32_t kBmi1 = 1u << 3, kAvx2 = 1u << 5, kBmi2 = 1u << 8, kSha = 1u << 29;

TEST(CpuReport, FeatureBits) {
    const uint32_t ecx = kSsse3 | kOsxsave | kAvx;
    EXPECT_EQ(3u, cpu_feature_bits_from(7, ecx, kAvx2 | kSha, 0x7));
    EXPECT_EQ(2u, cpu_feature_bits_from(7, ecx, kAvx2 | kSha, 0x3));  // no AVX state
    EXPECT_EQ(2u, cpu_feature_bits_from(7, kSsse3 | kAvx, kAvx2 | kSha, 0x7));  // no OSXSAVE
    EXPECT_EQ(1u, cpu_feature_bits_from(13, ecx, kAvx2, 0x6));
    EXPECT_EQ(0u, cpu_feature_bits_from(1, ecx, kAvx2 | kSha, 0x7));
    EXPECT_EQ(0u, cpu_feature_bits_from(6, 0xFFFFFFFFu, 0xFFFFFFFFu, ~0ull));
}

TEST(CpuReport, ImplementationNames) {
    const uint32_t ecx = kSsse3 | kOsxsave | kAvx;
    const uint32_t avx2_bmi = kAvx2 | kBmi1 | kBmi2;
    EXPECT_STREQ("SHA-NI", sha256_impl_name_from(7, ecx, kSha | avx2_bmi, 0x7, 0));
    EXPECT_STREQ("SHA-NI*", sha256_impl_name_from(7, kSsse3, kSha, 0, 1));
    EXPECT_STREQ("AVX2", sha256_impl_name_from(7, ecx, avx2_bmi, 0x7, 0));
    EXPECT_STREQ("AVX2*", sha256_impl_name_from(7, ecx, avx2_bmi, 0x7, 1));
    EXPECT_STREQ("SSSE3", sha256_impl_name_from(7, ecx, kAvx2 | kBmi1, 0x7, 0));  // no BMI2
    // SHA extensions without SSSE3 do not make the SHA-NI path.
    EXPECT_STREQ("AVX2", sha256_impl_name_from(7, kOsxsave | kAvx, kSha | avx2_bmi, 0x7, 0));
    EXPECT_STREQ("SSSE3*", sha256_impl_name_from(1, ecx, kSha | avx2_bmi, 0x7, 1));
    EXPECT_STREQ("scalar", sha256_impl_name_from(7, kOsxsave | kAvx, kSha, 0x7, 0));
    EXPECT_STREQ("scalar*", sha256_impl_name_from(0, ecx, kSha, 0x7, 1));
    EXPECT_STREQ("scalar", sha256_impl_name_from(0, 0xFFFFFFFFu, 0xFFFFFFFFu, ~0ull, 0));
}

TEST(CpuReport, StarFollowsTheEnvironmentVariable) {
    unsetenv("OPENSSL_ia32cap");
    std::string plain = sha256_impl_name();
    ASSERT_FALSE(plain.empty());
    EXPECT_NE('*', plain.back());
    setenv("OPENSSL_ia32cap", "", 1);
    EXPECT_EQ(plain + "*", std::string(sha256_impl_name()));
    unsetenv("OPENSSL_ia32cap");
    EXPECT_LE(std::string(sha256_impl_name()).size() + 1, 16u);
}

}  // namespace
