// A fresh simulated probe on a manual clock for every test, so a read that
// waits out its time-out costs no real time.
#ifndef TALVIRO_TESTS_SIM_FIXTURE_H
#define TALVIRO_TESTS_SIM_FIXTURE_H

#include "d2xx/sim/sim_probe.h"

#include <gtest/gtest.h>

class SimFixture : public ::testing::Test {
protected:
    void SetUp() override {
        sim::device().reset();
        sim::device().keep_log();
        sim::device().set_clock(&clock);
    }
    void TearDown() override { sim::device().set_clock(nullptr); }

    static sim::Device& dev() { return sim::device(); }
    sim::ManualClock clock;
};

#endif
