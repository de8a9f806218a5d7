// A probe that stops answering while connected: a conversion that was not
// whole shows dashes and an empty gauge instead of a false zero, the status
// bar says so, and the next whole readout says "Connected" again.
#include "window_test.h"

#include "probe/probe_channel.h"

#include <wx/menu.h>

#include <gtest/gtest.h>

using namespace gui_test;
using sim::Fn;

class guiNotResponding : public WindowTest {
protected:
    void open_connected_with_readings() {
        dev().set_input_count(0, 500);
        dev().set_input_count(1, 200);
        dev().set_input_count(2, 296);
        dev().set_input_count(3, 700);
        open_window();
        expect_connected();
        ASSERT_EQ(label(frame->StaticText3), "V target = 3.30 V");
        ASSERT_NE(frame->Gauge1->GetValue(), 0);
        ASSERT_NE(frame->Gauge2->GetValue(), 0);
        ASSERT_NE(frame->Gauge3->GetValue(), 0);
        ASSERT_NE(frame->Gauge4->GetValue(), 0);
    }

    void expect_all_missing() const {
        EXPECT_EQ(label(frame->StaticText1), "A1 = --- V");
        EXPECT_EQ(label(frame->StaticText2), "I supply = --- mA");
        EXPECT_EQ(label(frame->StaticText3), "V target = --- V");
        EXPECT_EQ(label(frame->StaticText4), "A0 = --- V");
        for (const wxGauge* g : {frame->Gauge1, frame->Gauge2, frame->Gauge3, frame->Gauge4})
            EXPECT_EQ(g->GetValue(), 0);
    }

    void expect_still_connected_controls() const {
        EXPECT_FALSE(frame->Button1->IsEnabled());
        EXPECT_TRUE(frame->Button2->IsEnabled());
        EXPECT_EQ(status(1), std::string("Serial: ") + kDefaultSerial);
    }
};

TEST_F(guiNotResponding, UnpluggedProbeShowsDashesNotZeros) {
    open_connected_with_readings();
    dev().unplug();
    const std::size_t mark = log_mark();
    click(frame->Button3);

    expect_all_missing();
    EXPECT_EQ(status(0), "TALVIRO not responding");
    expect_still_connected_controls();
    EXPECT_TRUE(frame->Button3->IsEnabled());
    EXPECT_TRUE(frame->CheckBox2->IsEnabled());
    // Every transfer failed, and the first failed read ended them: the
    // 21 set frames, the first sample's clock edge and read frame, its read.
    EXPECT_EQ(calls_since(mark, Fn::Write), 23u);
    EXPECT_EQ(calls_since(mark, Fn::Read), 1u);
    for (std::size_t i = mark; i < dev().log().size(); ++i)
        EXPECT_NE(dev().log()[i].status, static_cast<FT_STATUS>(FT_OK)) << "call " << i;

    // While the probe is away a refresh only looks for it: no transfer.
    const std::size_t second = log_mark();
    click(frame->Button3);
    expect_all_missing();
    EXPECT_EQ(status(0), "TALVIRO not responding");
    EXPECT_EQ(calls_since(second, Fn::OpenEx), 0u);
    EXPECT_EQ(calls_since(second, Fn::Write) + calls_since(second, Fn::Read), 0u);

    // Plugged in again, the next refresh gets the same probe back.
    dev().plug_in();
    click(frame->Button3);
    expect_connected();
    EXPECT_EQ(label(frame->StaticText3), "V target = 3.30 V");
}

TEST_F(guiNotResponding, DisconnectAndConnectRecoverFromAnUnpluggedProbe) {
    open_connected_with_readings();
    dev().unplug();
    click(frame->Button3);
    ASSERT_EQ(status(0), "TALVIRO not responding");

    click(frame->Button2);
    expect_disconnected("Not connected");
    expect_reset_readings();

    dev().plug_in();
    click(frame->Button1);
    expect_connected();
    EXPECT_EQ(label(frame->StaticText3), "V target = 3.30 V");
}

TEST_F(guiNotResponding, OneFailedTransferBlanksOnlyItsChannelAndTheNextReadoutRecovers) {
    open_connected_with_readings();
    // The first write of the second conversion (I supply) fails.
    dev().fail_call(Fn::Write, kWritesPerConversion + 1);
    click(frame->Button3);

    EXPECT_EQ(label(frame->StaticText1), "A1 = 5.57 V");
    EXPECT_EQ(label(frame->StaticText2), "I supply = --- mA");
    EXPECT_EQ(frame->Gauge2->GetValue(), 0);
    EXPECT_EQ(label(frame->StaticText3), "V target = 3.30 V");
    EXPECT_EQ(label(frame->StaticText4), "A0 = 7.80 V");
    EXPECT_EQ(status(0), "TALVIRO not responding");
    expect_still_connected_controls();

    click(frame->Button3);
    EXPECT_EQ(label(frame->StaticText2), "I supply = 205 mA");
    EXPECT_EQ(frame->Gauge2->GetValue(), 205);
    EXPECT_EQ(status(0), "TALVIRO Connected");
    expect_connected();
}

