#include "gui/trend_frame.h"

#include "gui/trend_painter.h"
#include "probe/readings.h"
#include "trend/csv_log.h"
#include "trend/svg.h"

#include <wx/accel.h>
#include <wx/app.h>
#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/datetime.h>
#include <wx/dcbuffer.h>
#include <wx/dcclient.h>
#include <wx/display.h>
#include <wx/dnd.h>
#include <wx/filedlg.h>
#include <wx/filename.h>
#include <wx/gauge.h>
#include <wx/panel.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>

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
    OpenButton = new wxButton(panel, wxID_ANY, wxString::FromUTF8("Open log\xE2\x80\xA6"));
    SaveButton = new wxButton(panel, wxID_ANY, wxString::FromUTF8("Save image\xE2\x80\xA6"));
    ZoomButton = new wxButton(panel, wxID_ANY, _("Zoom to selection"));
    LoadGauge = new wxGauge(panel, wxID_ANY, kGaugeRange, wxDefaultPosition, wxDefaultSize,
                            wxGA_HORIZONTAL | wxGA_SMOOTH);
    CancelButton = new wxButton(panel, wxID_ANY, _("Cancel"));
    Plot = new wxWindow(panel, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                        wxWANTS_CHARS | wxFULL_REPAINT_ON_RESIZE | wxBORDER_NONE);
    // Every pixel is painted from the scene, double-buffered.
    Plot->SetBackgroundStyle(wxBG_STYLE_PAINT);
    StatsText = new wxStaticText(panel, wxID_ANY, wxEmptyString);
    NoteText = new wxStaticText(panel, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize,
                                wxST_ELLIPSIZE_MIDDLE);
    StatusBar = CreateStatusBar(1);

    const wxSizerFlags centred = wxSizerFlags().CentreVertical().Border(wxRIGHT);
    wxBoxSizer* controls = new wxBoxSizer(wxHORIZONTAL);
    controls->Add(LiveBox, centred);
    controls->Add(RateChoice, centred);
    controls->Add(SpanChoice, centred);
    controls->Add(LockYBox, centred);
    controls->AddSpacer(FromDIP(8));
    controls->Add(OpenButton, centred);
    controls->Add(SaveButton, centred);
    controls->Add(ZoomButton, centred);
    controls->AddStretchSpacer();
    controls->Add(LoadGauge, wxSizerFlags(1).CentreVertical().Border(wxRIGHT));
    controls->Add(CancelButton, wxSizerFlags().CentreVertical());
    wxBoxSizer* column = new wxBoxSizer(wxVERTICAL);
    column->Add(controls, wxSizerFlags().Expand().Border());
    column->Add(Plot, wxSizerFlags(1).Expand());
    column->Add(StatsText, wxSizerFlags().Expand().Border(wxLEFT | wxRIGHT | wxTOP));
    column->Add(NoteText, wxSizerFlags().Expand().Border());
    panel->SetSizer(column);
    LoadGauge->Hide();
    CancelButton->Hide();
    StatsText->Hide();
    RateChoice->Show(live_ != nullptr);
    ZoomButton->Enable(false);

    SetMinSize(ConvertDialogToPixels(kMinSizeDlu));
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
    for (const auto& type : {wxEVT_LEFT_DOWN, wxEVT_LEFT_UP, wxEVT_MOTION, wxEVT_LEAVE_WINDOW})
        Plot->Bind(type, &TrendFrame::OnMouse, this);
    Plot->Bind(wxEVT_MOUSEWHEEL, &TrendFrame::OnWheel, this);
    Plot->Bind(wxEVT_MOUSE_CAPTURE_LOST, &TrendFrame::OnCaptureLost, this);
    Bind(wxEVT_CHAR_HOOK, &TrendFrame::OnCharHook, this);
    Bind(wxEVT_IDLE, &TrendFrame::OnIdle, this);
    follow_timer_.Bind(wxEVT_TIMER, &TrendFrame::OnFollowTimer, this);
    LiveBox->Bind(wxEVT_CHECKBOX, &TrendFrame::OnLiveClick, this);
    SpanChoice->Bind(wxEVT_CHOICE, &TrendFrame::OnSpanChoice, this);
    RateChoice->Bind(wxEVT_CHOICE, &TrendFrame::OnRateChoice, this);
    Bind(wxEVT_CLOSE_WINDOW, &TrendFrame::OnClose, this);
    LockYBox->Bind(wxEVT_CHECKBOX, &TrendFrame::OnLockYClick, this);
    OpenButton->Bind(wxEVT_BUTTON, &TrendFrame::OnOpenClick, this);
    SaveButton->Bind(wxEVT_BUTTON, &TrendFrame::OnSaveClick, this);
    ZoomButton->Bind(wxEVT_BUTTON, &TrendFrame::OnZoomClick, this);
    CancelButton->Bind(wxEVT_BUTTON, &TrendFrame::OnCancelClick, this);
    // The accelerators arrive as menu commands with the buttons' ids.
    Bind(wxEVT_MENU, &TrendFrame::OnOpenClick, this, OpenButton->GetId());
    Bind(wxEVT_MENU, &TrendFrame::OnSaveClick, this, SaveButton->GetId());

    const auto span = std::find_if(std::begin(kSpans), std::end(kSpans),
                                   [this](const SpanItem& item) { return item.span == view_.span(); });
    SpanChoice->SetSelection(static_cast<int>(span - std::begin(kSpans)));
    ViewChanged();
    Plot->SetFocus();
}

