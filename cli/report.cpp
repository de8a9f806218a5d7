#include "cli/report.h"

#include "console/time_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace cli {

namespace {

constexpr char kSeparator = ',';

float reading_of(const readings::Channel& channel, const Conversion& c) {
    return readings::reading_from_count(channel.kind, c.count);
}

// The reading as the window shows it, up to the space before the unit.
std::string plain_number(readings::Kind kind, float reading) {
    const std::string text = readings::format_reading(kind, reading);
    return text.substr(0, text.find(' '));
}

}  // namespace

std::string text_lines(const Sample& sample) {
    std::string text;
    for (int i = 0; i < readings::kChannelCount; ++i) {
        const readings::Channel& channel = readings::kChannels[i];
        const Conversion& c = sample.conversions[static_cast<size_t>(i)];
        text += channel.prefix;
        text += c.whole ? readings::format_reading(channel.kind, reading_of(channel, c))
                        : readings::format_missing(channel.kind);
        text += '\n';
    }
    return text;
}

std::string serial_line(const char* serial) { return std::string("Serial: ") + serial + "\n"; }

std::string csv_line(int64_t wall_ms, const Sample& sample) {
    std::string line = console::iso8601_utc(wall_ms);
    for (int i = 0; i < readings::kChannelCount; ++i) {
        const Conversion& c = sample.conversions[static_cast<size_t>(i)];
        line += kSeparator;
        if (c.whole) line += plain_number(readings::kChannels[i].kind, reading_of(readings::kChannels[i], c));
    }
    for (const Conversion& c : sample.conversions) {
        line += kSeparator;
        if (c.whole) line += std::to_string(c.count);
    }
    return line + "\n";
}

trend::Readout trend_readout(int64_t time_ms, const Sample& sample) {
    trend::Readout readout{time_ms, {}};
    for (int r = 0; r < trend::kReadingCount; ++r) {
        const int i = trend::reading_channel(r);
        const Conversion& c = sample.conversions[static_cast<size_t>(i)];
        float value = NAN;
        if (c.whole) {
            const std::string number = plain_number(readings::kChannels[i].kind, reading_of(readings::kChannels[i], c));
            std::from_chars(number.data(), number.data() + number.size(), value);
        }
        readout.value[r] = value;
    }
    return readout;
}

void Statistics::add(const Sample& sample) {
    ++readouts_;
    for (int i = 0; i < readings::kChannelCount; ++i) {
        const Conversion& c = sample.conversions[static_cast<size_t>(i)];
        if (!c.whole) continue;
        const double reading = reading_of(readings::kChannels[i], c);
        Channel& s = channels_[i];
        s.min = s.whole == 0 ? reading : std::min(s.min, reading);
        s.max = s.whole == 0 ? reading : std::max(s.max, reading);
        s.sum += reading;
        ++s.whole;
    }
}

Statistics::Range Statistics::range(int i) const {
    const Channel& s = channels_[i];
    if (s.whole == 0) return {};
    return {s.whole, s.min, s.sum / static_cast<double>(s.whole), s.max};
}

}  // namespace cli
