#include "chipmodel/probe_chip.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <thread>

namespace sim {
namespace {

constexpr uint16_t kMaxCount = 1023;
constexpr uint8_t kBitModeMpsse = 0x02;

// MPSSE opcodes the engine knows.
constexpr uint8_t kSetBitsLow = 0x80;
constexpr uint8_t kGetBitsLow = 0x81;
constexpr uint8_t kSetBitsHigh = 0x82;
constexpr uint8_t kGetBitsHigh = 0x83;
constexpr uint8_t kLoopbackOn = 0x84;
constexpr uint8_t kLoopbackOff = 0x85;
constexpr uint8_t kSetClockDivisor = 0x86;
constexpr uint8_t kSendImmediate = kMpsseSendImmediate;
constexpr uint8_t kWaitOnHigh = 0x88;
constexpr uint8_t kWaitOnLow = 0x89;
constexpr uint8_t kDivideBy5Off = 0x8A;
constexpr uint8_t kDivideBy5On = 0x8B;
constexpr uint8_t kThreePhaseOn = 0x8C;
constexpr uint8_t kThreePhaseOff = 0x8D;
constexpr uint8_t kClockBitsNoData = 0x8E;
constexpr uint8_t kClockBytesNoData = 0x8F;
constexpr uint8_t kClockUntilHigh = 0x94;
constexpr uint8_t kClockUntilLow = 0x95;
constexpr uint8_t kAdaptiveOn = 0x96;
constexpr uint8_t kAdaptiveOff = 0x97;
constexpr uint8_t kClockUntilHighBytes = 0x9C;
constexpr uint8_t kClockUntilLowBytes = 0x9D;
constexpr uint8_t kDriveOpenDrain = 0x9E;

// Converter wiring on the high byte.
constexpr uint8_t kPinSelect = 0x02;
constexpr uint8_t kPinDataIn = 0x04;   // converter's input, host's data-out
constexpr uint8_t kPinDataOut = 0x20;  // converter's output, host's data-in
constexpr uint8_t kPinClock = 0x40;

class RealClock : public Clock {
public:
    uint64_t now_ms() override { return now_us() / 1000; }
    uint64_t now_us() override {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
    }
    void sleep_ms(uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    void sleep_us(uint64_t us) override {
        std::this_thread::sleep_for(std::chrono::microseconds(us));
    }
};

uint16_t clamp_count(long v) {
    return static_cast<uint16_t>(std::clamp<long>(v, 0, kMaxCount));
}

// MPSSE opcodes below 0x80 clock data on the serial pins. Their bits say
// what the command carries: write data, read data, TMS, bit or byte mode.
constexpr uint8_t kShiftBitMode = 0x02;
constexpr uint8_t kShiftWrite = 0x10;
constexpr uint8_t kShiftRead = 0x20;
constexpr uint8_t kShiftTms = 0x40;

bool is_shift_command(uint8_t op) {
    return op < 0x80 && (op & (kShiftWrite | kShiftRead | kShiftTms)) != 0 &&
           (!(op & kShiftTms) || (op & kShiftBitMode));
}

// Bytes of a byte-mode shift command's length field say length + 1 bytes.
size_t shift_length(const std::vector<uint8_t>& cmd) {
    return static_cast<size_t>(cmd[1] | cmd[2] << 8) + 1;
}

// How many bytes the command starting cmd[0] takes in all, as far as the
// bytes so far tell; 0 for an opcode the chip does not know.
size_t command_size(const std::vector<uint8_t>& cmd) {
    const uint8_t op = cmd[0];
    if (is_shift_command(op)) {
        const bool writes = (op & (kShiftWrite | kShiftTms)) != 0;
        if (op & kShiftBitMode) return 2 + (writes ? 1 : 0);  // length, data
        if (!writes) return 3;
        return cmd.size() < 3 ? 3 : 3 + shift_length(cmd);
    }
    switch (op) {
    case kSetBitsLow:
    case kSetBitsHigh:
    case kSetClockDivisor:
    case kClockBytesNoData:
    case kClockUntilHighBytes:
    case kClockUntilLowBytes:
    case kDriveOpenDrain: return 3;
    case kClockBitsNoData: return 2;
    case kGetBitsLow:
    case kGetBitsHigh:
    case kLoopbackOn:
    case kLoopbackOff:
    case kSendImmediate:
    case kWaitOnHigh:
    case kWaitOnLow:
    case kDivideBy5Off:
    case kDivideBy5On:
    case kThreePhaseOn:
    case kThreePhaseOff:
    case kClockUntilHigh:
    case kClockUntilLow:
    case kAdaptiveOn:
    case kAdaptiveOff: return 1;
    default: return 0;
    }
}

}  // namespace

Clock& real_clock() {
    static RealClock clock;
    return clock;
}

template <typename Sample>
void ProbeChip::Converter::drive(bool select_low, bool data_in, bool clock, Sample sample) {
    constexpr int kCommandBits = 4;  // SGL/DIFF, D2, D1, D0
    constexpr int kSampleEndFall = 2;
    const bool rising = clock && !clock_;
    const bool falling = !clock && clock_;
    clock_ = clock;
    if (!select_low) {
        phase_ = Phase::WaitStart;
        output_ = false;
        return;
    }
    if (rising) {
        if (phase_ == Phase::WaitStart) {
            if (data_in) {
                phase_ = Phase::Command;
                command_ = 0;
                command_bits_ = 0;
            }
        } else if (phase_ == Phase::Command) {
            command_ = static_cast<uint8_t>(command_ << 1 | (data_in ? 1 : 0));
            if (++command_bits_ == kCommandBits) {
                phase_ = Phase::Output;
                falls_ = 0;
            }
        }
    }
    if (falling && phase_ == Phase::Output) {
        ++falls_;
        if (falls_ == kSampleEndFall) {
            value_ = sample(command_);
            output_ = false;  // the null bit
        } else if (falls_ > kSampleEndFall) {
            output_ = bit_for_fall(falls_ - kSampleEndFall);
        }
    }
}

// n = 1 is B9; after B0 the word repeats from B1 upwards.
bool ProbeChip::Converter::bit_for_fall(int n) const {
    constexpr int kResultBits = 10;
    if (n <= kResultBits) return (value_ >> (kResultBits - n)) & 1;
    const int lsb_first = n - kResultBits;  // 1 -> B1
    if (lsb_first < kResultBits) return (value_ >> lsb_first) & 1;
    return false;
}

void ProbeChip::set_bit_mode(uint8_t mode) {
    const bool was_mpsse = mpsse_;
    reset_engine();
    mpsse_ = mode == kBitModeMpsse;
    if (!mpsse_ || was_mpsse) return;
    if (revives_) transfers_ = 0;
    if (stale_held_) {
        answers_.insert(answers_.end(), std::begin(kStaleAnswers), std::end(kStaleAnswers));
        stale_ = answers_.size();
        stale_held_ = false;
    }
}

void ProbeChip::set_engine_lifetime(long transfers, bool revives) {
    lifetime_ = transfers;
    revives_ = revives;
    transfers_ = 0;
}

bool ProbeChip::engine_stopped() const {
    return dead_engine_ || (lifetime_ >= 0 && transfers_ >= lifetime_);
}

void ProbeChip::reset_engine() {
    mpsse_ = false;
    answers_.resize(stale_);
    immediate_ = 0;
    partial_.clear();
    high_levels_ = high_dirs_ = low_levels_ = low_dirs_ = 0;
    converter_ = Converter();
}

void ProbeChip::purge_answers() {
    answers_.clear();
    stale_ = 0;
    immediate_ = 0;
}

void ProbeChip::set_input_count(unsigned ch, uint16_t count) {
    inputs_[ch % kConverterInputs] = clamp_count(count);
}

size_t ProbeChip::take_answers(uint8_t* out, size_t max) {
    const size_t n = std::min(max, answers_.size());
    std::copy_n(answers_.begin(), n, out);
    answers_.erase(answers_.begin(), answers_.begin() + static_cast<std::ptrdiff_t>(n));
    immediate_ -= std::min(immediate_, n);
    stale_ -= std::min(stale_, n);
    return n;
}

uint16_t ProbeChip::input_of(unsigned ch, uint64_t now_ms) const {
    if (input_source_) return clamp_count(input_source_(ch, now_ms));
    return inputs_[ch % kConverterInputs];
}

// The converter's answer for a command word (SGL/DIFF D2 D1 D0). It has
// four inputs, so D2 is ignored. Differential pairs: 0+1-, 0-1+, 2+3-, 2-3+.
uint16_t ProbeChip::sample_command(uint8_t command, uint64_t now_ms) {
    ++samples_taken_;
    const bool single = (command & 0x8) != 0;
    const unsigned sel = command & 0x3;
    if (single) return input_of(sel, now_ms);
    const unsigned base = sel & 0x2;
    const bool swapped = (sel & 0x1) != 0;
    const long plus = input_of(swapped ? base + 1 : base, now_ms);
    const long minus = input_of(swapped ? base : base + 1, now_ms);
    return clamp_count(plus - minus);
}

// The chip's I/O pins have internal pull-ups: a pin the host does not drive
// reads high, except data-in, which the converter always drives.
uint8_t ProbeChip::high_pins_seen() const {
    return static_cast<uint8_t>((high_levels_ & high_dirs_) | ~high_dirs_);
}

uint8_t ProbeChip::high_pins_read() const {
    const uint8_t converter = converter_.output() ? kPinDataOut : 0;
    const uint8_t pins = static_cast<uint8_t>((high_pins_seen() & ~kPinDataOut) | converter);
    return static_cast<uint8_t>((high_levels_ & high_dirs_) | (pins & ~high_dirs_));
}

void ProbeChip::high_pins_changed(uint8_t before, uint64_t now_ms) {
    const uint8_t pins = high_pins_seen();
    // The converter needs its data input stable before the rising clock
    // edge: a level that changes in the same frame as the edge comes too
    // late, and the level before it is latched.
    const bool data_in = ((pins & kPinClock) && !(before & kPinClock)) ? (before & kPinDataIn) != 0
                                                                        : (pins & kPinDataIn) != 0;
    converter_.drive((pins & kPinSelect) == 0, data_in, (pins & kPinClock) != 0,
                     [this, now_ms](uint8_t command) { return sample_command(command, now_ms); });
}

void ProbeChip::answer(uint8_t byte) {
    if (!engine_stopped()) answers_.push_back(byte);
}

void ProbeChip::execute(const std::vector<uint8_t>& cmd, uint64_t now_ms) {
    switch (cmd[0]) {
    case kSetBitsLow:
        low_levels_ = cmd[1];
        low_dirs_ = cmd[2];
        break;
    case kSetBitsHigh: {
        const uint8_t before = high_pins_seen();
        high_levels_ = cmd[1];
        high_dirs_ = cmd[2];
        if (record_frames_) high_frames_.push_back(cmd[1]);
        high_pins_changed(before, now_ms);
        break;
    }
    case kGetBitsLow: answer(static_cast<uint8_t>(low_levels_ & low_dirs_)); break;
    case kGetBitsHigh: answer(high_pins_read()); break;
    case kSendImmediate:
        if (!ignore_send_immediate_) immediate_ = answers_.size();
        break;
    default:
        // Known commands beyond the pins are framed but not modelled: nothing
        // is wired to the serial pins, so what they read is 0.
        if (is_shift_command(cmd[0]) && (cmd[0] & kShiftRead)) {
            const size_t n = (cmd[0] & kShiftBitMode) ? 1 : shift_length(cmd);
            for (size_t i = 0; i < n; ++i) answer(0);
        }
        break;
    }
}

void ProbeChip::feed(const uint8_t* data, size_t count, uint64_t now_ms) {
    if (!mpsse_) return;
    for (size_t i = 0; i < count; ++i) {
        partial_.push_back(data[i]);
        const size_t size = command_size(partial_);
        if (size == 0) {
            answer(kMpsseBadCommand);
            answer(partial_[0]);
            partial_.clear();
        } else if (partial_.size() == size) {
            execute(partial_, now_ms);
            partial_.clear();
        }
    }
}

}  // namespace sim
