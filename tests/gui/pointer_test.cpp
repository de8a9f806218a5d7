// Real pointer clicks and key presses through the X server (XTest) or
// Windows' input queue, so the controls' own signals produce the events, not
// the test.
#include "window_test.h"

#include <wx/uiaction.h>

#include <gtest/gtest.h>

#include <functional>

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

// Key presses go to the focused control of the active window: a click on a
// button puts both there first.
class guiKeyboard : public guiPointer {
protected:
    static bool wait_for(const std::function<bool()>& done) {
        return run_event_loop_until(done, kAnswerLimitMs);
    }
    void press(int key, int modifiers = wxMOD_NONE) {
        ASSERT_TRUE(wxUIActionSimulator().Char(key, modifiers));
    }
    void expect_tab_to(const wxWindow* want, int modifiers = wxMOD_NONE) {
        press(WXK_TAB, modifiers);
        EXPECT_TRUE(wait_for([want] { return wxWindow::FindFocus() == want; }))
            << "the focus is not on " << label(want);
    }
    void click_for_focus(wxButton* button) {
        click_with_pointer(button);
        ASSERT_TRUE(wait_for([button] { return wxWindow::FindFocus() == button; }));
    }
};

TEST_F(guiKeyboard, TabGoesThroughTheControlsAndSpaceUsesThem) {
    open_window();
    wait_until_painted();
    click_for_focus(frame->Button3);
    // Connect is disabled while connected, so the focus passes it by.
    const wxWindow* const forward[] = {frame->CheckBox2, frame->Button2, frame->CheckBox1,
                                       frame->Button4};
    for (const wxWindow* next : forward) expect_tab_to(next);
    expect_tab_to(frame->CheckBox1, wxMOD_SHIFT);
    expect_tab_to(frame->Button2, wxMOD_SHIFT);
    expect_tab_to(frame->CheckBox2, wxMOD_SHIFT);

    press(WXK_SPACE);
    EXPECT_TRUE(wait_for([this] { return frame->Timer1.IsRunning(); }));
    expect_refreshing();
    expect_tab_to(frame->Button2);
    expect_tab_to(frame->CheckBox1);
    press(WXK_SPACE);
    EXPECT_TRUE(wait_for([this] { return frame->HasFlag(wxSTAY_ON_TOP); }));
    EXPECT_TRUE(frame->CheckBox1->GetValue());
}

TEST_F(guiKeyboard, WhileDisconnectedTabGoesFromConnectToStayOnTop) {
    dev().unplug();
    open_window();
    wait_until_painted();
    click_for_focus(frame->Button1);
    expect_tab_to(frame->CheckBox1);
    expect_tab_to(frame->Button1, wxMOD_SHIFT);
    dev().plug_in();
    press(WXK_SPACE);
    EXPECT_TRUE(wait_for([this] { return status(0) == "TALVIRO Connected"; }));
}

// Nothing clicked: the pointer rests on the window, whose focus is the one
// the window set at start.
TEST_F(guiKeyboard, FirstSpaceAfterStartPressesRefresh) {
    open_window();
    wait_until_painted();
    wxUIActionSimulator pointer;
    const wxPoint on_bar = frame->StatusBar1->ClientToScreen(wxPoint(4, 4));
    ASSERT_TRUE(pointer.MouseMove(on_bar));
    ASSERT_TRUE(wait_for([on_bar] { return wxGetMousePosition() == on_bar; }));
    ASSERT_TRUE(wait_for([this] { return wxWindow::FindFocus() == frame->Button3; }));
    const std::size_t mark = log_mark();
    press(WXK_SPACE);
    EXPECT_TRUE(wait_for([this, mark] { return readouts_since(mark) == 1; }));
    expect_connected();
}

TEST_F(guiKeyboard, DisconnectAndConnectFromTheKeyboardHandTheFocusToEachOther) {
    open_window();
    wait_until_painted();
    click_for_focus(frame->Button3);
    expect_tab_to(frame->CheckBox2);
    expect_tab_to(frame->Button2);
    press(WXK_SPACE);
    EXPECT_TRUE(wait_for([this] { return status(0) == "Not connected"; }));
    EXPECT_TRUE(wait_for([this] { return wxWindow::FindFocus() == frame->Button1; }));
    press(WXK_SPACE);
    EXPECT_TRUE(wait_for([this] { return status(0) == "TALVIRO Connected"; }));
    EXPECT_TRUE(wait_for([this] { return wxWindow::FindFocus() == frame->Button2; }));
    expect_connected();
}
