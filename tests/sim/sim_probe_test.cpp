// The simulated probe as a driver: what any FT_* caller sees.
#include "d2xx/sim/sim_probe.h"

#include "sim_fixture.h"

#include <cstring>

using sim::Fn;

namespace {

class SimProbe : public SimFixture {
protected:
    FT_HANDLE open(const char* description = "TALVIRO B") {
        FT_HANDLE h = nullptr;
        EXPECT_EQ(FT_OpenEx(const_cast<char*>(description), FT_OPEN_BY_DESCRIPTION, &h), FT_OK);
        return h;
    }
    FT_HANDLE open_mpsse() {
        FT_HANDLE h = open();
        EXPECT_EQ(FT_SetBitMode(h, 0, FT_BITMODE_MPSSE), FT_OK);
        return h;
    }
    static void write(FT_HANDLE h, std::vector<uint8_t> bytes) {
        uint32_t n = 0;
        ASSERT_EQ(FT_Write(h, bytes.data(), static_cast<uint32_t>(bytes.size()), &n), FT_OK);
        ASSERT_EQ(n, bytes.size());
    }
    static std::vector<uint8_t> read(FT_HANDLE h, uint32_t count) {
        std::vector<uint8_t> buf(count);
        uint32_t n = 0;
        EXPECT_EQ(FT_Read(h, buf.data(), count, &n), FT_OK);
        buf.resize(n);
        return buf;
    }
    // How a conversion is clocked through raw pin frames.
    struct Clocking {
        std::vector<int> command;     // bits sent, start bit first
        int result_clocks = 10;       // clocks sampled after the two idle ones
        uint8_t directions = 0x5F;    // 0x5D leaves select undriven
        bool data_with_edge = false;  // change data-out in the rising-edge frame
    };
    // Sends the conversion and returns the sampled bits, first as most
    // significant.
    static uint32_t clock_conversion(FT_HANDLE h, const Clocking& c) {
        const uint8_t base = 0x19;  // select low, clock low
        std::vector<uint8_t> frames;
        auto set = [&](uint8_t l) { frames.insert(frames.end(), {0x82, l, c.directions}); };
        set(base);
        for (int bit : c.command) {
            const uint8_t l = bit ? base | 0x04 : base;
            if (!c.data_with_edge) set(l);
            set(l | 0x40);
            set(l);
        }
        for (int i = 0; i < 2; ++i) { set(base | 0x40); set(base); }
        for (int i = 0; i < c.result_clocks; ++i) {
            set(base | 0x40);
            frames.push_back(0x83);
            set(base);
        }
        set(base | 0x02);
        write(h, frames);
        uint32_t bits = 0;
        for (uint8_t answer : read(h, c.result_clocks)) bits = bits << 1 | ((answer & 0x20) ? 1 : 0);
        return bits;
    }
    // A single-ended conversion of ch.
    static uint32_t convert(FT_HANDLE h, unsigned ch, int result_clocks) {
        Clocking c;
        c.command = {1, 1, int(ch >> 2 & 1), int(ch >> 1 & 1), int(ch & 1)};
        c.result_clocks = result_clocks;
        return clock_conversion(h, c);
    }
};

}  // namespace

TEST_F(SimProbe, OpensChannelsByDescription) {
    FT_HANDLE h = reinterpret_cast<FT_HANDLE>(0x1234);
    EXPECT_NE(FT_OpenEx(const_cast<char*>("TALVIRO"), FT_OPEN_BY_DESCRIPTION, &h), FT_OK);
    EXPECT_NE(FT_OpenEx(const_cast<char*>("TALVIRO C"), FT_OPEN_BY_DESCRIPTION, &h), FT_OK);
    EXPECT_NE(FT_OpenEx(const_cast<char*>("talviro B"), FT_OPEN_BY_DESCRIPTION, &h), FT_OK);
    EXPECT_NE(FT_OpenEx(const_cast<char*>("TALVIRO B"), 1, &h), FT_OK);
    EXPECT_EQ(h, reinterpret_cast<FT_HANDLE>(0x1234));  // untouched on failure

    FT_HANDLE b = open("TALVIRO B");
    FT_HANDLE a = open("TALVIRO A");
    EXPECT_NE(a, b);
    EXPECT_TRUE(dev().channel_open('A'));
    EXPECT_TRUE(dev().channel_open('B'));
    FT_HANDLE again = nullptr;
    EXPECT_NE(FT_OpenEx(const_cast<char*>("TALVIRO B"), FT_OPEN_BY_DESCRIPTION, &again), FT_OK);
    EXPECT_EQ(FT_Close(b), FT_OK);
    EXPECT_FALSE(dev().channel_open('B'));
    EXPECT_NE(open("TALVIRO B"), nullptr);
}

