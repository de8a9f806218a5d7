// The libusb-1.0 calls that libftdi1 and the libftdi driver layer make,
// over the simulated bus of usb_bus.h. Built as libusb-1.0.so.0, it takes
// the real library's place in a program started with its folder first on
// the library path. libusb's own objects (contexts, device references,
// handles, descriptors) behave as libusb documents them; what the devices
// do is the bus model's. Asynchronous transfers are not offered.
#include "usbsim/usb_bus.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

struct libusb_context {
    int debug_level = 0;
};

struct libusb_device {
    std::atomic<int> refs{1};
    usbsim::Bus::ProbeId id;
    usbsim::DeviceInfo info;
};

struct libusb_device_handle {
    libusb_device* dev = nullptr;
    bool auto_detach = false;
    bool claimed[usbsim::kInterfaces] = {};
};

namespace {

using usbsim::bus;

constexpr uint8_t kDescriptorLength = 18;   // device descriptor
constexpr uint8_t kConfigLength = 9;
constexpr uint8_t kInterfaceLength = 9;
constexpr uint8_t kEndpointLength = 7;
constexpr uint16_t kUsb20 = 0x0200;
constexpr uint8_t kControlPacketBytes = 64;
constexpr uint8_t kConfigurationValue = 1;
constexpr uint8_t kBusPoweredMaxPower = 0x32;  // in 2 mA units: 100 mA
constexpr uint8_t kAttributesBusPowered = 0x80;
constexpr uint8_t kVendorClass = 0xFF;
constexpr int kEndpointsPerInterface = 2;
constexpr uint8_t kLowByte = 0xFF;
constexpr int kStringHeaderBytes = 2;
constexpr uint16_t kFirstNonAscii = 0x80;

libusb_device* new_device(usbsim::Bus::ProbeId id, const usbsim::DeviceInfo& info) {
    auto* dev = new libusb_device;
    dev->id = id;
    dev->info = info;
    bus().device_ref(1);
    return dev;
}

uintptr_t owner(const libusb_device_handle* handle) { return reinterpret_cast<uintptr_t>(handle); }

bool claimable(int interface) { return interface >= 0 && interface < usbsim::kInterfaces; }

}  // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** ctx) {
    bus();  // reads the environment once, before the first device list
    if (ctx) *ctx = new (std::nothrow) libusb_context;
    return ctx && !*ctx ? LIBUSB_ERROR_NO_MEM : LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context* ctx) { delete ctx; }

void LIBUSB_CALL libusb_set_debug(libusb_context* ctx, int level) {
    if (ctx) ctx->debug_level = level;
}

int LIBUSB_CALL libusb_set_option(libusb_context* /*ctx*/, enum libusb_option /*option*/, ...) {
    return LIBUSB_SUCCESS;
}

const char* LIBUSB_CALL libusb_error_name(int code) {
    switch (code) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    default: return "LIBUSB_ERROR_OTHER";
    }
}

const char* LIBUSB_CALL libusb_strerror(int code) { return libusb_error_name(code); }

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* /*ctx*/, libusb_device*** list) {
    const std::vector<usbsim::Bus::ProbeId> ids = bus().attached();
    auto** devices = static_cast<libusb_device**>(std::calloc(ids.size() + 1, sizeof(libusb_device*)));
    if (!devices) return LIBUSB_ERROR_NO_MEM;
    size_t n = 0;
    for (const usbsim::Bus::ProbeId& id : ids) {
        if (const std::optional<usbsim::DeviceInfo> info = bus().info(id))
            devices[n++] = new_device(id, *info);
    }
    *list = devices;
    return static_cast<ssize_t>(n);
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) {
    ++dev->refs;
    return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* dev) {
    if (dev && --dev->refs == 0) {
        delete dev;
        bus().device_ref(-1);
    }
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices) {
    if (!list) return;
    if (unref_devices)
        for (libusb_device** d = list; *d; ++d) libusb_unref_device(*d);
    std::free(list);
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* dev) { return dev->info.bus; }

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) { return dev->info.address; }

