// A target for the demo programs: the simulated probe's converter inputs
// behave like a powered board on the bench, so repeated readouts change as
// they would with a real probe. Deterministic: a function of time only.
#ifndef TALVIRO_DEMO_DEMO_TARGET_H
#define TALVIRO_DEMO_DEMO_TARGET_H

#include "d2xx/sim/sim_probe.h"

#include <cstdint>

namespace sim {

// The converter count of channel ch at now_ms: V target near 3.3 V with a
// little noise, a supply current rippling around 40 mA, A1 and A0 swinging
// slowly on periods that never line up.
uint16_t demo_target_input(unsigned ch, uint64_t now_ms);

// A second board, so that two probes read differently: a 1.8 V target
// drawing about 15 mA, A1 and A0 on periods of their own.
uint16_t second_demo_target_input(unsigned ch, uint64_t now_ms);

// Installs demo_target_input into sim::device().
void use_demo_target();

// As use_demo_target, and plugs in a second probe, chip serial "TV0002",
// that reads second_demo_target_input.
void use_two_demo_targets();

}  // namespace sim

#endif
