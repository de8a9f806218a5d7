// The simulated driver as a stand-in for ftd2xx.dll: probes on the bench,
// each with its bench set of inputs, so that a program loading it reads the
// same plain values as over the modelled USB bus.
//
// Its input from a test, besides the program's own calls, is read from the
// environment when the DLL loads:
//   TALVIRO_SIM_PROBES    how many probes are plugged in (chip serials
//                         TV0001, TV0002, ...), one to nine; one when
//                         unset or less.
//   TALVIRO_SIM_PRESENCE  a file (a Windows path, or one relative to the
//                         program's working folder): the probes are plugged
//                         in exactly while it exists. A test takes them away
//                         by deleting it and brings them back by creating it
//                         again; handles from before stay dead, as a real
//                         unplug leaves them.
//   TALVIRO_SIM_SILENT    a file: while it exists the first probe's engine
//                         answers nothing, its chip staying on the bus.
// The DLL looks at the files at each FT_* call.
#include "d2xx/sim/sim_probe.h"

#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

constexpr const char* kProbesVariable = "TALVIRO_SIM_PROBES";
constexpr const char* kPresenceVariable = "TALVIRO_SIM_PRESENCE";
constexpr const char* kSilentVariable = "TALVIRO_SIM_SILENT";
constexpr const char* kSerialPrefix = "TV";
constexpr int kSerialDigits = 4;
constexpr int kMaxProbes = 9;

std::string chip_serial(int probe) {
    std::string number = std::to_string(probe + 1);
    return kSerialPrefix + std::string(kSerialDigits - number.size(), '0') + number;
}

bool exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The file a variable names; empty when it names none.
std::string file_of(const char* variable) {
    const char* file = std::getenv(variable);
    return file != nullptr ? file : "";
}

const bool g_bench_set_up = [] {
    const char* probes = std::getenv(kProbesVariable);
    const int count = probes != nullptr ? std::atoi(probes) : 1;
    for (int probe = 1; probe < count && probe < kMaxProbes; ++probe)
        sim::device().add_probe(chip_serial(probe));
    for (int probe = 0; probe < count && probe < kMaxProbes; ++probe) {
        for (unsigned ch = 0; ch < sim::kConverterInputs; ++ch)
            sim::device().set_input_count(probe, ch,
                                          sim::kBenchInputs[probe % sim::kBenchInputSets][ch]);
    }
    return true;
}();

const bool g_files_followed = [] {
    const std::string presence = file_of(kPresenceVariable);
    const std::string silent = file_of(kSilentVariable);
    if (presence.empty() && silent.empty()) return false;
    sim::device().set_call_hook([presence, silent] {
        if (!silent.empty()) sim::device().set_silent(0, exists(silent));
        if (presence.empty()) return;
        const bool present = exists(presence);
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
