// The window as built: frame, ids, every control's place, size, label and
// greying, the status bar and the logo. ctest runs them at the default
// scale and again at larger ones (GTK's text scale, a 144-DPI Wine prefix),
// naming the factor in TALVIRO_TEST_SCALE: places and fixed sizes are given
// here at 96 DPI and expected multiplied by it. With TALVIRO_TEST_WIDE_FONT
// set they run with a font wider than the layout was made for (on Linux a
// fontconfig substitution, under Wine the family it names as the message
// font): the layout grows for it, so the factor is the window's own, at
// least the display's, and what counts is that nothing overlaps, nothing is
// cut and the window fits the screen.
#include "window_test.h"

#include <wx/display.h>
#include <wx/image.h>
#include <wx/log.h>
#include <wx/panel.h>
#include <wx/settings.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <unistd.h>
#ifdef __WXMSW__
#include <wx/msw/wrapwin.h>
#endif

using namespace gui_test;

namespace {

// 96-DPI pixels at a display scale: rounding leaves them 1 px either way,
// but at 1:1 every one is exact.
struct Scale {
    double factor;
    int px(int length) const { return static_cast<int>(std::lround(length * factor)); }
    int tolerance() const { return factor == 1.0 ? 0 : 1; }
};

Scale run_scale() {
    const char* factor = std::getenv("TALVIRO_TEST_SCALE");
    return Scale{factor ? std::atof(factor) : 1.0};
}

const char* wide_font() { return std::getenv("TALVIRO_TEST_WIDE_FONT"); }

// The scale f was laid out at, at the display scale display: that scale
// with the fonts the layout was made for; with a wide font, what the
// window's width shows, which is never less.
Scale laid_out_scale(const wxSize& client, const Scale& display) {
    if (!wide_font()) return display;
    const Scale grown{client.x / 496.0};
    EXPECT_GE(client.x, display.px(496)) << "the layout shrank for a wide font";
    return grown.factor > display.factor ? grown : display;
}

// A wxPoint or wxSize.
template <typename XY>
void expect_scaled(const XY& got, int x, int y, const Scale& s) {
    EXPECT_NEAR(got.x, s.px(x), s.tolerance()) << "at 96 DPI " << x;
    EXPECT_NEAR(got.y, s.px(y), s.tolerance()) << "at 96 DPI " << y;
}

// The client area as laid out: on Windows the status bar takes the bottom
// of it (the client area is sized before the bar exists).
wxSize client_area(const talviro_guiFrame& f) {
#ifdef __WXMSW__
    return f.GetClientSize() + wxSize(0, f.GetStatusBar()->GetSize().y);
#else
    return f.GetClientSize();
#endif
}

Scale laid_out_scale(const talviro_guiFrame& f, const Scale& display) {
    return laid_out_scale(client_area(f), display);
}

// The whole window fits the screen it is on.
void expect_on_screen(const talviro_guiFrame& f) {
    const wxRect screen = wxDisplay(&f).GetGeometry();
    EXPECT_LE(f.GetSize().x, screen.width) << "wider than the screen";
    EXPECT_LE(f.GetSize().y, screen.height) << "taller than the screen";
}

struct Placed {
    const wxWindow* control;
    long id;
    const char* name;
    int x, y;
    int width, height;  // -1: the control's best size
    const char* label;  // nullptr: not checked here
};

// Everything written to file descriptor 2 while it lives, GTK's own
// complaints included (they bypass std::cerr).
class Stderr {
public:
    Stderr() : file_(std::tmpfile()), saved_(dup(2)) {
        std::fflush(stderr);
        dup2(fileno(file_), 2);
    }
    ~Stderr() {
        restore();
        std::fclose(file_);
    }
    std::string text() {
        restore();
        std::rewind(file_);
        std::string out;
        char buf[512];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, file_)) > 0;) out.append(buf, n);
        return out;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    FILE* file_;
    int saved_;
};

// What the toolkit logs while it lives.
class Logged : public wxLog {
public:
    Logged() : previous_(wxLog::SetActiveTarget(this)) {}
    ~Logged() override { wxLog::SetActiveTarget(previous_); }
    std::string text() {
        wxLog::FlushActive();
        return text_;
    }

protected:
    void DoLogTextAtLevel(wxLogLevel, const wxString& msg) override {
        text_ += msg.utf8_string() + "\n";
    }

private:
    wxLog* previous_;
    std::string text_;
};

}  // namespace

