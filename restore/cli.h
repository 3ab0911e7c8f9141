#pragma once
// Entry of vlt_proxmox_restore: the whole start sequence; returns the exit status.
int restore_main(int argc, char **argv);
