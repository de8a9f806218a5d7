// Command-line options of talviro_read, and its usage text.
#ifndef TALVIRO_CLI_OPTIONS_H
#define TALVIRO_CLI_OPTIONS_H

#include "cli/summary.h"
#include "console/command_line.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cli {

constexpr uint64_t kDefaultCount = 1;
constexpr uint64_t kUntilStopped = 0;  // --count 0

struct Options {
    uint64_t count = kDefaultCount;  // readouts to take; kUntilStopped: no limit
    uint64_t interval_ms = console::kDefaultIntervalMs;  // start of one readout to the next
    bool csv = false;
    bool watch = false;  // the full-screen view instead of lines
    bool list = false;   // list the probes instead of reading one
    bool reconnect = false;  // wait for a lost probe instead of ending the run
    std::string serial;  // read the probe with this serial number; empty: the first free one
    bool help = false;
    bool version = false;
    // --summary json[=FILE]: the summary as JSON, to standard output (then
    // nothing else goes there) or to FILE.
    bool summary_json = false;
    std::string summary_file;  // empty: standard output
    std::vector<Limit> limits;  // --limit, each checked at the end
    std::string log;  // --log: the summary of this recording instead of a run
    std::optional<int64_t> from_ms;  // --from, --to with --log: UTC ms
    std::optional<int64_t> to_ms;
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

}  // namespace cli

#endif
