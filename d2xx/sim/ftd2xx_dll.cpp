// The simulated driver as a stand-in for ftd2xx.dll: one probe on the bench,
// with the bench's first set of inputs, so that a program loading it reads
// the same plain values as over the modelled USB bus.
#include "d2xx/sim/sim_probe.h"

namespace {

const bool g_bench_inputs_set = [] {
    for (unsigned ch = 0; ch < sim::kConverterInputs; ++ch)
        sim::device().set_input_count(ch, sim::kBenchInputs[0][ch]);
    return true;
}();

}  // namespace
