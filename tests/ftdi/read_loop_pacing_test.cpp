// FT_Read of the libftdi layer against a chip that paces it as a real one
// does: the chip sends one bulk-in packet every latency period, with whatever
// answer bytes it holds or with its status bytes alone, and a read call waits
// for that packet. The loop must make no call beyond the packet that brings
// its last byte, and no more than one call per packet while it waits.
#include "d2xx/d2xx.h"
#include "d2xx/ftdi/channels.h"
#include "probe/probe_channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

using namespace d2xx_ftdi;

namespace {

// Latency periods a chip can be set to: the shortest, the probe's, the chip's
// default and the longest.
constexpr uint8_t kShortestLatencyMs = 1;
constexpr uint8_t kDefaultLatencyMs = 16;
constexpr uint8_t kLongestLatencyMs = 255;

struct Arrival {
    uint64_t at_ms;  // when the chip has the bytes ready
    uint32_t bytes;
};

// The chip and its fake clock, shared by the port and the handle's clock.
struct Chip {
    uint64_t now = 0;
    uint64_t latency_ms = kDefaultLatencyMs;
    std::deque<Arrival> arrivals;  // in time order
    uint32_t held = 0;             // made, not yet sent
    std::vector<uint64_t> calls;   // when each read call got its packet
    std::vector<uint32_t> sent;    // bytes each packet carried

    // Waits for the next packet: packets leave at every multiple of the
    // latency period, each with all the bytes made up to then that fit. A
    // call for no bytes returns at once, as libftdi's does, so a loop that
    // made one would spin.
    int packet(uint32_t max) {
        if (max > 0) now = (now / latency_ms + 1) * latency_ms;
        while (!arrivals.empty() && arrivals.front().at_ms <= now) {
            held += arrivals.front().bytes;
            arrivals.pop_front();
        }
        const uint32_t n = std::min(max, held);
        held -= n;
        calls.push_back(now);
        sent.push_back(n);
        return static_cast<int>(n);
    }
};

class PacedPort : public Port {
public:
    explicit PacedPort(std::shared_ptr<Chip> chip) : chip_(std::move(chip)) {}
    int read(uint8_t* buf, uint32_t max, uint32_t) override {
        const int n = chip_->packet(max);
        std::fill(buf, buf + n, uint8_t{0x5A});
        return n;
    }
    int write(const uint8_t*, uint32_t count, uint32_t) override { return static_cast<int>(count); }
    int set_latency_timer(uint8_t ms) override { return chip_->latency_ms = ms, 0; }
    int get_latency_timer(uint8_t* ms) override {
        *ms = static_cast<uint8_t>(chip_->latency_ms);
        return 0;
    }
    int set_bit_mode(uint8_t, uint8_t) override { return 0; }
    int purge() override { return 0; }
    int close() override { return 0; }

private:
    std::shared_ptr<Chip> chip_;
};

// A channel set up as the probe link sets it up: its latency timer and its
// read time-out.
class PacedChannel {
public:
    explicit PacedChannel(uint8_t latency_ms = probe_settings::kLatencyTimerMs)
        : chip_(std::make_shared<Chip>()) {
        const std::shared_ptr<Chip> chip = chip_;
        handle_ = adopt_channel(std::make_unique<PacedPort>(chip), ChannelInfo{},
                                [chip] { return chip->now; });
        EXPECT_EQ(FT_SetLatencyTimer(handle_, latency_ms), FT_OK);
        EXPECT_EQ(FT_SetTimeouts(handle_, probe_settings::kReadTimeoutMs,
                                 probe_settings::kWriteTimeoutMs),
                  FT_OK);
    }
    ~PacedChannel() { FT_Close(handle_); }
    PacedChannel(const PacedChannel&) = delete;
    PacedChannel& operator=(const PacedChannel&) = delete;

    Chip& chip() { return *chip_; }

