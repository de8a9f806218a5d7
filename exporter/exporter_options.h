// Command-line options of talviro_exporter, and its usage text.
#ifndef TALVIRO_EXPORTER_EXPORTER_OPTIONS_H
#define TALVIRO_EXPORTER_EXPORTER_OPTIONS_H

#include "console/command_line.h"

#include <cstdint>
#include <string>
#include <vector>

namespace exporter {

// Loopback only unless told otherwise: the readings are the lab's business.
constexpr const char* kDefaultHost = "127.0.0.1";
// The exporter's own port. Prometheus' list of default port allocations has
// given out every port from 9100 to 9999 and goes on above; this one is on
// neither, in no services list, and below the ranges Linux and Windows take
// outgoing ports from.
constexpr int kDefaultPort = 19265;
constexpr int kMaxPort = 65535;

struct Options {
    std::string host = kDefaultHost;  // an address, or a name that resolves to one
    int port = kDefaultPort;          // 0: any free port, named in the start-up line
    // Channel serial numbers to read (or the ports of probes without one),
    // as talviro_read --list shows them; empty: every probe on the host, and
    // those plugged in later.
    std::vector<std::string> serials;
    uint64_t interval_ms = console::kDefaultIntervalMs;  // start of one round of readouts to the next
    std::string web_config_file;  // --web.config.file; empty: plain HTTP, no auth
    bool help = false;
    bool version = false;
};

struct ParsedOptions {
    Options options;
    std::string error;  // empty when the arguments were valid
};

// Reads the arguments after the program name. Prints nothing; on a usage
// error, error holds a one-line explanation and options are unusable.
// --interval follows talviro_read's rules and words.
ParsedOptions parse_options(const std::vector<std::string>& args);

// The usage text, naming the program as called, ending with a newline.
std::string usage_text(const std::string& program);

// "ADDR:PORT", with an IPv6 address in brackets: how --listen takes it.
std::string listen_text(const std::string& host, int port);

}  // namespace exporter

#endif
