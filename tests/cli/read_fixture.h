// talviro_read run in-process on the simulated probe, with its pacing on the
// probe's manual clock: readout time, driver time-outs and the waits between
// readouts all move the same clock, and no test waits in real time.
#ifndef TALVIRO_TESTS_CLI_READ_FIXTURE_H
#define TALVIRO_TESTS_CLI_READ_FIXTURE_H

#include "cli/run.h"

#include "manual_run_clock.h"
#include "sim_fixture.h"
#include "stream_capture.h"

#include <functional>
#include <iostream>
#include <string>
#include <vector>

// read_adc_channel makes 52 writes per conversion, four conversions a readout.
constexpr unsigned kWritesPerConversion = 52;
constexpr size_t kWritesPerReadout = kWritesPerConversion * 4;

class ReadTool : public SimFixture {
protected:
    // Runs talviro_read with args; keeps what it wrote in out and err.
    int run(const std::vector<std::string>& args) { return run(args, std::cout); }
    int run(const std::vector<std::string>& args, std::ostream& output) {
        StreamCapture streams;
        const int status = cli::talviro_read("talviro_read", args, source, run_clock, *stop,
                                             output, std::cerr);
        out = streams.out();
        err = streams.err();
        return status;
    }

    // Manual clock time at which each readout began: its first FT_Write.
    std::vector<uint64_t> readout_starts() const {
        std::vector<uint64_t> starts;
        const auto writes = dev().calls(sim::Fn::Write);
        for (size_t i = 0; i < writes.size(); i += kWritesPerReadout) starts.push_back(writes[i].time_ms);
        return starts;
    }

    bool closed_at_end() const {
        return !dev().log().empty() && dev().log().back().fn == sim::Fn::Close &&
               dev().log().back().status == FT_OK && !dev().channel_open('B');
    }

    // Called with the 1-based number of the readout, before and after its
    // conversions: to inject faults, or to make the readout take time.
    std::function<void(int)> before_readout;
    std::function<void(int)> after_readout;
    int readouts = 0;
    cli::SampleSource source = [this] {
        ++readouts;
        if (before_readout) before_readout(readouts);
        const console::Sample sample = console::read_probe();
        if (after_readout) after_readout(readouts);
        return sample;
    };
    ManualRunClock run_clock{clock};
    volatile std::sig_atomic_t never_stop = 0;
    const volatile std::sig_atomic_t* stop = &never_stop;
    std::string out;
    std::string err;
};

#endif