TEST_F(SimProbe, ClosedAndUnknownHandlesAreRejected) {
    FT_HANDLE h = open();
    ASSERT_EQ(FT_Close(h), FT_OK);
    uint8_t byte = 0;
    uint32_t n = 0;
    EXPECT_EQ(FT_Write(h, &byte, 1, &n), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_Read(h, &byte, 1, &n), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_SetLatencyTimer(h, 2), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_Close(h), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_Close(nullptr), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_GetDeviceInfo(reinterpret_cast<FT_HANDLE>(0xdead), nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              FT_INVALID_HANDLE);
    // A new open never reuses a closed handle's value.
    EXPECT_NE(open(), h);
}

TEST_F(SimProbe, DeviceInfoNamesTheChannel) {
    const struct { const char* chip; const char* expected; } table[] = {
        {"FT4A2", "FT4A2B"},
        {"", "B"},
        {"ABCDEFGHIJKLMN", "ABCDEFGHIJKLMNB"},   // 14 + letter fills 15
        {"ABCDEFGHIJKLMNOPQ", "ABCDEFGHIJKLMNO"},  // cut to 15
    };
    for (const auto& row : table) {
        dev().set_chip_serial(row.chip);
        FT_HANDLE h = open();
        uint32_t type = 0, id = 0;
        char serial[16];
        char description[64];
        std::memset(serial, 'x', sizeof serial);
        ASSERT_EQ(FT_GetDeviceInfo(h, &type, &id, serial, description, nullptr), FT_OK);
        EXPECT_STREQ(serial, row.expected);
        EXPECT_STREQ(description, "TALVIRO B");
        EXPECT_EQ(type, static_cast<uint32_t>(FT_DEVICE_2232H));
        EXPECT_EQ(id, 0x04036010u);
        EXPECT_EQ(FT_GetDeviceInfo(h, nullptr, nullptr, nullptr, nullptr, nullptr), FT_OK);
        FT_Close(h);
    }
}

TEST_F(SimProbe, EngineRunsOnlyInMpsseMode) {
    FT_HANDLE h = open();
    write(h, {0x83});
    EXPECT_TRUE(read(h, 1).empty());
    ASSERT_EQ(FT_SetBitMode(h, 0, FT_BITMODE_MPSSE), FT_OK);
    write(h, {0x82, 0x5B, 0x5F, 0x83});
    // Bit 7 is an input nobody drives: the chip's pull-up makes it read high.
    EXPECT_EQ(read(h, 1), std::vector<uint8_t>{0xDB});
}

TEST_F(SimProbe, CommandsSplitAcrossWritesStillCount) {
    FT_HANDLE h = open_mpsse();
    write(h, {0x82, 0x11});
    write(h, {0x5F});
    write(h, {0x83});
    EXPECT_EQ(read(h, 1), std::vector<uint8_t>{0x91});
    EXPECT_EQ(dev().high_level_frames(), std::vector<uint8_t>{0x11});
}

TEST_F(SimProbe, UnknownOpcodeIsAnsweredAsBadCommand) {
    FT_HANDLE h = open_mpsse();
    write(h, {0x82, 0x00, 0xFF, 0xAB, 0x83});
    EXPECT_EQ(read(h, 3), (std::vector<uint8_t>{0xFA, 0xAB, 0x00}));
}

TEST_F(SimProbe, KnownCommandsTakeTheirArgumentsAndAnswerOnlyWhenTheyRead) {
    FT_HANDLE h = open_mpsse();
    write(h, {0x82, 0x00, 0xFF});
    write(h, {0x86, 0x05, 0x00});                    // clock divisor: no answer
    write(h, {0x19, 0x02, 0x00, 0xAA, 0xBB, 0xCC});  // three bytes out: no answer
    write(h, {0x13, 0x06, 0x82});                    // seven bits out
    write(h, {0x83});
    EXPECT_EQ(read(h, 2), std::vector<uint8_t>{0x00});  // only the pins' byte
    write(h, {0x20, 0x01, 0x00});                    // two bytes in
    write(h, {0x22, 0x03});                          // four bits in
    EXPECT_EQ(read(h, 4), (std::vector<uint8_t>{0x00, 0x00, 0x00}));
}

TEST_F(SimProbe, ChannelAGetsNoneOfTheEnginesAnswers) {
    FT_HANDLE b = open_mpsse();
    FT_HANDLE a = open("TALVIRO A");
    write(b, {0x83});
    EXPECT_TRUE(read(a, 1).empty());
    EXPECT_EQ(read(b, 1).size(), 1u);
}

TEST_F(SimProbe, InputPinsReadWhatTheDeviceDrives) {
    FT_HANDLE h = open_mpsse();
    // Bit 5 made an output reads back its level, not the converter's; as an
    // input it reads the converter (low while not selected). Every other
    // input floats high on its pull-up.
    write(h, {0x82, 0x20, 0x20, 0x83, 0x82, 0x20, 0x00, 0x83});
    EXPECT_EQ(read(h, 2), (std::vector<uint8_t>{0xFF, 0xDF}));
}

TEST_F(SimProbe, ConverterAnswersMsbFirstAfterTheNullBit) {
    FT_HANDLE h = open_mpsse();
    dev().set_input_count(2, 0x2A5);
    EXPECT_EQ(convert(h, 2, 10), 0x2A5u);
    // Clocking on past B0 repeats the word from B1, least significant first.
    dev().set_input_count(1, 0x301);
    EXPECT_EQ(convert(h, 1, 19), (0x301u << 9) | 0x003u);
    EXPECT_EQ(dev().conversions(), 2u);
}

TEST_F(SimProbe, SelectHighResetsTheConverter) {
    FT_HANDLE h = open_mpsse();
    dev().set_input_count(0, 1023);
    // Start a command, then deselect half-way: the next command starts over.
    write(h, {0x82, 0x1D, 0x5F, 0x82, 0x5D, 0x5F, 0x82, 0x1F, 0x5F, 0x83});
    EXPECT_EQ(read(h, 1), std::vector<uint8_t>{0x9F});
    EXPECT_EQ(convert(h, 0, 10), 1023u);
}

TEST_F(SimProbe, DifferentialPairs) {
    FT_HANDLE h = open_mpsse();
    dev().set_input_count(0, 700);
    dev().set_input_count(1, 200);
    // Single-ended bit 0: start, 0, D2 D1 D0 sent by hand.
    auto diff = [&](unsigned sel) {
        Clocking c;
        c.command = {1, 0, 0, int(sel >> 1 & 1), int(sel & 1)};  // single-ended bit 0
        return clock_conversion(h, c);
    };
    EXPECT_EQ(diff(0), 500u);  // CH0 - CH1
    EXPECT_EQ(diff(1), 0u);    // CH1 - CH0 clamps at 0
}

TEST_F(SimProbe, ShortReadWaitsOutTheTimeOut) {
    FT_HANDLE h = open_mpsse();
    ASSERT_EQ(FT_SetTimeouts(h, 250, 300), FT_OK);
    write(h, {0x83});
    const uint64_t t0 = clock.now_ms();
    EXPECT_EQ(read(h, 2).size(), 1u);
    EXPECT_EQ(clock.now_ms() - t0, 250u);
    dev().limit_writes(1);
    uint8_t frame[3] = {0x82, 0, 0};
    uint32_t n = 0;
    EXPECT_EQ(FT_Write(h, frame, 3, &n), FT_OK);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(clock.now_ms() - t0, 550u);
}

TEST_F(SimProbe, FaultFiresOnTheNthCallFromNow) {
    FT_HANDLE h = open_mpsse();
    uint8_t b = 0x87;
    uint32_t n = 0;
    ASSERT_EQ(FT_Write(h, &b, 1, &n), FT_OK);
    dev().fail_call(Fn::Write, 2, FT_IO_ERROR);
    EXPECT_EQ(FT_Write(h, &b, 1, &n), FT_OK);
    EXPECT_EQ(FT_Write(h, &b, 1, &n), FT_IO_ERROR);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(FT_Write(h, &b, 1, &n), FT_OK);
    const auto writes = dev().calls(Fn::Write);
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[2].status, static_cast<FT_STATUS>(FT_IO_ERROR));
}

