// The probe's 4-channel 10-bit serial converter, bit-banged on the high-byte
// pins of channel B with one MPSSE frame per pin change.
//
// Needs a ready channel (probe_open returned 0); nothing here checks it.
// Acts on the current session's channel and keeps that session's pin levels
// (probe_session.h).
#ifndef TALVIRO_PROBE_CONVERTER_H
#define TALVIRO_PROBE_CONVERTER_H

#include <cstdint>

// High-byte pin map of channel B.
namespace converter_pins {
constexpr uint8_t kSelect = 0x02;   // converter chip select, active low
constexpr uint8_t kDataOut = 0x04;  // host -> converter command bits
constexpr uint8_t kDataIn = 0x20;   // converter -> host result bits
constexpr uint8_t kClock = 0x40;    // converter serial clock
constexpr uint8_t kInitialLevels = 0x19;  // bits 0, 3 and 4 high for good
constexpr uint8_t kDirections = 0x5F;     // 1 = output; bits 5 and 7 inputs
}  // namespace converter_pins

// MPSSE opcodes used on the high byte.
namespace mpsse {
constexpr uint8_t kSetBitsHigh = 0x82;  // then level byte, direction byte
constexpr uint8_t kGetBitsHigh = 0x83;  // answers one byte of pin levels
}  // namespace mpsse

constexpr uint16_t kConverterMaxCount = 1023;
constexpr int kConverterChannels = 4;

// Every function here makes its transfers only while the link is in step
// (probe_in_step): once it is not, no answer read can be trusted until the
// channel is reopened, so they make none, at once, and what they would have
// sent or read counts as failed. A probe that falls silent thus costs one
// read time-out, not one per remaining transfer.

// Drives the pins of mask high (level true) or low, keeping the others, and
// sends the set-pins frame. The new levels are kept even when the send fails
// or is not made. Returns probe_write's result; 1 when out of step.
int set_high_pins(uint8_t mask, bool level);

// Sends the read-pins frame and returns 1 when the answer has a bit of mask
// set, else 0. When no answer arrives, or the link is out of step, the
// command byte is tested instead.
int read_high_pin(uint8_t mask);

// One conversion of channel (its three low bits are sent): 52 writes and 10
// reads, then the 10-bit count, 0 to 1023. Once the link is out of step,
// before or during the conversion, the rest of it makes no transfer, and
// every sample not read counts as 0.
uint16_t read_adc_channel(uint8_t channel);

// True when the last read_adc_channel was whole: every write was accepted and
// sent all its bytes, every read delivered its byte, and the channel's byte
// streams were in step (probe_in_step) throughout. A count from a conversion
// that was not whole is not a measurement. False before the first conversion.
bool adc_last_conversion_whole();

#endif
