// The node-wide run: selection, one child process per VM, the output of
// the runs passed on whole lines at a time, signals passed on, the summary.
#include "backup/node_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "backup/mail.h"
#include "backup/node_select.h"
#include "backup/node_summary.h"
#include "backup/run_report.h"
#include "common/child.h"
#include "common/log.h"
#include "common/owned.h"
#include "common/progress.h"
#include "common/text.h"

uint32_t node_poll_ms = 100;

namespace {

const int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};

// Written by the handler only: the first signal (the one that ends the
// run), the last one, and how many came (each is passed on).
volatile sig_atomic_t g_first_signal = 0;
volatile sig_atomic_t g_last_signal = 0;
volatile sig_atomic_t g_signal_count = 0;

void record_signal(int sig)
{
    if (g_first_signal == 0)
        g_first_signal = sig;
    g_last_signal = sig;
    g_signal_count = g_signal_count + 1;
}

// While the runs go on, SIGINT, SIGTERM and SIGHUP are only noted: the
// loop passes them on to the runs and ends the process once they are over.
class signal_recorder {
public:
    signal_recorder()
    {
        g_first_signal = 0;
        g_last_signal = 0;
        g_signal_count = 0;
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = record_signal;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < 3; i++)
            sigaction(kSignals[i], &action, &saved_[i]);
    }
    ~signal_recorder() { restore(); }
    signal_recorder(const signal_recorder &) = delete;
    signal_recorder &operator=(const signal_recorder &) = delete;

    // The actions in force before (the progress segment's handler).
    void restore()
    {
        if (restored_)
            return;
        for (int i = 0; i < 3; i++)
            sigaction(kSignals[i], &saved_[i], nullptr);
        restored_ = true;
    }

private:
    struct sigaction saved_[3];
    bool restored_ = false;
};

// The runs' reports, in memory shared with the children.
class shared_reports {
public:
    explicit shared_reports(size_t count) : size_(count > 0 ? count * sizeof(vm_run_report) : sizeof(vm_run_report))
    {
        void *map = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        map_ = map == MAP_FAILED ? nullptr : static_cast<vm_run_report *>(map);
    }
    ~shared_reports()
    {
        if (map_ != nullptr)
            munmap(map_, size_);
    }
    shared_reports(const shared_reports &) = delete;
    shared_reports &operator=(const shared_reports &) = delete;
    vm_run_report *at(size_t i) const { return map_ != nullptr ? map_ + i : nullptr; }

private:
    size_t size_;
    vm_run_report *map_ = nullptr;
};

// One selected VM: its row of the summary and, while it runs, its process.
struct vm_entry {
    vm_row row;
    char vmid_text[16] = "";
    char job_prefix[64] = "";
    vm_run_report *report = nullptr;
    pid_t pid = -1;
    bool running = false;
    unique_fd output;          // read end of the run's output, non-blocking
    std::string partial;       // output after the last full line
    uint64_t started_ms = 0;
};

// What the child needs; it gets its own copy with the fork.
struct vm_child {
    const backup_options *opts;
    const vm_entry *entry;
    int32_t (*vm_run)(const backup_options *opts);
    std::vector<int> foreign_fds;  // the other runs' pipes
};

// The VM's run in its own process: as "vlt_proxmox --vmid <id>" would run
// after its command line, with the program name telling its lines apart.
int vm_child_main(void *p)
{
    const vm_child *c = static_cast<const vm_child *>(p);
    for (int fd : c->foreign_fds)
        close(fd);
    progress_forget_inherited();
    char program[64];
    put_text(program, sizeof program, "vlt_proxmox VM %s", c->entry->vmid_text);
    log_setup(program, LOG_LEVEL_INFO);
    if (c->entry->report != nullptr)
        report_start(c->entry->report);
    backup_options opts = *c->opts;
    opts.vmid = c->entry->vmid_text;
    put_text(opts.job_prefix, sizeof opts.job_prefix, "%s", c->entry->job_prefix);
    progress_start(PROGRESS_KIND_BACKUP, opts.job_prefix, opts.forwarded, opts.forwarded_count);
    int32_t rc = c->vm_run(&opts);
    progress_finish(rc == 0 ? 1 : 0);
    return rc;
}

