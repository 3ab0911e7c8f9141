// vlt_bench_stamp: stands in front of an outside tool (started under the
// tool's name through a symlink) and records when the tool's process starts
// and when it has ended, in the simulated host's call-log format:
//     <time>\t<pid>\tcall\t<tool>\t<arg>...
//     <time>\t<pid>\tend\t<tool>\t<exit status>
// The real tool is the first <dir>/<tool> found in $VLT_BENCH_REAL_PATH (a
// colon-separated list); lines are appended to $VLT_BENCH_CALLS.
//
// The fakes of the simulated host log their own calls only after the shell
// has started and read its libraries, which takes tens of milliseconds on a
// busy machine; this program is small and linked statically, so the time
// between the end of one tool and the start of the next is what the program
// that runs them spends, fork and exec included.
#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct line_buf {
    char text[8192];
    size_t len = 0;
    void add(const char *s) {
        for (; *s != '\0' && len + 2 < sizeof text; ++s) {
            char c = *s;
            const char *esc = c == '\t' ? "\\t" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\\' ? "\\\\" : nullptr;
            if (esc != nullptr) {
                text[len++] = esc[0];
                text[len++] = esc[1];
            } else {
                text[len++] = c;
            }
        }
    }
    void separator() {
        if (len + 2 < sizeof text) text[len++] = '\t';
    }
    void stamp(const char *what, const char *tool) {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        len = static_cast<size_t>(snprintf(text, sizeof text, "%lld.%06ld\t%d\t%s\t", static_cast<long long>(ts.tv_sec),
                                           ts.tv_nsec / 1000, static_cast<int>(getpid()), what));
        add(tool);
    }
    // One append, so lines of concurrent writers never interleave.
    void write_to(const char *path) {
        text[len++] = '\n';
        int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return;
        ssize_t w = write(fd, text, len);
        (void)w;
        close(fd);
    }
};

}  // namespace

int main(int argc, char **argv) {
    const char *tool = strrchr(argv[0], '/');
    tool = tool != nullptr ? tool + 1 : argv[0];
    const char *dirs = getenv("VLT_BENCH_REAL_PATH");
    const char *calls = getenv("VLT_BENCH_CALLS");
    if (dirs == nullptr || calls == nullptr) {
        fprintf(stderr, "%s (stamp): VLT_BENCH_REAL_PATH and VLT_BENCH_CALLS must be set\n", tool);
        return 127;
    }
    static line_buf line;
    line.stamp("call", tool);
    for (int i = 1; i < argc; ++i) {
        line.separator();
        line.add(argv[i]);
    }
    line.write_to(calls);

    static char real[4096];
    real[0] = '\0';
    for (const char *d = dirs; *d != '\0';) {
        const char *end = strchr(d, ':');
        size_t n = end != nullptr ? static_cast<size_t>(end - d) : strlen(d);
        snprintf(real, sizeof real, "%.*s/%s", static_cast<int>(n), d, tool);
        if (access(real, X_OK) == 0) break;
        real[0] = '\0';
        if (end == nullptr) break;
        d = end + 1;
    }
    int code = 127;
    if (real[0] != '\0') {
        pid_t pid = fork();
        if (pid == 0) {
            argv[0] = real;  // the fakes find their library next to $0
            execv(real, argv);
            _exit(127);
        }
        int status = 0;
        pid_t w = -1;
        if (pid > 0) {
            while ((w = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
            }
        }
        if (w == pid) code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else {
        fprintf(stderr, "%s: command not found\n", tool);
    }
    char num[16];
    snprintf(num, sizeof num, "%d", code);
    line.stamp("end", tool);
    line.separator();
    line.add(num);
    line.write_to(calls);
    return code;
}
