#include "usbsim/usb_bus.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace usbsim {
namespace {

constexpr const char* kProduct = "TALVIRO";
constexpr const char* kManufacturer = "TALVIRO";
constexpr const char* kSerialPrefix = "TV";
constexpr int kSerialDigits = 4;
constexpr uint64_t kUsPerMs = 1000;
constexpr uint8_t kLastAddress = 127;  // USB has 7-bit addresses
// A string descriptor: two header bytes, then UTF-16LE, 255 bytes at most.
constexpr int kStringDescriptorBytes = 255;
constexpr size_t kStringHeaderBytes = 2;
constexpr size_t kStringDescriptorChars = (kStringDescriptorBytes - kStringHeaderBytes) / 2;


// Vendor requests of the FTDI chips (wValue and wIndex as libftdi sends them).
constexpr uint8_t kRequestOut = LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_DEVICE |
                                LIBUSB_ENDPOINT_OUT;
constexpr uint8_t kRequestIn = LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_DEVICE |
                               LIBUSB_ENDPOINT_IN;
constexpr uint8_t kReset = 0x00;
constexpr uint8_t kModemControl = 0x01;
constexpr uint8_t kFlowControl = 0x02;
constexpr uint8_t kBaudRate = 0x03;
constexpr uint8_t kDataCharacteristics = 0x04;
constexpr uint8_t kPollModemStatus = 0x05;
constexpr uint8_t kEventChar = 0x06;
constexpr uint8_t kErrorChar = 0x07;
constexpr uint8_t kSetLatencyTimer = 0x09;
constexpr uint8_t kGetLatencyTimer = 0x0A;
constexpr uint8_t kSetBitMode = 0x0B;
constexpr uint8_t kReadPins = 0x0C;
constexpr uint8_t kReadEeprom = 0x90;
constexpr uint16_t kResetSio = 0;
constexpr uint16_t kPurgeFromHost = 1;  // bytes the host sent, not yet run
constexpr uint16_t kPurgeToHost = 2;    // answers not yet sent
constexpr uint16_t kErasedEepromWord = 0xFFFF;
constexpr int kBitModeShift = 8;
constexpr uint8_t kLowByte = 0xFF;

// The two modem-status bytes of an idle FT2232H: CTS and DSR high, then
// transmitter empty.
constexpr uint8_t kModemStatus[kStatusBytes] = {0x32, 0x60};
constexpr int kPacketData = kMaxPacketBytes - kStatusBytes;

std::string serial_of(int n) {
    std::ostringstream text;
    text << kSerialPrefix;
    text.width(kSerialDigits);
    text.fill('0');
    text << n;
    return text.str();
}

// wIndex of a vendor request names the channel: 1 = A, 2 = B.
int interface_of_index(uint16_t index) { return (index & kLowByte) - 1; }

}  // namespace

std::optional<Options> parse_options(const std::string& text, std::string* error) {
    Options options;
    std::istringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        if (item.empty()) continue;
        const size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        char* end = nullptr;
        const long number = std::strtol(value.c_str(), &end, 10);
        const bool numeric = !value.empty() && *end == '\0';
        if (key == "probes" && numeric && number >= 0) {
            options.probes = static_cast<int>(number);
        } else if (key == "busy" && numeric && number >= 1) {
            options.busy = static_cast<int>(number);
        } else if (key == "unplug-after" && numeric && number >= 0) {
            options.unplug_after_ms = number;
        } else if (key == "replug-after" && numeric && number >= 0) {
            options.replug_after_ms = number;
        } else if (key == "unplug-only" && numeric && number >= 1) {
            options.unplug_only = static_cast<int>(number);
        } else if (key == "replug-only" && numeric && number >= 1) {
            options.replug_only = static_cast<int>(number);
        } else if (key == "engine-dies-after" && numeric && number >= 0) {
            options.engine_dies_after = number;
        } else if (eq == std::string::npos && key == "engine-revives") {
            options.engine_revives = true;
        } else if (eq == std::string::npos && key == "stale-answers") {
            options.stale_answers = true;
        } else if (eq == std::string::npos && key == "no-permission") {
            options.no_permission = true;
        } else if (eq == std::string::npos && key == "no-serial") {
            options.no_serial = true;
        } else if (eq == std::string::npos && key == "answer-at-once") {
            options.answer_at_once = true;
        } else if (eq == std::string::npos && key == "ignore-send-immediate") {
            options.ignore_send_immediate = true;
        } else if (eq == std::string::npos && key == "dead-engine") {
            options.dead_engine = true;
        } else if (key == "shared-claims" && !value.empty()) {
            options.shared_claims = value;
        } else if (key == "state-file" && !value.empty()) {
            options.state_file = value;
        } else {
            if (error) *error = "cannot read \"" + item + "\"";
            return std::nullopt;
        }
    }
    return options;
}

