// A run header file read by both sides: the engine's header and index
// decoders (what vlt_restore checks before it touches a target) and the
// restore program's header reader (job discovery).
//
// Input, compact: the header fields (the first kFields bytes of the header
// block) followed by the index. The target lays them out as the file they
// stand for: the fields, zeros up to the header length, then the index.
// An input shorter than kFields is a file cut short.
#include <cstring>
#include <memory>
#include <new>

#include "engine/run_format.h"
#include "fuzz/fuzz_util.h"
#include "restore/discovery.h"

namespace {

const size_t kFields = engine::off_job_name + engine::job_name_size;

struct run_file {
    uint8_t block[engine::header_block_size];
    uint64_t got;        // bytes of the block read from the file
    uint64_t file_size;
    const uint8_t *index;
    uint64_t index_len;
};

void lay_out(const uint8_t *data, size_t size, run_file *f) {
    memset(f->block, 0, kFields);  // nothing beyond is ever written
    size_t n = size < kFields ? size : kFields;
    memcpy(f->block, data, n);
    if (size < kFields) {
        f->file_size = size;
        f->index = nullptr;
        f->index_len = 0;
    } else {
        const uint8_t *l = data + engine::off_header_length;
        uint64_t header_length = l[0] | l[1] << 8 | l[2] << 16 | static_cast<uint64_t>(l[3]) << 24;
        uint64_t padded = header_length > kFields ? header_length : kFields;
        f->index = data + kFields;
        f->index_len = size - kFields;
        f->file_size = padded + f->index_len;
    }
    f->got = f->file_size < engine::header_block_size ? f->file_size : engine::header_block_size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static std::unique_ptr<run_file> f(new run_file());
    lay_out(data, size, f.get());

    // The restore program's reader.
    int32_t st = check_run_header(f->block, f->got);
    fuzz::require(st == 0 || st == -7 || st == -6, "the header reader answers 0, -7 or -6");
    if (st == 0) {
        char job[JOB_NAME_SIZE];
        run_header_job_name(f->block, job);
        fuzz::require(strlen(job) < JOB_NAME_SIZE, "the job name is cut to its field");
        (void)run_header_source_size(f->block);
        (void)run_header_creation_time(f->block);
    }

    // The engine's decoders.
    engine::run_info info;
    char msg[256];
    if (engine::decode_header(f->block, f->got, f->file_size, &info, msg, sizeof msg) != 0) {
        fuzz::require(fuzz::terminated(msg, sizeof msg) && msg[0] != '\0', "a refused header says why");
        return 0;
    }
    // What the engine restores, discovery finds (it reads the first block
    // only, so longer headers are its own refusal).
    fuzz::require(st == 0 || info.header_length > RUN_HEADER_SIZE,
                  "a header the engine accepts is one discovery accepts");
    fuzz::require(info.header_length + info.entry_count * engine::index_entry_size == f->file_size,
                  "the index fills the file after the header");
    fuzz::require(f->index_len == info.entry_count * engine::index_entry_size, "the index is all there");

    std::unique_ptr<engine::index_entry[]> entries(
        new (std::nothrow) engine::index_entry[info.entry_count > 0 ? info.entry_count : 1]);
    if (!entries) return 0;
    uint64_t store_size = 0;
    if (engine::decode_index(info, f->index, entries.get(), &store_size, msg, sizeof msg) != 0) {
        fuzz::require(fuzz::terminated(msg, sizeof msg) && msg[0] != '\0', "a refused index says why");
        return 0;
    }
    // An accepted index can be restored without reading or writing out of
    // bounds: blocks ascending within the source, chunks back to back.
    uint64_t offset = engine::store_prefix_size;
    for (uint64_t i = 0; i < info.entry_count; ++i) {
        const engine::index_entry &e = entries[i];
        fuzz::require(e.block < engine::chunk_count(info.source_size, info.chunk_size), "block within the source");
        fuzz::require(i == 0 || e.block > entries[i - 1].block, "blocks ascending");
        fuzz::require(e.raw_len > 0 && e.raw_len <= info.chunk_size, "a chunk is at most the chunk size");
        fuzz::require(e.block * info.chunk_size + e.raw_len <= info.source_size, "a chunk ends within the source");
        fuzz::require(e.offset == offset && e.stored_len > 0, "chunks back to back");
        offset += e.stored_len;
    }
    fuzz::require(store_size == offset, "the store size is where the last chunk ends");
    return 0;
}
