// What the libftdi driver layer decides without hardware: how channels are
// named and numbered, what serial and type FT_GetDeviceInfo reports, and
// the loops that turn single USB transfers into time-bounded FT_Read and
// FT_Write calls. Everything here is pure or works through the callbacks it
// is given, so it runs the same against a chip and against a scripted source.
#ifndef TALVIRO_D2XX_FTDI_FTDI_LOGIC_H
#define TALVIRO_D2XX_FTDI_FTDI_LOGIC_H

#include "d2xx/d2xx.h"

#include <ftdi.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace d2xx_ftdi {

// USB bcdDevice of the multi-channel chips (the FT2232D reports the FT2232C's).
constexpr uint16_t kBcdFt2232C = 0x0500;
constexpr uint16_t kBcdFt2232H = 0x0700;
constexpr uint16_t kBcdFt4232H = 0x0800;

constexpr int kSingleChannel = 1;
constexpr int kDualChannels = 2;
constexpr int kQuadChannels = 4;  // A to D

// FT_GetDeviceInfo device types beyond the two d2xx.h names; same numbering.
constexpr uint32_t kDeviceBm = 0;
constexpr uint32_t kDeviceAm = 1;
constexpr uint32_t kDeviceUnknown = 3;
constexpr uint32_t kDevice232R = 5;
constexpr uint32_t kDevice4232H = 7;
constexpr uint32_t kDevice232H = 8;
constexpr uint32_t kDeviceXSeries = 9;

// Longest serial FT_GetDeviceInfo reports: its buffer less the terminator.
constexpr size_t kSerialChars = FT_SERIAL_NUMBER_SIZE - 1;

// The most one transfer call is asked for: the libftdi calls count in int.
constexpr uint32_t kMaxTransferBytes = INT_MAX;

// libusb reads a time-out of 0 as "wait forever", so an attempt made with no
// time left still gets this much.
constexpr uint32_t kMinAttemptMs = 1;

// Number of channels (USB interfaces) a chip with this bcdDevice has: 1, 2 or 4.
int channel_count(uint16_t bcd_device);

// The device type FT_GetDeviceInfo reports for a chip libftdi recognised.
uint32_t device_type(enum ftdi_chip_type chip);

// The device type of a chip not opened, told by its bcdDevice alone: the
// multi-channel chips, kDeviceUnknown for the rest.
uint32_t device_type_of_bcd(uint16_t bcd_device);

// The description of channel index (0 = A) of a chip with that product
// string: the product string itself on a single-channel chip, otherwise the
// product string, a space and the channel letter. Needs 0 <= index < channels.
std::string channel_description(const std::string& product, int channels, int index);

// The channel whose description is exactly wanted (case and spaces count),
// as an index (0 = A); nothing when no channel of this chip has it.
std::optional<int> match_channel(const std::string& product, int channels,
                                 const std::string& wanted);

// The serial of channel index: the chip serial followed by the channel letter
// (no letter on a single-channel chip), cut to kSerialChars bytes. A chip
// without a serial gives an empty one.
std::string channel_serial(const std::string& chip_serial, int channels, int index);

// The channel whose serial (channel_serial) is exactly wanted, as an index
// (0 = A); nothing when none has it or wanted is empty.
std::optional<int> match_serial(const std::string& chip_serial, int channels,
                                const std::string& wanted);

// The location (d2xx.h) of channel index (0 = A; -1: the whole chip) of a
// chip on bus at the ports from the root hub, ports[0] first, depth of them.
// 0 when the path is longer than FT_LOCATION_MAX_PORTS or empty, or a port
// does not fit its field.
uint32_t channel_location(uint8_t bus, const uint8_t* ports, int depth, int index);

// Writes text into dst as a NUL-terminated string of at most size bytes,
// cutting it if needed. Does nothing when dst is null or size is 0.
void copy_terminated(const std::string& text, char* dst, size_t size);

// Milliseconds on a clock that never goes back.
using MsClock = std::function<uint64_t()>;

// Fetches up to max bytes (max >= 1) into buf, waiting at most timeout_ms.
// Returns how many came, 0 when a packet brought none (it has already waited
// for that packet) or none came in time, < 0 on failure.
using ByteSource = std::function<int(uint8_t* buf, uint32_t max, uint32_t timeout_ms)>;

// Sends count bytes (count >= 1), giving up after timeout_ms. Returns how many
// went out, or < 0 on failure (a time-out included).
using ByteSink = std::function<int(const uint8_t* data, uint32_t count, uint32_t timeout_ms)>;

// True once the caller no longer wants to wait (d2xx/abandon.h). Looked at
// from the loop's own thread between attempts; an empty one never is.
using WaitAbandoned = std::function<bool()>;

// What a read or write loop did: bytes moved, and whether it ended on a failure.
struct Transfer {
    uint32_t count = 0;
    bool failed = false;
};

// Fills buf with count bytes from source, stopping early once timeout_ms have
// passed on now_ms since the call. Always makes at least one attempt (unless
// count is 0), gives each the time left (at least kMinAttemptMs) and never
// asks for more than is missing. A source failure ends
// the loop with failed set and count = the bytes that arrived before it. An
// attempt that brought nothing once abandoned() is true ends it too, not
// failed, as the time-out would: a wait is given up, never a byte.
Transfer read_until(const ByteSource& source, const MsClock& now_ms, uint8_t* buf,
                    uint32_t count, uint32_t timeout_ms,
                    const WaitAbandoned& abandoned = WaitAbandoned());

// Sends count bytes through sink in pieces of at most chunk bytes, each given
// the time left until timeout_ms have passed (at least kMinAttemptMs). A sink
// failure after the time ran out is the time-out: the loop ends not failed,
// with count = the pieces sent before. A failure with time left, failed.
// A piece that sends nothing ends the loop, not failed.
//
// With slice_ms > 0, a piece of at most slice_bytes is given at most
// slice_ms at a time: a sink failure once its slice has run out, with time
// left until timeout_ms, is a slice's time-out, and the piece is sent again
// unless abandoned() is true (then the loop ends not failed, as at the
// time-out). Only a piece that a time-out moves either whole or not at all
// (one USB packet) may be sliced so.
Transfer write_until(const ByteSink& sink, const MsClock& now_ms, const uint8_t* data,
                     uint32_t count, uint32_t timeout_ms, uint32_t chunk,
                     uint32_t slice_ms = 0, uint32_t slice_bytes = 0,
                     const WaitAbandoned& abandoned = WaitAbandoned());

}  // namespace d2xx_ftdi

#endif
