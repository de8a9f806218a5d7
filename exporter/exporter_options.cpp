#include "exporter/exporter_options.h"

#include <algorithm>
#include <charconv>

namespace exporter {

namespace {

console::OptionKind option_kind(const std::string& name) {
    if (name == "--help" || name == "--version") return console::OptionKind::Flag;
    if (name == "--listen" || name == "--serial" || name == "--interval" || name == "--web.config.file")
        return console::OptionKind::Valued;
    return console::OptionKind::Unknown;
}

// "ADDR:PORT" or "[IPV6]:PORT" into host and port; false, with error set,
// when it is neither.
bool parse_listen(const std::string& text, Options* o, std::string* error) {
    const size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? "" : text.substr(0, colon);
    const std::string port = colon == std::string::npos ? "" : text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    } else if (host.find_first_of(":[]") != std::string::npos) {
        *error = "--listen: '" + text + "': put an IPv6 address in brackets, such as [::1]:" +
                 std::to_string(kDefaultPort);
        return false;
    }
    unsigned value = 0;
    const char* end = port.data() + port.size();
    const auto parsed = std::from_chars(port.data(), end, value);
    if (host.empty() || port.empty() || parsed.ec != std::errc() || parsed.ptr != end ||
        value > static_cast<unsigned>(kMaxPort)) {
        *error = "--listen: '" + text + "' is not ADDRESS:PORT with a port from 0 to " +
                 std::to_string(kMaxPort) + ", such as 0.0.0.0:" + std::to_string(kDefaultPort);
        return false;
    }
    o->host = host;
    o->port = static_cast<int>(value);
    return true;
}

}  // namespace

ParsedOptions parse_options(const std::vector<std::string>& args) {
    ParsedOptions parsed;
    Options& o = parsed.options;
    std::vector<std::string> given;  // the options read so far
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name;
        std::string value;
        parsed.error = console::read_option(args, &i, option_kind, &name, &value);
        if (!parsed.error.empty()) return parsed;
        if (name == "--help" || name == "--version") {
            (name == "--help" ? o.help : o.version) = true;
            return parsed;
        }
        // --serial names one probe each time; another option given twice
        // would silently take its last value.
        if (name != "--serial" && std::find(given.begin(), given.end(), name) != given.end()) {
            parsed.error = name + " may be given only once";
            return parsed;
        }
        given.push_back(name);
        if (name == "--listen" && !parse_listen(value, &o, &parsed.error)) return parsed;
        if (name == "--serial") {
            if (value.empty()) {
                parsed.error = "--serial needs a serial number, such as TV0001B (see talviro_read --list)";
                return parsed;
            }
            if (std::find(o.serials.begin(), o.serials.end(), value) == o.serials.end())
                o.serials.push_back(value);
        }
        if (name == "--web.config.file") {
            if (value.empty()) {
                parsed.error = "--web.config.file needs a file name";
                return parsed;
            }
            o.web_config_file = value;
        }
        if (name == "--interval") {
            // The same option as talviro_read's, read by the same rules.
            parsed.error = console::parse_interval(value, &o.interval_ms);
            if (!parsed.error.empty()) return parsed;
        }
    }
    return parsed;
}

std::string usage_text(const std::string& program) {
    const std::string default_listen = listen_text(kDefaultHost, kDefaultPort);
    return "Usage: " + program + " [--listen ADDRESS:PORT] [--serial SN]... [--interval SECONDS]\n"
           "       " + std::string(program.size(), ' ') + " [--web.config.file FILE]\n"
           "       " + program + " --help | --version\n"
           "Reads every TALVIRO probe on this computer once per interval and serves\n"
           "the latest readings to Prometheus at http://ADDRESS:PORT/metrics.\n"
           "\n"
           "  --listen ADDRESS:PORT  where to serve (default " + default_listen + ", this\n"
           "                         computer only); 0.0.0.0:PORT for every IPv4 address,\n"
           "                         [::]:PORT for every address, IPv6 and IPv4; port 0\n"
           "                         takes a free port, named on standard error\n"
           "  --serial SN            read the probe with serial number SN, as\n"
           "                         talviro_read --list shows it; give it once per\n"
           "                         probe. Without it, every probe, including those\n"
           "                         plugged in later\n"
           "  --interval SECONDS     from the start of one round of readouts to the\n"
           "                         next, as talviro_read's (default 1)\n"
           "  --web.config.file FILE TLS, basic auth and headers, in the file format of\n"
           "                         Prometheus' own exporters; read again when it or a\n"
           "                         certificate changes\n"
           "  -h, --help             show this text and exit\n"
           "  --version              show the version and exit\n"
           "\n"
           "A probe that goes away or stops answering is given back and looked for\n"
           "again every half second; meanwhile talviro_probe_up is 0 and it has no\n"
           "readings. Ctrl-C or SIGTERM ends the program.\n"
           "\n"
           "Exit status: 0 ended by Ctrl-C or SIGTERM, 1 the address cannot be\n"
           "served or stopped listening, or the web config file is not usable,\n"
           "2 usage error.\n";
}

std::string listen_text(const std::string& host, int port) {
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace exporter
