#include "gui/trend_frame.h"

#include "gui/trend_painter.h"
#include "probe/readings.h"
#include "trend/csv_log.h"
#include "trend/svg.h"
#include "trend/units.h"

#include <wx/accel.h>
#include <wx/app.h>
#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choicdlg.h>
#include <wx/choice.h>
#include <wx/config.h>
#include <wx/datetime.h>
#include <wx/dcbuffer.h>
#include <wx/dcclient.h>
#include <wx/display.h>
#include <wx/dnd.h>
#include <wx/filedlg.h>
#include <wx/filename.h>
#include <wx/gauge.h>
#include <wx/panel.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/wrapsizer.h>
#include <wx/time.h>
#include <wx/textctrl.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <utility>

namespace {

const wxString kTitle = "TALVIRO Trend";
// RateChoice's items, in the order of console::CaptureRate.
const char* const kRateLabels[] = {"1 s", "0.1 s", "as fast as the probe"};
// Between the title and the log's file name.
const wxString kTitleSeparator = wxString::FromUTF8(" \xE2\x80\x94 ");
// Where the window shows the measurement window's readouts: after the
// separator in the title, at the front of the note.
const wxString kLiveTitle = "live readouts";
const wxString kLiveNote = "Live readouts";

// The window's first and smallest size in dialog units, which follow the
// font and so the display's scale (the text DPI on GTK, the DPI on Windows),
// as the measurement window's layout does.
const wxSize kInitialSizeDlu(520, 330);
const wxSize kMinSizeDlu(280, 200);

struct SpanItem {
    const char* label;
    trend::Span span;
};
const SpanItem kSpans[] = {{"1 min", trend::Span::OneMinute},
                           {"10 min", trend::Span::TenMinutes},
                           {"1 h", trend::Span::OneHour},
                           {"all", trend::Span::All}};

constexpr int kGaugeRange = 1000;
// One wheel notch zooms the time axis in or out by this factor.
constexpr double kWheelZoomFactor = 1.25;

const wxString kWildcardLogs = "talviro_read CSV logs (*.csv)|*.csv|All files|*";
const wxString kWildcardImages = "PNG picture (*.png)|*.png|SVG picture (*.svg)|*.svg";
const char* const kImageEndings[] = {".png", ".svg"};  // in the wildcard's order

constexpr int kHoverField = 0;
// The longest line the statistics have for a reading.
const wxString kWidestStatsLine =
    "I supply: min -1000.0 mA, mean -1000.0 mA, max -1000.0 mA, 3145728 readouts, 3145728 gaps";

// Problems in the note line: at least 4.5:1 against the toolkit's light and
// dark window backgrounds.
const wxColour kProblemOnLight(176, 0, 0);
const wxColour kProblemOnDark(255, 128, 128);
// A press this close to a marker's line grabs it.
constexpr int kMarkerGrabPx = 4;
const char kMarkerNames[] = "AB";

// The battery capacity, in the toolkit's configuration store, and the one
// given before the user gives any.
const wxString kBatteryKey = "Trend/BatteryCapacity_mAh";
const wxString kDefaultBatteryMah = "220";
// Whether each strip is shown, in the same store, in Scene::strips' order.
const char* const kShowStripKeys[trend::kSceneStripCount] = {"Trend/ShowVTarget", "Trend/ShowISupply",
                                                            "Trend/ShowA0", "Trend/ShowA1", "Trend/ShowPTarget"};
const char* const kPowerName = "P target";

// Local time with milliseconds.
wxString time_text(int64_t time_ms) {
    return wxDateTime(wxLongLong(time_ms)).Format("%Y-%m-%d %H:%M:%S.%l");
}

// "12.345 s" below a minute, else "2 h 03 min 04.500 s" and the like: the
// first unit as it is, the ones after it with their leading zeros.
wxString duration_text(int64_t ms) {
    if (ms < 60'000) return wxString::Format("%.3f s", ms / 1000.0);
    const int64_t parts[] = {ms / 86'400'000, ms / 3'600'000 % 24, ms / 60'000 % 60};
    const char* const units[] = {"d", "h", "min"};
    wxString text;
    for (std::size_t i = 0; i < std::size(parts); ++i) {
        if (text.empty() && parts[i] == 0) continue;
        text << wxString::Format(text.empty() ? "%d %s " : "%02d %s ", static_cast<int>(parts[i]), units[i]);
    }
    return text + wxString::Format("%06.3f s", ms % 60'000 / 1000.0);
}

readings::Kind kind_of(int reading) { return readings::kChannels[trend::reading_channel(reading)].kind; }

// A reading as the measurement window shows it: "3.30 V", "103 mA", "--- V".
wxString reading_text(int reading, float value) {
    const readings::Kind kind = kind_of(reading);
    return wxString::FromUTF8(std::isnan(value) ? readings::format_missing(kind)
                                                : readings::format_reading(kind, value));
}

// A statistic one digit finer than the readings are shown.
wxString statistic_text(int reading, double value) {
    return kind_of(reading) == readings::Kind::Current ? wxString::Format("%.1f mA", value)
                                                       : wxString::Format("%.3f V", value);
}

std::string file_name_bytes(const wxString& path) {
    const wxScopedCharBuffer bytes = path.mb_str(*wxConvFileName);
    return std::string(bytes.data(), bytes.length());
}

wxString file_name_text(const std::string& bytes) { return wxString(bytes.c_str(), *wxConvFileName); }

// A file dropped on the window opens as a log; of several, the first.
class LogDropTarget : public wxFileDropTarget {
public:
    explicit LogDropTarget(TrendFrame* frame) : frame_(frame) {}
    bool OnDropFiles(wxCoord, wxCoord, const wxArrayString& files) override {
        return !files.empty() && frame_->OpenLog(files[0]);
    }

private:
    TrendFrame* frame_;
};

}  // namespace

TrendFrame::TrendFrame(std::shared_ptr<const trend::Series> live)
    : wxFrame(nullptr, wxID_ANY, kTitle), live_(std::move(live)) {
    shown_ = live_ ? live_.get() : &empty_;
    SetName("TrendFrame");
    wxPanel* panel = new wxPanel(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL);

    LiveBox = new wxCheckBox(panel, wxID_ANY, _("Live"));
    wxArrayString rates;
    for (const char* label : kRateLabels) rates.Add(_(label));
    RateChoice = new wxChoice(panel, wxID_ANY, wxDefaultPosition, wxDefaultSize, rates);
    RateChoice->SetSelection(static_cast<int>(console::CaptureRate::Second));
    wxArrayString spans;
    for (const SpanItem& item : kSpans) spans.Add(item.label);
    SpanChoice = new wxChoice(panel, wxID_ANY, wxDefaultPosition, wxDefaultSize, spans);
    LockYBox = new wxCheckBox(panel, wxID_ANY, _("Lock Y"));
    for (int s = 0; s < trend::kSceneStripCount; ++s) {
        const std::string name = s == trend::kPowerStrip ? kPowerName : trend::reading_name(s);
        StripBoxes[s] = new wxCheckBox(panel, wxID_ANY, wxString::FromUTF8(name));
        bool shown = trend::kDefaultShownStrips[s];
        if (wxConfigBase* config = wxConfigBase::Get()) config->Read(kShowStripKeys[s], &shown, shown);
        StripBoxes[s]->SetValue(shown);
        StripBoxes[s]->SetToolTip(_("Show this strip in the plot and in saved pictures"));
    }
    OpenButton = new wxButton(panel, wxID_ANY, wxString::FromUTF8("Open log\xE2\x80\xA6"));
    SaveButton = new wxButton(panel, wxID_ANY, wxString::FromUTF8("Save image\xE2\x80\xA6"));
    ZoomButton = new wxButton(panel, wxID_ANY, _("Zoom to selection"));
    LiveButton = new wxButton(panel, wxID_ANY, _("Live readouts"));
    wxStaticText* battery_label = new wxStaticText(panel, wxID_ANY, _("Battery mAh:"));
    wxString battery = kDefaultBatteryMah;
    if (wxConfigBase* config = wxConfigBase::Get()) config->Read(kBatteryKey, &battery);
    BatteryCtrl = new wxTextCtrl(panel, wxID_ANY, battery);
    BatteryCtrl->SetToolTip(_("The battery's capacity: the selection's statistics say how long it lasts"));
    LoadGauge = new wxGauge(panel, wxID_ANY, kGaugeRange, wxDefaultPosition, wxDefaultSize,
                            wxGA_HORIZONTAL | wxGA_SMOOTH);
    CancelButton = new wxButton(panel, wxID_ANY, _("Cancel"));
    Plot = new wxWindow(panel, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                        wxWANTS_CHARS | wxFULL_REPAINT_ON_RESIZE | wxBORDER_NONE);
    // Every pixel is painted from the scene, double-buffered.
    Plot->SetBackgroundStyle(wxBG_STYLE_PAINT);
    StatsText = new wxStaticText(panel, wxID_ANY, wxEmptyString);
    MarkerText = new wxStaticText(panel, wxID_ANY, wxEmptyString);
    TotalsText = new wxStaticText(panel, wxID_ANY, wxEmptyString);
    ResetTotalsButton = new wxButton(panel, wxID_ANY, _("Reset"));
    MarkerZoomButton = new wxButton(panel, wxID_ANY, _("Zoom to markers"));
    ExportButton = new wxButton(panel, wxID_ANY, wxString::FromUTF8("Export CSV\xE2\x80\xA6"));
    RecordButton = new wxButton(panel, wxID_ANY, wxString::FromUTF8("Record\xE2\x80\xA6"));
    NoteText = new wxStaticText(panel, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize,
                                wxST_ELLIPSIZE_MIDDLE);
    StatusBar = CreateStatusBar(1);

    const wxSizerFlags centred = wxSizerFlags().CentreVertical().Border(wxRIGHT);
    // At the smallest sizes the controls go on in a second row rather than
    // leave the window's edge.
    wxWrapSizer* controls = new wxWrapSizer(wxHORIZONTAL);
    controls->Add(LiveBox, centred);
    controls->Add(RateChoice, centred);
    controls->Add(SpanChoice, centred);
    controls->Add(LockYBox, centred);
    for (wxCheckBox* box : StripBoxes) controls->Add(box, centred);
    controls->AddSpacer(FromDIP(8));
    controls->Add(OpenButton, centred);
    controls->Add(SaveButton, centred);
    controls->Add(ZoomButton, centred);
    controls->Add(LiveButton, centred);
    controls->Add(MarkerZoomButton, centred);
    controls->Add(ExportButton, centred);
    controls->Add(RecordButton, centred);
    controls->Add(battery_label, centred);
    controls->Add(BatteryCtrl, centred);
    controls->AddStretchSpacer();
    controls->Add(LoadGauge, wxSizerFlags(1).CentreVertical().Border(wxRIGHT));
    controls->Add(CancelButton, wxSizerFlags().CentreVertical());
    wxBoxSizer* column = new wxBoxSizer(wxVERTICAL);
    column->Add(controls, wxSizerFlags().Expand().Border());
    column->Add(Plot, wxSizerFlags(1).Expand());
    column->Add(StatsText, wxSizerFlags().Expand().Border(wxLEFT | wxRIGHT | wxTOP));
    column->Add(MarkerText, wxSizerFlags().Expand().Border(wxLEFT | wxRIGHT | wxTOP));
    wxBoxSizer* totals = new wxBoxSizer(wxHORIZONTAL);
    totals->Add(TotalsText, wxSizerFlags(1).CentreVertical().Border(wxRIGHT));
    totals->Add(ResetTotalsButton, wxSizerFlags().CentreVertical());
    column->Add(totals, wxSizerFlags().Expand().Border(wxLEFT | wxRIGHT | wxTOP));
    column->Add(NoteText, wxSizerFlags().Expand().Border());
    panel->SetSizer(column);
    LoadGauge->Hide();
    CancelButton->Hide();
    StatsText->Hide();
    LiveButton->Hide();
    MarkerText->Hide();
    RateChoice->Show(live_ != nullptr);
    ZoomButton->Enable(false);
    MarkerZoomButton->Enable(false);

    // Wide enough for a line of the selection's statistics.
    wxSize min_size = ConvertDialogToPixels(kMinSizeDlu);
    min_size.IncTo(wxSize(StatsText->GetTextExtent(kWidestStatsLine).x + 2 * wxSizerFlags::GetDefaultBorder(), 0) +
                   (GetSize() - GetClientSize()));
    SetMinSize(min_size);
    // Never larger than the desktop it opens on.
    const wxSize desktop = wxDisplay(this).GetClientArea().GetSize();
    wxSize size = ConvertDialogToPixels(kInitialSizeDlu);
    size.DecTo(desktop);
    SetSize(size);
    SetDropTarget(new LogDropTarget(this));

    wxAcceleratorEntry keys[] = {{wxACCEL_CTRL, 'O', OpenButton->GetId()},
                                 {wxACCEL_CTRL, 'S', SaveButton->GetId()}};
    SetAcceleratorTable(wxAcceleratorTable(static_cast<int>(std::size(keys)), keys));

    Plot->Bind(wxEVT_PAINT, &TrendFrame::OnPaint, this);
    Plot->Bind(wxEVT_SIZE, &TrendFrame::OnSize, this);
    for (const auto& type : {wxEVT_LEFT_DOWN, wxEVT_LEFT_DCLICK, wxEVT_LEFT_UP, wxEVT_MOTION, wxEVT_LEAVE_WINDOW})
        Plot->Bind(type, &TrendFrame::OnMouse, this);
    Plot->Bind(wxEVT_MOUSEWHEEL, &TrendFrame::OnWheel, this);
    Plot->Bind(wxEVT_RIGHT_DOWN, &TrendFrame::OnRightDown, this);
    Plot->Bind(wxEVT_MOUSE_CAPTURE_LOST, &TrendFrame::OnCaptureLost, this);
    Bind(wxEVT_CHAR_HOOK, &TrendFrame::OnCharHook, this);
    Bind(wxEVT_IDLE, &TrendFrame::OnIdle, this);
    follow_timer_.Bind(wxEVT_TIMER, &TrendFrame::OnFollowTimer, this);
    LiveBox->Bind(wxEVT_CHECKBOX, &TrendFrame::OnLiveClick, this);
    SpanChoice->Bind(wxEVT_CHOICE, &TrendFrame::OnSpanChoice, this);
    RateChoice->Bind(wxEVT_CHOICE, &TrendFrame::OnRateChoice, this);
    Bind(wxEVT_CLOSE_WINDOW, &TrendFrame::OnClose, this);
    Bind(wxEVT_SYS_COLOUR_CHANGED, &TrendFrame::OnSysColourChanged, this);
    LockYBox->Bind(wxEVT_CHECKBOX, &TrendFrame::OnLockYClick, this);
    for (wxCheckBox* box : StripBoxes) box->Bind(wxEVT_CHECKBOX, &TrendFrame::OnStripBoxClick, this);
    OpenButton->Bind(wxEVT_BUTTON, &TrendFrame::OnOpenClick, this);
    SaveButton->Bind(wxEVT_BUTTON, &TrendFrame::OnSaveClick, this);
    ZoomButton->Bind(wxEVT_BUTTON, &TrendFrame::OnZoomClick, this);
    LiveButton->Bind(wxEVT_BUTTON, &TrendFrame::OnLiveReadoutsClick, this);
    MarkerZoomButton->Bind(wxEVT_BUTTON, &TrendFrame::OnMarkerZoomClick, this);
    ExportButton->Bind(wxEVT_BUTTON, &TrendFrame::OnExportClick, this);
    RecordButton->Bind(wxEVT_BUTTON, &TrendFrame::OnRecordClick, this);
    RecordButton->Enable(live_ != nullptr);
    ResetTotalsButton->Bind(wxEVT_BUTTON, &TrendFrame::OnResetTotalsClick, this);
    // Running totals are of live readouts only.
    TotalsText->Show(live_ != nullptr);
    ResetTotalsButton->Show(live_ != nullptr);
    ShowTotals();
    CancelButton->Bind(wxEVT_BUTTON, &TrendFrame::OnCancelClick, this);
    BatteryCtrl->Bind(wxEVT_TEXT, &TrendFrame::OnBatteryText, this);
    // The accelerators arrive as menu commands with the buttons' ids.
    Bind(wxEVT_MENU, &TrendFrame::OnOpenClick, this, OpenButton->GetId());
    Bind(wxEVT_MENU, &TrendFrame::OnSaveClick, this, SaveButton->GetId());

    const auto span = std::find_if(std::begin(kSpans), std::end(kSpans),
                                   [this](const SpanItem& item) { return item.span == view_.span(); });
    SpanChoice->SetSelection(static_cast<int>(span - std::begin(kSpans)));
    if (live_) ShowLive();
    ViewChanged();
    Plot->SetFocus();
}

void TrendFrame::ShowLive() {
    follow_timer_.Stop();
    if (loading_) EndLoading();
    log_.reset();
    shown_ = live_.get();
    log_series_.reset();
    const trend::Span span = view_.span();
    view_ = trend::View();
    view_.set_span(span);
    selection_.reset();
    ShowStats();
    SetTitle(kTitle + kTitleSeparator + kLiveTitle);
    ShowLiveNote();
    // The pointer's readout was of what was shown before.
    StatusBar->SetStatusText(wxEmptyString, kHoverField);
    if (LiveButton->IsShown()) {
        LiveButton->Hide();
        Plot->GetParent()->Layout();
    }
    ViewChanged();
}

void TrendFrame::ShowLiveNote() {
    SetNote(wxString::Format("%s: %llu readouts", kLiveNote, static_cast<unsigned long long>(live_->size())),
            false);
}

void TrendFrame::OnLiveReadoutsClick(wxCommandEvent& WXUNUSED(event)) {
    if (live_ && shown_ != live_.get()) ShowLive();
}

// follow_timer_ is a member: it stops before the controls go.
TrendFrame::~TrendFrame() { StopRecording(); }

trend::Extent TrendFrame::DataExtent() const {
    if (shown_->empty()) return {};
    return trend::Extent{false, shown_->first_time(), shown_->last_time()};
}

std::optional<trend::TimeRange> TrendFrame::SelectionInView() const {
    if (!selection_) return std::nullopt;
    const trend::TimeRange view = view_.range(DataExtent());
    if (selection_->t1_ms <= view.t0_ms || selection_->t0_ms >= view.t1_ms) return std::nullopt;
    return selection_;
}

void TrendFrame::DropSelection() {
    if (!selection_) return;
    selection_.reset();
    ShowStats();
    scene_stale_ = true;
    Plot->Refresh();
}

trend::SceneRequest TrendFrame::Request() const {
    trend::SceneRequest request;
    const wxSize size = Plot->GetClientSize();
    request.width = size.x;
    request.height = size.y;
    request.range = view_.range(DataExtent());
    request.locked_y = view_.locked_y();
    // Shaded where its part of the view is; a selection the view lies
    // inside (zoomed to it) has no edge to show and tints nothing.
    const std::optional<trend::TimeRange> shown = SelectionInView();
    if (shown && !(shown->t0_ms <= request.range.t0_ms && shown->t1_ms >= request.range.t1_ms))
        request.selection = shown;
    for (const std::optional<int64_t>& marker : markers_)
        if (marker) request.markers.push_back(*marker);
    for (int s = 0; s < trend::kSceneStripCount; ++s) request.shown[s] = StripBoxes[s]->GetValue();
    return request;
}

void TrendFrame::LayOutScene(wxDC& dc) {
    trend::SceneRequest request = Request();
    // The plot follows the desktop's appearance; pictures stay light.
    request.dark = wxSystemSettings::GetAppearance().IsDark();
    request.measure = trend_painter::measure_on(dc);
    request.font_px = trend_painter::font_px(dc);
    scene_ = trend::build_scene(request, *shown_);
    scene_stale_ = false;
}

bool TrendFrame::SceneStale() const {
    const wxSize size = Plot->GetClientSize();
    return scene_stale_ || scene_.width != size.x || scene_.height != size.y;
}

const trend::Scene& TrendFrame::CurrentScene() {
    if (SceneStale()) {
        wxClientDC dc(Plot);
        LayOutScene(dc);
    }
    return scene_;
}

void TrendFrame::OnPaint(wxPaintEvent& WXUNUSED(event)) {
    wxAutoBufferedPaintDC dc(Plot);
    // An expose, or a paint after hover or a drag laid the scene out, draws
    // what is laid out already.
    if (SceneStale()) LayOutScene(dc);
    trend_painter::paint(dc, scene_);
}

void TrendFrame::OnSize(wxSizeEvent& event) {
    scene_stale_ = true;
    event.Skip();
}

void TrendFrame::ViewChanged() {
    LiveBox->SetValue(view_.live());
    LockYBox->SetValue(view_.y_locked());
    // The statistics go and come with the selection's part of the view.
    if (selection_) ShowStats();
    scene_stale_ = true;
    Plot->Refresh();
}

void TrendFrame::LiveChanged() {
    RecordNew();
    ShowTotals();
    if (shown_ != live_.get()) return;
    // The count, unless the note tells of something else (a saved picture).
    if (NoteText->GetLabel().StartsWith(kLiveNote + ": ")) ShowLiveNote();
    if (selection_) ShowStats();
    scene_stale_ = true;
    Plot->Refresh();
}

void TrendFrame::OnMouse(wxMouseEvent& event) {
    event.Skip();
    const int x = event.GetX();
    // GTK gives a second press soon after the first at the same place as a
    // double click alone: it starts a drag all the same.
    if (event.LeftDown() || event.LeftDClick()) {
        Plot->SetFocus();
        if (!Plot->HasCapture()) Plot->CaptureMouse();
        drag_x_ = x;
        dragged_ = false;
        if (event.ControlDown() || event.CmdDown()) {
            // A, then B, then whichever is nearer moves here.
            const int64_t at = CurrentScene().time_at(x);
            dragged_marker_ = !markers_[0] ? 0 : !markers_[1] ? 1
                              : std::llabs(*markers_[0] - at) <= std::llabs(*markers_[1] - at) ? 0 : 1;
            PlaceMarker(dragged_marker_, at);
        } else {
            dragged_marker_ = MarkerAt(x);
        }
        if (dragged_marker_ >= 0) {
            drag_ = Drag::Marker;
        } else if (event.ShiftDown()) {
            drag_ = Drag::Select;
            select_from_ms_ = CurrentScene().time_at(x);
        } else {
            drag_ = Drag::Pan;
        }
        return;
    }
    if (event.LeftUp()) {
        if (Plot->HasCapture()) Plot->ReleaseMouse();
        // A plain click, without a drag, drops the selection.
        if (drag_ == Drag::Pan && !dragged_) DropSelection();
        drag_ = Drag::None;
        return;
    }
    if (event.Leaving()) {
        StatusBar->SetStatusText(wxEmptyString, kHoverField);
        hover_x_ = -1;
        return;
    }
    hover_x_ = x;
    if (!event.Dragging() || drag_ == Drag::None) {
        ShowHover(x);
        return;
    }
    const trend::Scene& scene = CurrentScene();
    if (drag_ == Drag::Marker) {
        PlaceMarker(dragged_marker_, scene.time_at(x));
    } else if (drag_ == Drag::Pan) {
        if (x == drag_x_) return;
        dragged_ = true;
        view_.pan(DataExtent(), scene.time_at(drag_x_) - scene.time_at(x));
        drag_x_ = x;
        ViewChanged();
    } else {
        const int64_t at = scene.time_at(x);
        if (at == select_from_ms_) return;
        selection_ = trend::TimeRange{std::min(at, select_from_ms_), std::max(at, select_from_ms_)};
        ShowStats();
        scene_stale_ = true;
        Plot->Refresh();
    }
    ShowHover(x);
}

void TrendFrame::OnCaptureLost(wxMouseCaptureLostEvent& WXUNUSED(event)) { drag_ = Drag::None; }

void TrendFrame::OnWheel(wxMouseEvent& event) {
    // Fractions of a notch too: touchpads and fine wheels send less than a
    // whole delta at a time.
    const double notches = static_cast<double>(event.GetWheelRotation()) / std::max(1, event.GetWheelDelta());
    if (notches == 0.0 || event.GetWheelAxis() != wxMOUSE_WHEEL_VERTICAL) return;
    view_.zoom(DataExtent(), std::pow(kWheelZoomFactor, -notches), CurrentScene().time_at(event.GetX()));
    ViewChanged();
}

void TrendFrame::OnCharHook(wxKeyEvent& event) {
    // Keys typed into the battery's capacity are its own.
    if (wxWindow::FindFocus() == BatteryCtrl) {
        event.Skip();
        return;
    }
    // Arrow keys belong to the span list while it has the focus.
    const bool in_choice = wxWindow::FindFocus() == SpanChoice || wxWindow::FindFocus() == RateChoice;
    std::optional<trend::Key> key;
    switch (event.GetKeyCode()) {
    case '+':
    case '=':
    case WXK_ADD:
    case WXK_NUMPAD_ADD:
        key = trend::Key::ZoomIn;
        break;
    case '-':
    case WXK_SUBTRACT:
    case WXK_NUMPAD_SUBTRACT:
        key = trend::Key::ZoomOut;
        break;
    case WXK_LEFT:
    case WXK_NUMPAD_LEFT:
        if (!in_choice) key = trend::Key::Left;
        break;
    case WXK_RIGHT:
    case WXK_NUMPAD_RIGHT:
        if (!in_choice) key = trend::Key::Right;
        break;
    case WXK_HOME:
    case WXK_NUMPAD_HOME:
        key = trend::Key::Home;
        break;
    case WXK_END:
    case WXK_NUMPAD_END:
        key = trend::Key::End;
        break;
    case WXK_ESCAPE:
    case WXK_DELETE:
    case WXK_NUMPAD_DELETE:
        if (selection_ && !event.HasAnyModifiers()) {
            DropSelection();
            return;
        }
        break;
    case 'A':
    case 'B':
        if (!event.HasAnyModifiers() && hover_x_ >= 0) {
            PlaceMarker(event.GetKeyCode() - 'A', CurrentScene().time_at(hover_x_));
            return;
        }
        break;
    case 'X':
        if (!event.HasAnyModifiers()) {
            markers_ = {};
            ShowMarkers();
            return;
        }
        break;
    default:
        break;
    }
    if (!key || (event.HasAnyModifiers() && !event.ShiftDown())) {
        event.Skip();
        return;
    }
    view_.key(DataExtent(), *key);
    ViewChanged();
}

void TrendFrame::OnLiveClick(wxCommandEvent& WXUNUSED(event)) {
    if (LiveBox->GetValue()) {
        view_.follow();
    } else {
        // Stays where it is, no longer following.
        const trend::TimeRange range = view_.range(DataExtent());
        view_.zoom_to(range.t0_ms, range.t1_ms);
    }
    ViewChanged();
}

void TrendFrame::OnSpanChoice(wxCommandEvent& WXUNUSED(event)) {
    const int chosen = SpanChoice->GetSelection();
    if (chosen < 0 || chosen >= static_cast<int>(std::size(kSpans))) return;
    view_.set_span(kSpans[chosen].span);
    ViewChanged();
}

void TrendFrame::SetRateHandler(RateHandler handler) { rate_handler_ = std::move(handler); }

void TrendFrame::ShowRate(console::CaptureRate rate) { RateChoice->SetSelection(static_cast<int>(rate)); }

void TrendFrame::OnRateChoice(wxCommandEvent& WXUNUSED(event)) {
    const int chosen = RateChoice->GetSelection();
    if (chosen < 0 || chosen >= static_cast<int>(std::size(kRateLabels)) || !rate_handler_) return;
    rate_handler_(static_cast<console::CaptureRate>(chosen));
}

void TrendFrame::OnClose(wxCloseEvent& event) {
    // The capture feeds this window only: it ends with it.
    if (rate_handler_ && RateChoice->GetSelection() != static_cast<int>(console::CaptureRate::Second))
        rate_handler_(console::CaptureRate::Second);
    event.Skip();
}

void TrendFrame::OnLockYClick(wxCommandEvent& WXUNUSED(event)) {
    if (LockYBox->GetValue())
        view_.lock_y(CurrentScene().value_ranges());
    else
        view_.unlock_y();
    ViewChanged();
}

void TrendFrame::OnZoomClick(wxCommandEvent& WXUNUSED(event)) {
    if (!selection_) return;
    view_.zoom_to(selection_->t0_ms, selection_->t1_ms);
    ViewChanged();
}

void TrendFrame::ShowStats() {
    ZoomButton->Enable(selection_.has_value());
    const std::optional<trend::TimeRange> shown = SelectionInView();
    wxString text;
    if (shown) {
        const trend::TimeRange span = *shown;
        text = wxString::Format("Selection %s to %s: %s", time_text(span.t0_ms), time_text(span.t1_ms),
                                duration_text(span.width_ms()));
        for (int r = 0; r < trend::kReadingCount; ++r) {
            const trend::Stats s = shown_->stats(r, span.t0_ms, span.t1_ms);
            text << "\n" << wxString::FromUTF8(trend::reading_name(r)) << ": ";
            if (s.whole > 0)
                text << "min " << statistic_text(r, s.min) << ", mean " << statistic_text(r, s.mean)
                     << ", max " << statistic_text(r, s.max) << ", ";
            text << s.readouts << (s.readouts == 1 ? " readout, " : " readouts, ") << s.gaps
                 << (s.gaps == 1 ? " gap" : " gaps");
        }
        text << "\n" << CostLines(span);
    }
    StatsText->SetLabel(text);
    // Takes its lines only while a selection is in view.
    if (StatsText->IsShown() != shown.has_value()) {
        StatsText->Show(shown.has_value());
        Plot->GetParent()->Layout();
    }
}

wxString TrendFrame::CostLines(const trend::TimeRange& span) const {
    const trend::Integrals in = shown_->integrals(span.t0_ms, span.t1_ms);
    double capacity_mAh = 0.0;
    if (!BatteryCtrl->GetValue().ToCDouble(&capacity_mAh)) capacity_mAh = 0.0;
    return wxString::FromUTF8(trend::cost_text(in.charge_mC, in.energy_mJ, in.mean_power_mW, in.covered_ms,
                                               in.gap_ms) +
                              "\nBattery " + trend::battery_life_text(capacity_mAh, in.mean[trend::kISupply]));
}

void TrendFrame::PlaceMarker(int i, int64_t time_ms) {
    const std::optional<trend::Readout> on = shown_->nearest(time_ms);
    if (!on) return;
    markers_[static_cast<size_t>(i)] = on->time_ms;
    ShowMarkers();
}

int TrendFrame::MarkerAt(int x) {
    const trend::Scene& scene = CurrentScene();
    int found = -1;
    double nearest = kMarkerGrabPx + 1.0;
    for (int i = 0; i < kMarkerCount; ++i) {
        if (!markers_[static_cast<size_t>(i)]) continue;
        const double distance = std::fabs(scene.x_of(*markers_[static_cast<size_t>(i)]) - x);
        if (distance < nearest) {
            nearest = distance;
            found = i;
        }
    }
    return found;
}

void TrendFrame::OnRightDown(wxMouseEvent& event) {
    event.Skip();
    const int i = MarkerAt(event.GetX());
    if (i < 0) return;
    markers_[static_cast<size_t>(i)].reset();
    ShowMarkers();
}

void TrendFrame::OnMarkerZoomClick(wxCommandEvent& WXUNUSED(event)) {
    if (!markers_[0] || !markers_[1] || *markers_[0] == *markers_[1]) return;
    view_.zoom_to(std::min(*markers_[0], *markers_[1]), std::max(*markers_[0], *markers_[1]));
    ViewChanged();
}

void TrendFrame::ShowMarkers() {
    wxString text;
    std::optional<trend::Readout> on[kMarkerCount];
    for (int i = 0; i < kMarkerCount; ++i) {
        if (!markers_[static_cast<size_t>(i)]) continue;
        on[i] = shown_->nearest(*markers_[static_cast<size_t>(i)]);
        if (!on[i]) continue;
        if (!text.empty()) text << "\n";
        text << kMarkerNames[i] << " " << time_text(on[i]->time_ms) << ":";
        for (int r = 0; r < trend::kReadingCount; ++r)
            text << (r == 0 ? " " : ", ") << wxString::FromUTF8(trend::reading_name(r)) << " "
                 << reading_text(r, on[i]->value[r]);
    }
    if (on[0] && on[1]) {
        // B less A: a reading that is missing at either has no difference.
        text << wxString::FromUTF8("\nB \xE2\x88\x92 A: \xCE\x94t ")
             << (on[1]->time_ms < on[0]->time_ms ? "-" : "")
             << duration_text(std::llabs(on[1]->time_ms - on[0]->time_ms)) << ";";
        for (int r = 0; r < trend::kReadingCount; ++r) {
            const double d = static_cast<double>(on[1]->value[r]) - on[0]->value[r];
            text << (r == 0 ? " " : ", ") << wxString::FromUTF8(trend::reading_name(r)) << " ";
            if (std::isnan(d))
                text << wxString::FromUTF8(readings::format_missing(kind_of(r)));
            else
                text << (kind_of(r) == readings::Kind::Current ? wxString::Format("%+.0f mA", d)
                                                               : wxString::Format("%+.2f V", d));
        }
        const trend::TimeRange span{std::min(on[0]->time_ms, on[1]->time_ms),
                                    std::max(on[0]->time_ms, on[1]->time_ms)};
        text << "\n" << CostLines(span);
    }
    MarkerText->SetLabel(text);
    MarkerZoomButton->Enable(on[0] && on[1] && on[0]->time_ms != on[1]->time_ms);
    // Takes its lines only while a marker is placed.
    if (MarkerText->IsShown() != !text.empty()) {
        MarkerText->Show(!text.empty());
        Plot->GetParent()->Layout();
    }
    scene_stale_ = true;
    Plot->Refresh();
}

std::string TrendFrame::ExportCsv(const std::string& path, ExportSpan which) {
    trend::TimeRange span{INT64_MIN, INT64_MAX};
    if (which == ExportSpan::Visible) span = view_.range(DataExtent());
    if (which == ExportSpan::Selection && selection_) span = *selection_;
    std::string error;
    const int64_t written = trend::write_csv_log(path, *shown_, span.t0_ms, span.t1_ms, &error);
    if (written < 0) {
        SetNote(file_name_text(error), true);
        return error;
    }
    SetNote(wxString::Format("Exported %lld readouts to %s", static_cast<long long>(written), file_name_text(path)),
            false);
    return {};
}

void TrendFrame::OnExportClick(wxCommandEvent& WXUNUSED(event)) {
    wxArrayString spans;
    spans.Add(_("All readouts"));
    spans.Add(_("The visible span"));
    if (selection_) spans.Add(_("The selection"));
    const int chosen = wxGetSingleChoiceIndex(_("Which readouts, at full resolution?"), _("Export CSV"), spans, 0, this);
    if (chosen < 0) return;
    wxFileDialog dialog(this, _("Export CSV"), wxEmptyString, "trend.csv", kWildcardLogs,
                        wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
    if (dialog.ShowModal() != wxID_OK) return;
    ExportCsv(file_name_bytes(dialog.GetPath()), static_cast<ExportSpan>(chosen));
}

std::string TrendFrame::StartRecording(const std::string& path) {
    StopRecording();
    if (!live_) return "no live readouts to record";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    const std::string header = trend::csv_log_header();
    if (file == nullptr || std::fwrite(header.data(), 1, header.size(), file) != header.size() ||
        std::fflush(file) != 0) {
        if (file != nullptr) std::fclose(file);
        const std::string error = path + ": cannot be written";
        SetNote(file_name_text(error), true);
        return error;
    }
    record_ = file;
    record_path_ = path;
    // From the next readout on.
    recorded_ = live_->dropped() + live_->size();
    record_rows_ = false;
    RecordButton->SetLabel(_("Stop recording"));
    SetNote(wxString::Format("Recording to %s", file_name_text(path)), false);
    return {};
}

void TrendFrame::StopRecording() {
    if (record_ == nullptr) return;
    const bool ok = std::fclose(record_) == 0;
    record_ = nullptr;
    if (IsBeingDeleted()) return;
    RecordButton->SetLabel(wxString::FromUTF8("Record\xE2\x80\xA6"));
    SetNote(wxString::Format(ok ? "Recorded to %s" : "%s: cannot be written", file_name_text(record_path_)), !ok);
}

void TrendFrame::RecordNew() {
    if (record_ == nullptr) return;
    const uint64_t appended = live_->dropped() + live_->size();
    // Readouts the bound dropped before they were written are lost to the file.
    const uint64_t first = std::max(recorded_, live_->dropped());
    std::string text;
    for (uint64_t n = first; n < appended; ++n) {
        const size_t i = static_cast<size_t>(n - live_->dropped());
        // The first readout after missing time starts a new run, a gap to
        // a viewer; a readout missing every reading is a row of empty fields.
        if (record_rows_ && i > 0 && live_->gap_before(i)) text += trend::csv_log_header();
        record_rows_ = true;
        text += trend::csv_log_row(live_->at(i));
    }
    recorded_ = appended;
    // Flushed every readout: a crash loses at most the line being written.
    if (std::fwrite(text.data(), 1, text.size(), record_) != text.size() || std::fflush(record_) != 0) {
        std::fclose(record_);
        record_ = nullptr;
        RecordButton->SetLabel(wxString::FromUTF8("Record\xE2\x80\xA6"));
        SetNote(file_name_text(record_path_ + ": cannot be written; recording stopped"), true);
    }
}

void TrendFrame::OnRecordClick(wxCommandEvent& WXUNUSED(event)) {
    if (Recording()) {
        StopRecording();
        return;
    }
    wxFileDialog dialog(this, _("Record live readouts"), wxEmptyString, "record.csv", kWildcardLogs,
                        wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
    if (dialog.ShowModal() == wxID_OK) StartRecording(file_name_bytes(dialog.GetPath()));
}

void TrendFrame::ShowTotals() {
    if (!live_) return;
    wxString text = "Since the trend started";
    if (totals_from_ms_ != INT64_MIN) text = "Since " + time_text(totals_from_ms_);
    const int64_t from = std::max(totals_from_ms_, live_->first_time());
    if (live_->empty() || live_->size() + live_->dropped() <= totals_readouts_) {
        text << ": no readout yet";
    } else {
        const int64_t to = live_->last_time() + 1;
        const trend::Integrals in = live_->integrals(from, to);
        text << ", " << wxString::FromUTF8(trend::duration_text(live_->last_time() - from)) << ": "
             << wxString::FromUTF8(trend::cost_text(in.charge_mC, in.energy_mJ, in.mean_power_mW, in.covered_ms,
                                                    in.gap_ms));
    }
    TotalsText->SetLabel(text);
}

void TrendFrame::OnResetTotalsClick(wxCommandEvent& WXUNUSED(event)) {
    // From the last readout's time on: it stands for the time until the
    // next one, which is after the Reset (nothing, when the next one is
    // stamped in the same millisecond). Counted, not timed, "no readout yet"
    // lasts until the next one comes.
    totals_from_ms_ = live_ && !live_->empty() ? live_->last_time() : INT64_MIN;
    totals_readouts_ = live_ ? live_->size() + live_->dropped() : 0;
    ShowTotals();
}

void TrendFrame::OnBatteryText(wxCommandEvent& WXUNUSED(event)) {
    if (wxConfigBase* config = wxConfigBase::Get()) {
        if (config->Write(kBatteryKey, BatteryCtrl->GetValue())) config->Flush();
    }
    if (selection_) ShowStats();
    if (markers_[0] && markers_[1]) ShowMarkers();
}

void TrendFrame::OnStripBoxClick(wxCommandEvent& WXUNUSED(event)) {
    if (wxConfigBase* config = wxConfigBase::Get()) {
        bool written = true;
        for (int s = 0; s < trend::kSceneStripCount; ++s)
            written = config->Write(kShowStripKeys[s], StripBoxes[s]->GetValue()) && written;
        if (written) config->Flush();
    }
    scene_stale_ = true;
    Plot->Refresh();
}

void TrendFrame::ShowHover(int x) {
    const int64_t at = CurrentScene().time_at(x);
    const std::optional<trend::Readout> nearest = shown_->nearest(at);
    wxString text = time_text(at);
    if (nearest) {
        for (int r = 0; r < trend::kReadingCount; ++r)
            text << "   " << wxString::FromUTF8(trend::reading_name(r)) << " "
                 << reading_text(r, nearest->value[r]);
        // V · mA is mW; missing with either reading.
        const double power_mW = static_cast<double>(nearest->value[trend::kVTarget]) * nearest->value[trend::kISupply];
        text << "   " << kPowerName << " "
             << (std::isnan(power_mW) ? wxString("--") : wxString::FromUTF8(trend::power_text(power_mW)));
    }
    StatusBar->SetStatusText(text, kHoverField);
}

// The desktop turned dark or light: the plot and a problem's red follow.
void TrendFrame::OnSysColourChanged(wxSysColourChangedEvent& event) {
    event.Skip();
    SetNote(NoteText->GetLabel(), note_problem_);
    scene_stale_ = true;
    Plot->Refresh();
}

void TrendFrame::SetNote(const wxString& text, bool problem) {
    note_problem_ = problem;
    // A red that reads on the window's background, light or dark.
    NoteText->SetForegroundColour(problem ? (wxSystemSettings::GetAppearance().IsDark() ? kProblemOnDark
                                                                                        : kProblemOnLight)
                                          : GetForegroundColour());
    NoteText->SetLabel(text);
    NoteText->SetToolTip(text);
}

bool TrendFrame::OpenLog(const wxString& path) {
    auto log = std::make_unique<trend::CsvLog>();
    std::string error;
    if (!log->open(file_name_bytes(path), &error)) {
        SetNote(file_name_text(error), true);
        return false;
    }
    follow_timer_.Stop();
    log_ = std::move(log);
    log_gone_ = false;
    log_series_ = std::make_unique<trend::Series>(0);
    shown_ = log_series_.get();
    const trend::Span span = view_.span();
    view_ = trend::View();
    view_.set_span(span);
    selection_.reset();
    ShowStats();
    markers_ = {};
    ShowMarkers();
    SetTitle(kTitle + kTitleSeparator + wxFileName(path).GetFullName());
    StatusBar->SetStatusText(wxEmptyString, kHoverField);
    // The live readouts go on being kept meanwhile, to be shown again.
    if (live_ && !LiveButton->IsShown()) LiveButton->Show();
    SetNote(wxString::Format("Loading %s", path), false);

    loading_ = true;
    LoadGauge->SetValue(0);
    LoadGauge->Show();
    CancelButton->Show();
    Plot->GetParent()->Layout();
    ViewChanged();
    wxWakeUpIdle();
    return true;
}

void TrendFrame::OnIdle(wxIdleEvent& event) {
    event.Skip();
    if (!loading_) return;
    bool failed = false;
    const size_t consumed = log_->read_more(*log_series_, kLoadSliceBytes, &failed);
    if (log_->file_size() > 0)
        LoadGauge->SetValue(static_cast<int>(kGaugeRange * std::min<uint64_t>(log_->bytes_done(), log_->file_size()) /
                                             log_->file_size()));
    scene_stale_ = true;
    Plot->Refresh();
    if (failed) {
        EndLoading();
        SetNote(file_name_text(log_->path()) + ": cannot be read to its end", true);
        return;
    }
    if (consumed > 0) {
        event.RequestMore();
        return;
    }
    EndLoading();
    ShowLogNote();
    follow_timer_.Start(kFollowPeriodMs);
}

void TrendFrame::EndLoading() {
    loading_ = false;
    LoadGauge->Hide();
    CancelButton->Hide();
    Plot->GetParent()->Layout();
}

void TrendFrame::OnCancelClick(wxCommandEvent& WXUNUSED(event)) {
    if (!loading_) return;
    EndLoading();
    SetNote(wxString::Format("%s: loading cancelled, the first %llu readouts shown",
                             file_name_text(log_->path()), static_cast<unsigned long long>(log_->rows())),
            false);
}

void TrendFrame::OnFollowTimer(wxTimerEvent& WXUNUSED(event)) {
    bool failed = false;
    const uint64_t rows_before = log_->rows(), skipped_before = log_->skipped();
    const bool gone_before = log_gone_;
    size_t consumed = log_->read_more(*log_series_, kLoadSliceBytes, &failed);
    if (consumed == 0 && !failed) {
        // Nothing new: perhaps the log was started again or is gone.
        const size_t held = log_series_->size();
        const trend::CsvLog::Follow found = log_->follow(*log_series_);
        log_gone_ = found == trend::CsvLog::Follow::Gone;
        if (found == trend::CsvLog::Follow::StartedAgain) {
            consumed = log_->read_more(*log_series_, kLoadSliceBytes, &failed) + 1;
            // At its first readout, after the gap; without one yet, now.
            started_again_ms_ = held < log_series_->size() ? log_series_->at(held).time_ms
                                                           : wxGetUTCTimeMillis().GetValue();
        }
    }
    if (consumed > 0) {
        if (selection_) ShowStats();
        scene_stale_ = true;
        Plot->Refresh();
    }
    if (failed) {
        follow_timer_.Stop();
        SetNote(file_name_text(log_->path()) + ": can no longer be read", true);
    } else if (log_->rows() != rows_before || log_->skipped() != skipped_before || log_gone_ != gone_before ||
               consumed > 0) {
        ShowLogNote();
    }
}

void TrendFrame::ShowLogNote() {
    const wxString path = file_name_text(log_->path());
    const wxString rows = wxString::Format("%llu readouts", static_cast<unsigned long long>(log_->rows()));
    if (log_gone_) {
        SetNote(path + " is gone: deleted and not made again; " + rows + " shown", true);
        return;
    }
    wxString text = log_->restarts() > 0 ? path + " started again at " + time_text(started_again_ms_) + ": " + rows
                                         : path + ": " + rows;
    if (log_->skipped() > 0)
        text << wxString::Format("; skipped %llu %s; the first, line %llu: ",
                                 static_cast<unsigned long long>(log_->skipped()),
                                 log_->skipped() == 1 ? "line" : "lines",
                                 static_cast<unsigned long long>(log_->first_skipped_line()))
             << wxString::FromUTF8(log_->first_skipped_reason());
    SetNote(text, log_->skipped() > 0);
}

void TrendFrame::OnOpenClick(wxCommandEvent& WXUNUSED(event)) {
    wxFileDialog dialog(this, _("Open log"), wxEmptyString, wxEmptyString, kWildcardLogs,
                        wxFD_OPEN | wxFD_FILE_MUST_EXIST);
    if (dialog.ShowModal() == wxID_OK) OpenLog(dialog.GetPath());
}

void TrendFrame::OnSaveClick(wxCommandEvent& WXUNUSED(event)) {
    wxFileDialog dialog(this, _("Save image"), wxEmptyString, "trend.png", kWildcardImages,
                        wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
    if (dialog.ShowModal() != wxID_OK) return;
    std::string path = file_name_bytes(dialog.GetPath());
    if (trend::image_format(path) == trend::ImageFormat::None)
        path += kImageEndings[std::clamp(dialog.GetFilterIndex(), 0, 1)];
    SaveImage(path);
}

std::string TrendFrame::SaveImage(const std::string& path) {
    // Laid out anew at the plot's size, light, under the title line that
    // says what it shows and when, as --save-image writes it.
    trend::SceneRequest request = Request();
    const wxString shown_name =
        shown_ == live_.get() || !log_ ? kLiveTitle : wxFileName(file_name_text(log_->path())).GetFullName();
    request.title = trend_painter::picture_title(shown_name.utf8_string(), request.range);
    const std::string error = trend_painter::write_image(path, request, *shown_);
    if (error.empty())
        SetNote(wxString::Format("Saved %s", file_name_text(path)), false);
    else
        SetNote(file_name_text(error), true);
    return error;
}
