// Encoding and checking the run files: the header block, the index
// entries, the chunk-store prefix, a stored chunk's unpacking, the file
// extensions and run names, and the chunk arithmetic.
#include "engine/run_format.h"

#include <cinttypes>
#include <cstring>
#include <ctime>

#include "common/digest.h"
#include "engine/engine_util.h"

namespace engine {

namespace {

void put_field_text(uint8_t *field, size_t field_size, const char *text) {
    size_t n = strnlen(text, field_size - 1);
    memcpy(field, text, n);
    field[n] = 0;
}

// Copies a zero-terminated field; false when no terminator lies within it.
bool get_text(const uint8_t *field, size_t field_size, char *out, size_t out_size) {
    const void *end = memchr(field, 0, field_size);
    if (end == nullptr) return false;
    size_t n = static_cast<size_t>(static_cast<const uint8_t *>(end) - field);
    if (n >= out_size) n = out_size - 1;
    memcpy(out, field, n);
    out[n] = '\0';
    return true;
}

}  // namespace

void encode_header(const run_info &info, uint8_t *block) {
    memcpy(block + off_magic, "VLTH", 4);
    put_le16(block + off_version, info.version);
    put_le32(block + off_header_length, info.header_length);
    put_le32(block + off_chunk_size, info.chunk_size);
    block[off_run_kind] = info.run_kind;
    block[off_chain_flag] = info.chain_flag;
    memcpy(block + off_run_id, info.run_id, 16);
    memcpy(block + off_parent_id, info.parent_id, 16);
    memcpy(block + off_chain_id, info.chain_id, 16);
    put_le64(block + off_created, static_cast<uint64_t>(info.created));
    put_le64(block + off_source_size, info.source_size);
    put_le64(block + off_entry_count, info.entry_count);
    memcpy(block + off_index_sha, info.index_sha, 32);
    put_field_text(block + off_version_text, version_text_size, info.version_text);
    put_field_text(block + off_host_name, host_name_size, info.host_name);
    put_field_text(block + off_job_name, job_name_size, info.job_name);
}

int decode_header(const uint8_t *block, uint64_t len, uint64_t file_size, run_info *ret_info, char *msg,
                  size_t msg_size) {
    if (len < header_min_size) {
        put_text(msg, msg_size, "run header is truncated (%" PRIu64 " bytes)", len);
        return -1;
    }
    if (memcmp(block + off_magic, "VLTH", 4) != 0) {
        put_text(msg, msg_size, "not a run header (bad magic)");
        return -1;
    }
    run_info info;
    memset(&info, 0, sizeof info);
    info.header_length = get_le32(block + off_header_length);
    if (info.header_length < header_min_size || info.header_length > header_max_size ||
        info.header_length > file_size) {
        put_text(msg, msg_size, "run header has a bad header length %" PRIu32, info.header_length);
        return -1;
    }
    info.version = get_le16(block + off_version);
    if (info.version != format_version) {
        put_text(msg, msg_size, "run header format version %u is not supported (this tool reads version %u)",
                 static_cast<unsigned>(info.version), static_cast<unsigned>(format_version));
        return -1;
    }
    info.chunk_size = get_le32(block + off_chunk_size);
    if (info.chunk_size < min_chunk_size || info.chunk_size > max_chunk_size) {
        put_text(msg, msg_size, "run header has a bad chunk size %" PRIu32, info.chunk_size);
        return -1;
    }
    info.run_kind = block[off_run_kind];
    info.chain_flag = block[off_chain_flag];
    memcpy(info.run_id, block + off_run_id, 16);
    memcpy(info.parent_id, block + off_parent_id, 16);
    memcpy(info.chain_id, block + off_chain_id, 16);
    info.created = static_cast<int64_t>(get_le64(block + off_created));
    info.source_size = get_le64(block + off_source_size);
    info.entry_count = get_le64(block + off_entry_count);
    memcpy(info.index_sha, block + off_index_sha, 32);
    if (!get_text(block + off_version_text, version_text_size, info.version_text, sizeof info.version_text) ||
        !get_text(block + off_host_name, host_name_size, info.host_name, sizeof info.host_name) ||
        !get_text(block + off_job_name, job_name_size, info.job_name, sizeof info.job_name)) {
        put_text(msg, msg_size, "run header has an unterminated text field");
        return -1;
    }
    uint64_t chunks = chunk_count(info.source_size, info.chunk_size);
    if (info.entry_count > chunks) {
        put_text(msg, msg_size, "run header lists %" PRIu64 " chunks for a source of %" PRIu64 " chunks",
                 info.entry_count, chunks);
        return -1;
    }
    // entry_count <= chunks <= 2^64 / 4096, so the product cannot overflow.
    uint64_t index_bytes = info.entry_count * index_entry_size;
    if (file_size != info.header_length + index_bytes) {
        put_text(msg, msg_size,
                 "run header file is %" PRIu64 " bytes, expected %" PRIu64 " for %" PRIu64 " index entries",
                 file_size, info.header_length + index_bytes, info.entry_count);
        return -1;
    }
    *ret_info = info;
    return 0;
}

void encode_entry(const index_entry &entry, uint8_t *p) {
    memset(p, 0, index_entry_size);
    put_le64(p, entry.block);
    put_le64(p + 8, entry.offset);
    put_le32(p + 16, entry.stored_len);
    put_le32(p + 20, entry.raw_len);
    p[24] = entry.codec;
    memcpy(p + 26, entry.sha, 32);
}

void decode_entry(const uint8_t *p, index_entry *ret_entry) {
    ret_entry->block = get_le64(p);
    ret_entry->offset = get_le64(p + 8);
    ret_entry->stored_len = get_le32(p + 16);
    ret_entry->raw_len = get_le32(p + 20);
    ret_entry->codec = p[24];
    memcpy(ret_entry->sha, p + 26, 32);
}

int decode_index(const run_info &info, const uint8_t *index, index_entry *ret_entries, uint64_t *ret_store_size,
                 char *msg, size_t msg_size) {
    const uint64_t chunks = chunk_count(info.source_size, info.chunk_size);
    uint64_t offset = store_prefix_size;
    for (uint64_t i = 0; i < info.entry_count; ++i) {
        index_entry &e = ret_entries[i];
        decode_entry(index + i * index_entry_size, &e);
        const char *fault = nullptr;
        if (e.block >= chunks) fault = "block number beyond the source";
        else if (i > 0 && e.block <= ret_entries[i - 1].block) fault = "block numbers out of order";
        else if (e.raw_len != chunk_raw_length(info.source_size, info.chunk_size, e.block)) fault = "wrong chunk length";
        else if (e.codec > CODEC_LZ4) fault = "unknown codec";
        else if (e.stored_len == 0 || e.stored_len > codec_bound(e.codec, e.raw_len)) fault = "wrong stored length";
        else if (e.codec == CODEC_NONE && e.stored_len != e.raw_len) fault = "wrong stored length";
        else if (e.offset != offset) fault = "chunk not where the previous one ends";
        if (fault != nullptr) {
            put_text(msg, msg_size, "index entry %" PRIu64 " (block %" PRIu64 "): %s", i, e.block, fault);
            return -1;
        }
        offset += e.stored_len;
    }
    *ret_store_size = offset;
    return 0;
}

void encode_store_prefix(const uint8_t run_id[16], uint8_t out[store_prefix_size]) {
    memset(out, 0, store_prefix_size);
    memcpy(out, "VLTC", 4);
    put_le16(out + 4, store_version);
    put_le32(out + 8, store_prefix_size);
    memcpy(out + 12, run_id, 16);
}

int check_store_prefix(const uint8_t prefix[store_prefix_size], const uint8_t run_id[16], char *msg,
                       size_t msg_size) {
    if (memcmp(prefix, "VLTC", 4) != 0 || get_le16(prefix + 4) != store_version ||
        get_le32(prefix + 8) != store_prefix_size) {
        put_text(msg, msg_size, "not a chunk store of a supported version");
        return -1;
    }
    if (memcmp(prefix + 12, run_id, 16) != 0) {
        put_text(msg, msg_size, "chunk store belongs to another run");
        return -1;
    }
    return 0;
}

int unpack_chunk(const index_entry &entry, const uint8_t *stored, uint8_t *raw, uint64_t raw_cap, char *msg,
                 size_t msg_size) {
    if (entry.raw_len > raw_cap) {
        put_text(msg, msg_size, "chunk is larger than the chunk size");
        return -1;
    }
    uint64_t produced = 0;
    int32_t st = codec_decompress(entry.codec, stored, entry.stored_len, raw, entry.raw_len, &produced);
    if (st != 0) {
        put_text(msg, msg_size, "cannot decompress the chunk (codec %u)", static_cast<unsigned>(entry.codec));
        return -1;
    }
    if (produced != entry.raw_len) {
        put_text(msg, msg_size, "chunk decompresses to %" PRIu64 " bytes instead of %" PRIu32, produced,
                 entry.raw_len);
        return -1;
    }
    uint8_t digest[32];
    sha256_digest(raw, produced, digest);
    if (memcmp(digest, entry.sha, 32) != 0) {
        put_text(msg, msg_size, "chunk data does not match its SHA-256");
        return -1;
    }
    return 0;
}

const char *header_extension(uint8_t kind) {
    switch (kind) {
    case 1: return ".indb";
    case 2: return ".inib";
    default: return ".infb";
    }
}

const char *store_extension(uint8_t kind) {
    switch (kind) {
    case 1: return ".csdb";
    case 2: return ".csib";
    default: return ".csfb";
    }
}

uint64_t chunk_count(uint64_t source_size, uint32_t chunk_size) {
    return source_size / chunk_size + (source_size % chunk_size != 0 ? 1 : 0);
}

uint32_t chunk_raw_length(uint64_t source_size, uint32_t chunk_size, uint64_t block) {
    uint64_t start = block * chunk_size;
    if (start >= source_size) return 0;
    uint64_t left = source_size - start;
    return left < chunk_size ? static_cast<uint32_t>(left) : chunk_size;
}

int format_run_base(const char *dir, const char *job, int64_t created, int counter, char *buf, size_t size) {
    time_t t = static_cast<time_t>(created);
    struct tm tm;
    if (gmtime_r(&t, &tm) == nullptr) return -1;
    char stamp[32];
    if (strftime(stamp, sizeof stamp, "%Y%m%d%H%M", &tm) == 0) return -1;
    int len = counter <= 1 ? put_text(buf, size, "%s/%s-%s", dir, job, stamp)
                           : put_text(buf, size, "%s/%s-%s-%d", dir, job, stamp, counter);
    return len < 0 || static_cast<size_t>(len) >= size ? -1 : 0;
}

}  // namespace engine
