// How talviro_read prints readouts: the window's texts, CSV lines, and the
// min/mean/max summary of a run. Pure functions of their arguments.
#ifndef TALVIRO_CLI_REPORT_H
#define TALVIRO_CLI_REPORT_H

#include "console/readout.h"
#include "trend/series.h"

#include <cstdint>
#include <string>

namespace cli {

using console::Conversion;
using console::Sample;

// Four lines "A1 = 1.11 V" ... in channel order, each as the window's readout
// shows it; a conversion that was not whole reads "--- V" or "--- mA".
std::string text_lines(const Sample& sample);

// "Serial: TV0001B" and a newline, as the window's status bar shows it.
std::string serial_line(const char* serial);

// One CSV line: the timestamp, the readings as plain numbers (the window's
// digits without the unit), the raw counts. A conversion that was not whole
// leaves its reading and its count empty.
std::string csv_line(int64_t wall_ms, const Sample& sample);

// The readout as a trend holds it, at time_ms: each reading as csv_line
// writes it (the number the window shows), so that a run's summary and that
// of its log agree; NaN where the conversion was not whole.
trend::Readout trend_readout(int64_t time_ms, const Sample& sample);

// Min, mean and max of every channel's whole conversions since a reset, for
// the --watch view.
class Statistics {
public:
    // One channel's readings; whole == 0: none yet, and the rest is 0.
    struct Range {
        uint64_t whole = 0;  // conversions that were whole
        double min = 0.0;
        double mean = 0.0;
        double max = 0.0;
    };

    void add(const Sample& sample);
    uint64_t readouts() const { return readouts_; }
    // Channel i in the order of readings::kChannels (0..kChannelCount-1).
    Range range(int i) const;

private:
    struct Channel {
        uint64_t whole = 0;
        double min = 0.0;
        double max = 0.0;
        double sum = 0.0;
    };
    Channel channels_[readings::kChannelCount];
    uint64_t readouts_ = 0;
};

}  // namespace cli

#endif
