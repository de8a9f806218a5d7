// FT_OpenEx over libftdi1: finds the chip channel with the wanted description
// or serial number among the FTDI devices on the bus and claims it, as the
// port every later FT_* call of that handle goes through.
#include "d2xx/ftdi/channels.h"
#include "d2xx/ftdi/ftdi_bus.h"
#include "d2xx/ftdi/ftdi_logic.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace d2xx_ftdi {

namespace {

// Longest wait of one bulk read. A live chip answers every latency period
// (255 ms at most) with at least its status bytes, so a read that waits
// longer means a wedged chip; FT_Read's own deadline still bounds the call.
constexpr int kLongestLatencyMs = 255;
constexpr int kBulkReadSlackMs = 45;
constexpr int kBulkReadTimeoutMs = kLongestLatencyMs + kBulkReadSlackMs;

// Bulk packet sizes of the FTDI chips: full speed, high speed. libftdi
// strips the status bytes of each packet by the size the device's endpoint
// descriptor gives, and copies with a negative length for a size below 2.
constexpr unsigned kFullSpeedPacketBytes = 64;
constexpr unsigned kHighSpeedPacketBytes = 512;

bool is_ftdi_packet_size(unsigned bytes) {
    return bytes == kFullSpeedPacketBytes || bytes == kHighSpeedPacketBytes;
}

// What close reports when there was no claimed channel to give back.
constexpr int kCloseOk = 0;

// The pin mask of the bit-mode reset: no pin is driven afterwards.
constexpr unsigned char kNoPins = 0x00;

// A libftdi context and, once opened, the claimed channel. Every way out of
// FT_OpenEx, and FT_Close later, ends here: ftdi_usb_close if the channel was
// opened, then ftdi_free, each exactly once.
class FtdiPort final : public Port {
public:
    FtdiPort() : ctx_(ftdi_new()) {}
    ~FtdiPort() override { close(); }
    FtdiPort(const FtdiPort&) = delete;
    FtdiPort& operator=(const FtdiPort&) = delete;

    ftdi_context* context() const { return ctx_; }

    // Claims channel index of dev and empties its buffers. Returns false when
    // the channel cannot be had (busy, no permission, gone); the port then
    // holds no device and may try another.
    bool open(libusb_device* dev, int index) {
        const auto interface = static_cast<ftdi_interface>(INTERFACE_A + index);
        if (ftdi_set_interface(ctx_, interface) < 0) {
            return false;
        }
        // The kernel serial driver is unbound while we hold the channel and
        // bound again on close, so the port's tty comes back afterwards.
        ctx_->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
        ctx_->usb_read_timeout = kBulkReadTimeoutMs;
        opened_ = true;
        // Bytes an earlier session left in the chip's buffers would otherwise
        // be taken for the answers to this session's first commands.
        if (ftdi_usb_open_dev(ctx_, dev) < 0 || !is_ftdi_packet_size(ctx_->max_packet_size) ||
            ftdi_tcioflush(ctx_) < 0) {
            release_device();
            return false;
        }
        return true;
    }

    int read(uint8_t* buf, uint32_t max, uint32_t timeout_ms) override {
        // libftdi makes another bulk transfer, with the whole time-out again,
        // while a request is not full. Asking for what it holds already, or
        // else for one byte, keeps this call to one transfer, which then
        // ends with the caller's time.
        const uint32_t held = ctx_->readbuffer_remaining;
        const uint32_t wanted = std::min({max, held > 0 ? held : 1u, kMaxTransferBytes});
        ctx_->usb_read_timeout = static_cast<int>(
            std::clamp<uint32_t>(timeout_ms, kMinAttemptMs, kBulkReadTimeoutMs));
        const int got = ftdi_read_data(ctx_, buf, static_cast<int>(wanted));
        // No packet at all within the time given: nothing arrived yet, and
        // the caller's deadline decides whether to wait on.
        return got == LIBUSB_ERROR_TIMEOUT ? 0 : got;
    }

    int write(const uint8_t* data, uint32_t count, uint32_t timeout_ms) override {
        // libftdi takes the same time-out for control requests (bit mode,
        // latency timer, purge), so the time left for this write must not
        // outlive it.
        const int control_timeout = ctx_->usb_write_timeout;
        ctx_->usb_write_timeout = static_cast<int>(std::min<uint32_t>(timeout_ms, INT_MAX));
        const int sent =
            ftdi_write_data(ctx_, data, static_cast<int>(std::min(count, kMaxTransferBytes)));
        ctx_->usb_write_timeout = control_timeout;
        return sent;
    }

    int set_latency_timer(uint8_t ms) override { return ftdi_set_latency_timer(ctx_, ms); }