// follow_timer_ is a member: it stops before the controls go.
TrendFrame::~TrendFrame() = default;

trend::Extent TrendFrame::DataExtent() const {
    if (shown_->empty()) return {};
    return trend::Extent{false, shown_->first_time(), shown_->last_time()};
}

trend::SceneRequest TrendFrame::Request() const {
    trend::SceneRequest request;
    const wxSize size = Plot->GetClientSize();
    request.width = size.x;
    request.height = size.y;
    request.range = view_.range(DataExtent());
    request.locked_y = view_.locked_y();
    request.selection = selection_;
    return request;
}

void TrendFrame::LayOutScene(wxDC& dc) {
    trend::SceneRequest request = Request();
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
    scene_stale_ = true;
    Plot->Refresh();
}

void TrendFrame::LiveChanged() {
    if (shown_ != live_.get()) return;
    if (selection_) ShowStats();
    scene_stale_ = true;
    Plot->Refresh();
}

void TrendFrame::OnMouse(wxMouseEvent& event) {
    event.Skip();
    const int x = event.GetX();
    if (event.LeftDown()) {
        Plot->SetFocus();
        if (!Plot->HasCapture()) Plot->CaptureMouse();
        drag_x_ = x;
        if (event.ShiftDown()) {
            drag_ = Drag::Select;
            select_from_ms_ = CurrentScene().time_at(x);
        } else {
            drag_ = Drag::Pan;
        }
        return;
    }
    if (event.LeftUp()) {
        if (Plot->HasCapture()) Plot->ReleaseMouse();
        drag_ = Drag::None;
        return;
    }
    if (event.Leaving()) {
        StatusBar->SetStatusText(wxEmptyString, kHoverField);
        return;
    }
    if (!event.Dragging() || drag_ == Drag::None) {
        ShowHover(x);
        return;
    }
    const trend::Scene& scene = CurrentScene();
    if (drag_ == Drag::Pan) {
        if (x == drag_x_) return;
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
    wxString text;
    if (selection_) {
        const trend::TimeRange span = *selection_;
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
    }
    StatsText->SetLabel(text);
    // Takes its lines only while there is a selection.
    if (StatsText->IsShown() != selection_.has_value()) {
        StatsText->Show(selection_.has_value());
        Plot->GetParent()->Layout();
    }
}

void TrendFrame::ShowHover(int x) {
    const int64_t at = CurrentScene().time_at(x);
    const std::optional<trend::Readout> nearest = shown_->nearest(at);
    wxString text = time_text(at);
    if (nearest) {
        for (int r = 0; r < trend::kReadingCount; ++r)
            text << "   " << wxString::FromUTF8(trend::reading_name(r)) << " "
                 << reading_text(r, nearest->value[r]);
    }
    StatusBar->SetStatusText(text, kHoverField);
}

void TrendFrame::SetNote(const wxString& text, bool problem) {
    NoteText->SetForegroundColour(problem ? wxColour(176, 0, 0) : GetForegroundColour());
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
    log_series_ = std::make_unique<trend::Series>(0);
    shown_ = log_series_.get();
    const trend::Span span = view_.span();
    view_ = trend::View();
    view_.set_span(span);
    selection_.reset();
    ShowStats();
    SetTitle(kTitle + kTitleSeparator + wxFileName(path).GetFullName());
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
    const std::string skipped = log_->skipped_note();
    SetNote(skipped.empty() ? wxString::Format("%s: %llu readouts", file_name_text(log_->path()),
                                               static_cast<unsigned long long>(log_->rows()))
                            : file_name_text(skipped),
            !skipped.empty());
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
    const uint64_t skipped_before = log_->skipped();
    if (log_->read_more(*log_series_, kLoadSliceBytes, &failed) > 0) {
        if (selection_) ShowStats();
        scene_stale_ = true;
        Plot->Refresh();
    }
    if (failed) {
        follow_timer_.Stop();
        SetNote(file_name_text(log_->path()) + ": can no longer be read", true);
    } else if (log_->skipped() != skipped_before) {
        SetNote(file_name_text(log_->skipped_note()), true);
    }
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
    // The SVG is the scene on screen; the PNG is laid out anew on a bitmap
    // of the plot's size, which measures text as the screen does.
    const std::string error = trend::image_format(path) == trend::ImageFormat::Svg
                                  ? trend::write_svg_file(path, CurrentScene())
                                  : trend_painter::write_image(path, Request(), *shown_);
    if (error.empty())
        SetNote(wxString::Format("Saved %s", file_name_text(path)), false);
    else
        SetNote(file_name_text(error), true);
    return error;
}
