// Starting a child process: the one way the programs start another program
// (the runner's tools, the agent and restore-tool runs, the clean-up
// handler's thaw and lvremove).
//
// A signal may arrive at any moment, and until the child has a process
// group of its own it shares ours, so a Ctrl-C reaches it too. The child is
// a copy of us with our handlers installed: a handler run there would thaw
// the guest or remove snapshots a second time, racing the parent. So every
// signal is blocked across the fork; the child sets up its process group,
// descriptors and environment, puts every handler back to the default
// action (an ignored signal stays ignored, as exec keeps it), and only then
// unblocks signals and executes the program. A signal that arrived in
// between then takes its default action, as it would have in the program.
//
// Usage:
//     child_setup setup;
//     setup.argv = argv;            // argv[0] is looked up on PATH
//     setup.own_group = true;       // out of reach of a terminal's Ctrl-C
//     pid_t pid = start_child(setup);
//     int32_t code = wait_child(pid);
// Capturing output: pass a pipe's write end as output_fd (the pipe made
// close-on-exec) and read the other end; a time limit is the caller's wait
// loop, as run_command (common/runner.h) does it.
#pragma once
#include <sys/types.h>

#include <cstdint>

struct child_setup {
    const char *const *argv = nullptr;  // null-terminated; element 0 is looked up on PATH
    int output_fd = -1;                 // >= 0: becomes the child's standard output and
                                        // error; otherwise both are inherited
    int input_fd = -1;                  // >= 0: becomes the child's standard input;
                                        // otherwise it is inherited
    bool own_group = false;             // the child leads a process group of its own
    bool clear_signal_mask = false;     // the program starts with no signal blocked;
                                        // otherwise with the caller's mask
    const char *const *env = nullptr;   // "NAME=value" texts set in the child only,
                                        // null-terminated; nullptr for none
    // Called in the parent with the new pid while signals are still
    // blocked, so that a handler that must know the child (to stop it) can
    // never miss it. Optional.
    void (*started)(pid_t pid, void *ctx) = nullptr;
    void *started_ctx = nullptr;
    // How the process is made: fork when nullptr. Tests pass one that fails.
    pid_t (*make_process)() = nullptr;
};

// Every program runs in the C locale: the child's environment is ours with
// LC_ALL=C, without LANGUAGE, and with setup.env on top. The host tools'
// answers are parsed, and a locale the host lacks makes Perl (qm, pvesm,
// pvesh) print warnings in front of them.
//
// Starts the program. Returns the child's pid, or -1 with errno set when no
// process could be created. A program that cannot be executed ends the
// child with status 127.
pid_t start_child(const child_setup &setup);

// The same from inside a signal handler, with async-signal-safe calls only:
// the child leads a process group of its own (a second Ctrl-C at the
// terminal must not end the clean-up's thaw or lvremove), closes
// descriptors 3 to 1023 and starts with no signal blocked; output_fd >= 0
// becomes its standard output and error. Returns the pid or -1.
pid_t start_child_in_handler(const char *const *argv, int output_fd = -1);

// From inside a signal handler: starts argv with start_child_in_handler
// and waits for it under an alarm of alarm_seconds, whose default action
// ends the program should the child hang. Returns its exit status, or -1.
// Async-signal-safe.
int32_t run_in_handler(const char *const *argv, unsigned alarm_seconds);

// A descriptor that becomes readable when the child ends, so a wait loop
// that also does other things (reads output, keeps a time) notices the
// end at once; -1 where the kernel has none (the loop then looks again
// after short sleeps). The caller closes it.
int open_child_pidfd(pid_t pid);

// Waits for the child, retrying interrupted waits. Returns its exit status
// (0..255), or -1 when it ended by a signal or could not be waited for.
// Async-signal-safe.
int32_t wait_child(pid_t pid);

// Starts a copy of this process that runs fn(ctx) instead of a program
// and ends with its result (0..255) by _exit, after flushing its stdio
// streams: a step that must run in a process of its own with all the
// program has set up (a VM's run in a node-wide backup). The child comes
// into being as start_child's do: every signal blocked across the fork,
// every handler back to its default, then the mask of the setup; its
// output_fd, input_fd, own_group, clear_signal_mask and started apply,
// argv and env are not used. The parent's stdio streams are flushed
// first. Returns the child's pid, or -1 with errno set.
pid_t start_child_function(const child_setup &setup, int (*fn)(void *ctx), void *ctx);
