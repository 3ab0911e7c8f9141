// vlt_agent's command line and its one full run: the source read to its
// end, chunks packed by the worker pool into the chunk store, the header
// file written last and published by a rename, and the run's files removed
// on failure or on a signal.
#include "engine/agent.h"

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <limits.h>
#include <new>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/digest.h"
#include "common/log.h"
#include "common/options.h"
#include "common/temp_file.h"
#include "engine/chunk_pool.h"
#include "engine/engine_util.h"
#include "engine/run_format.h"
#include "engine/tool_args.h"

namespace engine {

namespace {

constexpr int max_run_counter = 1000;

enum : uint32_t {
    seen_source = 1u << 0,
    seen_name = 1u << 1,
    seen_out = 1u << 2,
    seen_block_size = 1u << 3,
    seen_compression = 1u << 4,
    seen_level = 1u << 5,
    seen_max_level = 1u << 6,
    seen_threads = 1u << 7,
    seen_snapshot = 1u << 8,
    seen_type = 1u << 9,
    seen_out_encryption = 1u << 10,
};

const char *const refuse_network = "backups to a network target are not supported by this agent; use --out <dir>";
const char *const refuse_encryption = "encrypted runs are not supported by this agent";
const char *const refuse_resume = "resuming interrupted runs is not supported by this agent";
const char *const refuse_background = "background runs are not supported by this agent";
const char *const refuse_retention = "retention management is not supported by this agent";
const char *const refuse_diag = "diagnostics files are not supported by this agent";

const option_spec agent_rules[] = {
    {"--source", nullptr, 1, nullptr},
    {"--snapshot", nullptr, 1, nullptr},
    {"--name", nullptr, 1, nullptr},
    {"--out", nullptr, 1, nullptr},
    {"--type", nullptr, 1, nullptr},
    {"--search-dir", nullptr, 1, nullptr},
    {"--block-size", nullptr, 1, nullptr},
    {"--threads", nullptr, 1, nullptr},
    {"--compression", nullptr, 1, nullptr},
    {"--level", nullptr, 1, nullptr},
    {"--max-level", nullptr, 1, nullptr},
    {"--verify", nullptr, 0, nullptr},
    {"--no-progress", nullptr, 0, nullptr},
    {"--no-fs-bitmap", nullptr, 0, nullptr},
    {"--no-diag", nullptr, 0, nullptr},
    {"--verbose", "-v", 0, nullptr},
    {"--out-encryption", nullptr, 1, nullptr},
    {"--out-key-file", nullptr, 1, refuse_encryption},
    {"--target", nullptr, 1, refuse_network},
    {"--target-dir", nullptr, 1, refuse_network},
    {"--tls-ca", nullptr, 1, refuse_network},
    {"--api-key", nullptr, 1, refuse_network},
    {"--target-encryption", nullptr, 1, refuse_network},
    {"--target-key-file", nullptr, 1, refuse_network},
    {"--net-retry", nullptr, 1, refuse_network},
    {"--resume", nullptr, 1, refuse_resume},
    {"--resume-max-age", nullptr, 1, refuse_resume},
    {"--resume-dir", nullptr, 1, refuse_resume},
    {"--diag-dir", nullptr, 1, refuse_diag},
    {"--background", nullptr, 0, refuse_background},
    {"--background-min", nullptr, 1, refuse_background},
    {"--background-max", nullptr, 1, refuse_background},
    {"--retention", nullptr, 1, refuse_retention},
    {"--retention-class", nullptr, 1, refuse_retention},
    {nullptr, nullptr, 0, nullptr},
};

// Returns true the first time flag is seen.
bool first_time(agent_options *o, uint32_t flag) {
    if (o->seen & flag) return false;
    o->seen |= flag;
    return true;
}

int parse_level(const char *name, const char *value, int32_t *ret, char *msg, size_t msg_size) {
    uint64_t v = 0;
    if (parse_u64(value, &v) != 0 || v < 1 || v > 22) {
        put_text(msg, msg_size, "%s '%.100s': expected a compression level from 1 to 22", name, value);
        return -1;
    }
    *ret = static_cast<int32_t>(v);
    return 0;
}

int on_agent_arg(void *ctx, const option_spec &rule, const char *value, char *msg, size_t msg_size) {
    agent_options *o = static_cast<agent_options *>(ctx);
    const char *n = rule.name;
    if (strcmp(n, "--source") == 0) {
        if (*value == '\0') {
            put_text(msg, msg_size, "--source needs a path");
            return -1;
        }
        if (first_time(o, seen_source)) o->source = value;
    } else if (strcmp(n, "--snapshot") == 0) {
        if (strcmp(value, "off") == 0) {
            (void)first_time(o, seen_snapshot);
        } else if (strcmp(value, "on") == 0) {
            if (first_time(o, seen_snapshot)) {
                put_text(msg, msg_size,
                         "--snapshot on: this agent takes no snapshots of its own; give it a snapshot or a "
                         "quiet source with --snapshot off");
                return -1;
            }
        } else {
            put_text(msg, msg_size, "--snapshot '%.100s': expected on or off", value);
            return -1;
        }
    } else if (strcmp(n, "--name") == 0) {
        size_t len = strlen(value);
        if (len == 0 || len >= job_name_size) {
            put_text(msg, msg_size, "--name '%.100s': a job name has 1 to %zu characters", value,
                     job_name_size - 1);
            return -1;
        }
        if (strchr(value, '/') != nullptr || strcmp(value, ".") == 0 || strcmp(value, "..") == 0) {
            put_text(msg, msg_size, "--name '%s': a job name cannot contain '/' or be '.' or '..'", value);
            return -1;
        }
        for (const char *p = value; *p; ++p) {
            if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f) {
                put_text(msg, msg_size, "--name: a job name cannot contain control characters");
                return -1;
            }
        }
        if (first_time(o, seen_name)) o->name = value;
    } else if (strcmp(n, "--out") == 0) {
        if (*value == '\0') {
            put_text(msg, msg_size, "--out needs a directory");
            return -1;
        }
        if (first_time(o, seen_out)) o->out = value;
    } else if (strcmp(n, "--type") == 0) {
        if (strcmp(value, "full") != 0) {
            put_text(msg, msg_size, "--type '%.100s': this agent writes full runs only (--type full)", value);
            return -1;
        }
        (void)first_time(o, seen_type);
    } else if (strcmp(n, "--search-dir") == 0) {
        // Only differential and incremental runs look for their parent run
        // there; a full run needs none, so the setting is harmless.
    } else if (strcmp(n, "--block-size") == 0) {
        uint64_t v = 0;
        if (parse_size(value, &v) != 0 || v < min_chunk_size || v > max_chunk_size || v % 4096 != 0) {
            put_text(msg, msg_size,
                     "--block-size '%.100s': expected a multiple of 4096 bytes from %" PRIu32 " to %" PRIu32
                     " (K and M suffixes allowed)",
                     value, min_chunk_size, max_chunk_size);
            return -1;
        }
        if (first_time(o, seen_block_size)) o->chunk_size = static_cast<uint32_t>(v);
    } else if (strcmp(n, "--compression") == 0) {
        uint32_t codec = 0;
        if (strcmp(value, "zstd") == 0) {
            codec = CODEC_ZSTD;
        } else if (strcmp(value, "lz4") == 0) {
            codec = CODEC_LZ4;
        } else if (strcmp(value, "none") == 0) {
            codec = CODEC_NONE;
        } else {
            put_text(msg, msg_size, "--compression '%.100s': expected zstd, lz4 or none", value);
            return -1;
        }
        if (first_time(o, seen_compression)) o->codec = codec;
    } else if (strcmp(n, "--level") == 0) {
        int32_t level = 0;
        if (parse_level(n, value, &level, msg, msg_size) != 0) return -1;
        if (first_time(o, seen_level)) o->level = level;
    } else if (strcmp(n, "--max-level") == 0) {
        int32_t level = 0;
        if (parse_level(n, value, &level, msg, msg_size) != 0) return -1;
        if (first_time(o, seen_max_level)) o->max_level = level;
    } else if (strcmp(n, "--threads") == 0) {
        uint64_t v = 0;
        if (parse_u64(value, &v) != 0 || v < 1 || v > max_threads) {
            put_text(msg, msg_size, "--threads '%.100s': expected a number from 1 to %" PRIu32, value,
                     max_threads);
            return -1;
        }
        if (first_time(o, seen_threads)) o->threads = static_cast<uint32_t>(v);
    } else if (strcmp(n, "--out-encryption") == 0) {
        if (strcmp(value, "none") != 0) {
            put_text(msg, msg_size, "--out-encryption: %s", refuse_encryption);
            return -1;
        }
        (void)first_time(o, seen_out_encryption);
    } else if (strcmp(n, "--verify") == 0) {
        o->verify = true;
    } else if (strcmp(n, "--no-progress") == 0) {
        o->no_progress = true;
    } else if (strcmp(n, "--verbose") == 0) {
        o->verbose = true;
    }
    // --no-fs-bitmap and --no-diag: this agent always reads every byte of
    // the source and writes no diagnostics, so both hold already.
    return 0;
}

// ---- files of the run, and their removal on failure or on a signal --------

// The files of the run the signal handler removes: the chunk store and the
// temporary header, each while it is ours (common/temp_file.h).
struct run_cleanup {
    removal_slot store;
    removal_slot header_temp;
};

run_cleanup g_run_files;

void on_fatal_signal(int sig) {
    int saved = errno;
    removal_slot_fire(&g_run_files.header_temp);
    removal_slot_fire(&g_run_files.store);
    errno = saved;
    // The handler was installed with SA_RESETHAND: the signal, raised again,
    // ends the process once the handler returns.
    (void)raise(sig);
}

const int fatal_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Installs on_fatal_signal for the life of the run; puts back the previous
// actions afterwards.
class signal_guard {
public:
    signal_guard() {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = on_fatal_signal;
        sigemptyset(&sa.sa_mask);
        for (int s : fatal_signals) sigaddset(&sa.sa_mask, s);
        sa.sa_flags = SA_RESETHAND;
        for (size_t i = 0; i < 3; ++i) (void)sigaction(fatal_signals[i], &sa, &old_[i]);
    }
    ~signal_guard() {
        for (size_t i = 0; i < 3; ++i) (void)sigaction(fatal_signals[i], &old_[i], nullptr);
    }
    signal_guard(const signal_guard &) = delete;
    signal_guard &operator=(const signal_guard &) = delete;

private:
    struct sigaction old_[3];
};

// A growing heap buffer of index entries.
class index_buffer {
public:
    index_buffer() = default;
    index_buffer(const index_buffer &) = delete;
    index_buffer &operator=(const index_buffer &) = delete;
    ~index_buffer() { free(data_); }

