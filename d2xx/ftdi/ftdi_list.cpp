// The list of FTDI channels on the bus: FT_CreateDeviceInfoList and
// FT_GetDeviceInfoDetail over libftdi1.
#include "d2xx/ftdi/channels.h"
#include "d2xx/ftdi/ftdi_bus.h"
#include "d2xx/ftdi/ftdi_logic.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace d2xx_ftdi {

namespace {

// Whether another program has claimed channel index of the chip that handle
// has open. Looks without disturbing that program: a channel whose kernel
// serial driver is bound is held by nobody (a program detaches the driver
// before claiming the channel); otherwise a claim on a channel someone holds
// is refused with BUSY and changes nothing, and one that succeeds ends when
// handle is closed, which gives every claim made through it back.
bool held_elsewhere(libusb_device_handle* handle, int index) {
    if (libusb_kernel_driver_active(handle, index) == 1) {
        return false;
    }
    return libusb_claim_interface(handle, index) == LIBUSB_ERROR_BUSY;
}

// One entry of the list FT_CreateDeviceInfoList takes.
struct ListEntry {
    uint32_t flags = 0;
    uint32_t type = kDeviceUnknown;
    uint32_t id = 0;
    uint32_t location = 0;
    std::string serial;
    std::string description;
    FT_HANDLE handle = nullptr;
};

// The last list taken, read by FT_GetDeviceInfoDetail.
struct DeviceInfoList {
    std::mutex mutex;
    std::vector<ListEntry> entries;
};

DeviceInfoList& device_info_list() {
    static DeviceInfoList instance;
    return instance;
}

// The entries of every channel of chip.
void list_channels(ftdi_context* ctx, const Chip& chip, std::vector<ListEntry>* entries) {
    const uint8_t bus = libusb_get_bus_number(chip.dev);
    const uint8_t address = libusb_get_device_address(chip.dev);
    const std::string chip_serial = usb_string(ctx, chip.dev, UsbString::Serial);
    // One handle for the look at every channel; closing it ends the claims
    // held_elsewhere made.
    libusb_device_handle* usb = nullptr;
    const bool opened = libusb_open(chip.dev, &usb) == LIBUSB_SUCCESS;
    for (int index = 0; index < std::max(chip.channels, kSingleChannel); ++index) {
        ListEntry entry;
        entry.handle = channel_handle(ChannelKey{bus, address, index});
        // A channel of this process is never claimed again from here.
        const bool held = entry.handle != nullptr || (opened && held_elsewhere(usb, index));
        entry.flags = held ? FT_FLAGS_OPENED : 0;
        entry.type = device_type_of_bcd(chip.descriptor.bcdDevice);
        entry.id = device_id(chip);
        entry.location = chip_location(chip, index);
        entry.serial = channel_serial(chip_serial, chip.channels, index);
        entry.description = channel_description(chip.product, chip.channels, index);
        entries->push_back(std::move(entry));
    }
    if (opened) {
        libusb_close(usb);
    }
}

}  // namespace

}  // namespace d2xx_ftdi

FT_STATUS FT_CreateDeviceInfoList(uint32_t* count) {
    using namespace d2xx_ftdi;
    if (count == nullptr) {
        return FT_IO_ERROR;
    }
    *count = 0;
    std::vector<ListEntry> entries;
    FT_STATUS status = FT_OK;
    {
        // The list is freed before the context its devices belong to.
        const Context context(ftdi_new());
        ftdi_device_list* raw_list = nullptr;
        const int listed = context == nullptr
                               ? -1
                               : ftdi_usb_find_all(context.get(), &raw_list, kAnyDefaultFtdiId,
                                                   kAnyDefaultFtdiId);
        const DeviceList list(raw_list);
        if (listed < 0) {
            status = FT_IO_ERROR;  // USB itself is not usable
        }
        for (ftdi_device_list* entry = list.get(); status == FT_OK && entry != nullptr;
             entry = entry->next) {
            Chip chip;
            const Look look = look_at(context.get(), entry->dev, &chip);
            if (look == Look::Readable) {
                list_channels(context.get(), chip, &entries);
            } else if (look == Look::NoPermission) {
                ListEntry unreadable;
                unreadable.flags = FT_FLAGS_NO_PERMISSION;
                unreadable.type = device_type_of_bcd(chip.descriptor.bcdDevice);
                unreadable.id = device_id(chip);
                unreadable.location = chip_location(chip, -1);
                entries.push_back(std::move(unreadable));
            }
        }
    }
    DeviceInfoList& last = device_info_list();
    std::lock_guard<std::mutex> lock(last.mutex);
    last.entries = std::move(entries);
    *count = static_cast<uint32_t>(last.entries.size());
    return status;
}

FT_STATUS FT_GetDeviceInfoDetail(uint32_t index, uint32_t* flags, uint32_t* type, uint32_t* id,
                                 uint32_t* location, char* serial, char* description,
                                 FT_HANDLE* handle) {
    using namespace d2xx_ftdi;
    DeviceInfoList& last = device_info_list();
    std::lock_guard<std::mutex> lock(last.mutex);
    if (index >= last.entries.size()) {
        return FT_DEVICE_NOT_FOUND;
    }
    const ListEntry& entry = last.entries[index];
    if (flags != nullptr) *flags = entry.flags;
    if (type != nullptr) *type = entry.type;
    if (id != nullptr) *id = entry.id;
    if (location != nullptr) *location = entry.location;
    if (handle != nullptr) *handle = entry.handle;
    copy_terminated(entry.serial, serial, FT_SERIAL_NUMBER_SIZE);
    copy_terminated(entry.description, description, FT_DESCRIPTION_SIZE);
    return FT_OK;
}
