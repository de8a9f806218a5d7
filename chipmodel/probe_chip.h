// The probe's hardware as a model: channel B of an FT2232H, whose MPSSE
// engine drives the high-byte pins, and the 4-channel 10-bit serial
// converter wired to them (select bit 1 active low, data input bit 2, data
// output bit 5, clock bit 6). It decodes what the host sends exactly as the
// chips would, so a host that gets bit order or clocking wrong reads wrong
// counts. The simulated drivers attach it: the D2XX-shaped one
// (talviro_d2xx_sim) and the USB bus model that stands in for libusb.
//
// One object per chip; not thread-safe.
#ifndef TALVIRO_CHIPMODEL_PROBE_CHIP_H
#define TALVIRO_CHIPMODEL_PROBE_CHIP_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace sim {

// Time as a simulated driver sees it. The default is the real monotonic
// clock; tests install a ManualClock so that a time-out costs no real time.
class Clock {
public:
    virtual ~Clock() = default;
    virtual uint64_t now_ms() = 0;
    // Microseconds on the same clock, for timing finer than a millisecond.
    virtual uint64_t now_us() { return now_ms() * 1000; }
    virtual void sleep_ms(uint32_t ms) = 0;
    virtual void sleep_us(uint64_t us) { sleep_ms(static_cast<uint32_t>((us + 999) / 1000)); }
};

// The steady system clock; shared, stateless.
Clock& real_clock();

class ManualClock : public Clock {
public:
    uint64_t now_ms() override { return now_us_ / 1000; }
    uint64_t now_us() override { return now_us_; }
    void sleep_ms(uint32_t ms) override { now_us_ += uint64_t{ms} * 1000; }
    void sleep_us(uint64_t us) override { now_us_ += us; }
    void advance_ms(uint64_t ms) { now_us_ += ms * 1000; }

private:
    uint64_t now_us_ = 0;
};

// Input of converter channel ch at time now_ms, as a count (clamped to 0..1023).
using InputSource = std::function<uint16_t(unsigned ch, uint64_t now_ms)>;

constexpr int kConverterInputs = 4;

// Converter inputs of the modelled probes on a bench, as counts of channels
// 0 to 3 (A1, supply, target, A0): plain readings that differ from probe to
// probe. Probe n of a bench takes set (n - 1) % kBenchInputSets.
constexpr uint16_t kBenchInputs[][kConverterInputs] = {
    {137, 36, 298, 57},
    {420, 90, 150, 800},
};
constexpr int kBenchInputSets = sizeof kBenchInputs / sizeof kBenchInputs[0];

// MPSSE wire values the chip answers with or acts on outside the pin commands.
constexpr uint8_t kMpsseSendImmediate = 0x87;
constexpr uint8_t kMpsseBadCommand = 0xFA;  // then the opcode it did not know

// What a chip back from a silent spell still holds for the host: the last
// two pin reads of the session the host lost. The second equals the opcode a
// driver's engine check sends (0xAA), so a check that reads them and looks
// only at the second byte takes them for the engine's reply, and a driver
// that does not purge finds them ahead of its first answer.
constexpr uint8_t kStaleAnswers[] = {0xDF, 0xAA};

class ProbeChip {
public:
    // The bit mode request: MPSSE (mode 0x02) switches the engine on, any
    // other mode off. Either way the engine starts afresh: pins undriven,
    // no command half-received, no answer of its own waiting (stale answers
    // stay, see hold_stale_answers).
    void set_bit_mode(uint8_t mode);
    bool mpsse() const { return mpsse_; }
    void reset_engine();

    // Bytes from the host, arriving at now_ms (the converter samples its
    // input then). Outside MPSSE mode they leave as serial data: dropped.
    void feed(const uint8_t* data, size_t count, uint64_t now_ms);

