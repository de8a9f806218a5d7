#include "d2xx/ftdi/channels.h"

#include "d2xx/abandon.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace d2xx_ftdi {

namespace {

// d2xx.h has no status for a bad argument; the call could not do its I/O.
constexpr FT_STATUS kBadArgument = FT_IO_ERROR;

// Handle ids start above null, so no handle ever looks like "no handle".
constexpr uintptr_t kFirstHandleId = 1;

struct Channel {
    std::mutex mutex;           // one call at a time on this channel
    std::unique_ptr<Port> port; // null once FT_Close has run
    ChannelInfo info;
    MsClock now_ms;
    uint32_t read_timeout_ms = kDefaultReadTimeoutMs;
    uint32_t write_timeout_ms = kDefaultWriteTimeoutMs;
    bool mpsse = false;  // set by a successful FT_SetBitMode into MPSSE
};

// Channels are shared so that FT_Close on one thread cannot free a channel
// another thread is using; the call that runs last releases it.
struct Table {
    std::mutex mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<Channel>> channels;
    uintptr_t next_id = kFirstHandleId;
};

Table& table() {
    static Table instance;
    return instance;
}

uintptr_t handle_id(FT_HANDLE handle) {
    return reinterpret_cast<uintptr_t>(handle);
}

std::shared_ptr<Channel> find(FT_HANDLE handle) {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    const auto it = t.channels.find(handle_id(handle));
    return it == t.channels.end() ? nullptr : it->second;
}

std::shared_ptr<Channel> take(FT_HANDLE handle) {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    const auto it = t.channels.find(handle_id(handle));
    if (it == t.channels.end()) {
        return nullptr;
    }
    std::shared_ptr<Channel> channel = std::move(it->second);
    t.channels.erase(it);
    return channel;
}

// Runs action on the channel of handle, holding the channel's lock.
template <typename Action>
FT_STATUS with_channel(FT_HANDLE handle, Action&& action) {
    const std::shared_ptr<Channel> channel = find(handle);
    if (!channel) {
        return FT_INVALID_HANDLE;
    }
    std::lock_guard<std::mutex> lock(channel->mutex);
    // FT_Close on another thread may have won the race since the lookup.
    if (!channel->port) {
        return FT_INVALID_HANDLE;
    }
    return action(*channel);
}

bool waits_abandoned() { return d2xx_waits_abandoned() != 0; }

FT_STATUS io_status(int result) {
    return result < 0 ? FT_IO_ERROR : FT_OK;
}

std::mutex& clock_mutex() {
    static std::mutex instance;
    return instance;
}

MsClock& replaced_clock() {
    static MsClock instance;
    return instance;
}

// True when the channel's MPSSE engine answers a bad command within
// kEngineCheckTimeoutMs, and nothing else is waiting ahead of that answer.
bool engine_answers(Channel& channel) {
    Port& port = *channel.port;
    const uint8_t check[] = {kEngineCheckOpcode, kSendImmediate};
    const Transfer sent = write_until(
        [&port](const uint8_t* bytes, uint32_t n, uint32_t timeout_ms) {
            return port.write(bytes, n, timeout_ms);
        },
        channel.now_ms, check, sizeof check, kEngineCheckTimeoutMs, kWriteChunkBytes);
    if (sent.failed || sent.count != sizeof check) {
        return false;
    }
    uint8_t answer[2] = {};
    const Transfer got = read_until(
        [&port](uint8_t* buf, uint32_t max, uint32_t timeout_ms) {
            return port.read(buf, max, timeout_ms);
        }, channel.now_ms,
        answer, sizeof answer, kEngineCheckTimeoutMs);
    // A chip that sent more than the answer is not a probe's engine.
    return !got.failed && got.count == sizeof answer && answer[0] == kBadCommand &&
           answer[1] == kEngineCheckOpcode && port.unread() == 0;
}

}  // namespace

