#include "cli/options.h"

#include <algorithm>
#include <charconv>

namespace cli {

namespace {

using console::OptionKind;

// The whole text as a non-negative decimal integer; no sign, no blanks.
bool parse_count(const std::string& text, uint64_t* count) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, *count);
    return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

OptionKind option_kind(const std::string& name) {
    for (const char* flag : {"--help", "--version", "--csv", "--watch", "--list", "--reconnect"})
        if (name == flag) return OptionKind::Flag;
    for (const char* valued : {"--count", "--interval", "--serial"})
        if (name == valued) return OptionKind::Valued;
    return OptionKind::Unknown;
}

}  // namespace

ParsedOptions parse_options(const std::vector<std::string>& args) {
    ParsedOptions parsed;
    Options& o = parsed.options;
    std::vector<std::string> given;  // options with a value, in order
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name;
        std::string value;
        parsed.error = console::read_option(args, &i, option_kind, &name, &value);
        if (!parsed.error.empty()) return parsed;
        if (name == "--help" || name == "--version") {
            (name == "--help" ? o.help : o.version) = true;
            return parsed;
        }
        if (option_kind(name) == OptionKind::Flag) {
            (name == "--csv"     ? o.csv
             : name == "--watch" ? o.watch
             : name == "--list"  ? o.list
                                 : o.reconnect) = true;
            continue;
        }
        // The last of two values would silently win: say so instead.
        if (std::find(given.begin(), given.end(), name) != given.end()) {
            parsed.error = name + " may be given only once";
            return parsed;
        }
        given.push_back(name);
        if (name == "--serial" && value.empty()) {
            parsed.error = "--serial needs a serial number, such as TV0001B (see --list)";
            return parsed;
        }
        if (name == "--serial") o.serial = value;
        if (name == "--count" && !parse_count(value, &o.count)) {
            parsed.error = "--count: '" + value +
                           "' is not a whole number of readouts (0 means until interrupted)";
            return parsed;
        }
        if (name == "--interval") {
            parsed.error = console::parse_interval(value, &o.interval_ms);
            if (!parsed.error.empty()) return parsed;
        }
    }
    const bool count_given = std::find(given.begin(), given.end(), "--count") != given.end();
    if (o.list) {
        // The list is the whole output: nothing is read, shown or selected.
        if (o.csv) given.push_back("--csv");
        if (o.watch) given.push_back("--watch");
        if (o.reconnect) given.push_back("--reconnect");
        if (!given.empty()) {
            parsed.error = "--list cannot be combined with " + given.front();
            return parsed;
        }
    }
    if (o.watch && (o.csv || count_given)) {
        // The view runs until q and draws on the screen: neither fits it.
        parsed.error = std::string("--watch cannot be combined with ") + (o.csv ? "--csv" : "--count");
        return parsed;
    }
    return parsed;
}

std::string usage_text(const std::string& program) {
    return "Usage: " + program + " [--serial SN] [--count N] [--interval SECONDS] [--csv]\n"
           "       " + std::string(program.size(), ' ') + " [--reconnect]\n"
           "       " + program + " [--serial SN] --watch [--interval SECONDS] [--reconnect]\n"
           "       " + program + " --list\n"
           "       " + program + " --help | --version\n"
           "Reads the four converter channels of the TALVIRO probe and prints the\n"
           "readings as the measurement window shows them.\n"
           "\n"
           "  --list               print one line per probe, its serial number and\n"
           "                       \"free\", \"in use\" or \"no permission\", and exit;\n"
           "                       a probe without one is named by its USB port\n"
           "                       (usb:BUS-PORT.PORT), ? when that is unknown too\n"
           "  --serial SN          read the probe with serial number SN, or at the\n"
           "                       port, as --list shows it; without it, the first\n"
           "                       free probe\n"
           "  --count N            take N readouts; 0 means until interrupted (default 1)\n"
           "  --interval SECONDS   from the start of one readout to the start of the\n"
           "                       next, " + console::interval_range() + ", fractions allowed (default 1)\n"
           "  --csv                a header line, then one CSV line per readout\n"
           "  --watch              a full-screen view, redrawn after every readout: the\n"
           "                       latest value, min, mean and max, and a trend of each\n"
           "                       reading; r resets them, q or Ctrl-C quits\n"
           "  --reconnect          ride out a lost probe: after a readout that was not\n"
           "                       whole, wait for the same probe to come back and go\n"
           "                       on; --count then counts whole readouts\n"
           "  -h, --help           show this text and exit\n"
           "  --version            show the version and exit\n"
           "\n"
           "Exit status: 0 ok, 1 the probe cannot be opened (--list: no probe found),\n"
           "2 usage error, 3 a readout was not whole (never with --reconnect), 4 the\n"
           "output cannot be written.\n";
}

}  // namespace cli
