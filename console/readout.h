// One readout of the probe: the four converter channels in the order of
// readings::kChannels, each with its raw count and whether it was whole.
#ifndef TALVIRO_CONSOLE_READOUT_H
#define TALVIRO_CONSOLE_READOUT_H

#include "probe/readings.h"

#include <array>
#include <cstdint>
#include <streambuf>

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
// a conversion that is not whole, with the probe link's diagnostic on its
// stream; it never stops the readout. channel_lost tells whether the probe
// link is still in step afterwards.
Sample read_probe();

// Passes every character on to target and remembers whether the last one
// ended a line.
class LineTracker : public std::streambuf {
public:
    explicit LineTracker(std::streambuf* target) : target_(target) {}
    std::streambuf* target() const { return target_; }
    bool line_open() const { return line_open_; }

protected:
    int_type overflow(int_type ch) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;
    int sync() override;

private:
    std::streambuf* target_;
    bool line_open_ = false;
};

// For its lifetime watches std::cout and std::cerr, where the probe link
// writes its diagnostics without a newline. On destruction it ends a line
// the probe link left open on either stream, so whatever comes next starts a
// line of its own; a stream nothing was written to is left untouched.
class ProbeDiagnosticLines {
public:
    ProbeDiagnosticLines();
    ~ProbeDiagnosticLines();
    ProbeDiagnosticLines(const ProbeDiagnosticLines&) = delete;
    ProbeDiagnosticLines& operator=(const ProbeDiagnosticLines&) = delete;

private:
    LineTracker out_;
    LineTracker err_;
};

}  // namespace console

#endif
