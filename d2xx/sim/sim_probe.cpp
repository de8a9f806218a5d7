// FT_* over a model of the probe's hardware. The MPSSE engine and the
// converter decode what the host writes exactly as the chips would, so the
// counts that come back depend on the host getting bit order and clocking
// right, not on what the host meant to do.
#include "d2xx/sim/sim_probe.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <new>
#include <thread>

namespace sim {
namespace {

constexpr uint32_t kVendorId = 0x0403;
constexpr uint32_t kProductId = 0x6010;
constexpr uint32_t kDeviceId = kVendorId << 16 | kProductId;
constexpr uint16_t kMaxCount = 1023;
constexpr int kConverterInputs = 4;
constexpr int kSerialMax = FT_SERIAL_NUMBER_SIZE - 1;
constexpr uint32_t kDefaultTimeoutMs = 5000;
const char* const kDefaultProduct = "TALVIRO";
const char* const kDefaultSerial = "TV0001";

// MPSSE opcodes the engine knows.
constexpr uint8_t kSetBitsLow = 0x80;
constexpr uint8_t kGetBitsLow = 0x81;
constexpr uint8_t kSetBitsHigh = 0x82;
constexpr uint8_t kGetBitsHigh = 0x83;
constexpr uint8_t kLoopbackOn = 0x84;
constexpr uint8_t kLoopbackOff = 0x85;
constexpr uint8_t kSetClockDivisor = 0x86;
constexpr uint8_t kSendImmediate = 0x87;
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
constexpr uint8_t kBadCommand = 0xFA;

// Converter wiring on the high byte.
constexpr uint8_t kPinSelect = 0x02;
constexpr uint8_t kPinDataIn = 0x04;   // converter's input, host's data-out
constexpr uint8_t kPinDataOut = 0x20;  // converter's output, host's data-in
constexpr uint8_t kPinClock = 0x40;

class RealClock : public Clock {
public:
    uint64_t now_ms() override {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
    }
    void sleep_ms(uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
};

// A 4-channel 10-bit successive-approximation converter with a serial
// interface. Select low enables it. On rising clock edges it takes a start
// bit, then single/differential and three channel bits. Its output changes
// only on falling edges: after the last command bit one falling edge ends
// the sample, the next gives a null bit, then B9..B0 follow, then B1..B9
// again least significant first, then zeros.
class Converter {
public:
    void reset() { *this = Converter(); }

    // The pins as the host drives them, after every set-pins command.
    template <typename Sample>
    void drive(bool select_low, bool data_in, bool clock, Sample sample) {
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

    bool output() const { return output_; }

private:
    enum class Phase { WaitStart, Command, Output };
    static constexpr int kCommandBits = 4;  // SGL/DIFF, D2, D1, D0
    static constexpr int kSampleEndFall = 2;
    static constexpr int kResultBits = 10;

    // n = 1 is B9; after B0 the word repeats from B1 upwards.
    bool bit_for_fall(int n) const {
        if (n <= kResultBits) return (value_ >> (kResultBits - n)) & 1;
        const int lsb_first = n - kResultBits;  // 1 -> B1
        if (lsb_first < kResultBits) return (value_ >> lsb_first) & 1;
        return false;
    }

    Phase phase_ = Phase::WaitStart;
    bool clock_ = false;
    bool output_ = false;
    uint8_t command_ = 0;
    int command_bits_ = 0;
    int falls_ = 0;
    uint16_t value_ = 0;
};

struct HandleState {
    char letter;
    bool dead = false;  // the device it belonged to was unplugged
    uint32_t read_timeout_ms = kDefaultTimeoutMs;
    uint32_t write_timeout_ms = kDefaultTimeoutMs;
    uint8_t latency_ms = 16;
};

struct Fault {
    Fn fn;
    uint64_t at_call;  // the fn call count at which it fires
    FT_STATUS status;
};

struct State {
    // The device.
    std::string product = kDefaultProduct;
    std::string chip_serial = kDefaultSerial;
    bool unterminated_serial = false;
    char raw_serial[FT_SERIAL_NUMBER_SIZE] = {};
    uint16_t inputs[kConverterInputs] = {};
    InputSource input_source;
    bool plugged = true;
    bool open_a = false;
    bool open_b = false;

