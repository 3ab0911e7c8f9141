// One backup run per VM: an exclusive flock on "<vmid>.lock" in
// vlt_proxmox's run directory (common/run_dir.h), taken before anything
// else of the run and held until the run is over; the kernel drops it
// when the process dies in any way. Runs of different VMs lock different
// files and never wait for each other.
#pragma once
#include <cstdint>

#include "common/owned.h"

class vm_run_lock {
public:
    vm_run_lock() = default;
    vm_run_lock(const vm_run_lock &) = delete;
    vm_run_lock &operator=(const vm_run_lock &) = delete;

    // The run directory, open while the lock is held (its state files are
    // reached through it).
    int dirfd() const { return dir_.get(); }
    long vmid() const { return vmid_; }

private:
    friend int32_t take_vm_lock(const char *vmid_text, vm_run_lock *lock);
    unique_fd dir_;
    unique_fd file_;
    long vmid_ = 0;
};

// Takes the VM's lock without waiting. 0, or -1 after logging the ERROR:
// the VMID is not a number, the run directory cannot be used, or "VM %ld
// is already being backed up (by process %d)".
int32_t take_vm_lock(const char *vmid_text, vm_run_lock *lock);

// Test seam: how long a run that found the lock taken waits for the
// holder to have written its pid into the lock file (milliseconds).
extern uint32_t lock_holder_wait_ms;  // 1000
