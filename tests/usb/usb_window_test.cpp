// The measurement window as talviro_gui runs it, through the real libftdi1,
// on a modelled probe: in real time, or on the bus's manual clock where a
// test measures the time the window's handlers spend.
#include "d2xx/ftdi/channels.h"
#include "usbsim/usb_bus.h"
#include "event_loop.h"
#include "gui/talviro_guiFrame.h"
#include "probe/probe_channel.h"
#include "stream_capture.h"

#include <wx/app.h>
#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/menu.h>
#include <wx/toplevel.h>
#include <wx/uiaction.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

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

namespace two_probes {

constexpr int kAnswerLimitMs = 5000;
const std::string kTitle = "TALVIRO Measurement v1.0.1";
const std::string kTitleSeparator = " \xE2\x80\x93 ";  // space, en dash, space

// The menu Connect pops up, as the user sees it: each item's label and
// whether it can be chosen.
struct MenuSeen {
    std::vector<std::pair<std::string, bool>> items;
    bool opened = false;
};

// Builds the window on a bus of two probes (probe 2 with its own inputs)
// and shows it; the store's file is read again first, as by a program
// started anew.
talviro_guiFrame* open_window(const std::string& serial = std::string()) {
    gui_test::reload_settings();
    auto* frame = new talviro_guiFrame(nullptr, -1, serial);
    frame->Show(true);
    gui_test::run_event_loop_until([frame] { return frame->IsShownOnScreen(); }, kAnswerLimitMs);
    return frame;
}

void close_window(talviro_guiFrame* frame) {
    frame->Destroy();
    EXPECT_TRUE(gui_test::run_event_loop_until([] { return wxTopLevelWindows.IsEmpty(); },
                                               kCloseTimeoutMs));
}

// Presses Connect and, once its menu is open, notes what it shows and
// presses keys: Down moves over the items that can be chosen, Return takes
// one, Escape closes the menu.
MenuSeen connect_with_menu(talviro_guiFrame* frame, const std::vector<int>& keys) {
    MenuSeen seen;
    auto on_open = [&seen, &keys](wxMenuEvent& event) {
        event.Skip();
        if (seen.opened || event.GetMenu() == nullptr) return;
        seen.opened = true;
        for (const wxMenuItem* item : event.GetMenu()->GetMenuItems())
            seen.items.emplace_back(utf8(item->GetItemLabelText()), item->IsEnabled());
        wxTheApp->CallAfter([&keys] {
            for (int key : keys) wxUIActionSimulator().Char(key);
        });
    };
    frame->Bind(wxEVT_MENU_OPEN, on_open);
    click(frame->Button1);
    frame->Unbind(wxEVT_MENU_OPEN, on_open);
    return seen;
}

void expect_probe_two(const talviro_guiFrame* frame) {
    EXPECT_EQ(utf8(frame->StatusBar1->GetStatusText(0)), "TALVIRO Connected");
    EXPECT_EQ(utf8(frame->StatusBar1->GetStatusText(1)), "Serial: TV0002B");
    EXPECT_EQ(utf8(frame->GetTitle()), kTitle + kTitleSeparator + "TV0002B");
    EXPECT_EQ(label(frame->StaticText1), "A1 = 4.68 V");
    EXPECT_EQ(label(frame->StaticText2), "I supply = 92 mA");
    EXPECT_EQ(label(frame->StaticText3), "V target = 1.67 V");
    EXPECT_EQ(label(frame->StaticText4), "A0 = 8.91 V");
}

}  // namespace two_probes

TEST(UsbWindow, SerialOptionTakesTheProbeNamedAtStartAndOnConnect) {
    usbsim::Options options;
    options.probes = 2;
    usbsim::bus().configure(options);
    auto* frame = two_probes::open_window("TV0002B");
    two_probes::expect_probe_two(frame);
    EXPECT_TRUE(usbsim::bus().claimed(2, kInterfaceB));
    EXPECT_FALSE(usbsim::bus().claimed(1, kInterfaceB));

    // No menu: Connect takes the probe named, although the first is free.
    click(frame->Button2);
    EXPECT_EQ(utf8(frame->GetTitle()), two_probes::kTitle);
    click(frame->Button1);
    two_probes::expect_probe_two(frame);
    two_probes::close_window(frame);
}