    [[nodiscard]] int append(const index_entry &e) {
        if (len_ + index_entry_size > cap_) {
            uint64_t cap = cap_ == 0 ? 64 * index_entry_size : cap_ * 2;
            void *p = realloc(data_, cap);
            if (p == nullptr) return -1;
            data_ = static_cast<uint8_t *>(p);
            cap_ = cap;
        }
        encode_entry(e, data_ + len_);
        len_ += index_entry_size;
        return 0;
    }
    const uint8_t *data() const { return data_; }
    uint64_t size() const { return len_; }
    uint64_t count() const { return len_ / index_entry_size; }

private:
    uint8_t *data_ = nullptr;
    uint64_t len_ = 0;
    uint64_t cap_ = 0;
};

struct compress_params {
    uint32_t codec;
    int32_t level;
};

// Worker step of a backup: holes are recognised, the others hashed and
// compressed. Depends on the chunk's bytes alone, so the thread count never
// changes the output.
void pack_chunk(chunk_slot *slot, const void *ctx) {
    const compress_params *p = static_cast<const compress_params *>(ctx);
    slot->hole = all_zero(slot->in.get(), slot->in_len);
    if (slot->hole) return;
    sha256_digest(slot->in.get(), slot->in_len, slot->entry.sha);
    slot->entry.raw_len = static_cast<uint32_t>(slot->in_len);
    slot->entry.codec = CODEC_NONE;
    slot->out_len = 0;
    if (p->codec != CODEC_NONE) {
        uint64_t n = codec_compress(p->codec, p->level, slot->in.get(), slot->in_len, slot->out.get(),
                                    codec_bound(p->codec, slot->in_len));
        if (n > 0) {
            slot->entry.codec = static_cast<uint8_t>(p->codec);
            slot->out_len = n;
        }
    }
}

int parse_hex_id(const char *text, uint8_t out[16]) {
    if (strlen(text) != 32) return -1;
    for (int i = 0; i < 16; ++i) {
        unsigned v = 0;
        for (int k = 0; k < 2; ++k) {
            char c = text[2 * i + k];
            unsigned d;
            if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
            else return -1;
            v = v * 16 + d;
        }
        out[i] = static_cast<uint8_t>(v);
    }
    return 0;
}

// Run id (random, version-4 bits) and creation time. For reproducible runs
// in tests, VLT_AGENT_FIXED_RUN_ID (32 hex digits) and VLT_AGENT_FIXED_TIME
// (seconds since 1970) replace them (and VLT_AGENT_FIXED_HOST the host
// name, in fill_header_info).
int make_run_identity(uint8_t run_id[16], int64_t *created, char *msg, size_t msg_size) {
    const char *fixed_id = getenv("VLT_AGENT_FIXED_RUN_ID");
    if (fixed_id != nullptr) {
        if (parse_hex_id(fixed_id, run_id) != 0) {
            put_text(msg, msg_size, "VLT_AGENT_FIXED_RUN_ID must be 32 hex digits");
            return -1;
        }
    } else {
        size_t got = 0;
        while (got < 16) {
            ssize_t n = getrandom(run_id + got, 16 - got, 0);
            if (n < 0) {
                if (errno == EINTR) continue;
                put_text(msg, msg_size, "cannot get random bytes for the run id: %s", strerror(errno));
                return -1;
            }
            got += static_cast<size_t>(n);
        }
    }
    run_id[6] = static_cast<uint8_t>((run_id[6] & 0x0F) | 0x40);
    run_id[8] = static_cast<uint8_t>((run_id[8] & 0x3F) | 0x80);

    const char *fixed_time = getenv("VLT_AGENT_FIXED_TIME");
    if (fixed_time != nullptr) {
        uint64_t t = 0;
        if (parse_u64(fixed_time, &t) != 0 || t > static_cast<uint64_t>(INT64_MAX)) {
            put_text(msg, msg_size, "VLT_AGENT_FIXED_TIME must be seconds since 1970");
            return -1;
        }
        *created = static_cast<int64_t>(t);
    } else {
        *created = static_cast<int64_t>(time(nullptr));
    }
    return 0;
}

bool path_exists(const char *path) {
    struct stat st;
    return lstat(path, &st) == 0 || errno != ENOENT;
}

// Finds the first free base name and creates the chunk store under it
// exclusively. Stores the paths; the store is open in *store, which
// removes it again unless the run is published.
int claim_run_names(const agent_options &o, int64_t created, char *header_path, char *store_path,
                    temp_file *store, char *msg, size_t msg_size) {
    char base[PATH_MAX];
    for (int counter = 1; counter <= max_run_counter; ++counter) {
        // room for the extension and the temporary header suffix
        if (format_run_base(o.out, o.name, created, counter, base, sizeof base - 16) != 0) {
            put_text(msg, msg_size, "output path %.200s/%s is too long", o.out, o.name);
            return -1;
        }
        put_text(header_path, PATH_MAX, "%s%s", base, header_extension(run_kind_full));
        put_text(store_path, PATH_MAX, "%s%s", base, store_extension(run_kind_full));
        if (path_exists(header_path)) continue;
        if (!store->create_exclusive(store_path, 0600)) {
            if (errno == EEXIST) continue;
            put_text(msg, msg_size, "cannot create %s: %s", store_path, strerror(errno));
            return -1;
        }
        return 0;
    }
    put_text(msg, msg_size, "no free run name for job %s in %s: %d runs with this time stamp exist", o.name,
             o.out, max_run_counter);
    return -1;
}

int open_source(const char *path, unique_fd *ret_fd, uint64_t *ret_expected, char *msg, size_t msg_size) {
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        put_text(msg, msg_size, "cannot open source %s: %s", path, strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        put_text(msg, msg_size, "cannot stat source %s: %s", path, strerror(errno));
        return -1;
    }
    uint64_t expected = 0;
    if (S_ISBLK(st.st_mode) || S_ISREG(st.st_mode)) {
        if (fd_size(fd.get(), &expected) != 0) {
            put_text(msg, msg_size, "cannot get the size of source %s: %s", path, strerror(errno));
            return -1;
        }
        (void)posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);  // a hint only
    } else if (!S_ISFIFO(st.st_mode)) {
        put_text(msg, msg_size, "source %s is not a block device, regular file or pipe", path);
        return -1;
    }
    *ret_expected = expected;
    *ret_fd = std::move(fd);
    return 0;
}

