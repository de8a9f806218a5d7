// "Stay on top" in every state: it sets and clears its own style bit and
// nothing else, and leaves the connection alone.
#include "window_test.h"

#include <gtest/gtest.h>

#include <functional>

using namespace gui_test;

class guiStayOnTop : public WindowTest {
protected:
    // Ticks and unticks "Stay on top", checking the style each time and that
    // the window's state check still holds after both.
    void tick_and_untick(const std::function<void()>& expect_state) {
        const long before = frame->GetWindowStyleFlag();
        ASSERT_EQ(before & wxSTAY_ON_TOP, 0);
        const std::size_t mark = log_mark();

        toggle(frame->CheckBox1);
        EXPECT_TRUE(frame->CheckBox1->GetValue());
        EXPECT_EQ(frame->GetWindowStyleFlag(), before | wxSTAY_ON_TOP);
        expect_state();

        toggle(frame->CheckBox1);
        EXPECT_FALSE(frame->CheckBox1->GetValue());
        EXPECT_EQ(frame->GetWindowStyleFlag(), before);
        expect_state();
        EXPECT_EQ(log_mark(), mark) << "stay on top talked to the probe";
    }
};

TEST_F(guiStayOnTop, WorksWhileDisconnected) {
    dev().unplug();
    open_window();
    tick_and_untick([this] {
        expect_disconnected("Not Connected");
        expect_reset_readings();
    });
}

TEST_F(guiStayOnTop, WorksWhileConnected) {
    open_window();
    tick_and_untick([this] { expect_connected(); });
}

TEST_F(guiStayOnTop, WorksWhileRefreshing) {
    open_window();
    toggle(frame->CheckBox2);
    tick_and_untick([this] { expect_refreshing(); });
}

TEST_F(guiStayOnTop, SurvivesDisconnectAndConnect) {
    open_window();
    toggle(frame->CheckBox1);
    click(frame->Button2);
    click(frame->Button1);
    EXPECT_TRUE(frame->CheckBox1->GetValue());
    EXPECT_TRUE(frame->HasFlag(wxSTAY_ON_TOP));
    expect_connected();
}
