#include "gui/talviro_guiFrame.h"

#include "console/unavailable.h"
#include "probe/converter.h"
#include "probe/probe_channel.h"
#include "probe/readings.h"

#include <wx/app.h>
#include <wx/bitmap.h>
#include <wx/button.h>
#include <wx/config.h>
#include <wx/checkbox.h>
#include <wx/dcclient.h>
#include <wx/display.h>
#include <wx/font.h>
#include <wx/gauge.h>
#include <wx/image.h>
#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/intl.h>
#include <wx/log.h>
#include <wx/math.h>
#include <wx/menu.h>
#include <wx/panel.h>
#include <wx/settings.h>
#include <wx/statbmp.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/stdpaths.h>

#ifdef __WXGTK__
#include <gtk/gtk.h>
#endif
#ifdef __WXMSW__
#include <wx/msw/wrapwin.h>
#endif

#include <algorithm>
#include <cmath>
#include <iostream>

namespace {

// TALVIRO_VERSION is the project version, set once in the top CMakeLists.
const wxString kTitle = "TALVIRO Measurement v" TALVIRO_VERSION;
// Between the title and the connected probe's serial while several are
// plugged in: a space, an en dash, a space.
const wxString kTitleSerialSeparator = wxString::FromUTF8(" \xE2\x80\x93 ");
const wxString kLogoFile = "logo.jpg";
// The installed data folder as seen from the installed program's folder.
const wxString kDataFolderFromProgram = TALVIRO_DATA_FROM_PROGRAM;
// One line that fits the column right of the reading box.
const wxString kMakerNotice = "TALVIRO probe tools";

// Fixed, not resizable, not maximisable.
constexpr long kFrameStyle = wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX | wxMINIMIZE_BOX;
// Positions and sizes are pixels at this resolution (Windows' 100 %).
const int kLayoutUnitDpi = wxDisplay::GetStdPPIValue();
const wxSize kClientSize(496, 196);

const wxSize kGaugeSize(140, 16);
constexpr int kVoltsGaugeRange = 1000;   // 10.00 V in 10 mV steps
constexpr int kTargetGaugeRange = 500;   // 5.00 V in 10 mV steps
constexpr int kCurrentGaugeRange = 500;  // 500 mA
const wxSize kButtonSize(140, 25);
const wxSize kStayOnTopSize(88, 16);
const wxSize kReadingBoxSize(320, 168);
// The logo area without a logo: the size of the logo the package brings.
const wxSize kLogoAreaSize(160, 40);
// In the free corner right of "Stay on top", bottom-aligned with Refresh.
const wxPoint kTrendButtonPosition(432, 135);
const wxSize kTrendButtonSize(56, 25);
// The room each text has in the 96-DPI layout, from its left edge to the
// next control's: a reading to its gauge, "Refresh continuously" to "Stay on
// top", "Stay on top" to Trend..., a gauge's full-scale label to the reading
// box's frame, the maker's notice to the window's edge.
constexpr int kReadingLeft = 16, kReadingRight = 128;
constexpr int kRefreshContinuouslyLeft = 168, kRefreshContinuouslyRight = 340;
constexpr int kStayOnTopLeft = 340, kStayOnTopRight = 432;
constexpr int kGaugeLabelLeft = 272, kGaugeLabelRight = 320 - 4;
constexpr int kMakerNoticeLeft = 336, kMakerNoticeRight = 496;
// A button's label leaves at least this much of its width free, for the
// frame and the focus mark.
constexpr int kButtonLabelMargin = 12;
// A font wider than any that would need this is no layout's to fix.
constexpr int kMaxLayoutGrowth = 4;

#ifdef __WXGTK__
constexpr int kLayoutFontPoints = 8;
#endif
#ifdef __WXMSW__
// The point size of Windows' message font, which wx gives the controls, at
// text size 100 %. Windows' "Text size" setting enlarges it.
constexpr double kWindowsFontPoints = 9.0;
#endif
constexpr int kRefreshPeriodMs = 1000;
// The capture's readouts are drawn at most this often: a frame rate of 25.
constexpr int kCaptureDrainMs = 40;
constexpr long kStayOnTopStyle = wxSTAY_ON_TOP;

// Status bar.
constexpr int kStatusFields = 2;
constexpr int kStateField = 0;
constexpr int kSerialField = 1;
// Two texts on purpose, told apart only by one capital: the first follows a
// reset (Disconnect), the second a connection attempt that failed.
const wxString kStatusReset = "Not connected";
const wxString kStatusConnectFailed = "Not Connected";
const wxString kStatusConnected = "TALVIRO Connected";
const wxString kStatusNotResponding = "TALVIRO not responding";
const wxString kSerialPrefix = "Serial: ";

// The menu of probes under Connect: item i is probe i of the menu's order.
constexpr int kFirstProbeItemId = wxID_HIGHEST + 1;

// Where the serial of the probe last connected is kept.
const wxString kLastProbeKey = "/Probe/LastSerial";

// wxGTK: a GtkCheckButton needs more than 16 px of height; given less it cuts
// the label ("Stay on to") and GTK prints Gtk-CRITICAL lines on stderr, the
// stream the probe link keeps for its diagnostics. So a check box laid out
// at a fixed size keeps its position but grows to at least its best size
// ("Refresh continuously" is created at its best size to begin with).
void grow_to_best_size(wxWindow* control, const wxSize& size) {
    const wxSize best = control->GetBestSize();
    control->SetSize(wxSize(std::max(size.x, best.x), std::max(size.y, best.y)));
}

#ifdef __WXGTK__
// GTK brings a control's style up to date when it next draws it, and until
// then measures its text in the desktop's font, not the one the frame gave
// it: a best size made then fits another text. Brought up to date at once,
// the control measures the text it will draw. (GTK 3.24 has no other call
// that does so.)
void restyle_now(wxWindow* control) {
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_style_context_invalidate(gtk_widget_get_style_context(control->GetHandle()));
    G_GNUC_END_IGNORE_DEPRECATIONS
    control->InvalidateBestSize();
}
#endif

#ifndef __WXMSW__
// The resolution the layout is scaled to (on Windows the frame's LayoutDpi).
// GTK: its text resolution, which the desktop's text scaling (or
// GDK_DPI_SCALE) raises above 96 and which scales the text itself; a
// lower one keeps the layout at 1:1. GDK_SCALE's integer scaling needs
// nothing here: GTK scales the whole window itself.
int layout_dpi() {
#if defined(__WXGTK__)
    const double text_dpi = gdk_screen_get_resolution(gdk_screen_get_default());
    return std::max(kLayoutUnitDpi, static_cast<int>(std::lround(text_dpi)));
#else
    return kLayoutUnitDpi;
#endif
}
#endif

#ifdef __WXMSW__
// Scales the point size of the font of window and of every window in it by
// factor, each made anew for the DPI wx draws that window at.
void scale_fonts(wxWindow* window, double factor) {
    wxFont font = window->GetFont();
    font.SetFractionalPointSize(font.GetFractionalPointSize() * factor);
    font.WXAdjustToPPI(window->GetDPI());
    window->SetFont(font);
    for (wxWindow* child : window->GetChildren()) scale_fonts(child, factor);
}
#endif

// wxGTK: wxGauge::SetValue asserts on a value above the range, which a release
// build turns into a modal "assertion failed" dialog. Counts of 449 and up on
// V target, 488 and up on I supply and 899 and up on A0/A1 get there, so the
// gauge is held at full scale instead.
void show_on_gauge(wxGauge* gauge, int value) {
    gauge->SetValue(readings::clamp_to_range(value, gauge->GetRange()));
}

// The program's name for its lines on standard error.
std::string program_name() {
    return wxTheApp ? wxTheApp->GetAppName().utf8_string() : std::string("talviro_gui");
}

// The serial of the probe last connected, or empty. A missing or unreadable
// store is no error: the toolkit's complaints are kept quiet.
std::string remembered_serial() {
    wxLogNull quiet;
    wxConfigBase* config = wxConfigBase::Get();
    wxString serial;
    if (config == nullptr || !config->Read(kLastProbeKey, &serial)) return {};
    return serial.utf8_string();
}

// Keeps serial as the probe last connected, written out at once; a store
// that cannot be written is no error either.
void remember_serial(const std::string& serial) {
    wxLogNull quiet;
    wxConfigBase* config = wxConfigBase::Get();
    if (config == nullptr) return;
    if (config->Write(kLastProbeKey, wxString::FromUTF8(serial))) config->Flush();
}

// probes with the one whose serial is last moved to the front, the rest in
// the driver's order.
std::vector<ProbeEntry> last_used_first(std::vector<ProbeEntry> probes, const std::string& last) {
    std::stable_partition(probes.begin(), probes.end(), [&last](const ProbeEntry& probe) {
        return !last.empty() && probe.name == last;
    });
    return probes;
}

// The logo: logo.jpg from the working directory, else from the program's
// folder, else from the installed data folder. A file that is not there is
// not loaded, and one that cannot be decoded is passed over quietly (the
// toolkit's log would show a modal box); without any, one line on standard
// error and an invalid image.
wxImage load_logo() {
    const wxFileName program(wxStandardPaths::Get().GetExecutablePath());
    const wxString places[] = {
        kLogoFile,
        wxFileName(program.GetPath(), kLogoFile).GetFullPath(),
        wxFileName(program.GetPath() + wxFileName::GetPathSeparator() + kDataFolderFromProgram,
                   kLogoFile).GetFullPath(),
    };
    for (const wxString& place : places) {
        if (!wxFileExists(place)) continue;
        wxLogNull quiet;
        wxImage logo;
        if (logo.LoadFile(place, wxBITMAP_TYPE_ANY, -1)) return logo;
    }
    std::cerr << program_name() << ": no readable " << kLogoFile.utf8_string()
              << " in the working folder, beside the program or in its data folder; the logo"
                 " area stays empty\n"
              << std::flush;
    return wxImage();
}

}  // namespace

