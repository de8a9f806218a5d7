// SIGINT and SIGTERM through the program's own handlers: the readout in
// progress is finished, the summary printed, the probe closed, exit 0. A
// readout waiting on a probe that fell silent is abandoned instead.
#include "console/clock.h"

#include "read_fixture.h"

#include <csignal>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace {

// Far beyond the test's time-out: a wait that a signal fails to end makes
// the test fail instead of passing slowly.
constexpr uint64_t kLongWaitMs = 3600u * 1000u;

class StopSignal : public ReadTool {
protected:
    void SetUp() override {
        ReadTool::SetUp();
        ASSERT_TRUE(console::install_stop_signals());
        stop = &console::stop_flag();
    }
};

}  // namespace

TEST_F(StopSignal, SigintDuringAReadoutEndsTheRunAfterIt) {
    before_readout = [](int n) {
        if (n == 3) std::raise(SIGINT);
    };
    EXPECT_EQ(run({"--count", "0", "--csv"}), 0);
    EXPECT_EQ(readouts, 3);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1 + 3);  // header and three lines
    EXPECT_NE(err.find("Summary of 3 readouts"), std::string::npos) << err;
    EXPECT_EQ(run_clock.sleeps.size(), 2u);
    EXPECT_TRUE(closed_at_end());
}

// The driver's clock: its first wait is where Ctrl-C arrives.
class SignalDuringTheFirstWait : public sim::ManualClock {
public:
    void sleep_ms(uint32_t ms) override {
        if (!raised_) {
            raised_ = true;
            std::raise(SIGINT);
        }
        ManualClock::sleep_ms(ms);
    }

private:
    bool raised_ = false;
};

TEST_F(StopSignal, SigintWhileAReadWaitsOnASilentProbeEndsTheRunAtOnceWithoutThatReadout) {
    SignalDuringTheFirstWait driver_clock;
    before_readout = [&](int n) {
        if (n != 3) return;
        dev().set_clock(&driver_clock);
        dev().limit_reads(0);  // the probe falls silent
    };
    EXPECT_EQ(run({"--count", "0", "--csv"}), 0);
    EXPECT_EQ(readouts, 3);
    // The two whole readouts and nothing of the abandoned one.
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1 + 2) << out;
    EXPECT_EQ(out.find(",,"), std::string::npos) << out;
    EXPECT_NE(err.find("Summary of 2 readouts"), std::string::npos) << err;
    EXPECT_EQ(err.find("Couldn't read"), std::string::npos) << err;
    EXPECT_EQ(err.find("stopped answering"), std::string::npos) << err;
    // One slice of the wait, not the read time-out, and one read.
    EXPECT_LT(driver_clock.now_ms(), 1000u);
    EXPECT_EQ(dev().calls(sim::Fn::Read).size(), 2u * 40u + 1u);
    EXPECT_TRUE(closed_at_end());
}

TEST_F(StopSignal, SigtermDuringAWaitEndsTheRunBeforeTheNextReadout) {
    run_clock.after_sleep = [](size_t n) {
        if (n == 2) std::raise(SIGTERM);
    };
    EXPECT_EQ(run({"--count", "10"}), 0);
    EXPECT_EQ(readouts, 2);
    EXPECT_NE(out.find("\nSummary of 2 readouts"), std::string::npos) << out;
    EXPECT_TRUE(closed_at_end());
}

TEST_F(StopSignal, SignalBeforeTheFirstReadoutStillClosesTheProbe) {
    std::raise(SIGINT);
    EXPECT_EQ(run({"--count", "0"}), 0);
    EXPECT_EQ(readouts, 0);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(closed_at_end());
}

// A bound on readouts there were none of is broken, not passed over.
TEST_F(StopSignal, SignalBeforeTheFirstReadoutBreaksABoundOnTheReadouts) {
    std::raise(SIGINT);
    EXPECT_EQ(run({"--count", "0", "--limit", "readouts>=1"}), 5);
    EXPECT_EQ(readouts, 0);
}

TEST(StopSignals, WaitOfTheSystemClockEndsOnASignalHandledByAnotherThread) {
    ASSERT_TRUE(console::install_stop_signals());
    // As with a driver's thread: the signal can only be handled by the other
    // thread, and the waiting one has to learn of it all the same.
    sigset_t interrupt;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &interrupt, nullptr), 0);
    std::thread sender([&interrupt] {
        pthread_sigmask(SIG_UNBLOCK, &interrupt, nullptr);
        kill(getpid(), SIGINT);
    });
    console::SystemClock clock;
    clock.sleep_ms(kLongWaitMs, console::stop_flag());
    sender.join();
    EXPECT_NE(console::stop_flag(), 0);
}

TEST(StopSignals, SecondSignalEndsTheProgramAtOnce) {
    EXPECT_EXIT(
        {
            console::install_stop_signals();
            std::raise(SIGINT);
            std::raise(SIGINT);
            std::exit(0);
        },
        ::testing::KilledBySignal(SIGINT), "");
}
