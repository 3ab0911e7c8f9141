// The frozen snapshot set and its clean-up on signals.
//
// Order of a set: freeze, every lvcreate one after the other, thaw, and only
// then any rollback, so the guest stays frozen no longer than the snapshot
// commands take.
#include "backup/snapshots.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "backup/activation.h"
#include "backup/run_journal.h"
#include "common/child.h"
#include "common/log.h"
#include "common/runner.h"
#include "common/signals.h"
#include "common/text.h"

cleanup_registry g_cleanup;

uint32_t snapshot_retry_delay_ms = 1000;
uint32_t snapshot_device_poll_ms = 100;
uint32_t cleanup_agent_grace_polls = 50;
uint32_t thaw_confirm_deadline_ms = 60000;
uint32_t thaw_poll_interval_ms = 1000;

namespace {

const int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};

void sleep_ms(uint32_t ms)
{
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// The guest agent's error object is pretty-printed over several lines; a
// log line is one line, so line breaks and the indentation after them
// become a single blank.
void flatten_lines(char *text)
{
    char *out = text;
    for (const char *in = text; *in != '\0'; in++) {
        if (*in == '\n' || *in == '\r') {
            while (out > text && (out[-1] == ' ' || out[-1] == '\t'))
                out--;
            while (in[1] == ' ' || in[1] == '\t' || in[1] == '\n' || in[1] == '\r')
                in++;
            *out++ = ' ';
        } else {
            *out++ = *in;
        }
    }
    *out = '\0';
}

bool is_block_device(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISBLK(st.st_mode);
}

// qm guest cmd exits 0 when the guest agent itself refused the command, and
// prints a JSON object with an "error" member instead of a number.
bool carries_agent_error(const char *output)
{
    const char *pos = output;
    while ((pos = strstr(pos, "\"error\"")) != nullptr) {
        const char *after = pos + 7;
        while (*after == ' ' || *after == '\t' || *after == '\n' || *after == '\r')
            after++;
        if (*after == ':')
            return true;
        pos = after;
    }
    return false;
}

// Appends a name as device-mapper spells it under /dev/mapper: every "-"
// doubled, so the single "-" between VG and LV stays unambiguous.
void append_dm_escaped(char *out, size_t out_size, size_t *used, const char *name)
{
    for (const char *c = name; *c != '\0'; c++) {
        int reps = *c == '-' ? 2 : 1;
        for (int r = 0; r < reps; r++) {
            if (*used + 1 < out_size)
                out[(*used)++] = *c;
        }
    }
    out[*used] = '\0';
}

double monotonic_seconds_between(const struct timespec &start, const struct timespec &end)
{
    return static_cast<double>(end.tv_sec - start.tv_sec) +
           static_cast<double>(end.tv_nsec - start.tv_nsec) / 1000000000.0;
}

int signal_index(int sig)
{
    if (sig == SIGINT)
        return 0;
    if (sig == SIGTERM)
        return 1;
    return 2;
}

uint64_t now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void rollback_taken(const snapshot_set *set, uint64_t taken, const char *context)
{
    for (uint64_t i = 0; i < taken; i++) {
        g_cleanup.created[i] = 0;
        char removal_msg[256];
        if (release_snapshot(i, set->rows[i], removal_msg, sizeof removal_msg) != 0)
            log_write(LOG_LEVEL_WARN, "snapshot %s/%s still exists after %s: remove it manually (%s)",
                      set->rows[i].vg_name, set->rows[i].snapshot_lv_name, context, removal_msg);
    }
}

// SIGTERM to a child's group and to the child, a grace time of polls
// 100 ms apart, then SIGKILL and a blocking wait. Async-signal-safe.
void stop_child_in_handler(pid_t child)
{
    kill(-child, SIGTERM);
    kill(child, SIGTERM);
    for (uint32_t poll = 0; poll <= cleanup_agent_grace_polls; poll++) {
        int status;
        pid_t got = waitpid(child, &status, WNOHANG);
        if (got == child || (got < 0 && errno == ECHILD))
            return;
        if (poll < cleanup_agent_grace_polls) {
            struct timespec ts = {0, 100000000L};
            nanosleep(&ts, nullptr);
        }
    }
    kill(-child, SIGKILL);
    kill(child, SIGKILL);
    (void)wait_child(child);
}

// The handler's first steps: the running agent, and the qm guest command
// the main flow was waiting for (a freeze that a thaw of ours could only
// race). Async-signal-safe.
void stop_children_in_handler()
{
    pid_t agent = g_cleanup.agent_pid;
    if (agent > 0) {
        g_cleanup.agent_pid = 0;
        stop_child_in_handler(agent);
    }
    pid_t guest_cmd = g_cleanup.guest_cmd_pid;
    if (guest_cmd > 0) {
        g_cleanup.guest_cmd_pid = 0;
        stop_child_in_handler(guest_cmd);
    }
}

// Every snapshot the run owns, in index order, and the one whose lvcreate
// was under way. True when every owned one was removed. Async-signal-safe.
bool remove_snapshots_in_handler()
{
    bool all_removed = true;
    int32_t in_flight = g_cleanup.creating;
    g_cleanup.creating = 0;
    int32_t removing = g_cleanup.removing;
    g_cleanup.removing = 0;
    for (int i = 0; i < VM_MAX_VOLUMES; i++) {
        if (!g_cleanup.created[i])
            continue;
        g_cleanup.created[i] = 0;
        if (i + 1 == in_flight)
            in_flight = 0;
        if (release_snapshot_in_handler(static_cast<size_t>(i), g_cleanup.snapshot_names[i]) != 0)
            all_removed = false;
    }
    if (in_flight == 0 && removing == 0)
        return all_removed;

    // A snapshot whose lvcreate was still running would outlive the run and
    // make the next backup of the VM fail on its name; one whose lvremove
    // was cut short by the signal would stay. Give the command the agent's
    // grace time to finish (its child is the only one now), then remove
    // whatever is left; lvremove of a name that is gone fails harmlessly
    // (and the next run finds one that stayed by its name).
    for (uint32_t poll = 0; poll <= cleanup_agent_grace_polls; poll++) {
        int status;
        pid_t got = waitpid(-1, &status, WNOHANG);
        if (got > 0)
            continue;  // reaped one; look again at once
        if (got < 0 && errno != EINTR)
            break;  // no child left
        struct timespec ts = {0, 100000000L};
        nanosleep(&ts, nullptr);
    }
    const int32_t pending_ones[] = {in_flight, removing};
    for (int32_t pending : pending_ones)
        if (pending != 0)
            (void)release_snapshot_in_handler(static_cast<size_t>(pending - 1), g_cleanup.snapshot_names[pending - 1]);
    return all_removed;
}

// The registry of a new set: nothing frozen, created or running yet, no
// secret file, and the guest commands naming the VM.
void reset_registry(const char *vmid, uint32_t guest_cmd_limit)
{
    g_cleanup.frozen = 0;
    snprintf(g_cleanup.thaw_vmid, sizeof g_cleanup.thaw_vmid, "%s", vmid);
    g_cleanup.guest_cmd_limit = guest_cmd_limit;
    for (int i = 0; i < VM_MAX_VOLUMES; i++)
        g_cleanup.created[i] = 0;
    g_cleanup.creating = 0;
    g_cleanup.removing = 0;
    g_cleanup.agent_pid = 0;
    g_cleanup.guest_cmd_pid = 0;
    g_cleanup.secret_file.armed = 0;
    g_cleanup.config_file.armed = 0;
}

// What one qm guest cmd answered.
struct guest_answer {
    int32_t started;     // qm could be started
    int32_t exit_code;   // -1 when it ended by a signal
    int32_t timed_out;
    uint32_t limit;      // the time limit it had, in seconds
    char text[512];      // its output, trailing white space removed
};

// Runs qm guest cmd <vmid> <command> and fills the answer; the main flow's
// way and the signal handler's.
typedef void (*guest_runner)(const char *vmid, const char *command, uint32_t limit, guest_answer *answer);

// The pid of a guest command reaches the handler before any signal can be
// handled, so that an interrupt ends it before thawing; a freeze also
// reaches the journal, so that the next run can end it if we die.
void register_guest_cmd(pid_t pid, void *)
{
    g_cleanup.guest_cmd_pid = pid;
}

void register_freeze(pid_t pid, void *ctx)
{
    register_guest_cmd(pid, ctx);
    journal_child("qm", pid);
}

void run_guest_cmd_registered(const char *vmid, const char *command, uint32_t limit, guest_answer *answer,
                              void (*started)(pid_t, void *))
{
    const char *argv[] = {"qm", "guest", "cmd", vmid, command, nullptr};
    command_result result;
    int32_t rc = run_command_watched(argv, limit, answer->text, sizeof answer->text, &result, started, nullptr);
    g_cleanup.guest_cmd_pid = 0;
    answer->started = rc == 0 && result.exit_code != 127;
    answer->exit_code = result.exit_code;
    answer->timed_out = result.timed_out;
    answer->limit = limit;
    trim_trailing_space(answer->text);
}

void run_guest_cmd(const char *vmid, const char *command, uint32_t limit, guest_answer *answer)
{
    run_guest_cmd_registered(vmid, command, limit, answer, register_guest_cmd);
}

// The handler's way: async-signal-safe only. The output is read through a
// pipe; a command past its limit is killed.
void run_guest_cmd_in_handler(const char *vmid, const char *command, uint32_t limit, guest_answer *answer)
{
    answer->started = 0;
    answer->exit_code = -1;
    answer->timed_out = 0;
    answer->limit = limit;
    answer->text[0] = '\0';
    const char *argv[] = {"qm", "guest", "cmd", vmid, command, nullptr};
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    pid_t pid = start_child_in_handler(argv, fds[1]);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return;
    }
    size_t used = 0;
    bool open = true;
    int status = 0;
    bool reaped = false;
    uint64_t deadline = now_ms() + static_cast<uint64_t>(limit) * 1000u;
    for (;;) {
        if (open) {
            struct pollfd pfd = {fds[0], POLLIN, 0};
            if (poll(&pfd, 1, 20) > 0) {
                char scratch[256];
                bool room = used + 1 < sizeof answer->text;
                ssize_t n = room ? read(fds[0], answer->text + used, sizeof answer->text - 1 - used)
                                 : read(fds[0], scratch, sizeof scratch);
                if (n > 0 && room)
                    used += static_cast<size_t>(n);
                else if (n == 0 || (n < 0 && errno != EINTR))
                    open = false;
            }
        } else {
            struct timespec ts = {0, 20000000L};
            nanosleep(&ts, nullptr);
        }
        pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid) {
            reaped = true;
            break;
        }
        if (got < 0 && errno != EINTR)
            break;
        if (now_ms() >= deadline) {
            answer->timed_out = 1;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            while ((got = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
            }
            reaped = got == pid;
            break;
        }
    }
    // What the child wrote just before it ended.
    int flags = fcntl(fds[0], F_GETFL);
    if (open && flags >= 0 && fcntl(fds[0], F_SETFL, flags | O_NONBLOCK) == 0) {
        ssize_t n;
        while (used + 1 < sizeof answer->text &&
               (n = read(fds[0], answer->text + used, sizeof answer->text - 1 - used)) > 0)
            used += static_cast<size_t>(n);
    }
    close(fds[0]);
    answer->text[used] = '\0';
    while (used > 0 && (answer->text[used - 1] == '\n' || answer->text[used - 1] == ' ' ||
                        answer->text[used - 1] == '\t' || answer->text[used - 1] == '\r'))
        answer->text[--used] = '\0';
    answer->started = 1;
    if (reaped && WIFEXITED(status))
        answer->exit_code = WEXITSTATUS(status);
    if (answer->exit_code == 127)
        answer->started = 0;
}

