// talviro_read: the probe's readings in a terminal, on real probes.
#include "cli/run.h"

int main(int argc, char** argv) { return cli::main_program(argc, argv); }