class guiLayout : public WindowTest {
protected:
#ifdef __WXMSW__
    // Under Wine, the wide font is made the message font, which wx gives
    // the controls, before the window is made; it is put back afterwards, as
    // Wine keeps it for the whole prefix.
    void SetUp() override {
        WindowTest::SetUp();
        const char* family = wide_font();
        if (!family) return;
        message_font_.cbSize = sizeof message_font_;
        ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof message_font_,
                                          &message_font_, 0));
        NONCLIENTMETRICSW wide = message_font_;
        const wxString face(family);
        ASSERT_LT(face.length(), std::size(wide.lfMessageFont.lfFaceName));
        wcscpy(wide.lfMessageFont.lfFaceName, face.wc_str());
        ASSERT_TRUE(SystemParametersInfoW(SPI_SETNONCLIENTMETRICS, sizeof wide, &wide, 0));
        message_font_changed_ = true;
    }
    void TearDown() override {
        if (message_font_changed_) {
            SystemParametersInfoW(SPI_SETNONCLIENTMETRICS, sizeof message_font_, &message_font_, 0);
        }
        WindowTest::TearDown();
    }
    NONCLIENTMETRICSW message_font_ = {};
    bool message_font_changed_ = false;
#endif

    // Every control at its place (96-DPI pixels at scale s) with its id,
    // name, size and label, on the panel that fills the client area; none
    // covers another or reaches out of the window. Needs the disconnected
    // state's texts.
    void expect_controls_in_place(const Scale& s);
    // The widest readings do not run into their gauges (touching is fine)
    // at scale s.
    void expect_readings_clear_of_gauges(const Scale& s);
};

TEST_F(guiLayout, FrameIsAFixedSizeWindowWithTheProgramsTitle) {
    open_window();
    const long style = frame->GetWindowStyleFlag();
    EXPECT_EQ(utf8(frame->GetTitle()), "TALVIRO Measurement v1.0.1");
    EXPECT_EQ(utf8(frame->GetName()), "wxID_ANY");
    EXPECT_TRUE(style & wxCAPTION);
    EXPECT_TRUE(style & wxSYSTEM_MENU);
    EXPECT_TRUE(style & wxCLOSE_BOX);
    EXPECT_TRUE(style & wxMINIMIZE_BOX);
    EXPECT_FALSE(style & wxMAXIMIZE_BOX);
    EXPECT_FALSE(style & wxRESIZE_BORDER);
    EXPECT_FALSE(style & wxSTAY_ON_TOP);
    expect_scaled(client_area(*frame), 496, 196, laid_out_scale(*frame, run_scale()));
    expect_on_screen(*frame);
    EXPECT_EQ(frame->GetBackgroundColour(),
              wxSystemSettings::GetColour(wxSYS_COLOUR_INACTIVEBORDER));
}

TEST_F(guiLayout, IdsAreDistinctAndAllocatedInCreationOrder) {
    const long ids[] = {
        talviro_guiFrame::ID_STATICBOX1,  talviro_guiFrame::ID_CHECKBOX1,
        talviro_guiFrame::ID_GAUGE1,      talviro_guiFrame::ID_STATICTEXT1,
        talviro_guiFrame::ID_STATICTEXT2, talviro_guiFrame::ID_STATICTEXT3,
        talviro_guiFrame::ID_STATICTEXT4, talviro_guiFrame::ID_GAUGE2,
        talviro_guiFrame::ID_GAUGE3,      talviro_guiFrame::ID_GAUGE4,
        talviro_guiFrame::ID_BUTTON1,     talviro_guiFrame::ID_BUTTON2,
        talviro_guiFrame::ID_BUTTON3,     talviro_guiFrame::ID_CHECKBOX2,
        talviro_guiFrame::ID_STATICBITMAP1, talviro_guiFrame::ID_STATICTEXT5,
        talviro_guiFrame::ID_STATICTEXT6, talviro_guiFrame::ID_STATICTEXT7,
        talviro_guiFrame::ID_STATICTEXT8, talviro_guiFrame::ID_STATICTEXT9,
        talviro_guiFrame::ID_STATUSBAR1,  talviro_guiFrame::ID_TIMER1,
        talviro_guiFrame::ID_BUTTON4,
    };
    // wxNewId() counts upwards, so allocation order shows as rising values.
    for (std::size_t i = 1; i < std::size(ids); ++i) EXPECT_LT(ids[i - 1], ids[i]) << "id " << i;

    open_window();
    EXPECT_EQ(frame->Timer1.GetId(), talviro_guiFrame::ID_TIMER1);
    EXPECT_EQ(frame->Timer1.GetOwner(), frame);
}