const long talviro_guiFrame::ID_STATICBOX1 = wxNewId();
const long talviro_guiFrame::ID_CHECKBOX1 = wxNewId();
const long talviro_guiFrame::ID_GAUGE1 = wxNewId();
const long talviro_guiFrame::ID_STATICTEXT1 = wxNewId();
const long talviro_guiFrame::ID_STATICTEXT2 = wxNewId();
const long talviro_guiFrame::ID_STATICTEXT3 = wxNewId();
const long talviro_guiFrame::ID_STATICTEXT4 = wxNewId();
const long talviro_guiFrame::ID_GAUGE2 = wxNewId();
const long talviro_guiFrame::ID_GAUGE3 = wxNewId();
const long talviro_guiFrame::ID_GAUGE4 = wxNewId();
const long talviro_guiFrame::ID_BUTTON1 = wxNewId();
const long talviro_guiFrame::ID_BUTTON2 = wxNewId();
const long talviro_guiFrame::ID_BUTTON3 = wxNewId();
const long talviro_guiFrame::ID_CHECKBOX2 = wxNewId();
const long talviro_guiFrame::ID_STATICBITMAP1 = wxNewId();
const long talviro_guiFrame::ID_STATICTEXT5 = wxNewId();
const long talviro_guiFrame::ID_STATICTEXT6 = wxNewId();
const long talviro_guiFrame::ID_STATICTEXT7 = wxNewId();
const long talviro_guiFrame::ID_STATICTEXT8 = wxNewId();
const long talviro_guiFrame::ID_STATICTEXT9 = wxNewId();
const long talviro_guiFrame::ID_STATUSBAR1 = wxNewId();
const long talviro_guiFrame::ID_TIMER1 = wxNewId();
const long talviro_guiFrame::ID_BUTTON4 = wxNewId();

