// The guest's side of a backup's consistency: the run state qm status
// reports, the agent and template settings of the configuration, the lock
// Proxmox puts on a VM during its own operations, and the decision the
// consistency policy makes from them.
#include "backup/vm_state.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "common/log.h"
#include "common/runner.h"
#include "common/text.h"
#include "vmconfig/vm_config.h"

uint32_t vm_status_time_limit = 30;

namespace {

// A configuration value is one line of qm config's output.
constexpr size_t value_size = 1024;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Proxmox's booleans: 1, 0 and the words, in any letter case. 1, 0, or -1
// for anything else.
int parse_boolean(const char *text)
{
    for (const char *yes : {"1", "on", "yes", "true"})
        if (strcasecmp(text, yes) == 0)
            return 1;
    for (const char *no : {"0", "off", "no", "false"})
        if (strcasecmp(text, no) == 0)
            return 0;
    return -1;
}

// [begin, end) without blanks at either end, into out (cut to fit).
void copy_trimmed(const char *begin, const char *end, char *out, size_t out_size)
{
    while (begin < end && is_blank(*begin))
        begin++;
    while (end > begin && is_blank(end[-1]))
        end--;
    copy_cut(out, out_size, begin, static_cast<size_t>(end - begin));
}

// Another program's output in a log line: one line, printable ASCII only.
void printable_one_line(char *text)
{
    for (char *c = text; *c != '\0'; c++) {
        unsigned char u = static_cast<unsigned char>(*c);
        if (*c == '\n' || *c == '\r' || *c == '\t')
            *c = ' ';
        else if (u < 0x20 || u >= 0x7f)
            *c = '?';
    }
}

// A line Perl prints before anything else when the locale is missing:
// "perl: warning: ..." and the indented lines of the same warning.
bool is_locale_warning(const char *line, size_t len)
{
    return (len > 0 && (line[0] == ' ' || line[0] == '\t')) ||
           (len >= 14 && strncmp(line, "perl: warning:", 14) == 0);
}

bool is_state_word(const char *word, size_t len)
{
    if (len == 0 || len >= RUN_STATE_SIZE)
        return false;
    for (size_t i = 0; i < len; i++) {
        char c = word[i];
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
            return false;
    }
    return true;
}

bool config_true(const char *config_text, const char *key)
{
    char value[value_size];
    return vm_config_value(config_text, key, value, sizeof value) && parse_boolean(value) == 1;
}

void refusal_message(const char *vmid, const char *cause, char *msg, size_t msg_size)
{
    put_text(msg, msg_size, "VM %s: cannot freeze the guest (%s): --consistency try backs it up crash-consistent",
             vmid, cause);
}

void plan_as(freeze_plan *plan, freeze_decision decision, const char *reason)
{
    plan->decision = decision;
    put_text(plan->reason, sizeof plan->reason, "%s", reason);
}

}  // namespace

void parse_agent_setting(const char *value, agent_setting *out)
{
    out->enabled = 0;
    out->freeze_fs = 1;
    if (value == nullptr)
        return;
    const char *piece = value;
    while (*piece != '\0') {
        const char *comma = strchr(piece, ',');
        const char *end = comma != nullptr ? comma : piece + strlen(piece);
        const char *eq = static_cast<const char *>(memchr(piece, '=', static_cast<size_t>(end - piece)));
        char key[64] = "enabled";  // the default key: "agent: 1" is "agent: enabled=1"
        char text[value_size];
        if (eq != nullptr)
            copy_trimmed(piece, eq, key, sizeof key);
        copy_trimmed(eq != nullptr ? eq + 1 : piece, end, text, sizeof text);
        int flag = text[0] != '\0' ? parse_boolean(text) : -1;
        if (strcmp(key, "enabled") == 0 && flag >= 0) {
            out->enabled = flag;
        } else if (strcmp(key, "freeze-fs") == 0 || strcmp(key, "freeze-fs-on-backup") == 0 ||
                   strcmp(key, "guest-fsfreeze") == 0) {
            // Any of the three names saying no is the administrator's no.
            if (flag == 0)
                out->freeze_fs = 0;
        }
        piece = comma != nullptr ? comma + 1 : end;
    }
}

int32_t parse_consistency_policy(const char *text, consistency_policy *out)
{
    if (text == nullptr)
        return -1;
    if (strcmp(text, "fs") == 0)
        *out = CONSISTENCY_FS;
    else if (strcmp(text, "try") == 0)
        *out = CONSISTENCY_TRY;
    else if (strcmp(text, "crash") == 0)
        *out = CONSISTENCY_CRASH;
    else
        return -1;
    return 0;
}

int32_t parse_qm_status(const char *output, char *state, size_t state_size)
{
    if (state_size > 0)
        state[0] = '\0';
    bool found = false;
    const char *line = output;
    while (line != nullptr && *line != '\0') {
        const char *nl = strchr(line, '\n');
        size_t len = nl != nullptr ? static_cast<size_t>(nl - line) : strlen(line);
        const char *next = nl != nullptr ? nl + 1 : nullptr;
        if (len > 0 && line[len - 1] == '\r')
            len--;
        if (len == 0 || is_locale_warning(line, len)) {
            line = next;
            continue;
        }
        // Exactly one line, "status: <state>".
        if (found || len < 9 || strncmp(line, "status: ", 8) != 0 || !is_state_word(line + 8, len - 8)) {
            if (state_size > 0)
                state[0] = '\0';
            return -1;
        }
        copy_cut(state, state_size, line + 8, len - 8);
        found = true;
        line = next;
    }
    return found ? 0 : -1;
}

