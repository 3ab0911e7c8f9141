// The files of one run: the run header file (a fixed header block followed
// by the chunk index) and the chunk-store file it points into.
//
// Header block, little-endian, header_block_size bytes, zero where nothing
// is written:
//   0 magic "VLTH"        4 version (u16)        8 header length (u32)
//  12 chunk size (u32)   16 run kind (u8)       17 chain-start flag (u8)
//  20 run id (16)        36 parent run id (16)  52 chain id (16)
//  68 creation time (s64, seconds since 1970 UTC)
//  76 source size (u64)  84 index entry count (u64)
// 100 SHA-256 of the index block (zero when the index is empty)
// 132 writer version text (15)  164 host name (64)  484 job name (64)
//
// Index entry, index_entry_size bytes, one per stored chunk, sorted by block
// number; blocks without an entry are holes (all zero):
//   0 block number (u64)   8 offset in the chunk store (u64)
//  16 stored length (u32) 20 raw length (u32)   24 codec (u8)  25 zero
//  26 SHA-256 of the raw (uncompressed) chunk bytes (32)
//
// Chunk store: a store_prefix_size prefix ("VLTC", version u16, zero u16,
// prefix length u32, run id at 12), then the stored chunks back to back in
// block order.
//
// The restore program reads the header block with a layout of its own
// (restore/discovery.h), on purpose: this engine stands in for the suite's
// separate backup product, whose format the orchestrator only reads, so the
// two share no code. tests/engine/discovery_contract_test.cc checks that
// they agree.
#pragma once
#include <cstddef>
#include <cstdint>

namespace engine {

constexpr uint32_t header_block_size = 131072;
constexpr uint32_t header_min_size = 4096;
constexpr uint32_t header_max_size = 4194304;
constexpr uint16_t format_version = 1;
constexpr uint32_t index_entry_size = 58;
constexpr uint32_t store_prefix_size = 64;
constexpr uint16_t store_version = 1;

constexpr uint32_t default_chunk_size = 2097152;
constexpr uint32_t min_chunk_size = 4096;
constexpr uint32_t max_chunk_size = 64u << 20;

constexpr size_t job_name_size = 64;      // 63 characters and the terminator
constexpr size_t host_name_size = 64;
constexpr size_t version_text_size = 15;  // "1.0.2-alpha028" and the terminator

// Header block field offsets.
constexpr size_t off_magic = 0;
constexpr size_t off_version = 4;
constexpr size_t off_header_length = 8;
constexpr size_t off_chunk_size = 12;
constexpr size_t off_run_kind = 16;
constexpr size_t off_chain_flag = 17;
constexpr size_t off_run_id = 20;
constexpr size_t off_parent_id = 36;
constexpr size_t off_chain_id = 52;
constexpr size_t off_created = 68;
constexpr size_t off_source_size = 76;
constexpr size_t off_entry_count = 84;
constexpr size_t off_index_sha = 100;
constexpr size_t off_version_text = 132;
constexpr size_t off_host_name = 164;
constexpr size_t off_job_name = 484;

constexpr uint8_t run_kind_full = 0;

struct run_info {
    uint16_t version;
    uint32_t header_length;
    uint32_t chunk_size;
    uint8_t run_kind;
    uint8_t chain_flag;
    uint8_t run_id[16];
    uint8_t parent_id[16];
    uint8_t chain_id[16];
    int64_t created;
    uint64_t source_size;
    uint64_t entry_count;
    uint8_t index_sha[32];
    char version_text[version_text_size + 1];
    char host_name[host_name_size];
    char job_name[job_name_size];
};

struct index_entry {
    uint64_t block;
    uint64_t offset;
    uint32_t stored_len;
    uint32_t raw_len;
    uint8_t codec;
    uint8_t sha[32];
};

// Writes the header fields into block (header_block_size bytes, which the
// caller has zeroed). Texts are cut to their fields, always terminated.
void encode_header(const run_info &info, uint8_t *block);

// Checks and reads a header block of which len bytes were read from a file
// of file_size bytes: magic, version, header length (not beyond the file),
// chunk size, run kind, and index length against the file size. Returns 0,
// or -1 with the reason in msg.
[[nodiscard]] int decode_header(const uint8_t *block, uint64_t len, uint64_t file_size,
                                run_info *ret_info, char *msg, size_t msg_size);

void encode_entry(const index_entry &entry, uint8_t *p);
void decode_entry(const uint8_t *p, index_entry *ret_entry);

// Decodes the info.entry_count entries of index (the bytes after a header
// that decode_header accepted) into ret_entries and checks that they describe
// the source: block numbers in range and ascending, chunk lengths, codecs,
// stored lengths, and chunks back to back after the store prefix. Returns 0
// with the chunk store's expected size, or -1 with the reason in msg.
[[nodiscard]] int decode_index(const run_info &info, const uint8_t *index, index_entry *ret_entries,
                               uint64_t *ret_store_size, char *msg, size_t msg_size);

void encode_store_prefix(const uint8_t run_id[16], uint8_t out[store_prefix_size]);

// Checks a chunk-store prefix against the run id. Returns 0 or -1 with msg.
[[nodiscard]] int check_store_prefix(const uint8_t prefix[store_prefix_size], const uint8_t run_id[16],
                                     char *msg, size_t msg_size);

// Turns the stored bytes of entry back into the raw chunk (raw_cap bytes of
// room) and checks its length and SHA-256. Returns 0, or -1 with the reason.
[[nodiscard]] int unpack_chunk(const index_entry &entry, const uint8_t *stored, uint8_t *raw, uint64_t raw_cap,
                               char *msg, size_t msg_size);

// File extensions by run kind; a kind outside 0..2 counts as 0.
const char *header_extension(uint8_t kind);
const char *store_extension(uint8_t kind);

// Number of chunks a source of size bytes is cut into.
uint64_t chunk_count(uint64_t source_size, uint32_t chunk_size);

// Raw length of chunk block of a source of size bytes.
uint32_t chunk_raw_length(uint64_t source_size, uint32_t chunk_size, uint64_t block);

// Base name of a run's files: "%s/%s-%s" (directory, job, UTC stamp
// "%Y%m%d%H%M") for counter 1, "%s/%s-%s-%d" for counters 2..1000.
// Returns 0, or -1 when it does not fit into size bytes.
[[nodiscard]] int format_run_base(const char *dir, const char *job, int64_t created, int counter, char *buf,
                                  size_t size);

}  // namespace engine