FT_HANDLE adopt_channel(std::unique_ptr<Port> port, ChannelInfo info, MsClock now_ms) {
    auto channel = std::make_shared<Channel>();
    channel->port = std::move(port);
    channel->info = std::move(info);
    channel->now_ms = std::move(now_ms);
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    const uintptr_t id = t.next_id++;
    t.channels.emplace(id, std::move(channel));
    return reinterpret_cast<FT_HANDLE>(id);
}

bool channel_in_use(const ChannelKey& key) {
    return channel_handle(key) != nullptr;
}

FT_HANDLE channel_handle(const ChannelKey& key) {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (const auto& entry : t.channels) {
        if (entry.second->info.key == key) {
            return reinterpret_cast<FT_HANDLE>(entry.first);
        }
    }
    return nullptr;
}

void use_clock(MsClock now_ms) {
    std::lock_guard<std::mutex> lock(clock_mutex());
    replaced_clock() = std::move(now_ms);
}

MsClock channel_clock() {
    std::lock_guard<std::mutex> lock(clock_mutex());
    if (replaced_clock()) {
        return replaced_clock();
    }
    return [] {
        const auto since_epoch = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count());
    };
}

}  // namespace d2xx_ftdi

using d2xx_ftdi::Channel;
using d2xx_ftdi::Port;
using d2xx_ftdi::with_channel;

FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, uint8_t timer_ms) {
    return with_channel(handle, [&](Channel& channel) {
        return d2xx_ftdi::io_status(channel.port->set_latency_timer(timer_ms));
    });
}

FT_STATUS FT_GetLatencyTimer(FT_HANDLE handle, uint8_t* timer_ms) {
    return with_channel(handle, [&](Channel& channel) {
        if (timer_ms == nullptr) {
            return d2xx_ftdi::kBadArgument;
        }
        return d2xx_ftdi::io_status(channel.port->get_latency_timer(timer_ms));
    });
}

FT_STATUS FT_SetTimeouts(FT_HANDLE handle, uint32_t read_ms, uint32_t write_ms) {
    return with_channel(handle, [&](Channel& channel) {
        channel.read_timeout_ms = read_ms;
        channel.write_timeout_ms = write_ms;
        return static_cast<FT_STATUS>(FT_OK);
    });
}

FT_STATUS FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode) {
    return with_channel(handle, [&](Channel& channel) {
        Port& port = *channel.port;
        // Until the switch has succeeded, bytes are not taken for MPSSE commands.
        channel.mpsse = false;
        if (mode != FT_BITMODE_MPSSE) {
            return d2xx_ftdi::io_status(port.set_bit_mode(mask, mode));
        }
        // An earlier session may have left the channel in MPSSE mid-command.
        if (port.set_bit_mode(mask, FT_BITMODE_RESET) < 0 ||
            port.set_bit_mode(mask, FT_BITMODE_MPSSE) < 0 || port.purge() < 0 ||
            !d2xx_ftdi::engine_answers(channel)) {
            return static_cast<FT_STATUS>(FT_IO_ERROR);
        }
        channel.mpsse = true;
        return static_cast<FT_STATUS>(FT_OK);
    });
}

FT_STATUS FT_GetDeviceInfo(FT_HANDLE handle, uint32_t* type, uint32_t* id, char* serial,
                           char* description, void* /*reserved*/) {
    return with_channel(handle, [&](Channel& channel) {
        const d2xx_ftdi::ChannelInfo& info = channel.info;
        if (type != nullptr) {
            *type = info.type;
        }
        if (id != nullptr) {
            *id = info.id;
        }
        d2xx_ftdi::copy_terminated(info.serial, serial, FT_SERIAL_NUMBER_SIZE);
        d2xx_ftdi::copy_terminated(info.description, description, FT_DESCRIPTION_SIZE);
        return static_cast<FT_STATUS>(FT_OK);
    });
}