// The agent carried the command out: qm exited 0 without the agent's error
// object. Async-signal-safe.
bool answer_ok(const guest_answer &answer)
{
    return answer.started && answer.exit_code == 0 && !answer.timed_out && !carries_agent_error(answer.text);
}

// The last line of an answer: Perl's locale warnings may come before it.
const char *last_line(const char *text)
{
    const char *newline = strrchr(text, '\n');
    return newline != nullptr ? newline + 1 : text;
}

// A freeze or thaw the agent carried out: it answers the number of file
// systems it froze or thawed. Anything else with status 0 (an empty line,
// stray bytes) is no answer of the agent's, and the guest's state is
// unknown. Async-signal-safe.
bool counted_answer_ok(const guest_answer &answer)
{
    if (!answer_ok(answer))
        return false;
    const char *word = last_line(answer.text);
    if (*word == '\0')
        return false;
    for (const char *p = word; *p != '\0'; p++)
        if (*p < '0' || *p > '9')
            return false;
    return true;
}

// Proxmox refused the command because the guest cannot be frozen at all:
// no agent is configured, or the VM does not run (a stopped guest's file
// systems are not frozen). Async-signal-safe.
bool cannot_be_frozen(const guest_answer &answer, const char *vmid)
{
    if (!answer.started || answer.exit_code == 0 || answer.timed_out)
        return false;
    if (strstr(answer.text, "No QEMU guest agent configured") != nullptr)
        return true;
    char stopped[96] = "VM ";
    strncat(stopped, vmid, 64);
    strncat(stopped, " is not running", sizeof stopped - strlen(stopped) - 1);
    return strstr(answer.text, stopped) != nullptr;
}

