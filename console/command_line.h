// The command-line words both programs share: how an option is written,
// the readout interval's rules, the program's name and its version line.
#ifndef TALVIRO_CONSOLE_COMMAND_LINE_H
#define TALVIRO_CONSOLE_COMMAND_LINE_H

#include <cstdint>
#include <string>
#include <vector>

namespace console {

constexpr uint64_t kDefaultIntervalMs = 1000;
// The run loops pace in whole milliseconds, so a shorter interval would be 0.
constexpr double kMinIntervalS = 0.001;
// A day: keeps the interval far from any overflow in milliseconds.
constexpr double kMaxIntervalS = 86400.0;

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

// --interval's value, seconds from kMinIntervalS to kMaxIntervalS with
// fractions allowed, into *interval_ms. Returns the one-line usage error,
// or empty (then *interval_ms is set).
std::string parse_interval(const std::string& value, uint64_t* interval_ms);

// "0.001 to 86400": the interval's range as the usage texts give it.
const std::string& interval_range();

// The version line, naming the program as called, ending with a newline.
std::string version_text(const std::string& program);

// The last path component of argv[0] ('/' or '\\' separated) without a
// ".exe" of any case; "talviro_read" when there is none.
std::string program_name(const char* argv0);

}  // namespace console

#endif
