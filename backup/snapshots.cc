// The frozen snapshot set and its clean-up on signals.
//
// Order of a set: freeze, every lvcreate one after the other, thaw, and only
// then any rollback, so the guest stays frozen no longer than the snapshot
// commands take.
#include "backup/snapshots.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "common/child.h"
#include "common/log.h"
#include "common/runner.h"
#include "common/signals.h"
#include "common/text.h"

cleanup_registry g_cleanup;

uint32_t snapshot_retry_delay_ms = 1000;
uint32_t snapshot_device_poll_ms = 100;
uint32_t cleanup_agent_grace_polls = 50;

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

// qm refuses a guest command before sending it when the VM or its agent
// does not run (or none is configured): then nothing was frozen and no
// thaw is due. An answer of the agent itself (its error object) or a time
// out may have come after a freeze, and gets its thaw.
bool refused_without_freezing(const char *vmid, const char *freeze_msg)
{
    char not_running[96];
    snprintf(not_running, sizeof not_running, "VM %s is not running", vmid);
    const char *output = strstr(freeze_msg, " failed: ");
    return output != nullptr && !carries_agent_error(output) &&
           (strstr(output, "QEMU guest agent is not running") != nullptr ||
            strstr(output, "No QEMU guest agent configured") != nullptr || strstr(output, not_running) != nullptr);
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

// Async-signal-safe: a child that drops our descriptors and runs argv; the
// parent waits under a 120 s alarm whose default action ends the program.
void run_and_wait_in_handler(const char *const *argv)
{
    pid_t pid = start_child_in_handler(argv);
    if (pid < 0)
        return;
    alarm(120);
    (void)wait_child(pid);
    alarm(0);
}

void rollback_taken(const snapshot_set *set, uint64_t taken, const char *context)
{
    for (uint64_t i = 0; i < taken; i++) {
        g_cleanup.created[i] = 0;
        char removal_msg[256];
        if (remove_snapshot(set->rows[i].vg_name, set->rows[i].snapshot_lv_name, removal_msg,
                            sizeof removal_msg) != 0)
            log_write(LOG_LEVEL_WARN, "snapshot %s/%s still exists after %s: remove it manually (%s)",
                      set->rows[i].vg_name, set->rows[i].snapshot_lv_name, context, removal_msg);
    }
}

// The handler's step 1: SIGTERM to the running agent's group and to the
// agent, a grace time of polls 100 ms apart, then SIGKILL and a blocking
// wait. Async-signal-safe.
void stop_agent_in_handler()
{
    pid_t agent = g_cleanup.agent_pid;
    if (agent <= 0)
        return;
    g_cleanup.agent_pid = 0;
    kill(-agent, SIGTERM);
    kill(agent, SIGTERM);
    for (uint32_t poll = 0; poll <= cleanup_agent_grace_polls; poll++) {
        int status;
        pid_t got = waitpid(agent, &status, WNOHANG);
        if (got == agent || (got < 0 && errno == ECHILD))
            return;
        if (poll < cleanup_agent_grace_polls) {
            struct timespec ts = {0, 100000000L};
            nanosleep(&ts, nullptr);
        }
    }
    kill(-agent, SIGKILL);
    kill(agent, SIGKILL);
    (void)wait_child(agent);
}

// The handler's step 4: every snapshot the run owns, in index order, and
// the one whose lvcreate was under way. Async-signal-safe.
void remove_snapshots_in_handler()
{
    int32_t in_flight = g_cleanup.creating;
    g_cleanup.creating = 0;
    for (int i = 0; i < VM_MAX_VOLUMES; i++) {
        if (!g_cleanup.created[i])
            continue;
        g_cleanup.created[i] = 0;
        if (i + 1 == in_flight)
            in_flight = 0;
        const char *argv[] = {"lvremove", "-f", "-y", g_cleanup.snapshot_names[i], nullptr};
        run_and_wait_in_handler(argv);
    }
    if (in_flight == 0)
        return;

    // A snapshot whose lvcreate was still running would outlive the run and
    // make the next backup of the VM fail on its name. Give the command the
    // agent's grace time to finish (its child is the only one now), then
    // remove whatever it made; lvremove of a name that never came to be
    // fails harmlessly.
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
    const char *argv[] = {"lvremove", "-f", "-y", g_cleanup.snapshot_names[in_flight - 1], nullptr};
    run_and_wait_in_handler(argv);
}

// The registry of a new set: nothing frozen, created or running yet, no
// secret file, and the thaw command naming the VM.
void reset_registry(const char *vmid)
{
    g_cleanup.frozen = 0;
    snprintf(g_cleanup.thaw_vmid, sizeof g_cleanup.thaw_vmid, "%s", vmid);
    g_cleanup.thaw_argv[0] = "qm";
    g_cleanup.thaw_argv[1] = "guest";
    g_cleanup.thaw_argv[2] = "cmd";
    g_cleanup.thaw_argv[3] = g_cleanup.thaw_vmid;
    g_cleanup.thaw_argv[4] = "fsfreeze-thaw";
    g_cleanup.thaw_argv[5] = nullptr;
    for (int i = 0; i < VM_MAX_VOLUMES; i++)
        g_cleanup.created[i] = 0;
    g_cleanup.creating = 0;
    g_cleanup.agent_pid = 0;
    g_cleanup.secret_file.armed = 0;
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
        // The name is known before lvcreate runs, so that an interrupt
        // during the command can still remove what it leaves behind.
        char name[128];
        snapshot_lv_name(disks->rows[i].lv.lv_name, name, sizeof name);
        snprintf(g_cleanup.snapshot_names[i], sizeof g_cleanup.snapshot_names[i], "%s/%s",
                 disks->rows[i].lv.vg_name, name);
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
    const char *argv[] = {"qm", "guest", "cmd", vmid, command, nullptr};
    char output[512];
    command_result result;
    if (run_pve_tool(argv, time_limit, output, sizeof output, &result, msg, msg_size) != 0)
        return -1;
    trim_trailing_space(output);
    if (result.timed_out) {
        snprintf(msg, msg_size, "qm guest cmd %s %s timed out after %u s", vmid, command, time_limit);
        return -1;
    }
    if (result.exit_code == 0 && !carries_agent_error(output))
        return 0;
    flatten_lines(output);
    snprintf(msg, msg_size, "qm guest cmd %s %s failed: %s", vmid, command,
             output[0] != '\0' ? output : "unknown error");
    return -1;
}

int32_t remove_snapshot(const char *vg_name, const char *snap_name, char *msg, size_t msg_size)
{
    if (msg_size > 0)
        msg[0] = '\0';
    char name[300];
    snprintf(name, sizeof name, "%s/%s", vg_name, snap_name);
    const char *argv[] = {"lvremove", "-f", "-y", name, nullptr};
    char output[512] = "";
    for (int attempt = 1; attempt <= 5; attempt++) {
        command_result result;
        int32_t rc = run_command(argv, 60, output, sizeof output, &result);
        if (rc == 0 && result.exit_code == 0)
            return 0;
        if (attempt < 5)
            sleep_ms(snapshot_retry_delay_ms);
    }
    trim_trailing_space(output);
    snprintf(msg, msg_size, "lvremove %s failed: %.400s", name,
             output[0] != '\0' ? output : "unknown error");
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

    char name[300];
    snprintf(name, sizeof name, "%s/%s", vg_name, snap_name);
    const char *remove_argv[] = {"lvremove", "-f", "-y", name, nullptr};
    char remove_out[1024];
    command_result remove_result;
    run_command(remove_argv, 60, remove_out, sizeof remove_out, &remove_result);
    snprintf(msg, msg_size, "the snapshot device of %s did not appear", name);
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

    stop_agent_in_handler();
    removal_slot_fire(&g_cleanup.secret_file);
    if (g_cleanup.frozen) {
        g_cleanup.frozen = 0;
        run_and_wait_in_handler(g_cleanup.thaw_argv);
    }
    remove_snapshots_in_handler();

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

    reset_registry(vmid);
    handler_until_taken handler;

    // The guest agent may complete a freeze after qm gave up on it, so the
    // guest counts as frozen from the moment the command is sent.
    bool freeze = params->skip_freeze == 0;
    g_cleanup.frozen = freeze ? 1 : 0;
    char freeze_msg[512];
    if (freeze && guest_fsfreeze(vmid, "fsfreeze-freeze", timeout, freeze_msg, sizeof freeze_msg) != 0) {
        g_cleanup.frozen = 0;
        set->freeze_failed = 1;
        char thaw_msg[256];
        if (!refused_without_freezing(vmid, freeze_msg) &&
            guest_fsfreeze(vmid, "fsfreeze-thaw", timeout, thaw_msg, sizeof thaw_msg) != 0)
            log_write(LOG_LEVEL_WARN, "VM %s: %s (the guest may still be frozen -- check manually)",
                      vmid, thaw_msg);
        snprintf(msg, msg_size, "%s", freeze_msg);
        return -1;
    }
    struct timespec window_start;
    clock_gettime(CLOCK_MONOTONIC, &window_start);

    char failure[512] = "";
    uint64_t taken = take_snapshots(disks, tag, size_text, set, failure, sizeof failure);

    g_cleanup.frozen = 0;
    char thaw_msg[256];
    int32_t thawed = freeze ? guest_fsfreeze(vmid, "fsfreeze-thaw", timeout, thaw_msg, sizeof thaw_msg) : 0;
    struct timespec window_end;
    clock_gettime(CLOCK_MONOTONIC, &window_end);
    if (thawed != 0)
        log_write(LOG_LEVEL_ERROR, "VM %s: %s (the guest may still be frozen -- check manually)",
                  vmid, thaw_msg);

    if (taken == set->count) {
        set->window_seconds = monotonic_seconds_between(window_start, window_end);
        if (freeze)
            log_write(LOG_LEVEL_INFO,
                      "VM %s: consistency window (guest quiesced until thawed): %.2f s over %zu disk(s)",
                      vmid, set->window_seconds, static_cast<size_t>(set->count));
        handler.keep();
        return 0;
    }

    rollback_taken(set, taken, "a rollback");
    snprintf(msg, msg_size, "%s", failure);
    return -1;
}
