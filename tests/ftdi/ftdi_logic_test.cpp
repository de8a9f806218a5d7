#include "d2xx/ftdi/ftdi_logic.h"
#include "probe/probe_channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <utility>
#include <vector>

using namespace d2xx_ftdi;

namespace {

constexpr int kNoChannel = -1;
constexpr uint32_t kPacketMs = 16;  // the chip's default latency period

TEST(ChannelMatching, OnlyTheExactDescriptionOpensAChannel) {
    struct Case { const char* product; int channels; const char* wanted; int expected; };
    const Case cases[] = {
        {"TALVIRO", 2, "TALVIRO A", 0},          {"TALVIRO", 2, "TALVIRO B", 1},
        {"TALVIRO", 4, "TALVIRO D", 3},          {"TALVIRO", 2, "TALVIRO C", kNoChannel},
        {"TALVIRO", 2, "TALVIRO", kNoChannel},   {"TALVIRO", 2, "TALVIRO BX", kNoChannel},
        {"TALVIRO", 2, "TALVIRO  B", kNoChannel}, {"TALVIRO", 2, "ALVIRO B", kNoChannel},
        {"TALVIRO", 2, "talviro b", kNoChannel}, {"TALVIRO", 2, "TALVIRO b", kNoChannel},
        {"TALVIROX", 2, "TALVIRO B", kNoChannel}, {"OTHER", 2, "TALVIRO B", kNoChannel},
        {"TALVIRO", 1, "TALVIRO", 0},            {"TALVIRO", 1, "TALVIRO A", kNoChannel},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.product) + " / " + c.wanted);
        EXPECT_EQ(match_channel(c.product, c.channels, c.wanted).value_or(kNoChannel), c.expected);
    }
}

// A location holds the bus, the ports and the channel, and the probe link
// names it as Linux names the device; a path that does not fit has none.
TEST(ChannelLocation, BusPortsAndChannelOrNone) {
    struct Case { uint8_t bus; std::vector<uint8_t> ports; int index; uint32_t location; const char* name; };
    const Case cases[] = {
        {1, {4}, 1, 0x01200002, "usb:1-4"},
        {1, {1, 4}, 1, 0x01090002, "usb:1-1.4"},
        {1, {1, 4}, 0, 0x01090001, "usb:1-1.4"},
        {1, {1, 4}, -1, 0x01090000, "usb:1-1.4"},  // the whole chip
        {255, {31, 31, 31, 31}, 3, 0xFFFFFFF4, "usb:255-31.31.31.31"},
        {2, {1, 2, 3, 4, 5}, 1, 0, "?"},  // five ports: too deep
        {2, {32}, 1, 0, "?"},             // beyond a port's field
        {2, {3, 0}, 1, 0, "?"},           // no port 0
        {2, {}, 1, 0, "?"},               // no path at all
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint32_t location =
            channel_location(c.bus, c.ports.data(), static_cast<int>(c.ports.size()), c.index);
        EXPECT_EQ(location, c.location);
        EXPECT_EQ(probe_place_name(location), c.name);
    }
}

TEST(ChipFacts, ChannelCountAndTypeFollowTheChip) {
    EXPECT_EQ(channel_count(0x0500), 2);
    EXPECT_EQ(channel_count(0x0700), 2);
    EXPECT_EQ(channel_count(0x0800), 4);
    EXPECT_EQ(channel_count(0x0600), 1);
    EXPECT_EQ(device_type(TYPE_2232H), 6u);
    EXPECT_EQ(device_type(TYPE_2232C), 4u);
    EXPECT_NE(device_type(TYPE_4232H), device_type(TYPE_2232H));
}

TEST(ChannelSerial, ChipSerialPlusLetterCutToFifteen) {
    struct Case { const char* chip; int channels; int index; const char* expected; };
    const Case cases[] = {
        {"FT4A2", 2, 1, "FT4A2B"},  {"FT4A2", 2, 0, "FT4A2A"}, {"TV0001", 1, 0, "TV0001"},
        {"ABCDEFGHIJKLMN", 2, 1, "ABCDEFGHIJKLMNB"},   // 14 + letter: fits exactly
        {"ABCDEFGHIJKLMNO", 2, 1, "ABCDEFGHIJKLMNO"},  // the letter is cut off
        {"ABCDEFGHIJKLMNOPQRSTU", 2, 0, "ABCDEFGHIJKLMNO"},
        {"", 2, 1, ""},  // no serial string: no lone letter either
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.chip);
        EXPECT_EQ(channel_serial(c.chip, c.channels, c.index), c.expected);
    }
}