    // Channel B's MPSSE engine.
    bool mpsse = false;
    std::deque<uint8_t> answers;
    std::vector<uint8_t> partial;  // a command split across writes
    uint8_t high_levels = 0, high_dirs = 0, low_levels = 0, low_dirs = 0;
    std::vector<uint8_t> high_frames;
    Converter converter;
    uint64_t samples_taken = 0;  // survives engine resets, unlike the converter

    // Host side.
    std::map<uintptr_t, HandleState> handles;
    uintptr_t next_handle = 1;

    // Faults and observation.
    std::vector<Fault> faults;
    uint64_t calls_of[kFnCount] = {};
    int read_limit = -1;
    int write_limit = -1;
    long unplug_countdown = -1;
    std::vector<Call> log;
    RealClock real_clock;
    Clock* clock = &real_clock;
};

State& state() {
    static State s;
    return s;
}

uint16_t clamp_count(long v) {
    return static_cast<uint16_t>(std::clamp<long>(v, 0, kMaxCount));
}

uint16_t input_of(unsigned ch) {
    State& s = state();
    if (s.input_source) return clamp_count(s.input_source(ch, s.clock->now_ms()));
    return s.inputs[ch % kConverterInputs];
}

// The converter's answer for a command word (SGL/DIFF D2 D1 D0). It has
// four inputs, so D2 is ignored. Differential pairs: 0+1-, 0-1+, 2+3-, 2-3+.
uint16_t sample_command(uint8_t command) {
    ++state().samples_taken;
    const bool single = (command & 0x8) != 0;
    const unsigned sel = command & 0x3;
    if (single) return input_of(sel);
    const unsigned base = sel & 0x2;
    const bool swapped = (sel & 0x1) != 0;
    const long plus = input_of(swapped ? base + 1 : base);
    const long minus = input_of(swapped ? base : base + 1);
    return clamp_count(plus - minus);
}

// The chip's I/O pins have internal pull-ups: a pin the host does not drive
// reads high, except data-in, which the converter always drives.
uint8_t high_pins_seen() {
    const State& s = state();
    return static_cast<uint8_t>((s.high_levels & s.high_dirs) | ~s.high_dirs);
}

uint8_t high_pins_read() {
    const State& s = state();
    const uint8_t converter = s.converter.output() ? kPinDataOut : 0;
    const uint8_t pins = static_cast<uint8_t>((high_pins_seen() & ~kPinDataOut) | converter);
    return static_cast<uint8_t>((s.high_levels & s.high_dirs) | (pins & ~s.high_dirs));
}

void high_pins_changed(uint8_t before) {
    State& s = state();
    const uint8_t pins = high_pins_seen();
    // The converter needs its data input stable before the rising clock
    // edge: a level that changes in the same frame as the edge comes too
    // late, and the level before it is latched.
    const bool data_in = ((pins & kPinClock) && !(before & kPinClock)) ? (before & kPinDataIn) != 0
                                                                        : (pins & kPinDataIn) != 0;
    s.converter.drive((pins & kPinSelect) == 0, data_in, (pins & kPinClock) != 0, sample_command);
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

void execute(const std::vector<uint8_t>& cmd) {
    State& s = state();
    switch (cmd[0]) {
    case kSetBitsLow:
        s.low_levels = cmd[1];
        s.low_dirs = cmd[2];
        break;
    case kSetBitsHigh: {
        const uint8_t before = high_pins_seen();
        s.high_levels = cmd[1];
        s.high_dirs = cmd[2];
        s.high_frames.push_back(cmd[1]);
        high_pins_changed(before);
        break;
    }
    case kGetBitsLow:
        s.answers.push_back(static_cast<uint8_t>(s.low_levels & s.low_dirs));
        break;
    case kGetBitsHigh: s.answers.push_back(high_pins_read()); break;
    default:
        // Known commands beyond the pins are framed but not modelled: nothing
        // is wired to the serial pins, so what they read is 0.
        if (is_shift_command(cmd[0]) && (cmd[0] & kShiftRead)) {
            const size_t n = (cmd[0] & kShiftBitMode) ? 1 : shift_length(cmd);
            s.answers.insert(s.answers.end(), n, 0);
        }
        break;
    }
}

void feed_engine(const uint8_t* data, uint32_t count) {
    State& s = state();
    if (!s.mpsse) return;  // outside MPSSE mode the bytes leave as serial data
    for (uint32_t i = 0; i < count; ++i) {
        s.partial.push_back(data[i]);
        const size_t size = command_size(s.partial);
        if (size == 0) {
            // The chip's answer to an opcode it does not know.
            s.answers.push_back(kBadCommand);
            s.answers.push_back(s.partial[0]);
            s.partial.clear();
        } else if (s.partial.size() == size) {
            execute(s.partial);
            s.partial.clear();
        }
    }
}

void reset_engine() {
    State& s = state();
    s.mpsse = false;
    s.answers.clear();
    s.partial.clear();
    s.high_levels = s.high_dirs = s.low_levels = s.low_dirs = 0;
    s.converter.reset();
}

void do_unplug() {
    State& s = state();
    s.plugged = false;
    for (auto& h : s.handles) h.second.dead = true;
    s.open_a = s.open_b = false;
    reset_engine();
}

// Everything common to the start of a call: the log entry, the unplug
// countdown and an injected fault. Returns the status to fail with, or
// FT_OK to go on.
FT_STATUS begin_call(Call& call) {
    State& s = state();
    call.time_ms = s.clock->now_ms();
    if (s.unplug_countdown == 0) {
        do_unplug();
        s.unplug_countdown = -1;
    } else if (s.unplug_countdown > 0) {
        --s.unplug_countdown;
    }
    const uint64_t n = ++s.calls_of[static_cast<int>(call.fn)];
    for (auto it = s.faults.begin(); it != s.faults.end(); ++it) {
        if (it->fn == call.fn && it->at_call == n) {
            const FT_STATUS status = it->status;
            s.faults.erase(it);
            return status;
        }
    }
    return FT_OK;
}

FT_STATUS finish(Call& call, FT_STATUS status) {
    call.status = status;
    state().log.push_back(std::move(call));
    return status;
}

// Looks the handle up; nullptr when it is unknown or closed.
HandleState* find(FT_HANDLE handle) {
    auto& handles = state().handles;
    auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
    return it == handles.end() ? nullptr : &it->second;
}

// The shared prologue of every call on a handle.
FT_STATUS check_handle(Call& call, HandleState** out) {
    const FT_STATUS injected = begin_call(call);
    HandleState* h = find(call.handle);
    if (!h) return FT_INVALID_HANDLE;
    if (injected != FT_OK) return injected;
    if (h->dead) return FT_IO_ERROR;
    *out = h;
    return FT_OK;
}

bool& open_flag(char letter) { return letter == 'A' ? state().open_a : state().open_b; }

}  // namespace

const char* fn_name(Fn fn) {
    static const char* const names[kFnCount] = {
        "FT_OpenEx", "FT_SetLatencyTimer", "FT_GetLatencyTimer", "FT_SetTimeouts", "FT_SetBitMode",
        "FT_GetDeviceInfo", "FT_Write", "FT_Read", "FT_Close"};
    return names[static_cast<int>(fn)];
}

void Device::reset() {
    // Rebuilt in place: State holds a pointer to its own real clock.
    State& s = state();
    s.~State();
    new (&s) State();
}

void Device::set_product(const std::string& product) { state().product = product; }
void Device::set_chip_serial(const std::string& serial) {
    state().chip_serial = serial;
    state().unterminated_serial = false;
}
void Device::set_unterminated_serial(const char (&bytes)[16]) {
    std::memcpy(state().raw_serial, bytes, sizeof bytes);
    state().unterminated_serial = true;
}
void Device::set_input_count(unsigned ch, uint16_t count) {
    state().inputs[ch % kConverterInputs] = clamp_count(count);
}
void Device::set_input_source(InputSource source) { state().input_source = std::move(source); }
void Device::set_clock(Clock* clock) {
    state().clock = clock ? clock : &state().real_clock;
}
Clock& Device::clock() { return *state().clock; }

void Device::fail_call(Fn fn, unsigned nth, FT_STATUS status) {
    State& s = state();
    s.faults.push_back({fn, s.calls_of[static_cast<int>(fn)] + nth, status});
}
void Device::limit_reads(int max_bytes) { state().read_limit = max_bytes; }
void Device::limit_writes(int max_bytes) { state().write_limit = max_bytes; }
void Device::unplug() { do_unplug(); }
void Device::unplug_after_calls(unsigned n) { state().unplug_countdown = n; }
void Device::plug_in() {
    State& s = state();
    s.plugged = true;
    s.unplug_countdown = -1;
}
bool Device::plugged_in() const { return state().plugged; }

const std::vector<Call>& Device::log() const { return state().log; }
void Device::clear_log() { state().log.clear(); }
std::vector<Call> Device::calls(Fn fn) const {
    std::vector<Call> out;
    for (const Call& c : state().log)
        if (c.fn == fn) out.push_back(c);
    return out;
}
const std::vector<uint8_t>& Device::high_level_frames() const { return state().high_frames; }
bool Device::channel_open(char letter) const {
    return letter == 'A' ? state().open_a : state().open_b;
}
uint64_t Device::conversions() const { return state().samples_taken; }

Device& device() {
    static Device d;
    return d;
}

}  // namespace sim

using sim::Call;
using sim::Fn;

extern "C" {

FT_STATUS FT_OpenEx(void* arg, uint32_t flags, FT_HANDLE* handle) {
    sim::State& s = sim::state();
    Call call{Fn::OpenEx, nullptr, {flags}, {}, {}, 0, FT_OK, 0};
    if (arg && flags == FT_OPEN_BY_DESCRIPTION) call.text = static_cast<const char*>(arg);
    FT_STATUS status = sim::begin_call(call);
    if (status != FT_OK) return sim::finish(call, status);
    if (!handle || flags != FT_OPEN_BY_DESCRIPTION || !s.plugged)
        return sim::finish(call, FT_DEVICE_NOT_FOUND);
    char letter = 0;
    if (call.text == s.product + " A") letter = 'A';
    if (call.text == s.product + " B") letter = 'B';
    if (!letter) return sim::finish(call, FT_DEVICE_NOT_FOUND);
    if (sim::open_flag(letter)) return sim::finish(call, FT_DEVICE_NOT_OPENED);
    sim::open_flag(letter) = true;
    if (letter == 'B') sim::reset_engine();
    const uintptr_t id = s.next_handle++;
    s.handles[id] = sim::HandleState{letter};
    *handle = reinterpret_cast<FT_HANDLE>(id);
    call.handle = *handle;
    return sim::finish(call, FT_OK);
}

FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, uint8_t timer_ms) {
    Call call{Fn::SetLatencyTimer, handle, {timer_ms}, {}, {}, 0, FT_OK, 0};
    sim::HandleState* h = nullptr;
    const FT_STATUS status = sim::check_handle(call, &h);
    if (status == FT_OK) h->latency_ms = timer_ms;
    return sim::finish(call, status);
}

FT_STATUS FT_GetLatencyTimer(FT_HANDLE handle, uint8_t* timer_ms) {
    Call call{Fn::GetLatencyTimer, handle, {}, {}, {}, 0, FT_OK, 0};
    sim::HandleState* h = nullptr;
    const FT_STATUS status = sim::check_handle(call, &h);
    if (status == FT_OK && timer_ms) *timer_ms = h->latency_ms;
    return sim::finish(call, status);
}

FT_STATUS FT_SetTimeouts(FT_HANDLE handle, uint32_t read_ms, uint32_t write_ms) {
    Call call{Fn::SetTimeouts, handle, {read_ms, write_ms}, {}, {}, 0, FT_OK, 0};
    sim::HandleState* h = nullptr;
    const FT_STATUS status = sim::check_handle(call, &h);
    if (status == FT_OK) {
        h->read_timeout_ms = read_ms;
        h->write_timeout_ms = write_ms;
    }
    return sim::finish(call, status);
}

FT_STATUS FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode) {
    Call call{Fn::SetBitMode, handle, {mask, mode}, {}, {}, 0, FT_OK, 0};
    sim::HandleState* h = nullptr;
    const FT_STATUS status = sim::check_handle(call, &h);
    if (status == FT_OK && h->letter == 'B') {
        sim::reset_engine();
        sim::state().mpsse = mode == FT_BITMODE_MPSSE;
    }
    return sim::finish(call, status);
}

FT_STATUS FT_GetDeviceInfo(FT_HANDLE handle, uint32_t* type, uint32_t* id, char* serial,
                           char* description, void* reserved) {
    (void)reserved;
    Call call{Fn::GetDeviceInfo, handle, {}, {}, {}, 0, FT_OK, 0};
    sim::HandleState* h = nullptr;
    const FT_STATUS status = sim::check_handle(call, &h);
    if (status != FT_OK) return sim::finish(call, status);
    const sim::State& s = sim::state();
    if (type) *type = FT_DEVICE_2232H;
    if (id) *id = sim::kDeviceId;
    if (serial) {
        if (s.unterminated_serial) {
            std::memcpy(serial, s.raw_serial, FT_SERIAL_NUMBER_SIZE);
        } else {
            const std::string text = (s.chip_serial + h->letter).substr(0, sim::kSerialMax);
            std::memcpy(serial, text.c_str(), text.size() + 1);
        }
    }
    if (description) {
        const std::string text =
            (s.product + " " + h->letter).substr(0, FT_DESCRIPTION_SIZE - 1);
        std::memcpy(description, text.c_str(), text.size() + 1);
    }
    return sim::finish(call, FT_OK);
}

FT_STATUS FT_Write(FT_HANDLE handle, void* data, uint32_t count, uint32_t* written) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    Call call{Fn::Write, handle, {count}, {}, {}, 0, FT_OK, 0};
    if (bytes) call.bytes.assign(bytes, bytes + count);
    sim::HandleState* h = nullptr;
    const FT_STATUS status = sim::check_handle(call, &h);
    if (status != FT_OK) {
        if (written) *written = 0;
        return sim::finish(call, status);
    }
    sim::State& s = sim::state();
    uint32_t accepted = count;
    if (s.write_limit >= 0) accepted = std::min<uint32_t>(count, s.write_limit);
    if (h->letter == 'B' && bytes) sim::feed_engine(bytes, accepted);
    if (accepted < count) s.clock->sleep_ms(h->write_timeout_ms);
    call.done = accepted;
    if (written) *written = accepted;
    return sim::finish(call, FT_OK);
}

FT_STATUS FT_Read(FT_HANDLE handle, void* data, uint32_t count, uint32_t* returned) {
    Call call{Fn::Read, handle, {count}, {}, {}, 0, FT_OK, 0};
    sim::HandleState* h = nullptr;
    const FT_STATUS status = sim::check_handle(call, &h);
    if (status != FT_OK) {
        if (returned) *returned = 0;
        return sim::finish(call, status);
    }
    sim::State& s = sim::state();
    // Only channel B has the engine and its answers.
    uint32_t n = h->letter == 'B' ? std::min<uint32_t>(count, s.answers.size()) : 0;
    if (s.read_limit >= 0) n = std::min<uint32_t>(n, s.read_limit);
    uint8_t* out = static_cast<uint8_t*>(data);
    for (uint32_t i = 0; i < n; ++i) {
        out[i] = s.answers.front();
        s.answers.pop_front();
    }
    call.bytes.assign(out, out + n);
    // The driver waits out its time-out for bytes that never come.
    if (n < count) s.clock->sleep_ms(h->read_timeout_ms);
    call.done = n;
    if (returned) *returned = n;
    return sim::finish(call, FT_OK);
}

FT_STATUS FT_Close(FT_HANDLE handle) {
    Call call{Fn::Close, handle, {}, {}, {}, 0, FT_OK, 0};
    const FT_STATUS injected = sim::begin_call(call);
    sim::HandleState* h = sim::find(handle);
    if (!h) return sim::finish(call, FT_INVALID_HANDLE);
    if (injected != FT_OK) return sim::finish(call, injected);
    if (!h->dead) {
        sim::open_flag(h->letter) = false;
        if (h->letter == 'B') sim::reset_engine();
    }
    sim::state().handles.erase(reinterpret_cast<uintptr_t>(handle));
    return sim::finish(call, FT_OK);
}

}  // extern "C"
