#include "console/readout.h"

#include "probe/converter.h"
#include "probe/probe_channel.h"

namespace console {

bool Sample::whole() const {
    for (const Conversion& c : conversions)
        if (!c.whole) return false;
    return true;
}

Sample read_probe() {
    Sample sample;
    for (int i = 0; i < readings::kChannelCount; ++i) {
        Conversion& c = sample.conversions[static_cast<size_t>(i)];
        c.count = read_adc_channel(readings::kChannels[i].converter_channel);
        c.whole = adc_last_conversion_whole();
    }
    sample.abandoned = probe_waits_abandoned();
    sample.channel_lost = !probe_in_step() && !sample.abandoned;
    return sample;
}

}  // namespace console