// Chips without a serial: the probe is named, and its window titled, by
// where it is plugged in.
TEST(UsbWindow, SerialOptionTakesAProbeWithoutASerialByItsPort) {
    usbsim::Options options;
    options.probes = 2;
    options.no_serial = true;
    usbsim::bus().configure(options);
    auto* frame = two_probes::open_window("usb:1-1.2");
    EXPECT_EQ(utf8(frame->StatusBar1->GetStatusText(0)), "TALVIRO Connected");
    EXPECT_EQ(utf8(frame->GetTitle()), two_probes::kTitle + two_probes::kTitleSeparator + "usb:1-1.2");
    EXPECT_TRUE(usbsim::bus().claimed(2, kInterfaceB));
    EXPECT_FALSE(usbsim::bus().claimed(1, kInterfaceB));
    two_probes::close_window(frame);
}

TEST(UsbWindow, SerialOptionOfAProbeThatIsNotThereNamesThoseThatAre) {
    usbsim::Options options;
    options.probes = 2;
    usbsim::bus().configure(options);
    StreamCapture streams;
    auto* frame = two_probes::open_window("TV0003B");
    EXPECT_EQ(utf8(frame->StatusBar1->GetStatusText(0)), "Not Connected");
    EXPECT_EQ(utf8(frame->GetTitle()), two_probes::kTitle);
    EXPECT_FALSE(usbsim::bus().claimed(1, kInterfaceB));
    EXPECT_FALSE(usbsim::bus().claimed(2, kInterfaceB));
    EXPECT_NE(streams.err().find("talviro_usb_window_tests: no probe has the serial number "
                                 "\"TV0003B\"; found: TV0001B, TV0002B\n"),
              std::string::npos)
        << streams.err();
    two_probes::close_window(frame);
}

// The user picks the second probe from Connect's menu; started again, the
// window takes it by itself, and the menu lists it first.
TEST(UsbWindow, ConnectMenuListsEveryProbeAndTheOneChosenIsTakenAgainAtTheNextStart) {
    usbsim::Options options;
    options.probes = 2;
    usbsim::bus().configure(options);
    auto* frame = two_probes::open_window();
    // The first free probe, and the title names it among two.
    EXPECT_EQ(utf8(frame->StatusBar1->GetStatusText(1)), "Serial: TV0001B");
    EXPECT_EQ(utf8(frame->GetTitle()), two_probes::kTitle + two_probes::kTitleSeparator + "TV0001B");
    click(frame->Button2);

    const two_probes::MenuSeen seen =
        two_probes::connect_with_menu(frame, {WXK_DOWN, WXK_DOWN, WXK_RETURN});
    ASSERT_TRUE(seen.opened);
    const std::vector<std::pair<std::string, bool>> listed = {{"TV0001B (free)", true},
                                                             {"TV0002B (free)", true}};
    EXPECT_EQ(seen.items, listed);
    two_probes::expect_probe_two(frame);
    two_probes::close_window(frame);
    probe_close();

    frame = two_probes::open_window();
    two_probes::expect_probe_two(frame);
    click(frame->Button2);
    const two_probes::MenuSeen again = two_probes::connect_with_menu(frame, {WXK_ESCAPE});
    const std::vector<std::pair<std::string, bool>> last_first = {{"TV0002B (free)", true},
                                                                 {"TV0001B (free)", true}};
    EXPECT_EQ(again.items, last_first);
    // Closed without a choice: still disconnected.
    EXPECT_EQ(utf8(frame->StatusBar1->GetStatusText(0)), "Not connected");
    two_probes::close_window(frame);
}

// Another program holds the first probe: the menu shows it in use, and it
// cannot be chosen.
TEST(UsbWindow, ConnectMenuShowsAProbeHeldElsewhereAsInUseAndPassesItOver) {
    usbsim::Options options;
    options.probes = 2;
    options.busy = 1;
    usbsim::bus().configure(options);
    auto* frame = two_probes::open_window();
    two_probes::expect_probe_two(frame);
    click(frame->Button2);

    // Down reaches only the free one.
    const two_probes::MenuSeen seen =
        two_probes::connect_with_menu(frame, {WXK_DOWN, WXK_DOWN, WXK_RETURN});
    const std::vector<std::pair<std::string, bool>> listed = {{"TV0002B (free)", true},
                                                             {"TV0001B (in use)", false}};
    EXPECT_EQ(seen.items, listed);
    two_probes::expect_probe_two(frame);
    two_probes::close_window(frame);
}
