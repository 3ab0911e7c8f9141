// vlt_restore's command line and one restore: the header and index checked
// before the target is touched, every chunk decompressed and checked by
// the worker pool, holes written only where the target is not zero.
#include "engine/restore_tool.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "common/digest.h"
#include "common/log.h"
#include "engine/chunk_pool.h"
#include "engine/engine_util.h"
#include "engine/run_format.h"
#include "engine/tool_args.h"

namespace engine {

namespace {


const option_spec restore_rules[] = {
    {"--meta", nullptr, 1, nullptr},
    {"--search-dir", nullptr, 1, nullptr},
    {"--target", nullptr, 1, nullptr},
    {"--threads", nullptr, 1, nullptr},
    {"--verify", nullptr, 0, nullptr},
    {"--assume-zeroed", nullptr, 0, nullptr},
    {"--no-progress", nullptr, 0, nullptr},
    {"--verbose", "-v", 0, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int on_restore_arg(void *ctx, const option_spec &rule, const char *value, char *msg, size_t msg_size) {
    restore_options *o = static_cast<restore_options *>(ctx);
    const char *n = rule.name;
    // Valued options: the first occurrence counts.
    if (strcmp(n, "--meta") == 0 || strcmp(n, "--search-dir") == 0 || strcmp(n, "--target") == 0) {
        if (*value == '\0') {
            put_text(msg, msg_size, "%s needs a path", n);
            return -1;
        }
        const char **slot = n[2] == 'm' ? &o->meta : n[2] == 's' ? &o->search_dir : &o->target;
        if (*slot == nullptr) *slot = value;
    } else if (strcmp(n, "--threads") == 0) {
        uint64_t v = 0;
        if (parse_u64(value, &v) != 0 || v < 1 || v > max_threads) {
            put_text(msg, msg_size, "--threads '%.100s': expected a number from 1 to %" PRIu32, value,
                     max_threads);
            return -1;
        }
        if (o->threads == 0) o->threads = static_cast<uint32_t>(v);
    } else if (strcmp(n, "--verify") == 0) {
        o->verify = true;
    } else if (strcmp(n, "--assume-zeroed") == 0) {
        o->assume_zeroed = true;
    } else if (strcmp(n, "--no-progress") == 0) {
        o->no_progress = true;
    } else if (strcmp(n, "--verbose") == 0) {
        o->verbose = true;
    }
    return 0;
}

// Everything read from the run before the target is touched.
struct loaded_run {
    run_info info;
    std::unique_ptr<index_entry[]> entries;
    char store_path[PATH_MAX];
    unique_fd store;
    struct stat meta_stat;
    struct stat store_stat;
    uint64_t store_expected;  // prefix and every stored chunk, from the index
};

int load_header_and_index(const char *meta, loaded_run *run, char *msg, size_t msg_size) {
    unique_fd fd(open(meta, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        put_text(msg, msg_size, "cannot open run header %s: %s", meta, strerror(errno));
        return -1;
    }
    if (fstat(fd.get(), &run->meta_stat) != 0 || !S_ISREG(run->meta_stat.st_mode)) {
        put_text(msg, msg_size, "run header %s is not a regular file", meta);
        return -1;
    }
    uint64_t file_size = static_cast<uint64_t>(run->meta_stat.st_size);
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[header_block_size]());
    if (!block) {
        put_text(msg, msg_size, "out of memory");
        return -1;
    }
    uint64_t got = 0;
    if (read_full_at(fd.get(), block.get(), header_block_size, 0, &got) != 0) {
        put_text(msg, msg_size, "cannot read run header %s: %s", meta, strerror(errno));
        return -1;
    }
    char why[256];
    if (decode_header(block.get(), got, file_size, &run->info, why, sizeof why) != 0) {
        put_text(msg, msg_size, "%s: %s", meta, why);
        return -1;
    }
    const run_info &info = run->info;
    if (info.run_kind != run_kind_full) {
        put_text(msg, msg_size, "%s: run kind %u builds on earlier runs; this tool restores full runs only", meta,
                 static_cast<unsigned>(info.run_kind));
        return -1;
    }

    uint64_t index_bytes = info.entry_count * index_entry_size;
    std::unique_ptr<uint8_t[]> index(new (std::nothrow) uint8_t[index_bytes > 0 ? index_bytes : 1]);
    run->entries.reset(new (std::nothrow) index_entry[info.entry_count > 0 ? info.entry_count : 1]);
    if (!index || !run->entries) {
        put_text(msg, msg_size, "out of memory");
        return -1;
    }
    if (read_full_at(fd.get(), index.get(), index_bytes, info.header_length, &got) != 0 || got != index_bytes) {
        put_text(msg, msg_size, "cannot read the index of %s", meta);
        return -1;
    }
    uint8_t digest[32] = {};
    if (index_bytes > 0) sha256_digest(index.get(), index_bytes, digest);
    if (memcmp(digest, info.index_sha, 32) != 0) {
        put_text(msg, msg_size, "%s: the index does not match its SHA-256 (corrupt run header)", meta);
        return -1;
    }

    // The index is sound as written; check that it describes this source.
    if (decode_index(info, index.get(), run->entries.get(), &run->store_expected, why, sizeof why) != 0) {
        put_text(msg, msg_size, "%s: %s", meta, why);
        return -1;
    }
    return 0;
}

int open_store(const char *meta, const char *search_dir, loaded_run *run, char *msg, size_t msg_size) {
    const char *base = strrchr(meta, '/');
    base = base != nullptr ? base + 1 : meta;
    const char *ext = header_extension(run->info.run_kind);
    size_t base_len = strlen(base), ext_len = strlen(ext);
    if (base_len <= ext_len || strcmp(base + base_len - ext_len, ext) != 0) {
        put_text(msg, msg_size, "run header name %s does not end in %s", base, ext);
        return -1;
    }
    int path_len = put_text(run->store_path, sizeof run->store_path, "%s/%.*s%s", search_dir,
                            static_cast<int>(base_len - ext_len), base, store_extension(run->info.run_kind));
    if (path_len < 0 || static_cast<size_t>(path_len) >= sizeof run->store_path) {
        put_text(msg, msg_size, "chunk store path in %s is too long", search_dir);
        return -1;
    }
    const uint64_t expected = run->store_expected;
    run->store.reset(open(run->store_path, O_RDONLY | O_CLOEXEC));
    if (run->store.get() < 0) {
        put_text(msg, msg_size, "cannot open chunk store %s: %s", run->store_path, strerror(errno));
        return -1;
    }
    if (fstat(run->store.get(), &run->store_stat) != 0 || !S_ISREG(run->store_stat.st_mode)) {
        put_text(msg, msg_size, "chunk store %s is not a regular file", run->store_path);
        return -1;
    }
    uint64_t actual = static_cast<uint64_t>(run->store_stat.st_size);
    if (actual < expected) {
        put_text(msg, msg_size, "chunk store %s is truncated (%" PRIu64 " of %" PRIu64 " bytes)", run->store_path,
                 actual, expected);
        return -1;
    }
    if (actual > expected) {
        put_text(msg, msg_size, "chunk store %s holds %" PRIu64 " bytes more than its index lists",
                 run->store_path, actual - expected);
        return -1;
    }
    uint8_t prefix[store_prefix_size];
    uint64_t got = 0;
    if (read_full_at(run->store.get(), prefix, sizeof prefix, 0, &got) != 0 || got != sizeof prefix) {
        put_text(msg, msg_size, "cannot read chunk store %s", run->store_path);
        return -1;
    }
    char why[128];
    if (check_store_prefix(prefix, run->info.run_id, why, sizeof why) != 0) {
        put_text(msg, msg_size, "%s: %s", run->store_path, why);
        return -1;
    }
    return 0;
}

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int open_target(const char *path, const loaded_run &run, unique_fd *ret_fd, bool *ret_block, char *msg,
                size_t msg_size) {
    struct stat st;
    bool exists = stat(path, &st) == 0;
    if (!exists && errno != ENOENT) {
        put_text(msg, msg_size, "target %s: %s", path, strerror(errno));
        return -1;
    }
    bool block = exists && S_ISBLK(st.st_mode);
    if (exists && !block && !S_ISREG(st.st_mode)) {
        put_text(msg, msg_size, "target %s is not a block device or regular file", path);
        return -1;
    }
    // A block device is opened exclusively: one that is mounted or in use
    // is refused by the kernel.
    unique_fd fd(block ? open(path, O_RDWR | O_EXCL | O_CLOEXEC) : open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        put_text(msg, msg_size, "cannot open target %s: %s", path, strerror(errno));
        return -1;
    }
    if (fstat(fd.get(), &st) != 0 || (block ? !S_ISBLK(st.st_mode) : !S_ISREG(st.st_mode))) {
        put_text(msg, msg_size, "target %s changed while it was opened", path);
        return -1;
    }
    if (same_file(st, run.meta_stat) || same_file(st, run.store_stat)) {
        put_text(msg, msg_size, "target %s is a file of the run itself", path);
        return -1;
    }
    const uint64_t source_size = run.info.source_size;
    if (block) {
        uint64_t size = 0;
        if (fd_size(fd.get(), &size) != 0) {
            put_text(msg, msg_size, "cannot get the size of target %s: %s", path, strerror(errno));
            return -1;
        }
        if (size < source_size) {
            put_text(msg, msg_size, "target %s is smaller than the source (%" PRIu64 " < %" PRIu64 " bytes)", path,
                     size, source_size);
            return -1;
        }
    } else {
        // Emptied and grown back: the file reads as zeros wherever no chunk
        // is written, and ends exactly at the source size.
        if (ftruncate(fd.get(), 0) != 0 || ftruncate(fd.get(), static_cast<off_t>(source_size)) != 0) {
            put_text(msg, msg_size, "cannot size target %s: %s", path, strerror(errno));
            return -1;
        }
    }
    *ret_block = block;
    *ret_fd = std::move(fd);
    return 0;
}

struct unpack_params {
    uint32_t chunk_size;
    int probe_fd;  // target to read holes from, or -1 when holes are not written
};

// Worker step of a restore: chunks are decompressed and checked; for a hole
// the target is read to see whether zeros must be written at all, which
// keeps thin volumes thin.
void unpack_slot(chunk_slot *slot, const void *ctx) {
    const unpack_params *p = static_cast<const unpack_params *>(ctx);
    if (slot->hole) {
        slot->zero_needed = false;
        if (p->probe_fd < 0) return;
        uint64_t got = 0;
        const uint64_t offset = slot->entry.block * p->chunk_size;
        slot->zero_needed = read_full_at(p->probe_fd, slot->out.get(), slot->entry.raw_len, offset, &got) != 0 ||
                            got != slot->entry.raw_len || !all_zero(slot->out.get(), got);
        return;
    }
    slot->status = unpack_chunk(slot->entry, slot->in.get(), slot->out.get(), p->chunk_size, slot->msg,
                                sizeof slot->msg);
}

// Reads the target back and compares every chunk with the index.
int verify_target(const char *path, const loaded_run &run, char *msg, size_t msg_size) {
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        put_text(msg, msg_size, "verify: cannot open %s: %s", path, strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<uint64_t>(st.st_size) != run.info.source_size) {
        put_text(msg, msg_size, "verify: %s is %jd bytes, the source was %" PRIu64, path,
                 static_cast<intmax_t>(st.st_size), run.info.source_size);
        return -1;
    }
    const run_info &info = run.info;
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[info.chunk_size]);
    if (!buf) {
        put_text(msg, msg_size, "out of memory");
        return -1;
    }
    const uint64_t chunks = chunk_count(info.source_size, info.chunk_size);
    uint64_t cursor = 0;
    for (uint64_t b = 0; b < chunks; ++b) {
        uint32_t len = chunk_raw_length(info.source_size, info.chunk_size, b);
        uint64_t got = 0;
        if (read_full_at(fd.get(), buf.get(), len, b * info.chunk_size, &got) != 0 || got != len) {
            put_text(msg, msg_size, "verify: cannot read block %" PRIu64 " of %s back", b, path);
            return -1;
        }
        bool match;
        if (cursor < info.entry_count && run.entries[cursor].block == b) {
            uint8_t digest[32];
            sha256_digest(buf.get(), len, digest);
            match = memcmp(digest, run.entries[cursor].sha, 32) == 0;
            ++cursor;
        } else {
            match = all_zero(buf.get(), len);
        }
        if (!match) {
            put_text(msg, msg_size, "verify: block %" PRIu64 " of %s differs from the backup", b, path);
            return -1;
        }
    }
    return 0;
}

}  // namespace

const char *restore_usage() {
    return "usage: vlt_restore --meta <header> --search-dir <dir> --target <device|file> [options]\n"
           "\n"
           "Writes the source bytes of one full run back. The run header (.infb) and its chunk store\n"
           "(.csfb, found in <dir> under the header's base name) are checked first: magic, format\n"
           "version, lengths and the index digest; every chunk's SHA-256 is checked after\n"
           "decompression, before it is written. A block-device target must be at least as large as\n"
           "the source and is written only up to the source size; a regular-file target (created\n"
           "when missing) ends up exactly the source's length. When an option is given twice, the\n"
           "first one counts.\n"
           "\n"
           "  --meta <path>         run header file of the run to restore\n"
           "  --search-dir <dir>    directory holding the run's chunk store\n"
           "  --target <path>       block device or regular file to write\n"
           "  --threads <n>         chunks decompressed and checked in parallel (default: processors)\n"
           "  --assume-zeroed       the target device reads as zeros already: holes are neither\n"
           "                        read nor written (without it, holes that do not read as zeros\n"
           "                        are overwritten with zeros)\n"
           "  --verify              read the target back afterwards and compare every digest\n"
           "  --no-progress         no progress lines\n"
           "  -v, --verbose         debug lines\n"
           "  -h, --help            this text\n"
           "  --version, --selftest version line, or the known-answer test of digests and codecs\n"
           "\n"
           "Exit status: 0 success, 1 the restore failed, 2 a rejected command line.\n";
}

int parse_restore_args(int argc, const char *const *argv, restore_options *opts, char *msg, size_t msg_size) {
    if (scan_tool_args(argc, argv, restore_rules, on_restore_arg, opts, msg, msg_size) != 0) return -1;
    if (opts->meta == nullptr) {
        put_text(msg, msg_size, "--meta is required");
        return -1;
    }
    if (opts->search_dir == nullptr) {
        put_text(msg, msg_size, "--search-dir is required");
        return -1;
    }
    if (opts->target == nullptr) {
        put_text(msg, msg_size, "--target is required");
        return -1;
    }
    if (opts->threads == 0) opts->threads = processor_count();
    return 0;
}

int restore_run(const restore_options &o, char *msg, size_t msg_size) {
    loaded_run run;
    memset(&run.info, 0, sizeof run.info);
    memset(&run.meta_stat, 0, sizeof run.meta_stat);
    memset(&run.store_stat, 0, sizeof run.store_stat);
    run.store_expected = 0;
    if (load_header_and_index(o.meta, &run, msg, msg_size) != 0) return -1;
    if (open_store(o.meta, o.search_dir, &run, msg, msg_size) != 0) return -1;
    const run_info &info = run.info;

    // Set up the digest library before any worker exists.
    uint8_t scratch[32];
    sha256_digest("", 0, scratch);

    uint64_t in_cap = info.chunk_size;
    for (uint32_t c : {CODEC_ZSTD, CODEC_LZ4})
        if (codec_bound(c, info.chunk_size) > in_cap) in_cap = codec_bound(c, info.chunk_size);
    const uint32_t nslots = slot_count_for(o.threads, in_cap, info.chunk_size);
    const uint32_t workers = o.threads < nslots ? o.threads : nslots;
    std::unique_ptr<chunk_slot[]> slots(new (std::nothrow) chunk_slot[nslots]);
    std::unique_ptr<uint8_t[]> zeros(new (std::nothrow) uint8_t[info.chunk_size]());
    if (!slots || !zeros) {
        put_text(msg, msg_size, "out of memory");
        return -1;
    }
    for (uint32_t i = 0; i < nslots; ++i) {
        slots[i].in.reset(new (std::nothrow) uint8_t[in_cap]);
        slots[i].out.reset(new (std::nothrow) uint8_t[info.chunk_size]);
        if (!slots[i].in || !slots[i].out) {
            put_text(msg, msg_size, "out of memory");
            return -1;
        }
    }

    unique_fd target;
    bool block_target = false;
    if (open_target(o.target, run, &target, &block_target, msg, msg_size) != 0) return -1;
    log_write(LOG_LEVEL_DEBUG, "restoring %s (%" PRIu64 " bytes, %" PRIu64 " chunks stored) into %s", o.meta,
              info.source_size, info.entry_count, o.target);

    // A regular target was emptied and reads as zeros; a device does unless
    // the operator says so with --assume-zeroed.
    const bool write_holes = block_target && !o.assume_zeroed;
    unpack_params params{info.chunk_size, write_holes ? target.get() : -1};
    chunk_pool pool;
    if (pool.start(workers, nslots, unpack_slot, &params, msg, msg_size) != 0) return -1;

    const uint64_t chunks = chunk_count(info.source_size, info.chunk_size);
    uint64_t next_submit = 0, next_done = 0, cursor = 0, written = 0;
    uint32_t progress_tenth = 0;
    int failed = 0;
    while (!failed && next_done < chunks) {
        while (next_submit < chunks && next_submit - next_done < nslots) {
            chunk_slot &s = slots[next_submit % nslots];
            s.status = 0;
            s.msg[0] = '\0';
            if (cursor < info.entry_count && run.entries[cursor].block == next_submit) {
                s.entry = run.entries[cursor++];
                s.hole = false;
                uint64_t got = 0;
                if (read_full_at(run.store.get(), s.in.get(), s.entry.stored_len, s.entry.offset, &got) != 0 ||
                    got != s.entry.stored_len) {
                    put_text(msg, msg_size, "cannot read chunk %" PRIu64 " from %s", next_submit, run.store_path);
                    failed = 1;
                    break;
                }
            } else {
                s.entry = index_entry{};
                s.entry.block = next_submit;
                s.entry.raw_len = chunk_raw_length(info.source_size, info.chunk_size, next_submit);
                s.hole = true;
            }
            pool.submit(&s);
            ++next_submit;
        }
        if (failed) break;

        chunk_slot &s = slots[next_done % nslots];
        pool.wait(&s);
        ++next_done;
        if (s.status != 0) {
            put_text(msg, msg_size, "chunk %" PRIu64 " in %s: %s", s.entry.block, run.store_path, s.msg);
            failed = 1;
            break;
        }
        const uint8_t *bytes = s.hole ? zeros.get() : s.out.get();
        if ((!s.hole || s.zero_needed) &&
            write_all_at(target.get(), bytes, s.entry.raw_len, s.entry.block * info.chunk_size) != 0) {
            put_text(msg, msg_size, "cannot write target %s: %s", o.target, strerror(errno));
            failed = 1;
            break;
        }
        written += s.entry.raw_len;
        if (!o.no_progress && info.source_size > 0) {
            uint64_t tenth = written * 10 / info.source_size;
            if (tenth > progress_tenth) {
                progress_tenth = static_cast<uint32_t>(tenth);
                log_write(LOG_LEVEL_INFO, "restore %s: %" PRIu32 "0%% written", o.target, progress_tenth);
            }
        }
    }
    for (; next_done < next_submit; ++next_done) pool.wait(&slots[next_done % nslots]);
    if (failed) return -1;

    if (fsync(target.get()) != 0) {
        put_text(msg, msg_size, "cannot write target %s: %s", o.target, strerror(errno));
        return -1;
    }
    // Drop the cached pages so that --verify reads what the device holds.
    if (o.verify) (void)posix_fadvise(target.get(), 0, 0, POSIX_FADV_DONTNEED);
    if (close(target.release()) != 0) {
        put_text(msg, msg_size, "cannot write target %s: %s", o.target, strerror(errno));
        return -1;
    }
    if (o.verify) {
        if (verify_target(o.target, run, msg, msg_size) != 0) return -1;
        log_write(LOG_LEVEL_INFO, "restore %s: verified %" PRIu64 " bytes", o.target, info.source_size);
    }
    log_write(LOG_LEVEL_INFO,
              "restored job %s into %s: %" PRIu64 " bytes (%" PRIu64 " chunks stored, %" PRIu64 " holes)",
              info.job_name, o.target, info.source_size, info.entry_count, chunks - info.entry_count);
    return 0;
}

}  // namespace engine
