// What libftdi1 shows of the FTDI chips on the bus before any channel of
// them is claimed, shared by FT_OpenEx and the device list.
#ifndef TALVIRO_D2XX_FTDI_FTDI_BUS_H
#define TALVIRO_D2XX_FTDI_FTDI_BUS_H

#include <ftdi.h>
#include <libusb.h>

#include <cstdint>
#include <memory>
#include <string>

namespace d2xx_ftdi {

// ftdi_usb_find_all with vendor and product 0 looks for every FTDI default id.
constexpr int kAnyDefaultFtdiId = 0;

// FT_GetDeviceInfo's id: vendor id in the high half, product id in the low.
constexpr int kVendorShift = 16;

// The chip the probe is built on, as the udev rule names it: a device with
// this id that may not be opened may be a probe.
constexpr uint16_t kProbeVendor = 0x0403;
constexpr uint16_t kProbeProduct = 0x6010;

struct ContextFree {
    void operator()(ftdi_context* ctx) const { ftdi_free(ctx); }
};
// A libftdi context, and with it a libusb context.
using Context = std::unique_ptr<ftdi_context, ContextFree>;

// What ftdi_usb_find_all listed. Its devices belong to the context that
// listed them: free the list first.
struct DeviceListFree {
    void operator()(ftdi_device_list* list) const { ftdi_list_free2(list); }
};
using DeviceList = std::unique_ptr<ftdi_device_list, DeviceListFree>;

enum class UsbString { Product, Serial };

// One string descriptor of dev; empty when the device does not give it.
// Needs ctx to have no device open.
std::string usb_string(ftdi_context* ctx, libusb_device* dev, UsbString which);

// What a chip on the bus tells without a channel of it being claimed.
struct Chip {
    libusb_device* dev = nullptr;
    libusb_device_descriptor descriptor = {};
    std::string product;
    int channels = 0;
};

enum class Look { Other, Readable, NoPermission };

// Reads dev's device descriptor and product string into *chip. A probe's
// chip that this user may not open cannot tell its product string:
// NoPermission (chip->descriptor is still filled). Needs ctx to have no
// device open.
Look look_at(ftdi_context* ctx, libusb_device* dev, Chip* chip);

// vendor << 16 | product, as FT_GetDeviceInfo reports it.
uint32_t device_id(const Chip& chip);

// The location (d2xx.h) of channel index of chip (-1: the chip), from its
// bus and port numbers; 0 when libusb cannot tell them or they do not fit.
uint32_t chip_location(const Chip& chip, int index);

}  // namespace d2xx_ftdi

#endif