    int get_latency_timer(uint8_t* ms) override { return ftdi_get_latency_timer(ctx_, ms); }

    int set_bit_mode(uint8_t mask, uint8_t mode) override {
        return ftdi_set_bitmode(ctx_, mask, mode);
    }

    int purge() override { return ftdi_tcioflush(ctx_); }

    uint32_t unread() const override { return ctx_->readbuffer_remaining; }

    uint32_t packet_bytes() const override { return ctx_->max_packet_size; }

    int close() override {
        const int result = release_device();
        if (ctx_ != nullptr) {
            ftdi_free(ctx_);
            ctx_ = nullptr;
        }
        return result;
    }

private:
    // Gives a claimed channel back: out of any bit mode first, so that the
    // serial driver, bound again on release, does not hand a terminal's bytes
    // to the MPSSE engine. Safe on a half-done open and on a device that went
    // away; the reset's result does not matter then, only the release's.
    int release_device() {
        if (!opened_) {
            return kCloseOk;
        }
        opened_ = false;
        if (ctx_->usb_dev != nullptr) {
            ftdi_set_bitmode(ctx_, kNoPins, BITMODE_RESET);
        }
        return ftdi_usb_close(ctx_);
    }

    ftdi_context* ctx_;
    bool opened_ = false;
};

}  // namespace

}  // namespace d2xx_ftdi

FT_STATUS FT_OpenEx(void* arg, uint32_t flags, FT_HANDLE* handle) {
    using namespace d2xx_ftdi;
    const bool by_serial = flags == FT_OPEN_BY_SERIAL_NUMBER;
    const bool by_location = flags == FT_OPEN_BY_LOCATION;
    // A location is the pointer's value, not a string behind it.
    if ((flags != FT_OPEN_BY_DESCRIPTION && !by_serial && !by_location) ||
        (arg == nullptr && !by_location) || handle == nullptr) {
        return FT_DEVICE_NOT_OPENED;
    }
    const uint32_t wanted_location =
        by_location ? static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg)) : 0;
    const std::string wanted(by_location ? "" : static_cast<const char*>(arg));

    // Declared before the list so the list is freed first: its devices
    // belong to the port's libusb context.
    auto port = std::make_unique<FtdiPort>();
    if (port->context() == nullptr) {
        return FT_DEVICE_NOT_OPENED;
    }
    ftdi_device_list* raw_list = nullptr;
    const int listed = ftdi_usb_find_all(port->context(), &raw_list, kAnyDefaultFtdiId,
                                         kAnyDefaultFtdiId);
    // A search that failed half-way has still listed devices: free them too.
    const DeviceList list(raw_list);
    if (listed < 0) {
        return FT_DEVICE_NOT_OPENED;  // USB itself is not usable
    }

    // Every matching channel in turn: one held by a debugger or another copy
    // of this program must not hide a free one.
    bool refused = false;
    for (ftdi_device_list* entry = list.get(); entry != nullptr; entry = entry->next) {
        Chip chip;
        const Look look = look_at(port->context(), entry->dev, &chip);
        refused = refused || look == Look::NoPermission;
        if (look != Look::Readable) {
            continue;
        }
        std::string chip_serial;
        std::optional<int> index;
        if (by_location) {
            for (int i = 0; wanted_location != 0 && i < std::max(chip.channels, kSingleChannel); ++i) {
                if (chip_location(chip, i) == wanted_location) {
                    index = i;
                }
            }
        } else if (by_serial) {
            chip_serial = usb_string(port->context(), chip.dev, UsbString::Serial);
            index = match_serial(chip_serial, chip.channels, wanted);
        } else {
            index = match_channel(chip.product, chip.channels, wanted);
        }
        if (!index) {
            continue;
        }
        refused = true;
        ChannelInfo info;
        info.key = ChannelKey{libusb_get_bus_number(chip.dev),
                              libusb_get_device_address(chip.dev), *index};
        if (channel_in_use(info.key)) {
            continue;
        }
        if (!by_serial) {
            chip_serial = usb_string(port->context(), chip.dev, UsbString::Serial);
        }
        if (!port->open(chip.dev, *index)) {
            continue;
        }
        info.type = device_type(port->context()->type);
        info.id = device_id(chip);
        info.description = channel_description(chip.product, chip.channels, *index);
        info.serial = channel_serial(chip_serial, chip.channels, *index);
        *handle = adopt_channel(std::move(port), std::move(info), channel_clock());
        return FT_OK;
    }
    return refused ? FT_DEVICE_NOT_OPENED : FT_DEVICE_NOT_FOUND;
}
