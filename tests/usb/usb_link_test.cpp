// The probe link over the real libftdi1 and the libftdi driver layer, on a
// modelled probe, on the bus's manual clock: what reaches the USB boundary.
#include "d2xx/abandon.h"
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

// What a damaged or failing chip does beyond the model (usbsim::Behaviour).

// The engine check's answer comes back as two bytes, one of them wrong:
// the bad-command mark (byte 0) or the opcode it names (byte 1).
class WrongEngineAnswer : public usbsim::Behaviour {
public:
    explicit WrongEngineAnswer(int wrong_byte) : wrong_byte_(wrong_byte) {}
    void answer(usbsim::Call& call) override {
        if (call.kind != usbsim::Call::Kind::BulkIn || call.interface != kInterfaceB) return;
        for (int i = usbsim::kStatusBytes; i + 1 < call.transferred; ++i) {
            if (call.data[i] == 0xFA && call.data[i + 1] == 0xAA) call.data[i + wrong_byte_] ^= 0x01;
        }
    }

private:
    int wrong_byte_;
};

// The first probe's chip tells serial as its serial string.
class ChipSerial : public usbsim::Behaviour {
public:
    explicit ChipSerial(std::string serial) : serial_(std::move(serial)) {}
    void answer(usbsim::Call& call) override {
        if (call.kind != usbsim::Call::Kind::StringDescriptor || call.probe != 1 ||
            call.request != usbsim::kSerialString || call.result < 0)
            return;
        const int bytes = 2 + 2 * static_cast<int>(serial_.size());
        if (bytes > call.length) return;
        call.data[0] = static_cast<uint8_t>(bytes);
        for (size_t c = 0; c < serial_.size(); ++c) {
            call.data[2 + 2 * c] = static_cast<uint8_t>(serial_[c]);
            call.data[3 + 2 * c] = 0;
        }
        call.result = bytes;
    }

private:
    std::string serial_;
};

// Reading the device descriptor of this probe fails, so ftdi_usb_find_all
// gives up after listing the probes before it.
class DescriptorFails : public usbsim::Behaviour {
public:
    explicit DescriptorFails(int probe) : probe_(probe) {}
    void answer(usbsim::Call& call) override {
        if (call.kind == usbsim::Call::Kind::DeviceDescriptor && call.probe == probe_)
            call.result = LIBUSB_ERROR_IO;
    }

private:
    int probe_;
};

// While on, every packet that brings an answer brings one byte more than
// the chip was asked for.
class ExtraAnswerByte : public usbsim::Behaviour {
public:
    bool on = false;
    void answer(usbsim::Call& call) override {
        if (!on || call.kind != usbsim::Call::Kind::BulkIn || call.interface != kInterfaceB ||
            call.transferred <= usbsim::kStatusBytes || call.transferred >= call.length)
            return;
        call.data[call.transferred] = 0xFF;
        ++call.transferred;
    }
};

// Makes the request to abandon waiting (as a stop signal's handler does)
// once the bus clock passes at_us.
class AbandonAt : public usbsim::Behaviour {
public:
    explicit AbandonAt(uint64_t at_us) : at_us_(at_us) {}
    void answer(usbsim::Call& call) override {
        if (call.at_us >= at_us_) probe_abandon_waits();
    }

private:
    uint64_t at_us_;
};

