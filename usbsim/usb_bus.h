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
// the bus clock. After an unplug every call on the probe's device fails with
// LIBUSB_ERROR_NO_DEVICE. A probe plugged in again is a new device: a new
// bus address, a fresh chip, the kernel driver bound; what a program held of
// the old one stays dead.
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
// The root hub's port that leads to the hub the probes are plugged into.
constexpr uint8_t kHubPort = 1;
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
    long unplug_after_ms = -1;     // the probes vanish this long after configure() (program start)
    // The probes that vanished (unplug_after_ms or Bus::unplug) come back
    // this long after, each as a new device at a new address, with a fresh
    // chip (the same serial and inputs). -1: never.
    long replug_after_ms = -1;
    int unplug_only = 0;           // 1-based: only this probe vanishes; 0: all
    int replug_only = 0;           // 1-based: only this one comes back; 0: all
    bool answer_at_once = false;   // every answer leaves at the next microframe
    bool ignore_send_immediate = false;
    bool dead_engine = false;      // the MPSSE engine takes bytes but never answers
    // The MPSSE engine stops answering, as with dead_engine, once channel B
    // has made this many bulk transfers (either way, counted per device from
    // its arrival); the chip stays on the bus and its control requests still
    // work. -1: never.
    long engine_dies_after = -1;
    // With engine_dies_after: an engine that died answers again once channel
    // B's bit mode is reset and set to MPSSE again (a close and reopen), and
    // the count starts again at each such reopen.
    bool engine_revives = false;
    // Each time channel B is claimed, the chip holds answers of a lost
    // session (sim::kStaleAnswers), which come out once the engine is in
    // MPSSE mode; only a purge of its to-host buffer discards them.
    bool stale_answers = false;
    // A file the bus rewrites after every change of a channel's state (kernel
    // driver, claim, bit mode): one line per probe and channel, so another
    // process can see how a program left its channels. Empty: none.
    std::string state_file;
    // A folder through which claims are seen by every process given the same
    // one (shared_claims.h), as the kernel's are; empty: only in this process.
    std::string shared_claims;
};

// Reads a comma-separated list such as "probes=2,busy=1,no-permission,
// unplug-after=500,replug-after=2000,unplug-only=1,replug-only=1,
// answer-at-once,ignore-send-immediate,dead-engine,engine-dies-after=700,
// engine-revives,stale-answers,no-serial,shared-claims=/folder,
// state-file=/file".
// Empty text gives the defaults. On a word it does not know, returns nothing
// and says why in *error.
std::optional<Options> parse_options(const std::string& text, std::string* error);

// One bus event, kept while tracing: a control request or a bulk transfer.
struct Event {
    enum class Kind { Control, BulkOut, BulkIn };
    Kind kind;
    int probe;       // 1-based place on the bench (DeviceInfo::probe)
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
    int probe = 0;  // 1-based place on the bench, which the serial tells; no descriptor
    uint8_t bus = kBusNumber;
    uint8_t address = 0;
    // Where it is plugged in: port kHubPort of the root hub leads to a hub,
    // whose port `port` is the probe's place on the bench. A replugged probe
    // comes back at the same port, at a new address.
    uint8_t port = 0;
    std::string manufacturer;
    std::string product;
    std::string serial;  // empty: no serial string (iSerialNumber 0)
};

class Bus {
public:
    Bus();

    // ---- set-up, for programs (from the environment) and tests ----
    // Replaces every probe by a fresh set as options describe; the unplug
    // time counts from this call. The clock and tracing stay. Bus addresses
    // start again at kFirstAddress and are then not reused (until the 126th
    // device).
    void configure(const Options& options);
    // nullptr: the real clock. The clock must outlive its use.
    void set_clock(sim::Clock* clock);
    sim::Clock& clock();
    // The probes on the bus vanish now (only unplug_only's, if set), to come
    // back as replug_after_ms says.
    void unplug();
    // nullptr: the model answers alone (the default). The behaviour must
    // outlive its use.
    void set_behaviour(Behaviour* behaviour);

    // ---- observation, probe 1-based, interface 0 = A ----
    // A probe is a place on the bench; these tell about its latest device
    // that has arrived, present or gone (after a replug, the new one).
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
    // A device is addressed by its generation-stamped id, so calls on a
    // device from before configure() fail as if it had been unplugged.
    struct ProbeId {
        uint64_t generation = 0;
        int index = 0;  // 0-based, among the devices since configure()
    };
    std::vector<ProbeId> attached();
    std::optional<DeviceInfo> info(ProbeId id);
    int open(ProbeId id);
    // The raw string descriptor at index (at most 255 bytes); returns its
    // length or a libusb error.
    int string_descriptor(ProbeId id, uint8_t index, std::vector<uint8_t>* descriptor);
    // The lines the state file holds, as they are now: per probe and channel
    // "probe 1 channel B: kernel driver bound, not claimed, bit mode 00"
    // ("unbound", "claimed" otherwise; the bit mode in hex), for the latest
    // device of each probe (a gone one as it was when it went).
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
    };
    static constexpr uint64_t kNever = UINT64_MAX;
    // One device: a probe from when it is plugged in until it is unplugged.
    struct Probe {
        DeviceInfo info;
        Interface interfaces[kInterfaces];
        sim::ProbeChip chip;  // behind interface B
        uint64_t arrives_us = 0;  // on the bus from then
        uint64_t leaves_us = kNever;  // and gone from then
        bool arrival_seen = false;    // the state file has shown it
        bool departure_seen = false;  // its shared claims given back
    };

    // A fresh device of bench probe number, arriving at arrives_us.
    void add_device(int number, uint64_t arrives_us);
    // The devices on the bus at at_us leave then (only unplug_only's), and
    // come back as replug_after_ms says.
    void unplug_at(uint64_t at_us);
    static bool present(const Probe& probe, uint64_t at_us);
    // The bench number of the device id names, gone or not; 0 when id names
    // none (from before configure()).
    int probe_number(ProbeId id) const;
    // The latest device of bench probe number that has arrived.
    const Probe& current(int number) const;
    Probe& current(int number);
    // Catches up with arrivals and departures that came due: a device gone
    // gives back its shared claims, as the kernel drops them, and the state
    // file shows an arrival.
    void settle();
    Probe* find(ProbeId id);
    template <typename Action>
    int on_interface(ProbeId id, int interface, Action action);
    // As on_interface, then writes the state file when the action succeeded.
    template <typename Action>
    int changing_state(ProbeId id, int interface, Action action);
    // Another program holds the interface of a present probe: the busy
    // option, or a claim shared from another process.
    bool held_elsewhere(ProbeId id, int interface);
    // Waits on the bus clock until at_us; false when the device leaves
    // first (the wait then ends as it leaves).
    bool wait_until(const Probe& probe, uint64_t at_us);
    // answer(call) for a control or bulk call on probe: a time-out lasts
    // until the call's time-out or the device leaves.
    void answer(Call& call, const Probe* probe);
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
    std::vector<std::unique_ptr<Probe>> probes_;  // every device since configure()
    int bench_probes_ = 0;
    uint8_t next_address_ = kFirstAddress;
    std::unique_ptr<SharedClaims> shared_claims_;
    bool tracing_ = false;
    std::vector<Event> trace_;
    int live_devices_ = 0;
};

// The process's bus. On first use it is configured from TALVIRO_USBSIM; a
// value it cannot read is reported on stderr and leaves an empty bus.
Bus& bus();

}  // namespace usbsim

#endif
