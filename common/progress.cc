// The progress segment: creation, lock-free updates, removal at the end of
// the run, and removal when a signal ends the process.
#include "common/progress.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/digest.h"
#include "common/log.h"
#include "common/signals.h"
#include "common/status.h"
#include "common/text.h"

namespace {

progress_record *g_current = nullptr;
// The object's name, and its file under /dev/shm for the signal handler,
// which may only use async-signal-safe calls (unlink, not shm_unlink).
char g_saved_name[64] = "";
char g_saved_path[80] = "";
volatile sig_atomic_t g_handlers_installed = 0;
struct sigaction g_prev_int;
struct sigaction g_prev_term;
struct sigaction g_prev_hup;

void segment_name(uint32_t pid, char *buf, size_t size) {
    snprintf(buf, size, "/%s%u", "vlt_progress.", pid);
}

// A text field of the record: the text, cut to fit, and zeros to its end.
void set_field(char *field, size_t size, const char *text) {
    memset(field, 0, size);
    put_text(field, size, "%s", text != nullptr ? text : "");
}

// Every change after creation is bracketed by these two: the counter is odd
// while the fields are being written. The fences keep the counter stores on
// either side of the field stores for readers in other processes.
void begin_update(progress_record *seg) {
    uint64_t c = __atomic_load_n(&seg->update_counter, __ATOMIC_RELAXED);
    __atomic_store_n(&seg->update_counter, c + 1, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_RELEASE);
}

void end_update(progress_record *seg) {
    uint64_t c = __atomic_load_n(&seg->update_counter, __ATOMIC_RELAXED);
    __atomic_store_n(&seg->update_counter, c + 1, __ATOMIC_RELEASE);
}

void set_elapsed(progress_record *seg) {
    uint64_t now = monotonic_ms();
    seg->elapsed_ms = now >= seg->start_mono_ms ? now - seg->start_mono_ms : 0;
}

void on_signal(int sig) {
    int saved_errno = errno;
    if (g_saved_path[0] != '\0') unlink(g_saved_path);
    const struct sigaction *prev = sig == SIGINT    ? &g_prev_int
                                   : sig == SIGTERM ? &g_prev_term
                                                    : &g_prev_hup;
    pass_signal_on(sig, *prev, on_signal, saved_errno);
}

void install_handlers() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGINT, &sa, &g_prev_int);
    sigaction(SIGTERM, &sa, &g_prev_term);
    sigaction(SIGHUP, &sa, &g_prev_hup);
    g_handlers_installed = 1;
}

void restore_handlers() {
    if (!g_handlers_installed) return;
    sigaction(SIGINT, &g_prev_int, nullptr);
    sigaction(SIGTERM, &g_prev_term, nullptr);
    sigaction(SIGHUP, &g_prev_hup, nullptr);
    g_saved_name[0] = '\0';
    g_saved_path[0] = '\0';
    g_handlers_installed = 0;
}

// The status text (with the phase and the elapsed time), or the detail,
// of the current segment set to the formatted text.
enum text_field { status_field, detail_field };

void set_text(text_field which, uint8_t phase, const char *fmt, va_list ap) {
    progress_record *seg = g_current;
    if (seg == nullptr) return;
    char text[sizeof seg->detail];  // the larger of the two
    if (vsnprintf(text, sizeof text, fmt, ap) < 0) text[0] = '\0';
    begin_update(seg);
    if (which == detail_field) {
        set_field(seg->detail, sizeof seg->detail, text);
    } else {
        seg->phase = phase;
        set_field(seg->status_text, sizeof seg->status_text, text);
        set_elapsed(seg);
    }
    end_update(seg);
}

}  // namespace