// A freeze that Proxmox refused before sending it to the agent: the guest
// agent's ping failed, or the guest cannot be frozen at all.
bool freeze_never_sent(const guest_answer &answer, const char *vmid)
{
    if (!answer.started)
        return true;
    if (answer.exit_code == 0 || answer.timed_out)
        return false;
    return strstr(answer.text, "QEMU guest agent is not running") != nullptr || cannot_be_frozen(answer, vmid);
}

// One message for an answer that was not a success.
void describe_answer(const char *vmid, const char *command, const guest_answer &answer, char *msg, size_t msg_size)
{
    if (!answer.started) {
        put_text(msg, msg_size, "qm is not available (not running on a Proxmox VE host?)");
        return;
    }
    if (answer.timed_out) {
        put_text(msg, msg_size, "qm guest cmd %s %s timed out after %u s", vmid, command, answer.limit);
        return;
    }
    char text[sizeof answer.text];
    memcpy(text, answer.text, sizeof text);
    flatten_lines(text);
    if (answer.exit_code == 0 && !carries_agent_error(text))
        put_text(msg, msg_size, "qm guest cmd %s %s answered '%s'", vmid, command, text);
    else
        put_text(msg, msg_size, "qm guest cmd %s %s failed: %s", vmid, command,
                 text[0] != '\0' ? text : "unknown error");
}

