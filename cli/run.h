// The program behind talviro_read and talviro_read_demo: options, opening
// the probe, the paced run of readouts, the summary and the exit status.
#ifndef TALVIRO_CLI_RUN_H
#define TALVIRO_CLI_RUN_H

#include "cli/options.h"
#include "cli/summary.h"
#include "console/clock.h"
#include "console/probe_return.h"
#include "console/probe_texts.h"
#include "console/readout.h"

#include <csignal>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace cli {

namespace exit_status {
constexpr int kOk = 0;
constexpr int kNoProbe = 1;        // the probe could not be opened; --list: none found
constexpr int kUsage = 2;
constexpr int kNotWhole = 3;       // some conversion of the run was not whole
constexpr int kOutputFailed = 4;   // standard output could not be written
constexpr int kLimitBroken = 5;    // a --limit did not hold
}  // namespace exit_status

using console::ProbeReturn;
using console::RunClock;
using console::Sample;

// Takes one readout; read_probe in the programs.
using SampleSource = std::function<Sample()>;

struct RunResult {
    uint64_t readouts = 0;
    bool all_whole = true;
    bool channel_lost = false;  // ended early: no later readout could be whole
    bool output_ok = true;  // every write to out went through
    // The run's figures, from its first readout to just past its last:
    // each readout stands for the time to the next (trend::Integrals).
    Summary summary;
};

// Takes options.count readouts (until stop when it is kUntilStopped), one
// every options.interval_ms from start to start; a readout that overruns
// the interval is followed at once by the next, and the schedule restarts
// from there. No wait follows the last readout. stop is looked at before
// each readout and ends waits early; a readout in progress is finished and
// printed, unless it was abandoned (Sample::abandoned: a stop signal cut a
// wait on a silent probe short), which ends the run unprinted and uncounted.
// Prints text or CSV to out, and the summary of a run asked for
// more than one readout to err in CSV mode, else to out. A readout whose
// channel_lost is set ends the run after it is printed.
//
// With probe_return (--reconnect) a readout that was not whole does not end
// the run: once it is printed the channel is given back and the same probe
// waited for (the lines saying so go to err), and readouts go on at the next
// start of the interval grid once it is back; options.count then counts
// whole readouts, all_whole is left true, and the summary ends with the time
// the probe was away. Ctrl-C during the wait ends the run as between readouts.
RunResult run_readouts(const Options& options, const char* serial, const SampleSource& source,
                       RunClock& clock, const volatile std::sig_atomic_t& stop, std::ostream& out,
                       std::ostream& err, ProbeReturn* probe_return = nullptr);

// Opens the probe options.serial names (probe_open_serial), or the first
// free one when it names none (probe_open). Returns as those do.
int open_probe(const Options& options, char serial[16]);

// The one-line explanation, ending with a newline, printed when open_probe
// failed, after a line with the probe link's text (kept by texts) when a
// set-up step failed. For a serial number that names no probe, it lists the
// serial numbers of the probes there are; without a driver library, it says
// to install the driver.
std::string open_failure_text(const std::string& program, const Options& options,
                              const console::ProbeTexts& texts);

// talviro_read --list: one line per probe on out, its name (its serial
// number, or where it is plugged in when its chip has none: ProbeEntry::name)
// and "free", "in use" or "no permission". Returns kOk; kNoProbe, with "no probe found" on err (and
// the driver hint of open_failure_text when the driver library is missing),
// when there is none; kOutputFailed when out cannot be written.
int list_probes(const std::string& program, std::ostream& out, std::ostream& err);

// The whole program for the arguments after the program name: parses them,
// opens the probe, runs (--watch: watch_readings of cli/watch.h, which
// needs standard output to be a terminal), closes the probe when it was
// opened, and returns
// the exit status. Writes to out and err; the probe link's texts are kept
// from the standard streams (console::ProbeTexts) and told, one line each,
// on err.
int talviro_read(const std::string& program, const std::vector<std::string>& args,
                 const SampleSource& source, RunClock& clock,
                 const volatile std::sig_atomic_t& stop, std::ostream& out, std::ostream& err);

// talviro_read --log: reads options.log whole (trend::CsvLog), prints the
// summary of --from..--to (or of the whole log) to out, or the JSON as
// options say, and checks the limits. Lines the log reader skipped are
// noted on err. Returns kOk, kNoProbe when the log cannot be read or has no
// readout in the span, kOutputFailed or kLimitBroken.
int summarize_log(const std::string& program, const Options& options, std::ostream& out, std::ostream& err);

// The end of a run or a log's summary: writes the JSON where options say
// (out, or options.summary_file), then checks options.limits, naming each
// broken one on err. Returns kOk, kOutputFailed when the JSON cannot be
// written, or kLimitBroken.
int finish_summary(const std::string& program, const Options& options, const Summary& summary,
                   std::ostream& out, std::ostream& err);

// main() of both programs: the stop signals, the system clock, source and
// the standard streams around talviro_read.
int main_program(int argc, char** argv, const SampleSource& source = console::read_probe);

}  // namespace cli

#endif
