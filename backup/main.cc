#include "backup/cli.h"

int main(int argc, char **argv) { return backup_main(argc, argv); }
