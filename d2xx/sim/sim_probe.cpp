// FT_* over the probe chip model: what a D2XX driver adds to the chip is
// handles, time-outs, the device strings and the faults tests inject.
#include "d2xx/sim/sim_probe.h"

#include "d2xx/abandon.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <new>

namespace sim {
namespace {

constexpr uint32_t kVendorId = 0x0403;
constexpr uint32_t kProductId = 0x6010;
constexpr uint32_t kDeviceId = kVendorId << 16 | kProductId;
constexpr int kSerialMax = FT_SERIAL_NUMBER_SIZE - 1;
constexpr uint32_t kDefaultTimeoutMs = 5000;
const char* const kDefaultProduct = "TALVIRO";
const char* const kDefaultSerial = "TV0001";

constexpr uint8_t kDefaultLatencyMs = 16;

// One plugged-in probe: a dual-channel chip whose channel B is a ProbeChip.
struct SimProbe {
    explicit SimProbe(std::string serial) : chip_serial(std::move(serial)) {}
    std::string product = kDefaultProduct;
    std::string chip_serial;
    bool unterminated_serial = false;
    char raw_serial[FT_SERIAL_NUMBER_SIZE] = {};
    bool open_a = false;
    bool open_b = false;
    ProbeChip chip;  // channel B
};

// One entry of the list FT_CreateDeviceInfoList takes.
struct ListEntry {
    uint32_t flags;
    std::string serial;
    std::string description;
    FT_HANDLE handle;
};

constexpr char kChannelLetters[] = {'A', 'B'};

struct HandleState {
    size_t probe;
    char letter;
    bool dead = false;  // the device it belonged to was unplugged
    uint32_t read_timeout_ms = kDefaultTimeoutMs;
    uint32_t write_timeout_ms = kDefaultTimeoutMs;
    uint8_t latency_ms = kDefaultLatencyMs;
};

struct Fault {
    Fn fn;
    uint64_t at_call;  // the fn call count at which it fires
    FT_STATUS status;
};

struct State {
    State() { probes.emplace_back(kDefaultSerial); }

    // The device: never without its first probe. A deque, so that adding a
    // probe moves none.
    std::deque<SimProbe> probes;
    bool plugged = true;

    // Host side.
    std::map<uintptr_t, HandleState> handles;
    uintptr_t next_handle = 1;
    std::vector<ListEntry> list;  // the last FT_CreateDeviceInfoList

