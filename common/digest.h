// SHA-256, CRC32C and the compression codecs, and the self-test that checks
// them against known answers.
#pragma once
#include <cstdint>

enum : uint32_t {
    CODEC_NONE = 0,
    CODEC_ZSTD = 1,
    CODEC_LZ4 = 2,
};

void sha256_digest(const void *data, uint64_t len, uint8_t out[32]);
uint32_t crc32c(uint32_t prev, const void *data, uint64_t len);

uint64_t codec_bound(uint32_t codec, uint64_t size);
uint64_t codec_compress(uint32_t codec, int32_t level, const void *src, uint64_t src_len,
                        void *dst, uint64_t dst_cap);
int32_t codec_decompress(uint32_t codec, const void *src, uint64_t src_len, void *dst,
                         uint64_t dst_cap, uint64_t *out_len);

int32_t run_selftest(char *msg, uint64_t msg_size);
uint32_t cpu_feature_bits();
const char *sha256_impl_name();