// The thaw loop of thaw_guest_confirmed, for the main flow and the
// handler. True when the guest is thawed or cannot be frozen; false at
// the deadline, with the last failed answer and its command.
// Async-signal-safe when `run` is.
bool confirm_thawed_with(guest_runner run, const char *vmid, uint32_t limit, bool thaw_first, int32_t *thaws,
                         guest_answer *last, const char **last_command)
{
    const uint64_t start = now_ms();
    const uint64_t deadline = thaw_confirm_deadline_ms;
    *thaws = 0;
    *last_command = "fsfreeze-status";
    last->started = 0;
    // Each call gets the freeze timeout, but never much beyond the deadline.
    auto call_limit = [&]() -> uint32_t {
        uint64_t elapsed = now_ms() - start;
        uint64_t left_s = elapsed < deadline ? (deadline - elapsed + 999) / 1000 : 1;
        return static_cast<uint32_t>(left_s < limit ? (left_s > 0 ? left_s : 1) : limit);
    };
    if (thaw_first) {
        *last_command = "fsfreeze-thaw";
        run(vmid, "fsfreeze-thaw", limit, last);
        if (counted_answer_ok(*last)) {
            (*thaws)++;
            return true;
        }
        if (cannot_be_frozen(*last, vmid))
            return true;
    }
    guest_answer status;
    for (;;) {
        bool progressed = false;
        run(vmid, "fsfreeze-status", call_limit(), &status);
        const char *word = last_line(status.text);
        if (answer_ok(status) && strcmp(word, "thawed") == 0)
            return true;
        if (cannot_be_frozen(status, vmid))
            return true;
        if (answer_ok(status) && strcmp(word, "frozen") == 0) {
            *last_command = "fsfreeze-thaw";
            run(vmid, "fsfreeze-thaw", call_limit(), last);
            if (counted_answer_ok(*last)) {
                (*thaws)++;
                progressed = true;  // read the status again at once
            }
        } else {
            *last_command = "fsfreeze-status";
            *last = status;
        }
        uint64_t elapsed = now_ms() - start;
        if (elapsed >= deadline)
            return false;
        if (!progressed) {
            uint64_t pause = deadline - elapsed < thaw_poll_interval_ms ? deadline - elapsed : thaw_poll_interval_ms;
            struct timespec ts;
            ts.tv_sec = static_cast<time_t>(pause / 1000);
            ts.tv_nsec = static_cast<long>(pause % 1000) * 1000000L;
            nanosleep(&ts, nullptr);
        }
    }
}