TEST_F(SimProbe, UnplugFailsEveryCallUntilPluggedInAgain) {
    FT_HANDLE h = open_mpsse();
    dev().unplug_after_calls(2);
    uint8_t b = 0x87;
    uint32_t n = 0;
    EXPECT_EQ(FT_Write(h, &b, 1, &n), FT_OK);
    EXPECT_EQ(FT_Write(h, &b, 1, &n), FT_OK);
    EXPECT_EQ(FT_Write(h, &b, 1, &n), FT_IO_ERROR);
    EXPECT_EQ(FT_Read(h, &b, 1, &n), FT_IO_ERROR);
    EXPECT_FALSE(dev().plugged_in());
    FT_HANDLE other = nullptr;
    EXPECT_EQ(FT_OpenEx(const_cast<char*>("TALVIRO B"), FT_OPEN_BY_DESCRIPTION, &other),
              FT_DEVICE_NOT_FOUND);

    dev().plug_in();
    EXPECT_EQ(FT_Write(h, &b, 1, &n), FT_IO_ERROR);  // the old handle stays dead
    FT_HANDLE fresh = open();
    EXPECT_NE(fresh, nullptr);
    EXPECT_EQ(FT_Close(h), FT_OK);
    EXPECT_TRUE(dev().channel_open('B'));  // closing the dead handle frees nothing new
}

