// The channel's driver calls, results and diagnostics, against the
// simulated probe.
#include "probe/probe_channel.h"
#include "probe/probe_session.h"
#include "d2xx/abandon.h"

#include "open_steps.h"
#include "sim_fixture.h"
#include "stream_capture.h"

#include <cstring>

using sim::Fn;

namespace {

class ProbeChannel : public SimFixture {
protected:
    std::vector<Fn> called() const {
        std::vector<Fn> fns;
        for (const sim::Call& c : sim::device().log()) fns.push_back(c.fn);
        return fns;
    }
    // Opens the channel, then forgets the calls that took.
    void open_ready() {
        char serial[16];
        ASSERT_EQ(probe_open(serial), 0);
        dev().clear_log();
    }
    // Queues n answer bytes in the engine: one read-pins command each.
    void queue_answers(uint32_t n) {
        const std::vector<unsigned char> cmds(n, 0x83);
        uint32_t written = 0;
        ASSERT_EQ(probe_write(cmds.data(), n, &written), 0);
        dev().clear_log();
    }
};

}  // namespace

TEST_F(ProbeChannel, OpenConfiguresChannelBAndFillsTheSerial) {
    dev().set_chip_serial("TV1234");
    StreamCapture streams;
    char serial[16];
    std::memset(serial, 'x', sizeof serial);

    EXPECT_EQ(probe_open(serial), 0);
    EXPECT_STREQ(serial, "TV1234B");
    EXPECT_EQ(streams.out(), "");
    EXPECT_EQ(streams.err(), "");

    std::vector<Fn> expected;
    for (const OpenStep& step : kOpenSteps) expected.push_back(step.fn);
    ASSERT_EQ(called(), expected);
    const auto& log = dev().log();
    EXPECT_EQ(log[0].text, "TALVIRO B");
    EXPECT_EQ(log[0].args, (std::vector<uint32_t>{FT_OPEN_BY_DESCRIPTION}));
    EXPECT_EQ(log[1].args, (std::vector<uint32_t>{2}));
    EXPECT_EQ(log[3].args, (std::vector<uint32_t>{5000, 5000}));
    EXPECT_EQ(log[4].args, (std::vector<uint32_t>{0x05, 0x02}));
    EXPECT_EQ(log[5].args, (std::vector<uint32_t>{FT_PURGE_RX | FT_PURGE_TX}));
    for (size_t i = 1; i < log.size(); ++i) EXPECT_EQ(log[i].handle, log[0].handle);
    EXPECT_TRUE(dev().channel_open('B'));
}

class ProbeOpenFailure : public ProbeChannel, public ::testing::WithParamInterface<OpenStep> {};

// Each step failing in turn: its own text on its own stream, nothing later
// called, the channel closed again, and the next open succeeds.
TEST_P(ProbeOpenFailure, ReportsTheStepStopsAndClosesTheChannel) {
    const OpenStep step = GetParam();
    dev().fail_call(step.fn, 1);
    StreamCapture streams;
    char serial[16];
    std::memset(serial, 'x', sizeof serial);

    EXPECT_EQ(probe_open(serial), 1);
    EXPECT_EQ(streams.out(), step.on_stdout ? step.text : "");
    EXPECT_EQ(streams.err(), step.on_stdout ? "" : step.text);

    std::vector<Fn> fns = called();
    std::vector<Fn> expected;
    for (const OpenStep& each : kOpenSteps) {
        expected.push_back(each.fn);
        if (each.fn == step.fn) break;
    }
    if (step.fn != Fn::OpenEx) expected.push_back(Fn::Close);
    EXPECT_EQ(fns, expected);
    EXPECT_FALSE(dev().channel_open('B'));
    EXPECT_EQ(std::string(serial, sizeof serial), std::string(16, 'x'));

    streams.clear();
    EXPECT_EQ(probe_open(serial), 0);
    EXPECT_STREQ(serial, "TV0001B");
    EXPECT_EQ(streams.out() + streams.err(), "");
}

INSTANTIATE_TEST_SUITE_P(EachStep, ProbeOpenFailure, ::testing::ValuesIn(kOpenSteps),
                         open_step_name);

TEST_F(ProbeChannel, OpenWithoutAProbeMakesOneCall) {
    dev().unplug();
    StreamCapture streams;
    char serial[16];
    EXPECT_EQ(probe_open(serial), 1);
    EXPECT_EQ(streams.out(), "Unable to open FTDI Device");
    EXPECT_EQ(streams.err(), "");
    EXPECT_EQ(called(), std::vector<Fn>{Fn::OpenEx});
}

TEST_F(ProbeChannel, SerialFromABrokenDriverIsTerminated) {
    const char raw[16] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H',
                          'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P'};
    dev().set_unterminated_serial(raw);
    char serial[16];
    ASSERT_EQ(probe_open(serial), 0);
    EXPECT_EQ(std::string(serial), "ABCDEFGHIJKLMNO");
}