class UsbLink : public ::testing::Test {
protected:
    void SetUp() override {
        bus().set_clock(&clock);
        bus().configure(usbsim::Options());
        bus().keep_trace(true);
        d2xx_ftdi::use_clock([this] { return clock.now_ms(); });
    }
    void TearDown() override {
        bus().set_behaviour(nullptr);
        d2xx_clear_abandon();
        d2xx_ftdi::use_clock({});
        bus().set_clock(nullptr);
    }
    // Channel B's bulk transfers so far.
    static size_t channel_b_bulk_transfers() {
        size_t n = 0;
        for (const Event& e : bus().trace())
            if (e.interface == kInterfaceB &&
                (e.kind == Event::Kind::BulkIn || e.kind == Event::Kind::BulkOut))
                ++n;
        return n;
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
// claimed channel, the serial driver bound again. A case with a serial opens
// with probe_open_serial, the others with probe_open.
TEST_F(UsbLink, FailedOpensLeaveNoDeviceClaimOrDetachedDriverBehind) {
    struct Case {
        const char* name;
        usbsim::Options options;
        ProbeOpenFault fault;
        usbsim::Behaviour* behaviour = nullptr;
        const char* serial = nullptr;
    };
    usbsim::Options none, forbidden, busy, dead, dies_at_once, two;
    none.probes = 0;
    forbidden.no_permission = true;
    busy.busy = 1;
    dead.dead_engine = true;
    dies_at_once.engine_dies_after = 0;
    two.probes = 2;
    WrongEngineAnswer wrong_mark(0), wrong_opcode(1);
    ChipSerial longer_serial("TV00012");
    DescriptorFails second_descriptor(2);
    const Case cases[] = {
        {"no probe", none, ProbeOpenFault::NotFound},
        {"no permission", forbidden, ProbeOpenFault::Refused},
        {"busy", busy, ProbeOpenFault::Refused},
        {"dead engine", dead, ProbeOpenFault::SetUp},
        {"engine dies before its first transfer", dies_at_once, ProbeOpenFault::SetUp},
        // Two bytes back, as many as a live engine sends, but not its answer.
        {"engine check answered with a wrong first byte", usbsim::Options(), ProbeOpenFault::SetUp,
         &wrong_mark},
        {"engine check answered with a wrong second byte", usbsim::Options(), ProbeOpenFault::SetUp,
         &wrong_opcode},
        // TV0001 names no channel of TV00012's probe: serials match whole.
        {"serial that is a prefix", usbsim::Options(), ProbeOpenFault::NotFound, &longer_serial,
         "TV0001"},
        {"serial that is a prefix of a channel's", usbsim::Options(), ProbeOpenFault::NotFound,
         &longer_serial, "TV00012"},
        // ftdi_usb_find_all fails on the second probe after listing the first.
        {"device list fails half-way", two, ProbeOpenFault::Refused, &second_descriptor},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bus().configure(c.options);
        bus().set_behaviour(c.behaviour);
        char serial[probe_settings::kSerialSize] = {};
        EXPECT_EQ(c.serial ? probe_open_serial(c.serial, serial) : probe_open(serial), 1);
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

    // probe_read makes one attempt, an FT_Read that waits out its time-out,
    // overrunning it by at most the packet it was waiting for: an attempt
    // that waited that long for nothing is not repeated.
    constexpr uint64_t kTimeoutUs = probe_settings::kReadTimeoutMs * kUsPerMs;
    EXPECT_GE(took_us, kTimeoutUs);
    EXPECT_LE(took_us, kTimeoutUs + 2 * kLatencyUs);
    EXPECT_FALSE(probe_in_step());

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

    // The channel this process holds keeps its device referenced; the look
    // adds no reference that outlives it.
    const int live_before = bus().live_devices();
    uint32_t count = 0;
    ASSERT_EQ(FT_CreateDeviceInfoList(&count), FT_OK);
    EXPECT_EQ(bus().live_devices(), live_before);
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
    EXPECT_EQ(bus().live_devices(), 0);

    // A list that fails half-way, after listing the first probe, still
    // gives every device back.
    DescriptorFails second_descriptor(2);
    bus().set_behaviour(&second_descriptor);
    EXPECT_EQ(FT_CreateDeviceInfoList(&count), static_cast<FT_STATUS>(FT_IO_ERROR));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(bus().live_devices(), 0);
    std::vector<ProbeEntry> probes;
    EXPECT_FALSE(probe_list(&probes));
    EXPECT_TRUE(probes.empty());
    EXPECT_EQ(bus().live_devices(), 0);
}

// FT_OpenEx by serial takes a channel whose serial is exactly the one asked
// for, never one it is a prefix of or that is a prefix of it.
TEST_F(UsbLink, SerialsMatchWholeNeverByPrefix) {
    usbsim::Options two;
    two.probes = 2;
    bus().configure(two);
    ChipSerial longer_serial("TV00012");  // the first probe; the second is TV0002
    bus().set_behaviour(&longer_serial);
    struct Case { const char* wanted; int probe; };  // probe 0: none
    const Case cases[] = {{"TV0001", 0},    {"TV0001B", 0}, {"TV00012", 0},  {"TV00012BB", 0},
                          {"V00012B", 0},   {"TV0002", 0},  {"TV00012B", 1}, {"TV0002B", 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wanted);
        FT_HANDLE handle = nullptr;
        const FT_STATUS status =
            FT_OpenEx(const_cast<char*>(c.wanted), FT_OPEN_BY_SERIAL_NUMBER, &handle);
        EXPECT_EQ(status, static_cast<FT_STATUS>(c.probe == 0 ? FT_DEVICE_NOT_FOUND : FT_OK));
        for (int probe = 1; probe <= bus().probes(); ++probe)
            EXPECT_EQ(bus().claimed(probe, kInterfaceB), probe == c.probe) << "probe " << probe;
        if (status == FT_OK) {
            EXPECT_EQ(FT_Close(handle), FT_OK);
        }

        char serial[probe_settings::kSerialSize] = {};
        if (c.probe == 0) {
            testing::internal::CaptureStdout();
            EXPECT_EQ(probe_open_serial(c.wanted, serial), 1);
            EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unable to open FTDI Device");
            EXPECT_EQ(probe_open_failure(), ProbeOpenFault::NotFound);
        } else {
            ASSERT_EQ(probe_open_serial(c.wanted, serial), 0);
            EXPECT_STREQ(serial, c.wanted);
            EXPECT_TRUE(bus().claimed(c.probe, kInterfaceB));
            probe_close();
        }
        EXPECT_EQ(bus().live_devices(), 0);
    }
}

// A chip that answers more bytes than it was asked for: the link can no
// longer tell which answer belongs to which question, and says so.
TEST_F(UsbLink, ChipAnsweringMoreThanAskedPutsTheLinkOutOfStepUntilReopened) {
    bus().chip(1).set_input_count(1, 36);
    ExtraAnswerByte extra;
    bus().set_behaviour(&extra);
    char serial[probe_settings::kSerialSize] = {};
    ASSERT_EQ(probe_open(serial), 0);
    EXPECT_EQ(read_adc_channel(1), 36);
    EXPECT_TRUE(adc_last_conversion_whole());

    extra.on = true;
    bus().clear_trace();
    read_adc_channel(1);
    EXPECT_FALSE(adc_last_conversion_whole());
    EXPECT_FALSE(probe_in_step());
    // The first answer with a byte too many ended the transfers: one pin
    // read, no more.
    const std::vector<std::string> steps = channel_b_steps();
    EXPECT_EQ(std::count(steps.begin(), steps.end(), "out 83 87"), 1) << ::testing::PrintToString(steps);

    extra.on = false;
    bus().clear_trace();
    read_adc_channel(1);
    EXPECT_FALSE(adc_last_conversion_whole());
    EXPECT_EQ(channel_b_bulk_transfers(), 0u);
    probe_close();

    ASSERT_EQ(probe_open(serial), 0);
    EXPECT_EQ(read_adc_channel(1), 36);
    EXPECT_TRUE(adc_last_conversion_whole());
    probe_close();
}

// An engine that stops answering mid-session, the chip still on the bus:
// one read time-out, then no transfer until the channel is reopened.
TEST_F(UsbLink, EngineDyingMidSessionCostsOneReadTimeOutThenNoTransfers) {
    usbsim::Options dies;
    dies.engine_dies_after = 100;  // within the second conversion
    bus().configure(dies);
    const uint16_t inputs[] = {137, 36, 298, 57};
    for (unsigned ch = 0; ch < 4; ++ch) bus().chip(1).set_input_count(ch, inputs[ch]);
    char serial[probe_settings::kSerialSize] = {};
    ASSERT_EQ(probe_open(serial), 0);
    EXPECT_EQ(read_adc_channel(0), inputs[0]);
    EXPECT_TRUE(adc_last_conversion_whole());

    testing::internal::CaptureStderr();
    const uint64_t start_us = clock.now_us();
    read_adc_channel(1);
    const uint64_t took_us = clock.now_us() - start_us;
    EXPECT_FALSE(adc_last_conversion_whole());
    EXPECT_FALSE(probe_in_step());
    constexpr uint64_t kTimeoutUs = probe_settings::kReadTimeoutMs * kUsPerMs;
    EXPECT_GE(took_us, kTimeoutUs);
    EXPECT_LT(took_us, kTimeoutUs + 100 * kUsPerMs);

    bus().clear_trace();
    const uint64_t later_us = clock.now_us();
    for (uint8_t ch = 2; ch < 4; ++ch) {
        read_adc_channel(ch);
        EXPECT_FALSE(adc_last_conversion_whole());
    }
    EXPECT_EQ(clock.now_us(), later_us);
    EXPECT_EQ(channel_b_bulk_transfers(), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Couldn't read the requested number of bytes from FT2232");

    // Closing gives the channel back as always; the engine stays dead.
    probe_close();
    EXPECT_EQ(bus().bit_mode(1, kInterfaceB), 0);
    EXPECT_TRUE(bus().kernel_driver_bound(1, kInterfaceB));
    testing::internal::CaptureStderr();
    EXPECT_EQ(probe_open(serial), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "unable to enable bit mode");
}

// A chip back from a silent spell holds answers of the lost session at each
// open: the open discards them, so neither its engine check nor the first
// readout takes them for its own.
TEST_F(UsbLink, StaleAnswersHeldAtOpenAreDiscardedBeforeTheFirstReadout) {
    usbsim::Options stale;
    stale.stale_answers = true;
    bus().configure(stale);
    char serial[probe_settings::kSerialSize] = {};
    for (int open = 1; open <= 2; ++open) {
        SCOPED_TRACE(open);
        ASSERT_EQ(probe_open(serial), 0);
        EXPECT_EQ(read_adc_channel(0), sim::kBenchInputs[0][0]);
        EXPECT_TRUE(adc_last_conversion_whole());
        probe_close();
    }
}

// A stop request made while a read waits on a silent chip (a signal, 2 s
// into the wait) ends the wait at the chip's next packet.
TEST_F(UsbLink, AbandonedWaitOnASilentChipEndsWithinALatencyPeriodAndSilently) {
    char serial[probe_settings::kSerialSize] = {};
    ASSERT_EQ(probe_open(serial), 0);
    bus().chip(1).set_dead_engine(true);
    const uint64_t start_us = clock.now_us();
    constexpr uint64_t kSignalAfterUs = 2000 * kUsPerMs;
    AbandonAt signal(start_us + kSignalAfterUs);
    bus().set_behaviour(&signal);

    testing::internal::CaptureStderr();
    read_adc_channel(0);
    const uint64_t took_us = clock.now_us() - start_us;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(adc_last_conversion_whole());
    EXPECT_TRUE(probe_waits_abandoned());
    EXPECT_GE(took_us, kSignalAfterUs);
    EXPECT_LE(took_us, kSignalAfterUs + 3 * kLatencyUs);
    probe_close();
    EXPECT_EQ(bus().bit_mode(1, kInterfaceB), 0);
    EXPECT_TRUE(bus().kernel_driver_bound(1, kInterfaceB));
}

// The same request while the chip answers cuts nothing short: a healthy
// readout in progress ends whole, with its usual transfers.
TEST_F(UsbLink, AbandoningWaitsLeavesAnAnsweringChipsTransfersAlone) {
    bus().chip(1).set_input_count(2, 298);
    char serial[probe_settings::kSerialSize] = {};
    ASSERT_EQ(probe_open(serial), 0);
    bus().clear_trace();
    EXPECT_EQ(read_adc_channel(2), 298);
    const std::vector<std::string> healthy = channel_b_steps();

    probe_abandon_waits();
    bus().clear_trace();
    EXPECT_EQ(read_adc_channel(2), 298);
    EXPECT_TRUE(adc_last_conversion_whole());
    EXPECT_FALSE(probe_waits_abandoned());
    EXPECT_EQ(channel_b_steps(), healthy);
    probe_close();
}
