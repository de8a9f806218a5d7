// The measurement window's side of the trend: the live series that every
// readout it shows is added to, and the one trend window that draws it.
// The series lives as long as the measurement window, whether or not a trend
// window is open, so opening one shows what was read before.
#ifndef TALVIRO_GUI_TREND_FEED_H
#define TALVIRO_GUI_TREND_FEED_H

#include "console/capture_rate.h"
#include "probe/readings.h"
#include "trend/series.h"

#include <wx/gdicmn.h>
#include <wx/weakref.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class TrendFrame;
class wxWindow;

class TrendFeed {
public:
    // An empty live series, bounded by trend::Series::kLiveCapacity.
    TrendFeed();
    // Closes the trend window, if one is open.
    ~TrendFeed();
    TrendFeed(const TrendFeed&) = delete;
    TrendFeed& operator=(const TrendFeed&) = delete;

    // One readout as the window showed it, in conversion order
    // (readings::kChannels), NaN for a reading shown as "---"; stamped with
    // the wall clock (never earlier than the readout before, so none is lost
    // when the clock is set back).
    void add(const float (&by_channel)[readings::kChannelCount]);
    // No readings from now until the next readout (a Disconnect until the
    // next Connect): a gap marked in the series (Series::append_gap).
    void add_gap();
    // One readout a capture took at time_ms, as add() takes it, but not
    // drawn until changed(): a batch is drawn once.
    void add_taken(int64_t time_ms, const float (&by_channel)[readings::kChannelCount]);
    // Draws what add_taken added.
    void changed();
    // The readouts from the next on come at another rate: the series learns
    // their cadence afresh (trend::Series::new_cadence).
    void new_cadence();

    // What the trend window calls with the rate the user picks, and with
    // CaptureRate::Second when it closes (TrendFrame::SetRateHandler); {}:
    // nothing, also for the window open now.
    void set_rate_handler(std::function<void(console::CaptureRate)> handler);
    // Shows rate in the open window's rate choice.
    void show_rate(console::CaptureRate rate);

    // Opens the trend window over the live series, or raises the open one.
    // A new one goes beside the measurement window (the one whose controls
    // open_on_double_click was given), never over its title bar.
    void show();
    // Makes a double click on control call show(). Where the control gets
    // no double clicks of its own (Windows' progress bars), two presses
    // within the system's double-click time count as one.
    void open_on_double_click(wxWindow* control);
    // The open trend window, or nullptr once it was closed.
    TrendFrame* window() const { return window_.get(); }
    const trend::Series& series() const { return *live_; }

    // Where a window of size goes beside the measurement window: to its
    // right if that fits on its desktop, else down and right of its corner.
    static wxPoint place_beside(const wxWindow& measurement, const wxSize& size);

private:
    // Adds the readout at time_ms, or at the last readout's time when that is
    // later (the series takes no readout earlier than its last).
    bool append(int64_t time_ms, const float (&by_channel)[readings::kChannelCount]);

    // Shared with the trend window, which may outlive this feed until the
    // toolkit deletes it.
    std::shared_ptr<trend::Series> live_;
    wxWeakRef<TrendFrame> window_;
    wxWindow* measurement_ = nullptr;  // the top-level window of the controls; it owns this feed
    std::function<void(console::CaptureRate)> rate_handler_;
    console::CaptureRate rate_ = console::CaptureRate::Second;
    // The last press open_on_double_click saw, and when.
    const wxWindow* pressed_ = nullptr;
    std::chrono::steady_clock::time_point pressed_at_;
};

#endif
