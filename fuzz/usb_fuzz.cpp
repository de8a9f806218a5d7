// The probe link over the real libftdi1 and the libftdi driver layer, on a
// modelled USB bus whose device answers from fuzz input (usb_device.h): a
// damaged probe, or a device that only claims to be one. One run opens the
// probe, makes two conversions and closes it, on the bus's manual clock.
//
// Invariants, beyond the sanitizers: FT_Read never reports more than asked
// and never writes past its buffer; FT_Read and FT_Write end within their
// time-outs on the bus clock; an opened serial is terminated within its 16
// bytes; a conversion that says it is whole had exactly one answer byte per
// sample and nothing left over from before; a count stays within 10 bits;
// after close no interface is claimed and no device reference is left.
//
// The executable defines the libusb functions itself (usbsim) and
// exports them, so the system's libftdi1 calls the model; FT_Read and
// FT_Write are wrapped at link time (--wrap) to watch the probe link's calls.
#include "d2xx/d2xx.h"
#include "d2xx/ftdi/channels.h"
#include "usbsim/usb_bus.h"
#include "fuzz/quiet_streams.h"
#include "fuzz/usb_device.h"
#include "probe/converter.h"
#include "probe/probe_channel.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
FT_STATUS __real_FT_Read(FT_HANDLE handle, void* data, uint32_t count, uint32_t* returned);
FT_STATUS __real_FT_Write(FT_HANDLE handle, void* data, uint32_t count, uint32_t* written);
}

namespace {

constexpr int kConversions = 2;
constexpr int kSamplesPerConversion = 10;
constexpr uint64_t kUsPerMs = 1000;
// The driver's clock counts whole milliseconds, and the last attempt of a
// call that ran out of time still gets kMinAttemptMs.
constexpr uint64_t kTimeoutSlackUs = (1 + d2xx_ftdi::kMinAttemptMs) * kUsPerMs;
constexpr uint8_t kProbesMask = 0x03;
constexpr uint8_t kNoSerial = 0x04;
constexpr uint8_t kAnswerAtOnce = 0x08;
constexpr uint8_t kIgnoreSendImmediate = 0x10;
constexpr uint8_t kDeadEngine = 0x20;
constexpr uint8_t kFirstBusy = 0x40;

sim::ManualClock g_clock;
int64_t g_consumed = 0;  // bytes FT_Read handed to the probe link this run

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void check_within(uint64_t start_us, uint32_t timeout_ms, const char* what) {
    check(g_clock.now_us() - start_us <= timeout_ms * kUsPerMs + kTimeoutSlackUs, what);
}

usbsim::Bus& bus() { return usbsim::bus(); }

// The probe whose channel B this process holds; 0 when none.
int claimed_probe() {
    for (int p = 1; p <= bus().probes(); ++p)
        if (bus().claimed(p, usbsim::kInterfaceB)) return p;
    return 0;
}

void check_released(const char* what) {
    for (int p = 1; p <= bus().probes(); ++p)
        for (int i = 0; i < usbsim::kInterfaces; ++i) check(!bus().claimed(p, i), what);
    check(bus().live_devices() == 0, "a device reference left behind");
}

}  // namespace

extern "C" FT_STATUS __wrap_FT_Read(FT_HANDLE handle, void* data, uint32_t count,
                                    uint32_t* returned) {
    // Exactly count bytes on the heap, so one byte past is caught; they start
    // as the caller's, which the driver may leave as they are.
    std::vector<uint8_t> exact(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + count);
    const uint64_t start = g_clock.now_us();
    const FT_STATUS status = __real_FT_Read(handle, exact.data(), count, returned);
    check(*returned <= count, "FT_Read reported more than asked");
    check_within(start, probe_settings::kReadTimeoutMs, "FT_Read ran past its time-out");
    std::copy(exact.begin(), exact.end(), static_cast<uint8_t*>(data));
    g_consumed += *returned;
    return status;
}

extern "C" FT_STATUS __wrap_FT_Write(FT_HANDLE handle, void* data, uint32_t count,
                                     uint32_t* written) {
    const uint64_t start = g_clock.now_us();
    const FT_STATUS status = __real_FT_Write(handle, data, count, written);
    check(*written <= count, "FT_Write reported more than asked");
    check_within(start, probe_settings::kWriteTimeoutMs, "FT_Write ran past its time-out");
    return status;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bus().set_clock(&g_clock);
    d2xx_ftdi::use_clock([] { return g_clock.now_ms(); });
    // Without the model under libftdi every run would only test "no device".
    bus().configure(usbsim::Options());
    char serial[probe_settings::kSerialSize];
    if (probe_open(serial) != 0 || claimed_probe() != 1) {
        std::fprintf(stderr, "libftdi does not reach the modelled bus\n");
        std::abort();
    }
    probe_close();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    QuietStreams quiet;

    const uint8_t setup = input.ConsumeIntegral<uint8_t>();
    usbsim::Options options;
    options.probes = setup & kProbesMask;
    options.no_serial = (setup & kNoSerial) != 0;
    options.answer_at_once = (setup & kAnswerAtOnce) != 0;
    options.ignore_send_immediate = (setup & kIgnoreSendImmediate) != 0;
    options.dead_engine = (setup & kDeadEngine) != 0;
    options.busy = (setup & kFirstBusy) != 0 ? 1 : 0;
    bus().configure(options);
    const uint8_t channels = input.ConsumeIntegral<uint8_t>();
    FuzzDevice device(input);
    bus().set_behaviour(&device);
    g_consumed = 0;

    char serial[probe_settings::kSerialSize];
    std::memset(serial, 'x', sizeof serial);
    const bool opened = probe_open(serial) == 0;
    const int probe = claimed_probe();
    // The open ends by emptying the chip's buffers and the driver's: what
    // arrived before then is never an answer to come.
    const int64_t delivered_at_open = probe ? static_cast<int64_t>(device.delivered(probe)) : 0;
    g_consumed = 0;
    if (opened) {
        check(std::memchr(serial, '\0', sizeof serial) != nullptr, "unterminated serial");
        check(probe != 0, "open without a claimed channel");
    } else {
        check_released("a failed open left an interface claimed");
    }

    for (int c = 0; c < kConversions; ++c) {
        // Answer bytes that arrived and that nobody has taken yet.
        const int64_t before = probe ? static_cast<int64_t>(device.delivered(probe)) : 0;
        const int64_t waiting = before - delivered_at_open - g_consumed;
        const uint16_t count = read_adc_channel(static_cast<uint8_t>(channels >> (4 * c)));
        check(count <= kConverterMaxCount, "count above 1023");
        if (adc_last_conversion_whole()) {
            check(opened, "a whole conversion without an open probe");
            const int64_t during = static_cast<int64_t>(device.delivered(probe)) - before;
            check(waiting == 0, "a whole conversion read an answer from before");
            check(during == kSamplesPerConversion, "a whole conversion had other than one answer per sample");
        }
    }

    probe_close();
    check_released("close left an interface claimed");
    bus().set_behaviour(nullptr);
    return 0;
}
