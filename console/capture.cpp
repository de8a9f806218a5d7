#include "console/capture.h"

#include "console/clock.h"
#include "d2xx/abandon.h"
#include "probe/probe_channel.h"

#include <system_error>
#include <utility>

namespace console {

namespace {

using SteadyClock = std::chrono::steady_clock;

int64_t system_wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Capture::Capture(WallClock wall_ms)
    : wall_ms_(wall_ms ? std::move(wall_ms) : WallClock(system_wall_ms)) {}

Capture::~Capture() { stop(); }

bool Capture::start(uint64_t period_ms, const std::string& probe_name) {
    if (running()) return false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_requested_ = false;
        taken_ = 0;
    }
    try {
        thread_ = std::thread(&Capture::run, this, period_ms, probe_name);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

bool Capture::stop() {
    if (!running()) return false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_requested_ = true;
        changed_.notify_all();
    }
    // A readout that waits on a silent probe would hold the stop for the
    // read time-out; an abandoned wait still lets an answering probe's
    // transfers through, so a healthy readout in progress ends whole. A
    // stop the whole program asked for (a signal) has abandoned the waits
    // already, and they stay abandoned.
    const bool abandoned_here = d2xx_waits_abandoned() == 0;
    if (abandoned_here) probe_abandon_waits();
    thread_.join();
    if (abandoned_here) {
        d2xx_clear_abandon();
        // A signal that came while the thread was joined had its abandon
        // cleared with ours: it sets stop_flag() first, so give it back.
        if (stop_flag() != 0) probe_abandon_waits();
    }
    return true;
}

void Capture::drain(std::vector<Taken>& out) {
    const std::lock_guard<std::mutex> lock(mutex_);
    out.insert(out.end(), batch_.begin(), batch_.end());
    batch_.clear();
}

bool Capture::wait_taken(uint64_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this, count] { return taken_ >= count; });
}

bool Capture::wait_until(SteadyClock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !changed_.wait_until(lock, deadline, [this] { return stop_requested_; });
}

void Capture::keep(const Taken& taken) {
    const std::lock_guard<std::mutex> lock(mutex_);
    batch_.push_back(taken);
    ++taken_;
    changed_.notify_all();
}

void Capture::run(uint64_t period_ms, std::string probe_name) {
    const auto period = std::chrono::milliseconds(period_ms);
    const auto reconnect_every = std::chrono::milliseconds(kCaptureReconnectAttemptMs);
    SteadyClock::time_point next = SteadyClock::now();
    bool away = !probe_in_step();
    bool anchor = true;
    while (wait_until(next)) {
        if (away) {
            // The lost probe, by its name: back in step, or still away.
            char serial[probe_settings::kSerialSize] = {};
            away = probe_reopen(probe_name.c_str(), serial) != 0;
            if (away) {
                next = SteadyClock::now() + reconnect_every;
                continue;
            }
            anchor = true;
        }
        // The grid runs from the first readout's start, and from the first
        // after a lost probe came back.
        if (anchor) {
            next = SteadyClock::now();
            anchor = false;
        }
        Taken taken;
        taken.time_ms = wall_ms_();
        taken.sample = read_probe();
        // Cut short by a stop: neither a measurement nor a fault of the probe.
        if (taken.sample.abandoned) break;
        keep(taken);
        if (taken.sample.channel_lost) {
            away = true;
            next = SteadyClock::now() + reconnect_every;
            continue;
        }
        if (period_ms == kCaptureBusPace) {
            next = SteadyClock::now();
            continue;
        }
        // The next free slot of the grid: an overrun skips the slots it took.
        next += period;
        const SteadyClock::time_point now = SteadyClock::now();
        if (next < now) next += (now - next + period - std::chrono::nanoseconds(1)) / period * period;
    }
}

}  // namespace console
