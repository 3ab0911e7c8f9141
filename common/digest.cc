// SHA-256 through libcrypto, CRC-32C with a processor path and a table path,
// the zstd and lz4 wrappers, and the known-answer self-test over all four.
#include "common/digest.h"

#include <cpuid.h>
#include <lz4.h>
#include <nmmintrin.h>
#include <openssl/evp.h>
#include <zstd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/owned.h"
#include "common/status.h"

namespace {

// ---------------------------------------------------------------- SHA-256

EVP_MD *g_sha256_md = nullptr;  // fetched once, kept for the process

[[noreturn]] void sha256_fatal() {
    static const char text[] = "fatal: OpenSSL SHA-256 failed\n";
    fputs(text, stderr);
    abort();
}

// ---------------------------------------------------------------- CRC-32C

constexpr uint32_t kCrc32cPoly = 0x82F63B78u;

int g_crc_decided = 0;
int g_crc_use_sse42 = 0;
int g_crc_force_table = 0;
int g_crc_table_built = 0;
uint32_t g_crc_table[256];

void crc32c_build_table() {
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int k = 0; k < 8; k++) c = (c & 1u) ? (c >> 1) ^ kCrc32cPoly : c >> 1;
        g_crc_table[n] = c;
    }
    g_crc_table_built = 1;
}

uint32_t crc32c_table(uint32_t reg, const uint8_t *p, uint64_t len) {
    if (!g_crc_table_built) crc32c_build_table();
    for (uint64_t i = 0; i < len; i++) reg = g_crc_table[(reg ^ p[i]) & 0xFFu] ^ (reg >> 8);
    return reg;
}

__attribute__((target("sse4.2"))) uint32_t crc32c_sse42(uint32_t reg, const uint8_t *p,
                                                         uint64_t len) {
    uint64_t r64 = reg;
    uint64_t words = len / 8;
    for (uint64_t i = 0; i < words; i++) {
        uint64_t v;
        memcpy(&v, p, 8);  // the buffer may be unaligned
        r64 = _mm_crc32_u64(r64, v);
        p += 8;
    }
    uint32_t r = static_cast<uint32_t>(r64);
    len -= words * 8;
    if (len >= 4) {
        uint32_t v;
        memcpy(&v, p, 4);
        r = _mm_crc32_u32(r, v);
        p += 4;
        len -= 4;
    }
    while (len-- > 0) r = _mm_crc32_u8(r, *p++);
    return r;
}

// ---------------------------------------------------------------- processor

struct cpu_regs {
    uint32_t max_leaf;
    uint32_t leaf1_ecx;
    uint32_t leaf7_ebx;
    uint64_t xcr0;
};

constexpr uint32_t kEcxSsse3 = 1u << 9;
constexpr uint32_t kEcxOsxsave = 1u << 27;
constexpr uint32_t kEcxAvx = 1u << 28;
constexpr uint32_t kEbxBmi1 = 1u << 3;
constexpr uint32_t kEbxAvx2 = 1u << 5;
constexpr uint32_t kEbxBmi2 = 1u << 8;
constexpr uint32_t kEbxSha = 1u << 29;

uint64_t read_xcr0() {
    uint32_t lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<uint64_t>(hi) << 32) | lo;
}

cpu_regs query_cpu() {
    cpu_regs r{};
    r.max_leaf = __get_cpuid_max(0, nullptr);
    uint32_t a, b, c, d;
    if (r.max_leaf >= 1) {
        __cpuid(1, a, b, c, d);
        r.leaf1_ecx = c;
        // XGETBV faults unless the operating system enabled it (OSXSAVE).
        if (c & kEcxOsxsave) r.xcr0 = read_xcr0();
    }
    if (r.max_leaf >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        r.leaf7_ebx = b;
    }
    return r;
}

bool avx2_usable(uint32_t max_leaf, uint32_t ecx, uint32_t ebx7, uint64_t xcr0) {
    if (max_leaf < 7) return false;
    if ((ecx & (kEcxOsxsave | kEcxAvx)) != (kEcxOsxsave | kEcxAvx)) return false;
    if ((xcr0 & 0x6u) != 0x6u) return false;
    return (ebx7 & kEbxAvx2) != 0;
}

// ---------------------------------------------------------------- self-test

const uint8_t kSha256Abc[32] = {
    0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23,
    0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad,
};
constexpr uint32_t kCrc32cCheck = 0xE3069283u;
constexpr uint64_t kTestBlockSize = 262144;
constexpr int32_t kZstdLevel = 3;

int g_selftest_corrupt_sha = 0;