TEST_F(guiNotResponding, FailedReadOfTheTargetVoltage) {
    open_connected_with_readings();
    // First read of the third conversion.
    dev().fail_call(Fn::Read, 2 * kReadsPerConversion + 1);
    click(frame->Button3);

    EXPECT_EQ(label(frame->StaticText3), "V target = --- V");
    EXPECT_EQ(frame->Gauge3->GetValue(), 0);
    EXPECT_EQ(label(frame->StaticText2), "I supply = 205 mA");
    EXPECT_EQ(status(0), "TALVIRO not responding");
}

TEST_F(guiNotResponding, LostAnswersAreNotTrustedTheProbeIsOpenedAgainFirst) {
    open_connected_with_readings();
    // Reads deliver nothing and wait out their time-out (on the manual
    // clock, so the test does not wait).
    dev().limit_reads(0);
    click(frame->Button3);
    expect_all_missing();
    EXPECT_EQ(status(0), "TALVIRO not responding");

    // A silent probe is given back and opened again by its serial, with its
    // buffers emptied, so a late answer is never taken for a later sample;
    // the attempt fails at the engine check, well before a read time-out.
    uint64_t before = dev().clock().now_ms();
    std::size_t mark = log_mark();
    click(frame->Button3);
    expect_all_missing();
    EXPECT_EQ(status(0), "TALVIRO not responding");
    EXPECT_LE(dev().clock().now_ms() - before, probe_settings::kEngineCheckTimeoutMs);
    ASSERT_EQ(calls_since(mark, Fn::OpenEx), 1u);
    EXPECT_EQ(dev().calls(Fn::OpenEx).back().text, kDefaultSerial);

    dev().limit_reads(-1);
    mark = log_mark();
    click(frame->Button3);
    expect_connected();
    EXPECT_EQ(label(frame->StaticText3), "V target = 3.30 V");
    EXPECT_EQ(calls_since(mark, Fn::Purge), 1u);
}

TEST_F(guiNotResponding, ContinuousRefreshKeepsRunningAndRecovers) {
    open_connected_with_readings();
    toggle(frame->CheckBox2);
    // The first write of the next tick's first conversion (A1) fails.
    dev().fail_call(Fn::Write, 1);
    frame->Timer1.Notify();
    EXPECT_EQ(label(frame->StaticText1), "A1 = --- V");
    EXPECT_EQ(frame->Gauge1->GetValue(), 0);
    EXPECT_EQ(label(frame->StaticText3), "V target = 3.30 V");
    EXPECT_EQ(status(0), "TALVIRO not responding");
    EXPECT_TRUE(frame->Timer1.IsRunning());
    EXPECT_TRUE(frame->CheckBox2->GetValue());

    frame->Timer1.Notify();
    expect_refreshing();
    EXPECT_EQ(label(frame->StaticText1), "A1 = 5.57 V");
}

// The system menu (Alt+Space, a right-click on the title bar) sends the
// frame the menu events a menu bar would; the toolkit's menu help must not
// put back an old state over the dashes of a probe lost meanwhile, nor
// blank the state while the menu is open.
TEST_F(guiNotResponding, SystemMenuWhileTheProbeIsLostNeverShowsConnectedOverDashes) {
    open_connected_with_readings();
    toggle(frame->CheckBox2);
    auto send = [this](wxEventType type) {
        wxMenuEvent event(type, type == wxEVT_MENU_HIGHLIGHT ? wxID_CLOSE : 0, nullptr);
        event.SetEventObject(frame);
        frame->ProcessWindowEvent(event);
    };

    send(wxEVT_MENU_OPEN);
    send(wxEVT_MENU_HIGHLIGHT);
    EXPECT_EQ(status(0), "TALVIRO Connected");
    dev().unplug();
    frame->Timer1.Notify();
    send(wxEVT_MENU_HIGHLIGHT);
    frame->Timer1.Notify();
    send(wxEVT_MENU_CLOSE);
    expect_all_missing();
    EXPECT_EQ(status(0), "TALVIRO not responding");
    frame->Timer1.Notify();
    EXPECT_EQ(status(0), "TALVIRO not responding");

    // Back in, the next tick finds it again.
    dev().plug_in();
    frame->Timer1.Notify();
    expect_refreshing();
    EXPECT_EQ(label(frame->StaticText3), "V target = 3.30 V");
}