FT_STATUS FT_Write(FT_HANDLE handle, void* data, uint32_t count, uint32_t* written) {
    // The count is defined on every return, failures included.
    if (written != nullptr) {
        *written = 0;
    }
    return with_channel(handle, [&](Channel& channel) {
        if (data == nullptr && count > 0) {
            return d2xx_ftdi::kBadArgument;
        }
        Port& port = *channel.port;
        const auto* bytes = static_cast<const uint8_t*>(data);
        // The answer to a lone read-pins frame would wait in the chip for the
        // latency timer; SEND_IMMEDIATE in the same transfer sends it at once.
        // Inside a longer write a 0x83 may be a level or direction byte.
        const bool read_pins =
            channel.mpsse && count == 1 && bytes[0] == d2xx_ftdi::kReadHighPins;
        const uint8_t read_pins_now[] = {d2xx_ftdi::kReadHighPins, d2xx_ftdi::kSendImmediate};
        const d2xx_ftdi::Transfer sent = d2xx_ftdi::write_until(
            [&port](const uint8_t* piece, uint32_t n, uint32_t timeout_ms) {
                return port.write(piece, n, timeout_ms);
            },
            channel.now_ms, read_pins ? read_pins_now : bytes,
            read_pins ? static_cast<uint32_t>(sizeof read_pins_now) : count,
            channel.write_timeout_ms, d2xx_ftdi::kWriteChunkBytes, d2xx_ftdi::kWriteSliceMs,
            port.packet_bytes(), d2xx_ftdi::waits_abandoned);
        if (written != nullptr) {
            // The caller's bytes only: the added SEND_IMMEDIATE is not counted.
            *written = std::min(sent.count, count);
        }
        return static_cast<FT_STATUS>(sent.failed ? FT_IO_ERROR : FT_OK);
    });
}

FT_STATUS FT_Read(FT_HANDLE handle, void* data, uint32_t count, uint32_t* returned) {
    if (returned != nullptr) {
        *returned = 0;
    }
    return with_channel(handle, [&](Channel& channel) {
        if (data == nullptr && count > 0) {
            return d2xx_ftdi::kBadArgument;
        }
        Port& port = *channel.port;
        const d2xx_ftdi::Transfer got = d2xx_ftdi::read_until(
            [&port](uint8_t* buf, uint32_t max, uint32_t timeout_ms) {
            return port.read(buf, max, timeout_ms);
        },
            channel.now_ms, static_cast<uint8_t*>(data), count, channel.read_timeout_ms,
            d2xx_ftdi::waits_abandoned);
        if (returned != nullptr) {
            *returned = got.count;
        }
        return static_cast<FT_STATUS>(got.failed ? FT_IO_ERROR : FT_OK);
    });
}

FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t* rx_bytes) {
    return with_channel(handle, [&](Channel& channel) {
        if (rx_bytes == nullptr) {
            return d2xx_ftdi::kBadArgument;
        }
        *rx_bytes = channel.port->unread();
        return static_cast<FT_STATUS>(FT_OK);
    });
}

FT_STATUS FT_Purge(FT_HANDLE handle, uint32_t mask) {
    return with_channel(handle, [&](Channel& channel) {
        if ((mask & (FT_PURGE_RX | FT_PURGE_TX)) == 0) {
            return d2xx_ftdi::kBadArgument;
        }
        // libftdi empties the chip's buffers and its own together; emptying
        // the side the mask leaves out as well loses nothing a caller who
        // purges could still want.
        return d2xx_ftdi::io_status(channel.port->purge());
    });
}

FT_STATUS FT_Close(FT_HANDLE handle) {
    const std::shared_ptr<Channel> channel = d2xx_ftdi::take(handle);
    if (!channel) {
        return FT_INVALID_HANDLE;
    }
    // Waits for a call still running on another thread, then releases the
    // USB interface now rather than whenever the last reference goes.
    std::lock_guard<std::mutex> lock(channel->mutex);
    const int result = channel->port->close();
    channel->port.reset();
    return d2xx_ftdi::io_status(result);
}