// Reads every stored chunk back and checks it against the index.
int verify_store(const char *store_path, const index_buffer &index, uint32_t chunk_size, char *msg,
                 size_t msg_size) {
    unique_fd fd(open(store_path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        put_text(msg, msg_size, "verify: cannot open %s: %s", store_path, strerror(errno));
        return -1;
    }
    uint64_t bound = chunk_size;
    for (uint32_t c : {CODEC_ZSTD, CODEC_LZ4}) bound = codec_bound(c, chunk_size) > bound ? codec_bound(c, chunk_size) : bound;
    std::unique_ptr<uint8_t[]> stored(new (std::nothrow) uint8_t[bound]);
    std::unique_ptr<uint8_t[]> raw(new (std::nothrow) uint8_t[chunk_size]);
    if (!stored || !raw) {
        put_text(msg, msg_size, "out of memory");
        return -1;
    }
    for (uint64_t i = 0; i < index.count(); ++i) {
        index_entry e;
        decode_entry(index.data() + i * index_entry_size, &e);
        uint64_t got = 0;
        if (e.stored_len > bound || read_full_at(fd.get(), stored.get(), e.stored_len, e.offset, &got) != 0 ||
            got != e.stored_len) {
            put_text(msg, msg_size, "verify: cannot read chunk %" PRIu64 " back from %s", e.block, store_path);
            return -1;
        }
        char why[200];
        if (unpack_chunk(e, stored.get(), raw.get(), chunk_size, why, sizeof why) != 0) {
            put_text(msg, msg_size, "verify: chunk %" PRIu64 " in %s: %s", e.block, store_path, why);
            return -1;
        }
    }
    return 0;
}

int sync_directory(const char *dir, char *msg, size_t msg_size) {
    unique_fd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0 || fsync(fd.get()) != 0) {
        put_text(msg, msg_size, "cannot sync directory %s: %s", dir, strerror(errno));
        return -1;
    }
    return 0;
}

