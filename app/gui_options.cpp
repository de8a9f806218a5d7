#include "app/gui_options.h"

#include "console/command_line.h"
#include "trend/svg.h"

#include "trend/civil.h"

#include <algorithm>

namespace gui_options {

namespace {

using console::OptionKind;

// A whole decimal number of digits only, within [kMinSide, kMaxSide].
bool side(const std::string& text, int* out) {
    if (text.empty() || text.size() > 5)
        return false;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    *out = v;
    return v >= kMinSide && v <= kMaxSide;
}

std::string set_size(const std::string& value, Options* o) {
    const size_t x = value.find_first_of("xX");
    if (x == std::string::npos || !side(value.substr(0, x), &o->width) || !side(value.substr(x + 1), &o->height))
        return "--size: expected WIDTHxHEIGHT, each " + std::to_string(kMinSide) + " to " +
               std::to_string(kMaxSide) + " pixels: " + value;
    return {};
}

// Stores the value of option name, a Valued one. Returns a usage error, or empty.
std::string set(const std::string& name, const std::string& value, Options* o) {
    if (name == "--serial") {
        if (value.empty()) return "--serial needs a value";
        o->serial = value;
        return {};
    }
    if (name == "--save-image") {
        if (trend::image_format(value) == trend::ImageFormat::None)
            return "--save-image: the picture's name must end in .png or .svg: " + value;
        o->save_image = value;
        return {};
    }
    if (name == "--size") return set_size(value, o);
    if (name == "--rate") {
        if (!console::parse_capture_rate(value, &o->rate)) return "--rate: expected 1s, 0.1s or fast: " + value;
        return {};
    }
    return trend::read_time_option(name, value, name == "--from" ? &o->from_ms : &o->to_ms);
}

OptionKind option_kind(const std::string& name) {
    for (const char* flag : {"--help", "--version", "--dark", "--trend"})
        if (name == flag) return OptionKind::Flag;
    for (const char* valued : {"--serial", "--save-image", "--size", "--from", "--to", "--rate"})
        if (name == valued) return OptionKind::Valued;
    return OptionKind::Unknown;
}

}  // namespace

Parsed parse(const std::vector<std::string>& args) {
    Parsed parsed;
    Options& o = parsed.options;
    std::vector<std::string> given;  // options with a value, in order
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        // Any other word is the log ("-" and "" name none).
        if (arg.size() < 2 || arg[0] != '-') {
            if (!o.log.empty()) {
                parsed.error = "one log at a time: " + o.log + " and " + arg;
                return parsed;
            }
            if (arg.empty() || arg == "-") {
                parsed.error = "expected the name of a log: '" + arg + "'";
                return parsed;
            }
            o.log = arg;
            continue;
        }
        std::string name;
        std::string value;
        parsed.error = console::read_option(args, &i, option_kind, &name, &value);
        if (!parsed.error.empty()) return parsed;
        if (name == "--help" || name == "--version") {
            (name == "--help" ? o.help : o.version) = true;
            return parsed;
        }
        if (name == "--dark" || name == "--trend") {
            bool& given_flag = name == "--dark" ? o.dark : o.trend;
            if (given_flag) {
                parsed.error = name + " may be given only once";
                return parsed;
            }
            given_flag = true;
            continue;
        }
        // The last of two values would silently win: say so instead.
        if (std::find(given.begin(), given.end(), name) != given.end()) {
            parsed.error = name + " may be given only once";
            return parsed;
        }
        given.push_back(name);
        parsed.error = set(name, value, &o);
        if (!parsed.error.empty()) return parsed;
    }
    const bool picture_option = std::any_of(given.begin(), given.end(), [](const std::string& name) {
        return name == "--size" || name == "--from" || name == "--to";
    });
    if ((picture_option || o.dark) && o.save_image.empty())
        parsed.error = "--size, --from, --to and --dark go with --save-image";
    else if (!o.save_image.empty() && o.log.empty())
        parsed.error = "--save-image needs the log to draw";
    else if (o.from_ms && o.to_ms && *o.from_ms >= *o.to_ms)
        parsed.error = "--from must be before --to";
    else if (!o.trend && std::find(given.begin(), given.end(), "--rate") != given.end())
        parsed.error = "--rate goes with --trend";
    else if (o.trend && !o.log.empty())
        parsed.error = "--trend shows the probe's live readouts, not a log";
    return parsed;
}

std::string usage_text(const std::string& program) {
    return "usage: " + program + " [--serial SN] [LOG.csv]\n" +
           "       " + program + " [--serial SN] --trend [--rate 1s|0.1s|fast]\n" +
           "       " + program + " --save-image OUT.png|OUT.svg [--size WIDTHxHEIGHT] [--from TIME] [--to TIME] [--dark] LOG.csv\n"
           "       " + program + " --help | --version\n"
           "Shows the readings of the TALVIRO probe in a window, and logs over time.\n"
           "  --serial SN               connect only to the probe with serial number SN, as\n"
           "                            talviro_read --list shows it, at start and on Connect;\n"
           "                            without it, the probe used last when it is free, else\n"
           "                            the first free one\n"
           "  --trend                   open the trend window at start too, live\n"
           "  --rate 1s|0.1s|fast       with --trend: its live readouts once a second (as\n"
           "                            the window refreshes), every 0.1 s, or as fast as\n"
           "                            the probe gives them (about 32 a second), taken on\n"
           "                            a thread of their own (default 1s)\n"
           "  LOG.csv                   open a log written by talviro_read --csv in a trend\n"
           "                            window, without looking for a probe\n"
           "  --save-image OUT.png|OUT.svg\n"
           "                            write the picture of LOG.csv and exit without a window\n"
           "  --size WIDTHxHEIGHT       the picture's size in pixels (default " +
           std::to_string(kDefaultWidth) + "x" + std::to_string(kDefaultHeight) +
           ")\n"
           "  --from TIME, --to TIME    the span drawn (default: the whole log), in ISO 8601:\n"
           "                            UTC as the log writes it (2026-12-08T01:33:00.000Z),\n"
           "                            with an offset (2026-12-08T02:33+01:00), or without a\n"
           "                            zone in local time, as the picture's axis shows it\n"
           "  --dark                    the picture in dark colours (the window follows the\n"
           "                            desktop's dark or light appearance by itself)\n"
           "  -h, --help                show this help and exit\n"
           "  --version                 show the version and exit\n"
           "Like any wxWidgets program it needs a display, even with --save-image: on a\n"
           "server without one, run it under xvfb-run.\n"
           "Exit status with --save-image: 0 written, 1 the log or the picture failed, 2 usage error.\n";
}

}  // namespace gui_options
