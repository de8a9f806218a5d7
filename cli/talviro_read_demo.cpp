// talviro_read_demo: talviro_read on the simulated probe, whose converter
// sees a drifting target, so repeated readouts change as on a bench.
#include "cli/run.h"
#include "demo/demo_target.h"

int main(int argc, char** argv) {
    sim::use_demo_target();
    return cli::main_program(argc, argv);
}
