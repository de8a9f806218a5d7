// The capture thread over the simulated probe, in real time: its pace, its
// stamps, its stop and the channel it hands back, as the driver sees them.
// Built once more with ThreadSanitizer (capture.tsan): the test thread only
// steers the simulated device through its call hook, which runs on the
// thread that makes the driver call.
#include "console/capture.h"
#include "probe/probe_channel.h"
#include "probe/converter.h"

#include "sim_fixture.h"

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

using console::Capture;
using console::Taken;
using sim::Fn;
using std::chrono::milliseconds;

namespace {

// Every wait in a test is bounded by this; the test never needs it whole.
constexpr milliseconds kGenerous(10000);
// The bus time of one transfer of the modelled probe: 248 of them make a
// readout of the real probe's order (about 31 ms).
constexpr std::chrono::microseconds kTransferTime(100);
constexpr int kTransfersPerReadout = 248;
constexpr uint16_t kInputs[] = {100, 200, 300, 400};
constexpr uint16_t kReplugged[] = {900, 800, 700, 600};

int64_t sim_ms() { return static_cast<int64_t>(sim::real_clock().now_ms()); }

class CaptureTest : public SimFixture {
protected:
    void SetUp() override {
        SimFixture::SetUp();
        // Real time, on the clock the driver log is stamped with.
        dev().set_clock(nullptr);
        for (unsigned ch = 0; ch < 4; ++ch) dev().set_input_count(ch, kInputs[ch]);
        dev().set_call_hook([this] {
            // Owed bus time is slept in whole milliseconds: shorter sleeps
            // last a millisecond or more under Wine.
            owed_ += kTransferTime;
            if (owed_ >= std::chrono::milliseconds(1)) {
                std::this_thread::sleep_for(owed_);
                owed_ = {};
            }
            if (replug_.exchange(false)) {
                dev().plug_in();
                for (unsigned ch = 0; ch < 4; ++ch) dev().set_input_count(ch, kReplugged[ch]);
            }
        });
        char serial[probe_settings::kSerialSize] = {};
        ASSERT_EQ(probe_open(serial), 0);
        dev().clear_log();
    }
    void TearDown() override {
        capture_.stop();
        probe_close();
        dev().set_call_hook({});
        SimFixture::TearDown();
    }

    std::vector<Taken> drained() {
        std::vector<Taken> all;
        capture_.drain(all);
        return all;
    }
    static bool has_counts(const Taken& taken, const uint16_t (&counts)[4]) {
        for (int i = 0; i < 4; ++i) {
            const console::Conversion& c = taken.sample.conversions[static_cast<size_t>(i)];
            if (!c.whole || c.count != counts[readings::kChannels[i].converter_channel]) return false;
        }
        return true;
    }
    // Milliseconds a stop took.
    int64_t timed_stop(bool* handed_back) {
        const auto begun = std::chrono::steady_clock::now();
        *handed_back = capture_.stop();
        return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - begun)
            .count();
    }
    // FT_Close calls per handle in the log.
    static std::map<FT_HANDLE, int> closes() {
        std::map<FT_HANDLE, int> count;
        for (const sim::Call& c : dev().calls(Fn::Close)) ++count[c.handle];
        return count;
    }

    Capture capture_{sim_ms};
    std::atomic<bool> replug_{false};
    // Bus time not slept yet; only the thread that calls the driver uses it.
    std::chrono::microseconds owed_{0};
};

}  // namespace

TEST_F(CaptureTest, BusPaceTakesReadoutsEachStampedWhenItsTransfersRan) {
    const int64_t started_ms = sim_ms();
    ASSERT_TRUE(capture_.start(console::kCaptureBusPace, probe_name()));
    // Drained as a window does, while readouts are taken, and once more
    // after the stop.
    std::vector<Taken> taken;
    const auto give_up = std::chrono::steady_clock::now() + kGenerous;
    while (taken.size() < 12 && std::chrono::steady_clock::now() < give_up) {
        capture_.drain(taken);
        std::this_thread::sleep_for(milliseconds(1));
    }
    bool handed_back = false;
    timed_stop(&handed_back);
    ASSERT_TRUE(handed_back);
    capture_.drain(taken);

    ASSERT_GE(taken.size(), 12u);
    // The driver saw the readouts' transfers only: no wait, no other call.
    const std::vector<sim::Call>& log = dev().log();
    ASSERT_EQ(log.size(), taken.size() * kTransfersPerReadout);
    for (size_t k = 0; k < taken.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_TRUE(has_counts(taken[k], kInputs));
        const sim::Call& first = log[k * kTransfersPerReadout];
        EXPECT_EQ(first.fn, Fn::Write);
        // Stamped when its transfers ran, not when it was drained: after
        // the readout before it ended, before its own first transfer.
        EXPECT_LE(taken[k].time_ms, static_cast<int64_t>(first.time_ms));
        const int64_t before = k == 0 ? started_ms : static_cast<int64_t>(log[k * kTransfersPerReadout - 1].time_ms);
        EXPECT_GE(taken[k].time_ms, before);
    }
}

