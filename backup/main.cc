// vlt_proxmox: the whole program is backup_main (backup/cli.h).
#include "backup/cli.h"

int main(int argc, char **argv) { return backup_main(argc, argv); }