Bus::Bus() : clock_(&sim::real_clock()) { configure(Options()); }

void Bus::configure(const Options& options) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    options_ = options;
    ++generation_;
    probes_.clear();
    bench_probes_ = options.probes;
    next_address_ = kFirstAddress;
    shared_claims_ = std::make_unique<SharedClaims>(options.shared_claims);
    const uint64_t now = clock_->now_us();
    for (int n = 1; n <= options.probes; ++n) {
        add_device(n, now);
        probes_.back()->interfaces[kInterfaceB].held_elsewhere = n == options.busy;
    }
    if (options.unplug_after_ms >= 0)
        unplug_at(now + static_cast<uint64_t>(options.unplug_after_ms) * kUsPerMs);
    write_state();
}

void Bus::add_device(int number, uint64_t arrives_us) {
    auto probe = std::make_unique<Probe>();
    probe->info.probe = number;
    probe->info.address = next_address_;
    probe->info.port = static_cast<uint8_t>(number);
    next_address_ = next_address_ == kLastAddress ? kFirstAddress : next_address_ + 1;
    probe->info.manufacturer = kManufacturer;
    probe->info.product = kProduct;
    if (!options_.no_serial) probe->info.serial = serial_of(number);
    probe->arrives_us = arrives_us;
    sim::ProbeChip& chip = probe->chip;
    chip.set_dead_engine(options_.dead_engine);
    chip.set_engine_lifetime(options_.engine_dies_after, options_.engine_revives);
    chip.set_ignore_send_immediate(options_.ignore_send_immediate);
    for (unsigned ch = 0; ch < sim::kConverterInputs; ++ch)
        chip.set_input_count(ch, sim::kBenchInputs[(number - 1) % sim::kBenchInputSets][ch]);
    probes_.push_back(std::move(probe));
}

void Bus::unplug_at(uint64_t at_us) {
    // Devices added below arrive later than at_us: the loop leaves them be.
    const size_t devices = probes_.size();
    for (size_t d = 0; d < devices; ++d) {
        Probe& probe = *probes_[d];
        const int number = probe.info.probe;
        if (!present(probe, at_us) || (options_.unplug_only != 0 && number != options_.unplug_only))
            continue;
        probe.leaves_us = at_us;
        if (options_.replug_after_ms >= 0 && (options_.replug_only == 0 || number == options_.replug_only))
            add_device(number, at_us + static_cast<uint64_t>(options_.replug_after_ms) * kUsPerMs);
    }
}

bool Bus::present(const Probe& probe, uint64_t at_us) {
    return probe.arrives_us <= at_us && at_us < probe.leaves_us;
}

int Bus::probe_number(ProbeId id) const {
    if (id.generation != generation_ || id.index < 0 || id.index >= static_cast<int>(probes_.size()))
        return 0;
    return probes_[id.index]->info.probe;
}

const Bus::Probe& Bus::current(int number) const {
    const uint64_t now = clock_->now_us();
    const Probe* latest = nullptr;
    for (const auto& probe : probes_) {
        if (probe->info.probe == number && (latest == nullptr || probe->arrives_us <= now))
            latest = probe.get();
    }
    if (latest == nullptr) throw std::out_of_range("usbsim: no probe " + std::to_string(number));
    return *latest;
}