// Every handler is bound at run time in the constructor; the static table
// holds only its terminator.
BEGIN_EVENT_TABLE(talviro_guiFrame, wxFrame)
END_EVENT_TABLE()

talviro_guiFrame::talviro_guiFrame(wxWindow* parent, wxWindowID WXUNUSED(id),
                                   const std::string& wanted_serial)
    : wanted_serial_(wanted_serial) {
    Create(parent, wxID_ANY, _(kTitle), wxDefaultPosition, wxDefaultSize, kFrameStyle,
           "wxID_ANY");
#ifdef __WXMSW__
    window_dpi_ = GetDPI().y;
    layout_dpi_ = LayoutDpi(window_dpi_);
#else
    layout_dpi_ = layout_dpi();
#endif
    SetClientSize(Scaled(kClientSize));
    SetBackgroundColour(wxSystemSettings::GetColour(wxSYS_COLOUR_INACTIVEBORDER));
#ifdef __WXGTK__
    // The layout is made for Windows' 8 pt dialog font, which Windows
    // controls get by themselves. With GTK's usual 10 pt, "I supply
    // = 103 mA" runs into its gauge at x 128, so the frame sets the size its
    // controls inherit. GTK applies it to a control only after measuring it,
    // so the controls are brought up to date with it before they are laid
    // out (restyle_now).
    wxFont font = GetFont();
    font.SetPointSize(kLayoutFontPoints);
    SetFont(font);
#endif
    // The frame's only child besides the status bar, so the frame keeps it
    // filling the client area; it inherits the frame's colour and font.
    Panel1 = new wxPanel(this, wxID_ANY, wxPoint(0, 0), GetClientSize(), wxTAB_TRAVERSAL);

    // Created where they belong; LayOut() gives each its place and size.
    StaticBox1 = new wxStaticBox(Panel1, ID_STATICBOX1, wxEmptyString, wxDefaultPosition,
                                 wxDefaultSize, 0, "ID_STATICBOX1");
    CheckBox1 = new wxCheckBox(Panel1, ID_CHECKBOX1, _("Stay on top"), wxDefaultPosition,
                               wxDefaultSize, 0, wxDefaultValidator, "ID_CHECKBOX1");
    CheckBox1->SetValue(false);
    Gauge1 = new wxGauge(Panel1, ID_GAUGE1, kVoltsGaugeRange, wxDefaultPosition, wxDefaultSize,
                         wxGA_SMOOTH, wxDefaultValidator, "ID_GAUGE1");
    StaticText1 = new wxStaticText(Panel1, ID_STATICTEXT1, _("A0 = 0 V"), wxDefaultPosition,
                                   wxDefaultSize, 0, "ID_STATICTEXT1");
    StaticText2 = new wxStaticText(Panel1, ID_STATICTEXT2, _("I supply = 0 mA"),
                                   wxDefaultPosition, wxDefaultSize, 0, "ID_STATICTEXT2");
    StaticText3 = new wxStaticText(Panel1, ID_STATICTEXT3, _("V target = 0 V"),
                                   wxDefaultPosition, wxDefaultSize, 0, "ID_STATICTEXT3");
    StaticText4 = new wxStaticText(Panel1, ID_STATICTEXT4, _("A1 = 0V"), wxDefaultPosition,
                                   wxDefaultSize, 0, "ID_STATICTEXT4");
    Gauge2 = new wxGauge(Panel1, ID_GAUGE2, kCurrentGaugeRange, wxDefaultPosition,
                         wxDefaultSize, wxGA_SMOOTH, wxDefaultValidator, "ID_GAUGE2");
    Gauge3 = new wxGauge(Panel1, ID_GAUGE3, kTargetGaugeRange, wxDefaultPosition, wxDefaultSize,
                         wxGA_SMOOTH, wxDefaultValidator, "ID_GAUGE3");
    Gauge4 = new wxGauge(Panel1, ID_GAUGE4, kVoltsGaugeRange, wxDefaultPosition, wxDefaultSize,
                         wxGA_SMOOTH, wxDefaultValidator, "ID_GAUGE4");
    Button1 = new wxButton(Panel1, ID_BUTTON1, _("Connect"), wxDefaultPosition, wxDefaultSize,
                           0, wxDefaultValidator, "ID_BUTTON1");
    Button2 = new wxButton(Panel1, ID_BUTTON2, _("Disconnect"), wxDefaultPosition,
                           wxDefaultSize, 0, wxDefaultValidator, "ID_BUTTON2");
    Button2->Enable(false);
    Button3 = new wxButton(Panel1, ID_BUTTON3, _("Refresh"), wxDefaultPosition, wxDefaultSize,
                           0, wxDefaultValidator, "ID_BUTTON3");
    Button3->Enable(false);
    CheckBox2 = new wxCheckBox(Panel1, ID_CHECKBOX2, _("Refresh continuously"),
                               wxDefaultPosition, wxDefaultSize, 0, wxDefaultValidator,
                               "ID_CHECKBOX2");
    CheckBox2->SetValue(false);
    CheckBox2->Enable(false);
    {
        // wxGTK asserts when an invalid image is turned into a bitmap, so a
        // missing or undecodable logo leaves the control without an image.
        logo_ = load_logo();
        StaticBitmap1 = new wxStaticBitmap(Panel1, ID_STATICBITMAP1, wxNullBitmap,
                                           wxDefaultPosition, wxDefaultSize, 0,
                                           "ID_STATICBITMAP1");
#ifdef __WXMSW__
        // Without version 6 of the common controls (under Wine, for one)
        // wxMSW paints the control itself, and asserts on a missing image.
        // An empty area is all there is to paint then; handlers bound later
        // run first.
        if (!logo_.IsOk()) {
            StaticBitmap1->Bind(wxEVT_PAINT, [this](wxPaintEvent&) { wxPaintDC empty(StaticBitmap1); });
        }
#endif
    }
    StaticText5 = new wxStaticText(Panel1, ID_STATICTEXT5, _(kMakerNotice), wxDefaultPosition,
                                   wxDefaultSize, 0, "ID_STATICTEXT5");
    StaticText6 = new wxStaticText(Panel1, ID_STATICTEXT6, _("5V"), wxDefaultPosition,
                                   wxDefaultSize, 0, "ID_STATICTEXT6");
    StaticText6->Enable(false);
    StaticText7 = new wxStaticText(Panel1, ID_STATICTEXT7, _("10V"), wxDefaultPosition,
                                   wxDefaultSize, 0, "ID_STATICTEXT7");
    StaticText7->Enable(false);
    StaticText8 = new wxStaticText(Panel1, ID_STATICTEXT8, _("10V"), wxDefaultPosition,
                                   wxDefaultSize, 0, "ID_STATICTEXT8");
    StaticText8->Enable(false);
    StaticText9 = new wxStaticText(Panel1, ID_STATICTEXT9, _("0,5A"), wxDefaultPosition,
                                   wxDefaultSize, 0, "ID_STATICTEXT9");
    StaticText9->Enable(false);
    Button4 = new wxButton(Panel1, ID_BUTTON4, wxString::FromUTF8("Trend\xE2\x80\xA6"),
                           wxDefaultPosition, wxDefaultSize, 0, wxDefaultValidator, "ID_BUTTON4");
#ifdef __WXGTK__
    for (wxWindow* control : Panel1->GetChildren()) restyle_now(control);
#endif
    LayOut();
    // Larger than made at when a text needed more room.
    SetClientSize(Scaled(kClientSize));

    // The keyboard's order, left to right and then the right column; a
    // disabled control is passed over.
    Button3->MoveBeforeInTabOrder(StaticBox1);
    CheckBox2->MoveAfterInTabOrder(Button3);
    Button1->MoveAfterInTabOrder(CheckBox2);
    Button2->MoveAfterInTabOrder(Button1);
    CheckBox1->MoveAfterInTabOrder(Button2);
    Button4->MoveAfterInTabOrder(CheckBox1);

    StatusBar1 = new wxStatusBar(this, ID_STATUSBAR1, 0, "ID_STATUSBAR1");
    const int widths[kStatusFields] = {-10, -10};
    const int styles[kStatusFields] = {wxSB_NORMAL, wxSB_NORMAL};
    StatusBar1->SetFieldsCount(kStatusFields, widths);
    StatusBar1->SetStatusStyles(kStatusFields, styles);
    SetStatusBar(StatusBar1);
    // The toolkit shows menu help in the status bar and puts the field's
    // text back afterwards; none of that here, the fields show the link.
    SetStatusBarPane(-1);

    Timer1.SetOwner(this, ID_TIMER1);
    CaptureTimer.Bind(wxEVT_TIMER, &talviro_guiFrame::OnCaptureTimer, this);
    Connect(wxEVT_CLOSE_WINDOW, wxCloseEventHandler(talviro_guiFrame::OnClose), nullptr, this);
    trend_.set_rate_handler([this](console::CaptureRate rate) { SetCaptureRate(rate); });

    // One id each (no range), no user data, the frame handles them itself.
    Connect(ID_CHECKBOX1, wxID_ANY, wxEVT_COMMAND_CHECKBOX_CLICKED,
            wxCommandEventHandler(talviro_guiFrame::OnStayOnTopClick), nullptr, this);
    Connect(ID_BUTTON1, wxID_ANY, wxEVT_COMMAND_BUTTON_CLICKED,
            wxCommandEventHandler(talviro_guiFrame::OnConnectClick), nullptr, this);
    Connect(ID_BUTTON2, wxID_ANY, wxEVT_COMMAND_BUTTON_CLICKED,
            wxCommandEventHandler(talviro_guiFrame::OnDisconnectClick), nullptr, this);
    Connect(ID_BUTTON3, wxID_ANY, wxEVT_COMMAND_BUTTON_CLICKED,
            wxCommandEventHandler(talviro_guiFrame::OnRefreshClick), nullptr, this);
    Connect(ID_CHECKBOX2, wxID_ANY, wxEVT_COMMAND_CHECKBOX_CLICKED,
            wxCommandEventHandler(talviro_guiFrame::OnRefreshContinuouslyClick), nullptr, this);
    Connect(ID_TIMER1, wxID_ANY, wxEVT_TIMER,
            wxTimerEventHandler(talviro_guiFrame::OnRefreshTimer), nullptr, this);
    Connect(ID_BUTTON4, wxID_ANY, wxEVT_COMMAND_BUTTON_CLICKED,
            wxCommandEventHandler(talviro_guiFrame::OnTrendClick), nullptr, this);
    for (wxGauge* gauge : {Gauge1, Gauge2, Gauge3, Gauge4}) trend_.open_on_double_click(gauge);
#ifdef __WXMSW__
    Connect(wxID_ANY, wxID_ANY, wxEVT_DPI_CHANGED,
            wxDPIChangedEventHandler(talviro_guiFrame::OnDpiChanged), nullptr, this);
#endif

    built_ = true;
    ResetReadings();
    // The first connection attempt, and its readout, come before the window
    // is first shown. GTK would otherwise give the focus to the first
    // control that takes it, Disconnect, before the tab order is set.
    ConnectAtStart();
    (link_ == Link::Disconnected ? Button1 : Button3)->SetFocus();
}