TEST_F(guiLayout, ControlsSitAtTheirPlacesWithTheirLabels) {
    dev().unplug();  // the disconnected state shows the reset texts
    open_window();
    expect_controls_in_place(laid_out_scale(*frame, run_scale()));
}

void guiLayout::expect_controls_in_place(const Scale& s) {
    const talviro_guiFrame& f = *frame;
    ASSERT_EQ(f.Panel1->GetParent(), frame);
    EXPECT_EQ(f.Panel1->GetPosition(), wxPoint(0, 0));
    EXPECT_EQ(f.Panel1->GetSize(), f.GetClientSize());
    const Placed table[] = {
        {f.StaticBox1, f.ID_STATICBOX1, "ID_STATICBOX1", 0, 0, 320, 168, ""},
        {f.CheckBox1, f.ID_CHECKBOX1, "ID_CHECKBOX1", 340, 141, -1, -1, "Stay on top"},
        {f.Gauge1, f.ID_GAUGE1, "ID_GAUGE1", 128, 75, 140, 16, nullptr},
        {f.StaticText1, f.ID_STATICTEXT1, "ID_STATICTEXT1", 16, 75, -1, -1, "A0 = 0 V"},
        {f.StaticText2, f.ID_STATICTEXT2, "ID_STATICTEXT2", 16, 45, -1, -1, "I supply = 0 mA"},
        {f.StaticText3, f.ID_STATICTEXT3, "ID_STATICTEXT3", 16, 15, -1, -1, "V target = 0 V"},
        {f.StaticText4, f.ID_STATICTEXT4, "ID_STATICTEXT4", 16, 105, -1, -1, "A1 = 0 V"},
        {f.Gauge2, f.ID_GAUGE2, "ID_GAUGE2", 128, 45, 140, 16, nullptr},
        {f.Gauge3, f.ID_GAUGE3, "ID_GAUGE3", 128, 15, 140, 16, nullptr},
        {f.Gauge4, f.ID_GAUGE4, "ID_GAUGE4", 128, 105, 140, 16, nullptr},
        {f.Button1, f.ID_BUTTON1, "ID_BUTTON1", 340, 72, 140, 25, "Connect"},
        {f.Button2, f.ID_BUTTON2, "ID_BUTTON2", 340, 104, 140, 25, "Disconnect"},
        {f.Button3, f.ID_BUTTON3, "ID_BUTTON3", 16, 135, 140, 25, "Refresh"},
        {f.CheckBox2, f.ID_CHECKBOX2, "ID_CHECKBOX2", 168, 141, -1, -1, "Refresh continuously"},
        {f.StaticBitmap1, f.ID_STATICBITMAP1, "ID_STATICBITMAP1", 325, 6, 160, 40, nullptr},
        {f.StaticText5, f.ID_STATICTEXT5, "ID_STATICTEXT5", 336, 48, -1, -1, nullptr},
        {f.StaticText6, f.ID_STATICTEXT6, "ID_STATICTEXT6", 272, 15, -1, -1, "5V"},
        {f.StaticText7, f.ID_STATICTEXT7, "ID_STATICTEXT7", 272, 105, -1, -1, "10V"},
        {f.StaticText8, f.ID_STATICTEXT8, "ID_STATICTEXT8", 272, 75, -1, -1, "10V"},
        {f.StaticText9, f.ID_STATICTEXT9, "ID_STATICTEXT9", 272, 45, -1, -1, "0,5A"},
        {f.Button4, f.ID_BUTTON4, "ID_BUTTON4", 432, 135, 56, 25, "Trend\xE2\x80\xA6"},
    };
    const wxRect window(client_area(f));
    expect_on_screen(f);
    for (const Placed& p : table) {
        SCOPED_TRACE(p.name);
        ASSERT_NE(p.control, nullptr);
        EXPECT_EQ(p.control->GetParent(), f.Panel1);
        EXPECT_EQ(p.control->GetId(), p.id);
        EXPECT_EQ(utf8(p.control->GetName()), p.name);
        expect_scaled(p.control->GetPosition(), p.x, p.y, s);
        EXPECT_TRUE(window.Contains(p.control->GetRect())) << "reaches out of the window";
        // Nothing overlaps, but the reading box holds whole controls.
        for (const Placed& other : table) {
            const wxRect mine = p.control->GetRect(), theirs = other.control->GetRect();
            if (&other == &p || !mine.Intersects(theirs)) continue;
            EXPECT_TRUE(p.control == f.StaticBox1 ? mine.Contains(theirs)
                                                  : other.control == f.StaticBox1 && theirs.Contains(mine))
                << "overlaps " << other.name;
        }
        if (p.width < 0) {
            // Best-sized: at least what its label needs, so it shows whole.
            const wxSize best = p.control->GetBestSize();
            EXPECT_GE(p.control->GetSize().x, best.x);
            EXPECT_GE(p.control->GetSize().y, best.y);
        } else {
            expect_scaled(p.control->GetSize(), p.width, p.height, s);
        }
        if (p.label) {
            EXPECT_EQ(label(p.control), p.label);
        }
    }
    EXPECT_EQ(f.Gauge1->GetRange(), 1000);
    EXPECT_EQ(f.Gauge2->GetRange(), 500);
    EXPECT_EQ(f.Gauge3->GetRange(), 500);
    EXPECT_EQ(f.Gauge4->GetRange(), 1000);
    for (const wxGauge* g : {f.Gauge1, f.Gauge2, f.Gauge3, f.Gauge4}) {
        EXPECT_TRUE(g->HasFlag(wxGA_SMOOTH));
        EXPECT_FALSE(g->IsVertical());
    }
}