// Gives the finished temporary header its final name without replacing a
// file of that name. File systems without RENAME_NOREPLACE get a hard link,
// and those without hard links a plain rename after a check.
int publish_header(const char *temp_path, const char *header_path) {
    if (renameat2(AT_FDCWD, temp_path, AT_FDCWD, header_path, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
    if (link(temp_path, header_path) == 0) {
        (void)unlink(temp_path);  // the header exists; a stray temporary name is harmless
        return 0;
    }
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return -1;
    if (path_exists(header_path)) {
        errno = EEXIST;
        return -1;
    }
    return rename(temp_path, header_path);
}

int check_output_dir(const char *dir, char *msg, size_t msg_size) {
    struct stat st;
    if (stat(dir, &st) != 0) {
        put_text(msg, msg_size, "output directory %s: %s", dir, strerror(errno));
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        put_text(msg, msg_size, "output directory %s: not a directory", dir);
        return -1;
    }
    return 0;
}

struct run_totals {
    uint64_t source_size = 0;   // bytes read
    uint64_t holes = 0;         // all-zero chunks, not stored
    uint64_t stored_bytes = 0;  // chunk bytes after the store's prefix
};

// Writes the chunk store: its prefix, then every chunk of the source that
// is not a hole, read to its end and packed by the worker pool in order.
// The index receives one entry per stored chunk.
int store_chunks(const agent_options &o, const uint8_t run_id[16], int source_fd, uint64_t expected, int store_fd,
                 const char *store_path, index_buffer *index, run_totals *totals, char *msg, size_t msg_size) {
    uint8_t prefix[store_prefix_size];
    encode_store_prefix(run_id, prefix);
    if (write_all_at(store_fd, prefix, sizeof prefix, 0) != 0) {
        put_text(msg, msg_size, "cannot write %s: %s", store_path, strerror(errno));
        return -1;
    }
    uint64_t store_offset = store_prefix_size;

    // Slots and buffers first, so that the pool, declared after them, is
    // stopped before they go away.
    const uint64_t out_cap = o.codec == CODEC_NONE ? 0 : codec_bound(o.codec, o.chunk_size);
    const uint32_t nslots = slot_count_for(o.threads, o.chunk_size, out_cap);
    const uint32_t workers = o.threads < nslots ? o.threads : nslots;
    std::unique_ptr<chunk_slot[]> slots(new (std::nothrow) chunk_slot[nslots]);
    if (!slots) {
        put_text(msg, msg_size, "out of memory");
        return -1;
    }
    for (uint32_t i = 0; i < nslots; ++i) {
        slots[i].in.reset(new (std::nothrow) uint8_t[o.chunk_size]);
        if (out_cap > 0) slots[i].out.reset(new (std::nothrow) uint8_t[out_cap]);
        if (!slots[i].in || (out_cap > 0 && !slots[i].out)) {
            put_text(msg, msg_size, "out of memory");
            return -1;
        }
    }
    compress_params params{o.codec, o.level};
    chunk_pool pool;
    if (pool.start(workers, nslots, pack_chunk, &params, msg, msg_size) != 0) return -1;
    log_write(LOG_LEVEL_DEBUG, "job %s: %" PRIu32 " workers, %" PRIu32 " chunks in flight of %" PRIu32 " bytes",
              o.name, workers, nslots, o.chunk_size);

    uint64_t next_read = 0, next_write = 0;
    bool reading = true;
    int failed = 0;
    uint32_t progress_tenth = 0;
    while (!failed) {
        while (reading && next_read - next_write < nslots) {
            chunk_slot &s = slots[next_read % nslots];
            uint64_t n = 0;
            if (read_full(source_fd, s.in.get(), o.chunk_size, &n) != 0) {
                put_text(msg, msg_size, "cannot read source %s: %s", o.source, strerror(errno));
                failed = 1;
                break;
            }
            if (n < o.chunk_size) reading = false;  // end of the source
            if (n == 0) break;
            // Read once and never again: keep the host's page cache for its VMs.
            if (expected > 0)
                (void)posix_fadvise(source_fd, static_cast<off_t>(next_read * o.chunk_size), static_cast<off_t>(n),
                                    POSIX_FADV_DONTNEED);
            s.in_len = n;
            s.entry = index_entry{};
            s.entry.block = next_read;
            pool.submit(&s);
            ++next_read;
        }
        if (failed || next_write == next_read) break;

        chunk_slot &s = slots[next_write % nslots];
        pool.wait(&s);
        ++next_write;
        totals->source_size += s.in_len;
        if (s.hole) {
            ++totals->holes;
        } else {
            const uint8_t *bytes = s.entry.codec == CODEC_NONE ? s.in.get() : s.out.get();
            uint64_t len = s.entry.codec == CODEC_NONE ? s.in_len : s.out_len;
            if (write_all_at(store_fd, bytes, len, store_offset) != 0) {
                put_text(msg, msg_size, "cannot write %s: %s", store_path, strerror(errno));
                failed = 1;
                break;
            }
            s.entry.offset = store_offset;
            s.entry.stored_len = static_cast<uint32_t>(len);
            store_offset += len;
            totals->stored_bytes += len;
            if (index->append(s.entry) != 0) {
                put_text(msg, msg_size, "out of memory");
                failed = 1;
                break;
            }
        }
        if (!o.no_progress && expected > 0) {
            uint64_t tenth = totals->source_size >= expected ? 10 : totals->source_size * 10 / expected;
            if (tenth > progress_tenth) {
                progress_tenth = static_cast<uint32_t>(tenth);
                log_write(LOG_LEVEL_INFO, "job %s: %" PRIu32 "0%% read (%" PRIu64 " of %" PRIu64 " bytes)", o.name,
                          progress_tenth, totals->source_size, expected);
            }
        }
    }
    // Wait for chunks still in the workers' hands before leaving.
    for (; next_write < next_read; ++next_write) pool.wait(&slots[next_write % nslots]);
    return failed ? -1 : 0;
}

// Everything the header block says about a finished full run.
void fill_header_info(const agent_options &o, const index_buffer &index, uint64_t source_size, run_info *info) {
    info->version = format_version;
    info->header_length = header_block_size;
    info->chunk_size = o.chunk_size;
    info->run_kind = run_kind_full;
    info->chain_flag = 1;
    memcpy(info->chain_id, info->run_id, 16);
    info->source_size = source_size;
    info->entry_count = index.count();
    if (index.size() > 0) sha256_digest(index.data(), index.size(), info->index_sha);
    put_text(info->version_text, sizeof info->version_text, "%s", vlt_version);
    // Tests of runs from several hosts in one directory set the host name
    // with VLT_AGENT_FIXED_HOST (cut to 63 characters like a real one).
    const char *fixed_host = getenv("VLT_AGENT_FIXED_HOST");
    if (fixed_host != nullptr)
        put_text(info->host_name, sizeof info->host_name, "%s", fixed_host);
    else if (gethostname(info->host_name, sizeof info->host_name) != 0)
        info->host_name[0] = '\0';
    info->host_name[sizeof info->host_name - 1] = '\0';
    put_text(info->job_name, sizeof info->job_name, "%s", o.name);
}

// The header block and the index, into a temporary file next to the final
// name (in *temp); it becomes the header file by a rename once on disk.
int write_header_file(const run_info &info, const index_buffer &index, const char *out_dir, const char *header_path,
                      temp_file *temp, char *msg, size_t msg_size) {
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[header_block_size]());
    if (!block) {
        put_text(msg, msg_size, "out of memory");
        return -1;
    }
    encode_header(info, block.get());

    char temp_tmpl[PATH_MAX];
    put_text(temp_tmpl, sizeof temp_tmpl, "%s.XXXXXX", header_path);
    if (!temp->create_unique(temp_tmpl)) {
        put_text(msg, msg_size, "cannot create a temporary file in %s: %s", out_dir, strerror(errno));
        return -1;
    }
    if (write_all_at(temp->fd(), block.get(), header_block_size, 0) != 0 ||
        (index.size() > 0 && write_all_at(temp->fd(), index.data(), index.size(), header_block_size) != 0) ||
        fsync(temp->fd()) != 0 || temp->close_now() != 0) {
        put_text(msg, msg_size, "cannot write %s: %s", temp->path(), strerror(errno));
        return -1;
    }
    return 0;
}

// Gives the header its final name. Signals wait meanwhile, and the run's
// files stop being ours to remove: a run is either complete or gone.
int publish_run(temp_file *header, temp_file *store, const char *header_path, char *msg, size_t msg_size) {
    sigset_t block_set, old_set;
    sigemptyset(&block_set);
    for (int s : fatal_signals) sigaddset(&block_set, s);
    pthread_sigmask(SIG_BLOCK, &block_set, &old_set);
    char temp_path[PATH_MAX];
    put_text(temp_path, sizeof temp_path, "%s", header->path());
    int rc = publish_header(temp_path, header_path);
    int rename_errno = errno;
    if (rc == 0) {
        header->keep();
        store->keep();
    }
    pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
    if (rc != 0) {
        put_text(msg, msg_size, "cannot rename %s to %s: %s", temp_path, header_path, strerror(rename_errno));
        return -1;
    }
    return 0;
}

}  // namespace

