// "Refresh continuously": one readout per second from the tick on, none
// after the untick. The timer's settings are checked directly; its real
// rhythm is measured from the simulated probe's call log, whose entries carry
// the driver clock's time (here the real monotonic clock).
#include "window_test.h"

#include <gtest/gtest.h>

#include <vector>

using namespace gui_test;
using sim::Fn;

namespace {

constexpr uint64_t kPeriodMs = 1000;
#ifdef _WIN32
// The toolkit's timer is a window timer, which runs on the system tick
// (15.6 ms), not on the driver's monotonic clock: it may fire up to a tick
// early by that clock.
constexpr uint64_t kRoundingMs = 16;
#else
// The driver clock and the toolkit's timer both run on the monotonic clock;
// this covers the rounding of the log's milliseconds.
constexpr uint64_t kRoundingMs = 2;
#endif
// A late tick never makes a gap this long unless the period is wrong.
constexpr uint64_t kLateLimitMs = 500;
constexpr std::size_t kReadoutsToWatch = 3;
constexpr int kWatchLimitMs = 10000;

}  // namespace

class guiRefreshTimer : public WindowTest {
protected:
    // Start time of every readout since mark: its first transfer.
    std::vector<uint64_t> readout_starts(std::size_t mark) const {
        std::vector<uint64_t> starts;
        std::size_t writes = 0;
        const auto& log = dev().log();
        for (std::size_t i = mark; i < log.size(); ++i) {
            if (log[i].fn != Fn::Write) continue;
            if (writes % kWritesPerReadout == 0) starts.push_back(log[i].time_ms);
            ++writes;
        }
        return starts;
    }
};

TEST_F(guiRefreshTimer, TickStartsAPeriodicOneSecondTimerWithoutReadingAtOnce) {
    open_window();
    ASSERT_FALSE(frame->Timer1.IsRunning());
    const std::size_t mark = log_mark();
    toggle(frame->CheckBox2);

    EXPECT_TRUE(frame->Timer1.IsRunning());
    EXPECT_EQ(frame->Timer1.GetInterval(), 1000);
    EXPECT_FALSE(frame->Timer1.IsOneShot());
    EXPECT_FALSE(frame->Button3->IsEnabled());
    EXPECT_EQ(log_mark(), mark);

    toggle(frame->CheckBox2);
    EXPECT_FALSE(frame->Timer1.IsRunning());
    EXPECT_TRUE(frame->Button3->IsEnabled());
}

TEST_F(guiRefreshTimer, EachTimerEventIsOneReadoutShowingTheNewInputs) {
    open_window();
    toggle(frame->CheckBox2);
    const struct {
        uint16_t count;
        const char* text;
    } inputs[] = {{100, "A1 = 1.11 V"}, {449, "A1 = 5.00 V"}, {897, "A1 = 10.00 V"}};
    for (const auto& input : inputs) {
        SCOPED_TRACE(input.count);
        dev().set_input_count(0, input.count);
        const std::size_t mark = log_mark();
        wxTimerEvent tick(frame->Timer1);
        ASSERT_EQ(tick.GetId(), talviro_guiFrame::ID_TIMER1);
        frame->ProcessWindowEvent(tick);
        EXPECT_EQ(readouts_since(mark), 1u);
        EXPECT_EQ(label(frame->StaticText1), input.text);
    }
    expect_refreshing();
}

TEST_F(guiRefreshTimer, ReadsEverySecondFromTheTickAndStopsAtTheUntick) {
    dev().set_clock(nullptr);
    open_window();
    const std::size_t mark = log_mark();
    const uint64_t ticked_at = dev().clock().now_ms();
    toggle(frame->CheckBox2);

    ASSERT_TRUE(run_event_loop_until(
        [&] { return readouts_since(mark) >= kReadoutsToWatch; }, kWatchLimitMs))
        << "only " << readouts_since(mark) << " readouts in " << kWatchLimitMs << " ms";
    const std::vector<uint64_t> starts = readout_starts(mark);
    ASSERT_EQ(starts.size(), kReadoutsToWatch);

    EXPECT_GE(starts[0] + kRoundingMs, ticked_at + kPeriodMs) << "first readout too early";
    EXPECT_LT(starts[0], ticked_at + kPeriodMs + kLateLimitMs) << "first readout too late";
    for (std::size_t i = 1; i < starts.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_GE(starts[i] - starts[i - 1] + kRoundingMs, kPeriodMs);
        EXPECT_LT(starts[i] - starts[i - 1], kPeriodMs + kLateLimitMs);
    }

    toggle(frame->CheckBox2);
    const std::size_t unticked = log_mark();
    run_event_loop_for(static_cast<int>(2 * kPeriodMs + kLateLimitMs));
    EXPECT_EQ(log_mark(), unticked) << "the probe was read after the untick";
    expect_connected();
}
