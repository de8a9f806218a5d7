#include "cli/options.h"

#include "trend/civil.h"

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
    for (const char* valued : {"--count", "--interval", "--serial", "--summary", "--limit", "--log",
                               "--from", "--to"})
        if (name == valued) return OptionKind::Valued;
    return OptionKind::Unknown;
}

// --summary's value: "json", or "json=FILE". Returns a usage error, or empty.
std::string set_summary(const std::string& value, Options* o) {
    const std::string json = "json";
    if (value == json) {
        o->summary_json = true;
        return {};
    }
    if (value.compare(0, json.size() + 1, json + "=") == 0 && value.size() > json.size() + 1) {
        o->summary_json = true;
        o->summary_file = value.substr(json.size() + 1);
        return {};
    }
    return "--summary: expected json or json=FILE, not '" + value + "'";
}

// The options that read a probe, which a --log has none to read with.
bool reads_a_probe(const std::string& name) {
    for (const char* option : {"--count", "--interval", "--serial", "--csv", "--watch", "--list", "--reconnect"})
        if (name == option) return true;
    return false;
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
        if (name == "--limit") {
            Limit limit;
            parsed.error = parse_limit(value, &limit);
            if (!parsed.error.empty()) return parsed;
            o.limits.push_back(limit);
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
        if (name == "--summary") parsed.error = set_summary(value, &o);
        if (name == "--from" || name == "--to")
            parsed.error = trend::read_time_option(name, value, name == "--from" ? &o.from_ms : &o.to_ms);
        if (name == "--log") {
            if (value.empty()) parsed.error = "--log needs the name of a log written by --csv";
            o.log = value;
        }
        if (!parsed.error.empty()) return parsed;
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
    if (!o.log.empty()) {
        // A recording is summed up: there is no probe to read.
        if (o.csv) given.push_back("--csv");
        if (o.watch) given.push_back("--watch");
        if (o.list) given.push_back("--list");
        if (o.reconnect) given.push_back("--reconnect");
        for (const std::string& option : given) {
            if (reads_a_probe(option)) {
                parsed.error = "--log cannot be combined with " + option;
                return parsed;
            }
        }
        if (o.from_ms && o.to_ms && *o.from_ms >= *o.to_ms) {
            parsed.error = "--from must be before --to";
            return parsed;
        }
    } else if (o.from_ms || o.to_ms) {
        parsed.error = "--from and --to go with --log";
        return parsed;
    }
    if (o.summary_json && o.summary_file.empty() && (o.csv || o.watch)) {
        // Standard output carries the JSON alone.
        parsed.error = std::string("--summary json writes standard output, as ") + (o.csv ? "--csv" : "--watch") +
                       " does: give it a file, --summary json=FILE";
        return parsed;
    }
    if (o.list) {
        // The list is the whole output: nothing is read, shown or selected.
        if (o.csv) given.push_back("--csv");
        if (o.watch) given.push_back("--watch");
        if (o.reconnect) given.push_back("--reconnect");
        if (!o.limits.empty()) given.push_back("--limit");
        if (!given.empty()) {
            parsed.error = "--list cannot be combined with " + given.front();
            return parsed;
        }
    }
    const bool summed_up = o.summary_json || !o.limits.empty();
    if (o.watch && (o.csv || count_given || summed_up)) {
        // The view runs until q and draws on the screen: none of these fits it.
        parsed.error = std::string("--watch cannot be combined with ") +
                       (o.csv ? "--csv" : count_given ? "--count" : o.summary_json ? "--summary" : "--limit");
        return parsed;
    }
    return parsed;
}

std::string usage_text(const std::string& program) {
    const std::string indent(program.size(), ' ');
    return "Usage: " + program + " [--serial SN] [--count N] [--interval SECONDS] [--csv]\n"
           "       " + indent + " [--reconnect] [--summary json[=FILE]] [--limit BOUND]...\n"
           "       " + program + " --log LOG.csv [--from TIME] [--to TIME]\n"
           "       " + indent + " [--summary json[=FILE]] [--limit BOUND]...\n"
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
           "  --summary json[=FILE]\n"
           "                       write the summary as JSON to standard output (then\n"
           "                       nothing else) or to FILE: per reading min, mean, max,\n"
           "                       time-weighted mean, whole readouts and gaps; the\n"
           "                       charge, energy, mean power and the time covered\n"
           "  --limit BOUND        check a figure of the summary at the end, such as\n"
           "                       \"I_supply_mA mean<=12\" or \"charge<=0.5mAh\"; may be\n"
           "                       given more than once (see the man page for the names)\n"
           "  --log LOG.csv        the summary, JSON and limits of a log written by\n"
           "                       --csv, instead of reading the probe\n"
           "  --from TIME, --to TIME\n"
           "                       with --log, the span summed up, in UTC as the log\n"
           "                       writes it (2026-12-08T01:33:00.000Z); --to excluded\n"
           "  -h, --help           show this text and exit\n"
           "  --version            show the version and exit\n"
           "\n"
           "Exit status: 0 ok, 1 the probe cannot be opened (--list: no probe found;\n"
           "--log: the log cannot be read or has no readout in the span), 2 usage error,\n"
           "3 a readout was not whole (never with --reconnect), 4 the output cannot be\n"
           "written, 5 a --limit was broken.\n";
}

}  // namespace cli
