#include "app/gui_options.h"

#include "trend/csv_log.h"

#include <cctype>

namespace gui_options {

namespace {

// One row per option taking a value: its name and how it is stored.
// Returns a usage error, or empty.
using Setter = std::string (*)(const std::string& value, Options* options);

std::string set_save_image(const std::string& value, Options* o) {
    auto ends_with = [&](const char* tail) {
        const std::string t(tail);
        if (value.size() <= t.size())
            return false;
        std::string end = value.substr(value.size() - t.size());
        for (char& c : end)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return end == t;
    };
    o->svg = ends_with(".svg");
    if (!ends_with(".png") && !o->svg)
        return "--save-image: the picture's name must end in .png or .svg: " + value;
    o->save_image = value;
    return {};
}

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

std::string set_time(const char* name, const std::string& value, std::optional<int64_t>* out) {
    int64_t time_ms = 0;
    if (!trend::parse_iso_time(value.data(), value.data() + value.size(), &time_ms))
        return std::string(name) + ": expected a time as the log writes it, like 2026-12-08T01:33:00.123Z: " + value;
    *out = time_ms;
    return {};
}

std::string set_serial(const std::string& value, Options* o) {
    if (value.empty()) return "--serial needs a value";
    o->serial = value;
    return {};
}

std::string set_from(const std::string& value, Options* o) { return set_time("--from", value, &o->from_ms); }
std::string set_to(const std::string& value, Options* o) { return set_time("--to", value, &o->to_ms); }

struct Row {
    const char* name;
    Setter set;
};
constexpr Row kOptions[] = {
    {"--serial", set_serial},
    {"--save-image", set_save_image},
    {"--size", set_size},
    {"--from", set_from},
    {"--to", set_to},
};

const Row* find(const std::string& name) {
    for (const Row& row : kOptions)
        if (name == row.name)
            return &row;
    return nullptr;
}

}  // namespace

Parsed parse(const std::vector<std::string>& args) {
    Parsed parsed;
    Options& o = parsed.options;
    bool picture_option = false;  // --size, --from or --to given
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const std::string flag = arg.substr(0, arg.find('='));
        if (flag == "--help" || flag == "-h" || flag == "--version") {
            if (flag != arg) {
                parsed.error = flag + " takes no value";
                return parsed;
            }
            (flag == "--version" ? o.version : o.help) = true;
            continue;
        }
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
        const size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const Row* row = find(name);
        if (!row) {
            parsed.error = "unknown option " + name;
            return parsed;
        }
        std::string value;
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            parsed.error = name + " needs a value";
            return parsed;
        }
        parsed.error = row->set(value, &o);
        if (!parsed.error.empty())
            return parsed;
        picture_option = picture_option || (row->set != set_save_image && row->set != set_serial);
    }
    if (picture_option && o.save_image.empty())
        parsed.error = "--size, --from and --to go with --save-image";
    else if (!o.save_image.empty() && o.log.empty())
        parsed.error = "--save-image needs the log to draw";
    else if (o.from_ms && o.to_ms && *o.from_ms >= *o.to_ms)
        parsed.error = "--from must be before --to";
    return parsed;
}

std::string usage_text(const std::string& program) {
    return "usage: " + program + " [--serial SN] [LOG.csv]\n" +
           "       " + program + " --save-image OUT.png|OUT.svg [--size WIDTHxHEIGHT] [--from TIME] [--to TIME] LOG.csv\n"
           "       " + program + " --help | --version\n"
           "Shows the readings of the TALVIRO probe in a window, and logs over time.\n"
           "  --serial SN               connect only to the probe with serial number SN, as\n"
           "                            talviro_read --list shows it, at start and on Connect;\n"
           "                            without it, the probe used last when it is free, else\n"
           "                            the first free one\n"
           "  LOG.csv                   open a log written by talviro_read --csv in a trend\n"
           "                            window, without looking for a probe\n"
           "  --save-image OUT.png|OUT.svg\n"
           "                            write the picture of LOG.csv and exit without a window\n"
           "  --size WIDTHxHEIGHT       the picture's size in pixels (default " +
           std::to_string(kDefaultWidth) + "x" + std::to_string(kDefaultHeight) +
           ")\n"
           "  --from TIME, --to TIME    the span drawn, in UTC as the log writes it,\n"
           "                            e.g. 2026-12-08T01:33:00.000Z (default: the whole log)\n"
           "  -h, --help                show this help and exit\n"
           "  --version                 show the version and exit\n"
           "Like any wxWidgets program it needs a display, even with --save-image: on a\n"
           "server without one, run it under xvfb-run.\n"
           "Exit status with --save-image: 0 written, 1 the log or the picture failed, 2 usage error.\n";
}

std::string version_text(const std::string& program) {
    return program + " (TALVIRO Measurement) " TALVIRO_VERSION "\n";
}

}  // namespace gui_options
