#include "exporter/program.h"

#include "console/clock.h"
#include "console/command_line.h"
#include "exporter/exporter_options.h"
#include "exporter/http_server.h"
#include "exporter/metrics.h"
#include "exporter/readout_loop.h"
#ifdef TALVIRO_WEB_CONFIG
#include "exporter/web_guard.h"
#endif

#include <iostream>
#ifndef _WIN32
#include <csignal>
#endif

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
#ifndef _WIN32
    // OpenSSL writes to a TLS client's socket with write(2), which raises
    // SIGPIPE once the client has gone: a client that hangs up must cost its
    // connection, never the exporter. Plain sends say MSG_NOSIGNAL already.
    if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR)
        std::cerr << program << ": cannot ignore SIGPIPE; a TLS client that hangs up may end the program\n";
#endif

    // The web config first: a file that cannot be used ends the program
    // before it takes any probe.
    bool tls = false;
#ifdef TALVIRO_WEB_CONFIG
    WebConfigWatcher web_config(options.web_config_file, std::cerr, program);
    if (!options.web_config_file.empty()) {
        const std::string error = web_config.load();
        if (!error.empty()) {
            std::cerr << program << ": --web.config.file " << options.web_config_file << ": " << error << "\n"
                      << std::flush;
            return exit_status::kNoListen;
        }
        tls = web_config.tls();
    }
#else
    if (!options.web_config_file.empty()) {
        std::cerr << program << ": --web.config.file: this build has no TLS and no basic auth\n" << std::flush;
        return exit_status::kNoListen;
    }
#endif

    console::SystemClock clock;
    ReportBoard board;
    ReadoutLoop loop(options.serials, options.interval_ms, clock, board, std::cerr, program);
    // A listener that fails ends the program as a stop signal would, so
    // that every probe is given back and a service manager restarts it.
    MetricsServer server([&board] { return render_metrics(board.reports(), TALVIRO_VERSION); },
                         [] { console::request_stop(); });
    std::string error;
    const int port = server.bind(options.host, options.port, &error);
    if (port < 0) {
        std::cerr << program << ": cannot listen on " << listen_text(options.host, options.port)
                  << ": " << error << "\n" << std::flush;
        return exit_status::kNoListen;
    }
#ifdef TALVIRO_WEB_CONFIG
    // Read on the serving thread alone from here on.
    if (!options.web_config_file.empty()) server.guard_with([&web_config] { return web_config.current(); });
#endif
    server.start();
    // Said before the serving line, which tells a watcher that start-up is over.
    if (server.capacity() < http_limits::kMaxConnections)
        std::cerr << program << ": serving at most " << server.capacity() << " connections at once, not "
                  << http_limits::kMaxConnections << ": this process may open only " << server.file_limit()
                  << " files (ulimit -n)\n";
    std::cerr << program << ": serving " << (tls ? "https" : "http") << "://" << listen_text(options.host, port)
              << "/metrics\n"
              << std::flush;

    loop.run(console::stop_flag());
    server.stop();
    const std::string failure = server.failure();
    if (!failure.empty()) {
        std::cerr << program << ": stopped listening on " << listen_text(options.host, port) << ": "
                  << failure << "\n" << std::flush;
        return exit_status::kNoListen;
    }
    return exit_status::kStopped;
}

}  // namespace exporter