    // Faults and observation.
    std::vector<Fault> faults;
    uint64_t calls_of[kFnCount] = {};
    int read_limit = -1;
    int write_limit = -1;
    long unplug_countdown = -1;
    bool stale_answers = false;
    std::function<void()> call_hook;
    bool keep_log = false;
    std::vector<Call> log;
    Clock* clock = &real_clock();
};

State& state() {
    static State s;
    return s;
}

SimProbe& first() { return state().probes.front(); }

// Longest single sleep of a driver time-out: as the libftdi layer does, a
// wait is given up within one slice once the request to abandon waiting
// (d2xx/abandon.h) is made.
constexpr uint32_t kWaitSliceMs = 100;

// Waits out a driver time-out on the device's clock, in slices.
void wait_out(uint32_t timeout_ms) {
    Clock& clock = *state().clock;
    for (uint32_t left = timeout_ms; left > 0 && !d2xx_waits_abandoned();) {
        const uint32_t slice = std::min(left, kWaitSliceMs);
        clock.sleep_ms(slice);
        left -= slice;
    }
}

void do_unplug() {
    State& s = state();
    s.plugged = false;
    for (auto& h : s.handles) h.second.dead = true;
    for (SimProbe& p : s.probes) {
        p.open_a = p.open_b = false;
        p.chip.reset_engine();
    }
}

// Everything common to the start of a call: the log entry, the unplug
// countdown and an injected fault. Returns the status to fail with, or
// FT_OK to go on.
FT_STATUS begin_call(Call& call) {
    State& s = state();
    if (s.call_hook) s.call_hook();
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
    if (state().keep_log) state().log.push_back(std::move(call));
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

bool& open_flag(SimProbe& p, char letter) { return letter == 'A' ? p.open_a : p.open_b; }

// The serial and description the probe's channel reports (a serial set raw
// aside).
std::string serial_of(const SimProbe& p, char letter) {
    return (p.chip_serial + letter).substr(0, kSerialMax);
}
std::string description_of(const SimProbe& p, char letter) {
    return (p.product + " " + letter).substr(0, FT_DESCRIPTION_SIZE - 1);
}

// This process's live handle on the channel, or null.
FT_HANDLE handle_on(size_t probe, char letter) {
    for (const auto& h : state().handles)
        if (h.second.probe == probe && h.second.letter == letter && !h.second.dead)
            return reinterpret_cast<FT_HANDLE>(h.first);
    return nullptr;
}

}  // namespace

const char* fn_name(Fn fn) {
    static const char* const names[kFnCount] = {
        "FT_OpenEx", "FT_SetLatencyTimer", "FT_GetLatencyTimer", "FT_SetTimeouts", "FT_SetBitMode",
        "FT_GetDeviceInfo", "FT_Write", "FT_Read", "FT_Close", "FT_CreateDeviceInfoList",
        "FT_GetDeviceInfoDetail", "FT_Purge"};
    return names[static_cast<int>(fn)];
}

void Device::reset() {
    State& s = state();
    s.~State();
    new (&s) State();
}

void Device::set_product(const std::string& product) { first().product = product; }
void Device::set_chip_serial(const std::string& serial) {
    first().chip_serial = serial;
    first().unterminated_serial = false;
}
void Device::set_unterminated_serial(const char (&bytes)[16]) {
    std::memcpy(first().raw_serial, bytes, sizeof bytes);
    first().unterminated_serial = true;
}
void Device::set_input_count(unsigned ch, uint16_t count) { set_input_count(0, ch, count); }
void Device::set_input_source(InputSource source) { set_input_source(0, std::move(source)); }
void Device::set_clock(Clock* clock) { state().clock = clock ? clock : &real_clock(); }
Clock& Device::clock() { return *state().clock; }
void Device::set_call_hook(std::function<void()> hook) { state().call_hook = std::move(hook); }

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
void Device::set_stale_answers(bool on) { state().stale_answers = on; }
void Device::set_engine_lifetime(long transfers, bool revives) {
    first().chip.set_engine_lifetime(transfers, revives);
}

void Device::keep_log() {
    state().keep_log = true;
    for (SimProbe& p : state().probes) p.chip.record_frames(true);
}
const std::vector<Call>& Device::log() const { return state().log; }
void Device::clear_log() { state().log.clear(); }
std::vector<Call> Device::calls(Fn fn) const {
    std::vector<Call> out;
    for (const Call& c : state().log)
        if (c.fn == fn) out.push_back(c);
    return out;
}
const std::vector<uint8_t>& Device::high_level_frames() const {
    return first().chip.high_level_frames();
}
bool Device::channel_open(char letter) const { return channel_open(0, letter); }
uint64_t Device::conversions() const { return first().chip.conversions(); }

int Device::add_probe(const std::string& chip_serial) {
    State& s = state();
    s.probes.emplace_back(chip_serial);
    s.probes.back().chip.record_frames(s.keep_log);
    return static_cast<int>(s.probes.size()) - 1;
}
void Device::set_input_count(int probe, unsigned ch, uint16_t count) {
    state().probes.at(probe).chip.set_input_count(ch, count);
}
void Device::set_input_source(int probe, InputSource source) {
    state().probes.at(probe).chip.set_input_source(std::move(source));
}
bool Device::channel_open(int probe, char letter) const {
    const SimProbe& p = state().probes.at(probe);
    return letter == 'A' ? p.open_a : p.open_b;
}
void Device::set_silent(int probe, bool on) { state().probes.at(probe).chip.set_dead_engine(on); }

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
    const bool by_serial = flags == FT_OPEN_BY_SERIAL_NUMBER;
    const bool known_flags = by_serial || flags == FT_OPEN_BY_DESCRIPTION;
    if (arg && known_flags) call.text = static_cast<const char*>(arg);
    FT_STATUS status = sim::begin_call(call);
    if (status != FT_OK) return sim::finish(call, status);
    if (!handle || !known_flags || !s.plugged) return sim::finish(call, FT_DEVICE_NOT_FOUND);
    // The first free channel that matches; a held one does not hide the next.
    bool held = false;
    for (size_t n = 0; n < s.probes.size(); ++n) {
        sim::SimProbe& p = s.probes[n];
        for (const char letter : sim::kChannelLetters) {
            const bool match = by_serial ? !call.text.empty() && call.text == sim::serial_of(p, letter)
                                         : call.text == sim::description_of(p, letter);
            if (!match) continue;
            if (sim::open_flag(p, letter)) {
                held = true;
                continue;
            }
            sim::open_flag(p, letter) = true;
            if (letter == 'B') p.chip.reset_engine();
            if (letter == 'B' && s.stale_answers) p.chip.hold_stale_answers();
            const uintptr_t id = s.next_handle++;
            s.handles[id] = sim::HandleState{n, letter};
            *handle = reinterpret_cast<FT_HANDLE>(id);
            call.handle = *handle;
            return sim::finish(call, FT_OK);
        }
    }
    return sim::finish(call, held ? FT_DEVICE_NOT_OPENED : FT_DEVICE_NOT_FOUND);
}

FT_STATUS FT_CreateDeviceInfoList(uint32_t* count) {
    sim::State& s = sim::state();
    Call call{Fn::CreateDeviceInfoList, nullptr, {}, {}, {}, 0, FT_OK, 0};
    const FT_STATUS status = sim::begin_call(call);
    if (status != FT_OK) return sim::finish(call, status);
    if (!count) return sim::finish(call, FT_IO_ERROR);
    s.list.clear();
    for (size_t n = 0; s.plugged && n < s.probes.size(); ++n) {
        for (const char letter : sim::kChannelLetters) {
            const FT_HANDLE held = sim::handle_on(n, letter);
            s.list.push_back(sim::ListEntry{held ? uint32_t{FT_FLAGS_OPENED} : 0u,
                                            sim::serial_of(s.probes[n], letter),
                                            sim::description_of(s.probes[n], letter), held});
        }
    }
    *count = static_cast<uint32_t>(s.list.size());
    call.done = *count;
    return sim::finish(call, FT_OK);
}

FT_STATUS FT_GetDeviceInfoDetail(uint32_t index, uint32_t* flags, uint32_t* type, uint32_t* id,
                                 uint32_t* location, char* serial, char* description,
                                 FT_HANDLE* handle) {
    const sim::State& s = sim::state();
    Call call{Fn::GetDeviceInfoDetail, nullptr, {index}, {}, {}, 0, FT_OK, 0};
    const FT_STATUS status = sim::begin_call(call);
    if (status != FT_OK) return sim::finish(call, status);
    if (index >= s.list.size()) return sim::finish(call, FT_DEVICE_NOT_FOUND);
    const sim::ListEntry& entry = s.list[index];
    if (flags) *flags = entry.flags;
    if (type) *type = FT_DEVICE_2232H;
    if (id) *id = sim::kDeviceId;
    if (location) *location = 0;  // the simulated probes sit on no bus
    if (handle) *handle = entry.handle;
    if (serial) std::memcpy(serial, entry.serial.c_str(), entry.serial.size() + 1);
    if (description) std::memcpy(description, entry.description.c_str(), entry.description.size() + 1);
    call.text = entry.serial;
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
    if (status == FT_OK && h->letter == 'B') sim::state().probes[h->probe].chip.set_bit_mode(mode);
    return sim::finish(call, status);
}

FT_STATUS FT_GetDeviceInfo(FT_HANDLE handle, uint32_t* type, uint32_t* id, char* serial,
                           char* description, void* reserved) {
    (void)reserved;
    Call call{Fn::GetDeviceInfo, handle, {}, {}, {}, 0, FT_OK, 0};
    sim::HandleState* h = nullptr;
    const FT_STATUS status = sim::check_handle(call, &h);
    if (status != FT_OK) return sim::finish(call, status);
    const sim::SimProbe& p = sim::state().probes[h->probe];
    if (type) *type = FT_DEVICE_2232H;
    if (id) *id = sim::kDeviceId;
    if (serial) {
        if (p.unterminated_serial) {
            std::memcpy(serial, p.raw_serial, FT_SERIAL_NUMBER_SIZE);
        } else {
            const std::string text = sim::serial_of(p, h->letter);
            std::memcpy(serial, text.c_str(), text.size() + 1);
        }
    }
    if (description) {
        const std::string text = sim::description_of(p, h->letter);
        std::memcpy(description, text.c_str(), text.size() + 1);
    }
    return sim::finish(call, FT_OK);
}

FT_STATUS FT_Write(FT_HANDLE handle, void* data, uint32_t count, uint32_t* written) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    Call call{Fn::Write, handle, {count}, {}, {}, 0, FT_OK, 0};
    if (bytes && sim::state().keep_log) call.bytes.assign(bytes, bytes + count);
    sim::HandleState* h = nullptr;
    const FT_STATUS status = sim::check_handle(call, &h);
    if (status != FT_OK) {
        if (written) *written = 0;
        return sim::finish(call, status);
    }
    sim::State& s = sim::state();
    uint32_t accepted = count;
    if (s.write_limit >= 0) accepted = std::min<uint32_t>(count, s.write_limit);
    if (h->letter == 'B' && bytes) s.probes[h->probe].chip.feed(bytes, accepted, s.clock->now_ms());
    if (h->letter == 'B') s.probes[h->probe].chip.count_transfer();
    if (accepted < count) sim::wait_out(h->write_timeout_ms);
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
    uint32_t n = h->letter == 'B' ? count : 0;
    if (s.read_limit >= 0) n = std::min<uint32_t>(n, s.read_limit);
    uint8_t* out = static_cast<uint8_t*>(data);
    n = static_cast<uint32_t>(s.probes[h->probe].chip.take_answers(out, n));
    if (h->letter == 'B') s.probes[h->probe].chip.count_transfer();
    if (s.keep_log) call.bytes.assign(out, out + n);
    // The driver waits out its time-out for bytes that never come.
    if (n < count) sim::wait_out(h->read_timeout_ms);
    call.done = n;
    if (returned) *returned = n;
    return sim::finish(call, FT_OK);
}

