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

// How a program's option is written: alone, or with a value.
enum class OptionKind { Unknown, Flag, Valued };

// The command-line words of the programs: reads the option at args[*i]
// into *name and, for a Valued one, *value ("--name=value", or the next
// argument, which *i then moves past). "-h" comes back as "--help".
// kind_of tells the program's options apart. Returns a one-line usage error
// (an argument that is not an option, an unknown option, a flag given a
// value, a value missing), or empty. Needs *i < args.size().
std::string read_option(const std::vector<std::string>& args, size_t* i,
                        OptionKind (*kind_of)(const std::string& name), std::string* name,
                        std::string* value);

// The usage text, naming the program as called, ending with a newline.
std::string usage_text(const std::string& program);

// The version line, naming the program as called, ending with a newline.
std::string version_text(const std::string& program);

// The last path component of argv[0] ('/' or '\\' separated) without a
// ".exe" of any case; "talviro_read" when there is none.
std::string program_name(const char* argv0);

}  // namespace cli

#endif
