#include "gui/trend_feed.h"

#include "gui/trend_frame.h"

#include <algorithm>
#include <chrono>
#include <cmath>

TrendFeed::TrendFeed() : live_(std::make_shared<trend::Series>(trend::Series::kLiveCapacity)) {}

TrendFeed::~TrendFeed() {
    if (TrendFrame* frame = window_.get()) frame->Destroy();
}

void TrendFeed::add(const float (&by_channel)[readings::kChannelCount]) {
    float by_reading[trend::kReadingCount];
    for (int r = 0; r < trend::kReadingCount; ++r) by_reading[r] = by_channel[trend::reading_channel(r)];
    append(by_reading);
}

void TrendFeed::add_gap() {
    float missing[trend::kReadingCount];
    std::fill(std::begin(missing), std::end(missing), NAN);
    append(missing);
}

void TrendFeed::append(const float (&by_reading)[trend::kReadingCount]) {
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    trend::Readout readout{live_->empty() ? now : std::max(now, live_->last_time()), {}};
    std::copy(std::begin(by_reading), std::end(by_reading), readout.value);
    // Stamped no earlier than the last, so the series always takes it.
    if (!live_->append(readout)) return;
    if (TrendFrame* frame = window_.get()) frame->LiveChanged();
}

void TrendFeed::show() {
    if (TrendFrame* frame = window_.get()) {
        if (frame->IsIconized()) frame->Iconize(false);
        frame->Raise();
        return;
    }
    TrendFrame* frame = new TrendFrame(live_);
    window_ = frame;
    frame->Show(true);
}
