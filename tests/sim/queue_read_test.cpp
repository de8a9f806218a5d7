// The read of the Windows driver layer (d2xx/windows/queue_read.h) over the
// simulated driver: it waits by looking at the receive queue, takes only
// what has arrived, keeps the read time-out and gives a wait up within one
// slice once waits are abandoned.
#include "d2xx/windows/queue_read.h"

#include "d2xx/abandon.h"
#include "d2xx/sim/sim_probe.h"

#include "sim_fixture.h"

#include <algorithm>
#include <functional>
#include <vector>

using sim::Fn;

namespace {

constexpr uint8_t kReadHighPins = 0x83;
constexpr uint32_t kReadTimeoutMs = 5000;

class QueueRead : public SimFixture {
protected:
    void SetUp() override {
        SimFixture::SetUp();
        ASSERT_EQ(FT_OpenEx(const_cast<char*>("TALVIRO B"), FT_OPEN_BY_DESCRIPTION, &handle_), FT_OK);
        ASSERT_EQ(FT_SetBitMode(handle_, 0, FT_BITMODE_MPSSE), FT_OK);
    }
    void TearDown() override {
        d2xx_clear_abandon();
        SimFixture::TearDown();
    }
    // Has the engine answer count pin reads.
    void ask(uint32_t count) {
        std::vector<uint8_t> reads(count, kReadHighPins);
        uint32_t written = 0;
        ASSERT_EQ(FT_Write(handle_, reads.data(), count, &written), FT_OK);
        ASSERT_EQ(written, count);
    }
    FT_STATUS read(uint32_t count, uint32_t* returned) {
        buffer_.assign(count, 0);
        const d2xx_windows::ReadClock read_clock{[this] { return clock.now_ms(); },
                                                 [this](uint32_t ms) {
                                                     sleeps_.push_back(ms);
                                                     clock.sleep_ms(ms);
                                                     if (on_sleep_) on_sleep_();
                                                 }};
        return d2xx_windows::read_arrived({FT_GetQueueStatus, FT_Read}, read_clock, handle_,
                                          buffer_.data(), count, kReadTimeoutMs, returned);
    }
    uint32_t longest_sleep() const {
        return sleeps_.empty() ? 0 : *std::max_element(sleeps_.begin(), sleeps_.end());
    }

    FT_HANDLE handle_ = nullptr;
    std::vector<uint8_t> buffer_;
    std::vector<uint32_t> sleeps_;
    std::function<void()> on_sleep_;
};

}  // namespace

TEST(PollSleep, DoublesFromOneMillisecondToTheSlice) {
    const struct {
        uint32_t empty_looks, sleep_ms;
    } table[] = {{1, 1}, {2, 2}, {3, 4}, {6, 32}, {7, 50}, {8, 50}, {UINT32_MAX, 50}};
    for (const auto& row : table)
        EXPECT_EQ(d2xx_windows::poll_sleep_ms(row.empty_looks), row.sleep_ms) << row.empty_looks;
}

TEST_F(QueueRead, TakesOnlyWhatHasArrived) {
    ask(3);
    uint32_t returned = 0;
    EXPECT_EQ(read(2, &returned), FT_OK);
    EXPECT_EQ(returned, 2u);
    EXPECT_TRUE(sleeps_.empty());
    // One answer is left of the two asked for: it is taken, the other waited for.
    EXPECT_EQ(read(2, &returned), FT_OK);
    EXPECT_EQ(returned, 1u);
    // The driver's read was never asked for more than its queue held.
    const std::vector<sim::Call> reads = dev().calls(Fn::Read);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].args.at(0), 2u);
    EXPECT_EQ(reads[1].args.at(0), 1u);
}

TEST_F(QueueRead, ASilentProbeCostsTheReadTimeOutInSlices) {
    dev().set_silent(0, true);
    ask(1);
    const uint64_t started = clock.now_ms();
    uint32_t returned = 1;
    EXPECT_EQ(read(1, &returned), FT_OK);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(clock.now_ms() - started, kReadTimeoutMs);
    EXPECT_EQ(longest_sleep(), d2xx_windows::kPollSliceMs);
    EXPECT_TRUE(dev().calls(Fn::Read).empty());
}

TEST_F(QueueRead, AnAbandonedWaitEndsAtTheNextLook) {
    dev().set_silent(0, true);
    ask(1);
    on_sleep_ = [this] {
        if (clock.now_ms() >= 1000) d2xx_abandon_waits();
    };
    const uint64_t started = clock.now_ms();
    uint32_t returned = 1;
    EXPECT_EQ(read(1, &returned), FT_OK);
    EXPECT_EQ(returned, 0u);
    EXPECT_LE(clock.now_ms() - started, 1000 + d2xx_windows::kPollSliceMs);
}

TEST_F(QueueRead, AnswersThatArrivedAreTakenWholeAfterWaitsWereAbandoned) {
    ask(4);
    d2xx_abandon_waits();
    uint32_t returned = 0;
    EXPECT_EQ(read(4, &returned), FT_OK);
    EXPECT_EQ(returned, 4u);
}

TEST_F(QueueRead, ALostProbeFailsWithTheDriversStatus) {
    dev().unplug();
    uint32_t returned = 1;
    EXPECT_EQ(read(1, &returned), FT_IO_ERROR);
    EXPECT_EQ(returned, 0u);
    EXPECT_TRUE(sleeps_.empty());
}