void install_signal_handlers()
{
    if (g_cleanup.installed)
        return;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = cleanup_on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    for (int i = 0; i < 3; i++)
        sigaction(kSignals[i], &action, &g_cleanup.saved[i]);
    g_cleanup.installed = 1;
}

// The handler stays in force when the set was taken; every other way out
// of create_snapshot_set releases it.
class handler_until_taken {
public:
    handler_until_taken() { install_signal_handlers(); }
    ~handler_until_taken()
    {
        if (!taken_)
            release_signal_handlers();
    }
    handler_until_taken(const handler_until_taken &) = delete;
    handler_until_taken &operator=(const handler_until_taken &) = delete;
    void keep() { taken_ = true; }

private:
    bool taken_ = false;
};

// One snapshot per disk, in order, while the guest is frozen; each is
// registered with the handler once it exists. Stops at the first failure
// with "could not snapshot ..." in failure. Returns the number taken.
uint64_t take_snapshots(const resolved_disk_list *disks, const char *tag, const char *size_text,
                        snapshot_set *set, char *failure, size_t failure_size)
{
    uint64_t count = disks->count < uint64_t{VM_MAX_VOLUMES} ? disks->count : uint64_t{VM_MAX_VOLUMES};
    set->count = count;
    for (uint64_t i = 0; i < count; i++) {
        snapshot_entry &entry = set->rows[i];
        entry.volume = disks->rows[i].volume;
        g_cleanup.creating = static_cast<int32_t>(i) + 1;
        char create_msg[256];
        int32_t created = create_snapshot(&disks->rows[i].lv, tag, size_text, entry.vg_name,
                                          sizeof entry.vg_name, entry.snapshot_lv_name,
                                          sizeof entry.snapshot_lv_name, entry.device_path,
                                          sizeof entry.device_path, create_msg, sizeof create_msg);
        if (created == 0)
            g_cleanup.created[i] = 1;
        g_cleanup.creating = 0;
        if (created != 0) {
            snprintf(failure, failure_size, "could not snapshot %s (%s): %s", entry.volume.slot,
                     entry.volume.volume, create_msg);
            return i;
        }
    }
    return count;
}

// Every snapshot's name, known before the freeze: the journal names them
// all, and an interrupt during an lvcreate can still remove what it left.
void name_snapshots(const resolved_disk_list *disks, uint64_t count)
{
    for (uint64_t i = 0; i < count; i++) {
        char name[128];
        snapshot_lv_name(disks->rows[i].lv.lv_name, name, sizeof name);
        snprintf(g_cleanup.snapshot_names[i], sizeof g_cleanup.snapshot_names[i], "%s/%s",
                 disks->rows[i].lv.vg_name, name);
        note_snapshot_origin(i, disks->rows[i].volume.storage, &disks->rows[i].lv);
    }
}

}  // namespace

void snapshot_lv_name(const char *lv_name, char *out, size_t out_size)
{
    snprintf(out, out_size, "%.100s_vltsnap", lv_name);
}

int32_t parse_snapshot_size(const char *text, const char **option, char *value, size_t value_size)
{
    if (text == nullptr || text[0] == '\0')
        text = "10%";
    const char *p = text;
    while (isspace(static_cast<unsigned char>(*p)))
        p++;
    bool negative = false;
    if (*p == '+') {
        p++;
    } else if (*p == '-') {
        negative = true;
        p++;
    }
    if (!isdigit(static_cast<unsigned char>(*p)))
        return -1;
    unsigned long long number = 0;
    bool overflow = false;
    while (isdigit(static_cast<unsigned char>(*p))) {
        unsigned digit = static_cast<unsigned>(*p - '0');
        if (number > (~0ULL - digit) / 10)
            overflow = true;
        else
            number = number * 10 + digit;
        p++;
    }
    // A minus sign wraps the number past every limit below.
    if (negative || overflow || number == 0)
        return -1;

    if (p[0] == '%' && p[1] == '\0') {
        if (number > 100)
            return -1;
        *option = "-l";
        snprintf(value, value_size, "%llu%%ORIGIN", number);
        return 0;
    }
    char unit;
    if (p[0] == '\0') {
        unit = 'm';
    } else if (p[1] != '\0') {
        return -1;
    } else if (p[0] == 'M' || p[0] == 'm') {
        unit = 'm';
    } else if (p[0] == 'G' || p[0] == 'g') {
        unit = 'g';
    } else if (p[0] == 'T' || p[0] == 't') {
        unit = 't';
    } else {
        return -1;
    }
    if (number > 1000000)
        return -1;
    *option = "-L";
    snprintf(value, value_size, "%llu%c", number, unit);
    return 0;
}