// A chip as FT_Read sees it: each call waits one packet on the fake clock and
// brings the next scripted delivery (cut to what was asked for), a failure
// (< 0), or, once the script is done, only status bytes.
struct ScriptedSource {
    explicit ScriptedSource(std::deque<int> script = {}) : deliveries(std::move(script)) {}
    std::deque<int> deliveries;
    uint64_t now = 1000;
    int calls = 0;
    uint8_t next_byte = 0;
    std::vector<uint32_t> asked;

    Transfer read(uint8_t* buf, uint32_t count, uint32_t timeout_ms,
                  const WaitAbandoned& abandoned = WaitAbandoned()) {
        auto source = [this](uint8_t* out, uint32_t max, uint32_t) {
            ++calls;
            asked.push_back(max);
            now += kPacketMs;
            if (deliveries.empty()) return 0;
            const int step = deliveries.front();
            const int n = std::min<int>(step, static_cast<int>(max));
            if (step < 0 || n == step) deliveries.pop_front(); else deliveries.front() -= n;
            for (int i = 0; i < n; ++i) out[i] = next_byte++;
            return n;
        };
        return read_until(source, [this] { return now; }, buf, count, timeout_ms, abandoned);
    }
};

TEST(ReadLoop, GathersPartialDeliveriesWithOneCallPerPacket) {
    ScriptedSource chip({3, 0, 4, 0, 5});
    uint8_t buf[12] = {};
    const Transfer got = chip.read(buf, 12, 1000);
    EXPECT_FALSE(got.failed);
    EXPECT_EQ(got.count, 12u);
    EXPECT_EQ(chip.calls, 5);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(buf[i], i);
}

TEST(ReadLoop, NeverAsksForOrDeliversMoreThanCount) {
    ScriptedSource chip({8, 8});
    uint8_t buf[16];
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(chip.read(buf, 10, 1000).count, 10u);
    EXPECT_EQ(chip.asked, (std::vector<uint32_t>{10, 2}));
    EXPECT_EQ(buf[9], 9);
    for (int i = 10; i < 16; ++i) EXPECT_EQ(buf[i], 0xEE);
}

TEST(ReadLoop, DeadlineEndsWithFewerBytesAndOk) {
    ScriptedSource chip({2});
    uint8_t buf[8] = {};
    const uint64_t start = chip.now;
    const Transfer got = chip.read(buf, 8, 100);
    EXPECT_FALSE(got.failed);
    EXPECT_EQ(got.count, 2u);
    // Attempts stop at the first packet ending at or past the deadline.
    EXPECT_EQ(chip.calls, static_cast<int>((100 + kPacketMs - 1) / kPacketMs));
    EXPECT_LT(chip.now - start, 100u + kPacketMs);
}

TEST(ReadLoop, FailureMidwayStopsAndKeepsEarlierBytes) {
    ScriptedSource chip({3, -4, 5});
    uint8_t buf[8] = {};
    const Transfer got = chip.read(buf, 8, 1000);
    EXPECT_TRUE(got.failed);
    EXPECT_EQ(got.count, 3u);
    EXPECT_EQ(chip.calls, 2);
}

TEST(ReadLoop, ZeroTimeoutTriesOnceAndZeroCountNever) {
    ScriptedSource chip;
    uint8_t buf[4] = {};
    EXPECT_EQ(chip.read(buf, 4, 0).count, 0u);
    EXPECT_EQ(chip.read(buf, 0, 1000).count, 0u);
    EXPECT_EQ(chip.calls, 1);
}

TEST(ReadLoop, AbandonedWaitEndsAtTheFirstAttemptThatBringsNothing) {
    bool abandoned = true;
    const WaitAbandoned asked = [&abandoned] { return abandoned; };
    // Attempts that bring bytes go on; the first that brings none ends it.
    ScriptedSource slow({1, 1});
    uint8_t buf[4] = {};
    Transfer got = slow.read(buf, 4, 1000, asked);
    EXPECT_FALSE(got.failed);
    EXPECT_EQ(got.count, 2u);
    EXPECT_EQ(slow.calls, 3);
    ScriptedSource whole({1, 1, 1, 1});
    EXPECT_EQ(whole.read(buf, 4, 1000, asked).count, 4u);
    // Not abandoned: the wait runs to its deadline.
    abandoned = false;
    ScriptedSource silent;
    got = silent.read(buf, 4, 100, asked);
    EXPECT_EQ(got.count, 0u);
    EXPECT_EQ(silent.calls, static_cast<int>((100 + kPacketMs - 1) / kPacketMs));
}