uint64_t monotonic_ms() {
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0;
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

int segment_name_pid(const char *name, uint32_t *pid) {
    static const char stem[] = "vlt_progress.";
    size_t stem_len = sizeof stem - 1;
    if (strncmp(name, stem, stem_len) != 0) return 0;
    const char *digits = name + stem_len;
    if (*digits == 0 || strlen(digits) > 10) return 0;
    uint64_t v = 0;
    for (const char *p = digits; *p; p++) {
        if (*p < '0' || *p > '9') return 0;
        v = v * 10 + (uint64_t)(*p - '0');
    }
    if (v == 0 || v > 0xFFFFFFFFull) return 0;
    *pid = (uint32_t)v;
    return 1;
}

int32_t progress_create(progress_record **out, uint8_t kind, const char *job, uint8_t tool_code,
                        uint64_t total_bytes, const char *detail) {
    if (out == nullptr) return STATUS_IO;
    *out = nullptr;
    // One segment per process: a second one would share the name.
    if (g_current != nullptr) return STATUS_IO;

    uint32_t pid = static_cast<uint32_t>(getpid());
    char name[64];
    segment_name(pid, name, sizeof name);

    int fd = shm_open(name, O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0) return STATUS_IO;
    if (ftruncate(fd, PROGRESS_SEGMENT_SIZE) != 0) {
        close(fd);
        shm_unlink(name);
        return STATUS_IO;
    }
    void *map = mmap(nullptr, PROGRESS_SEGMENT_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        shm_unlink(name);
        return STATUS_IO;
    }

    auto *seg = static_cast<progress_record *>(map);
    memset(seg, 0, PROGRESS_SEGMENT_SIZE);
    seg->magic = PROGRESS_MAGIC;
    seg->version = PROGRESS_VERSION;
    seg->update_counter = 0;
    seg->pid = pid;
    seg->tool_kind = kind;
    seg->tool_code = tool_code;
    seg->phase = PROGRESS_PREPARING;
    set_field(seg->job, sizeof seg->job, job);
    set_field(seg->detail, sizeof seg->detail, detail);
    seg->total_bytes = total_bytes;
    seg->eta_seconds = -1;
    for (int64_t &v : seg->slot_values) v = -1;
    seg->cpu_features = cpu_feature_bits();
    set_field(seg->sha256_impl, sizeof seg->sha256_impl, sha256_impl_name());
    seg->start_mono_ms = monotonic_ms();
    seg->start_time = static_cast<int64_t>(time(nullptr));

    // The name is in place before the handler that reads it.
    snprintf(g_saved_name, sizeof g_saved_name, "%s", name);
    snprintf(g_saved_path, sizeof g_saved_path, "/dev/shm%s", name);
    install_handlers();

    g_current = seg;
    *out = seg;
    return STATUS_OK;
}

void progress_start(uint8_t kind, const char *job, const char *const *args, int32_t count) {
    for (int32_t i = 0; args != nullptr && i < count; i++)
        if (args[i] != nullptr && strcmp(args[i], "--no-progress") == 0) return;
    progress_record *seg = nullptr;
    int32_t st = progress_create(&seg, kind, job, 0, 0, nullptr);
    if (st != 0)
        log_write(LOG_LEVEL_WARN, "progress reporting unavailable (%s, status=%d); continuing without it",
                  status_message(st), st);
}

void progress_status(uint8_t phase, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    set_text(status_field, phase, fmt, ap);
    va_end(ap);
}

void progress_detail(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    set_text(detail_field, 0, fmt, ap);
    va_end(ap);
}

void progress_set_child(int32_t pid) {
    progress_record *seg = g_current;
    if (seg == nullptr) return;
    begin_update(seg);
    seg->child_pid = static_cast<uint32_t>(pid);
    end_update(seg);
}

void progress_finish(int32_t succeeded) {
    progress_record *seg = g_current;
    if (seg == nullptr) return;
    begin_update(seg);
    seg->child_pid = 0;
    end_update(seg);
    begin_update(seg);
    seg->phase = succeeded ? PROGRESS_SUCCEEDED : PROGRESS_FAILED;
    set_elapsed(seg);
    end_update(seg);
    progress_destroy(&seg);
}

void progress_forget_inherited() {
    // The actions in force before the parent made its segment; the
    // parent's object is not removed.
    restore_handlers();
    g_saved_name[0] = '\0';
    g_saved_path[0] = '\0';
    if (g_current != nullptr) munmap(g_current, PROGRESS_SEGMENT_SIZE);
    g_current = nullptr;
}

void progress_destroy(progress_record **segment) {
    if (segment == nullptr || *segment == nullptr) return;
    progress_record *seg = *segment;
    restore_handlers();
    if (seg == g_current) g_current = nullptr;
    char name[64];
    segment_name(seg->pid, name, sizeof name);
    munmap(seg, PROGRESS_SEGMENT_SIZE);
    shm_unlink(name);
    *segment = nullptr;
}