Bus::Probe& Bus::current(int number) {
    return const_cast<Probe&>(static_cast<const Bus&>(*this).current(number));
}

void Bus::settle() {
    const uint64_t now = clock_->now_us();
    bool arrived = false;
    for (const auto& probe : probes_) {
        if (!probe->arrival_seen && probe->arrives_us <= now) {
            probe->arrival_seen = true;
            arrived = true;
        }
        if (!probe->departure_seen && probe->leaves_us <= now) {
            probe->departure_seen = true;
            for (int i = 0; i < kInterfaces; ++i)
                if (probe->interfaces[i].claimed) shared_claims_->give_back(probe->info.probe, i);
        }
    }
    if (arrived) write_state();
}

void Bus::set_behaviour(Behaviour* behaviour) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    behaviour_ = behaviour;
}

void Bus::answer(Call& call) { answer(call, nullptr); }

void Bus::answer(Call& call, const Probe* probe) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!behaviour_) return;
    behaviour_->answer(call);
    // No device can move more than the host's buffer holds.
    call.result = std::min(call.result, std::max(call.length, 0));
    call.transferred = std::clamp(call.transferred, 0, std::max(call.length, 0));
    const bool transfer = call.kind == Call::Kind::Control || call.kind == Call::Kind::BulkOut ||
                          call.kind == Call::Kind::BulkIn;
    if (transfer && call.result == LIBUSB_ERROR_TIMEOUT && call.timeout_ms > 0 && probe)
        wait_until(*probe, call.at_us + uint64_t{call.timeout_ms} * kUsPerMs);
}

void Bus::set_clock(sim::Clock* clock) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    clock_ = clock ? clock : &sim::real_clock();
}

sim::Clock& Bus::clock() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return *clock_;
}

void Bus::unplug() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    unplug_at(clock_->now_us());
}

int Bus::probes() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return bench_probes_;
}

sim::ProbeChip& Bus::chip(int probe) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return current(probe).chip;
}

bool Bus::kernel_driver_bound(int probe, int interface) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return current(probe).interfaces[interface].kernel_driver;
}

bool Bus::claimed(int probe, int interface) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return current(probe).interfaces[interface].claimed;
}

uint8_t Bus::bit_mode(int probe, int interface) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return current(probe).interfaces[interface].bit_mode;
}

void Bus::keep_trace(bool on) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    tracing_ = on;
}

std::vector<Event> Bus::trace() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return trace_;
}

void Bus::clear_trace() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    trace_.clear();
}

int Bus::live_devices() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return live_devices_;
}

void Bus::device_ref(int delta) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    live_devices_ += delta;
}

Bus::Probe* Bus::find(ProbeId id) {
    settle();
    if (probe_number(id) == 0 || !present(*probes_[id.index], clock_->now_us())) return nullptr;
    return probes_[id.index].get();
}

// Runs action on the interface of a present probe, holding the bus.
template <typename Action>
int Bus::on_interface(ProbeId id, int interface, Action action) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Probe* probe = find(id);
    if (!probe) return LIBUSB_ERROR_NO_DEVICE;
    if (interface < 0 || interface >= kInterfaces) return LIBUSB_ERROR_NOT_FOUND;
    return action(probe->interfaces[interface]);
}

template <typename Action>
int Bus::changing_state(ProbeId id, int interface, Action action) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const int result = on_interface(id, interface, action);
    if (result == LIBUSB_SUCCESS) write_state();
    return result;
}

std::string Bus::state_text() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::string text;
    for (int n = 1; n <= bench_probes_; ++n) {
        for (int i = 0; i < kInterfaces; ++i) {
            const Interface& state = current(n).interfaces[i];
            char line[96];
            std::snprintf(line, sizeof line,
                          "probe %d channel %c: kernel driver %s, %s, bit mode %02x\n", n,
                          static_cast<char>('A' + i), state.kernel_driver ? "bound" : "unbound",
                          state.claimed ? "claimed" : "not claimed", state.bit_mode);
            text += line;
        }
    }
    return text;
}