// Not a logged call: the answers waiting in the chip, on channel B.
FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t* rx_bytes) {
    if (sim::state().call_hook) sim::state().call_hook();
    sim::HandleState* h = sim::find(handle);
    if (!h) return FT_INVALID_HANDLE;
    if (h->dead || rx_bytes == nullptr) return FT_IO_ERROR;
    *rx_bytes = h->letter == 'B' ? static_cast<uint32_t>(sim::state().probes[h->probe].chip.answers_pending()) : 0;
    return FT_OK;
}

FT_STATUS FT_Purge(FT_HANDLE handle, uint32_t mask) {
    Call call{Fn::Purge, handle, {mask}, {}, {}, 0, FT_OK, 0};
    sim::HandleState* h = nullptr;
    const FT_STATUS status = sim::check_handle(call, &h);
    if (status != FT_OK) return sim::finish(call, status);
    if ((mask & (FT_PURGE_RX | FT_PURGE_TX)) == 0) return sim::finish(call, FT_IO_ERROR);
    if (h->letter == 'B') {
        sim::ProbeChip& chip = sim::state().probes[h->probe].chip;
        if ((mask & FT_PURGE_RX) != 0) chip.purge_answers();
        if ((mask & FT_PURGE_TX) != 0) chip.purge_input();
    }
    return sim::finish(call, FT_OK);
}

FT_STATUS FT_Close(FT_HANDLE handle) {
    Call call{Fn::Close, handle, {}, {}, {}, 0, FT_OK, 0};
    const FT_STATUS injected = sim::begin_call(call);
    sim::HandleState* h = sim::find(handle);
    if (!h) return sim::finish(call, FT_INVALID_HANDLE);
    if (injected != FT_OK) return sim::finish(call, injected);
    if (!h->dead) {
        sim::SimProbe& p = sim::state().probes[h->probe];
        sim::open_flag(p, h->letter) = false;
        if (h->letter == 'B') p.chip.reset_engine();
    }
    sim::state().handles.erase(reinterpret_cast<uintptr_t>(handle));
    return sim::finish(call, FT_OK);
}

}  // extern "C"
