// A device on the modelled USB bus whose answers come from fuzz input: its
// descriptors and strings, the result and byte count of each control and
// bulk call, the contents of its IN packets, and how late it answers. Each
// call takes one choice byte; most choices leave the model's answer, so an
// input is a working probe with a few faults in it. Once the input is used
// up every transfer fails as if the device had gone, so that no run lasts
// much longer than its input.
#ifndef TALVIRO_FUZZ_USB_DEVICE_H
#define TALVIRO_FUZZ_USB_DEVICE_H

#include "d2xx/usbsim/usb_bus.h"

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
    void transfer(usbsim::Call& call);
    void count_delivered(const usbsim::Call& call);

    FuzzedDataProvider& input_;
    std::map<int, uint64_t> delivered_;
    std::map<int, int> packet_size_;
};

#endif