int LIBUSB_CALL libusb_get_port_numbers(libusb_device* dev, uint8_t* ports, int length) {
    constexpr int kDepth = 2;  // the root hub's port to the hub, the hub's to the probe
    if (length < kDepth) return LIBUSB_ERROR_OVERFLOW;
    ports[0] = usbsim::kHubPort;
    ports[1] = dev->info.port;
    return kDepth;
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev,
                                             struct libusb_device_descriptor* desc) {
    *desc = libusb_device_descriptor{};
    desc->bLength = kDescriptorLength;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = kUsb20;
    desc->bMaxPacketSize0 = kControlPacketBytes;
    desc->idVendor = usbsim::kVendorId;
    desc->idProduct = usbsim::kProductId;
    desc->bcdDevice = usbsim::kBcdFt2232H;
    desc->iManufacturer = usbsim::kManufacturerString;
    desc->iProduct = usbsim::kProductString;
    desc->iSerialNumber = dev->info.serial.empty() ? 0 : usbsim::kSerialString;
    desc->bNumConfigurations = 1;
    usbsim::Call call{usbsim::Call::Kind::DeviceDescriptor, dev->info.probe, -1, 0, 0,
                      reinterpret_cast<uint8_t*>(desc), sizeof *desc, LIBUSB_SUCCESS};
    bus().answer(call);
    // libusb reads it from its cache and has not failed since 1.0.16; a
    // behaviour may still make it fail, as older ones could, to reach the
    // callers' error paths.
    return call.result < 0 ? call.result : LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* dev, uint8_t config_index,
                                             struct libusb_config_descriptor** config) {
    if (config_index != 0) return LIBUSB_ERROR_NOT_FOUND;
    uint8_t packet_size[2] = {usbsim::kMaxPacketBytes & kLowByte, usbsim::kMaxPacketBytes >> 8};
    usbsim::Call call{usbsim::Call::Kind::PacketSize, dev->info.probe, -1, 0, 0, packet_size,
                      sizeof packet_size, LIBUSB_SUCCESS};
    bus().answer(call);
    // One allocation each, freed by libusb_free_config_descriptor.
    auto* endpoints = new libusb_endpoint_descriptor[usbsim::kInterfaces * kEndpointsPerInterface]{};
    auto* altsettings = new libusb_interface_descriptor[usbsim::kInterfaces]{};
    auto* interfaces = new libusb_interface[usbsim::kInterfaces]{};
    for (int i = 0; i < usbsim::kInterfaces; ++i) {
        libusb_endpoint_descriptor* ep = endpoints + i * kEndpointsPerInterface;
        const uint8_t addresses[kEndpointsPerInterface] = {usbsim::in_endpoint(i),
                                                           usbsim::out_endpoint(i)};
        for (int e = 0; e < kEndpointsPerInterface; ++e) {
            ep[e].bLength = kEndpointLength;
            ep[e].bDescriptorType = LIBUSB_DT_ENDPOINT;
            ep[e].bEndpointAddress = addresses[e];
            ep[e].bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
            ep[e].wMaxPacketSize = static_cast<uint16_t>(packet_size[0] | packet_size[1] << 8);
        }
        libusb_interface_descriptor& alt = altsettings[i];
        alt.bLength = kInterfaceLength;
        alt.bDescriptorType = LIBUSB_DT_INTERFACE;
        alt.bInterfaceNumber = static_cast<uint8_t>(i);
        alt.bNumEndpoints = kEndpointsPerInterface;
        alt.bInterfaceClass = kVendorClass;
        alt.bInterfaceSubClass = kVendorClass;
        alt.bInterfaceProtocol = kVendorClass;
        alt.iInterface = usbsim::kProductString;
        alt.endpoint = ep;
        interfaces[i].altsetting = &alt;
        interfaces[i].num_altsetting = 1;
    }
    auto* c = new libusb_config_descriptor{};
    c->bLength = kConfigLength;
    c->bDescriptorType = LIBUSB_DT_CONFIG;
    c->wTotalLength = kConfigLength + usbsim::kInterfaces * (kInterfaceLength +
                                                             kEndpointsPerInterface * kEndpointLength);
    c->bNumInterfaces = usbsim::kInterfaces;
    c->bConfigurationValue = kConfigurationValue;
    c->bmAttributes = kAttributesBusPowered;
    c->MaxPower = kBusPoweredMaxPower;
    c->interface = interfaces;
    *config = c;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
    if (!config) return;
    const libusb_interface* interfaces = config->interface;
    delete[] interfaces[0].altsetting[0].endpoint;
    delete[] interfaces[0].altsetting;
    delete[] interfaces;
    delete config;
}

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** handle) {
    const int status = bus().open(dev->id);
    if (status < 0) return status;
    auto* h = new libusb_device_handle;
    h->dev = libusb_ref_device(dev);
    *handle = h;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* handle) {
    if (!handle) return;
    // Closing the device file gives up its claims; nothing is re-attached.
    for (int i = 0; i < usbsim::kInterfaces; ++i)
        if (handle->claimed[i]) bus().release(handle->dev->id, i, owner(handle), false);
    libusb_unref_device(handle->dev);
    delete handle;
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* handle) { return handle->dev; }

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* handle, int* config) {
    if (!bus().info(handle->dev->id)) return LIBUSB_ERROR_NO_DEVICE;
    *config = kConfigurationValue;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* handle, int configuration) {
    if (!bus().info(handle->dev->id)) return LIBUSB_ERROR_NO_DEVICE;
    return configuration == kConfigurationValue ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle* handle, int enable) {
    handle->auto_detach = enable != 0;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* handle, int interface) {
    if (!claimable(interface)) return LIBUSB_ERROR_NOT_FOUND;
    const int status = bus().claim(handle->dev->id, interface, owner(handle), handle->auto_detach);
    if (status == LIBUSB_SUCCESS) handle->claimed[interface] = true;
    return status;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* handle, int interface) {
    if (!claimable(interface) || !handle->claimed[interface]) return LIBUSB_ERROR_NOT_FOUND;
    handle->claimed[interface] = false;
    return bus().release(handle->dev->id, interface, owner(handle), handle->auto_detach);
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle* handle, int interface) {
    return bus().kernel_driver_active(handle->dev->id, interface);
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle* handle, int interface) {
    return bus().detach_kernel_driver(handle->dev->id, interface);
}

