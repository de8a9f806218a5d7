// The measurement window as talviro_gui runs it, through the real libftdi1,
// on a modelled probe: in real time, or on the bus's manual clock where a
// test measures the time the window's handlers spend.
#include "d2xx/ftdi/channels.h"
#include "usbsim/usb_bus.h"
#include "event_loop.h"
#include "gui/talviro_guiFrame.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/toplevel.h>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using gui_test::utf8;
using usbsim::kInterfaceB;

constexpr int kCloseTimeoutMs = 5000;

std::string label(const wxWindow* control) { return utf8(control->GetLabel()); }

void click(wxButton* button) {
    ASSERT_TRUE(button->IsEnabled()) << utf8(button->GetLabel()) << " is disabled";
    wxCommandEvent event(wxEVT_BUTTON, button->GetId());
    event.SetEventObject(button);
    button->ProcessWindowEvent(event);
}

TEST(UsbWindow, ConnectsAtStartReadsTheProbeAndDisconnectGivesChannelBBack) {
    usbsim::bus().configure(usbsim::Options());
    auto* frame = new talviro_guiFrame(nullptr);
    frame->Show(true);
    EXPECT_EQ(utf8(frame->StatusBar1->GetStatusText(0)), "TALVIRO Connected");
    EXPECT_EQ(utf8(frame->StatusBar1->GetStatusText(1)), "Serial: TV0001B");
    EXPECT_FALSE(usbsim::bus().kernel_driver_bound(1, kInterfaceB));

    click(frame->Button3);  // Refresh
    EXPECT_EQ(label(frame->StaticText1), "A1 = 1.53 V");
    EXPECT_EQ(label(frame->StaticText2), "I supply = 37 mA");
    EXPECT_EQ(label(frame->StaticText3), "V target = 3.32 V");
    EXPECT_EQ(label(frame->StaticText4), "A0 = 0.64 V");

    click(frame->Button2);  // Disconnect
    EXPECT_EQ(utf8(frame->StatusBar1->GetStatusText(0)), "Not connected");
    // The serial driver has its port back, and it is no longer an MPSSE engine.
    EXPECT_TRUE(usbsim::bus().kernel_driver_bound(1, kInterfaceB));
    EXPECT_FALSE(usbsim::bus().claimed(1, kInterfaceB));
    EXPECT_EQ(usbsim::bus().bit_mode(1, kInterfaceB), 0);

    frame->Destroy();
    EXPECT_TRUE(gui_test::run_event_loop_until([] { return wxTopLevelWindows.IsEmpty(); },
                                               kCloseTimeoutMs));
}

// A probe whose engine stops answering while the window refreshes it every
// second: the window shows it at once and stays usable. Timed on the bus's
// manual clock, which every wait of the driver and the model moves.
TEST(UsbWindow, ProbeFallingSilentWhileRefreshingCostsOneReadTimeOutAcrossTenTicks) {
    sim::ManualClock clock;
    usbsim::bus().set_clock(&clock);
    d2xx_ftdi::use_clock([&clock] { return clock.now_ms(); });
    usbsim::Options options;
    // The open and the first readout take some 260 bulk transfers: the
    // engine dies during the first tick's readout.
    options.engine_dies_after = 400;
    usbsim::bus().configure(options);
    auto* frame = new talviro_guiFrame(nullptr);
    frame->Show(true);
    ASSERT_EQ(utf8(frame->StatusBar1->GetStatusText(0)), "TALVIRO Connected");
    EXPECT_EQ(label(frame->StaticText1), "A1 = 1.53 V");

    frame->CheckBox2->SetValue(true);
    wxCommandEvent tick(wxEVT_CHECKBOX, frame->CheckBox2->GetId());
    tick.SetEventObject(frame->CheckBox2);
    tick.SetInt(1);
    frame->CheckBox2->ProcessWindowEvent(tick);
    ASSERT_TRUE(frame->Timer1.IsRunning());

    constexpr int kTicks = 10;
    constexpr uint64_t kReadTimeOutMs = 5000;
    constexpr uint64_t kTickBoundMs = 500;  // a look for a silent probe
    int long_ticks = 0;
    for (int i = 0; i < kTicks; ++i) {
        const uint64_t start_ms = clock.now_ms();
        frame->Timer1.Notify();
        const uint64_t spent_ms = clock.now_ms() - start_ms;
        // The engine died within those ticks: one read waited out its
        // time-out; every tick after it tried to reopen the probe, which its
        // engine check gives up on quickly.
        if (spent_ms >= kReadTimeOutMs) {
            ++long_ticks;
            EXPECT_LT(spent_ms, kReadTimeOutMs + kTickBoundMs) << "tick " << i;
        } else {
            EXPECT_LT(spent_ms, kTickBoundMs) << "tick " << i;
        }
    }
    EXPECT_EQ(long_ticks, 1);

    EXPECT_EQ(utf8(frame->StatusBar1->GetStatusText(0)), "TALVIRO not responding");
    EXPECT_EQ(label(frame->StaticText1), "A1 = --- V");
    EXPECT_EQ(label(frame->StaticText2), "I supply = --- mA");
    EXPECT_EQ(label(frame->StaticText3), "V target = --- V");
    EXPECT_EQ(label(frame->StaticText4), "A0 = --- V");
    EXPECT_TRUE(frame->Timer1.IsRunning());
    EXPECT_TRUE(frame->Button2->IsEnabled());

    // Disconnect still gives the channel back.
    click(frame->Button2);
    EXPECT_TRUE(usbsim::bus().kernel_driver_bound(1, kInterfaceB));
    EXPECT_EQ(usbsim::bus().bit_mode(1, kInterfaceB), 0);

    frame->Destroy();
    d2xx_ftdi::use_clock({});
    usbsim::bus().set_clock(nullptr);
    EXPECT_TRUE(gui_test::run_event_loop_until([] { return wxTopLevelWindows.IsEmpty(); },
                                               kCloseTimeoutMs));
}

