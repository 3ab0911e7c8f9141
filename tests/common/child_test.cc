// The child-start routine: what the child inherits (mask, ignored signals,
// environment, group), the parent's view while it starts, failures, and
// the handler's form under a storm of interrupts.
#include "common/child.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tests/support/test_util.h"

namespace {

// What cat finds about itself in /proc: status (masks), stat (process
// group) and environ.
struct child_view {
    int32_t code = -2;
    std::string out;
};

// Everything the pipe's read end gives until every writer closed it; the
// descriptor is closed.
std::string read_to_end(int fd) {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

child_view run_and_read(child_setup setup) {
    const char *argv[] = {"cat", "/proc/self/status", "/proc/self/stat", "/proc/self/environ", nullptr};
    setup.argv = argv;
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    setup.output_fd = fds[1];
    child_view view;
    pid_t pid = start_child(setup);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return view;
    }
    view.out = read_to_end(fds[0]);
    view.code = wait_child(pid);
    return view;
}

// The hexadecimal mask of a "SigBlk:" or "SigIgn:" line of cat's status.
uint64_t status_mask(const std::string &out, const std::string &key) {
    size_t at = out.find(key + ":\t");
    if (at == std::string::npos) return ~0ull;
    return std::stoull(out.substr(at + key.size() + 2, 16), nullptr, 16);
}

uint64_t bit(int sig) { return 1ull << (sig - 1); }

// The process group in the stat line: "<pid> (cat) <state> <ppid> <pgrp> ...".
pid_t process_group(const std::string &out) {
    size_t at = out.find("(cat) ");
    if (at == std::string::npos) return -1;
    int ppid = 0, pgrp = 0;
    char state = 0;
    if (sscanf(out.c_str() + at + 6, "%c %d %d", &state, &ppid, &pgrp) != 3) return -1;
    return pgrp;
}

struct seen_at_start {
    pid_t pid = 0;
    bool interrupts_blocked = false;
};

void note_start(pid_t pid, void *ctx) {
    auto *seen = static_cast<seen_at_start *>(ctx);
    sigset_t now;
    sigprocmask(SIG_BLOCK, nullptr, &now);
    seen->pid = pid;
    seen->interrupts_blocked =
        sigismember(&now, SIGINT) && sigismember(&now, SIGTERM) && sigismember(&now, SIGHUP);
}

TEST(Child, InheritsTheCallersMaskAndIgnoredSignalsAndGetsItsEnvironment) {
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    sigprocmask(SIG_BLOCK, &block, &old);
    struct sigaction ignore, previous;
    memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGUSR2, &ignore, &previous);
    const char *env[] = {"VLT_CHILD_TEST=set", nullptr};

    child_setup setup;
    setup.env = env;
    seen_at_start seen;
    setup.started = note_start;
    setup.started_ctx = &seen;
    child_view kept = run_and_read(setup);
    setup.clear_signal_mask = true;
    setup.own_group = true;
    child_view cleared = run_and_read(setup);

    sigset_t after;
    sigprocmask(SIG_SETMASK, &old, &after);
    sigaction(SIGUSR2, &previous, nullptr);
    EXPECT_FALSE(sigismember(&after, SIGINT)) << "the caller's mask came back";

    ASSERT_EQ(kept.code, 0) << kept.out;
    EXPECT_EQ(status_mask(kept.out, "SigBlk"), bit(SIGUSR1));
    EXPECT_EQ(status_mask(kept.out, "SigIgn") & bit(SIGUSR2), bit(SIGUSR2));
    EXPECT_NE(kept.out.find(std::string("VLT_CHILD_TEST=set") + '\0'), std::string::npos) << kept.out;
    EXPECT_EQ(nullptr, getenv("VLT_CHILD_TEST"));
    EXPECT_EQ(process_group(kept.out), getpgrp());

    ASSERT_EQ(cleared.code, 0) << cleared.out;
    EXPECT_EQ(status_mask(cleared.out, "SigBlk"), 0u);
    ASSERT_GT(seen.pid, 0);
    EXPECT_TRUE(seen.interrupts_blocked) << "the parent learnt the pid with signals still open";
    EXPECT_EQ(process_group(cleared.out), seen.pid);
}

// Every program starts in the C locale: LC_ALL=C, no LANGUAGE, the rest of
// our environment as it is, and setup.env on top; ours is left alone.
TEST(Child, EveryProgramRunsInTheCLocaleWithTheRestOfOurEnvironment) {
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    setenv("LANGUAGE", "de:en", 1);
    setenv("LANG", "de_DE.UTF-8", 1);
    setenv("VLT_CHILD_KEPT", "kept", 1);
    setenv("VLT_CHILD_REPLACED", "ours", 1);
    const char *env[] = {"VLT_CHILD_REPLACED=theirs", nullptr};
    child_setup setup;
    setup.env = env;
    child_view plain = run_and_read(setup);

    // The signal handler's form builds the same environment.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        const char *argv[] = {"cat", "/proc/self/environ", nullptr};
        _exit(wait_child(start_child_in_handler(argv)) == 0 ? 0 : 1);
    }
    close(fds[1]);
    std::string handler_env = read_to_end(fds[0]);
    EXPECT_EQ(wait_child(pid), 0);

    EXPECT_STREQ(getenv("LC_ALL"), "de_DE.UTF-8");
    EXPECT_STREQ(getenv("LANGUAGE"), "de:en");
    EXPECT_STREQ(getenv("VLT_CHILD_REPLACED"), "ours");
    unsetenv("LC_ALL");
    unsetenv("LANGUAGE");
    unsetenv("LANG");
    unsetenv("VLT_CHILD_KEPT");
    unsetenv("VLT_CHILD_REPLACED");

    ASSERT_EQ(plain.code, 0) << plain.out;
    for (const std::string *text : {&plain.out, &handler_env}) {
        EXPECT_NE(text->find(std::string("LC_ALL=C") + '\0'), std::string::npos) << *text;
        EXPECT_EQ(text->find("LC_ALL=de_DE"), std::string::npos) << *text;
        EXPECT_EQ(text->find("LANGUAGE="), std::string::npos) << *text;
        EXPECT_NE(text->find(std::string("LANG=de_DE.UTF-8") + '\0'), std::string::npos) << *text;
        EXPECT_NE(text->find(std::string("VLT_CHILD_KEPT=kept") + '\0'), std::string::npos) << *text;
    }
    EXPECT_NE(plain.out.find(std::string("VLT_CHILD_REPLACED=theirs") + '\0'), std::string::npos);
    EXPECT_EQ(plain.out.find("VLT_CHILD_REPLACED=ours"), std::string::npos);
    EXPECT_NE(handler_env.find(std::string("VLT_CHILD_REPLACED=ours") + '\0'), std::string::npos);
}

