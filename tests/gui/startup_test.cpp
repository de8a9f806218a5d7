// What the window shows the moment it opens, with and without a probe.
#include "stream_capture.h"
#include "window_test.h"

#include <gtest/gtest.h>

using namespace gui_test;
using sim::Fn;

class guiStartup : public WindowTest {};

TEST_F(guiStartup, WithoutAProbeOpensDisconnectedAfterOneAttempt) {
    dev().unplug();
    StreamCapture streams;
    open_window();

    expect_disconnected("Not Connected");
    expect_reset_readings();
    EXPECT_EQ(streams.out(), "Unable to open FTDI Device");
    EXPECT_EQ(streams.err(), "");
    // One open attempt and nothing after it: no readout without a probe.
    ASSERT_EQ(dev().log().size(), 1u);
    EXPECT_EQ(dev().log()[0].fn, Fn::OpenEx);
    EXPECT_EQ(dev().log()[0].text, "TALVIRO B");
    EXPECT_NE(dev().log()[0].status, static_cast<FT_STATUS>(FT_OK));
}

TEST_F(guiStartup, WithAProbeOpensConnectedWithOneReadout) {
    dev().set_input_count(0, 100);
    dev().set_input_count(1, 100);
    dev().set_input_count(2, 315);
    dev().set_input_count(3, 512);
    StreamCapture streams;
    open_window();

    expect_connected();
    EXPECT_EQ(label(frame->StaticText3), "V target = 3.51 V");
    EXPECT_EQ(label(frame->StaticText2), "I supply = 103 mA");
    EXPECT_EQ(label(frame->StaticText1), "A1 = 1.11 V");
    EXPECT_EQ(label(frame->StaticText4), "A0 = 5.71 V");
    EXPECT_EQ(streams.out(), "");
    EXPECT_EQ(streams.err(), "");

    // Opened channel B by its description, configured it, then exactly one
    // readout; the window never refreshes by itself until told to.
    ASSERT_FALSE(dev().log().empty());
    EXPECT_EQ(dev().log()[0].fn, Fn::OpenEx);
    EXPECT_EQ(dev().log()[0].text, "TALVIRO B");
    EXPECT_TRUE(dev().channel_open('B'));
    EXPECT_EQ(readouts_since(0), 1u);
    EXPECT_EQ(dev().conversions(), 4u);
    EXPECT_EQ(calls_since(0, Fn::Close), 0u);

    const std::size_t mark = log_mark();
    run_event_loop_for(1500);
    EXPECT_EQ(log_mark(), mark) << "the connected window read the probe on its own";
}

// talviro_gui --serial: the probe named, not the first free one; the title
// tells the two windows of two probes apart.
TEST_F(guiStartup, WithASerialOpensThatProbeAmongTwo) {
    const int second = dev().add_probe("TV0002");
    dev().set_input_count(second, 1, 100);
    open_window("TV0002B");

    expect_connected("TV0002B");
    EXPECT_EQ(label(frame->StaticText2), "I supply = 103 mA");
    EXPECT_FALSE(dev().channel_open(0, 'B'));
    EXPECT_TRUE(dev().channel_open(second, 'B'));
    EXPECT_EQ(utf8(frame->GetTitle()), "TALVIRO Measurement v1.0.1 \xE2\x80\x93 TV0002B");
}

TEST_F(guiStartup, AProbeThatFailsToConfigureLeavesTheWindowDisconnected) {
    dev().fail_call(Fn::SetBitMode, 1);
    open_window();

    expect_disconnected("Not Connected");
    expect_reset_readings();
    EXPECT_EQ(calls_since(0, Fn::Write), 0u);
}

TEST_F(guiStartup, ShowsTheSerialNumberDecodedFromUtf8) {
    dev().set_chip_serial("\xC3\x98SN7");  // "ØSN7"
    open_window();

    expect_connected("\xC3\x98SN7B");
}

TEST_F(guiStartup, ProbeThatOpensButDoesNotAnswerShowsNotResponding) {
    dev().limit_reads(0);
    open_window();

    EXPECT_EQ(status(0), "TALVIRO not responding");
    EXPECT_EQ(status(1), std::string("Serial: ") + kDefaultSerial);
    EXPECT_EQ(label(frame->StaticText3), "V target = --- V");
    // Still connected: the user can disconnect, refresh, or refresh
    // continuously.
    EXPECT_FALSE(frame->Button1->IsEnabled());
    EXPECT_TRUE(frame->Button2->IsEnabled());
    EXPECT_TRUE(frame->Button3->IsEnabled());
    EXPECT_TRUE(frame->CheckBox2->IsEnabled());
    EXPECT_FALSE(frame->Timer1.IsRunning());
}
