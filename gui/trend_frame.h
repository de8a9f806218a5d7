// The trend window: the four readings over time, drawn by trend_painter from
// the scene trend/ lays out, over either the measurement window's live
// series or a log written by talviro_read --csv. A resizable top-level
// window whose title starts with "TALVIRO Trend".
//
// It draws only when something changed (a readout, a slice of a log, the
// view, the size) and runs no timer while nothing can change: a log is read
// in slices on idle time while it loads, then looked at every
// kFollowPeriodMs for rows appended to it.
#ifndef TALVIRO_GUI_TREND_FRAME_H
#define TALVIRO_GUI_TREND_FRAME_H

#include "console/capture_rate.h"
#include "trend/scene.h"
#include "trend/series.h"
#include "trend/view.h"

#include <wx/frame.h>
#include <wx/timer.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

class wxButton;
class wxDC;
class wxCheckBox;
class wxChoice;
class wxGauge;
class wxIdleEvent;
class wxKeyEvent;
class wxMouseEvent;
class wxPaintEvent;
class wxStaticText;
class wxStatusBar;

namespace trend {
class CsvLog;
}

class TrendFrame : public wxFrame {
public:
    // A growing log is looked at this often for new rows.
    static constexpr int kFollowPeriodMs = 500;
    // Bytes of a log read per idle slice while it loads: a few tens of ms.
    static constexpr size_t kLoadSliceBytes = 4u << 20;

    // A window over live, the series the measurement window adds to; it
    // calls LiveChanged() after each readout. nullptr: a window for logs
    // only, empty until one is opened. Shown by the caller.
    explicit TrendFrame(std::shared_ptr<const trend::Series> live);
    ~TrendFrame() override;

    // Opens a talviro_read CSV log in this window (as "Open log…" and a
    // dropped file do) and starts loading it in slices, with the progress bar
    // and Cancel shown; once loaded it is followed for appended rows. A file
    // that is not such a log is refused: the note line names it and why, the
    // window keeps what it showed, and the answer is false.
    bool OpenLog(const wxString& path);
    // The live series gained a readout: redraws if the window shows it.
    void LiveChanged();
    // Called with the rate the user picks from RateChoice, and with
    // CaptureRate::Second when the window closes while a faster one is
    // shown: the owner of the probe starts or stops its capture. {}: none.
    using RateHandler = std::function<void(console::CaptureRate)>;
    void SetRateHandler(RateHandler handler);
    // Shows rate in RateChoice without calling the handler.
    void ShowRate(console::CaptureRate rate);
    // Writes what the plot shows as PNG or SVG, chosen by path's ending
    // (".png" or ".svg", any case). Returns "" or a one-line reason naming
    // the file; the note line says the same.
    std::string SaveImage(const std::string& path);

    // The series drawn: the log's once one is open, else the live one (an
    // empty one for a window without live readings).
    const trend::Series& Shown() const { return *shown_; }
    const trend::View& CurrentView() const { return view_; }
    // The span Shift+drag selected, if any.
    const std::optional<trend::TimeRange>& Selection() const { return selection_; }
    bool Loading() const { return loading_; }
    // The scene the plot was last drawn with (empty before the first paint).
    const trend::Scene& LastScene() const { return scene_; }

    // The controls, created in the constructor; the frame owns them.
    wxCheckBox* LiveBox;        // "Live": following the newest readout
    wxChoice* RateChoice;       // the live readouts' rate: 1 s, 0.1 s, as fast as the probe;
                                // hidden in a window without live readings
    wxChoice* SpanChoice;       // the live span: 1 min, 10 min, 1 h, all
    wxCheckBox* LockYBox;       // "Lock Y"
    wxButton* OpenButton;       // "Open log…", Ctrl+O
    wxButton* SaveButton;       // "Save image…", Ctrl+S
    wxButton* ZoomButton;       // "Zoom to selection", usable with a selection
    wxWindow* Plot;             // the four strips; takes the keyboard focus
    wxGauge* LoadGauge;         // shown while a log loads, 0..kGaugeRange
    wxButton* CancelButton;     // "Cancel", beside it
    wxStaticText* StatsText;    // the selection's statistics, one line a reading
    wxStaticText* NoteText;     // refusals, skipped lines, saved pictures
    wxStatusBar* StatusBar;     // the time and the readings under the pointer

private:
    void OnPaint(wxPaintEvent& event);
    void OnSize(wxSizeEvent& event);
    void OnMouse(wxMouseEvent& event);
    void OnWheel(wxMouseEvent& event);
    void OnCaptureLost(wxMouseCaptureLostEvent& event);
    void OnCharHook(wxKeyEvent& event);
    void OnIdle(wxIdleEvent& event);
    void OnFollowTimer(wxTimerEvent& event);
    void OnLiveClick(wxCommandEvent& event);
    void OnSpanChoice(wxCommandEvent& event);
    void OnRateChoice(wxCommandEvent& event);
    void OnClose(wxCloseEvent& event);
    void OnLockYClick(wxCommandEvent& event);
    void OnOpenClick(wxCommandEvent& event);
    void OnSaveClick(wxCommandEvent& event);
    void OnZoomClick(wxCommandEvent& event);
    void OnCancelClick(wxCommandEvent& event);

    trend::Extent DataExtent() const;
    // Lays the scene out for the plot's size, with the view and selection.
    trend::SceneRequest Request() const;
    // Lays scene_ out for the plot, measuring text on dc.
    void LayOutScene(wxDC& dc);
    // True when the scene no longer matches the view, the data or the size.
    bool SceneStale() const;
    // The scene for the plot's current size, laid out now if the last paint's
    // is out of date (the mouse handlers map pixels to time with it).
    const trend::Scene& CurrentScene();
    // After any change of the view or the data: controls follow, plot redraws.
    void ViewChanged();
    void ShowStats();
    void ShowHover(int x);
    void SetNote(const wxString& text, bool problem);
    void EndLoading();

    std::shared_ptr<const trend::Series> live_;
    std::unique_ptr<trend::Series> log_series_;
    std::unique_ptr<trend::CsvLog> log_;
    const trend::Series* shown_ = nullptr;
    trend::Series empty_{0};  // shown by a window for logs before one is open

    trend::View view_;
    trend::Scene scene_;
    bool scene_stale_ = true;
    std::optional<trend::TimeRange> selection_;

    enum class Drag { None, Pan, Select };
    Drag drag_ = Drag::None;
    int drag_x_ = 0;             // pixel of the last pan step
    int64_t select_from_ms_ = 0; // where a selection started

    bool loading_ = false;
    wxTimer follow_timer_;
    RateHandler rate_handler_;
};

#endif
