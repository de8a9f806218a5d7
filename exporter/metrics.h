// The probes' readings in Prometheus' text exposition format (version
// 0.0.4). Pure functions of their arguments.
#ifndef TALVIRO_EXPORTER_METRICS_H
#define TALVIRO_EXPORTER_METRICS_H

#include "probe/readings.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace exporter {

constexpr const char* kContentType = "text/plain; version=0.0.4";

// What the exporter knows about one probe at one moment.
struct ProbeReport {
    // The probe's name: its channel serial number, "TV0001B", or where it is
    // plugged in when its chip has none, "usb:1-1.4" (probe_name).
    std::string serial;
    bool up = false;     // its channel is open and its last readout was whole
    // The counts of the latest whole readout, in the order of
    // readings::kChannels; only while up, so that a probe that went away
    // has no readings rather than old ones.
    std::optional<std::array<uint16_t, readings::kChannelCount>> counts;
    uint64_t readouts = 0;         // readouts made, whole or not
    uint64_t failed_readouts = 0;  // of those, the ones that were not whole
    std::optional<double> last_readout_seconds;  // how long the last readout took
};

// Every metric family, each with # HELP and # TYPE, then one sample per
// probe in the order given (talviro_exporter_build_info once): probe_up,
// the readings of the probes that have counts (volts, and the supply in
// amperes), the readout counters and the last readout's duration. Serial
// numbers are escaped as label values.
std::string render_metrics(const std::vector<ProbeReport>& probes, const std::string& version);

// A label value as the format writes it between double quotes: backslash,
// double quote and line feed escaped as \\, \" and \n.
std::string escape_label_value(const std::string& value);

// The shortest decimal text that reads back as exactly value (a float, as
// readings_from_count gives it), times 10 to the power shift: the supply in
// milliamps, shift -3, gives amperes without a second rounding.
std::string exact_decimal(float value, int shift = 0);

// The shortest decimal text that reads back as exactly value.
std::string exact_decimal(double value);

}  // namespace exporter

#endif
