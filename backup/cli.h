#pragma once
// Entry of vlt_proxmox: the whole start sequence; returns the exit status.
int backup_main(int argc, char **argv);
