// Conversions against the simulated converter, which decodes the pin frames
// on its own clock edges: bit order, clocking and off-by-one faults in the
// host show up as wrong counts.
#include "probe/converter.h"
#include "probe/probe_channel.h"
#include "probe/probe_session.h"

#include "sim_fixture.h"
#include "stream_capture.h"

#include <memory>

using sim::Fn;

namespace {

using Bytes = std::vector<uint8_t>;

class Converter : public SimFixture {
protected:
    void SetUp() override {
        SimFixture::SetUp();
        char serial[16];
        ASSERT_EQ(probe_open(serial), 0);
        dev().clear_log();
    }

    // The transfers of the log as written frames, with a read shown as {}.
    std::vector<Bytes> transfers() const {
        std::vector<Bytes> out;
        for (const sim::Call& c : dev().log()) {
            if (c.fn == Fn::Write) out.push_back(c.bytes);
            if (c.fn == Fn::Read) out.push_back({});
        }
        return out;
    }

    // The data-out level at each rising clock edge while select is low: the
    // command bits as the converter sees them.
    static std::vector<int> bits_at_rising_edges(const Bytes& levels) {
        std::vector<int> bits;
        uint8_t prev = levels.empty() ? 0 : levels[0];
        for (uint8_t l : levels) {
            const bool rising = (l & converter_pins::kClock) && !(prev & converter_pins::kClock);
            if (rising && !(l & converter_pins::kSelect)) bits.push_back(l & converter_pins::kDataOut ? 1 : 0);
            prev = l;
        }
        return bits;
    }
};

Bytes set_frame(uint8_t level) { return {0x82, level, 0x5F}; }

}  // namespace

TEST_F(Converter, FramesOfAChannelZeroConversionAfterAnother) {
    read_adc_channel(0);  // leaves the levels at 0x1B
    dev().clear_log();
    read_adc_channel(0);

    std::vector<Bytes> expected;
    auto set = [&](uint8_t l) { expected.push_back(set_frame(l)); };
    set(0x19);
    set(0x19);
    for (int bit : {1, 1, 0, 0, 0}) {
        const uint8_t low = bit ? 0x1D : 0x19;
        set(low);
        set(low | 0x40);
        set(low);
    }
    for (uint8_t l : {0x59, 0x19, 0x59, 0x19}) set(l);
    for (int i = 0; i < 10; ++i) {
        set(0x59);
        expected.push_back({0x83});
        expected.push_back({});  // its read
        set(0x19);
    }
    set(0x1B);
    EXPECT_EQ(transfers(), expected);
}

TEST_F(Converter, FirstFrameAfterStartCarriesTheInitialLevels) {
    read_adc_channel(2);
    const auto writes = dev().calls(Fn::Write);
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes[0].bytes, set_frame(0x19));
}

TEST_F(Converter, TransferCountsOfOneConversion) {
    read_adc_channel(1);
    const auto writes = dev().calls(Fn::Write);
    const auto reads = dev().calls(Fn::Read);
    EXPECT_EQ(writes.size(), 52u);
    size_t bytes = 0;
    for (const auto& w : writes) bytes += w.bytes.size();
    EXPECT_EQ(bytes, 136u);
    ASSERT_EQ(reads.size(), 10u);
    for (const auto& r : reads) EXPECT_EQ(r.args[0], 1u);
    EXPECT_EQ(dev().log().size(), 62u);
}

TEST_F(Converter, CountsReadBackOnEveryChannel) {
    const uint16_t inputs[] = {0, 1, 2, 341, 511, 512, 513, 682, 1022, 1023};
    for (uint16_t value : inputs) {
        for (unsigned ch = 0; ch < 4; ++ch) {
            // Different values on the other channels catch a wrong selection.
            for (unsigned other = 0; other < 4; ++other)
                dev().set_input_count(other, static_cast<uint16_t>(1023 - value));
            dev().set_input_count(ch, value);
            EXPECT_EQ(read_adc_channel(static_cast<uint8_t>(ch)), value) << "channel " << ch;
            EXPECT_TRUE(adc_last_conversion_whole());
        }
    }
    EXPECT_EQ(dev().conversions(), 40u);
}

TEST_F(Converter, CommandBitsPerChannel) {
    const struct { uint8_t channel; std::vector<int> bits; } table[] = {
        {0, {1, 1, 0, 0, 0}}, {1, {1, 1, 0, 0, 1}}, {2, {1, 1, 0, 1, 0}},
        {3, {1, 1, 0, 1, 1}}, {9, {1, 1, 0, 0, 1}}, {0xFF, {1, 1, 1, 1, 1}},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(static_cast<int>(row.channel));
        const size_t first = dev().high_level_frames().size();
        read_adc_channel(row.channel);
        const Bytes levels(dev().high_level_frames().begin() + first,
                           dev().high_level_frames().end());
        const std::vector<int> edges = bits_at_rising_edges(levels);
        ASSERT_GE(edges.size(), 5u);
        EXPECT_EQ(std::vector<int>(edges.begin(), edges.begin() + 5), row.bits);
    }
}

