// Command-line options of talviro_read, and its usage text.
#ifndef TALVIRO_CLI_OPTIONS_H
#define TALVIRO_CLI_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

constexpr uint64_t kDefaultCount = 1;
constexpr uint64_t kUntilStopped = 0;  // --count 0
constexpr uint64_t kDefaultIntervalMs = 1000;
// The run loop paces in whole milliseconds, so a shorter interval would be 0.
constexpr double kMinIntervalS = 0.001;
// A day: keeps the interval far from any overflow in milliseconds.
constexpr double kMaxIntervalS = 86400.0;

struct Options {
    uint64_t count = kDefaultCount;  // readouts to take; kUntilStopped: no limit
    uint64_t interval_ms = kDefaultIntervalMs;  // start of one readout to the next
    bool csv = false;
    bool watch = false;  // the full-screen view instead of lines
    bool list = false;   // list the probes instead of reading one
    bool reconnect = false;  // wait for a lost probe instead of ending the run
    std::string serial;  // read the probe with this serial number; empty: the first free one
    bool help = false;
    bool version = false;
};

struct ParsedOptions {
    Options options;
    std::string error;  // empty when the arguments were valid
};

// Reads the arguments after the program name. Prints nothing; on a usage
// error, error holds a one-line explanation and options are unusable.
ParsedOptions parse_options(const std::vector<std::string>& args);

// The usage text, naming the program as called, ending with a newline.
std::string usage_text(const std::string& program);

// The version line, naming the program as called, ending with a newline.
std::string version_text(const std::string& program);

// The last path component of argv[0] ('/' or '\\' separated) without a
// ".exe" of any case; "talviro_read" when there is none.
std::string program_name(const char* argv0);

}  // namespace cli

#endif
