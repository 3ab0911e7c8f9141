// SHA-256, CRC32C and the compression codecs, and the self-test that checks
// them against known answers.
#pragma once
#include <cstdint>

enum : uint32_t {
    CODEC_NONE = 0,
    CODEC_ZSTD = 1,
    CODEC_LZ4 = 2,
};

// One-shot SHA-256 through libcrypto; a library failure aborts the process.
void sha256_digest(const void *data, uint64_t len, uint8_t out[32]);
// Chainable CRC-32C: crc32c(crc32c(0, a), b) == crc32c(0, a + b).
uint32_t crc32c(uint32_t prev, const void *data, uint64_t len);

uint64_t codec_bound(uint32_t codec, uint64_t size);
// Compressed length, or 0 when there is no compressed form worth keeping.
uint64_t codec_compress(uint32_t codec, int32_t level, const void *src, uint64_t src_len,
                        void *dst, uint64_t dst_cap);
// 0, STATUS_INVALID (unknown codec, destination too small for a stored
// copy) or STATUS_CORRUPT (data that does not decompress).
int32_t codec_decompress(uint32_t codec, const void *src, uint64_t src_len, void *dst,
                         uint64_t dst_cap, uint64_t *out_len);

// 0 when every known-answer check passes; 1 and the reason in msg otherwise.
int32_t run_selftest(char *msg, uint64_t msg_size);
uint32_t cpu_feature_bits();
const char *sha256_impl_name();

// The two reports above, computed from raw processor query results:
// the highest basic CPUID leaf, leaf 1 ECX, leaf 7 subleaf 0 EBX, and XCR0
// (only consulted when leaf 1 ECX has OSXSAVE). They ignore the environment.
uint32_t cpu_feature_bits_from(uint32_t max_leaf, uint32_t leaf1_ecx, uint32_t leaf7_ebx,
                               uint64_t xcr0);
const char *sha256_impl_name_from(uint32_t max_leaf, uint32_t leaf1_ecx, uint32_t leaf7_ebx,
                                  uint64_t xcr0, int starred);

// Test seams. Non-zero makes crc32c use the table path even on a processor
// with SSE4.2; non-zero makes the self-test compare the SHA-256 result
// against a damaged copy of its expected digest, so that it fails.
void crc32c_force_table_path(int on);
void selftest_corrupt_expected_sha256(int on);
