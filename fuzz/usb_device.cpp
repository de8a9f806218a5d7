#include "fuzz/usb_device.h"

#include "d2xx/ftdi/ftdi_logic.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Choice bytes below these values change the call; the rest keep the model's.
constexpr uint8_t kFail = 0x10;         // an error code
constexpr uint8_t kReplace = 0x30;      // other contents or count
constexpr uint8_t kLate = 0x38;         // the model's answer, late
constexpr uint8_t kDescriptor = 0x20;   // a descriptor field changed
constexpr uint8_t kKeep = 0xFF;

constexpr int kErrors[] = {LIBUSB_ERROR_NO_DEVICE, LIBUSB_ERROR_TIMEOUT, LIBUSB_ERROR_PIPE,
                           LIBUSB_ERROR_OVERFLOW,  LIBUSB_ERROR_IO,      LIBUSB_ERROR_INTERRUPTED,
                           LIBUSB_ERROR_BUSY,      LIBUSB_ERROR_OTHER};
constexpr int kErrorCount = sizeof kErrors / sizeof kErrors[0];

constexpr int kStatusBytes = usbsim::kStatusBytes;
// The requests that empty the chip's answers, by libftdi's own names.
constexpr uint8_t kResetRequest = SIO_RESET_REQUEST;
constexpr uint16_t kResetAll = SIO_RESET_SIO;
constexpr uint16_t kPurgeToHost = SIO_TCIFLUSH;
constexpr uint64_t kUsPerMs = 1000;
// libftdi's packet size for a device without a configuration: 512 bytes for
// the high-speed chips (by bcdDevice), else 64.
constexpr uint16_t kBcd2232H = d2xx_ftdi::kBcdFt2232H;
constexpr uint16_t kBcd4232H = d2xx_ftdi::kBcdFt4232H;
constexpr uint16_t kBcd232H = 0x0900;
constexpr int kHighSpeedPacket = usbsim::kMaxPacketBytes;
constexpr int kFullSpeedPacket = 64;

// The device descriptor fields a device may set, as offsets into
// libusb_device_descriptor, each two bytes wide or one.
struct Field {
    size_t offset;
    size_t size;
};
constexpr Field kFields[] = {
    {offsetof(libusb_device_descriptor, idVendor), 2},
    {offsetof(libusb_device_descriptor, idProduct), 2},
    {offsetof(libusb_device_descriptor, bcdDevice), 2},
    {offsetof(libusb_device_descriptor, iManufacturer), 1},
    {offsetof(libusb_device_descriptor, iProduct), 1},
    {offsetof(libusb_device_descriptor, iSerialNumber), 1},
    {offsetof(libusb_device_descriptor, bNumConfigurations), 1},
};
constexpr int kFieldCount = sizeof kFields / sizeof kFields[0];

// Answer bytes in count received bytes cut into packets of packet_size,
// each starting with its status bytes.
uint64_t answer_bytes(int count, int packet_size) {
    if (packet_size <= kStatusBytes) return 0;
    uint64_t bytes = 0;
    for (int at = 0; at < count; at += packet_size)
        bytes += static_cast<uint64_t>(std::max(std::min(packet_size, count - at) - kStatusBytes, 0));
    return bytes;
}

}  // namespace

uint64_t FuzzDevice::delivered(int probe) const {
    const auto it = delivered_.find(probe);
    return it == delivered_.end() ? 0 : it->second;
}

void FuzzDevice::answer(usbsim::Call& call) {
    using Kind = usbsim::Call::Kind;
    const bool dry = input_.remaining_bytes() == 0;
    const uint8_t choice = dry ? kKeep : input_.ConsumeIntegral<uint8_t>();
    if (call.kind == Kind::DeviceDescriptor || call.kind == Kind::PacketSize) {
        descriptor(call, choice);
    } else if (dry) {
        // The device stops answering, so that a run ends soon after its
        // input does; the host can still give back what it claimed.
        call.result = LIBUSB_ERROR_NO_DEVICE;
        call.transferred = 0;
    } else if (call.kind == Kind::StringDescriptor) {
        if (choice < kFail) {
            call.result = kErrors[choice % kErrorCount];
        } else if (choice < kReplace) {
            const std::vector<uint8_t> bytes =
                input_.ConsumeBytes<uint8_t>(input_.ConsumeIntegralInRange<int>(0, call.length));
            std::copy(bytes.begin(), bytes.end(), call.data);
            call.result = static_cast<int>(bytes.size());
        }
    } else if (choice < kLate) {
        transfer(call);
    }
    count_delivered(call);
}