TEST_F(ProbeChannel, CloseAlwaysReturnsZeroAndWritesNothing) {
    open_ready();
    dev().fail_call(Fn::Close, 1);
    StreamCapture streams;
    EXPECT_EQ(probe_close(), 0);
    EXPECT_EQ(streams.out() + streams.err(), "");
    ASSERT_EQ(called(), std::vector<Fn>{Fn::Close});
    EXPECT_NE(dev().log()[0].status, FT_OK);
}

TEST_F(ProbeChannel, CloseThenOpenAgain) {
    open_ready();
    EXPECT_EQ(probe_close(), 0);
    EXPECT_FALSE(dev().channel_open('B'));
    char serial[16];
    EXPECT_EQ(probe_open(serial), 0);
}

TEST_F(ProbeChannel, ShortWriteIsSuccessWithTheDriversCount) {
    open_ready();
    dev().limit_writes(2);
    const unsigned char frame[3] = {0x82, 0x19, 0x5F};
    uint32_t written = 99;
    StreamCapture streams;
    EXPECT_EQ(probe_write(frame, 3, &written), 0);
    EXPECT_EQ(written, 2u);
    EXPECT_EQ(streams.err(), "");
}

TEST_F(ProbeChannel, FailedWriteReportsAndStillStoresTheCount) {
    open_ready();
    dev().fail_call(Fn::Write, 1);
    const unsigned char frame[3] = {0x82, 0x19, 0x5F};
    uint32_t written = 99;
    StreamCapture streams;
    EXPECT_EQ(probe_write(frame, 3, &written), 1);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(streams.err(), "FT_Write error");
    EXPECT_EQ(streams.out(), "");
}

TEST_F(ProbeChannel, ReadOfNothingMakesNoDriverCall) {
    open_ready();
    unsigned char buf[1];
    uint32_t received = 7;
    EXPECT_EQ(probe_read(buf, 0, &received), 0);
    EXPECT_EQ(received, 0u);
    EXPECT_TRUE(dev().log().empty());
}

TEST_F(ProbeChannel, ReadCollectsBytesOverSeveralCalls) {
    open_ready();
    // Three answers that differ: the pins driven to a new level before each.
    const unsigned char cmds[] = {0x82, 0x11, 0xFF, 0x83, 0x82, 0x22, 0xFF, 0x83,
                                  0x82, 0x44, 0xFF, 0x83};
    uint32_t written = 0;
    ASSERT_EQ(probe_write(cmds, sizeof cmds, &written), 0);
    dev().clear_log();
    dev().limit_reads(1);
    unsigned char buf[3] = {};
    uint32_t received = 0;
    EXPECT_EQ(probe_read(buf, 3, &received), 0);
    EXPECT_EQ(received, 3u);
    const auto reads = dev().calls(Fn::Read);
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[0].args[0], 3u);
    EXPECT_EQ(reads[1].args[0], 2u);
    EXPECT_EQ(reads[2].args[0], 1u);
    // Each answer landed at its own offset.
    EXPECT_EQ(std::vector<unsigned char>(buf, buf + 3), (std::vector<unsigned char>{0x11, 0x22, 0x44}));
}

TEST_F(ProbeChannel, ReadGivesUpAfterOneAttemptThatWaitedOutItsTimeOutForNothing) {
    open_ready();
    unsigned char buf[4];
    uint32_t received = 9;
    StreamCapture streams;
    const uint64_t before = clock.now_ms();
    EXPECT_EQ(probe_read(buf, 4, &received), 1);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(dev().calls(Fn::Read).size(), 1u);
    EXPECT_EQ(streams.err(), "Couldn't read the requested number of bytes from FT2232");
    EXPECT_FALSE(probe_in_step());
    // A silent chip costs one read time-out, not five.
    EXPECT_EQ(clock.now_ms() - before, 5000u);
}

// A program that reads several probes gives each a shorter read time-out:
// the open and the reopen's engine check leave it set, and a silent chip
// costs that, not kReadTimeoutMs.
TEST_F(ProbeChannel, ASessionsReadTimeOutBoundsItsReads) {
    constexpr uint32_t kShortMs = 400;
    ProbeSession session(kShortMs);
    probe_use(&session);
    char serial[16];
    ASSERT_EQ(probe_open(serial), 0);
    ASSERT_EQ(probe_reopen(serial, serial), 0);
    const std::vector<sim::Call> set = dev().calls(Fn::SetTimeouts);
    ASSERT_FALSE(set.empty());
    EXPECT_EQ(set.back().args, (std::vector<uint32_t>{kShortMs, probe_settings::kWriteTimeoutMs}));
    unsigned char buf[1];
    uint32_t received = 0;
    const uint64_t before = clock.now_ms();
    StreamCapture streams;
    EXPECT_EQ(probe_read(buf, 1, &received), 1);
    EXPECT_EQ(clock.now_ms() - before, kShortMs);
    probe_use(nullptr);
}