using heap_bytes = std::unique_ptr<uint8_t, free_deleter>;

heap_bytes heap_alloc(uint64_t size) { return heap_bytes(static_cast<uint8_t *>(malloc(size))); }

void put_message(char *msg, uint64_t msg_size, const char *text) {
    if (msg != nullptr && msg_size != 0) snprintf(msg, msg_size, "%s", text);
}

int32_t round_trip(uint32_t codec, const uint8_t *block, const char *fail_text, char *msg,
                   uint64_t msg_size) {
    uint64_t bound = codec_bound(codec, kTestBlockSize);
    heap_bytes packed = heap_alloc(bound);
    heap_bytes unpacked = heap_alloc(kTestBlockSize);
    if (!packed || !unpacked) {
        put_message(msg, msg_size, "out of memory");
        return 1;
    }
    uint64_t packed_len =
        codec_compress(codec, kZstdLevel, block, kTestBlockSize, packed.get(), bound);
    if (packed_len == 0) {
        put_message(msg, msg_size, fail_text);
        return 1;
    }
    uint64_t out_len = 0;
    int32_t st = codec_decompress(codec, packed.get(), packed_len, unpacked.get(),
                                  kTestBlockSize, &out_len);
    if (st != 0 || out_len != kTestBlockSize ||
        memcmp(unpacked.get(), block, kTestBlockSize) != 0) {
        put_message(msg, msg_size, fail_text);
        return 1;
    }
    return 0;
}

}  // namespace

void sha256_digest(const void *data, uint64_t len, uint8_t out[32]) {
    if (g_sha256_md == nullptr) {
        g_sha256_md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        if (g_sha256_md == nullptr) sha256_fatal();
    }
    unsigned int out_len = 0;
    static const uint8_t empty = 0;
    if (EVP_Digest(len ? data : &empty, len, out, &out_len, g_sha256_md, nullptr) != 1 ||
        out_len != 32)
        sha256_fatal();
}

uint32_t crc32c(uint32_t prev, const void *data, uint64_t len) {
    if (len == 0) return prev;
    if (!g_crc_decided) {
        __builtin_cpu_init();
        g_crc_use_sse42 = __builtin_cpu_supports("sse4.2") ? 1 : 0;
        g_crc_decided = 1;
    }
    const uint8_t *p = static_cast<const uint8_t *>(data);
    uint32_t reg = ~prev;
    if (g_crc_use_sse42 && !g_crc_force_table)
        reg = crc32c_sse42(reg, p, len);
    else
        reg = crc32c_table(reg, p, len);
    return ~reg;
}

void crc32c_force_table_path(int on) { g_crc_force_table = on ? 1 : 0; }

uint64_t codec_bound(uint32_t codec, uint64_t size) {
    switch (codec) {
    case CODEC_ZSTD:
        return ZSTD_compressBound(size);
    case CODEC_LZ4:
        // lz4 works on int sizes; it has no compressed form beyond its
        // maximum input, and a bound of 0 says so (a cut-down size would
        // give a bound that is too small).
        if (size > static_cast<uint64_t>(LZ4_MAX_INPUT_SIZE)) return 0;
        return static_cast<uint64_t>(LZ4_compressBound(static_cast<int>(size)));
    default:
        return size;
    }
}

uint64_t codec_compress(uint32_t codec, int32_t level, const void *src, uint64_t src_len,
                        void *dst, uint64_t dst_cap) {
    if (src == nullptr || dst == nullptr) return 0;
    uint64_t produced = 0;
    switch (codec) {
    case CODEC_ZSTD: {
        size_t r = ZSTD_compress(dst, dst_cap, src, src_len, level);
        if (ZSTD_isError(r)) return 0;
        produced = r;
        break;
    }
    case CODEC_LZ4: {
        if (src_len > static_cast<uint64_t>(LZ4_MAX_INPUT_SIZE)) return 0;
        int cap = dst_cap > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(dst_cap);
        int r = LZ4_compress_default(static_cast<const char *>(src), static_cast<char *>(dst),
                                     static_cast<int>(src_len), cap);
        if (r <= 0) return 0;
        produced = static_cast<uint64_t>(r);
        break;
    }
    default:
        return 0;
    }
    return produced < src_len ? produced : 0;
}