TEST_F(CaptureTest, APeriodIsKeptOnItsGridAndNeverBeaten) {
    constexpr uint64_t kPeriodMs = 100;
    ASSERT_TRUE(capture_.start(kPeriodMs, probe_name()));
    ASSERT_TRUE(capture_.wait_taken(5, kGenerous));
    bool handed_back = false;
    timed_stop(&handed_back);
    const std::vector<Taken> taken = drained();
    ASSERT_GE(taken.size(), 5u);
    for (size_t k = 1; k < taken.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_TRUE(has_counts(taken[k], kInputs));
        // Readout k starts in slot k of the grid or later, never before.
        EXPECT_GE(taken[k].time_ms - taken[0].time_ms, static_cast<int64_t>(k * kPeriodMs) - 1);
        // And with a readout of ~31 ms, a slot is never skipped, but the
        // machine may be loaded: at most half a second behind.
        EXPECT_LE(taken[k].time_ms - taken[k - 1].time_ms, static_cast<int64_t>(kPeriodMs) + 500);
    }
}

TEST_F(CaptureTest, StopEndsWithinItsBoundAndHandsTheOpenChannelBackOnce) {
    ASSERT_TRUE(capture_.start(console::kCaptureBusPace, probe_name()));
    ASSERT_TRUE(capture_.wait_taken(3, kGenerous));
    bool handed_back = false;
    EXPECT_LE(timed_stop(&handed_back), static_cast<int64_t>(console::kCaptureStopMs));
    EXPECT_TRUE(handed_back);
    EXPECT_FALSE(capture_.stop());  // once only
    EXPECT_FALSE(capture_.running());

    // The channel is the starter's again, open and in step: the capture
    // closed nothing, and the owner's own readout goes through whole.
    EXPECT_TRUE(dev().calls(Fn::Close).empty());
    EXPECT_TRUE(probe_in_step());
    const size_t calls_before = dev().log().size();
    EXPECT_TRUE(console::read_probe().whole());
    EXPECT_EQ(dev().log().size(), calls_before + kTransfersPerReadout);
    probe_close();
    EXPECT_EQ(dev().calls(Fn::Close).size(), 1u);
    EXPECT_FALSE(dev().channel_open('B'));

    // A new capture over a channel opened again starts afresh.
    char serial[probe_settings::kSerialSize] = {};
    ASSERT_EQ(probe_open(serial), 0);
    ASSERT_TRUE(capture_.start(console::kCaptureBusPace, probe_name()));
    EXPECT_TRUE(capture_.wait_taken(1, kGenerous));
    EXPECT_TRUE(capture_.stop());
}

TEST_F(CaptureTest, AnUnpluggedProbeIsAGapAndTheReplugResumesWithNoOldReadout) {
    // About two readouts in, the probe goes.
    dev().unplug_after_calls(2 * kTransfersPerReadout + 100);
    ASSERT_TRUE(capture_.start(console::kCaptureBusPace, probe_name()));
    ASSERT_TRUE(capture_.wait_taken(3, kGenerous));
    std::vector<Taken> taken = drained();
    ASSERT_EQ(taken.size(), 3u);
    EXPECT_TRUE(has_counts(taken[0], kInputs));
    EXPECT_TRUE(has_counts(taken[1], kInputs));
    // The readout cut by the unplug is not whole: a gap, and the probe is looked for.
    EXPECT_FALSE(taken[2].sample.whole());
    EXPECT_TRUE(taken[2].sample.channel_lost);
    // Away, nothing more is taken.
    EXPECT_FALSE(capture_.wait_taken(4, milliseconds(3 * console::kCaptureReconnectAttemptMs)));

    const int64_t replugged_at = sim_ms();
    replug_ = true;
    ASSERT_TRUE(capture_.wait_taken(6, kGenerous));
    bool handed_back = false;
    EXPECT_LE(timed_stop(&handed_back), static_cast<int64_t>(console::kCaptureStopMs));
    EXPECT_TRUE(handed_back);
    capture_.drain(taken);
    ASSERT_GE(taken.size(), 6u);
    // Back within the bound, and from then on only the replugged probe's readouts.
    EXPECT_LE(taken[3].time_ms - replugged_at, static_cast<int64_t>(console::kCaptureStopMs));
    for (size_t k = 3; k < taken.size(); ++k) EXPECT_TRUE(has_counts(taken[k], kReplugged)) << k;

    // The lost channel was given back once by the capture, the new one is
    // the owner's, open and in step; the owner's close is its only close.
    std::map<FT_HANDLE, int> closed = closes();
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed.begin()->second, 1);
    EXPECT_TRUE(probe_in_step());
    probe_close();
    closed = closes();
    ASSERT_EQ(closed.size(), 2u);
    for (const auto& handle_count : closed) EXPECT_EQ(handle_count.second, 1);
}

TEST_F(CaptureTest, AStopWhileTheProbeIsAwayEndsAtOnceWithTheChannelClosed) {
    dev().unplug_after_calls(kTransfersPerReadout / 2);
    ASSERT_TRUE(capture_.start(console::kCaptureBusPace, probe_name()));
    ASSERT_TRUE(capture_.wait_taken(1, kGenerous));
    bool handed_back = false;
    EXPECT_LE(timed_stop(&handed_back), static_cast<int64_t>(console::kCaptureStopMs));
    EXPECT_TRUE(handed_back);
    const std::vector<Taken> taken = drained();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_FALSE(taken[0].sample.whole());
    // Handed back closed: the owner's reconnect takes it from there.
    EXPECT_FALSE(probe_in_step());
    EXPECT_FALSE(dev().channel_open('B'));
}