TEST_F(guiLayout, CheckBoxesKeepTheirPlaceAndShowTheirWholeLabel) {
    open_window();
    wait_until_painted();
    const Scale s = laid_out_scale(*frame, run_scale());
    const wxCheckBox* stay = frame->CheckBox1;
    const wxCheckBox* continuously = frame->CheckBox2;
    expect_scaled(stay->GetPosition(), 340, 141, s);
    expect_scaled(continuously->GetPosition(), 168, 141, s);
    // At least the size they were laid out for, and never less than GTK
    // needs to draw the box and the whole label, once shown.
    EXPECT_GE(stay->GetSize().x, s.px(88) - s.tolerance());
    EXPECT_GE(stay->GetSize().y, s.px(16) - s.tolerance());
    EXPECT_GE(stay->GetSize().x, stay->GetBestSize().x);
    EXPECT_GE(stay->GetSize().y, stay->GetBestSize().y);
    EXPECT_GE(continuously->GetSize().x, continuously->GetBestSize().x);
    EXPECT_GE(continuously->GetSize().y, continuously->GetBestSize().y);
    // Side by side without covering each other, and inside the window.
    EXPECT_LE(continuously->GetRect().GetRight(), stay->GetPosition().x);
    EXPECT_LE(stay->GetRect().GetRight(), frame->GetClientSize().x);
}

TEST_F(guiLayout, BuildingAndShowingTheWindowWritesNothingOnStderr) {
    // stderr is the probe link's diagnostic stream; the toolkit must not
    // clutter it (GTK complains there about widgets allocated too small).
    Stderr captured;
    open_window();
    wait_until_painted();
    EXPECT_EQ(captured.text(), "");
}

TEST_F(guiLayout, MakersNoticeIsOneLineInTheRightColumn) {
    open_window();
    const wxStaticText* notice = frame->StaticText5;
    EXPECT_FALSE(label(notice).empty());
    EXPECT_EQ(label(notice).find('\n'), std::string::npos);
    EXPECT_LE(notice->GetRect().GetRight(), frame->GetClientSize().x);
    EXPECT_LE(notice->GetRect().GetBottom(), frame->Button1->GetPosition().y);
}

TEST_F(guiLayout, StatusBarHasTwoEqualFields) {
    open_window();
    const wxStatusBar* bar = frame->StatusBar1;
    EXPECT_EQ(frame->GetStatusBar(), bar);
    EXPECT_EQ(bar->GetId(), talviro_guiFrame::ID_STATUSBAR1);
    EXPECT_EQ(utf8(bar->GetName()), "ID_STATUSBAR1");
    EXPECT_FALSE(bar->HasFlag(wxSTB_SIZEGRIP));
    ASSERT_EQ(bar->GetFieldsCount(), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(bar->GetStatusWidth(i), -10);
        EXPECT_EQ(bar->GetStatusStyle(i), wxSB_NORMAL);
    }
}

