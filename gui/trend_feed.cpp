#include "gui/trend_feed.h"

#include "gui/trend_frame.h"

#include <wx/display.h>
#include <wx/event.h>
#include <wx/settings.h>
#include <wx/window.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

namespace {
// When the system does not say.
constexpr int kDefaultDoubleClickMs = 500;
// Between the measurement window and the trend window, in DIPs; where the
// trend window cannot go beside it, it goes kCascade gaps down and right.
constexpr int kWindowGap = 16;
constexpr int kCascade = 3;

int64_t wall_clock_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}
}  // namespace

TrendFeed::TrendFeed() : live_(std::make_shared<trend::Series>(trend::Series::kLiveCapacity)) {}

TrendFeed::~TrendFeed() {
    if (TrendFrame* frame = window_.get()) frame->Destroy();
}

void TrendFeed::add(const float (&by_channel)[readings::kChannelCount]) {
    if (append(wall_clock_ms(), by_channel)) changed();
}

void TrendFeed::add_gap() {
    if (live_->append_gap(std::max(wall_clock_ms(), live_->last_time()))) changed();
}

void TrendFeed::add_taken(int64_t time_ms, const float (&by_channel)[readings::kChannelCount]) {
    append(time_ms, by_channel);
}

void TrendFeed::new_cadence() { live_->new_cadence(); }

void TrendFeed::changed() {
    if (TrendFrame* frame = window_.get()) frame->LiveChanged();
}

bool TrendFeed::append(int64_t time_ms, const float (&by_channel)[readings::kChannelCount]) {
    trend::Readout readout{live_->empty() ? time_ms : std::max(time_ms, live_->last_time()), {}};
    for (int r = 0; r < trend::kReadingCount; ++r) readout.value[r] = by_channel[trend::reading_channel(r)];
    // Stamped no earlier than the last, so the series always takes it.
    return live_->append(readout);
}

void TrendFeed::set_rate_handler(std::function<void(console::CaptureRate)> handler) {
    rate_handler_ = std::move(handler);
    if (TrendFrame* frame = window_.get()) frame->SetRateHandler(rate_handler_);
}

void TrendFeed::show_rate(console::CaptureRate rate) {
    rate_ = rate;
    if (TrendFrame* frame = window_.get()) frame->ShowRate(rate);
}

void TrendFeed::show() {
    if (TrendFrame* frame = window_.get()) {
        if (frame->IsIconized()) frame->Iconize(false);
        frame->Raise();
        return;
    }
    TrendFrame* frame = new TrendFrame(live_);
    frame->SetRateHandler(rate_handler_);
    frame->ShowRate(rate_);
    window_ = frame;
    if (measurement_) frame->Move(place_beside(*measurement_, frame->GetSize()));
    frame->Show(true);
}

wxPoint TrendFeed::place_beside(const wxWindow& measurement, const wxSize& size) {
    const wxRect owner = measurement.GetScreenRect();
    const wxRect desktop = wxDisplay(&measurement).GetClientArea();
    const int gap = measurement.FromDIP(kWindowGap);
    // To its right where that fits, else down and to the right of its corner,
    // always on its desktop with its title bar.
    wxPoint at(owner.GetRight() + 1 + gap, owner.y);
    if (at.x + size.x > desktop.GetRight() + 1) at = owner.GetTopLeft() + wxPoint(kCascade * gap, kCascade * gap);
    at.x = std::max(desktop.x, std::min(at.x, desktop.GetRight() + 1 - size.x));
    at.y = std::max(desktop.y, std::min(at.y, desktop.GetBottom() + 1 - size.y));
    return at;
}

void TrendFeed::open_on_double_click(wxWindow* control) {
    measurement_ = wxGetTopLevelParent(control);
    control->Bind(wxEVT_LEFT_DCLICK, [this](wxMouseEvent& event) {
        event.Skip();
        show();
    });
    control->Bind(wxEVT_LEFT_DOWN, [this, control](wxMouseEvent& event) {
        event.Skip();
        const auto now = std::chrono::steady_clock::now();
        const int limit_ms = wxSystemSettings::GetMetric(wxSYS_DCLICK_MSEC);
        const auto limit = std::chrono::milliseconds(limit_ms > 0 ? limit_ms : kDefaultDoubleClickMs);
        if (pressed_ == control && now - pressed_at_ <= limit) {
            pressed_ = nullptr;
            show();
            return;
        }
        pressed_ = control;
        pressed_at_ = now;
    });
}
