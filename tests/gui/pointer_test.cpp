// Real pointer clicks through the X server (XTest), so the controls' own
// GTK signals produce the events, not the test.
#include "window_test.h"

#include <wx/uiaction.h>

#include <gtest/gtest.h>

using namespace gui_test;

namespace {
constexpr int kAnswerLimitMs = 5000;
}

class guiPointer : public WindowTest {
protected:
    void click_with_pointer(wxWindow* control) {
        const wxPoint centre =
            control->ClientToScreen(wxPoint(control->GetSize().x / 2, control->GetSize().y / 2));
        wxUIActionSimulator pointer;
        ASSERT_TRUE(pointer.MouseMove(centre));
        run_event_loop_until([&] { return wxGetMousePosition() == centre; }, kAnswerLimitMs);
        ASSERT_EQ(wxGetMousePosition(), centre);
        ASSERT_TRUE(pointer.MouseClick());
    }
};

TEST_F(guiPointer, ClickOnConnectConnects) {
    dev().unplug();
    open_window();
    wait_until_painted();
    expect_disconnected("Not Connected");

    dev().plug_in();
    dev().set_input_count(1, 100);
    click_with_pointer(frame->Button1);
    ASSERT_TRUE(run_event_loop_until([this] { return status(0) == "TALVIRO Connected"; },
                                     kAnswerLimitMs));
    expect_connected();
    EXPECT_EQ(label(frame->StaticText2), "I supply = 103 mA");
    EXPECT_EQ(dev().calls(sim::Fn::OpenEx).size(), 2u);
}

TEST_F(guiPointer, ClickOnRefreshContinuouslyStartsRefreshing) {
    open_window();
    wait_until_painted();

    click_with_pointer(frame->CheckBox2);
    ASSERT_TRUE(run_event_loop_until([this] { return frame->Timer1.IsRunning(); },
                                     kAnswerLimitMs));
    expect_refreshing();

    click_with_pointer(frame->CheckBox2);
    ASSERT_TRUE(run_event_loop_until([this] { return !frame->Timer1.IsRunning(); },
                                     kAnswerLimitMs));
    expect_connected();
}