// Timer1 is a member, so it is destroyed (and stopped) here, before the
// wxFrame base takes the controls down: no tick can reach a half-gone window.
// The capture ends first, handing the channel back, and the trend window,
// which the feed closes, no longer calls back.
talviro_guiFrame::~talviro_guiFrame() {
    trend_.set_rate_handler({});
    CaptureTimer.Stop();
    capture_.stop();
}

int talviro_guiFrame::Scaled(int length) const {
    return wxMulDivInt32(length, layout_dpi_, kLayoutUnitDpi);
}

wxPoint talviro_guiFrame::Scaled(const wxPoint& point) const {
    return wxPoint(Scaled(point.x), Scaled(point.y));
}

wxSize talviro_guiFrame::Scaled(const wxSize& size) const {
    return wxSize(Scaled(size.x), Scaled(size.y));
}

std::vector<talviro_guiFrame::TextRoom> talviro_guiFrame::TextRooms() const {
    std::vector<TextRoom> rooms;
    const auto text = [&rooms](const wxWindow* control, const wxString& label, int left,
                               int right) {
        rooms.push_back({control->GetTextExtent(label).x, left, right, true});
    };
    // Each row's widest text: its channel at full scale, or its missing
    // reading. The reset texts are shorter than either.
    const wxStaticText* rows[readings::kChannelCount] = {StaticText1, StaticText2, StaticText3,
                                                          StaticText4};
    for (int i = 0; i < readings::kChannelCount; ++i) {
        const readings::Channel& channel = readings::kChannels[i];
        const wxString prefix = wxString::FromUTF8(channel.prefix);
        const float full = readings::reading_from_count(channel.kind, kConverterMaxCount);
        for (const std::string& value :
             {readings::format_reading(channel.kind, full), readings::format_missing(channel.kind)}) {
            text(rows[i], prefix + wxString::FromUTF8(value), kReadingLeft, kReadingRight);
        }
    }
    // A check box is its box and its label: its best size, measured anew
    // with the font it has now.
    CheckBox2->InvalidateBestSize();
    rooms.push_back(
        {CheckBox2->GetBestSize().x, kRefreshContinuouslyLeft, kRefreshContinuouslyRight, false});
    CheckBox1->InvalidateBestSize();
    rooms.push_back({CheckBox1->GetBestSize().x, kStayOnTopLeft, kStayOnTopRight, false});
    for (const wxStaticText* label : {StaticText6, StaticText7, StaticText8, StaticText9}) {
        text(label, label->GetLabel(), kGaugeLabelLeft, kGaugeLabelRight);
    }
    text(StaticText5, StaticText5->GetLabel(), kMakerNoticeLeft, kMakerNoticeRight);
    for (const auto& [button, size] : {std::make_pair(Button1, kButtonSize),
                                       std::make_pair(Button2, kButtonSize),
                                       std::make_pair(Button3, kButtonSize),
                                       std::make_pair(Button4, kTrendButtonSize)}) {
        text(button, button->GetLabel(), 0, size.x - kButtonLabelMargin);
    }
    return rooms;
}

