#include "probe/probe_channel.h"

#include "d2xx/abandon.h"
#include "d2xx/d2xx.h"
#include "probe/probe_session.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <utility>

namespace {

// The channel of the current session (probe_session.h).
ProbeSession::Channel& channel() { return probe_session().channel; }
// The library's state, not one channel's.
bool g_driver_missing = false;

// What an FT_OpenEx or FT_CreateDeviceInfoList status says about the probe.
ProbeOpenFault fault_of(FT_STATUS status) {
    switch (status) {
    case FT_DEVICE_NOT_FOUND: return ProbeOpenFault::NotFound;
    case FT_DRIVER_NOT_LOADED: return ProbeOpenFault::NoDriver;
    default: return ProbeOpenFault::Refused;
    }
}

void note_driver(FT_STATUS status) {
    if (status == FT_DRIVER_NOT_LOADED) g_driver_missing = true;
}

// The default streams' texts run together on purpose: no newline, no flush,
// as the window has always written them. A reopen of a lost probe says
// nothing: its caller reports the loss and the return.
bool g_quiet = false;
ProbeTextSink g_sink;
void hand_over(const char* text, bool open_failure) {
    if (g_quiet) return;
    if (g_sink)
        g_sink(text, open_failure);
    else
        (open_failure ? std::cout : std::cerr) << text;
}
void report_open_failure(const char* text) { hand_over(text, true); }
void report(const char* text) { hand_over(text, false); }

// For the lifetime of the object the probe link writes no diagnostics.
class Quiet {
public:
    Quiet() { g_quiet = true; }
    ~Quiet() { g_quiet = false; }
    Quiet(const Quiet&) = delete;
    Quiet& operator=(const Quiet&) = delete;
};

// True when the engine answers a bad command with exactly its two bytes
// within kEngineCheckTimeoutMs. Leaves the channel's time-outs as probe_open
// sets them.
bool engine_answers() {
    const FT_HANDLE handle = channel().handle;
    using namespace probe_settings;
    if (FT_SetTimeouts(handle, kEngineCheckTimeoutMs, kEngineCheckTimeoutMs) != FT_OK)
        return false;
    unsigned char check[] = {kEngineCheckOpcode, kSendImmediate};
    uint32_t written = 0;
    unsigned char answer[2] = {};
    uint32_t returned = 0;
    uint32_t waiting = 0;
    const bool answered =
        FT_Write(handle, check, sizeof check, &written) == FT_OK && written == sizeof check &&
        FT_Read(handle, answer, sizeof answer, &returned) == FT_OK &&
        returned == sizeof answer && answer[0] == kBadCommand && answer[1] == kEngineCheckOpcode &&
        FT_GetQueueStatus(handle, &waiting) == FT_OK && waiting == 0;
    return FT_SetTimeouts(handle, probe_session().read_timeout_ms(), kWriteTimeoutMs) == FT_OK &&
           answered;
}

// Steps after FT_OpenEx. Returns the text of the first failing step, or
// nullptr when the channel is configured and serial is filled.
const char* configure(char serial[16]) {
    const FT_HANDLE handle = channel().handle;
    using namespace probe_settings;
    if (FT_SetLatencyTimer(handle, kLatencyTimerMs) != FT_OK)
        return "unable to set latency timer";
    uint8_t latency_read_back = 0;
    if (FT_GetLatencyTimer(handle, &latency_read_back) != FT_OK)
        return "unable to get latency timer";
    if (FT_SetTimeouts(handle, probe_session().read_timeout_ms(), kWriteTimeoutMs) != FT_OK)
        return "unable to set timeouts";
    // Answers a lost session left in the chip would be taken for those of
    // this session's first commands: the switch to MPSSE starts clean.
    if (FT_SetBitMode(handle, kBitModeMask, kBitModeMpsse) != FT_OK ||
        FT_Purge(handle, FT_PURGE_RX | FT_PURGE_TX) != FT_OK)
        return "unable to enable bit mode";
    uint32_t type = 0;
    uint32_t id = 0;
    char description[FT_DESCRIPTION_SIZE];
    if (FT_GetDeviceInfo(handle, &type, &id, serial, description, nullptr) != FT_OK)
        return "unable to get FT_GetDeviceInfo";
    return nullptr;
}

// The name of the probe whose channel handle holds, when its chip has no
// serial: where the driver's list says it is.
std::string place_of(FT_HANDLE handle) {
    uint32_t count = 0;
    if (FT_CreateDeviceInfoList(&count) != FT_OK) return kUnknownProbeName;
    for (uint32_t index = 0; index < count; ++index) {
        uint32_t location = 0;
        FT_HANDLE holder = nullptr;
        if (FT_GetDeviceInfoDetail(index, nullptr, nullptr, nullptr, &location, nullptr, nullptr,
                                   &holder) == FT_OK &&
            holder == handle)
            return probe_place_name(location);
    }
    return kUnknownProbeName;
}

// Everything probe_open and probe_open_serial do from FT_OpenEx(arg, flags)
// on. name: the probe's name when the caller knows it already; else it is
// the serial, or asked of the driver (place_of) for a chip without one.
int open_channel(void* arg, uint32_t flags, char serial[16], const std::string* name = nullptr) {
    channel().in_step = false;
    channel().waits_abandoned = false;
    const FT_STATUS opened = FT_OpenEx(arg, flags, &channel().handle);
    if (opened != FT_OK) {
        note_driver(opened);
        channel().open_failure = fault_of(opened);
        report_open_failure("Unable to open FTDI Device");
        return 1;
    }
    if (const char* failure = configure(serial)) {
        channel().open_failure = ProbeOpenFault::SetUp;
        report(failure);
        // A channel left open could never be opened again by the next Connect.
        FT_Close(channel().handle);
        return 1;
    }
    // A broken driver may fill all 16 bytes; callers rely on the terminator.
    if (std::memchr(serial, '\0', probe_settings::kSerialSize) == nullptr)
        serial[probe_settings::kSerialSize - 1] = '\0';
    channel().open = true;
    channel().in_step = true;
    channel().open_failure = ProbeOpenFault::None;
    channel().name = name != nullptr        ? *name
                     : serial[0] != '\0' ? std::string(serial)
                                         : place_of(channel().handle);
    return 0;
}

}  // namespace

