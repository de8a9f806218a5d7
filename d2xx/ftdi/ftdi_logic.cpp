#include "d2xx/ftdi/ftdi_logic.h"

#include <algorithm>
#include <cstring>

namespace d2xx_ftdi {

namespace {

constexpr char kFirstChannelLetter = 'A';
constexpr const char* kLetterSeparator = " ";

char channel_letter(int index) {
    return static_cast<char>(kFirstChannelLetter + index);
}

uint32_t ms_left(uint64_t now, uint64_t deadline) {
    return now < deadline ? static_cast<uint32_t>(std::min<uint64_t>(deadline - now, UINT32_MAX))
                          : 0;
}

}  // namespace

int channel_count(uint16_t bcd_device) {
    switch (bcd_device) {
    case kBcdFt2232C:
    case kBcdFt2232H:
        return kDualChannels;
    case kBcdFt4232H:
        return kQuadChannels;
    default:
        return kSingleChannel;
    }
}

uint32_t device_type(enum ftdi_chip_type chip) {
    switch (chip) {
    case TYPE_AM: return kDeviceAm;
    case TYPE_BM: return kDeviceBm;
    case TYPE_2232C: return FT_DEVICE_2232C;
    case TYPE_R: return kDevice232R;
    case TYPE_2232H: return FT_DEVICE_2232H;
    case TYPE_4232H: return kDevice4232H;
    case TYPE_232H: return kDevice232H;
    case TYPE_230X: return kDeviceXSeries;
    }
    return kDeviceUnknown;
}

uint32_t device_type_of_bcd(uint16_t bcd_device) {
    switch (bcd_device) {
    case kBcdFt2232C: return FT_DEVICE_2232C;
    case kBcdFt2232H: return FT_DEVICE_2232H;
    case kBcdFt4232H: return kDevice4232H;
    default: return kDeviceUnknown;
    }
}

std::string channel_description(const std::string& product, int channels, int index) {
    if (channels <= kSingleChannel) {
        return product;
    }
    return product + kLetterSeparator + channel_letter(index);
}

std::optional<int> match_channel(const std::string& product, int channels,
                                 const std::string& wanted) {
    for (int index = 0; index < std::max(channels, kSingleChannel); ++index) {
        if (channel_description(product, channels, index) == wanted) {
            return index;
        }
    }
    return std::nullopt;
}

std::string channel_serial(const std::string& chip_serial, int channels, int index) {
    std::string serial = chip_serial;
    // A lone letter would pass for a serial number.
    if (channels > kSingleChannel && !serial.empty()) {
        serial += channel_letter(index);
    }
    return serial.substr(0, kSerialChars);
}

std::optional<int> match_serial(const std::string& chip_serial, int channels,
                                const std::string& wanted) {
    if (wanted.empty()) {
        return std::nullopt;
    }
    for (int index = 0; index < std::max(channels, kSingleChannel); ++index) {
        if (channel_serial(chip_serial, channels, index) == wanted) {
            return index;
        }
    }
    return std::nullopt;
}

uint32_t channel_location(uint8_t bus, const uint8_t* ports, int depth, int index) {
    constexpr uint32_t kMaxPort = (1u << FT_LOCATION_PORT_BITS) - 1;
    if (depth < 1 || depth > FT_LOCATION_MAX_PORTS || index + 1 > FT_LOCATION_CHANNEL_MASK) {
        return 0;
    }
    uint32_t location = static_cast<uint32_t>(bus) << FT_LOCATION_BUS_SHIFT;
    for (int i = 0; i < depth; ++i) {
        if (ports[i] == 0 || ports[i] > kMaxPort) {
            return 0;
        }
        location |= static_cast<uint32_t>(ports[i])
                    << (FT_LOCATION_FIRST_PORT_SHIFT - i * FT_LOCATION_PORT_BITS);
    }
    return location | static_cast<uint32_t>(index + 1);
}

void copy_terminated(const std::string& text, char* dst, size_t size) {
    if (dst == nullptr || size == 0) {
        return;
    }
    const size_t length = std::min(text.size(), size - 1);
    std::memcpy(dst, text.data(), length);
    dst[length] = '\0';
}

Transfer read_until(const ByteSource& source, const MsClock& now_ms, uint8_t* buf,
                    uint32_t count, uint32_t timeout_ms, const WaitAbandoned& abandoned) {
    Transfer done;
    if (count == 0) {
        return done;
    }
    const uint64_t deadline = now_ms() + timeout_ms;
    // No sleep between attempts: a source call that brings nothing has waited
    // for one packet, and the chip sends one every latency period even when
    // idle, so the loop is paced by the chip and reacts to data at once.
    for (;;) {
        const uint32_t asked = std::min(count - done.count, kMaxTransferBytes);
        const uint32_t budget = std::max(ms_left(now_ms(), deadline), kMinAttemptMs);
        const int got = source(buf + done.count, asked, budget);
        if (got < 0) {
            done.failed = true;
            return done;
        }
        done.count += std::min(static_cast<uint32_t>(got), asked);
        if (done.count == count || now_ms() >= deadline || (got == 0 && abandoned && abandoned())) {
            return done;
        }
    }
}

Transfer write_until(const ByteSink& sink, const MsClock& now_ms, const uint8_t* data,
                     uint32_t count, uint32_t timeout_ms, uint32_t chunk, uint32_t slice_ms,
                     uint32_t slice_bytes, const WaitAbandoned& abandoned) {
    Transfer done;
    const uint64_t deadline = now_ms() + timeout_ms;
    const uint32_t piece_limit = std::clamp<uint32_t>(chunk, 1, kMaxTransferBytes);
    while (done.count < count) {
        const uint32_t piece = std::min(count - done.count, piece_limit);
        const uint64_t started = now_ms();
        uint32_t budget = std::max(ms_left(started, deadline), kMinAttemptMs);
        const bool sliced = slice_ms > 0 && piece <= slice_bytes && budget > slice_ms;
        if (sliced) {
            budget = slice_ms;
        }
        const int sent = sink(data + done.count, piece, budget);
        if (sent < 0) {
            // libftdi reports a time-out like any other failure; only the
            // clock tells "ran out of time" from "device gone".
            const uint64_t now = now_ms();
            // A millisecond clock may show a slice that ran out as one less.
            if (sliced && now + kMinAttemptMs >= started + budget && now < deadline) {
                if (abandoned && abandoned()) {
                    return done;
                }
                continue;  // the slice ran out; the piece went nowhere
            }
            done.failed = now < deadline;
            return done;
        }
        done.count += std::min(static_cast<uint32_t>(sent), piece);
        // A piece that moved nothing would be retried at once: stop instead.
        if (sent == 0 || now_ms() >= deadline) {
            return done;
        }
    }
    return done;
}

}  // namespace d2xx_ftdi
