// The program behind talviro_exporter: options, the stop signals, the HTTP
// server and the readout loop, and the exit status.
#ifndef TALVIRO_EXPORTER_PROGRAM_H
#define TALVIRO_EXPORTER_PROGRAM_H

namespace exporter {

namespace exit_status {
constexpr int kStopped = 0;    // ended by Ctrl-C or SIGTERM (or --help, --version)
constexpr int kNoListen = 1;   // the address could not be bound, or its listener failed, or the web config is bad
constexpr int kUsage = 2;
}  // namespace exit_status

// main() of talviro_exporter. Writes the usage text and the version to
// standard output, and one line per event (serving, a probe found, lost,
// back, the listener failed) to standard error. Runs until a stop signal or
// a failure of the listener; every probe's channel is given back before it
// returns.
int exporter_program(int argc, char** argv);

}  // namespace exporter

#endif