    // FT_Read of count bytes; returns how many came (the status is FT_OK).
    uint32_t read(uint32_t count) {
        std::vector<uint8_t> buf(count);
        uint32_t returned = 0;
        EXPECT_EQ(FT_Read(handle_, buf.data(), count, &returned), FT_OK);
        return returned;
    }

private:
    std::shared_ptr<Chip> chip_;
    FT_HANDLE handle_ = nullptr;
};

uint64_t ceil_div(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

// No two calls share a packet: each call waited a whole latency period.
void expect_one_call_per_packet(const Chip& chip) {
    for (std::size_t i = 1; i < chip.calls.size(); ++i) {
        ASSERT_EQ(chip.calls[i] - chip.calls[i - 1], chip.latency_ms) << "call " << i;
    }
}

TEST(ReadLoopPacing, WaitingForNothingTakesOneCallPerLatencyPeriod) {
    for (const uint8_t latency :
         {kShortestLatencyMs, probe_settings::kLatencyTimerMs, kDefaultLatencyMs, kLongestLatencyMs}) {
        SCOPED_TRACE(testing::Message() << "latency " << int{latency} << " ms");
        PacedChannel channel(latency);
        Chip& chip = channel.chip();
        const uint64_t start = chip.now;

        EXPECT_EQ(channel.read(1), 0u);

        // Status-only packets until the first one at or past the time-out.
        const uint64_t calls = ceil_div(probe_settings::kReadTimeoutMs, latency);
        EXPECT_EQ(chip.calls.size(), calls);
        expect_one_call_per_packet(chip);
        EXPECT_GE(chip.now - start, probe_settings::kReadTimeoutMs);
        EXPECT_LT(chip.now - start, probe_settings::kReadTimeoutMs + latency);
    }
}

TEST(ReadLoopPacing, AnAnswerAlreadyMadeTakesOneCall) {
    PacedChannel channel;
    Chip& chip = channel.chip();
    chip.arrivals.push_back({chip.now, 1});

    EXPECT_EQ(channel.read(1), 1u);
    EXPECT_EQ(chip.calls.size(), 1u);
}

TEST(ReadLoopPacing, AnAnswerMadeLaterTakesTheCallsOfThePacketsUntilItLeaves) {
    PacedChannel channel;
    Chip& chip = channel.chip();
    const uint64_t start = chip.now;
    const uint64_t latency = chip.latency_ms;
    // The converter's answer, ready in the middle of the third period.
    const uint64_t made = start + 2 * latency + latency / 2;
    chip.arrivals.push_back({made, 1});

    EXPECT_EQ(channel.read(1), 1u);

    EXPECT_EQ(chip.calls.size(), ceil_div(made - start, latency));
    expect_one_call_per_packet(chip);
    // Nothing was asked for after the packet that carried the byte.
    EXPECT_EQ(chip.sent.back(), 1u);
}

TEST(ReadLoopPacing, BytesInSeveralPacketsTakeNoCallAfterTheLast) {
    PacedChannel channel;
    Chip& chip = channel.chip();
    const uint64_t latency = chip.latency_ms;
    const uint64_t start = chip.now;
    chip.arrivals = {{start + 1, 2}, {start + 3 * latency, 3}, {start + 7 * latency + 1, 1}};
    // More than the read asks for is on its way; it must stay in the chip.
    chip.arrivals.push_back({start + 20 * latency, 4});

    EXPECT_EQ(channel.read(6), 6u);

    EXPECT_EQ(chip.calls.size(), 8u);  // the packet after start + 7 periods brings the sixth byte
    expect_one_call_per_packet(chip);
    EXPECT_EQ(chip.sent.back(), 1u);
    EXPECT_EQ(chip.arrivals.size(), 1u);
}

TEST(ReadLoopPacing, ManyBytesAtOnceTakeOneCall) {
    PacedChannel channel;
    Chip& chip = channel.chip();
    constexpr uint32_t kBytes = 4096;
    chip.arrivals.push_back({chip.now, kBytes});

    EXPECT_EQ(channel.read(kBytes), kBytes);
    EXPECT_EQ(chip.calls.size(), 1u);
}

}  // namespace