int talviro_guiFrame::FittingDpi(int dpi) const {
    const std::vector<TextRoom> rooms = TextRooms();
    const auto fit_at = [&rooms](int at) {
        // A scaled font's pixel size is rounded as the positions are, so a
        // text that just fits at 96 DPI may take one pixel more: its last
        // column is the space after its last letter.
        const int rounding = at == kLayoutUnitDpi ? 0 : 1;
        return std::all_of(rooms.begin(), rooms.end(), [&](const TextRoom& text) {
            const int room = wxMulDivInt32(text.right, at, kLayoutUnitDpi) -
                             wxMulDivInt32(text.left, at, kLayoutUnitDpi);
            return text.width <= room + (text.is_text ? rounding : 0);
        });
    };
    int fitting = dpi;
    while (!fit_at(fitting) && fitting < kMaxLayoutGrowth * dpi) ++fitting;
    return fitting;
}

void talviro_guiFrame::LayOut() {
    layout_dpi_ = FittingDpi(layout_dpi_);
    // In 96-DPI pixels; wxDefaultSize: the control's best size.
    struct Place {
        wxWindow* control;
        wxPoint position;
        wxSize size;
    };
    const Place places[] = {
        {StaticBox1, {0, 0}, kReadingBoxSize},
        {CheckBox1, {340, 141}, kStayOnTopSize},
        {Gauge1, {128, 75}, kGaugeSize},
        {StaticText1, {16, 75}, wxDefaultSize},
        {StaticText2, {16, 45}, wxDefaultSize},
        {StaticText3, {16, 15}, wxDefaultSize},
        {StaticText4, {16, 105}, wxDefaultSize},
        {Gauge2, {128, 45}, kGaugeSize},
        {Gauge3, {128, 15}, kGaugeSize},
        {Gauge4, {128, 105}, kGaugeSize},
        {Button1, {340, 72}, kButtonSize},
        {Button2, {340, 104}, kButtonSize},
        {Button3, {16, 135}, kButtonSize},
        {CheckBox2, {168, 141}, wxDefaultSize},
        {StaticBitmap1, {325, 6}, logo_.IsOk() ? logo_.GetSize() : kLogoAreaSize},
        {StaticText5, {336, 48}, wxDefaultSize},
        {StaticText6, {272, 15}, wxDefaultSize},
        {StaticText7, {272, 105}, wxDefaultSize},
        {StaticText8, {272, 75}, wxDefaultSize},
        {StaticText9, {272, 45}, wxDefaultSize},
        {Button4, kTrendButtonPosition, kTrendButtonSize},
    };
    if (logo_.IsOk()) {
        // Scaled here only, and only when it must be: at 96 DPI the logo
        // shows as loaded. The toolkit scales a bitmap once more by its
        // window's scale factor over the bitmap's own (on Windows rounded,
        // from 175 % up); a bitmap made for that factor is shown as it is.
        // Set before the control is placed: the control sizes itself to its
        // bitmap as the toolkit measures it.
        const wxSize area = Scaled(logo_.GetSize());
        wxBitmap logo(logo_.GetSize() == area ? logo_
                                              : logo_.Scale(area.x, area.y, wxIMAGE_QUALITY_HIGH),
                      -1);
        logo.SetScaleFactor(StaticBitmap1->GetDPIScaleFactor());
        StaticBitmap1->SetBitmap(logo);
    }
    for (const Place& place : places) {
        // Measured again: its font may have changed since (a DPI change).
        if (place.size == wxDefaultSize) place.control->InvalidateBestSize();
        const wxSize size = place.size == wxDefaultSize ? place.control->GetBestSize()
                                                        : Scaled(place.size);
        place.control->SetSize(wxRect(Scaled(place.position), size));
    }
    grow_to_best_size(CheckBox1, Scaled(kStayOnTopSize));
}

