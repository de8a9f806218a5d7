// talviro_read_demo: talviro_read on two simulated probes, TV0001B and
// TV0002B, whose converters see two drifting targets, so repeated readouts
// change as on a bench and --serial shows which probe was read.
//
// For tests and for showing what a lost probe looks like, the environment
// variable TALVIRO_DEMO_UNPLUG_AFTER=N unplugs the simulated probes after N
// readouts (0: before it is opened), so that it stops answering. Only this
// program reads it.
#include "cli/run.h"
#include "demo/demo_target.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {

const char* const kUnplugAfter = "TALVIRO_DEMO_UNPLUG_AFTER";

}  // namespace

int main(int argc, char** argv) {
    sim::use_two_demo_targets();
    const char* unplug_after = std::getenv(kUnplugAfter);
    if (unplug_after == nullptr) return cli::main_program(argc, argv);

    uint64_t readouts_left = 0;
    const char* end = unplug_after + std::strlen(unplug_after);
    const auto parsed = std::from_chars(unplug_after, end, readouts_left);
    if (parsed.ec != std::errc() || parsed.ptr != end || parsed.ptr == unplug_after) {
        std::cerr << kUnplugAfter << ": '" << unplug_after << "' is not a whole number of readouts\n";
        return cli::exit_status::kUsage;
    }
    if (readouts_left == 0) sim::device().unplug();
    return cli::main_program(argc, argv, [&readouts_left] {
        if (readouts_left == 0) sim::device().unplug();
        if (readouts_left > 0) --readouts_left;
        return console::read_probe();
    });
}
