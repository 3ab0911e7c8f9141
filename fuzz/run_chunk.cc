// One stored chunk of a chunk store turned back into raw bytes, as
// vlt_restore and the agent's verify pass do: decompression and checks.
//
// Input: an index entry (58 bytes as the index stores it) followed by the
// stored bytes; the entry's stored length is taken from what follows.
#include <cstring>
#include <memory>

#include "common/digest.h"
#include "engine/run_format.h"
#include "fuzz/fuzz_util.h"

namespace {

// The restore's raw buffer holds one chunk; a small chunk size keeps the
// target fast.
const uint32_t kChunkSize = 262144;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static std::unique_ptr<uint8_t[]> raw(new uint8_t[kChunkSize]);
    if (size < engine::index_entry_size) return 0;
    engine::index_entry entry;
    engine::decode_entry(data, &entry);
    const uint8_t *stored = data + engine::index_entry_size;
    uint64_t stored_len = size - engine::index_entry_size;
    // The index checks ran first: a stored length within the codec's bound
    // of the raw length (a codec the index refuses has no bound).
    if (stored_len == 0 || (entry.codec <= CODEC_LZ4 && stored_len > codec_bound(entry.codec, entry.raw_len)))
        return 0;
    entry.stored_len = static_cast<uint32_t>(stored_len);
    // A copy of exactly the stored length: reading past it is a fault.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[stored_len]);
    memcpy(exact.get(), stored, stored_len);

    char msg[256];
    if (engine::unpack_chunk(entry, exact.get(), raw.get(), kChunkSize, msg, sizeof msg) != 0) {
        fuzz::require(fuzz::terminated(msg, sizeof msg) && msg[0] != '\0', "a refused chunk says why");
        return 0;
    }
    uint8_t digest[32];
    sha256_digest(raw.get(), entry.raw_len, digest);
    fuzz::require(memcmp(digest, entry.sha, 32) == 0, "an accepted chunk matches its digest");
    return 0;
}
