#include "console/command_line.h"

#include <cctype>
#include <charconv>
#include <cmath>

namespace console {

namespace {

constexpr double kMsPerSecond = 1000.0;
const char* const kDefaultProgram = "talviro_read";

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// Shortest text that reads back as seconds: "0.001", "86400".
std::string seconds_text(double seconds) {
    char buf[32];
    const auto result = std::to_chars(buf, buf + sizeof buf, seconds);
    return std::string(buf, result.ptr);
}

}  // namespace

std::string read_option(const std::vector<std::string>& args, size_t* i,
                        OptionKind (*kind_of)(const std::string& name), std::string* name,
                        std::string* value) {
    const std::string& arg = args[*i];
    if (arg == "-h") {
        *name = "--help";
        return {};
    }
    if (!starts_with(arg, "--"))
        return starts_with(arg, "-") ? "unknown option '" + arg + "'"
                                     : "unexpected argument '" + arg + "'";
    const size_t equals = arg.find('=');
    const bool inline_value = equals != std::string::npos;
    *name = arg.substr(0, equals);
    switch (kind_of(*name)) {
    case OptionKind::Unknown: return "unknown option '" + *name + "'";
    case OptionKind::Flag: return inline_value ? *name + " takes no value" : std::string();
    case OptionKind::Valued: break;
    }
    if (inline_value) {
        *value = arg.substr(equals + 1);
    } else if (*i + 1 < args.size()) {
        *value = args[++*i];
    } else {
        return *name + " needs a value";
    }
    return {};
}

std::string parse_interval(const std::string& value, uint64_t* interval_ms) {
    double seconds = 0.0;
    const char* end = value.data() + value.size();
    // from_chars ignores the locale: a point is the separator everywhere.
    const auto result = std::from_chars(value.data(), end, seconds);
    if (value.empty() || result.ec != std::errc() || result.ptr != end || !std::isfinite(seconds) ||
        seconds < kMinIntervalS || seconds > kMaxIntervalS)
        return "--interval: '" + value + "' is not a number of seconds from " + interval_range();
    *interval_ms = static_cast<uint64_t>(std::llround(seconds * kMsPerSecond));
    return {};
}

const std::string& interval_range() {
    static const std::string range = seconds_text(kMinIntervalS) + " to " + seconds_text(kMaxIntervalS);
    return range;
}

std::string version_text(const std::string& program) {
    return program + " (TALVIRO Measurement) " TALVIRO_VERSION "\n";
}

std::string program_name(const char* argv0) {
    const std::string path = argv0 ? argv0 : "";
    // Windows paths may use either separator, and name the program with its
    // extension, which messages leave out as on Linux.
    std::string name = path.substr(path.find_last_of("/\\") + 1);
    const std::string extension = ".exe";
    if (name.size() > extension.size()) {
        std::string tail = name.substr(name.size() - extension.size());
        for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (tail == extension) name.resize(name.size() - extension.size());
    }
    return name.empty() ? kDefaultProgram : name;
}

}  // namespace console
