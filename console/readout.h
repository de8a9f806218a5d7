// One readout of the probe: the four converter channels in the order of
// readings::kChannels, each with its raw count and whether it was whole.
#ifndef TALVIRO_CONSOLE_READOUT_H
#define TALVIRO_CONSOLE_READOUT_H

#include "probe/readings.h"

#include <array>
#include <cstdint>

namespace console {

struct Conversion {
    uint16_t count = 0;
    bool whole = false;  // false: count is not a measurement
};

struct Sample {
    std::array<Conversion, readings::kChannelCount> conversions;
    // The channel is gone or out of step: no later readout can be whole
    // until the probe is opened again.
    bool channel_lost = false;
    // The readout was cut short because the program is ending
    // (probe_abandon_waits): not a measurement and not a fault of the
    // probe; it is neither shown nor counted.
    bool abandoned = false;
    bool whole() const;  // every conversion whole
};

// Converts each channel of readings::kChannels in turn, as the window does.
// Needs an open probe (probe_open returned 0). A failed transfer shows up as
// a conversion that is not whole, with the probe link's failure text handed
// to its sink (probe_set_text_sink); it never stops the readout. channel_lost tells whether the probe
// link is still in step afterwards.
Sample read_probe();

}  // namespace console

#endif
