// The report of one VM's run to the node-wide run.
#include "backup/run_report.h"

#include <cstdio>
#include <cstring>

#include "common/log.h"
#include "common/text.h"

vm_run_report *g_run_report = nullptr;

namespace {

// The first ERROR line says why the run failed; later ones follow from it
// or sum it up.
void keep_first_error(const char *message)
{
    vm_run_report *r = g_run_report;
    if (r == nullptr || r->reason[0] != '\0')
        return;
    // "VM 101: ..." in the row of VM 101 says the VMID twice.
    const char *text = message;
    if (strncmp(text, "VM ", 3) == 0) {
        const char *p = text + 3;
        while (*p >= '0' && *p <= '9')
            p++;
        if (p > text + 3 && p[0] == ':' && p[1] == ' ')
            text = p + 2;
    }
    put_text(r->reason, sizeof r->reason, "%s", text);
}

}  // namespace

void report_start(vm_run_report *report)
{
    memset(report, 0, sizeof *report);
    report->disks = -1;
    g_run_report = report;
    log_set_error_hook(keep_first_error);
}

void report_disks(size_t count)
{
    if (g_run_report != nullptr)
        g_run_report->disks = static_cast<int32_t>(count);
}

void report_disks_backed_up(size_t count)
{
    if (g_run_report != nullptr)
        g_run_report->disks_backed_up = static_cast<int32_t>(count);
}

void report_consistency(const char *word)
{
    if (g_run_report != nullptr)
        put_text(g_run_report->consistency, sizeof g_run_report->consistency, "%s", word);
}

void report_vm_missing()
{
    if (g_run_report != nullptr)
        g_run_report->vm_missing = 1;
}
