// The measurement window as talviro_gui runs it, through the real libftdi1,
// on a modelled probe in real time.
#include "usbsim/usb_bus.h"
#include "event_loop.h"
#include "gui/talviro_guiFrame.h"

#include <wx/button.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/toplevel.h>

#include <gtest/gtest.h>

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

}  // namespace