TEST_F(guiLayout, LogoComesFromLogoJpgInTheWorkingDirectory) {
    open_window();
    const wxBitmap logo = frame->StaticBitmap1->GetBitmap();
    ASSERT_TRUE(logo.IsOk());
    // Scaled to its area; at 96 DPI as the file has it.
    expect_scaled(logo.GetSize(), 160, 40, laid_out_scale(*frame, run_scale()));
    EXPECT_EQ(logo.GetSize(), frame->StaticBitmap1->GetSize());
    // It fits the column right of the reading box, above the maker's notice.
    const wxRect place = frame->StaticBitmap1->GetRect();
    EXPECT_GT(place.GetLeft(), frame->StaticBox1->GetRect().GetRight());
    EXPECT_LE(place.GetRight(), frame->GetClientSize().x);
    EXPECT_LE(place.GetBottom(), frame->StaticText5->GetPosition().y);
}

// Any logo.jpg shows at its own size times the display scale, aspect kept,
// scaled once: the bitmap the control draws is the size of the control.
TEST_F(guiLayout, ALogoShowsAtItsOwnSizeTimesTheScale) {
    const std::string folder = enter_new_folder("talviro-own-logo-");
    ASSERT_FALSE(folder.empty());
    wxImage picture(150, 40);
    picture.SetRGB(wxRect(0, 0, 150, 40), 0x20, 0x60, 0xA0);
    ASSERT_TRUE(picture.SaveFile("logo.jpg", wxBITMAP_TYPE_JPEG));
    open_window();
    wait_until_painted();

    const Scale s = laid_out_scale(*frame, run_scale());
    const wxBitmap logo = frame->StaticBitmap1->GetBitmap();
    ASSERT_TRUE(logo.IsOk());
    expect_scaled(logo.GetSize(), 150, 40, s);
    EXPECT_EQ(logo.GetSize(), frame->StaticBitmap1->GetSize());
    expect_scaled(frame->StaticBitmap1->GetPosition(), 325, 6, s);
    unlink("logo.jpg");
    rmdir(folder.c_str());
}

TEST_F(guiLayout, WithoutALogoTheWindowIsStillComplete) {
    const std::string folder = enter_new_folder("talviro-no-logo-");
    ASSERT_FALSE(folder.empty());
    // No dialog: the toolkit logs nothing (its log is a modal box in the
    // program), and one line says the logo is missing.
    Logged logged;
    {
        Stderr captured;
        open_window();
        EXPECT_EQ(captured.text(),
                  "talviro_gui_tests: no readable logo.jpg in the working folder, beside the"
                  " program or in its data folder; the logo area stays empty\n");
    }
    wait_until_painted();
    EXPECT_EQ(logged.text(), "");

    const Scale s = laid_out_scale(*frame, run_scale());
    EXPECT_FALSE(frame->StaticBitmap1->GetBitmap().IsOk());
    expect_scaled(frame->StaticBitmap1->GetPosition(), 325, 6, s);
    expect_scaled(frame->StaticBitmap1->GetSize(), 160, 40, s);
    EXPECT_EQ(utf8(frame->StaticBitmap1->GetName()), "ID_STATICBITMAP1");
    expect_connected();
    expect_scaled(frame->Button1->GetPosition(), 340, 72, s);
    expect_scaled(frame->StaticText5->GetPosition(), 336, 48, s);
    EXPECT_EQ(readouts_since(0), 1u);

    // And it works as usual.
    const std::size_t mark = log_mark();
    click(frame->Button3);
    EXPECT_EQ(readouts_since(mark), 1u);
    click(frame->Button2);
    expect_disconnected("Not connected");
    rmdir(folder.c_str());
}

TEST_F(guiLayout, WidestReadingsStayLeftOfTheirGauges) {
    // Full scale gives the longest texts: "I supply = 1049 mA", "11.40 V".
    for (unsigned ch = 0; ch < 4; ++ch) dev().set_input_count(ch, 1023);
    open_window();
    wait_until_painted();
    expect_readings_clear_of_gauges(laid_out_scale(*frame, run_scale()));
}

void guiLayout::expect_readings_clear_of_gauges(const Scale& s) {
    const std::pair<wxStaticText*, wxGauge*> rows[] = {{frame->StaticText1, frame->Gauge1},
                                                       {frame->StaticText2, frame->Gauge2},
                                                       {frame->StaticText3, frame->Gauge3},
                                                       {frame->StaticText4, frame->Gauge4}};
    for (const auto& [text, gauge] : rows) {
        SCOPED_TRACE(utf8(text->GetLabel()));
        // One past the text's last column: touching the gauge is not
        // overlapping it. A scaled font's pixel size is rounded as the
        // positions are (Wine's 11 px at 96 DPI is 17 px at 144), so a text
        // that touches its gauge at 96 DPI may take that pixel more; its
        // last column is the space after its last letter.
        const int text_end = text->GetPosition().x + text->GetTextExtent(text->GetLabel()).x;
        EXPECT_LE(text_end, gauge->GetPosition().x + s.tolerance());
    }
}