TEST_F(ProbeChannel, ReadStopsAtTheFirstAttemptThatBringsNothingAfterOnesThatBroughtSome) {
    open_ready();
    queue_answers(2);
    dev().limit_reads(1);
    unsigned char buf[4];
    uint32_t received = 0;
    StreamCapture streams;
    EXPECT_EQ(probe_read(buf, 4, &received), 1);
    EXPECT_EQ(received, 2u);
    EXPECT_EQ(dev().calls(Fn::Read).size(), 3u);
    EXPECT_EQ(streams.err(), "Couldn't read the requested number of bytes from FT2232");
}

TEST_F(ProbeChannel, AbandonedWaitEndsTheReadSilentlyAndOutOfStep) {
    open_ready();
    EXPECT_FALSE(probe_waits_abandoned());
    probe_abandon_waits();
    unsigned char buf[1];
    uint32_t received = 9;
    StreamCapture streams;
    const uint64_t before = clock.now_ms();
    EXPECT_EQ(probe_read(buf, 1, &received), 1);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(dev().calls(Fn::Read).size(), 1u);
    // The driver gave up its wait; the program is ending, nothing is reported.
    EXPECT_LT(clock.now_ms() - before, 5000u);
    EXPECT_EQ(streams.err(), "");
    EXPECT_TRUE(probe_waits_abandoned());
    EXPECT_FALSE(probe_in_step());

    // An answering probe is still read whole, and a new open starts afresh.
    d2xx_clear_abandon();
    probe_close();
    open_ready();
    EXPECT_FALSE(probe_waits_abandoned());
    probe_abandon_waits();
    queue_answers(1);
    EXPECT_EQ(probe_read(buf, 1, &received), 0);
    EXPECT_EQ(received, 1u);
    EXPECT_TRUE(probe_in_step());
    EXPECT_FALSE(probe_waits_abandoned());
}

TEST_F(ProbeChannel, ReadKeepsWhatArrivedWhenFiveAttemptsFallShort) {
    open_ready();
    queue_answers(6);
    dev().limit_reads(1);
    unsigned char buf[6];
    uint32_t received = 0;
    StreamCapture streams;
    EXPECT_EQ(probe_read(buf, 6, &received), 1);
    EXPECT_EQ(received, 5u);
    EXPECT_EQ(dev().calls(Fn::Read).size(), 5u);
    EXPECT_EQ(streams.err(), "Couldn't read the requested number of bytes from FT2232");
}

TEST_F(ProbeChannel, ReadFailureDiscardsEarlierBytes) {
    open_ready();
    queue_answers(4);
    dev().limit_reads(1);
    dev().fail_call(Fn::Read, 3);
    unsigned char buf[4];
    uint32_t received = 0;
    StreamCapture streams;
    EXPECT_EQ(probe_read(buf, 4, &received), 1);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(dev().calls(Fn::Read).size(), 3u);
    EXPECT_EQ(streams.err(), "FT_Read error");
}

TEST_F(ProbeChannel, SuccessiveFailuresRunTogether) {
    open_ready();
    dev().fail_call(Fn::Write, 1);
    dev().fail_call(Fn::Read, 1);
    StreamCapture streams;
    const unsigned char cmd = 0x83;
    unsigned char buf[1];
    uint32_t n = 0;
    EXPECT_EQ(probe_write(&cmd, 1, &n), 1);
    EXPECT_EQ(probe_read(buf, 1, &n), 1);
    EXPECT_EQ(streams.err(), "FT_Write errorFT_Read error");
}

TEST_F(ProbeChannel, StreamsStayInStepUntilABytePairingIsLost) {
    EXPECT_FALSE(probe_in_step());
    open_ready();
    EXPECT_TRUE(probe_in_step());

    StreamCapture streams;
    const unsigned char frame[3] = {0x82, 0x19, 0x5F};
    uint32_t n = 0;
    dev().fail_call(Fn::Write, 1);  // nothing sent: still in step
    probe_write(frame, 3, &n);
    EXPECT_TRUE(probe_in_step());
    dev().limit_writes(3);  // whole frames only
    probe_write(frame, 3, &n);
    EXPECT_TRUE(probe_in_step());
    dev().limit_writes(2);  // the chip got part of a command
    probe_write(frame, 3, &n);
    EXPECT_FALSE(probe_in_step());

    probe_close();
    char serial[16];
    ASSERT_EQ(probe_open(serial), 0);
    EXPECT_TRUE(probe_in_step());
    unsigned char buf[1];
    EXPECT_EQ(probe_read(buf, 1, &n), 1);  // the answer may still come late
    EXPECT_FALSE(probe_in_step());

    probe_close();
    ASSERT_EQ(probe_open(serial), 0);
    dev().fail_call(Fn::Read, 1);
    EXPECT_EQ(probe_read(buf, 1, &n), 1);
    EXPECT_FALSE(probe_in_step());
}
