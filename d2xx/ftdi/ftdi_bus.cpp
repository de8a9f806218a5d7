#include "d2xx/ftdi/ftdi_bus.h"

#include "d2xx/ftdi/ftdi_logic.h"

namespace d2xx_ftdi {

namespace {

// A USB string descriptor holds at most 126 characters; plus the terminator.
constexpr int kUsbStringBytes = 128;

// True when opening dev is refused for lack of permission (no udev rule).
bool may_not_open(libusb_device* dev) {
    libusb_device_handle* handle = nullptr;
    const int status = libusb_open(dev, &handle);
    if (status == 0) {
        libusb_close(handle);
    }
    return status == LIBUSB_ERROR_ACCESS;
}

}  // namespace

std::string usb_string(ftdi_context* ctx, libusb_device* dev, UsbString which) {
    char text[kUsbStringBytes] = {};
    // ftdi_usb_get_strings would close ctx's device; ftdi_usb_get_strings2
    // opens dev only for the call, but may still close ctx's device when a
    // string read fails, hence no device open. Strings are fetched one at a
    // time so a chip with no serial still shows its product.
    char* product = which == UsbString::Product ? text : nullptr;
    char* serial = which == UsbString::Serial ? text : nullptr;
    if (ftdi_usb_get_strings2(ctx, dev, nullptr, 0, product, product ? kUsbStringBytes : 0,
                              serial, serial ? kUsbStringBytes : 0) < 0) {
        return std::string();
    }
    return std::string(text);
}

Look look_at(ftdi_context* ctx, libusb_device* dev, Chip* chip) {
    if (libusb_get_device_descriptor(dev, &chip->descriptor) < 0) {
        return Look::Other;
    }
    chip->dev = dev;
    chip->product = usb_string(ctx, dev, UsbString::Product);
    chip->channels = channel_count(chip->descriptor.bcdDevice);
    const bool probe_chip = chip->descriptor.idVendor == kProbeVendor &&
                            chip->descriptor.idProduct == kProbeProduct;
    if (chip->product.empty() && probe_chip && may_not_open(dev)) {
        return Look::NoPermission;
    }
    return chip->product.empty() ? Look::Other : Look::Readable;
}

uint32_t device_id(const Chip& chip) {
    return static_cast<uint32_t>(chip.descriptor.idVendor) << kVendorShift |
           chip.descriptor.idProduct;
}

uint32_t chip_location(const Chip& chip, int index) {
    uint8_t ports[FT_LOCATION_MAX_PORTS] = {};
    const int depth = libusb_get_port_numbers(chip.dev, ports, FT_LOCATION_MAX_PORTS);
    // A longer path (LIBUSB_ERROR_OVERFLOW) has no location that fits.
    if (depth < 1) {
        return 0;
    }
    return channel_location(libusb_get_bus_number(chip.dev), ports, depth, index);
}

}  // namespace d2xx_ftdi