const char *agent_usage() {
    return "usage: vlt_agent --source <device|file> --snapshot off --name <job> --out <dir> [options]\n"
           "\n"
           "Reads the source from start to end and writes one full run into <dir>: a chunk store\n"
           "<job>-<YYYYmmddHHMM>.csfb and its run header <job>-<YYYYmmddHHMM>.infb (with -2, -3, ...\n"
           "appended when that name is taken). The header appears last, so an interrupted run never\n"
           "leaves a header behind. When an option is given twice, the first one counts.\n"
           "\n"
           "  --source <path>        block device, regular file or pipe to read\n"
           "  --snapshot off         the source is already a snapshot (the agent takes none itself)\n"
           "  --name <job>           job name stored in the run header (1 to 63 characters, no '/')\n"
           "  --out <dir>            existing directory that receives the run\n"
           "  --block-size <bytes>   chunk size, a multiple of 4096 up to 64M (default 2M)\n"
           "  --compression <codec>  zstd (default), lz4 or none\n"
           "  --level <n>            zstd level 1..22 (default 3; lz4 has no levels)\n"
           "  --max-level <n>        upper bound for --level\n"
           "  --threads <n>          chunks hashed and compressed in parallel (default: processors)\n"
           "  --verify               read the chunk store back and check every chunk\n"
           "  --type full            the only run type this agent writes\n"
           "  --out-encryption none  the only setting this agent supports\n"
           "  --search-dir <dir>     accepted; full runs need no parent run\n"
           "  --no-fs-bitmap         accepted; every byte of the source is read\n"
           "  --no-diag              accepted; no diagnostics files are written\n"
           "  --no-progress          no progress lines\n"
           "  -v, --verbose          debug lines\n"
           "  -h, --help             this text\n"
           "  --version, --selftest  version line, or the known-answer test of digests and codecs\n"
           "\n"
           "Refused with exit status 2: network targets (--target, --target-dir, --tls-ca, --api-key,\n"
           "--target-encryption, --target-key-file, --net-retry), encryption (--out-encryption other\n"
           "than none, --out-key-file), --resume*, --background*, --retention*, --diag-dir,\n"
           "--type diff|incr and --snapshot on.\n"
           "\n"
           "Exit status: 0 success, 1 the run failed, 2 a rejected command line.\n";
}