int32_t guest_fsfreeze(const char *vmid, const char *command, uint32_t time_limit, char *msg,
                       size_t msg_size)
{
    if (msg_size > 0)
        msg[0] = '\0';
    guest_answer answer;
    run_guest_cmd(vmid, command, time_limit, &answer);
    if (counted_answer_ok(answer))
        return 0;
    describe_answer(vmid, command, answer, msg, msg_size);
    return -1;
}

int32_t thaw_guest_confirmed(const char *vmid, uint32_t time_limit, bool thaw_first, int32_t *thaws,
                             char *msg, size_t msg_size)
{
    if (msg_size > 0)
        msg[0] = '\0';
    int32_t count = 0;
    guest_answer last;
    const char *command = nullptr;
    bool thawed = confirm_thawed_with(run_guest_cmd, vmid, time_limit, thaw_first, &count, &last, &command);
    if (thaws != nullptr)
        *thaws = count;
    if (thawed)
        return 0;
    char why[600];
    describe_answer(vmid, command, last, why, sizeof why);
    put_text(msg, msg_size, "the guest could not be confirmed thawed within %g s (%s)",
             thaw_confirm_deadline_ms / 1000.0, why);
    return -1;
}

int32_t remove_snapshot(const char *vg_name, const char *snap_name, char *msg, size_t msg_size)
{
    if (msg_size > 0)
        msg[0] = '\0';
    char name[300];
    snprintf(name, sizeof name, "%s/%s", vg_name, snap_name);
    const char *argv[] = {"lvremove", "-f", "-y", name, nullptr};
    // lvremove says so for each volume it removed; status 0 without that
    // line is no removal to count on.
    char removed_line[320];
    snprintf(removed_line, sizeof removed_line, "Logical volume \"%s\" successfully removed", snap_name);
    char output[512] = "";
    bool silent = false;
    for (int attempt = 1; attempt <= 5; attempt++) {
        command_result result;
        int32_t rc = run_command(argv, 60, output, sizeof output, &result);
        silent = rc == 0 && result.exit_code == 0;
        if (silent && strstr(output, removed_line) != nullptr)
            return 0;
        if (attempt < 5)
            sleep_ms(snapshot_retry_delay_ms);
    }
    trim_trailing_space(output);
    if (silent)
        snprintf(msg, msg_size, "lvremove %s ended with status 0 but did not report the volume removed: %.300s",
                 name, output[0] != '\0' ? output : "(no output)");
    else
        snprintf(msg, msg_size, "lvremove %s failed: %.400s", name,
                 output[0] != '\0' ? output : "unknown error");
    journal_snapshot_left();
    return -1;
}