void Bus::write_state() const {
    if (options_.state_file.empty()) return;
    // Written whole to a new file, then renamed: a reader never sees half of it.
    const std::string temporary = options_.state_file + ".new";
    std::FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) return;
    const std::string text = state_text();
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) == 0 && written) std::rename(temporary.c_str(), options_.state_file.c_str());
}

bool Bus::held_elsewhere(ProbeId id, int interface) {
    const Probe& probe = *probes_[id.index];
    return probe.interfaces[interface].held_elsewhere ||
           shared_claims_->held_elsewhere(probe.info.probe, interface);
}

bool Bus::wait_until(const Probe& probe, uint64_t at_us) {
    const uint64_t now = clock_->now_us();
    const uint64_t end = std::min(at_us, std::max(probe.leaves_us, now));
    if (end > now) clock_->sleep_us(end - now);
    return probe.leaves_us > at_us;
}

void Bus::record(Event event) {
    if (tracing_) trace_.push_back(std::move(event));
}

std::vector<Bus::ProbeId> Bus::attached() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    settle();
    std::vector<ProbeId> ids;
    const uint64_t now = clock_->now_us();
    for (size_t i = 0; i < probes_.size(); ++i)
        if (present(*probes_[i], now)) ids.push_back(ProbeId{generation_, static_cast<int>(i)});
    return ids;
}

std::optional<DeviceInfo> Bus::info(ProbeId id) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    // Descriptors stay readable from libusb's cache after an unplug.
    if (probe_number(id) == 0) return std::nullopt;
    return probes_[id.index]->info;
}

int Bus::open(ProbeId id) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!find(id)) return LIBUSB_ERROR_NO_DEVICE;
    return options_.no_permission ? LIBUSB_ERROR_ACCESS : LIBUSB_SUCCESS;
}

int Bus::string_descriptor(ProbeId id, uint8_t index, std::vector<uint8_t>* descriptor) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Probe* probe = find(id);
    if (!probe) return LIBUSB_ERROR_NO_DEVICE;
    if (index == 0) return LIBUSB_ERROR_INVALID_PARAM;  // libusb's own check
    // Two control transfers: the language list, then the string.
    if (!wait_until(*probe, clock_->now_us() + 2 * kMicroframeUs)) return LIBUSB_ERROR_NO_DEVICE;
    const DeviceInfo& info = probe->info;
    std::string text;
    int result = LIBUSB_ERROR_PIPE;
    if (index == kManufacturerString) {
        text = info.manufacturer;
    } else if (index == kProductString) {
        text = info.product;
    } else if (index == kSerialString && !info.serial.empty()) {
        text = info.serial;
    }
    descriptor->assign(kStringDescriptorBytes, 0);
    if (index == kManufacturerString || index == kProductString ||
        (index == kSerialString && !info.serial.empty())) {
        const size_t chars = std::min(text.size(), kStringDescriptorChars);
        result = static_cast<int>(kStringHeaderBytes + 2 * chars);
        (*descriptor)[0] = static_cast<uint8_t>(result);
        (*descriptor)[1] = LIBUSB_DT_STRING;
        for (size_t c = 0; c < chars; ++c) (*descriptor)[kStringHeaderBytes + 2 * c] = text[c];
    }
    Call call{Call::Kind::StringDescriptor, info.probe, -1, index, 0, descriptor->data(),
              kStringDescriptorBytes, result};
    answer(call);
    descriptor->resize(static_cast<size_t>(std::max(call.result, 0)));
    return call.result;
}

