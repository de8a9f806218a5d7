// Time as the programs' run loops see it, the real clock, and the stop
// handling that ends a run at once: after the readout in progress when the
// probe answers, or by abandoning the wait on one that fell silent
// (probe_abandon_waits). SIGINT and SIGTERM on POSIX (clock.cpp); Ctrl-C,
// Ctrl-Break and the closing of the console on Windows (clock_windows.cpp).
#ifndef TALVIRO_CONSOLE_CLOCK_H
#define TALVIRO_CONSOLE_CLOCK_H

#include <csignal>
#include <cstdint>

namespace console {

// Time as the run loops see it; tests put a manual clock in its place.
class RunClock {
public:
    virtual ~RunClock() = default;
    // Milliseconds on a clock that never goes back; paces the readouts.
    virtual uint64_t steady_ms() = 0;
    // Milliseconds since 1970-01-01T00:00:00Z; stamps the CSV lines.
    virtual int64_t wall_ms() = 0;
    // Waits ms milliseconds, returning early once stop is non-zero.
    virtual void sleep_ms(uint64_t ms, const volatile std::sig_atomic_t& stop) = 0;
};

// Makes SIGINT and SIGTERM set stop_flag(), cut short any
// SystemClock::sleep_ms and abandon every wait on the probe
// (probe_abandon_waits: a read waiting on a silent probe returns within a
// fraction of a second), whichever thread the signal lands on. A second
// signal of the same kind ends the process at once, should anything else
// still hold it. Interrupted driver calls are restarted. Returns false when
// a handler or the wake-up pipe could not be set up.
bool install_stop_signals();

// Ends the run as a first stop signal does, from any thread: sets
// stop_flag(), abandons every wait on the probe and wakes a sleep. For a
// part of the program that fails on a thread of its own.
void request_stop();

// Sets what a second stop signal runs just before it ends the process, to
// leave the terminal usable: it runs inside the signal handler and must be
// async-signal-safe. nullptr: nothing.
void set_forced_stop_hook(void (*hook)());

// Non-zero once a stop signal arrived.
const volatile std::sig_atomic_t& stop_flag();

// steady_clock, system_clock, and a sleep that a stop signal ends.
class SystemClock : public RunClock {
public:
    uint64_t steady_ms() override;
    int64_t wall_ms() override;
    void sleep_ms(uint64_t ms, const volatile std::sig_atomic_t& stop) override;
};

}  // namespace console

#endif