// A chip back from a silent spell: its stale answers come out once the
// channel is in MPSSE mode, ahead of the engine's own, and a mode change does
// not drop them. An engine with a lifetime answers again after a reopen.
TEST_F(SimProbe, StaleAnswersOutliveModeChangesAndADyingEngineRevivesOnReopen) {
    dev().set_stale_answers(true);
    FT_HANDLE h = open_mpsse();
    ASSERT_EQ(FT_SetBitMode(h, 0, FT_BITMODE_RESET), FT_OK);
    ASSERT_EQ(FT_SetBitMode(h, 0, FT_BITMODE_MPSSE), FT_OK);
    write(h, {0xAA, 0x87});
    EXPECT_EQ(read(h, 4), (std::vector<uint8_t>{0xDF, 0xAA, 0xFA, 0xAA}));
    ASSERT_EQ(FT_Close(h), FT_OK);

    dev().set_stale_answers(false);
    dev().set_engine_lifetime(2, true);  // a write and a read
    for (int open = 1; open <= 2; ++open) {
        SCOPED_TRACE(open);
        h = open_mpsse();
        write(h, {0xAA});
        EXPECT_EQ(read(h, 2), (std::vector<uint8_t>{0xFA, 0xAA}));
        write(h, {0xAA});
        EXPECT_TRUE(read(h, 2).empty());
        ASSERT_EQ(FT_Close(h), FT_OK);
    }
}

TEST_F(SimProbe, LogRecordsArgumentsBytesAndTime) {
    FT_HANDLE h = open_mpsse();
    clock.advance_ms(42);
    write(h, {0x82, 0x19, 0x5F});
    const sim::Call& last = dev().log().back();
    EXPECT_EQ(last.fn, Fn::Write);
    EXPECT_EQ(last.handle, h);
    EXPECT_EQ(last.args, std::vector<uint32_t>{3});
    EXPECT_EQ(last.bytes, (std::vector<uint8_t>{0x82, 0x19, 0x5F}));
    EXPECT_EQ(last.done, 3u);
    EXPECT_EQ(last.time_ms, 42u);
    EXPECT_STREQ(sim::fn_name(last.fn), "FT_Write");
}

TEST_F(SimProbe, InputSourceFollowsTheClock) {
    FT_HANDLE h = open_mpsse();
    dev().set_input_source([](unsigned ch, uint64_t now) {
        return static_cast<uint16_t>(ch == 3 ? now : 0);
    });
    clock.advance_ms(300);
    EXPECT_EQ(convert(h, 3, 10), 300u);
    clock.advance_ms(5000);
    EXPECT_EQ(convert(h, 3, 10), 1023u);  // clamped to the converter's range
}

TEST_F(SimProbe, DataChangedWithTheRisingEdgeComesTooLate) {
    FT_HANDLE h = open_mpsse();
    dev().set_input_count(3, 1023);
    // Channel 3 with every command bit set together with the clock rising:
    // the converter latches the level before, so it sees the start bit one
    // clock late and reads another command.
    Clocking c;
    c.command = {1, 1, 0, 1, 1};
    c.data_with_edge = true;
    EXPECT_NE(clock_conversion(h, c), 1023u);
    c.data_with_edge = false;
    EXPECT_EQ(clock_conversion(h, c), 1023u);
}

TEST_F(SimProbe, UndrivenSelectLeavesTheConverterDeselected) {
    FT_HANDLE h = open_mpsse();
    dev().set_input_count(0, 1023);
    // Directions without the select pin: it floats high on its pull-up.
    Clocking c;
    c.command = {1, 1, 0, 0, 0};
    c.directions = 0x5D;
    EXPECT_EQ(clock_conversion(h, c), 0u);
    EXPECT_EQ(dev().conversions(), 0u);
}
