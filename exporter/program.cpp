#include "exporter/program.h"

#include "console/clock.h"
#include "console/command_line.h"
#include "exporter/exporter_options.h"
#include "exporter/http_server.h"
#include "exporter/metrics.h"
#include "exporter/readout_loop.h"

#include <cstdlib>
#include <iostream>

namespace exporter {

int exporter_program(int argc, char** argv) {
    const std::string program = console::program_name(argc > 0 ? argv[0] : nullptr);
    const ParsedOptions parsed =
        parse_options(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    if (!parsed.error.empty()) {
        std::cerr << program << ": " << parsed.error << "\nTry '" << program << " --help'.\n"
                  << std::flush;
        return exit_status::kUsage;
    }
    const Options& options = parsed.options;
    if (options.help || options.version) {
        std::cout << (options.help ? usage_text(program) : console::version_text(program)) << std::flush;
        return exit_status::kStopped;
    }
    if (!console::install_stop_signals())
        std::cerr << program << ": cannot catch Ctrl-C; it will end the program at once\n";

    console::SystemClock clock;
    ReportBoard board;
    ReadoutLoop loop(options.serials, options.interval_ms, clock, board, std::cerr, program);
    MetricsServer server([&board] { return render_metrics(board.reports(), TALVIRO_VERSION); });
    std::string error;
    const int port = server.bind(options.host, options.port, &error);
    if (port < 0) {
        std::cerr << program << ": cannot listen on " << listen_text(options.host, options.port)
                  << ": " << error << "\n" << std::flush;
        return exit_status::kNoListen;
    }
    server.start();
    std::cerr << program << ": serving http://" << listen_text(options.host, port) << "/metrics\n"
              << std::flush;

    loop.run(console::stop_flag());
    if (!server.stop()) {
        // Every channel is given back; only a connection thread is left,
        // waiting out a client that sends nothing.
        std::cerr << std::flush;
        std::_Exit(exit_status::kStopped);
    }
    return exit_status::kStopped;
}

}  // namespace exporter
