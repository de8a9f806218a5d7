// talviro_read --watch: the full-screen view on a terminal, with ncurses.
#ifndef TALVIRO_CLI_WATCH_H
#define TALVIRO_CLI_WATCH_H

#include "cli/options.h"
#include "cli/run.h"
#include "console/probe_texts.h"

#include <csignal>
#include <ostream>
#include <string>

namespace cli {

// Needs standard input and output to be the terminal (the caller checks
// output). Takes over the terminal, opens the probe, takes a readout every
// options.interval_ms and redraws the view after each, until q, or stop set
// by Ctrl-C or SIGTERM; r resets statistics and trends. Closes the probe and
// restores the terminal on every way out, then writes to err whether
// transfers failed and, when the probe could not be opened, why, with the
// probe link's text of a failed set-up step kept by texts.
// Returns as talviro_read does: kOk, kNoProbe, kNotWhole when a readout was
// not whole, kOutputFailed when the screen could not be drawn, kUsage when
// the terminal cannot be driven.
int watch_readings(const std::string& program, const Options& options, const SampleSource& source,
                   RunClock& clock, const volatile std::sig_atomic_t& stop,
                   console::ProbeTexts& texts, std::ostream& err);

}  // namespace cli

#endif
