// The three states of the window (disconnected, connected, refreshing) and
// every transition between them, driven by clicks on the controls.
#include "window_test.h"

#include <gtest/gtest.h>

using namespace gui_test;
using sim::Fn;

class guiStates : public WindowTest {};

TEST_F(guiStates, ConnectAfterAFailedStartConnectsAndReadsOnce) {
    dev().unplug();
    open_window();
    expect_disconnected("Not Connected");

    dev().plug_in();
    dev().set_input_count(2, 296);
    const std::size_t mark = log_mark();
    click(frame->Button1);

    expect_connected();
    EXPECT_EQ(calls_since(mark, Fn::OpenEx), 1u);
    EXPECT_EQ(readouts_since(mark), 1u);
    EXPECT_EQ(label(frame->StaticText3), "V target = 3.30 V");
}

TEST_F(guiStates, FailedConnectStaysDisconnectedAndSaysSoWithACapitalC) {
    dev().unplug();
    open_window();
    const std::size_t mark = log_mark();
    click(frame->Button1);

    expect_disconnected("Not Connected");
    expect_reset_readings();
    EXPECT_EQ(calls_since(mark, Fn::OpenEx), 1u);
    // Looking for probes before it is no talk with one.
    EXPECT_EQ(dev().log().back().fn, Fn::OpenEx) << "a failed connect went on talking to the driver";
}

TEST_F(guiStates, RefreshReadsOnceAndStaysConnected) {
    open_window();
    dev().set_input_count(1, 100);
    const std::size_t mark = log_mark();
    click(frame->Button3);

    expect_connected();
    EXPECT_EQ(readouts_since(mark), 1u);
    EXPECT_EQ(calls_since(mark, Fn::OpenEx), 0u);
    EXPECT_EQ(label(frame->StaticText2), "I supply = 103 mA");
}

TEST_F(guiStates, DisconnectClosesTheChannelAndResetsWithALowerCaseC) {
    dev().set_input_count(0, 700);
    dev().set_input_count(1, 300);
    dev().set_input_count(2, 300);
    dev().set_input_count(3, 700);
    open_window();
    ASSERT_NE(frame->Gauge1->GetValue(), 0);

    const std::size_t mark = log_mark();
    click(frame->Button2);

    expect_disconnected("Not connected");
    expect_reset_readings();
    EXPECT_FALSE(dev().channel_open('B'));
    EXPECT_EQ(calls_since(mark, Fn::Close), 1u);
    EXPECT_EQ(readouts_since(mark), 0u);
}

TEST_F(guiStates, ConnectFailingAfterADisconnectKeepsTheResetAndAnEmptySerial) {
    open_window();
    click(frame->Button2);
    dev().unplug();
    click(frame->Button1);

    expect_disconnected("Not Connected");
    expect_reset_readings();
}

TEST_F(guiStates, DisconnectThenConnectAgain) {
    open_window();
    click(frame->Button2);
    dev().set_chip_serial("NEXT9");
    const std::size_t mark = log_mark();
    click(frame->Button1);

    expect_connected("NEXT9B");
    EXPECT_EQ(readouts_since(mark), 1u);
    EXPECT_TRUE(dev().channel_open('B'));
}

TEST_F(guiStates, TickingRefreshContinuouslyEntersRefreshing) {
    open_window();
    const std::size_t mark = log_mark();
    toggle(frame->CheckBox2);

    expect_refreshing();
    EXPECT_EQ(log_mark(), mark) << "the tick itself read the probe";
}

TEST_F(guiStates, TimerTickInRefreshingReadsOnceAndStaysRefreshing) {
    open_window();
    toggle(frame->CheckBox2);
    dev().set_input_count(3, 898);
    const std::size_t mark = log_mark();
    // A tick as the timer delivers it: wxEVT_TIMER with ID_TIMER1 to its owner.
    frame->Timer1.Notify();

    expect_refreshing();
    EXPECT_EQ(readouts_since(mark), 1u);
    EXPECT_EQ(label(frame->StaticText4), "A0 = 10.01 V");
}

TEST_F(guiStates, UntickingReturnsToConnected) {
    open_window();
    toggle(frame->CheckBox2);
    const std::size_t mark = log_mark();
    toggle(frame->CheckBox2);

    expect_connected();
    EXPECT_EQ(log_mark(), mark);
}

TEST_F(guiStates, DisconnectWhileRefreshingStopsTheTimerAndResets) {
    open_window();
    toggle(frame->CheckBox2);
    const std::size_t mark = log_mark();
    click(frame->Button2);

    expect_disconnected("Not connected");
    expect_reset_readings();
    EXPECT_FALSE(dev().channel_open('B'));
    EXPECT_EQ(calls_since(mark, Fn::Close), 1u);

    // The next connect finds the box usable again, unticked, timer stopped.
    click(frame->Button1);
    expect_connected();
}

TEST_F(guiStates, ClosingWhileRefreshingLeavesTheChannelOpen) {
    open_window();
    toggle(frame->CheckBox2);
    const std::size_t mark = log_mark();
    dev().set_clock(nullptr);  // real time, to see that no tick outlives the window

    frame->Close(true);
    ASSERT_TRUE(run_event_loop_until([] { return wxTopLevelWindows.IsEmpty(); }, 5000));
    frame = nullptr;
    run_event_loop_for(1500);

    EXPECT_TRUE(dev().channel_open('B'));
    EXPECT_EQ(calls_since(mark, Fn::Close), 0u);
    EXPECT_EQ(log_mark(), mark);
}
