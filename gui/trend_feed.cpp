#include "gui/trend_feed.h"

#include "gui/trend_frame.h"

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
}  // namespace

TrendFeed::TrendFeed() : live_(std::make_shared<trend::Series>(trend::Series::kLiveCapacity)) {}

TrendFeed::~TrendFeed() {
    if (TrendFrame* frame = window_.get()) frame->Destroy();
}

namespace {
int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}
}  // namespace

void TrendFeed::add(const float (&by_channel)[readings::kChannelCount]) {
    if (append(now_ms(), by_channel)) changed();
}

void TrendFeed::add_gap() {
    float missing[readings::kChannelCount];
    std::fill(std::begin(missing), std::end(missing), NAN);
    add(missing);
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
    frame->Show(true);
}

void TrendFeed::open_on_double_click(wxWindow* control) {
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