int parse_agent_args(int argc, const char *const *argv, agent_options *opts, char *msg, size_t msg_size) {
    if (scan_tool_args(argc, argv, agent_rules, on_agent_arg, opts, msg, msg_size) != 0) return -1;
    if (opts->source == nullptr) {
        put_text(msg, msg_size, "--source is required");
        return -1;
    }
    if (opts->name == nullptr) {
        put_text(msg, msg_size, "--name is required");
        return -1;
    }
    if (opts->out == nullptr) {
        put_text(msg, msg_size, "--out is required (this agent writes to a local directory only)");
        return -1;
    }
    if (opts->chunk_size == 0) opts->chunk_size = default_chunk_size;
    if (opts->threads == 0) opts->threads = processor_count();
    if (opts->max_level > 0 && opts->level > opts->max_level) opts->level = opts->max_level;
    return 0;
}

int run_agent(const agent_options &o, char *msg, size_t msg_size) {
    if (check_output_dir(o.out, msg, msg_size) != 0) return -1;
    unique_fd source;
    uint64_t expected = 0;
    if (open_source(o.source, &source, &expected, msg, msg_size) != 0) return -1;

    run_info info;
    memset(&info, 0, sizeof info);
    if (make_run_identity(info.run_id, &info.created, msg, msg_size) != 0) return -1;

    // The digest library sets itself up on first use, which is not safe to
    // race: do it here before any worker exists.
    uint8_t scratch[32];
    sha256_digest("", 0, scratch);

    // Declared after the handler, so that both files are gone (or kept)
    // before it is put back.
    signal_guard signals;
    char header_path[PATH_MAX];
    char store_path[PATH_MAX];
    temp_file store(&g_run_files.store);
    if (claim_run_names(o, info.created, header_path, store_path, &store, msg, msg_size) != 0) return -1;
    log_write(LOG_LEVEL_DEBUG, "job %s: writing chunk store %s", o.name, store_path);

    index_buffer index;
    run_totals totals;
    if (store_chunks(o, info.run_id, source.get(), expected, store.fd(), store_path, &index, &totals, msg,
                     msg_size) != 0)
        return -1;
    if (fsync(store.fd()) != 0 || store.close_now() != 0) {
        put_text(msg, msg_size, "cannot write %s: %s", store_path, strerror(errno));
        return -1;
    }
    if (o.verify && verify_store(store_path, index, o.chunk_size, msg, msg_size) != 0) return -1;

    temp_file header(&g_run_files.header_temp);
    fill_header_info(o, index, totals.source_size, &info);
    if (write_header_file(info, index, o.out, header_path, &header, msg, msg_size) != 0) return -1;
    // The chunk store's directory entry is on disk before the header's.
    if (sync_directory(o.out, msg, msg_size) != 0) return -1;
    if (publish_run(&header, &store, header_path, msg, msg_size) != 0) return -1;

    char why[PATH_MAX + 64];
    if (sync_directory(o.out, why, sizeof why) != 0)
        log_write(LOG_LEVEL_WARN, "job %s: %s (the run is complete but may not survive a power loss)", o.name, why);
    log_write(LOG_LEVEL_INFO,
              "job %s: run written to %s (%" PRIu64 " bytes read, %" PRIu64 " chunks stored, %" PRIu64
              " holes, %" PRIu64 " bytes in the chunk store)",
              o.name, header_path, totals.source_size, index.count(), totals.holes,
              totals.stored_bytes + store_prefix_size);
    return 0;
}

}  // namespace engine
