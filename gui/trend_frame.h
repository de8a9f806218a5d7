// The trend window: the four readings over time, drawn by trend_painter from
// the scene trend/ lays out, over either the measurement window's live
// series or a log written by talviro_read --csv. A resizable top-level
// window whose title starts with "TALVIRO Trend".
//
// It draws only when something changed (a readout, a slice of a log, the
// view, the size) and runs no timer while nothing can change: a log is read
// in slices on idle time while it loads, then looked at every
// kFollowPeriodMs for rows appended to it, and, as tail -F does, for a new
// start under its name (trend::CsvLog::follow).
#ifndef TALVIRO_GUI_TREND_FRAME_H
#define TALVIRO_GUI_TREND_FRAME_H

#include "console/capture_rate.h"
#include "trend/scene.h"
#include "trend/series.h"
#include "trend/view.h"

#include <wx/frame.h>
#include <wx/timer.h>

#include <array>
#include <cstdio>
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
class wxTextCtrl;

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
    // (".png" or ".svg", any case), light, under a title line naming the log
    // shown (or the live readouts), the span and its UTC offset
    // (trend_painter::picture_title). Returns "" or a one-line reason naming
    // the file; the note line says the same.
    std::string SaveImage(const std::string& path);
    // Which readouts "Export CSV…" writes.
    enum class ExportSpan { All, Visible, Selection };
    // Writes the shown readouts of span at full resolution as talviro_read
    // --csv does, so that "Open log…" reads them back (trend::write_csv_log).
    // Returns "" or a one-line reason naming the file; the note line says
    // what was written.
    std::string ExportCsv(const std::string& path, ExportSpan span);
    // Starts writing every live readout from now on to path as talviro_read
    // --csv does, each flushed as it comes, a Disconnect's gap as a new run;
    // the file can be followed by another trend window as it grows. Replaces
    // the file. Returns "" or a one-line reason. StopRecording() closes it,
    // as closing the window does.
    std::string StartRecording(const std::string& path);
    void StopRecording();
    bool Recording() const { return record_ != nullptr; }

    // The series drawn: the log's once one is open, else the live one (an
    // empty one for a window without live readings). The title ends in the
    // log's file name or "live readouts"; "Live readouts" shows the live
    // ones again, all that were read meanwhile included.
    const trend::Series& Shown() const { return *shown_; }
    const trend::View& CurrentView() const { return view_; }
    // The span Shift+drag selected, if any; Esc, Delete and a plain click
    // in the plot drop it. Its statistics show, and it is shaded on the plot
    // and in pictures, only while part of it is in view.
    const std::optional<trend::TimeRange>& Selection() const { return selection_; }
    // Markers A and B: each on the time of a readout, unset until placed.
    // Ctrl+click places A, then B, then moves the nearer one; a marker is
    // dragged from its line, removed with a right click on it; the keys a
    // and b place one at the pointer, x removes both.
    static constexpr int kMarkerCount = 2;
    const std::array<std::optional<int64_t>, kMarkerCount>& Markers() const { return markers_; }
    bool Loading() const { return loading_; }
    // The scene the plot was last drawn with (empty before the first paint).
    const trend::Scene& LastScene() const { return scene_; }

    // The controls, created in the constructor; the frame owns them.
    wxCheckBox* LiveBox;        // "Live": following the newest readout
    wxChoice* RateChoice;       // the live readouts' rate: 1 s, 0.1 s, as fast as the probe;
                                // hidden in a window without live readings
    wxChoice* SpanChoice;       // the live span: 1 min, 10 min, 1 h, all
    wxCheckBox* LockYBox;       // "Lock Y"
    // "V target", "I supply", "A0", "A1", "P target": each strip shown or
    // hidden, in the plot and in saved pictures; remembered (wxConfig).
    std::array<wxCheckBox*, trend::kSceneStripCount> StripBoxes;
    wxButton* OpenButton;       // "Open log…", Ctrl+O
    wxButton* SaveButton;       // "Save image…", Ctrl+S
    wxButton* ZoomButton;       // "Zoom to selection", usable with a selection
    wxButton* LiveButton;       // "Live readouts", back from a log; shown over a log
    wxTextCtrl* BatteryCtrl;    // the battery's capacity in mAh, remembered
    wxButton* MarkerZoomButton; // "Zoom to markers", usable with both set
    wxButton* ExportButton;     // "Export CSV…": all, the visible span or the selection
    wxButton* RecordButton;     // "Record…" / "Stop recording", with live readouts
    wxStaticText* TotalsText;   // the live readouts' charge, energy, elapsed and covered time
                                // since the trend started or the last Reset
    wxButton* ResetTotalsButton;  // "Reset", beside them
    wxWindow* Plot;             // the strips shown; takes the keyboard focus
    wxGauge* LoadGauge;         // shown while a log loads, 0..kGaugeRange
    wxButton* CancelButton;     // "Cancel", beside it
    wxStaticText* StatsText;    // the selection's statistics, one line a reading, then
                                // its charge, energy, mean power and battery life
    wxStaticText* MarkerText;   // each marker's time and readings; between them
                                // Δt, the differences and the span's statistics
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
    void OnSysColourChanged(wxSysColourChangedEvent& event);
    void OnLockYClick(wxCommandEvent& event);
    void OnStripBoxClick(wxCommandEvent& event);
    void OnOpenClick(wxCommandEvent& event);
    void OnSaveClick(wxCommandEvent& event);
    void OnZoomClick(wxCommandEvent& event);
    void OnCancelClick(wxCommandEvent& event);
    void OnLiveReadoutsClick(wxCommandEvent& event);

    // Shows the live series again (a log's window is left), as at the start.
    void ShowLive();
    void ShowLiveNote();
    // The log's name, its readouts, a new start, skipped lines, or that it
    // is gone.
    void ShowLogNote();
    void OnBatteryText(wxCommandEvent& event);
    void OnMarkerZoomClick(wxCommandEvent& event);
    void OnExportClick(wxCommandEvent& event);
    void OnRecordClick(wxCommandEvent& event);
    void OnResetTotalsClick(wxCommandEvent& event);
    // The running totals' line, after each live readout.
    void ShowTotals();
    // Writes the live readouts appended since the last call to the recording.
    void RecordNew();
    void OnRightDown(wxMouseEvent& event);

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
    // The selection while part of it is in view.
    std::optional<trend::TimeRange> SelectionInView() const;
    void DropSelection();
    // The charge, energy and mean power over span, and how long the battery
    // lasts at its mean current: two lines.
    wxString CostLines(const trend::TimeRange& span) const;
    void ShowHover(int x);
    // Puts marker i on the readout nearest to time_ms (none without
    // readouts), then shows the markers.
    void PlaceMarker(int i, int64_t time_ms);
    // The marker whose line is within a few pixels of x, or -1.
    int MarkerAt(int x);
    void ShowMarkers();
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
    bool note_problem_ = false;  // the note tells of a problem, in red
    std::optional<trend::TimeRange> selection_;

    std::array<std::optional<int64_t>, kMarkerCount> markers_;
    int dragged_marker_ = -1;
    int hover_x_ = -1;  // the pointer's last x over the plot, for the a and b keys

    enum class Drag { None, Pan, Select, Marker };
    Drag drag_ = Drag::None;
    int drag_x_ = 0;             // pixel of the last pan step
    bool dragged_ = false;       // the pointer moved since the press
    int64_t select_from_ms_ = 0; // where a selection started

    std::FILE* record_ = nullptr;  // the recording, when one runs
    std::string record_path_;
    uint64_t recorded_ = 0;  // live readouts ever appended (dropped included) when last written
    bool record_rows_ = false;  // a row was recorded: a gap before the next one is written
    int64_t totals_from_ms_ = INT64_MIN;  // the running totals count readouts from here
    uint64_t totals_readouts_ = 0;  // live readouts ever appended (dropped included) at the last Reset

    bool loading_ = false;
    bool log_gone_ = false;          // no file under the log's name
    int64_t started_again_ms_ = 0;   // when the log was last seen started again
    wxTimer follow_timer_;
    RateHandler rate_handler_;
};

#endif