TEST_F(Converter, ChannelAboveSevenReadsItsLowBits) {
    dev().set_input_count(1, 777);
    dev().set_input_count(3, 123);
    EXPECT_EQ(read_adc_channel(9), 777);    // 9 & 7 = 1
    EXPECT_EQ(read_adc_channel(0x0B), 123); // 11 & 7 = 3
}

TEST_F(Converter, LevelsLeftBehindDependOnTheLastCommandBit) {
    const struct { uint8_t channel; uint8_t last_level; } table[] = {
        {1, 0x1F}, {0, 0x1B}, {3, 0x1F}, {2, 0x1B}};
    for (const auto& row : table) {
        read_adc_channel(row.channel);
        EXPECT_EQ(dev().high_level_frames().back(), row.last_level) << int(row.channel);
    }
}

TEST_F(Converter, LevelsSurviveACloseAndReopen) {
    read_adc_channel(1);
    probe_close();
    char serial[16];
    ASSERT_EQ(probe_open(serial), 0);
    dev().clear_log();
    read_adc_channel(0);
    // Select low from 0x1F keeps data-out high from channel 1's last bit.
    EXPECT_EQ(dev().calls(Fn::Write).at(0).bytes, set_frame(0x1D));
}

TEST_F(Converter, EachSessionKeepsItsOwnChannelLevelsAndStep) {
    // The fixture's probe in the default session, a second one in its own.
    dev().add_probe("TV0002");
    dev().set_input_count(0, 2, 300);
    dev().set_input_count(1, 2, 800);
    read_adc_channel(1);
    auto second = std::make_unique<ProbeSession>();
    probe_use(second.get());
    char serial[16];
    ASSERT_EQ(probe_open_serial("TV0002B", serial), 0);
    dev().clear_log();
    EXPECT_EQ(read_adc_channel(2), 800);
    // The second chip's pins start from the initial levels, whatever the
    // first chip's were left at.
    EXPECT_EQ(dev().calls(Fn::Write).at(0).bytes, set_frame(0x19));

    // The first probe loses an answer: only its session falls out of step.
    probe_use(nullptr);
    dev().fail_call(Fn::Read, 1);
    {
        StreamCapture streams;
        read_adc_channel(2);
    }
    EXPECT_FALSE(probe_in_step());
    probe_use(second.get());
    EXPECT_TRUE(probe_in_step());
    EXPECT_EQ(read_adc_channel(2), 800);
    EXPECT_TRUE(adc_last_conversion_whole());

    // A session that ends gives its channel back, and the default one is current.
    second.reset();
    EXPECT_FALSE(dev().channel_open(1, 'B'));
    EXPECT_TRUE(dev().channel_open(0, 'B'));
    EXPECT_FALSE(probe_in_step());
}

TEST_F(Converter, ShortReadsStillCollectEveryAnswer) {
    dev().set_input_count(2, 600);
    dev().limit_reads(1);
    EXPECT_EQ(read_adc_channel(2), 600);
    EXPECT_TRUE(adc_last_conversion_whole());
}

TEST_F(Converter, EveryTransferFailingStopsAtTheFirstFailedRead) {
    dev().set_input_count(0, 1023);
    for (unsigned i = 1; i <= 52; ++i) dev().fail_call(Fn::Write, i);
    for (unsigned i = 1; i <= 10; ++i) dev().fail_call(Fn::Read, i);
    StreamCapture streams;
    EXPECT_EQ(read_adc_channel(0), 0);
    EXPECT_FALSE(adc_last_conversion_whole());
    // 2 + 15 + 4 set frames first, then the first sample: set, read frame,
    // read. A write that sent nothing leaves the streams in step; the failed
    // read does not, and nothing after it can be trusted: no more transfers.
    EXPECT_EQ(dev().log().size(), 24u);
    std::string expected;
    for (int i = 0; i < 23; ++i) expected += "FT_Write error";
    expected += "FT_Read error";
    EXPECT_EQ(streams.err(), expected);
    EXPECT_EQ(streams.out(), "");
}

