#include "probe/converter.h"

#include "probe/probe_channel.h"
#include "probe/probe_session.h"

namespace {

using namespace converter_pins;

constexpr uint32_t kSetFrameSize = 3;
constexpr uint32_t kReadFrameSize = 1;
constexpr uint32_t kAnswerSize = 1;

// The command word: start bit and single-ended bit above the channel.
constexpr uint8_t kCommandBase = 0x18;
constexpr int kCommandBits = 5;
// The converter needs one clock to finish sampling and one for its null bit.
constexpr int kIdleClocks = 2;
constexpr int kResultBits = 10;

unsigned char g_frame[kSetFrameSize] = {0, 0, 0};

// The current session's (probe_session.h): pin levels, and whether the
// running conversion is still whole, which any transfer that did not go
// through clears.
uint8_t& levels() { return probe_session().converter.levels; }
bool& whole() { return probe_session().converter.whole; }

void note_write(int result, uint32_t written, uint32_t count) {
    if (result != 0 || written != count) whole() = false;
}

void clock_pulse() {
    set_high_pins(kClock, true);
    set_high_pins(kClock, false);
}

}  // namespace

int set_high_pins(uint8_t mask, bool level) {
    if (level)
        levels() |= mask;
    else
        levels() &= static_cast<uint8_t>(~mask);
    g_frame[0] = mpsse::kSetBitsHigh;
    g_frame[1] = levels();
    g_frame[2] = kDirections;
    if (!probe_in_step()) {
        whole() = false;
        return 1;
    }
    uint32_t written = 0;
    const int result = probe_write(g_frame, kSetFrameSize, &written);
    note_write(result, written, kSetFrameSize);
    return result;
}

int read_high_pin(uint8_t mask) {
    g_frame[0] = mpsse::kGetBitsHigh;
    if (!probe_in_step()) {
        whole() = false;
        return (g_frame[0] & mask) != 0 ? 1 : 0;
    }
    uint32_t written = 0;
    const int sent = probe_write(g_frame, kReadFrameSize, &written);
    note_write(sent, written, kReadFrameSize);
    uint32_t received = 0;
    // The answer overwrites the command byte; when none arrives the command
    // byte itself is tested, which reads 0 on the data-in pin.
    if (probe_read(g_frame, kAnswerSize, &received) != 0 || received != kAnswerSize)
        whole() = false;
    return (g_frame[0] & mask) != 0 ? 1 : 0;
}

uint16_t read_adc_channel(uint8_t channel) {
    whole() = true;
    set_high_pins(kSelect, false);
    set_high_pins(kClock, false);

    const uint8_t command = static_cast<uint8_t>(channel | kCommandBase);
    for (int bit = kCommandBits - 1; bit >= 0; --bit) {
        // Data changes only while the clock is low; the converter latches it
        // on the rising edge.
        set_high_pins(kDataOut, ((command >> bit) & 1) != 0);
        clock_pulse();
    }
    for (int i = 0; i < kIdleClocks; ++i) clock_pulse();

    uint16_t result = 0;
    for (int i = 0; i < kResultBits; ++i) {
        result = static_cast<uint16_t>(result << 1);
        // The converter changes its output on falling edges, so the bit is
        // stable while the clock is high.
        set_high_pins(kClock, true);
        result |= static_cast<uint16_t>(read_high_pin(kDataIn));
        set_high_pins(kClock, false);
    }
    set_high_pins(kSelect, true);
    // After a lost answer the bytes read may belong to earlier samples.
    if (!probe_in_step()) whole() = false;
    return result;
}

bool adc_last_conversion_whole() { return whole(); }
