// The steps of opening the probe channel in their order, each with the text its failure
// writes and the stream it goes to, for tests that fail them one by one.
#ifndef TALVIRO_TESTS_OPEN_STEPS_H
#define TALVIRO_TESTS_OPEN_STEPS_H

#include "d2xx/sim/sim_probe.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

struct OpenStep {
    sim::Fn fn;
    const char* text;
    bool on_stdout;
};

inline const OpenStep kOpenSteps[] = {
    {sim::Fn::OpenEx, "Unable to open FTDI Device", true},
    {sim::Fn::SetLatencyTimer, "unable to set latency timer", false},
    {sim::Fn::GetLatencyTimer, "unable to get latency timer", false},
    {sim::Fn::SetTimeouts, "unable to set timeouts", false},
    {sim::Fn::SetBitMode, "unable to enable bit mode", false},
    // Emptying the chip's buffers is part of entering MPSSE cleanly.
    {sim::Fn::Purge, "unable to enable bit mode", false},
    {sim::Fn::GetDeviceInfo, "unable to get FT_GetDeviceInfo", false},
};

// Keeps the test names ctest sees free of the parameter's bytes.
inline void PrintTo(const OpenStep& step, std::ostream* os) { *os << sim::fn_name(step.fn); }

inline std::string open_step_name(const ::testing::TestParamInfo<OpenStep>& info) {
    return std::string(sim::fn_name(info.param.fn)).substr(3);  // without "FT_"
}

#endif