// A chip as FT_Write sees it: each piece takes its scripted time and then is
// sent whole, or fails when its time is listed negative.
struct ScriptedSink {
    explicit ScriptedSink(std::deque<int> script) : piece_ms(std::move(script)) {}
    std::deque<int> piece_ms;
    uint64_t now = 1000;
    std::vector<uint32_t> pieces, budgets;

    Transfer write(uint32_t count, uint32_t timeout_ms, uint32_t chunk, uint32_t slice_ms = 0,
                   uint32_t slice_bytes = 0, const WaitAbandoned& abandoned = WaitAbandoned()) {
        const std::vector<uint8_t> data(count);
        auto sink = [this](const uint8_t*, uint32_t n, uint32_t budget) {
            pieces.push_back(n);
            budgets.push_back(budget);
            const int ms = piece_ms.front();
            piece_ms.pop_front();
            now += static_cast<uint64_t>(std::abs(ms));
            return ms < 0 ? -1 : static_cast<int>(n);
        };
        return write_until(sink, [this] { return now; }, data.data(), count, timeout_ms, chunk,
                           slice_ms, slice_bytes, abandoned);
    }
};

TEST(WriteLoop, SendsInChunksAndTellsTimeOutFromFailure) {
    ScriptedSink fine({10, 15, 0});
    EXPECT_EQ(fine.write(10, 100, 4).count, 10u);
    EXPECT_EQ(fine.pieces, (std::vector<uint32_t>{4, 4, 2}));
    EXPECT_EQ(fine.budgets, (std::vector<uint32_t>{100, 90, 75}));
    ScriptedSink late({10, -45});  // fails once the 50 ms are over
    const Transfer timed_out = late.write(10, 50, 4);
    EXPECT_FALSE(timed_out.failed);
    EXPECT_EQ(timed_out.count, 4u);
    ScriptedSink broken({10, -1});  // fails with time left
    const Transfer failed = broken.write(10, 50, 4);
    EXPECT_TRUE(failed.failed);
    EXPECT_EQ(failed.count, 4u);
}

TEST(WriteLoop, OnePacketPiecesWaitInSlicesUntilTheTimeOutOrAnAbandonedWait) {
    constexpr uint32_t kSlice = 250;
    constexpr uint32_t kPacket = 4;
    // Two slices run out; the third attempt goes through.
    ScriptedSink stalled({-250, -250, 10});
    Transfer sent = stalled.write(4, 5000, 4096, kSlice, kPacket);
    EXPECT_FALSE(sent.failed);
    EXPECT_EQ(sent.count, 4u);
    EXPECT_EQ(stalled.budgets, (std::vector<uint32_t>{250, 250, 250}));
    // A failure before its slice ran out is a failure.
    ScriptedSink gone({-3});
    EXPECT_TRUE(gone.write(4, 5000, 4096, kSlice, kPacket).failed);
    // Slices never outlast the write's own time-out.
    ScriptedSink never(std::deque<int>{-250, -250, -100});
    sent = never.write(4, 600, 4096, kSlice, kPacket);
    EXPECT_FALSE(sent.failed);
    EXPECT_EQ(sent.count, 0u);
    EXPECT_EQ(never.budgets, (std::vector<uint32_t>{250, 250, 100}));
    // Abandoned: the slice that ran out is the last.
    ScriptedSink abandoned({-250});
    sent = abandoned.write(4, 5000, 4096, kSlice, kPacket, [] { return true; });
    EXPECT_FALSE(sent.failed);
    EXPECT_EQ(sent.count, 0u);
    EXPECT_EQ(abandoned.pieces.size(), 1u);
    // A piece of more than one packet gets the whole time, as without slices.
    ScriptedSink long_piece({-5000});
    sent = long_piece.write(8, 5000, 4096, kSlice, kPacket);
    EXPECT_EQ(long_piece.budgets, (std::vector<uint32_t>{5000}));
    EXPECT_FALSE(sent.failed);
}

}  // namespace
