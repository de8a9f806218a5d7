// The live handles behind the FT_* functions of talviro_d2xx_ftdi. FT_OpenEx
// opens a chip channel through libftdi and hands it here as a Port; every
// other FT_* call looks its handle up in this table, so a closed or unknown
// handle is answered with FT_INVALID_HANDLE and never dereferenced. Handles
// are opaque ids from a counter and are never handed out twice.
//
// FT_Read and FT_Write give up waiting on a chip that moves nothing once a
// request to abandon waiting (d2xx/abandon.h) is made: FT_Read after its
// next attempt that brings nothing (~300 ms at most), FT_Write after the
// slice (kWriteSliceMs) of a one-packet write. They then return as at their
// time-out.
//
// FT_SetBitMode into MPSSE resets the bit mode first, enters MPSSE, purges,
// and then fails unless the engine answers a bad command in time, and with
// nothing more, so a chip whose engine is dead fails the open instead of
// every later read.
//
// While the channel is in MPSSE mode, FT_Write sends a write that is exactly
// the one-byte read-pins frame as that byte and SEND_IMMEDIATE in one
// transfer, and reports 1 byte written: the one-byte answer then leaves the
// chip at the next packet instead of waiting for the latency timer.
//
// Statuses of this layer: FT_INVALID_HANDLE for a handle not in the table;
// FT_IO_ERROR for a failed USB transfer or control request, and for a null
// pointer the call needs (d2xx.h has no parameter status); FT_OpenEx gives
// FT_DEVICE_NOT_FOUND when no channel has the description or serial and
// FT_DEVICE_NOT_OPENED for other flags, a channel that cannot be claimed,
// or no usable USB at all.
//
// Calls may come from several threads; calls on one handle run one at a time.
#ifndef TALVIRO_D2XX_FTDI_CHANNELS_H
#define TALVIRO_D2XX_FTDI_CHANNELS_H

#include "d2xx/d2xx.h"
#include "d2xx/ftdi/ftdi_logic.h"

#include <cstdint>
#include <memory>
#include <string>

namespace d2xx_ftdi {

// Time-outs of a channel until FT_SetTimeouts changes them: long enough for
// any probe exchange, short enough that a dead chip is noticed.
constexpr uint32_t kDefaultReadTimeoutMs = 5000;
constexpr uint32_t kDefaultWriteTimeoutMs = 5000;

// Largest piece FT_Write hands to the port at once. A piece cut short by the
// time-out is not counted in *written, so pieces are kept to one USB bulk
// buffer (the size libftdi writes per transfer).
constexpr uint32_t kWriteChunkBytes = 4096;

// A live MPSSE engine answers an opcode it does not know with kBadCommand
// and the opcode; SEND_IMMEDIATE makes it answer at once.
constexpr uint8_t kEngineCheckOpcode = 0xAA;
constexpr uint8_t kBadCommand = 0xFA;
constexpr uint8_t kSendImmediate = 0x87;
constexpr uint32_t kEngineCheckTimeoutMs = 200;

// Longest single wait of an FT_Write piece that fits one USB packet: a
// stalled chip is waited on in slices this long, so a request to abandon
// waiting (d2xx/abandon.h) is seen within one. FT_Read's attempts are
// bounded by the port (a bulk read of at most ~300 ms) already.
constexpr uint32_t kWriteSliceMs = 250;

// The MPSSE opcode that reads the high-byte pins; written alone, it is the
// read-pins frame FT_Write follows with kSendImmediate.
constexpr uint8_t kReadHighPins = 0x83;

// One open channel of a chip. Calls come one at a time. Every int result is
// >= 0 on success and < 0 on failure; read and write follow ByteSource and
// ByteSink of ftdi_logic.h.
class Port {
public:
    virtual ~Port() = default;
    virtual int read(uint8_t* buf, uint32_t max, uint32_t timeout_ms) = 0;
    virtual int write(const uint8_t* data, uint32_t count, uint32_t timeout_ms) = 0;
    virtual int set_latency_timer(uint8_t ms) = 0;
    virtual int get_latency_timer(uint8_t* ms) = 0;
    virtual int set_bit_mode(uint8_t mask, uint8_t mode) = 0;
    // Empties the chip's buffers both ways.
    virtual int purge() = 0;
    // Bytes received and not yet read; a port that keeps none returns 0.
    virtual uint32_t unread() const { return 0; }
    // The most bytes one write moves in a single USB packet, which a
    // time-out sends whole or not at all; 0 when the port cannot tell (its
    // writes are then never sliced).
    virtual uint32_t packet_bytes() const { return 0; }
    // Gives the channel back to the system; called once, by FT_Close, also
    // after the device went away (the result then says so).
    virtual int close() = 0;
};

// Where a channel sits: USB bus, device address on it, channel index (0 = A).
struct ChannelKey {
    int bus = 0;
    int address = 0;
    int channel = 0;
    bool operator==(const ChannelKey& other) const {
        return bus == other.bus && address == other.address && channel == other.channel;
    }
};

// What FT_GetDeviceInfo reports for a channel.
struct ChannelInfo {
    ChannelKey key;
    uint32_t type = kDeviceUnknown;
    uint32_t id = 0;  // vendor << 16 | product
    std::string serial;
    std::string description;
};

// Puts an open port in the table and returns its new handle (never null).
// now_ms times FT_Read and FT_Write on it. Needs a non-null port.
FT_HANDLE adopt_channel(std::unique_ptr<Port> port, ChannelInfo info, MsClock now_ms);

// True while a handle of this process holds the channel at key.
bool channel_in_use(const ChannelKey& key);

// The handle of this process that holds the channel at key; null when none.
FT_HANDLE channel_handle(const ChannelKey& key);

// The clock that times FT_Read and FT_Write on channels opened from now on:
// the monotonic system clock, unless use_clock replaced it (a test running
// the driver over a simulated bus on that bus's clock). An empty clock puts
// the system clock back.
void use_clock(MsClock now_ms);
MsClock channel_clock();

}  // namespace d2xx_ftdi

#endif
