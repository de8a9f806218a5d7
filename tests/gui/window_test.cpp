#include "window_test.h"

#include <wx/app.h>
#include <wx/toplevel.h>

#include <gtest/gtest.h>

#include <unistd.h>
#ifdef _WIN32
#include <direct.h>
#endif

using namespace gui_test;

std::string WindowTest::enter_new_folder(const std::string& prefix) {
    std::string folder = ::testing::TempDir() + prefix + "XXXXXX";
#ifdef _WIN32
    // No mkdtemp: a name no file has yet, then the folder.
    const bool made = _mktemp(folder.data()) != nullptr && _mkdir(folder.c_str()) == 0;
#else
    const bool made = mkdtemp(folder.data()) != nullptr;
#endif
    return made && chdir(folder.c_str()) == 0 ? folder : std::string();
}

void WindowTest::TearDown() {
    // Something else on the display may have closed the window already.
    if (frame && wxTopLevelWindows.Find(frame)) {
        frame->Destroy();
        // Destroy() defers the deletion to the next idle time.
        EXPECT_TRUE(run_event_loop_until([] { return wxTopLevelWindows.IsEmpty(); }, 5000));
    }
    frame = nullptr;
    SimFixture::TearDown();
}

talviro_guiFrame& WindowTest::open_window(const std::string& serial) {
    frame = new talviro_guiFrame(nullptr, -1, serial);
    frame->Bind(wxEVT_PAINT, [this](wxPaintEvent& event) {
        painted = true;
        event.Skip();
    });
    frame->Show(true);
    return *frame;
}

void WindowTest::wait_until_painted() {
    ASSERT_NE(frame, nullptr);
    ASSERT_TRUE(run_event_loop_until([this] { return painted; }, 10000))
        << "the window was never painted";
    // Let the children finish their first draw too.
    run_event_loop_until([] { return !wxTheApp->Pending(); }, 1000);
}

void WindowTest::click(wxButton* button) {
    ASSERT_TRUE(button->IsEnabled()) << utf8(button->GetLabel()) << " is disabled";
    wxCommandEvent event(wxEVT_BUTTON, button->GetId());
    event.SetEventObject(button);
    button->ProcessWindowEvent(event);
}

void WindowTest::toggle(wxCheckBox* box) {
    ASSERT_TRUE(box->IsEnabled()) << utf8(box->GetLabel()) << " is disabled";
    box->SetValue(!box->GetValue());
    wxCommandEvent event(wxEVT_CHECKBOX, box->GetId());
    event.SetEventObject(box);
    event.SetInt(box->GetValue() ? 1 : 0);
    box->ProcessWindowEvent(event);
}

std::string WindowTest::status(int field) const {
    return utf8(frame->StatusBar1->GetStatusText(field));
}

std::string WindowTest::label(const wxWindow* control) { return utf8(control->GetLabel()); }

std::size_t WindowTest::calls_since(std::size_t mark, sim::Fn fn) const {
    const auto& log = dev().log();
    std::size_t n = 0;
    for (std::size_t i = mark; i < log.size(); ++i)
        if (log[i].fn == fn) ++n;
    return n;
}

std::size_t WindowTest::readouts_since(std::size_t mark) const {
    const std::size_t writes = calls_since(mark, sim::Fn::Write);
    const std::size_t reads = calls_since(mark, sim::Fn::Read);
    EXPECT_EQ(writes % kWritesPerReadout, 0u) << "a readout stopped half-way";
    EXPECT_EQ(reads * kWritesPerReadout, writes * kReadsPerReadout)
        << "writes and reads do not make whole readouts";
    return writes / kWritesPerReadout;
}

namespace {

void expect_full_scale_labels_greyed(const talviro_guiFrame& f) {
    EXPECT_FALSE(f.StaticText6->IsEnabled());
    EXPECT_FALSE(f.StaticText7->IsEnabled());
    EXPECT_FALSE(f.StaticText8->IsEnabled());
    EXPECT_FALSE(f.StaticText9->IsEnabled());
}

}  // namespace

void WindowTest::expect_disconnected(const std::string& state_text) const {
    SCOPED_TRACE("disconnected state");
    EXPECT_TRUE(frame->Button1->IsEnabled());
    EXPECT_FALSE(frame->Button2->IsEnabled());
    EXPECT_FALSE(frame->Button3->IsEnabled());
    EXPECT_FALSE(frame->CheckBox2->IsEnabled());
    EXPECT_FALSE(frame->CheckBox2->GetValue());
    EXPECT_TRUE(frame->CheckBox1->IsEnabled());
    EXPECT_FALSE(frame->Timer1.IsRunning());
    EXPECT_EQ(status(0), state_text);
    EXPECT_EQ(status(1), "");
    expect_full_scale_labels_greyed(*frame);
}

void WindowTest::expect_connected(const std::string& serial) const {
    SCOPED_TRACE("connected state");
    EXPECT_FALSE(frame->Button1->IsEnabled());
    EXPECT_TRUE(frame->Button2->IsEnabled());
    EXPECT_TRUE(frame->Button3->IsEnabled());
    EXPECT_TRUE(frame->CheckBox2->IsEnabled());
    EXPECT_FALSE(frame->CheckBox2->GetValue());
    EXPECT_TRUE(frame->CheckBox1->IsEnabled());
    EXPECT_FALSE(frame->Timer1.IsRunning());
    EXPECT_EQ(status(0), "TALVIRO Connected");
    EXPECT_EQ(status(1), "Serial: " + serial);
    expect_full_scale_labels_greyed(*frame);
}

void WindowTest::expect_refreshing(const std::string& serial) const {
    SCOPED_TRACE("refreshing state");
    EXPECT_FALSE(frame->Button1->IsEnabled());
    EXPECT_TRUE(frame->Button2->IsEnabled());
    EXPECT_FALSE(frame->Button3->IsEnabled());
    EXPECT_TRUE(frame->CheckBox2->IsEnabled());
    EXPECT_TRUE(frame->CheckBox2->GetValue());
    EXPECT_TRUE(frame->CheckBox1->IsEnabled());
    EXPECT_TRUE(frame->Timer1.IsRunning());
    EXPECT_EQ(frame->Timer1.GetInterval(), 1000);
    EXPECT_FALSE(frame->Timer1.IsOneShot());
    EXPECT_EQ(status(0), "TALVIRO Connected");
    EXPECT_EQ(status(1), "Serial: " + serial);
    expect_full_scale_labels_greyed(*frame);
}

void WindowTest::expect_reset_readings() const {
    SCOPED_TRACE("reset readings");
    EXPECT_EQ(label(frame->StaticText3), "V target = 0 V");
    EXPECT_EQ(label(frame->StaticText2), "I supply = 0 mA");
    EXPECT_EQ(label(frame->StaticText1), "A0 = 0 V");
    EXPECT_EQ(label(frame->StaticText4), "A1 = 0 V");
    EXPECT_EQ(frame->Gauge1->GetValue(), 0);
    EXPECT_EQ(frame->Gauge2->GetValue(), 0);
    EXPECT_EQ(frame->Gauge3->GetValue(), 0);
    EXPECT_EQ(frame->Gauge4->GetValue(), 0);
}
