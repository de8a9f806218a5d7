// The probe link over the real libftdi1 and the libftdi driver layer, on a
// modelled probe, on the bus's manual clock: what reaches the USB boundary.
#include "d2xx/ftdi/channels.h"
#include "usbsim/usb_bus.h"
#include "probe/converter.h"
#include "probe/probe_channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using usbsim::Event;
using usbsim::kInterfaceB;

constexpr uint8_t kBitModeRequest = 0x0B;
constexpr uint8_t kResetRequest = 0x00;
constexpr int kBitModeShift = 8;
constexpr uint64_t kUsPerMs = 1000;
constexpr uint64_t kLatencyUs = probe_settings::kLatencyTimerMs * kUsPerMs;
constexpr int kResultBits = 10;

class UsbLink : public ::testing::Test {
protected:
    void SetUp() override {
        bus().set_clock(&clock);
        bus().configure(usbsim::Options());
        bus().keep_trace(true);
        d2xx_ftdi::use_clock([this] { return clock.now_ms(); });
    }
    void TearDown() override {
        d2xx_ftdi::use_clock({});
        bus().set_clock(nullptr);
    }
    static usbsim::Bus& bus() { return usbsim::bus(); }

    // Channel B's requests and transfers in order, in words: "bitmode 02",
    // "purge", "out aa 87", "in fa aa" (an IN packet's data after its status
    // bytes; packets with none are left out).
    static std::vector<std::string> channel_b_steps() {
        std::vector<std::string> steps;
        for (const Event& e : bus().trace()) {
            if (e.interface != kInterfaceB) continue;
            std::string step;
            if (e.kind == Event::Kind::Control && e.request == kBitModeRequest) {
                step = "bitmode " + hex(static_cast<uint8_t>(e.value >> kBitModeShift));
            } else if (e.kind == Event::Kind::Control && e.request == kResetRequest) {
                step = "purge";
            } else if (e.kind == Event::Kind::BulkOut) {
                step = "out" + bytes(e.bytes, 0);
            } else if (e.kind == Event::Kind::BulkIn && e.bytes.size() > usbsim::kStatusBytes) {
                step = "in" + bytes(e.bytes, usbsim::kStatusBytes);
            }
            if (!step.empty()) steps.push_back(step);
        }
        return steps;
    }

    sim::ManualClock clock;

private:
    static std::string hex(uint8_t byte) {
        char text[3];
        std::snprintf(text, sizeof text, "%02x", byte);
        return text;
    }
    static std::string bytes(const std::vector<uint8_t>& data, size_t from) {
        std::string text;
        for (size_t i = from; i < data.size(); ++i) text += " " + hex(data[i]);
        return text;
    }
};

// Position of the first step equal to want at or after from; the end if none.
size_t find_step(const std::vector<std::string>& steps, const std::string& want, size_t from = 0) {
    const auto it = std::find(steps.begin() + static_cast<std::ptrdiff_t>(from), steps.end(), want);
    return static_cast<size_t>(it - steps.begin());
}

TEST_F(UsbLink, OpenLeavesOldModesBehindAndChecksTheEngineCloseGivesTheChannelBackUnused) {
    char serial[probe_settings::kSerialSize] = {};
    ASSERT_EQ(probe_open(serial), 0);
    EXPECT_STREQ(serial, "TV0001B");
    EXPECT_TRUE(bus().claimed(1, kInterfaceB));
    EXPECT_FALSE(bus().kernel_driver_bound(1, kInterfaceB));

    // Reset, MPSSE, purge, then a bad command must come back rejected.
    const std::vector<std::string> steps = channel_b_steps();
    const size_t reset = find_step(steps, "bitmode 00");
    const size_t mpsse = find_step(steps, "bitmode 02", reset);
    const size_t purge = find_step(steps, "purge", mpsse);
    const size_t check = find_step(steps, "out aa 87", purge);
    const size_t answer = find_step(steps, "in fa aa", check);
    EXPECT_LT(answer, steps.size()) << ::testing::PrintToString(steps);

    bus().clear_trace();
    EXPECT_EQ(probe_close(), 0);
    EXPECT_EQ(channel_b_steps(), std::vector<std::string>{"bitmode 00"});
    EXPECT_FALSE(bus().claimed(1, kInterfaceB));
    EXPECT_TRUE(bus().kernel_driver_bound(1, kInterfaceB));
    EXPECT_EQ(bus().bit_mode(1, kInterfaceB), 0);
    EXPECT_EQ(bus().live_devices(), 0);
}