int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle* handle, int interface) {
    return bus().attach_kernel_driver(handle->dev->id, interface);
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* handle,
                                                   uint8_t desc_index, unsigned char* data,
                                                   int length) {
    if (length < 1) return LIBUSB_ERROR_INVALID_PARAM;
    std::vector<uint8_t> raw;
    const int status = bus().string_descriptor(handle->dev->id, desc_index, &raw);
    if (status < 0) return status;
    // As libusb checks the device's answer: a header, no longer than what
    // came, of the string type; each UTF-16 unit outside ASCII becomes '?'.
    const int received = static_cast<int>(raw.size());
    if (received < kStringHeaderBytes || raw[0] > received || raw[1] != LIBUSB_DT_STRING)
        return LIBUSB_ERROR_IO;
    int n = 0;
    for (int at = kStringHeaderBytes; at + 1 < raw[0] && n < length - 1; at += 2) {
        const uint16_t unit = static_cast<uint16_t>(raw[at] | raw[at + 1] << 8);
        data[n++] = unit < kFirstNonAscii ? static_cast<unsigned char>(unit) : '?';
    }
    data[n] = '\0';
    return n;
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* handle, uint8_t request_type,
                                        uint8_t request, uint16_t value, uint16_t index,
                                        unsigned char* data, uint16_t length,
                                        unsigned int timeout) {
    return bus().control(handle->dev->id, request_type, request, value, index, data, length,
                         timeout);
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint,
                                     unsigned char* data, int length, int* transferred,
                                     unsigned int timeout) {
    int moved = 0;
    const int status = bus().bulk(handle->dev->id, endpoint, data, length, &moved, timeout);
    if (transferred) *transferred = moved;
    return status;
}

struct libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int iso_packets) {
    const size_t size = sizeof(libusb_transfer) +
                        sizeof(libusb_iso_packet_descriptor) * static_cast<size_t>(std::max(iso_packets, 0));
    return static_cast<libusb_transfer*>(std::calloc(1, size));
}

void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer* transfer) {
    if (transfer && (transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER)) std::free(transfer->buffer);
    std::free(transfer);
}

int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer* /*transfer*/) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer* /*transfer*/) {
    return LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context* /*ctx*/, struct timeval* /*tv*/) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context* /*ctx*/,
                                                       struct timeval* /*tv*/,
                                                       int* /*completed*/) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

}  // extern "C"

namespace {
// The unplug time counts from the start of the program, not from its first
// USB call.
const bool kBusReadyAtLoad = (bus(), true);
}  // namespace