    // Answers the engine holds for the host, oldest first.
    size_t answers_pending() const { return answers_.size(); }
    // Moves up to max answers into out; returns how many.
    size_t take_answers(uint8_t* out, size_t max);
    // How many of the pending answers a SEND_IMMEDIATE asked to send at once.
    size_t immediate_pending() const { return immediate_; }
    // The purge requests: answers not yet sent (stale ones included), and a
    // command half-received.
    void purge_answers();
    void purge_input() { partial_.clear(); }

    // Faults and variants of the chip.
    void set_ignore_send_immediate(bool on) { ignore_send_immediate_ = on; }
    void set_dead_engine(bool on) { dead_engine_ = on; }  // takes bytes, never answers
    // An engine that stops answering, as a dead one, once the host has made
    // transfers (count_transfer) with channel B; the chip stays on the bus.
    // With revives, it answers again when its bit mode next enters MPSSE
    // from another mode (a reset, as a close and reopen do), and the count
    // starts again there at every such entry. -1: it never stops.
    void set_engine_lifetime(long transfers, bool revives);
    // One transfer between the host and channel B (a bulk transfer, or a
    // driver's read or write call).
    void count_transfer() { ++transfers_; }
    // Answers of a session the host lost (kStaleAnswers) wait in the engine
    // and reach the to-host buffer when it next enters MPSSE mode, ahead of
    // anything new. From there a bit-mode change or an engine reset does not
    // discard them; only purge_answers does. For a chip that comes back from
    // a silent spell, held anew at each open of channel B.
    void hold_stale_answers() { stale_held_ = true; }

    void set_input_count(unsigned ch, uint16_t count);
    void set_input_source(InputSource source) { input_source_ = std::move(source); }

    // Level bytes of every set-pins frame executed, in order, while recording.
    void record_frames(bool on) { record_frames_ = on; }
    const std::vector<uint8_t>& high_level_frames() const { return high_frames_; }
    uint64_t conversions() const { return samples_taken_; }  // survives engine resets

private:
    // The converter: select low enables it. On rising clock edges it takes a
    // start bit, then single/differential and three channel bits. Its output
    // changes only on falling edges: after the last command bit one falling
    // edge ends the sample, the next gives a null bit, then B9..B0 follow,
    // then B1..B9 again least significant first, then zeros.
    class Converter {
    public:
        template <typename Sample>
        void drive(bool select_low, bool data_in, bool clock, Sample sample);
        bool output() const { return output_; }

    private:
        enum class Phase { WaitStart, Command, Output };
        bool bit_for_fall(int n) const;

        Phase phase_ = Phase::WaitStart;
        bool clock_ = false;
        bool output_ = false;
        uint8_t command_ = 0;
        int command_bits_ = 0;
        int falls_ = 0;
        uint16_t value_ = 0;
    };

    uint16_t input_of(unsigned ch, uint64_t now_ms) const;
    uint16_t sample_command(uint8_t command, uint64_t now_ms);
    uint8_t high_pins_seen() const;
    uint8_t high_pins_read() const;
    void high_pins_changed(uint8_t before, uint64_t now_ms);
    void execute(const std::vector<uint8_t>& cmd, uint64_t now_ms);
    void answer(uint8_t byte);

    bool engine_stopped() const;

    bool mpsse_ = false;
    std::deque<uint8_t> answers_;  // the to-host buffer
    size_t stale_ = 0;             // stale answers at its front
    size_t immediate_ = 0;
    std::vector<uint8_t> partial_;  // a command split across writes
    uint8_t high_levels_ = 0, high_dirs_ = 0, low_levels_ = 0, low_dirs_ = 0;
    Converter converter_;
    uint64_t samples_taken_ = 0;

    bool ignore_send_immediate_ = false;
    bool dead_engine_ = false;
    long lifetime_ = -1;
    bool revives_ = false;
    long transfers_ = 0;
    bool stale_held_ = false;
    uint16_t inputs_[kConverterInputs] = {};
    InputSource input_source_;
    bool record_frames_ = false;
    std::vector<uint8_t> high_frames_;
};

}  // namespace sim

#endif