TEST_F(Converter, UnansweredSamplesReadZeroAndMakeTheConversionPartial) {
    dev().set_input_count(3, 1023);
    dev().limit_reads(0);
    StreamCapture streams;
    const uint64_t before = clock.now_ms();
    EXPECT_EQ(read_adc_channel(3), 0);
    EXPECT_FALSE(adc_last_conversion_whole());
    // One read waits out its time-out; the rest of the conversion makes no
    // transfer and costs no time.
    EXPECT_EQ(streams.err(), "Couldn't read the requested number of bytes from FT2232");
    EXPECT_EQ(dev().calls(Fn::Read).size(), 1u);
    EXPECT_EQ(dev().calls(Fn::Write).size(), 2u + 15u + 4u + 2u);
    EXPECT_EQ(clock.now_ms() - before, probe_settings::kReadTimeoutMs);

    // Later conversions make none either, until the channel is reopened.
    dev().clear_log();
    EXPECT_EQ(read_adc_channel(3), 0);
    EXPECT_FALSE(adc_last_conversion_whole());
    EXPECT_TRUE(dev().log().empty());
    EXPECT_EQ(clock.now_ms() - before, probe_settings::kReadTimeoutMs);
}

TEST_F(Converter, OneShortWriteMakesTheConversionPartial) {
    dev().set_input_count(0, 100);
    EXPECT_EQ(read_adc_channel(0), 100);
    EXPECT_TRUE(adc_last_conversion_whole());
    dev().limit_writes(1);
    read_adc_channel(0);
    EXPECT_FALSE(adc_last_conversion_whole());
    // The engine saw broken commands; a new open resets it.
    dev().limit_writes(-1);
    probe_close();
    char serial[16];
    ASSERT_EQ(probe_open(serial), 0);
    EXPECT_EQ(read_adc_channel(0), 100);
    EXPECT_TRUE(adc_last_conversion_whole());
}

TEST_F(Converter, LostAnswersKeepLaterConversionsPartialUntilReopened) {
    dev().set_input_count(2, 300);
    dev().limit_reads(0);
    {
        StreamCapture streams;
        read_adc_channel(2);
    }
    // The unread answers are still queued: what comes next is stale.
    dev().limit_reads(-1);
    dev().set_input_count(2, 700);
    read_adc_channel(2);
    EXPECT_FALSE(adc_last_conversion_whole());

    probe_close();
    char serial[16];
    ASSERT_EQ(probe_open(serial), 0);
    EXPECT_EQ(read_adc_channel(2), 700);
    EXPECT_TRUE(adc_last_conversion_whole());
}

TEST_F(Converter, WriteThatSentNothingSpoilsOnlyItsOwnConversion) {
    dev().set_input_count(3, 512);
    dev().fail_call(Fn::Write, 30);
    {
        StreamCapture streams;
        read_adc_channel(3);
    }
    EXPECT_FALSE(adc_last_conversion_whole());
    EXPECT_EQ(read_adc_channel(3), 512);
    EXPECT_TRUE(adc_last_conversion_whole());
}

TEST_F(Converter, OneFailedReadMakesTheConversionPartial) {
    dev().set_input_count(1, 1023);
    dev().fail_call(Fn::Read, 4);
    StreamCapture streams;
    const uint16_t count = read_adc_channel(1);
    EXPECT_FALSE(adc_last_conversion_whole());
    // The fourth bit sampled reads 0, and so does every later one: after the
    // failed read no answer can be trusted, so none is read.
    EXPECT_EQ(count, 0x380);
    EXPECT_EQ(dev().calls(Fn::Read).size(), 4u);
    EXPECT_EQ(streams.err(), "FT_Read error");
}

TEST_F(Converter, NotWholeBeforeTheFirstConversion) {
    EXPECT_FALSE(adc_last_conversion_whole());
}

TEST_F(Converter, UnansweredPinSampleTestsTheCommandByte) {
    dev().limit_reads(0);
    StreamCapture streams;
    EXPECT_EQ(read_high_pin(converter_pins::kDataIn), 0);
    for (uint8_t mask : {0x01, 0x02, 0x80}) EXPECT_EQ(read_high_pin(mask), 1) << int(mask);
}

TEST_F(Converter, PinSampleSeesOutputsAndTheConverter) {
    ASSERT_EQ(set_high_pins(0x01, true), 0);
    EXPECT_EQ(read_high_pin(0x01), 1);  // an output reads back its level
    EXPECT_EQ(read_high_pin(0x02), 0);  // select is low at start
    EXPECT_EQ(read_high_pin(0x80), 1);  // an input nobody drives: pulled up
}

TEST_F(Converter, FailedSetFrameKeepsTheNewLevels) {
    dev().fail_call(Fn::Write, 1);
    StreamCapture streams;
    EXPECT_EQ(set_high_pins(converter_pins::kClock, true), 1);
    EXPECT_EQ(set_high_pins(0x00, true), 0);
    EXPECT_EQ(dev().calls(Fn::Write).back().bytes, set_frame(0x59));
}