// A descriptor as the first read of it decided, one field changed or none.
void FuzzDevice::descriptor(usbsim::Call& call, uint8_t choice) {
    if (call.kind == usbsim::Call::Kind::DeviceDescriptor) {
        auto* desc = reinterpret_cast<libusb_device_descriptor*>(call.data);
        const auto kept = device_descriptor_.find(call.probe);
        if (kept != device_descriptor_.end()) {
            *desc = kept->second;
            return;
        }
        if (choice < kDescriptor) {
            const Field& field = kFields[choice % kFieldCount];
            const std::vector<uint8_t> bytes = input_.ConsumeBytes<uint8_t>(field.size);
            std::copy(bytes.begin(), bytes.end(), call.data + field.offset);
        }
        device_descriptor_[call.probe] = *desc;
        return;
    }
    const auto kept = packet_size_.find(call.probe);
    uint16_t size = static_cast<uint16_t>(call.data[0] | call.data[1] << 8);
    if (kept != packet_size_.end()) {
        size = kept->second;
    } else if (choice < kDescriptor) {
        size = input_.ConsumeIntegral<uint16_t>();
    }
    packet_size_[call.probe] = size;
    call.data[0] = static_cast<uint8_t>(size);
    call.data[1] = static_cast<uint8_t>(size >> 8);
}

int FuzzDevice::host_packet_size(int probe) const {
    const auto desc = device_descriptor_.find(probe);
    const auto size = packet_size_.find(probe);
    if (desc != device_descriptor_.end() && desc->second.bNumConfigurations == 0) {
        const uint16_t bcd = desc->second.bcdDevice;
        return bcd == kBcd2232H || bcd == kBcd4232H || bcd == kBcd232H ? kHighSpeedPacket
                                                                      : kFullSpeedPacket;
    }
    return size == packet_size_.end() ? usbsim::kMaxPacketBytes : size->second;
}

// One control or bulk call, changed as the next input bytes say.
void FuzzDevice::transfer(usbsim::Call& call) {
    using Kind = usbsim::Call::Kind;
    const uint8_t choice = input_.ConsumeIntegral<uint8_t>();
    const bool bulk = call.kind != Kind::Control;
    if (choice < kFail) {
        call.result = kErrors[choice % kErrorCount];
        // A failed bulk call may still have moved some bytes.
        if (bulk) call.transferred = input_.ConsumeIntegralInRange<int>(0, call.length);
        if (call.kind == Kind::BulkIn) {
            const std::vector<uint8_t> bytes = input_.ConsumeBytes<uint8_t>(call.transferred);
            std::copy(bytes.begin(), bytes.end(), call.data);
        }
    } else if (choice < kReplace && call.kind != Kind::BulkOut) {
        // USB ends an IN transfer at any short packet; an OUT transfer that
        // succeeds has moved all its bytes.
        const int count = input_.ConsumeIntegralInRange<int>(0, call.length);
        const std::vector<uint8_t> bytes = input_.ConsumeBytes<uint8_t>(count);
        std::copy(bytes.begin(), bytes.end(), call.data);
        if (bulk) {
            call.result = LIBUSB_SUCCESS;
            call.transferred = count;
        } else {
            call.result = count;
        }
    } else if (call.timeout_ms > 0) {
        // Late, but within the host's time-out: the answer stands.
        sim::Clock& clock = usbsim::bus().clock();
        const uint64_t end = call.at_us + uint64_t{call.timeout_ms} * kUsPerMs;
        const uint64_t now = clock.now_us();
        if (end > now) clock.sleep_us(input_.ConsumeIntegralInRange<uint64_t>(0, end - now - 1));
    }
}

void FuzzDevice::count_delivered(const usbsim::Call& call) {
    using Kind = usbsim::Call::Kind;
    if (call.interface != usbsim::kInterfaceB) return;
    if (call.kind == Kind::Control && call.request == kResetRequest &&
        (call.value == kResetAll || call.value == kPurgeToHost) && call.result >= 0) {
        delivered_[call.probe] = 0;  // the host drops what it had kept
    } else if (call.kind == Kind::BulkIn && call.result == LIBUSB_SUCCESS) {
        delivered_[call.probe] += answer_bytes(call.transferred, host_packet_size(call.probe));
    }
}
