// A USB bus with simulated probes on it, as libusb-1.0 would show it: the
// model behind the stand-in libusb (libusb_api.cpp), so that the real
// libftdi1 and the libftdi driver layer run above it unchanged.
//
// Each probe is an FT2232H (0403:6010, bcdDevice 0x0700) with two
// interfaces, A and B, the kernel's serial driver bound to each, and the
// probe chip model (chipmodel/probe_chip.h) behind interface B. The bus
// models what libftdi relies on: opening (with permission), claiming (busy
// when held elsewhere, where no kernel driver shows as bound; the kernel
// driver detached and re-attached on request), the vendor control requests, bulk OUT into the MPSSE engine, and
// bulk IN packets of at most 512 bytes that start with the two modem-status
// bytes and leave the chip when its latency timer runs out, or at once after
// a SEND_IMMEDIATE. Every transfer costs at least one 125 us microframe on
// the bus clock. After an unplug every call fails with LIBUSB_ERROR_NO_DEVICE.
//
// Programs get their bus from the TALVIRO_USBSIM environment variable (see
// parse_options); tests in the same process steer bus() directly. All
// functions are thread-safe; a transfer holds the bus while it waits.
#ifndef TALVIRO_USBSIM_USB_BUS_H
#define TALVIRO_USBSIM_USB_BUS_H

#include "chipmodel/probe_chip.h"
#include "usbsim/shared_claims.h"

#include <libusb.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace usbsim {

constexpr const char* kOptionsVariable = "TALVIRO_USBSIM";

constexpr uint16_t kVendorId = 0x0403;
constexpr uint16_t kProductId = 0x6010;
constexpr uint16_t kBcdFt2232H = 0x0700;
constexpr int kInterfaces = 2;  // A, B
constexpr int kInterfaceB = 1;
constexpr uint8_t kBusNumber = 1;
constexpr uint8_t kFirstAddress = 2;
constexpr uint16_t kMaxPacketBytes = 512;
constexpr int kStatusBytes = 2;  // modem status at the start of every IN packet
constexpr uint8_t kDefaultLatencyMs = 16;
constexpr uint64_t kMicroframeUs = 125;

// Endpoints of interface i: IN 0x81 + 2i, OUT 0x02 + 2i.
constexpr uint8_t kEndpointIn = 0x80;
constexpr uint8_t in_endpoint(int interface) { return static_cast<uint8_t>(0x81 + 2 * interface); }
constexpr uint8_t out_endpoint(int interface) { return static_cast<uint8_t>(0x02 + 2 * interface); }

// String descriptor indexes; 0 means "no such string".
constexpr uint8_t kManufacturerString = 1;
constexpr uint8_t kProductString = 2;
constexpr uint8_t kSerialString = 3;

struct Options {
    int probes = 1;                // chip serials TV0001, TV0002, ...
    int busy = 0;                  // 1-based probe whose channel B another program holds
    bool no_permission = false;    // this user may open none of them
    bool no_serial = false;        // the chips have no serial string
    long unplug_after_ms = -1;     // every probe vanishes this long after the process starts
    bool answer_at_once = false;   // every answer leaves at the next microframe
    bool ignore_send_immediate = false;
    bool dead_engine = false;      // the MPSSE engine takes bytes but never answers
    // The MPSSE engine stops answering, as with dead_engine, once channel B
    // has made this many bulk transfers (either way, counted per probe from
    // configure()); the chip stays on the bus and its control requests still
    // work. -1: never.
    long engine_dies_after = -1;
    // A file the bus rewrites after every change of a channel's state (kernel
    // driver, claim, bit mode): one line per probe and channel, so another
    // process can see how a program left its channels. Empty: none.
    std::string state_file;
    // A folder through which claims are seen by every process given the same
    // one (shared_claims.h), as the kernel's are; empty: only in this process.
    std::string shared_claims;
};

