// The programs' run clock on the simulated probe's manual clock: readout
// time, driver time-outs and the waits between readouts all move the same
// clock, and no test waits in real time.
#ifndef TALVIRO_TESTS_SUPPORT_MANUAL_RUN_CLOCK_H
#define TALVIRO_TESTS_SUPPORT_MANUAL_RUN_CLOCK_H

#include "console/clock.h"
#include "d2xx/sim/sim_probe.h"

#include <csignal>
#include <cstdint>
#include <functional>
#include <vector>

// 2023-11-14T22:13:20.000Z: the wall time at manual clock 0.
constexpr int64_t kEpochMs = 1700000000000;

class ManualRunClock : public console::RunClock {
public:
    explicit ManualRunClock(sim::ManualClock& clock) : clock_(clock) {}
    uint64_t steady_ms() override { return clock_.now_ms(); }
    int64_t wall_ms() override { return kEpochMs + static_cast<int64_t>(clock_.now_ms()); }
    void sleep_ms(uint64_t ms, const volatile std::sig_atomic_t&) override {
        sleeps.push_back(ms);
        clock_.advance_ms(ms);
        if (after_sleep) after_sleep(sleeps.size());
    }
    std::vector<uint64_t> sleeps;
    std::function<void(size_t)> after_sleep;  // with the 1-based number of the wait

private:
    sim::ManualClock& clock_;
};

#endif
