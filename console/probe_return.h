// A lost probe's return, for talviro_read --reconnect and the exporter:
// after a readout that was not whole the channel is given back, and the same
// probe, by its channel serial, is waited for until it can be opened again.
// Another probe is never taken in its place.
#ifndef TALVIRO_CONSOLE_PROBE_RETURN_H
#define TALVIRO_CONSOLE_PROBE_RETURN_H

#include "console/clock.h"
#include "console/unavailable.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

namespace console {

// How often a lost probe is looked for, from the start of one attempt to the
// next; an attempt on a probe that is there but silent takes at most the
// probe link's engine check (kEngineCheckTimeoutMs).
constexpr uint64_t kReconnectAttemptMs = 500;

// The first start of the interval grid through grid_start, one start every
// interval_ms (> 0), that is not before now: where readouts go on after the
// probe is back.
uint64_t next_on_grid(uint64_t grid_start, uint64_t now, uint64_t interval_ms);

// Waits between attempts: returns false to give up waiting (Ctrl-C, or q in
// the full-screen view), after at most about ms.
using WaitPause = std::function<bool(uint64_t ms)>;

// The probe of one run and its spells away. Lines go to the notes stream
// given to each call, each one whole line naming the program, the probe's
// serial and the local time.
class ProbeReturn {
public:
    // serial: the channel serial of the probe the run opened.
    ProbeReturn(std::string program, std::string serial, RunClock& clock);

    // After a readout that was not whole: gives the channel back (probe_close)
    // and writes "PROGRAM: probe SERIAL lost at TIME; waiting for it to come
    // back". Needs the probe not already away.
    void lose(std::ostream& notes);

    // One attempt to open the probe again: true, with "PROGRAM: probe SERIAL
    // back at TIME" written, when it is open; false with the channel still
    // given back, and "PROGRAM: waiting for probe SERIAL: REASON" written
    // when the reason (why_unavailable) is another than at the last attempt;
    // that it is not plugged in the lost line has said already. Needs away().
    bool try_once(std::ostream& notes);

    // Before the probe was ever opened: one attempt to open it (probe_reopen).
    // true when it is open, with nothing written; false, with the waiting
    // line as try_once writes it for each new reason, not plugged in
    // included. Needs the probe not opened yet.
    bool try_first(std::ostream& notes);

    // Tries to open the probe again at once and then every
    // kReconnectAttemptMs, pausing with pause in between, until it is open
    // (then writes "PROGRAM: probe SERIAL back at TIME" and returns true) or
    // pause gives up (false; the channel stays given back). Needs away().
    bool wait(std::ostream& notes, const WaitPause& pause);

    bool away() const { return away_; }
    const std::string& serial() const { return serial_; }
    // How many times the probe went away, and the time it was away in all
    // (a spell not yet over counts up to now).
    uint64_t losses() const { return losses_; }
    uint64_t away_ms() const;

    // "probe away: 1 time, 2.0 s in all", ending with a newline.
    std::string summary_line() const;

private:
    // probe_reopen, and on failure tell_why.
    bool reopen(std::ostream& notes);
    // Writes the waiting line when the reason the last attempt failed is
    // another than the one said last.
    void tell_why(std::ostream& notes);

    std::string program_;
    std::string serial_;
    RunClock& clock_;
    bool away_ = false;
    uint64_t losses_ = 0;
    uint64_t away_ms_ = 0;  // spells that are over
    uint64_t lost_at_ms_ = 0;
    std::optional<Unavailable> said_;  // the reason of the last waiting line
};

}  // namespace console

#endif