// Every way an open can fail leaves nothing behind: no device reference, no
// claimed channel, the serial driver bound again.
TEST_F(UsbLink, FailedOpensLeaveNoDeviceClaimOrDetachedDriverBehind) {
    struct Case { const char* name; usbsim::Options options; ProbeOpenFault fault; };
    usbsim::Options none, forbidden, busy, dead;
    none.probes = 0;
    forbidden.no_permission = true;
    busy.busy = 1;
    dead.dead_engine = true;
    const Case cases[] = {{"no probe", none, ProbeOpenFault::NotFound},
                          {"no permission", forbidden, ProbeOpenFault::Refused},
                          {"busy", busy, ProbeOpenFault::Refused},
                          {"dead engine", dead, ProbeOpenFault::SetUp}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bus().configure(c.options);
        char serial[probe_settings::kSerialSize] = {};
        EXPECT_EQ(probe_open(serial), 1);
        EXPECT_EQ(probe_open_failure(), c.fault);
        EXPECT_EQ(bus().live_devices(), 0);
        for (int probe = 1; probe <= bus().probes(); ++probe) {
            EXPECT_FALSE(bus().claimed(probe, kInterfaceB));
            EXPECT_TRUE(bus().kernel_driver_bound(probe, kInterfaceB));
        }
    }
}

TEST_F(UsbLink, ConversionsThroughLibftdiGiveTheChipsCountsWhole) {
    const uint16_t inputs[] = {3, 1023, 512, 0};
    for (unsigned ch = 0; ch < 4; ++ch) bus().chip(1).set_input_count(ch, inputs[ch]);
    char serial[probe_settings::kSerialSize] = {};
    ASSERT_EQ(probe_open(serial), 0);
    for (uint8_t ch = 0; ch < 4; ++ch) {
        EXPECT_EQ(read_adc_channel(ch), inputs[ch]) << "channel " << int{ch};
        EXPECT_TRUE(adc_last_conversion_whole());
    }
    probe_close();
}

TEST_F(UsbLink, OnlyALoneReadPinsFrameGoesOutWithSendImmediateAndItsAnswerComesAtOnce) {
    bus().chip(1).set_input_count(2, 298);
    char serial[probe_settings::kSerialSize] = {};
    ASSERT_EQ(probe_open(serial), 0);
    bus().clear_trace();
    EXPECT_EQ(read_adc_channel(2), 298);
    EXPECT_TRUE(adc_last_conversion_whole());
    std::vector<std::string> steps = channel_b_steps();
    EXPECT_EQ(std::count(steps.begin(), steps.end(), "out 83 87"), kResultBits);
    for (const std::string& step : steps) {
        if (step.rfind("out", 0) == 0 && step != "out 83 87") {
            EXPECT_EQ(step.size(), std::string("out 82 00 00").size()) << step;
        }
    }

    // A set-pins frame whose level and direction bytes are 0x83 goes out as it is.
    bus().clear_trace();
    const unsigned char set_pins[] = {mpsse::kSetBitsHigh, 0x83, 0x83};
    uint32_t written = 0;
    ASSERT_EQ(probe_write(set_pins, sizeof set_pins, &written), 0);
    EXPECT_EQ(written, sizeof set_pins);
    EXPECT_EQ(channel_b_steps(), std::vector<std::string>{"out 82 83 83"});

    bus().clear_trace();
    const unsigned char read_pins[] = {mpsse::kGetBitsHigh};
    ASSERT_EQ(probe_write(read_pins, sizeof read_pins, &written), 0);
    EXPECT_EQ(written, 1u);
    const uint64_t asked_us = clock.now_us();
    unsigned char answer = 0;
    uint32_t received = 0;
    EXPECT_EQ(probe_read(&answer, 1, &received), 0);
    EXPECT_EQ(received, 1u);
    EXPECT_LT(clock.now_us() - asked_us, kLatencyUs);
    steps = channel_b_steps();
    ASSERT_FALSE(steps.empty());
    EXPECT_EQ(steps.front(), "out 83 87");
    probe_close();
}

