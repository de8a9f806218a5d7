#include "console/probe_return.h"

#include "console/time_text.h"
#include "probe/probe_channel.h"

#include <cstdio>
#include <utility>

namespace console {

namespace {

constexpr double kMsPerSecond = 1000.0;

}  // namespace

uint64_t next_on_grid(uint64_t grid_start, uint64_t now, uint64_t interval_ms) {
    if (grid_start >= now) return grid_start;
    return grid_start + (now - grid_start + interval_ms - 1) / interval_ms * interval_ms;
}

ProbeReturn::ProbeReturn(std::string program, std::string serial, RunClock& clock)
    : program_(std::move(program)), serial_(std::move(serial)), clock_(clock) {}

void ProbeReturn::lose(std::ostream& notes) {
    probe_close();
    said_ = Unavailable::NotFound;  // what the lost line says
    away_ = true;
    ++losses_;
    lost_at_ms_ = clock_.steady_ms();
    notes << program_ << ": probe " << serial_ << " lost at "
          << local_time_text(clock_.wall_ms(), true) << "; waiting for it to come back\n"
          << std::flush;
}

bool ProbeReturn::try_once(std::ostream& notes) {
    if (!reopen(notes)) return false;
    away_ = false;
    away_ms_ += clock_.steady_ms() - lost_at_ms_;
    notes << program_ << ": probe " << serial_ << " back at "
          << local_time_text(clock_.wall_ms(), true) << "\n"
          << std::flush;
    return true;
}

bool ProbeReturn::try_first(std::ostream& notes) { return reopen(notes); }

bool ProbeReturn::reopen(std::ostream& notes) {
    char serial[probe_settings::kSerialSize] = {};
    if (probe_reopen(serial_.c_str(), serial) == 0) return true;
    tell_why(notes);
    return false;
}

void ProbeReturn::tell_why(std::ostream& notes) {
    const UnavailableReason reason = why_unavailable(serial_);
    if (said_ == reason.kind) return;
    said_ = reason.kind;
    notes << program_ << ": waiting for probe " << serial_ << ": " << reason.text << "\n" << std::flush;
}

bool ProbeReturn::wait(std::ostream& notes, const WaitPause& pause) {
    uint64_t next_attempt = clock_.steady_ms();
    while (!try_once(notes)) {
        next_attempt += kReconnectAttemptMs;
        const uint64_t now = clock_.steady_ms();
        if (now >= next_attempt) next_attempt = now;  // a slow attempt: try again at once
        if (!pause(next_attempt - now)) return false;
    }
    return true;
}

uint64_t ProbeReturn::away_ms() const {
    return away_ms_ + (away_ ? clock_.steady_ms() - lost_at_ms_ : 0);
}

std::string ProbeReturn::summary_line() const {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(away_ms()) / kMsPerSecond);
    return "probe away: " + std::to_string(losses_) + (losses_ == 1 ? " time, " : " times, ") +
           seconds + " s in all\n";
}

}  // namespace console
