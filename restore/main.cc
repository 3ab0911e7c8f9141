#include "restore/cli.h"

int main(int argc, char **argv) { return restore_main(argc, argv); }