TEST_F(UsbLink, AnAnswerThatNeverComesEndsAtTheReadTimeOutWithOneBulkInPerLatencyPeriod) {
    char serial[probe_settings::kSerialSize] = {};
    ASSERT_EQ(probe_open(serial), 0);
    bus().chip(1).set_dead_engine(true);
    bus().clear_trace();
    const unsigned char read_pins[] = {mpsse::kGetBitsHigh};
    uint32_t written = 0;
    ASSERT_EQ(probe_write(read_pins, sizeof read_pins, &written), 0);
    const uint64_t start_us = clock.now_us();
    unsigned char answer = 0;
    uint32_t received = 0;
    EXPECT_EQ(probe_read(&answer, 1, &received), 1);
    const uint64_t took_us = clock.now_us() - start_us;
    EXPECT_EQ(received, 0u);

    // Every one of probe_read's attempts is an FT_Read that waits out its
    // time-out, overrunning it by at most the packet it was waiting for.
    constexpr uint64_t kAttempts = probe_settings::kReadAttempts;
    constexpr uint64_t kTimeoutUs = probe_settings::kReadTimeoutMs * kUsPerMs;
    EXPECT_GE(took_us, kAttempts * kTimeoutUs);
    EXPECT_LE(took_us, kAttempts * (kTimeoutUs + 2 * kLatencyUs));

    std::vector<uint64_t> bulk_in_us;
    for (const Event& e : bus().trace()) {
        if (e.interface == kInterfaceB && e.kind == Event::Kind::BulkIn)
            bulk_in_us.push_back(e.at_us);
    }
    EXPECT_EQ(channel_b_steps().front(), "out 83 87");
    ASSERT_FALSE(bulk_in_us.empty());
    EXPECT_LE(bulk_in_us.size(), took_us / kLatencyUs + 1);
    for (size_t i = 1; i < bulk_in_us.size(); ++i) {
        ASSERT_GE(bulk_in_us[i] - bulk_in_us[i - 1], kLatencyUs) << "bulk-in call " << i;
    }
    probe_close();
}

}  // namespace

TEST_F(UsbLink, ListMarksHeldChannelsAndLeavesThemAsTheyWere) {
    usbsim::Options two;
    two.probes = 2;
    two.busy = 2;  // another program holds the second probe's channel B
    bus().configure(two);
    char serial[probe_settings::kSerialSize] = {};
    ASSERT_EQ(probe_open(serial), 0);

    uint32_t count = 0;
    ASSERT_EQ(FT_CreateDeviceInfoList(&count), FT_OK);
    ASSERT_EQ(count, 4u);
    const char* const serials[] = {"TV0001A", "TV0001B", "TV0002A", "TV0002B"};
    const uint32_t held[] = {0, FT_FLAGS_OPENED, 0, FT_FLAGS_OPENED};
    for (uint32_t index = 0; index < count; ++index) {
        SCOPED_TRACE(serials[index]);
        uint32_t flags = 0, type = 0, id = 0, location = 0;
        char entry_serial[FT_SERIAL_NUMBER_SIZE] = {};
        char description[FT_DESCRIPTION_SIZE] = {};
        FT_HANDLE handle = nullptr;
        ASSERT_EQ(FT_GetDeviceInfoDetail(index, &flags, &type, &id, &location, entry_serial,
                                         description, &handle), FT_OK);
        EXPECT_EQ(flags, held[index]);
        EXPECT_STREQ(entry_serial, serials[index]);
        EXPECT_STREQ(description, index % 2 == 0 ? "TALVIRO A" : "TALVIRO B");
        EXPECT_EQ(type, static_cast<uint32_t>(FT_DEVICE_2232H));
        EXPECT_EQ(id, probe_settings::kChipId);
        EXPECT_NE(location, 0u);
        // Only the channel this process holds has a handle here.
        EXPECT_EQ(handle != nullptr, index == 1);
    }
    EXPECT_EQ(FT_GetDeviceInfoDetail(count, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr), static_cast<FT_STATUS>(FT_DEVICE_NOT_FOUND));

    // The look took nothing and gave back nothing that was held.
    EXPECT_TRUE(bus().claimed(1, kInterfaceB));
    EXPECT_FALSE(bus().claimed(1, 0));
    EXPECT_TRUE(bus().kernel_driver_bound(1, 0));
    EXPECT_FALSE(bus().claimed(2, kInterfaceB));
    EXPECT_EQ(read_adc_channel(0), 137);
    probe_close();
}
