// vlt_proxmox_restore: the whole program is restore_main (restore/cli.h).
#include "restore/cli.h"

int main(int argc, char **argv) { return restore_main(argc, argv); }
