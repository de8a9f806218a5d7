// The simulated driver as a stand-in for ftd2xx.dll: one probe on the bench,
// with the bench's first set of inputs, so that a program loading it reads
// the same plain values as over the modelled USB bus.
//
// Its input from a test, besides the program's own calls: the environment
// variable TALVIRO_SIM_PROBES puts that many probes on the bench (chip
// serials TV0001, TV0002, ..., each with its bench inputs); while the
// environment variable TALVIRO_SIM_PRESENCE names a file (a Windows path, or
// one relative to the program's working folder), the probe is plugged in
// exactly while that file exists. The DLL looks at each FT_* call, so a test
// takes the probe away by deleting the file and brings it back by creating
// it again; handles from before stay dead, as a real unplug leaves them.
#include "d2xx/sim/sim_probe.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {

constexpr const char* kPresenceVariable = "TALVIRO_SIM_PRESENCE";
constexpr const char* kProbesVariable = "TALVIRO_SIM_PROBES";
constexpr int kMaxProbes = 9;  // chip serials of one digit's width
constexpr const char* kChipSerialStem = "TV000";

const bool g_bench_inputs_set = [] {
    for (unsigned ch = 0; ch < sim::kConverterInputs; ++ch)
        sim::device().set_input_count(ch, sim::kBenchInputs[0][ch]);
    const char* probes = std::getenv(kProbesVariable);
    const int count = probes ? std::atoi(probes) : 1;
    for (int number = 2; number <= std::min(count, kMaxProbes); ++number) {
        const int probe = sim::device().add_probe(kChipSerialStem + std::to_string(number));
        for (unsigned ch = 0; ch < sim::kConverterInputs; ++ch)
            sim::device().set_input_count(
                probe, ch, sim::kBenchInputs[(number - 1) % sim::kBenchInputSets][ch]);
    }
    return true;
}();

const bool g_presence_followed = [] {
    const char* file = std::getenv(kPresenceVariable);
    if (file == nullptr || *file == '\0') return false;
    sim::device().set_call_hook([path = std::string(file)] {
        const bool present = GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
        if (present == sim::device().plugged_in()) return;
        if (present) {
            sim::device().plug_in();
        } else {
            sim::device().unplug();
        }
    });
    return true;
}();

}  // namespace