void write_all(int fd, const char *data, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // nowhere to write to: the lines are lost, the runs go on
        data += n;
        len -= static_cast<size_t>(n);
    }
}

// A line longer than this is passed on in pieces.
constexpr size_t kMaxLine = 64 * 1024;

// Passes every whole line of the run's output on to our standard error,
// each with one write, and notes what vlt_agent reports as read. With
// flush, the rest too (ended with a newline).
void pass_lines(vm_entry *e, bool flush)
{
    size_t start = 0;
    for (;;) {
        size_t newline = e->partial.find('\n', start);
        size_t end;
        if (newline != std::string::npos)
            end = newline + 1;
        else if (e->partial.size() - start >= kMaxLine || (flush && e->partial.size() > start))
            end = e->partial.size();
        else
            break;
        std::string line = e->partial.substr(start, end - start);
        if (line.back() != '\n')
            line += '\n';
        uint64_t bytes;
        if (agent_bytes_read(line.c_str(), e->job_prefix, &bytes)) {
            e->row.bytes_known = true;
            e->row.bytes_read += bytes;
        }
        write_all(2, line.data(), line.size());
        start = end;
    }
    e->partial.erase(0, start);
}

// Reads what the run wrote so far (all of it: the descriptor does not
// block); at its end of file the descriptor is closed.
void read_output(vm_entry *e)
{
    char buf[16384];
    while (e->output.get() >= 0) {
        ssize_t n = read(e->output.get(), buf, sizeof buf);
        if (n > 0) {
            e->partial.append(buf, static_cast<size_t>(n));
            pass_lines(e, false);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            e->output.reset();
        return;
    }
}

std::string signal_text(int sig)
{
    const char *abbrev = sigabbrev_np(sig);
    return abbrev != nullptr ? std::string("SIG") + abbrev : "signal " + std::to_string(sig);
}

// Where the VM is, when it is not here any more.
std::string left_the_node(const char *pve_dir, const char *node, long vmid, bool *gone)
{
    char other[128];
    int home = vm_home(pve_dir, node, vmid, other, sizeof other);
    *gone = home != 1;
    if (home == 0)
        return std::string("migrated to node ") + other;
    return "its configuration no longer exists";
}

// The run as a whole: the selection, the VMs and the loop over them.
class node_run {
public:
    node_run(const backup_options *opts, const node_options *node, int32_t (*vm_run)(const backup_options *))
        : opts_(opts), node_(node), vm_run_(vm_run)
    {
        pve_dir_ = opts->pve_dir != nullptr && opts->pve_dir[0] != '\0' ? opts->pve_dir : "/etc/pve";
        summary_.label = node->label;
        summary_.pool = node->pool != nullptr ? node->pool : "";
        summary_.excluded.assign(node->excluded, node->excluded + node->excluded_count);
        summary_.started = static_cast<int64_t>(time(nullptr));
    }

    int32_t run();

private:
    bool select(std::vector<selected_vm> *vms);
    void start_next(vm_entry *e, size_t position);
    void reap(vm_entry *e, int status);
    void pass_on_signals();
    void loop();
    void show_progress();
    int32_t finish();

    const backup_options *opts_;
    const node_options *node_;
    int32_t (*vm_run_)(const backup_options *);
    const char *pve_dir_;
    char node_name_[64] = "";
    node_summary summary_;
    std::vector<vm_entry> entries_;
    std::unique_ptr<shared_reports> reports_;
    size_t next_ = 0;
    size_t running_ = 0;
    size_t last_started_ = 0;  // position (from 1) of the VM started last
    int signals_passed_ = 0;
    int interrupted_by_ = 0;
};

bool node_run::select(std::vector<selected_vm> *vms)
{
    char msg[512] = "";
    progress_status(0, "selecting the VMs of this node");
    if (this_node_name(pve_dir_, node_name_, sizeof node_name_, msg, sizeof msg) != 0) {
        summary_.error = msg;
        return false;
    }
    summary_.node = node_name_;
    size_t elsewhere = 0;
    int32_t rc = node_->selection == SELECT_POOL
                     ? list_pool_vms(node_->pool, node_name_, vms, &elsewhere, msg, sizeof msg)
                     : list_node_vms(pve_dir_, node_name_, vms, msg, sizeof msg);
    if (rc != 0) {
        summary_.error = msg;
        return false;
    }
    size_t excluded = drop_excluded(vms, node_->excluded, node_->excluded_count);
    std::string ids;
    for (const selected_vm &vm : *vms) {
        ids += ids.empty() ? "" : " ";
        ids += std::to_string(vm.vmid);
    }
    std::string what = node_->selection == SELECT_POOL ? std::string("pool ") + node_->pool : "all";
    char notes[160] = "";
    size_t used = 0;
    if (excluded > 0)
        used += static_cast<size_t>(put_text(notes + used, sizeof notes - used, "; %zu excluded", excluded));
    if (elsewhere > 0 && used < sizeof notes)
        put_text(notes + used, sizeof notes - used, "; %zu of the pool on other nodes", elsewhere);
    log_write(LOG_LEVEL_INFO, "node %s: %zu VM(s) to back up (%s): %.600s%s", node_name_, vms->size(),
              what.c_str(), ids.empty() ? "none" : ids.c_str(), notes);
    return true;
}

void node_run::show_progress()
{
    summary_counts c = count_rows(summary_);
    size_t done = c.ok + c.failed + c.skipped;
    std::string now;
    size_t count = 0;
    pid_t last_pid = 0;
    for (const vm_entry &e : entries_) {
        if (!e.running)
            continue;
        now += now.empty() ? "" : ", ";
        now += std::to_string(e.row.vmid);
        count++;
        last_pid = e.pid;
    }
    if (count == 0)
        progress_status(1, "%zu of %zu VM(s) done", done, entries_.size());
    else
        progress_status(1, "%s %s (%zu of %zu)", count == 1 ? "VM" : "VMs", now.c_str(), last_started_,
                        entries_.size());
    progress_detail("%zu of %zu VM(s) done: %zu backed up, %zu failed, %zu skipped", done, entries_.size(), c.ok,
                    c.failed, c.skipped);
    progress_set_child(static_cast<int32_t>(last_pid));
}

void node_run::start_next(vm_entry *e, size_t position)
{
    long vmid = e->row.vmid;
    bool gone = false;
    std::string where = left_the_node(pve_dir_, node_name_, vmid, &gone);
    if (gone) {
        e->row.result = VM_RESULT_SKIPPED;
        e->row.reason = where;
        log_write(LOG_LEVEL_INFO, "VM %ld (%zu of %zu): skipped: %s since the selection", vmid, position,
                  entries_.size(), where.c_str());
        return;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        e->row.result = VM_RESULT_FAILED;
        e->row.reason = std::string("cannot start its run: pipe failed: ") + strerror(errno);
        log_write(LOG_LEVEL_ERROR, "VM %ld: %s", vmid, e->row.reason.c_str());
        return;
    }
    unique_fd read_end(fds[0]);
    unique_fd write_end(fds[1]);
    int flags = fcntl(read_end.get(), F_GETFL);
    if (flags >= 0)
        fcntl(read_end.get(), F_SETFL, flags | O_NONBLOCK);

    vm_child child{opts_, e, vm_run_, {}};
    for (const vm_entry &other : entries_)
        if (other.output.get() >= 0)
            child.foreign_fds.push_back(other.output.get());
    child.foreign_fds.push_back(read_end.get());
    log_write(LOG_LEVEL_INFO, "VM %ld (%zu of %zu): backing up as job prefix %s", vmid, position, entries_.size(),
              e->job_prefix);
    child_setup setup;
    setup.output_fd = write_end.get();
    // A group of its own: a Ctrl-C at the terminal reaches this process
    // alone, which passes it on once to every run.
    setup.own_group = true;
    setup.clear_signal_mask = true;
    pid_t pid = start_child_function(setup, vm_child_main, &child);
    if (pid < 0) {
        e->row.result = VM_RESULT_FAILED;
        e->row.reason = std::string("cannot start its run: fork failed: ") + strerror(errno);
        log_write(LOG_LEVEL_ERROR, "VM %ld: %s", vmid, e->row.reason.c_str());
        return;
    }
    e->pid = pid;
    e->running = true;
    e->output = std::move(read_end);
    e->started_ms = monotonic_ms();
    running_++;
    last_started_ = position;
}

void node_run::reap(vm_entry *e, int status)
{
    read_output(e);
    pass_lines(e, true);
    e->output.reset();
    e->running = false;
    running_--;
    vm_row &row = e->row;
    row.duration_ms = static_cast<int64_t>(monotonic_ms() - e->started_ms);
    const vm_run_report *r = e->report;
    if (r != nullptr) {
        row.disks = r->disks;
        row.disks_backed_up = r->disks_backed_up;
        row.consistency = r->consistency;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        row.result = VM_RESULT_OK;
        return;
    }
    if (WIFSIGNALED(status)) {
        row.result = VM_RESULT_FAILED;
        int sig = WTERMSIG(status);
        row.reason = (sig == interrupted_by_ ? "interrupted by " : "its run was ended by ") + signal_text(sig);
        return;
    }
    // A VM that left the node between the selection and its run is not a
    // failure of the backup: it is the other node's to back up now.
    bool gone = false;
    std::string where;
    if (r != nullptr && r->vm_missing)
        where = left_the_node(pve_dir_, node_name_, row.vmid, &gone);
    if (gone) {
        row.result = VM_RESULT_SKIPPED;
        row.reason = where;
        log_write(LOG_LEVEL_INFO, "VM %ld: skipped: %s since the selection", row.vmid, where.c_str());
        return;
    }
    row.result = VM_RESULT_FAILED;
    if (r != nullptr && r->reason[0] != '\0')
        row.reason = r->reason;
    else
        row.reason = "its run exited with status " + std::to_string(WEXITSTATUS(status));
}

void node_run::pass_on_signals()
{
    int count = g_signal_count;
    if (count == signals_passed_)
        return;
    signals_passed_ = count;
    int sig = g_last_signal;
    if (interrupted_by_ == 0) {
        interrupted_by_ = g_first_signal;
        log_write(LOG_LEVEL_WARN, "interrupted by %s: %zu running VM run(s) clean up and end, no further VM starts",
                  signal_text(interrupted_by_).c_str(), running_);
    }
    for (const vm_entry &e : entries_)
        if (e.running)
            kill(e.pid, sig);
}

void node_run::loop()
{
    size_t jobs = node_->jobs > 0 ? static_cast<size_t>(node_->jobs) : 1;
    for (;;) {
        pass_on_signals();
        bool changed = false;
        while (interrupted_by_ == 0 && running_ < jobs && next_ < entries_.size()) {
            start_next(&entries_[next_], next_ + 1);
            next_++;
            changed = true;
        }
        if (changed)
            show_progress();
        if (running_ == 0 && (next_ >= entries_.size() || interrupted_by_ != 0))
            return;

        std::vector<struct pollfd> fds;
        std::vector<vm_entry *> owners;
        for (vm_entry &e : entries_) {
            if (e.running && e.output.get() >= 0) {
                fds.push_back({e.output.get(), POLLIN, 0});
                owners.push_back(&e);
            }
        }
        int ready = poll(fds.empty() ? nullptr : fds.data(), fds.size(), static_cast<int>(node_poll_ms));
        for (size_t i = 0; ready > 0 && i < fds.size(); i++)
            if (fds[i].revents != 0)
                read_output(owners[i]);
        for (vm_entry &e : entries_) {
            if (!e.running)
                continue;
            int status = 0;
            pid_t got = waitpid(e.pid, &status, WNOHANG);
            if (got == e.pid || (got < 0 && errno == ECHILD)) {
                reap(&e, got == e.pid ? status : W_EXITCODE(1, 0));
                show_progress();
            }
        }
    }
}

int32_t node_run::finish()
{
    summary_.interrupted_by = interrupted_by_;
    for (vm_entry &e : entries_) {
        if (e.row.result != VM_RESULT_PENDING)
            continue;
        e.row.result = VM_RESULT_SKIPPED;
        e.row.reason = "not started: the run was interrupted by " + signal_text(interrupted_by_);
    }
    summary_.rows.clear();
    for (const vm_entry &e : entries_)
        summary_.rows.push_back(e.row);
    summary_.ended = static_cast<int64_t>(time(nullptr));

    bool failed = summary_failed(summary_);
    if (!summary_.rows.empty())
        for (const std::string &line : summary_table(summary_))
            log_write(LOG_LEVEL_INFO, "%s", line.c_str());
    std::string counts = summary_count_line(count_rows(summary_));
    log_write(failed ? LOG_LEVEL_ERROR : LOG_LEVEL_INFO, "%s", counts.c_str());
    progress_status(1, "done: %s", counts.c_str());
    if (node_->json) {
        std::string json = summary_json(summary_);
        fputs(json.c_str(), stdout);
        fflush(stdout);
    }
    if (node_->mailto != nullptr && (node_->mail_on == MAIL_ALWAYS || failed)) {
        char msg[512];
        if (send_mail(node_->mailto, summary_mail_subject(summary_).c_str(), summary_mail_body(summary_), msg,
                      sizeof msg) != 0)
            log_write(LOG_LEVEL_WARN, "the summary was not mailed to %s: %s", node_->mailto, msg);
        else
            log_write(LOG_LEVEL_INFO, "the summary was mailed to %s", node_->mailto);
    }
    return failed ? 1 : 0;
}

int32_t node_run::run()
{
    std::vector<selected_vm> vms;
    if (!select(&vms)) {
        log_write(LOG_LEVEL_ERROR, "%s", summary_.error.c_str());
        return finish();
    }
    entries_.resize(vms.size());
    reports_.reset(new shared_reports(vms.size()));
    for (size_t i = 0; i < vms.size(); i++) {
        vm_entry &e = entries_[i];
        e.row.vmid = vms[i].vmid;
        e.row.name = vms[i].name;
        put_text(e.vmid_text, sizeof e.vmid_text, "%ld", vms[i].vmid);
        if (node_->name != nullptr && node_->name[0] != '\0')
            put_text(e.job_prefix, sizeof e.job_prefix, "%s-%ld", node_->name, vms[i].vmid);
        else
            put_text(e.job_prefix, sizeof e.job_prefix, "vm%ld", vms[i].vmid);
        e.row.job_prefix = e.job_prefix;
        e.report = reports_->at(i);
    }
    signal_recorder signals;
    loop();
    int32_t rc = finish();
    // Every run has ended (a signal that came while the summary was being
    // mailed counts too): the signal ends us as it would have without the
    // runs, through the handler that was in force before.
    int sig = interrupted_by_ != 0 ? interrupted_by_ : g_first_signal;
    if (sig != 0) {
        signals.restore();
        raise(sig);
    }
    return rc;
}

}  // namespace

int32_t run_node(const backup_options *opts, const node_options *node, int32_t (*vm_run)(const backup_options *opts))
{
    node_run run(opts, node, vm_run);
    return run.run();
}