#ifdef __WXMSW__
// Windows' "Text size" (Accessibility) at 150 % makes the message font, which
// wx gives the controls, 13.5 pt instead of 9: the layout grows with it.
TEST_F(guiLayout, WindowsTextSizeGrowsTheLayoutWithTheFont) {
    constexpr double kTextSize = 1.5;
    const Scale display{run_scale().factor * kTextSize};
    if (display.px(496) > wxGetDisplaySize().x) GTEST_SKIP() << "the window would not fit the screen";
    constexpr int kTenthsOfPointsAt150 = 135;
    constexpr int kTenthsPerInch = 720;
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0));
    const HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    // Wine keeps the setting for the whole prefix, saved or not: it is put
    // back however the test ends.
    struct Restore {
        NONCLIENTMETRICSW saved;
        ~Restore() { SystemParametersInfoW(SPI_SETNONCLIENTMETRICS, sizeof saved, &saved, 0); }
    } restore{metrics};
    metrics.lfMessageFont.lfHeight = -MulDiv(kTenthsOfPointsAt150, dpi, kTenthsPerInch);
    ASSERT_TRUE(SystemParametersInfoW(SPI_SETNONCLIENTMETRICS, sizeof metrics, &metrics, 0));

    for (unsigned ch = 0; ch < 4; ++ch) dev().set_input_count(ch, 1023);
    open_window();
    wait_until_painted();
    const Scale s = laid_out_scale(*frame, display);
    expect_scaled(client_area(*frame), 496, 196, s);
    expect_readings_clear_of_gauges(s);
    click(frame->Button2);  // the reset texts, as the table has them
    expect_controls_in_place(s);
}

// Windows sends WM_DPICHANGED when the window moves to a monitor of another
// DPI, with the rectangle it suggests for it: here from 96 to 144 DPI, from
// 144 back to 96, or from a higher DPI to 144.
TEST_F(guiLayout, ADpiChangeLaysTheWindowOutForTheNewDpi) {
    for (unsigned ch = 0; ch < 4; ++ch) dev().set_input_count(ch, 1023);
    open_window();
    wait_until_painted();
    const Scale before = run_scale();
    // From 150 % down to 100 %, from 100 % or above 150 % to 150 %.
    const Scale display_after{before.factor == 1.5 ? 1.0 : 1.5};
    const int dpi = static_cast<int>(std::lround(96 * display_after.factor));
    const wxSize frame_edges = frame->GetSize() - client_area(*frame);
    const wxPoint origin = frame->GetPosition();
    RECT suggested = {origin.x, origin.y, origin.x + frame_edges.x + display_after.px(496),
                      origin.y + frame_edges.y + display_after.px(196)};
    SendMessage(static_cast<HWND>(frame->GetHWND()), WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                reinterpret_cast<LPARAM>(&suggested));
    wait_until_painted();

    // Where Windows suggested, and as large; larger by what the layout grew
    // for a wide font.
    const Scale after = laid_out_scale(*frame, display_after);
    const wxSize growth = wxSize(after.px(496), after.px(196)) - wxSize(display_after.px(496),
                                                                        display_after.px(196));
    const wxRect expected(origin.x, origin.y, suggested.right - suggested.left + growth.x,
                          suggested.bottom - suggested.top + growth.y);
    EXPECT_EQ(frame->GetPosition(), expected.GetPosition());
    const int rounding = wide_font() ? 1 : 0;  // the growth is known to a pixel
    EXPECT_NEAR(frame->GetSize().x, expected.width, rounding);
    EXPECT_NEAR(frame->GetSize().y, expected.height, rounding);
    expect_scaled(client_area(*frame), 496, 196, after);
    expect_readings_clear_of_gauges(after);
    // The logo made again for the new DPI, and scaled once.
    EXPECT_EQ(frame->StaticBitmap1->GetBitmap().GetSize(), frame->StaticBitmap1->GetSize());
    click(frame->Button2);  // the reset texts, as the table has them
    expect_controls_in_place(after);
}
#endif