int32_t create_snapshot(const lv_info *origin, const char *tag, const char *size_text,
                        char *vg_name, size_t vg_size, char *snap_name, size_t snap_size,
                        char *device_path, size_t device_size, char *msg, size_t msg_size)
{
    vg_name[0] = '\0';
    snap_name[0] = '\0';
    device_path[0] = '\0';
    if (msg_size > 0)
        msg[0] = '\0';

    snprintf(vg_name, vg_size, "%s", origin->vg_name);
    snapshot_lv_name(origin->lv_name, snap_name, snap_size);

    bool thin = is_thin_lv(origin);
    const char *size_option = nullptr;
    char size_value[32] = "";
    if (!thin && parse_snapshot_size(size_text, &size_option, size_value, sizeof size_value) != 0) {
        snprintf(msg, msg_size, "invalid snapshot size '%s'",
                 size_text != nullptr ? size_text : "(default)");
        return -1;
    }

    char origin_name[300];
    snprintf(origin_name, sizeof origin_name, "%s/%s", origin->vg_name, origin->lv_name);
    const char *thick_argv[] = {"lvcreate", "-s", "-y", "-n", snap_name, size_option, size_value,
                                "--addtag", "vlt_agent", "--addtag", tag, origin_name, nullptr};
    const char *thin_argv[] = {"lvcreate", "-s", "-y", "-kn", "-n", snap_name, "--addtag",
                               "vlt_agent", "--addtag", tag, origin_name, nullptr};
    char output[1024];
    command_result result;
    int32_t rc = run_command(thin ? thin_argv : thick_argv, 120, output, sizeof output, &result);
    if (rc != 0 || result.exit_code != 0) {
        trim_trailing_space(output);
        snprintf(msg, msg_size, "could not create the snapshot of %s: %.400s", origin_name,
                 output[0] != '\0' ? output : "lvcreate failed");
        return -1;
    }

    // A snapshot of an inactive thick origin comes up inactive, without a
    // node: it is activated after the thaw (activate_snapshot).
    if (snapshot_comes_up_inactive(origin))
        return 0;
    if (wait_for_snapshot_device(vg_name, snap_name, device_path, device_size) == 0)
        return 0;

    char name[300];
    snprintf(name, sizeof name, "%s/%s", vg_name, snap_name);
    const char *remove_argv[] = {"lvremove", "-f", "-y", name, nullptr};
    char remove_out[1024];
    command_result remove_result;
    run_command(remove_argv, 60, remove_out, sizeof remove_out, &remove_result);
    snprintf(msg, msg_size, "the snapshot device of %s did not appear", name);
    return -1;
}

int32_t wait_for_snapshot_device(const char *vg_name, const char *snap_name, char *device_path,
                                 size_t device_size)
{
    char by_vg[700];
    snprintf(by_vg, sizeof by_vg, "/dev/%s/%s", vg_name, snap_name);
    char by_mapper[700] = "/dev/mapper/";
    size_t used = strlen(by_mapper);
    append_dm_escaped(by_mapper, sizeof by_mapper, &used, vg_name);
    if (used + 1 < sizeof by_mapper) {
        by_mapper[used++] = '-';  // the separator between the names stays single
        by_mapper[used] = '\0';
    }
    append_dm_escaped(by_mapper, sizeof by_mapper, &used, snap_name);

    for (int check = 1; check <= 100; check++) {
        const char *found = nullptr;
        if (is_block_device(by_vg))
            found = by_vg;
        else if (is_block_device(by_mapper))
            found = by_mapper;
        if (found != nullptr) {
            snprintf(device_path, device_size, "%.299s", found);
            return 0;
        }
        if (check == 100)
            break;
        if (check == 6) {
            const char *settle[] = {"udevadm", "settle", "-t", "5", nullptr};
            char settle_out[128];
            command_result settle_result;
            run_command(settle, 10, settle_out, sizeof settle_out, &settle_result);
        }
        sleep_ms(snapshot_device_poll_ms);
    }
    return -1;
}

void release_signal_handlers()
{
    if (!g_cleanup.installed)
        return;
    for (int i = 0; i < 3; i++)
        sigaction(kSignals[i], &g_cleanup.saved[i], nullptr);
    g_cleanup.installed = 0;
}

void cleanup_on_signal(int sig)
{
    int saved_errno = errno;

    // A second interrupt (a repeated Ctrl-C, a SIGTERM after a SIGINT) must
    // not start a second clean-up inside this one and end the process half
    // way: the other two signals wait until this one has ended it.
    sigset_t others;
    sigemptyset(&others);
    for (int other : kSignals)
        sigaddset(&others, other);
    sigprocmask(SIG_BLOCK, &others, nullptr);

    stop_children_in_handler();
    removal_slot_fire(&g_cleanup.secret_file);
    removal_slot_fire(&g_cleanup.config_file);
    // The thaw goes on until the guest is confirmed thawed or the deadline
    // passes; no alarm cuts it short, and the snapshots come after it.
    bool thawed = true;
    if (g_cleanup.frozen) {
        g_cleanup.frozen = 0;
        int32_t thaws;
        guest_answer last;
        const char *command;
        thawed = confirm_thawed_with(run_guest_cmd_in_handler, g_cleanup.thaw_vmid, g_cleanup.guest_cmd_limit, true,
                                     &thaws, &last, &command);
    }
    bool removed = remove_snapshots_in_handler();
    deactivate_origins_in_handler();
    // Nothing is left for the next run to repair.
    if (thawed && removed)
        journal_remove_in_handler();

    // Then the handler in force before ours (the progress segment's), and
    // the signal's own end of the program.
    pass_signal_on(sig, g_cleanup.saved[signal_index(sig)], cleanup_on_signal, saved_errno);
}

