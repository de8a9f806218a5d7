// A device on the modelled USB bus whose answers come from fuzz input: its
// descriptors and strings, the result and byte count of each control and
// bulk call, the contents of its IN packets, and how late it answers. Each
// call takes one choice byte; most choices leave the model's answer, so an
// input is a working probe with a few faults in it. Once the input is used
// up every transfer fails as if the device had gone, so that no run lasts
// much longer than its input. Descriptors are decided at their first read
// and then stay, as libusb reads them from its cache.
#ifndef TALVIRO_FUZZ_USB_DEVICE_H
#define TALVIRO_FUZZ_USB_DEVICE_H

#include "usbsim/usb_bus.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <map>

class FuzzDevice final : public usbsim::Behaviour {
public:
    // Reads from input, which must outlive the device's use.
    explicit FuzzDevice(FuzzedDataProvider& input) : input_(input) {}

    void answer(usbsim::Call& call) override;

    // Answer bytes (IN data less the status bytes of each packet) that
    // channel B of probe (1-based) delivered since its receive side was last
    // purged, counted in packets of the size its descriptor gave.
    uint64_t delivered(int probe) const;

private:
    void descriptor(usbsim::Call& call, uint8_t choice);
    void transfer(usbsim::Call& call);
    void count_delivered(const usbsim::Call& call);
    // The packet size libftdi strips status bytes by: the endpoint's, or
    // its default for the chip type when the device has no configuration.
    int host_packet_size(int probe) const;

    FuzzedDataProvider& input_;
    std::map<int, uint64_t> delivered_;
    std::map<int, libusb_device_descriptor> device_descriptor_;
    std::map<int, uint16_t> packet_size_;
};

#endif