// Unplugged while refreshing every second and plugged in again 2 s later,
// as a new device: the window gets the same probe back by itself. Ticks a
// second apart on the bus's manual clock. A chip without a serial comes back
// too, by where it is plugged in. Each case runs in a process of its own, as
// every test case does, so that the bus starts afresh.
void replug_while_refreshing_comes_back_within_two_ticks(bool no_serial) {
    sim::ManualClock clock;
    usbsim::bus().set_clock(&clock);
    d2xx_ftdi::use_clock([&clock] { return clock.now_ms(); });
    usbsim::Options options;
    options.replug_after_ms = 2000;
    options.no_serial = no_serial;
    usbsim::bus().configure(options);
    auto* frame = new talviro_guiFrame(nullptr);
    frame->Show(true);
    ASSERT_EQ(utf8(frame->StatusBar1->GetStatusText(0)), "TALVIRO Connected");
    frame->CheckBox2->SetValue(true);
    wxCommandEvent tick(wxEVT_CHECKBOX, frame->CheckBox2->GetId());
    tick.SetEventObject(frame->CheckBox2);
    tick.SetInt(1);
    frame->CheckBox2->ProcessWindowEvent(tick);

    constexpr uint64_t kPeriodMs = 1000;
    constexpr uint64_t kTickBoundMs = 500;
    usbsim::bus().unplug();
    const uint64_t back_at = clock.now_ms() + options.replug_after_ms;
    int ticks_after_return = 0;
    while (utf8(frame->StatusBar1->GetStatusText(0)) != "TALVIRO Connected" ||
           clock.now_ms() < back_at) {
        ASSERT_LT(ticks_after_return, 2) << "not back two ticks after the probe returned";
        if (clock.now_ms() >= back_at) ++ticks_after_return;
        const uint64_t start_ms = clock.now_ms();
        frame->Timer1.Notify();
        const uint64_t spent_ms = clock.now_ms() - start_ms;
        EXPECT_LT(spent_ms, kTickBoundMs);
        clock.advance_ms(kPeriodMs - std::min(spent_ms, kPeriodMs));
    }
    EXPECT_EQ(utf8(frame->StatusBar1->GetStatusText(1)), no_serial ? "Serial: " : "Serial: TV0001B");
    EXPECT_EQ(label(frame->StaticText1), "A1 = 1.53 V");
    EXPECT_EQ(label(frame->StaticText2), "I supply = 37 mA");
    EXPECT_EQ(label(frame->StaticText3), "V target = 3.32 V");
    EXPECT_EQ(label(frame->StaticText4), "A0 = 0.64 V");
    EXPECT_TRUE(frame->Timer1.IsRunning());

    frame->Destroy();
    d2xx_ftdi::use_clock({});
    usbsim::bus().set_clock(nullptr);
    EXPECT_TRUE(gui_test::run_event_loop_until([] { return wxTopLevelWindows.IsEmpty(); },
                                               kCloseTimeoutMs));
}

TEST(UsbWindow, ReplugWhileRefreshingComesBackWithinTwoTicks) {
    replug_while_refreshing_comes_back_within_two_ticks(false);
}

TEST(UsbWindow, ReplugOfAProbeWithoutASerialComesBackAtItsPort) {
    replug_while_refreshing_comes_back_within_two_ticks(true);
}

}  // namespace