ProbeTextSink probe_set_text_sink(ProbeTextSink sink) {
    ProbeTextSink before = std::move(g_sink);
    g_sink = std::move(sink);
    return before;
}

int probe_open(char serial[16]) {
    return open_channel(const_cast<char*>(probe_settings::kDescription), FT_OPEN_BY_DESCRIPTION,
                        serial);
}

int probe_reopen(const char* wanted, char serial[16]) {
    const Quiet quiet;
    if (channel().open) probe_close();
    if (probe_open_serial(wanted, serial) != 0) return 1;
    if (!engine_answers()) {
        probe_close();
        channel().in_step = false;
        channel().open_failure = ProbeOpenFault::SetUp;
        return 1;
    }
    return 0;
}

int probe_open_serial(const char* wanted, char serial[16]) {
    // A serial number names a channel of any chip: only a probe's channel B
    // is opened and switched to MPSSE.
    // A probe without a serial is opened where it is plugged in: only a
    // probe at that place can be taken for it.
    std::vector<ProbeEntry>& probes = channel().listed;
    if (!probe_list(&probes)) probes.clear();
    for (const ProbeEntry& probe : probes) {
        if (probe.state == ProbeState::NoPermission || probe.name == kUnknownProbeName ||
            probe.name != wanted)
            continue;
        if (!probe.serial.empty())
            return open_channel(const_cast<char*>(wanted), FT_OPEN_BY_SERIAL_NUMBER, serial, &probe.name);
        return open_channel(reinterpret_cast<void*>(static_cast<uintptr_t>(probe.location)),
                            FT_OPEN_BY_LOCATION, serial, &probe.name);
    }
    channel().in_step = false;
    channel().open_failure = g_driver_missing ? ProbeOpenFault::NoDriver : ProbeOpenFault::NotFound;
    report_open_failure("Unable to open FTDI Device");
    return 1;
}