#ifdef __WXMSW__
int talviro_guiFrame::LayoutDpi(int dpi) const {
    const double points = GetFont().GetFractionalPointSize() / font_scale_;
    return static_cast<int>(std::lround(dpi * std::max(1.0, points / kWindowsFontPoints)));
}

wxSize talviro_guiFrame::Growth() const {
    const int unscaled = LayoutDpi(window_dpi_);
    return Scaled(kClientSize) - wxSize(wxMulDivInt32(kClientSize.x, unscaled, kLayoutUnitDpi),
                                        wxMulDivInt32(kClientSize.y, unscaled, kLayoutUnitDpi));
}

void talviro_guiFrame::OnDpiChanged(wxDPIChangedEvent& event) {
    window_dpi_ = event.GetNewDPI().y;
    layout_dpi_ = LayoutDpi(window_dpi_);
    LayOut();
    // Not handled, as far as wx is concerned: it then gives the window the
    // rectangle Windows suggested for the new DPI, which the layout's growth
    // for a wide font then widens.
    event.Skip();
    const wxSize growth = Growth();
    if (growth != wxSize()) CallAfter([this, growth] { SetSize(GetSize() + growth); });
}

WXLRESULT talviro_guiFrame::MSWWindowProc(WXUINT message, WXWPARAM wParam, WXLPARAM lParam) {
    const WXLRESULT result = wxFrame::MSWWindowProc(message, wParam, lParam);
    const int new_dpi = HIWORD(wParam);
    if (message != WM_DPICHANGED || !built_ || new_dpi == window_dpi_) return result;

    // wx passed the message over. It goes on measuring and drawing text at
    // the DPI Windows reports for the window: the new one for a per-monitor
    // v1 window on Windows 10, the one the window was made at under Wine and
    // on Windows 8.1. Each font takes the point size that has the size of
    // the new DPI there. Then the layout, and the rectangle Windows suggested.
    const double font_scale = static_cast<double>(new_dpi) / GetDPI().y;
    scale_fonts(this, font_scale / font_scale_);
    font_scale_ = font_scale;
    window_dpi_ = new_dpi;
    layout_dpi_ = LayoutDpi(window_dpi_);
    LayOut();
    const RECT& suggested = *reinterpret_cast<const RECT*>(lParam);
    const wxSize growth = Growth();
    SetSize(suggested.left, suggested.top, suggested.right - suggested.left + growth.x,
            suggested.bottom - suggested.top + growth.y);
    return result;
}
#endif

void talviro_guiFrame::ShowLink() {
    const wxString* text = &kStatusReset;
    switch (link_) {
    case Link::Disconnected: text = &kStatusReset; break;
    case Link::Connected: text = &kStatusConnected; break;
    case Link::NotResponding: text = &kStatusNotResponding; break;
    }
    StatusBar1->SetStatusText(*text, kStateField);
}

void talviro_guiFrame::ResetReadings() {
    StaticText1->SetLabel("A0 = 0 V");
    StaticText3->SetLabel("V target = 0 V");
    StaticText2->SetLabel("I supply = 0 mA");
    StaticText4->SetLabel("A1 = 0 V");
    Gauge1->SetValue(0);
    Gauge2->SetValue(0);
    Gauge3->SetValue(0);
    Gauge4->SetValue(0);
    link_ = Link::Disconnected;
    ShowLink();
    StatusBar1->SetStatusText(wxEmptyString, kSerialField);
    SetTitle(_(kTitle));
    Button1->Enable(true);
    Button2->Enable(false);
    Button3->Enable(false);
    CheckBox2->Enable(false);
    CheckBox2->SetValue(false);
}