// Reads a comma-separated list such as "probes=2,busy=1,no-permission,
// unplug-after=500,answer-at-once,ignore-send-immediate,dead-engine,
// engine-dies-after=700,no-serial,shared-claims=/folder,state-file=/file".
// Empty text gives the defaults. On a word it does not know, returns nothing
// and says why in *error.
std::optional<Options> parse_options(const std::string& text, std::string* error);

// One bus event, kept while tracing: a control request or a bulk transfer.
struct Event {
    enum class Kind { Control, BulkOut, BulkIn };
    Kind kind;
    int probe;       // 1-based
    int interface;   // bulk: 0 = A; control: the wIndex it named
    uint8_t request = 0;
    uint16_t value = 0;
    std::vector<uint8_t> bytes;  // bulk: what went over the wire, status bytes included
    int result = 0;              // bytes moved, or a libusb error
    uint64_t at_us = 0;          // bus clock when the call began
};

// One call as a device answers it, after the model has answered: what a
// Behaviour may change. data and length are the bytes the host sees (for a
// device descriptor the libusb_device_descriptor, for a packet size the
// endpoints' wMaxPacketSize, little-endian, for a string the raw descriptor:
// bLength, bDescriptorType, UTF-16LE), result the bytes moved (>= 0) or a
// libusb error; a bulk call keeps its status and count apart. Descriptors
// come from libusb's cache: only their contents count, and their result only
// for a device descriptor (libusb_get_device_descriptor then fails with it,
// as libusb before 1.0.16 could).
struct Call {
    enum class Kind { DeviceDescriptor, PacketSize, StringDescriptor, Control, BulkOut, BulkIn };
    Kind kind;
    int probe;            // 1-based
    int interface = -1;   // bulk and control as in Event; else -1
    uint8_t request = 0;  // control: bRequest; string: the descriptor index
    uint16_t value = 0;   // control: wValue
    uint8_t* data = nullptr;
    int length = 0;
    int result = 0;           // bulk: the libusb status only
    unsigned timeout_ms = 0;  // control and bulk: the host's time-out, 0 none
    int transferred = 0;      // bulk: the bytes moved, also on a failure
    uint64_t at_us = 0;       // control and bulk: bus clock when the call began
};

// What the devices on the bus do beyond the model: a damaged or a hostile
// device. Called with the bus held and the model's answer in call; it may
// change call.result, call.transferred and the first call.length bytes of
// call.data, and may let time pass on the bus clock. The bus then cuts a
// count above length to length, and lets a transfer that timed out last
// until its time-out. A call that succeeds must end within its time-out.
class Behaviour {
public:
    virtual ~Behaviour() = default;
    virtual void answer(Call& call) = 0;
};

// The identity of one probe on the bus, as its descriptors give it.
struct DeviceInfo {
    uint8_t bus = kBusNumber;
    uint8_t address = 0;
    std::string manufacturer;
    std::string product;
    std::string serial;  // empty: no serial string (iSerialNumber 0)
};

class Bus {
public:
    Bus();

    // ---- set-up, for programs (from the environment) and tests ----
    // Replaces every probe by a fresh set as options describe; the unplug
    // time counts from this call. The clock and tracing stay.
    void configure(const Options& options);
    // nullptr: the real clock. The clock must outlive its use.
    void set_clock(sim::Clock* clock);
    sim::Clock& clock();
    // Every probe vanishes now.
    void unplug();
    // nullptr: the model answers alone (the default). The behaviour must
    // outlive its use.
    void set_behaviour(Behaviour* behaviour);

    // ---- observation, probe 1-based, interface 0 = A ----
    int probes() const;
    sim::ProbeChip& chip(int probe);
    bool kernel_driver_bound(int probe, int interface) const;
    bool claimed(int probe, int interface) const;  // by this process
    uint8_t bit_mode(int probe, int interface) const;
    void keep_trace(bool on);
    std::vector<Event> trace() const;
    void clear_trace();
    // libusb_device objects handed out and not yet released by the program.
    int live_devices() const;