int Bus::claim(ProbeId id, int interface, uintptr_t owner, bool auto_detach) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    bool opened = false;
    const int result = changing_state(id, interface, [&](Interface& i) {
        // Claiming twice through one handle is allowed, through another not.
        if (i.claimed) return i.owner == owner ? LIBUSB_SUCCESS : LIBUSB_ERROR_BUSY;
        if (held_elsewhere(id, interface)) return LIBUSB_ERROR_BUSY;
        if (i.kernel_driver && !auto_detach) return LIBUSB_ERROR_BUSY;
        // Another process may have claimed it since the look above.
        if (!shared_claims_->take(probes_[id.index]->info.probe, interface)) return LIBUSB_ERROR_BUSY;
        if (i.kernel_driver) {
            // The kernel unbinds its driver even from a port a terminal holds.
            i.kernel_driver = false;
            i.auto_detached = true;
        }
        i.claimed = true;
        i.owner = owner;
        opened = true;
        return LIBUSB_SUCCESS;
    });
    if (opened && interface == kInterfaceB && options_.stale_answers)
        probes_[id.index]->chip.hold_stale_answers();
    return result;
}

int Bus::release(ProbeId id, int interface, uintptr_t owner, bool auto_detach) {
    return changing_state(id, interface, [&](Interface& i) {
        if (!i.claimed || i.owner != owner) return LIBUSB_ERROR_NOT_FOUND;
        i.claimed = false;
        i.owner = 0;
        shared_claims_->give_back(probes_[id.index]->info.probe, interface);
        if (auto_detach && i.auto_detached) i.kernel_driver = true;
        i.auto_detached = false;
        return LIBUSB_SUCCESS;
    });
}

int Bus::detach_kernel_driver(ProbeId id, int interface) {
    return changing_state(id, interface, [&](Interface& i) {
        if (!i.kernel_driver || held_elsewhere(id, interface)) return LIBUSB_ERROR_NOT_FOUND;
        i.kernel_driver = false;
        return LIBUSB_SUCCESS;
    });
}

int Bus::attach_kernel_driver(ProbeId id, int interface) {
    return changing_state(id, interface, [&](Interface& i) {
        if (i.claimed || held_elsewhere(id, interface) || i.kernel_driver) return LIBUSB_ERROR_BUSY;
        i.kernel_driver = true;
        return LIBUSB_SUCCESS;
    });
}

int Bus::kernel_driver_active(ProbeId id, int interface) {
    return on_interface(id, interface, [&](Interface& i) {
        return i.kernel_driver && !held_elsewhere(id, interface) ? 1 : 0;
    });
}

int Bus::control(ProbeId id, uint8_t request_type, uint8_t request, uint16_t value,
                 uint16_t index, uint8_t* data, uint16_t length, unsigned timeout_ms) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const uint64_t start = clock_->now_us();
    Probe* probe = find(id);
    Event event{Event::Kind::Control, probe_number(id), interface_of_index(index), request, value,
                {}, 0, start};
    int result = LIBUSB_ERROR_NO_DEVICE;
    if (probe && wait_until(*probe, start + kMicroframeUs)) {
        if (request_type == kRequestOut || request_type == kRequestIn) {
            result = vendor_request(*probe, request, value, index, data, length,
                                    request_type == kRequestIn);
        } else {
            result = LIBUSB_ERROR_PIPE;  // the chip stalls requests it does not know
        }
    }
    if (probe) {
        // Only an IN request has a buffer the device may fill.
        const bool in = (request_type & kEndpointIn) != 0;
        Call call{Call::Kind::Control, probe->info.probe, event.interface, request, value,
                  in ? data : nullptr, in && data ? length : 0, result};
        call.timeout_ms = timeout_ms;
        call.at_us = start;
        answer(call, probe);
        result = call.result;
    }
    event.result = result;
    record(std::move(event));
    return result;
}