void talviro_guiFrame::ConnectAtStart() {
    if (!wanted_serial_.empty()) {
        ConnectTo(wanted_serial_);
        return;
    }
    const std::string last = remembered_serial();
    if (last.empty()) {
        ConnectTo(std::string());
        return;
    }
    std::vector<ProbeEntry> probes;
    if (!probe_list(&probes)) probes.clear();
    for (const ProbeEntry& probe : probes) {
        if (probe.name == last && probe.state == ProbeState::Free) {
            ConnectTo(last);
            return;
        }
    }
    ConnectTo(std::string(), probes.size());
}

void talviro_guiFrame::OnConnectClick(wxCommandEvent& WXUNUSED(event)) {
    if (!wanted_serial_.empty()) {
        ConnectTo(wanted_serial_);
        return;
    }
    std::vector<ProbeEntry> probes;
    if (!probe_list(&probes)) probes.clear();
    if (probes.size() > 1) {
        const std::string chosen = ChooseProbe(probes);
        if (!chosen.empty()) ConnectTo(chosen);
        return;
    }
    ConnectTo(std::string(), probes.size());
}

std::string talviro_guiFrame::ChooseProbe(const std::vector<ProbeEntry>& probes) {
    const std::vector<ProbeEntry> order = last_used_first(probes, remembered_serial());
    wxMenu menu;
    for (size_t i = 0; i < order.size(); ++i) {
        const ProbeEntry& probe = order[i];
        wxMenuItem* item = menu.Append(kFirstProbeItemId + static_cast<int>(i),
                                       wxControl::EscapeMnemonics(wxString::FromUTF8(probe.name)) +
                                           " (" + probe_state_text(probe.state) + ")");
        item->Enable(probe.state == ProbeState::Free && probe.name != kUnknownProbeName);
    }
    const wxPoint below_connect = Button1->GetPosition() + wxPoint(0, Button1->GetSize().y);
    const int chosen = Panel1->GetPopupMenuSelectionFromUser(menu, below_connect);
    if (chosen < kFirstProbeItemId || chosen >= kFirstProbeItemId + static_cast<int>(order.size()))
        return {};
    return order[static_cast<size_t>(chosen - kFirstProbeItemId)].name;
}

void talviro_guiFrame::ConnectTo(const std::string& serial, size_t plugged_in) {
    char opened[probe_settings::kSerialSize] = {};
    const int failed = serial.empty() ? probe_open(opened) : probe_open_serial(serial.c_str(), opened);
    if (failed != 0) {
        Button1->Enable(true);
        Button2->Enable(false);
        Button3->Enable(false);
        link_ = Link::Disconnected;
        StatusBar1->SetStatusText(kStatusConnectFailed, kStateField);
        CheckBox2->Enable(false);
        if (!serial.empty())
            std::cerr << program_name() << ": " << console::why_unavailable(serial).text << "\n" << std::flush;
        return;
    }
    // The keyboard user's focus goes from Connect to its counterpart before
    // Connect is disabled, which would pass it on to the next control.
    const bool connect_had_focus = FindFocus() == Button1;
    Button2->Enable(true);
    if (connect_had_focus) Button2->SetFocus();
    Button1->Enable(false);
    Button3->Enable(true);
    link_ = Link::Connected;
    ShowLink();
    // probe_open leaves the serial number NUL-terminated within the buffer.
    StatusBar1->SetStatusText(kSerialPrefix + wxString(opened, wxConvUTF8), kSerialField);
    // A probe whose chip has no serial comes back only where it is plugged in.
    probe_serial_ = probe_name();
    remember_serial(probe_serial_);
    // With one probe plugged in the title stays the program's own.
    if (!serial.empty()) {
        plugged_in = probe_last_listed().size();
    } else if (plugged_in == 0) {
        std::vector<ProbeEntry> probes;
        if (probe_list(&probes)) plugged_in = probes.size();
    }
    SetTitle(plugged_in > 1 ? _(kTitle) + kTitleSerialSeparator + wxString::FromUTF8(probe_serial_)
                            : _(kTitle));
    wxCommandEvent readout;
    OnRefreshClick(readout);
    CheckBox2->Enable(true);
    FollowCaptureRate();
}

void talviro_guiFrame::OnDisconnectClick(wxCommandEvent& WXUNUSED(event)) {
    Timer1.Stop();
    StopCapture();
    probe_close();  // always succeeds
    const bool disconnect_had_focus = FindFocus() == Button2;
    Button1->Enable(true);
    if (disconnect_had_focus) Button1->SetFocus();
    ResetReadings();
    trend_.add_gap();
}

void talviro_guiFrame::OnTrendClick(wxCommandEvent& WXUNUSED(event)) { trend_.show(); }

