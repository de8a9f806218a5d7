// A capture: readouts of the probe taken on a thread of their own, at a
// period or as fast as the bus allows, stamped when their transfers ran and
// handed over in batches, for a window that must not block on the probe.
//
// The probe link has one caller at a time (probe_channel.h). A capture takes
// the channel of the current session from the thread that starts it and
// gives it back to that thread when it stops: between start() and the
// return of stop() only the capture's thread calls the probe link, and the
// starting thread must not. The hand-over is the thread's start and join, so
// nothing else needs a lock. A lost probe is looked for again by the capture
// itself (probe_reopen, by the name of the probe it was given), never another
// probe in its place. No wxWidgets here.
#ifndef TALVIRO_CONSOLE_CAPTURE_H
#define TALVIRO_CONSOLE_CAPTURE_H

#include "console/capture_rate.h"
#include "console/readout.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace console {

// A stop (stop(), or the destructor) returns within this, whether the probe
// answers, is gone or has fallen silent.
constexpr uint64_t kCaptureStopMs = 100;
// How often a lost probe is looked for while a capture runs: a replugged
// probe is read again within about this.
constexpr uint64_t kCaptureReconnectAttemptMs = 40;

// One readout as a capture took it.
struct Taken {
    // Milliseconds since 1970 (the capture's wall clock) when the readout's
    // first transfer was about to be made.
    int64_t time_ms = 0;
    // Not whole: a gap from time_ms until the next readout. channel_lost:
    // the probe is being looked for, and the next readout comes once it is
    // back.
    Sample sample;
};

class Capture {
public:
    // Milliseconds since 1970; the system clock unless a test gives its own.
    // Called only on the capture's thread.
    using WallClock = std::function<int64_t()>;

    explicit Capture(WallClock wall_ms = WallClock());
    // Stops a capture that still runs (stop()).
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Takes the current session's channel, which must be open (probe_open
    // returned 0), and starts taking readouts: one every period_ms on a grid
    // from now (a readout that overruns its slot makes the next start at the
    // next free slot), or back to back for kCaptureBusPace. probe_name: the
    // probe to look for again when it is lost (probe_name()). Returns false,
    // doing nothing, when a capture runs already or the thread cannot start.
    bool start(uint64_t period_ms, const std::string& probe_name);

    // Ends the thread within kCaptureStopMs and gives the channel back to
    // the thread that started it, as it is then: open and in step, out of
    // step after a readout cut short, or closed while the probe was away
    // (probe_in_step tells). Readouts not drained yet stay to be drained.
    // Returns true the one time it handed the channel back; false when no
    // capture ran.
    bool stop();

    bool running() const { return thread_.joinable(); }

    // Moves every readout taken since the last drain to the end of out, in
    // the order taken. Any thread.
    void drain(std::vector<Taken>& out);

    // Waits until at least count readouts were taken since start() or until
    // timeout passes; returns whether they were. Any thread.
    bool wait_taken(uint64_t count, std::chrono::milliseconds timeout);

private:
    void run(uint64_t period_ms, std::string probe_name);
    // Waits until deadline or a stop request; false on a stop request.
    bool wait_until(std::chrono::steady_clock::time_point deadline);
    void keep(const Taken& taken);

    WallClock wall_ms_;
    std::thread thread_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stop_requested_ = false;
    std::vector<Taken> batch_;
    uint64_t taken_ = 0;
};

}  // namespace console

#endif
