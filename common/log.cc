// The logger. Lines go to standard error as "<UTC time> [<program>] <LEVEL> "
// and the message; notes go to the system log.
#include "common/log.h"

#include <pthread.h>
#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace {

char g_program[64] = "vlt";
uint32_t g_min_level = LOG_LEVEL_INFO;
pthread_mutex_t g_lock;
int g_lock_ready = 0;
int g_syslog_enabled = 1;
uint64_t g_syslog_categories = 1;

void syslog_sink(const char *text) {
    // Passed as an argument: a percent sign in the text stays literal.
    syslog(LOG_INFO, "%s", text);
}

log_note_sink_fn g_note_sink = syslog_sink;
log_error_hook_fn g_error_hook = nullptr;

const char *level_name(uint32_t level) {
    switch (level) {
    case LOG_LEVEL_DEBUG:
        return "DEBUG";
    case LOG_LEVEL_INFO:
        return "INFO";
    case LOG_LEVEL_WARN:
        return "WARN";
    case LOG_LEVEL_ERROR:
        return "ERROR";
    default:
        return "?";
    }
}

}  // namespace

void log_setup(const char *program, uint32_t min_level) {
    snprintf(g_program, sizeof g_program, "%s", program != nullptr ? program : "");
    g_min_level = min_level;
    if (!g_lock_ready) {
        if (pthread_mutex_init(&g_lock, nullptr) == 0) g_lock_ready = 1;
    }
}

void log_write(uint32_t level, const char *fmt, ...) {
    if (level < g_min_level) return;

    char stamp[32] = "";
    time_t now = time(nullptr);
    struct tm utc;
    if (gmtime_r(&now, &utc) != nullptr) strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);

    if (g_lock_ready) pthread_mutex_lock(&g_lock);
    fprintf(stderr, "%s [%s] %-5s ", stamp, g_program, level_name(level));
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
    if (g_lock_ready) pthread_mutex_unlock(&g_lock);
    if (level >= LOG_LEVEL_ERROR && g_error_hook != nullptr) {
        char text[512];
        if (vsnprintf(text, sizeof text, fmt, again) < 0) text[0] = '\0';
        g_error_hook(text);
    }
    va_end(again);
}

void log_set_error_hook(log_error_hook_fn hook) { g_error_hook = hook; }

void log_note(uint64_t categories, const char *fmt, ...) {
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n < 0) text[0] = '\0';
    if (g_syslog_enabled && (categories & g_syslog_categories) != 0) g_note_sink(text);
}

void log_set_note_sink(log_note_sink_fn sink) { g_note_sink = sink != nullptr ? sink : syslog_sink; }