    // ---- the operations libusb_api.cpp maps libusb's calls onto ----
    // Each returns a libusb status (0 or a count on success, < 0 failure).
    // A probe is addressed by its generation-stamped id, so calls on a probe
    // from before configure() fail as if it had been unplugged.
    struct ProbeId {
        uint64_t generation = 0;
        int index = 0;  // 0-based
    };
    std::vector<ProbeId> attached();
    std::optional<DeviceInfo> info(ProbeId id);
    int open(ProbeId id);
    // The raw string descriptor at index (at most 255 bytes); returns its
    // length or a libusb error.
    int string_descriptor(ProbeId id, uint8_t index, std::vector<uint8_t>* descriptor);
    // The lines the state file holds, as they are now: per probe and channel
    // "probe 1 channel B: kernel driver bound, not claimed, bit mode 00"
    // ("unbound", "claimed" otherwise; the bit mode in hex).
    std::string state_text() const;
    // Lets the behaviour, if any, change call (descriptors built by the
    // libusb layer pass through here).
    void answer(Call& call);
    // owner names the device handle: usbfs gives a channel to one open
    // device file, so another handle of the same process gets BUSY too.
    int claim(ProbeId id, int interface, uintptr_t owner, bool auto_detach);
    int release(ProbeId id, int interface, uintptr_t owner, bool auto_detach);
    int detach_kernel_driver(ProbeId id, int interface);
    int attach_kernel_driver(ProbeId id, int interface);
    int kernel_driver_active(ProbeId id, int interface);
    int control(ProbeId id, uint8_t request_type, uint8_t request, uint16_t value,
                uint16_t index, uint8_t* data, uint16_t length, unsigned timeout_ms);
    int bulk(ProbeId id, uint8_t endpoint, uint8_t* data, int length, int* transferred,
             unsigned timeout_ms);
    void device_ref(int delta);

private:
    struct Interface {
        bool kernel_driver = true;
        bool claimed = false;
        uintptr_t owner = 0;  // the device handle that claimed it
        bool held_elsewhere = false;
        bool auto_detached = false;
        uint8_t latency_ms = kDefaultLatencyMs;
        uint8_t bit_mode = 0;
        uint64_t first_pending_us = 0;  // when the oldest waiting answer arrived
        uint64_t bulk_transfers = 0;    // made on this interface since configure()
    };
    struct Probe {
        DeviceInfo info;
        Interface interfaces[kInterfaces];
        sim::ProbeChip chip;  // behind interface B
    };

    Probe* find(ProbeId id);
    template <typename Action>
    int on_interface(ProbeId id, int interface, Action action);
    // As on_interface, then writes the state file when the action succeeded.
    template <typename Action>
    int changing_state(ProbeId id, int interface, Action action);
    // Another program holds the interface of a present probe: the busy
    // option, or a claim shared from another process.
    bool held_elsewhere(ProbeId id, int interface);
    bool gone(uint64_t at_us) const;
    // Waits on the bus clock until at_us; false when the probes vanish
    // first (the wait then ends at the unplug).
    bool wait_until(uint64_t at_us);
    int vendor_request(Probe& probe, uint8_t request, uint16_t value,
                       uint16_t index, uint8_t* data, uint16_t length, bool in);
    int bulk_in(Probe& probe, int interface, uint8_t* data, int length, unsigned timeout_ms);
    void record(Event event);
    // Rewrites options_.state_file, when there is one, from state_text().
    void write_state() const;

    mutable std::recursive_mutex mutex_;
    sim::Clock* clock_;
    Behaviour* behaviour_ = nullptr;
    Options options_;
    uint64_t generation_ = 1;
    std::vector<std::unique_ptr<Probe>> probes_;
    std::unique_ptr<SharedClaims> shared_claims_;
    uint64_t unplug_at_us_ = 0;  // 0: never
    bool unplugged_ = false;
    bool tracing_ = false;
    std::vector<Event> trace_;
    int live_devices_ = 0;
};

// The process's bus. On first use it is configured from TALVIRO_USBSIM; a
// value it cannot read is reported on stderr and leaves an empty bus.
Bus& bus();

}  // namespace usbsim

#endif
