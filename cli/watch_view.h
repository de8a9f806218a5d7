// What the --watch view of talviro_read shows: a title line, then one row per
// reading with its latest value, min, mean and max, and a trend drawn with
// block characters. Pure functions and plain state; cli/watch.* puts the
// lines on a terminal.
#ifndef TALVIRO_CLI_WATCH_VIEW_H
#define TALVIRO_CLI_WATCH_VIEW_H

#include "cli/report.h"
#include "console/readout.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace cli {

constexpr int kSparkLevels = 8;
// The level of a reading when a row's min and max are the same.
constexpr int kFlatSparkLevel = kSparkLevels / 2 - 1;
// Readings a trend keeps; a terminal wider than this shows blanks before them.
constexpr size_t kTrendCapacity = 2000;

// The level 0..kSparkLevels-1 of reading between min and max: min gives 0,
// max the top level, linearly in between with rounding to the nearest
// level; readings outside are clamped. When max <= min it gives
// kFlatSparkLevel, so that a steady reading draws a level line.
int spark_level(double reading, double min, double max);

// One point of a trend: the reading, or nothing for a readout not whole.
using TrendPoint = std::optional<double>;

// The last width points of trend scaled to min..max, one glyph each, the
// newest at the right end; blanks on the left when there are fewer points,
// and a blank for a point that is nothing. Glyphs are the block characters
// U+2581..U+2588 in UTF-8 when unicode is set, else ASCII ".:-=+*%#".
std::string sparkline(const std::deque<TrendPoint>& trend, double min, double max, size_t width,
                      bool unicode);

// The readouts seen by the view: statistics and trends since the start or
// the last reset, the latest readout and how many were taken in all.
class WatchModel {
public:
    void add(int64_t wall_ms, const Sample& sample);
    // Forgets the statistics and trends; the latest readout and the count stay.
    void reset();
    // While the probe is away (--reconnect) the view shows no values now,
    // and says it waits for the probe; statistics and trends stay.
    void set_waiting(bool waiting) { waiting_ = waiting; }
    bool waiting() const { return waiting_; }

    uint64_t readouts() const { return readouts_; }
    const Statistics& statistics() const { return statistics_; }
    bool has_latest() const { return readouts_ > 0; }
    const Sample& latest() const { return latest_; }
    int64_t latest_wall_ms() const { return latest_wall_ms_; }
    const std::deque<TrendPoint>& trend(int channel) const { return trends_[static_cast<size_t>(channel)]; }

private:
    Statistics statistics_;
    std::array<std::deque<TrendPoint>, readings::kChannelCount> trends_;
    Sample latest_;
    int64_t latest_wall_ms_ = 0;
    uint64_t readouts_ = 0;
    bool waiting_ = false;
};

struct ViewSettings {
    std::string serial;     // "TV0001B"
    uint64_t interval_ms;   // as --interval set it
    bool unicode;           // the terminal shows UTF-8
};

// The view's lines for a terminal width columns wide, top to bottom, none
// wider than width: the title (serial, local time of the latest readout,
// readouts taken, interval, and "waiting for SERIAL" while the probe is
// away, else "TALVIRO not responding" when the latest readout was not
// whole), a heading, the four rows in the order of the text
// output, and the keys. A conversion that was not whole shows "--- V" or
// "--- mA"; statistics not yet known are left blank.
std::vector<std::string> watch_screen(const WatchModel& model, const ViewSettings& settings, size_t width);

}  // namespace cli

#endif