pid_t failing_fork() {
    errno = EAGAIN;
    return -1;
}

TEST(Child, FailuresToCreateOrToExecute) {
    child_setup setup;
    const char *missing[] = {"vlt-no-such-program", nullptr};
    setup.argv = missing;
    pid_t pid = start_child(setup);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(wait_child(pid), 127);

    const char *killed[] = {"sh", "-c", "kill -TERM $$", nullptr};
    setup.argv = killed;
    EXPECT_EQ(wait_child(start_child(setup)), -1);

    setup.make_process = failing_fork;
    errno = 0;
    EXPECT_EQ(start_child(setup), -1);
    EXPECT_EQ(errno, EAGAIN);
}

// The clean-up handler starts its thaw and lvremove with the handler's form.
TEST(Child, HandlerFormUnderInterruptsNeverRunsTheHandlerInTheChild) {
    std::string why;
    int runs = vlt_test::handler_runs_in_children(
        [] {
            const char *argv[] = {"true", nullptr};
            for (int i = 0; i < 150; i++) (void)wait_child(start_child_in_handler(argv));
        },
        &why);
    ASSERT_GE(runs, 0) << why;
    EXPECT_EQ(runs, 0) << "the handler ran in " << runs << " child(ren) before they started their program";
}

}  // namespace

namespace {

void count_interrupt(int) {}

// A second Ctrl-C reaches the whole foreground process group: the clean-up
// handler's thaw or lvremove must not die of it half way, and its output
// can be read.
TEST(Child, HandlerFormOutlivesAnInterruptOfTheCallersGroupAndHandsOverItsOutput) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t helper = fork();
    if (helper == 0) {
        close(fds[0]);
        setpgid(0, 0);
        signal(SIGINT, count_interrupt);  // the helper lives on; its children get the default
        int out[2];
        if (pipe(out) != 0) _exit(3);
        const char *argv[] = {"sh", "-c", "sleep 0.3; echo thawed; exit 7", nullptr};
        pid_t child = start_child_in_handler(argv, out[1]);
        close(out[1]);
        kill(0, SIGINT);
        char buf[32] = "";
        ssize_t n = read(out[0], buf, sizeof buf - 1);
        int32_t code = wait_child(child);
        std::string report = std::to_string(code) + " " + std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
        (void)!write(fds[1], report.data(), report.size());
        _exit(0);
    }
    close(fds[1]);
    std::string report = read_to_end(fds[0]);
    int status = 0;
    waitpid(helper, &status, 0);
    EXPECT_EQ(report, "7 thawed\n");
}

// A function of ours run as a child: its result is the exit status, its
// standard output goes where the setup says, what the parent had buffered
// is written once (by the parent), and the child's handlers are the
// defaults whatever the parent installed.
int report_in_child(void *ctx) {
    const char *word = static_cast<const char *>(ctx);
    struct sigaction now;
    sigaction(SIGTERM, nullptr, &now);
    printf("child %s %s", word, now.sa_handler == SIG_DFL ? "default" : "inherited");
    return 42;
}

void ignore_signal(int) {}

TEST(Child, AFunctionRunsInAChildWithItsOwnOutputAndStatus) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    struct sigaction handler, before;
    memset(&handler, 0, sizeof handler);
    handler.sa_handler = ignore_signal;
    sigaction(SIGTERM, &handler, &before);
    vlt_test::fd_capture out(1);
    printf("parent buffered;");  // not yet flushed when the child is made
    child_setup setup;
    setup.output_fd = fds[1];
    char word[] = "ran";
    pid_t pid = start_child_function(setup, report_in_child, word);
    close(fds[1]);
    ASSERT_GT(pid, 0);
    std::string got;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    EXPECT_EQ(wait_child(pid), 42);
    fflush(stdout);
    sigaction(SIGTERM, &before, nullptr);
    EXPECT_EQ(got, "child ran default");
    EXPECT_EQ(out.text(), "parent buffered;");
}

// The tool's standard input is the descriptor given; the parent's own
// standard input is left alone.
TEST(Child, InputDescriptorBecomesTheStandardInput) {
    int in[2], out[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(write(in[1], "mail text\n", 10), 10);
    close(in[1]);
    const char *argv[] = {"cat", nullptr};
    child_setup setup;
    setup.argv = argv;
    setup.input_fd = in[0];
    setup.output_fd = out[1];
    pid_t pid = start_child(setup);
    close(in[0]);
    close(out[1]);
    ASSERT_GT(pid, 0);
    char buf[64] = "";
    ssize_t n = read(out[0], buf, sizeof buf - 1);
    close(out[0]);
    EXPECT_EQ(wait_child(pid), 0);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "mail text\n");
}

}  // namespace