bool probe_list(std::vector<ProbeEntry>* probes) {
    probes->clear();
    uint32_t count = 0;
    const FT_STATUS listed = FT_CreateDeviceInfoList(&count);
    if (listed != FT_OK) {
        note_driver(listed);
        return false;
    }
    for (uint32_t index = 0; index < count; ++index) {
        uint32_t flags = 0;
        uint32_t id = 0;
        uint32_t location = 0;
        char serial[FT_SERIAL_NUMBER_SIZE] = {};
        char description[FT_DESCRIPTION_SIZE] = {};
        if (FT_GetDeviceInfoDetail(index, &flags, nullptr, &id, &location, serial, description,
                                   nullptr) != FT_OK) {
            probes->clear();
            return false;
        }
        // Terminated here whatever the driver wrote.
        serial[FT_SERIAL_NUMBER_SIZE - 1] = '\0';
        description[FT_DESCRIPTION_SIZE - 1] = '\0';
        const std::string name = serial[0] != '\0' ? std::string(serial) : probe_place_name(location);
        if ((flags & FT_FLAGS_NO_PERMISSION) != 0) {
            if (id != probe_settings::kChipId) continue;
            probes->push_back({"", ProbeState::NoPermission, name, location});
        } else if (std::strcmp(description, probe_settings::kDescription) == 0) {
            probes->push_back({serial,
                               (flags & FT_FLAGS_OPENED) != 0 ? ProbeState::InUse : ProbeState::Free,
                               name, location});
        }
    }
    return true;
}

const std::vector<ProbeEntry>& probe_last_listed() { return channel().listed; }

std::string probe_name() { return channel().name; }

std::string probe_place_name(uint32_t location) {
    if (location == 0) return kUnknownProbeName;
#ifdef _WIN32
    char text[32];
    std::snprintf(text, sizeof text, "location:0x%X", static_cast<unsigned>(location));
    return text;
#else
    constexpr uint32_t kPortMask = (1u << FT_LOCATION_PORT_BITS) - 1;
    std::string name = "usb:" + std::to_string(location >> FT_LOCATION_BUS_SHIFT);
    for (int i = 0; i < FT_LOCATION_MAX_PORTS; ++i) {
        const uint32_t port =
            location >> (FT_LOCATION_FIRST_PORT_SHIFT - i * FT_LOCATION_PORT_BITS) & kPortMask;
        if (port == 0) break;
        name += (i == 0 ? "-" : ".") + std::to_string(port);
    }
    return name;
#endif
}

ProbeOpenFault probe_open_failure() { return channel().open_failure; }

bool probe_driver_missing() { return g_driver_missing; }

const char* probe_state_text(ProbeState state) {
    switch (state) {
    case ProbeState::Free: return "free";
    case ProbeState::InUse: return "in use";
    case ProbeState::NoPermission: return "no permission";
    }
    return "";
}

bool probe_in_step() { return channel().in_step; }

int probe_close() {
    // A channel already given back has no live handle: the vendor's driver
    // may not survive one closed twice.
    if (!channel().open) return 0;
    channel().open = false;
    FT_Close(channel().handle);  // nothing useful to do when closing fails
    return 0;
}

int probe_write(const unsigned char* data, uint32_t count, uint32_t* written) {
    uint32_t sent = 0;
    const FT_STATUS status =
        FT_Write(channel().handle, const_cast<unsigned char*>(data), count, &sent);
    *written = sent;
    if (sent != 0 && sent < count) channel().in_step = false;
    if (status != FT_OK) {
        report("FT_Write error");
        return 1;
    }
    return 0;
}

int probe_read(unsigned char* data, uint32_t count, uint32_t* received) {
    *received = 0;
    if (count == 0) return 0;
    for (int attempt = 0; attempt < probe_settings::kReadAttempts; ++attempt) {
        const uint32_t missing = count - *received;
        uint32_t returned = 0;
        if (FT_Read(channel().handle, data + *received, missing, &returned) != FT_OK) {
            *received = 0;
            channel().in_step = false;
            report("FT_Read error");
            return 1;
        }
        // A driver claiming more than asked is not believed past the buffer.
        *received += returned < missing ? returned : missing;
        if (*received >= count) {
            // Bytes beyond the answer: the chip answered something it was
            // not asked, so later answers cannot be told from earlier ones.
            uint32_t waiting = 0;
            if (FT_GetQueueStatus(channel().handle, &waiting) != FT_OK || waiting > 0)
                channel().in_step = false;
            return 0;
        }
        if (returned == 0) {
            // The driver returns short only at its time-out (or when waits
            // were abandoned): a chip that let a whole time-out pass without
            // a byte is not answering, and four more time-outs cannot help.
            break;
        }
    }
    channel().in_step = false;
    if (d2xx_waits_abandoned() != 0) {
        // Not the probe's fault: the program is ending.
        channel().waits_abandoned = true;
        return 1;
    }
    report("Couldn't read the requested number of bytes from FT2232");
    return 1;
}

void probe_abandon_waits() { d2xx_abandon_waits(); }

bool probe_waits_abandoned() { return channel().waits_abandoned; }
