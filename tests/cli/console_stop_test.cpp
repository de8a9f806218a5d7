// Ctrl-C through the program's console control handler on Windows, as
// signal_test.cpp does for the POSIX signals: the readout in progress is
// finished, the summary printed, the probe closed, exit 0. A readout waiting
// on a probe that fell silent is abandoned instead. (Ctrl-Break takes the
// same way through the handler; Wine cannot send it.)
//
// The console runs the handler on a thread of its own after
// GenerateConsoleCtrlEvent returns, so each test waits for the stop flag
// before the run goes on. Each test gets a console of its own: one started
// without a terminal (by ctest, say) has none that takes control events.
#include "console/clock.h"
#include "d2xx/abandon.h"

#include "read_fixture.h"

#include <windows.h>

#include <thread>

namespace {

// Far beyond the test's time-out: a wait that a stop fails to end makes the
// test fail instead of passing slowly.
constexpr uint64_t kLongWaitMs = 3600u * 1000u;
// How long the console may take to run the handler; the wait ends as soon
// as it has.
constexpr DWORD kHandlerDeadlineMs = 30000;
constexpr DWORD kPollMs = 1;

bool own_console() {
    FreeConsole();
    // Ctrl-C reaches a process only when it has not been told to ignore it.
    return AllocConsole() != 0 && SetConsoleCtrlHandler(nullptr, FALSE) != 0;
}

bool handled() { return console::stop_flag() != 0 && d2xx_waits_abandoned() != 0; }

// Sends event to this console and waits until the handler has set the stop
// flag and abandoned the waits on the probe.
bool stop_with(DWORD event) {
    if (!GenerateConsoleCtrlEvent(event, 0)) return false;
    for (DWORD waited = 0; !handled() && waited < kHandlerDeadlineMs; waited += kPollMs) Sleep(kPollMs);
    return handled();
}

// The driver's clock: its first wait is where Ctrl-C arrives.
class CtrlCDuringTheFirstWait : public sim::ManualClock {
public:
    void sleep_ms(uint32_t ms) override {
        if (!sent_) {
            sent_ = true;
            EXPECT_TRUE(stop_with(CTRL_C_EVENT));
        }
        ManualClock::sleep_ms(ms);
    }

private:
    bool sent_ = false;
};

class ConsoleStop : public ReadTool {
protected:
    void SetUp() override {
        ReadTool::SetUp();
        ASSERT_TRUE(own_console());
        ASSERT_TRUE(console::install_stop_signals());
        stop = &console::stop_flag();
    }
};

}  // namespace

TEST_F(ConsoleStop, CtrlCDuringAReadoutEndsTheRunAfterIt) {
    before_readout = [](int n) {
        if (n == 3) {
            ASSERT_TRUE(stop_with(CTRL_C_EVENT));
        }
    };
    EXPECT_EQ(run({"--count", "0", "--csv"}), 0);
    EXPECT_EQ(readouts, 3);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1 + 3);  // header and three lines
    EXPECT_NE(err.find("Summary of 3 readouts"), std::string::npos) << err;
    EXPECT_EQ(run_clock.sleeps.size(), 2u);
    EXPECT_TRUE(closed_at_end());
}

TEST_F(ConsoleStop, CtrlCDuringAWaitEndsTheRunBeforeTheNextReadout) {
    run_clock.after_sleep = [](size_t n) {
        if (n == 2) {
            ASSERT_TRUE(stop_with(CTRL_C_EVENT));
        }
    };
    EXPECT_EQ(run({"--count", "10"}), 0);
    EXPECT_EQ(readouts, 2);
    EXPECT_NE(out.find("\nSummary of 2 readouts"), std::string::npos) << out;
    EXPECT_TRUE(closed_at_end());
}

TEST_F(ConsoleStop, CtrlCWhileAReadWaitsOnASilentProbeEndsTheRunAtOnceWithoutThatReadout) {
    CtrlCDuringTheFirstWait driver_clock;
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
    EXPECT_EQ(err.find("stopped answering"), std::string::npos) << err;
    // One slice of the wait, not the read time-out.
    EXPECT_LT(driver_clock.now_ms(), 1000u);
    EXPECT_TRUE(closed_at_end());
}

TEST(ConsoleStops, WaitOfTheSystemClockEndsOnCtrlC) {
    ASSERT_TRUE(own_console());
    ASSERT_TRUE(console::install_stop_signals());
    // The handler's thread has to wake the waiting one.
    std::thread sender([] { GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0); });
    console::SystemClock clock;
    clock.sleep_ms(kLongWaitMs, console::stop_flag());
    sender.join();
    EXPECT_NE(console::stop_flag(), 0);
}

TEST(ConsoleStops, SecondCtrlCEndsTheProgramAtOnce) {
    constexpr int kSetUpFailed = 2;
    constexpr int kStillRunning = 3;
    // The console's default handler ends the process: with
    // STATUS_CONTROL_C_EXIT on Windows, with 0 under Wine.
    const auto ended_by_ctrl_c = [](int status) {
        return status == static_cast<int>(STATUS_CONTROL_C_EXIT) || status == 0;
    };
    EXPECT_EXIT(
        {
            if (!own_console() || !console::install_stop_signals() || !stop_with(CTRL_C_EVENT))
                std::exit(kSetUpFailed);
            GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
            // Ends only when the second Ctrl-C did not end the process.
            Sleep(kHandlerDeadlineMs);
            std::exit(kStillRunning);
        },
        ended_by_ctrl_c, "");
}