int32_t create_snapshot_set(const char *vmid, const resolved_disk_list *disks,
                            const freeze_params *params, snapshot_set *set, char *msg,
                            size_t msg_size)
{
    memset(set, 0, sizeof *set);
    if (msg_size > 0)
        msg[0] = '\0';

    char check_msg[512];
    if (!require_all_lvm(disks, check_msg, sizeof check_msg)) {
        snprintf(msg, msg_size, "%s", check_msg);
        return -1;
    }

    uint32_t timeout = params->freeze_timeout > 0 ? static_cast<uint32_t>(params->freeze_timeout) : 60;
    const char *size_text = params->snapshot_size;
    const char *tag = (params->tag != nullptr && params->tag[0] != '\0') ? params->tag : "vlt_agent";

    reset_registry(vmid, timeout);
    uint64_t count = disks->count < uint64_t{VM_MAX_VOLUMES} ? disks->count : uint64_t{VM_MAX_VOLUMES};
    name_snapshots(disks, count);
    // A run that dies from here on leaves its state file: the next run
    // learns from it that the guest may be frozen and which snapshots
    // may exist.
    bool freeze = params->skip_freeze == 0;
    if (journal_freezing(freeze, g_cleanup.snapshot_names, count, msg, msg_size) != 0)
        return -1;
    handler_until_taken handler;

    // The guest agent may complete a freeze after qm gave up on it, so the
    // guest counts as frozen from the moment the command is sent until a
    // thaw is confirmed.
    g_cleanup.frozen = freeze ? 1 : 0;
    guest_answer answer{};
    if (freeze) {
        run_guest_cmd_registered(vmid, "fsfreeze-freeze", timeout, &answer, register_freeze);
        journal_child_done();
    }
    if (freeze && !counted_answer_ok(answer)) {
        set->freeze_failed = 1;
        describe_answer(vmid, "fsfreeze-freeze", answer, msg, msg_size);
        // A freeze that qm refused before sending it froze nothing.
        char thaw_msg[768] = "";
        if (freeze_never_sent(answer, vmid) ||
            thaw_guest_confirmed(vmid, timeout, true, nullptr, thaw_msg, sizeof thaw_msg) == 0) {
            g_cleanup.frozen = 0;
            journal_thawed();
        } else {
            set->thaw_unconfirmed = 1;
            log_write(LOG_LEVEL_WARN, "VM %s: %s (the guest may still be frozen -- check manually)", vmid, thaw_msg);
        }
        return -1;
    }
    struct timespec window_start;
    clock_gettime(CLOCK_MONOTONIC, &window_start);

    char failure[512] = "";
    uint64_t taken = take_snapshots(disks, tag, size_text, set, failure, sizeof failure);

    char thaw_msg[768] = "";
    int32_t thawed = freeze ? thaw_guest_confirmed(vmid, timeout, true, nullptr, thaw_msg, sizeof thaw_msg) : 0;
    struct timespec window_end;
    clock_gettime(CLOCK_MONOTONIC, &window_end);
    if (!freeze) {
        // Nothing was sent to the guest: whatever an earlier freeze of the
        // run left stands.
    } else if (thawed == 0) {
        g_cleanup.frozen = 0;
        journal_thawed();
    } else {
        // The handler keeps trying on an interrupt; the run ends with 1.
        set->thaw_unconfirmed = 1;
        log_write(LOG_LEVEL_ERROR, "VM %s: %s (the guest may still be frozen -- check manually)", vmid, thaw_msg);
    }

    if (taken == set->count) {
        set->window_seconds = monotonic_seconds_between(window_start, window_end);
        if (freeze)
            log_write(LOG_LEVEL_INFO,
                      "VM %s: consistency window (guest quiesced until thawed): %.2f s over %zu disk(s)",
                      vmid, set->window_seconds, static_cast<size_t>(set->count));
        // After the thaw: the snapshots that came up inactive.
        if (activate_new_snapshots(disks, set, failure, sizeof failure) == 0) {
            handler.keep();
            return 0;
        }
    }

    rollback_taken(set, taken, "a rollback");
    snprintf(msg, msg_size, "%s", failure);
    return -1;
}