int32_t codec_decompress(uint32_t codec, const void *src, uint64_t src_len, void *dst,
                         uint64_t dst_cap, uint64_t *out_len) {
    if ((src == nullptr && src_len != 0) || (dst == nullptr && dst_cap != 0))
        return STATUS_INVALID;
    uint64_t produced = 0;
    switch (codec) {
    case CODEC_NONE:
        if (src_len > dst_cap) return STATUS_INVALID;
        if (src_len != 0) memcpy(dst, src, src_len);
        produced = src_len;
        break;
    case CODEC_ZSTD: {
        size_t r = ZSTD_decompress(dst, dst_cap, src, src_len);
        if (ZSTD_isError(r)) return STATUS_CORRUPT;
        produced = r;
        break;
    }
    case CODEC_LZ4: {
        // A block larger than lz4 can describe cannot be one of its blocks.
        if (src_len > static_cast<uint64_t>(INT_MAX)) return STATUS_CORRUPT;
        int cap = dst_cap > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(dst_cap);
        int r = LZ4_decompress_safe(static_cast<const char *>(src), static_cast<char *>(dst),
                                    static_cast<int>(src_len), cap);
        if (r < 0) return STATUS_CORRUPT;
        produced = static_cast<uint64_t>(r);
        break;
    }
    default:
        return STATUS_INVALID;
    }
    if (out_len != nullptr) *out_len = produced;
    return STATUS_OK;
}

void selftest_corrupt_expected_sha256(int on) { g_selftest_corrupt_sha = on ? 1 : 0; }

int32_t run_selftest(char *msg, uint64_t msg_size) {
    uint8_t digest[32];
    sha256_digest("abc", 3, digest);
    uint8_t expected[32];
    memcpy(expected, kSha256Abc, sizeof expected);
    if (g_selftest_corrupt_sha) expected[0] ^= 0x01u;
    if (memcmp(digest, expected, sizeof digest) != 0) {
        put_message(msg, msg_size, "SHA-256 gives a wrong result");
        return 1;
    }
    if (crc32c(0, "123456789", 9) != kCrc32cCheck) {
        put_message(msg, msg_size, "CRC32C gives a wrong result");
        return 1;
    }
    heap_bytes block = heap_alloc(kTestBlockSize);
    if (!block) {
        put_message(msg, msg_size, "out of memory");
        return 1;
    }
    uint8_t *b = block.get();
    for (uint64_t i = 0; i < kTestBlockSize; i++)
        b[i] = static_cast<uint8_t>(((7 * i) % 256) ^ ((i >> 5) % 256));
    int32_t rc = round_trip(CODEC_ZSTD, b, "zstd round trip failed", msg, msg_size);
    if (rc == 0) rc = round_trip(CODEC_LZ4, b, "lz4 round trip failed", msg, msg_size);
    return rc;
}

uint32_t cpu_feature_bits_from(uint32_t max_leaf, uint32_t leaf1_ecx, uint32_t leaf7_ebx,
                               uint64_t xcr0) {
    if (max_leaf < 7) return 0;
    uint32_t bits = 0;
    if (avx2_usable(max_leaf, leaf1_ecx, leaf7_ebx, xcr0)) bits |= 1u;
    if (leaf7_ebx & kEbxSha) bits |= 2u;
    return bits;
}

const char *sha256_impl_name_from(uint32_t max_leaf, uint32_t leaf1_ecx, uint32_t leaf7_ebx,
                                  uint64_t xcr0, int starred) {
    // Without leaf 1 there is nothing to go on; without leaf 7 its bits do
    // not exist and must not be read as set.
    if (max_leaf == 0) return starred ? "scalar*" : "scalar";
    uint32_t ebx7 = max_leaf >= 7 ? leaf7_ebx : 0;
    bool ssse3 = (leaf1_ecx & kEcxSsse3) != 0;
    if ((ebx7 & kEbxSha) && ssse3) return starred ? "SHA-NI*" : "SHA-NI";
    if (avx2_usable(max_leaf, leaf1_ecx, ebx7, xcr0) && (ebx7 & kEbxBmi1) && (ebx7 & kEbxBmi2))
        return starred ? "AVX2*" : "AVX2";
    if (ssse3) return starred ? "SSSE3*" : "SSSE3";
    return starred ? "scalar*" : "scalar";
}

uint32_t cpu_feature_bits() {
    cpu_regs r = query_cpu();
    return cpu_feature_bits_from(r.max_leaf, r.leaf1_ecx, r.leaf7_ebx, r.xcr0);
}

const char *sha256_impl_name() {
    cpu_regs r = query_cpu();
    int starred = getenv("OPENSSL_ia32cap") != nullptr ? 1 : 0;
    return sha256_impl_name_from(r.max_leaf, r.leaf1_ecx, r.leaf7_ebx, r.xcr0, starred);
}