void talviro_guiFrame::OnRefreshClick(wxCommandEvent& WXUNUSED(event)) {
    // The capture owns the probe: its latest readout is shown instead, and
    // it looks for a lost probe itself.
    if (capture_.running()) {
        if (!latest_) return;
        for (int i = 0; i < readings::kChannelCount; ++i) {
            const console::Conversion& c = latest_->conversions[static_cast<size_t>(i)];
            ShowConversion(i, c.count, c.whole);
        }
        return;
    }
    // A probe that stopped answering is looked for once per readout, by its
    // serial: one that was replugged, or that recovered, comes back by itself,
    // and no other probe is ever taken in its place.
    // Without it the channel stays closed, and the readout below makes no
    // transfer and shows no value.
    char serial[probe_settings::kSerialSize] = {};
    if (link_ == Link::NotResponding && probe_reopen(probe_serial_.c_str(), serial) == 0) {
        link_ = Link::Connected;
        ShowLink();
        StatusBar1->SetStatusText(kSerialPrefix + wxString(serial, wxConvUTF8), kSerialField);
    }
    bool all_whole = true;
    float shown[readings::kChannelCount];  // NaN where "---" is shown
    for (int i = 0; i < readings::kChannelCount; ++i) {
        const uint16_t count = read_adc_channel(readings::kChannels[i].converter_channel);
        const bool whole = adc_last_conversion_whole();
        all_whole = all_whole && whole;
        shown[i] = ShowConversion(i, count, whole);
    }

    trend_.add(shown);

    // Field 0 is touched only when the probe stops or starts answering; the
    // window stays connected, so the user can still Disconnect and Connect.
    const Link now = all_whole ? Link::Connected : Link::NotResponding;
    if (now != link_) {
        link_ = now;
        ShowLink();
    }
}

float talviro_guiFrame::ShowConversion(int i, uint16_t count, bool whole) {
    // Conversion n fills StaticText(n+1) and Gauge(n+1): channel 0 lands in
    // the third row as "A1" and channel 3 in the fourth as "A0". The reset
    // texts title those rows the other way round; each routine writes its
    // own titles, so the swap after the first readout is expected.
    struct Row {
        wxStaticText* text;
        wxGauge* gauge;
    };
    const Row rows[readings::kChannelCount] = {
        {StaticText1, Gauge1}, {StaticText2, Gauge2}, {StaticText3, Gauge3}, {StaticText4, Gauge4}};
    const readings::Channel& channel = readings::kChannels[i];
    const wxString prefix = wxString::FromUTF8(channel.prefix);
    // A count from a conversion whose transfers failed is not a
    // measurement: showing it as 0.00 V would pass a dead probe off as a
    // shorted target.
    if (!whole) {
        rows[i].text->SetLabel(prefix + wxString::FromUTF8(readings::format_missing(channel.kind)));
        rows[i].gauge->SetValue(0);
        return NAN;
    }
    const float reading = readings::reading_from_count(channel.kind, count);
    rows[i].text->SetLabel(prefix + wxString::FromUTF8(readings::format_reading(channel.kind, reading)));
    show_on_gauge(rows[i].gauge, readings::gauge_value(channel.kind, reading));
    return reading;
}

void talviro_guiFrame::SetCaptureRate(console::CaptureRate rate) {
    if (rate != capture_rate_) trend_.new_cadence();
    capture_rate_ = rate;
    trend_.show_rate(rate);
    FollowCaptureRate();
}

void talviro_guiFrame::FollowCaptureRate() {
    const bool wanted = capture_rate_ != console::CaptureRate::Second && link_ != Link::Disconnected;
    const uint64_t period_ms = console::capture_period_ms(capture_rate_);
    // Another rate: the capture starts again at it.
    StopCapture();
    if (!wanted) return;
    latest_.reset();
    if (capture_.start(period_ms, probe_serial_)) CaptureTimer.Start(kCaptureDrainMs, wxTIMER_CONTINUOUS);
}

void talviro_guiFrame::StopCapture() {
    if (!capture_.stop()) return;
    CaptureTimer.Stop();
    DrainCapture();
    if (!probe_in_step() && link_ == Link::Connected) {
        link_ = Link::NotResponding;
        ShowLink();
    }
}

void talviro_guiFrame::OnClose(wxCloseEvent& event) {
    StopCapture();
    event.Skip();
}

void talviro_guiFrame::OnCaptureTimer(wxTimerEvent& WXUNUSED(event)) { DrainCapture(); }

void talviro_guiFrame::DrainCapture() {
    std::vector<console::Taken> taken;
    capture_.drain(taken);
    if (taken.empty()) return;
    for (const console::Taken& t : taken) {
        float by_channel[readings::kChannelCount];
        for (int i = 0; i < readings::kChannelCount; ++i) {
            const console::Conversion& c = t.sample.conversions[static_cast<size_t>(i)];
            // A lost probe: every reading is missing until it is back.
            by_channel[i] = c.whole && !t.sample.channel_lost
                                ? readings::reading_from_count(readings::kChannels[i].kind, c.count)
                                : NAN;
        }
        trend_.add_taken(t.time_ms, by_channel);
    }
    trend_.changed();
    latest_ = taken.back().sample;
    const Link now = latest_->whole() ? Link::Connected : Link::NotResponding;
    if (now != link_) {
        link_ = now;
        ShowLink();
    }
}

void talviro_guiFrame::OnRefreshContinuouslyClick(wxCommandEvent& WXUNUSED(event)) {
    if (!CheckBox2->GetValue()) {
        Timer1.Stop();
        Button3->Enable(true);
        return;
    }
    if (!Timer1.Start(kRefreshPeriodMs, wxTIMER_CONTINUOUS)) {
        // Without a timer there is no refreshing state: stay connected.
        CheckBox2->SetValue(false);
        return;
    }
    Button3->Enable(false);
}

void talviro_guiFrame::OnRefreshTimer(wxTimerEvent& WXUNUSED(event)) {
    wxCommandEvent tick;
    OnRefreshClick(tick);
}

void talviro_guiFrame::OnStayOnTopClick(wxCommandEvent& WXUNUSED(event)) {
    const long style = GetWindowStyleFlag();
    SetWindowStyleFlag(CheckBox1->GetValue() ? (style | kStayOnTopStyle)
                                             : (style & ~kStayOnTopStyle));
}