int Bus::vendor_request(Probe& probe, uint8_t request, uint16_t value,
                        uint16_t index, uint8_t* data, uint16_t length, bool in) {
    const int interface = interface_of_index(index);
    if (interface < 0 || interface >= kInterfaces) return LIBUSB_ERROR_PIPE;
    Interface& i = probe.interfaces[interface];
    const bool channel_b = interface == kInterfaceB;
    const auto answer = [&](const uint8_t* bytes, uint16_t count) -> int {
        if (!in || length < count || (count > 0 && data == nullptr)) return LIBUSB_ERROR_PIPE;
        std::copy_n(bytes, count, data);
        return static_cast<int>(count);
    };
    switch (request) {
    case kReset:
        if (in) return LIBUSB_ERROR_PIPE;
        if (value == kResetSio || value == kPurgeFromHost) {
            if (channel_b) probe.chip.purge_input();
        }
        if (value == kResetSio || value == kPurgeToHost) {
            if (channel_b) probe.chip.purge_answers();
        }
        return LIBUSB_SUCCESS;
    case kModemControl:
    case kFlowControl:
    case kBaudRate:
    case kDataCharacteristics:
    case kEventChar:
    case kErrorChar: return in ? LIBUSB_ERROR_PIPE : LIBUSB_SUCCESS;
    case kSetLatencyTimer:
        if (in) return LIBUSB_ERROR_PIPE;
        i.latency_ms = static_cast<uint8_t>(value & kLowByte);
        return LIBUSB_SUCCESS;
    case kGetLatencyTimer: return answer(&i.latency_ms, 1);
    case kSetBitMode:
        if (in) return LIBUSB_ERROR_PIPE;
        i.bit_mode = static_cast<uint8_t>(value >> kBitModeShift);
        if (channel_b) {
            probe.chip.set_bit_mode(i.bit_mode);
            // Stale answers a mode change brings out start the latency timer.
            i.first_pending_us = probe.chip.answers_pending() > 0 ? clock_->now_us() : 0;
        }
        write_state();
        return LIBUSB_SUCCESS;
    case kPollModemStatus: return answer(kModemStatus, kStatusBytes);
    case kReadPins: {
        const uint8_t pins = kLowByte;  // pulled up, nothing drives them
        return answer(&pins, 1);
    }
    case kReadEeprom: {
        const uint8_t word[2] = {kErasedEepromWord & kLowByte, kErasedEepromWord >> 8};
        return answer(word, 2);
    }
    default: return LIBUSB_ERROR_PIPE;
    }
}

int Bus::bulk(ProbeId id, uint8_t endpoint, uint8_t* data, int length, int* transferred,
              unsigned timeout_ms) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    *transferred = 0;
    const uint64_t start = clock_->now_us();
    const bool in = (endpoint & kEndpointIn) != 0;
    int interface = -1;
    for (int i = 0; i < kInterfaces; ++i)
        if (endpoint == (in ? in_endpoint(i) : out_endpoint(i))) interface = i;
    Probe* probe = find(id);
    Event event{in ? Event::Kind::BulkIn : Event::Kind::BulkOut, probe_number(id), interface, 0, 0,
                {}, 0, start};
    int result = LIBUSB_ERROR_NO_DEVICE;
    if (probe && interface < 0) {
        result = LIBUSB_ERROR_NOT_FOUND;
    } else if (probe && !probe->interfaces[interface].claimed) {
        result = LIBUSB_ERROR_NOT_FOUND;  // usbfs refuses endpoints of unclaimed interfaces
    } else if (probe && in) {
        result = bulk_in(*probe, interface, data, length, timeout_ms);
        if (result >= 0) {
            *transferred = result;
            result = LIBUSB_SUCCESS;
        }
    } else if (probe && wait_until(*probe, start + kMicroframeUs)) {
        if (interface == kInterfaceB) {
            Interface& i = probe->interfaces[interface];
            const bool had_answers = probe->chip.answers_pending() > 0;
            probe->chip.feed(data, static_cast<size_t>(std::max(length, 0)), clock_->now_ms());
            if (!had_answers && probe->chip.answers_pending() > 0) i.first_pending_us = clock_->now_us();
        }
        // Bytes on channel A leave as serial data: nothing is wired there.
        *transferred = std::max(length, 0);
        result = LIBUSB_SUCCESS;
    }
    if (probe && interface == kInterfaceB && probe->interfaces[interface].claimed &&
        result != LIBUSB_ERROR_NO_DEVICE) {
        // The transfer that reaches the engine's lifetime is still answered.
        probe->chip.count_transfer();
    }
    if (probe && interface >= 0 && probe->interfaces[interface].claimed && result != LIBUSB_ERROR_NO_DEVICE) {
        Call call{in ? Call::Kind::BulkIn : Call::Kind::BulkOut, probe->info.probe, interface, 0, 0,
                  data, std::max(length, 0), result, timeout_ms, *transferred, start};
        answer(call, probe);
        result = call.result;
        *transferred = call.transferred;
    }
    if (tracing_) event.bytes.assign(data, data + *transferred);
    event.result = result < 0 ? result : *transferred;
    record(std::move(event));
    return result;
}