int32_t read_run_state(const char *vmid, char *state, size_t state_size, char *msg, size_t msg_size)
{
    if (state_size > 0)
        state[0] = '\0';
    if (msg_size > 0)
        msg[0] = '\0';
    const char *argv[] = {"qm", "status", vmid, nullptr};
    char output[1024];
    command_result result;
    if (run_pve_tool(argv, vm_status_time_limit, output, sizeof output, &result, msg, msg_size) != 0)
        return -1;
    if (result.timed_out) {
        put_text(msg, msg_size, "qm status %s timed out after %u s", vmid, vm_status_time_limit);
        return -1;
    }
    if (result.exit_code == 0 && parse_qm_status(output, state, state_size) == 0)
        return 0;
    trim_trailing_space(output);
    printable_one_line(output);
    if (result.exit_code != 0)
        put_text(msg, msg_size, "qm status %s failed: %.300s", vmid, output[0] != '\0' ? output : "unknown error");
    else if (output[0] == '\0')
        put_text(msg, msg_size, "qm status %s printed nothing (expected \"status: <state>\")", vmid);
    else
        put_text(msg, msg_size, "qm status %s printed something unexpected (expected \"status: <state>\"): %.200s",
                 vmid, output);
    return -1;
}

int32_t check_vm_unlocked(const char *vmid, const char *config_text, char *msg, size_t msg_size)
{
    if (msg_size > 0)
        msg[0] = '\0';
    char lock[value_size];
    if (!vm_config_value(config_text, "lock", lock, sizeof lock))
        return 0;
    put_text(msg, msg_size, "VM %s is locked (%.100s): try again when that operation has finished", vmid, lock);
    return -1;
}

void decide_consistency(const char *vmid, const char *config_text, const char *run_state,
                        consistency_policy policy, freeze_plan *plan)
{
    memset(plan, 0, sizeof *plan);
    plan->note_level = LOG_LEVEL_INFO;
    // A template never runs; a stopped VM's disks are at rest.
    if (config_true(config_text, "template")) {
        plan_as(plan, DECIDE_STOPPED, "the VM is a template");
        put_text(plan->note, sizeof plan->note, "VM %s is a template: its disks are consistent without a freeze", vmid);
        return;
    }
    if (strcmp(run_state, "stopped") == 0) {
        plan_as(plan, DECIDE_STOPPED, "the VM is stopped");
        put_text(plan->note, sizeof plan->note, "VM %s is stopped: its disks are consistent without a freeze", vmid);
        return;
    }

    char agent_text[value_size];
    bool has_agent = vm_config_value(config_text, "agent", agent_text, sizeof agent_text) != 0;
    agent_setting agent;
    parse_agent_setting(has_agent ? agent_text : nullptr, &agent);
    if (agent.enabled && !agent.freeze_fs) {
        // The administrator told Proxmox not to freeze this guest for
        // backups (a freeze breaks some applications' own backup chains).
        plan_as(plan, DECIDE_CRASH, "the VM's own agent setting turns the freeze off");
        put_text(plan->note, sizeof plan->note,
                 "VM %s: the VM's own setting turns the freeze off (agent: %.200s): snapshots without a freeze, "
                 "crash-consistent",
                 vmid, agent_text);
        return;
    }
    if (policy == CONSISTENCY_CRASH) {
        plan_as(plan, DECIDE_CRASH, "--consistency crash");
        return;
    }

    char cause[CONSISTENCY_REASON_SIZE];
    if (!agent.enabled) {
        put_text(cause, sizeof cause, "the guest agent is not enabled in the VM's configuration");
    } else if (strcmp(run_state, "running") != 0) {
        put_text(cause, sizeof cause, "the VM's run state is %s", run_state);
    } else {
        plan_as(plan, DECIDE_FREEZE, "frozen by the guest agent");
        return;
    }
    if (policy == CONSISTENCY_TRY) {
        plan_as(plan, DECIDE_CRASH, cause);
        plan->note_level = LOG_LEVEL_WARN;
        put_text(plan->note, sizeof plan->note, "VM %s: backing up crash-consistent (%s)", vmid, cause);
        return;
    }
    plan_as(plan, DECIDE_REFUSE, cause);
}

int32_t plan_consistency(const backup_options *opts, const char *config_text, freeze_plan *plan, char *msg,
                         size_t msg_size)
{
    char state[RUN_STATE_SIZE];
    if (read_run_state(opts->vmid, state, sizeof state, msg, msg_size) != 0)
        return -1;
    decide_consistency(opts->vmid, config_text, state, opts->consistency, plan);
    if (plan->decision == DECIDE_REFUSE) {
        refusal_message(opts->vmid, plan->reason, msg, msg_size);
        return -1;
    }
    if (plan->note[0] != '\0')
        log_write(plan->note_level, "%s", plan->note);
    return 0;
}

int32_t plan_after_failed_freeze(const backup_options *opts, const char *freeze_msg, freeze_plan *plan,
                                 char *msg, size_t msg_size)
{
    if (opts->consistency != CONSISTENCY_TRY) {
        refusal_message(opts->vmid, freeze_msg, msg, msg_size);
        return -1;
    }
    plan_as(plan, DECIDE_CRASH, freeze_msg);
    log_write(LOG_LEVEL_WARN, "VM %s: backing up crash-consistent (%s)", opts->vmid, freeze_msg);
    return 0;
}

const char *consistency_word(const freeze_plan *plan)
{
    switch (plan->decision) {
    case DECIDE_FREEZE:
        return "fs";
    case DECIDE_STOPPED:
        return "stopped";
    case DECIDE_CRASH:
        return "crash";
    default:
        return "none";
    }
}