// One bulk IN request of length bytes: the packets the chip sends for it.
// Returns the bytes received, or a libusb error.
int Bus::bulk_in(Probe& probe, int interface, uint8_t* data, int length, unsigned timeout_ms) {
    Interface& i = probe.interfaces[interface];
    const bool channel_b = interface == kInterfaceB;
    const uint64_t now = clock_->now_us();
    const uint64_t deadline = timeout_ms == 0 ? kNever : now + uint64_t{timeout_ms} * kUsPerMs;
    const uint64_t latency_us = uint64_t{i.latency_ms} * kUsPerMs;
    const size_t pending = channel_b ? probe.chip.answers_pending() : 0;
    const uint64_t next_microframe = now + kMicroframeUs;

    // When the chip sends: at once for a full packet or after SEND_IMMEDIATE,
    // else when the latency timer, started by the oldest waiting byte (or by
    // this request when nothing waits), runs out.
    uint64_t due = now + std::max(latency_us, kMicroframeUs);
    if (pending > 0) {
        const bool at_once = options_.answer_at_once || probe.chip.immediate_pending() > 0 ||
                             pending >= static_cast<size_t>(kPacketData);
        due = at_once ? next_microframe : std::max(next_microframe, i.first_pending_us + latency_us);
    }
    if (due > deadline) {
        return wait_until(probe, deadline) ? LIBUSB_ERROR_TIMEOUT : LIBUSB_ERROR_NO_DEVICE;
    }
    if (!wait_until(probe, due)) return LIBUSB_ERROR_NO_DEVICE;
    if (length < kStatusBytes) return LIBUSB_ERROR_OVERFLOW;

    // Full packets while the chip has data and the request has room; the
    // transfer ends with the first short packet.
    int filled = 0;
    for (;;) {
        const int room = std::min(length - filled, static_cast<int>(kMaxPacketBytes));
        if (room < kStatusBytes) break;
        std::copy_n(kModemStatus, kStatusBytes, data + filled);
        const size_t payload =
            channel_b ? probe.chip.take_answers(data + filled + kStatusBytes,
                                                static_cast<size_t>(room - kStatusBytes))
                      : 0;
        filled += kStatusBytes + static_cast<int>(payload);
        if (kStatusBytes + static_cast<int>(payload) < static_cast<int>(kMaxPacketBytes)) break;
    }
    // The timer starts again for whatever stays behind.
    i.first_pending_us = clock_->now_us();
    return filled;
}

Bus& bus() {
    static Bus* instance = [] {
        auto* created = new Bus();  // never destroyed: libusb calls may come from exit handlers
        const char* text = std::getenv(kOptionsVariable);
        std::string error;
        const std::optional<Options> options = parse_options(text ? text : "", &error);
        if (options) {
            created->configure(*options);
        } else {
            std::fprintf(stderr, "%s: %s; no probes on the simulated bus\n", kOptionsVariable,
                         error.c_str());
            Options empty;
            empty.probes = 0;
            created->configure(empty);
        }
        return created;
    }();
    return *instance;
}

}  // namespace usbsim
