// The exporter's HTTP side, on cpp-httplib: GET and HEAD of /metrics and of
// /, a one-line page linking to it; 404 for other paths and 405 for other
// methods. It only renders what a callback gives; it never touches a probe.
#ifndef TALVIRO_EXPORTER_HTTP_SERVER_H
#define TALVIRO_EXPORTER_HTTP_SERVER_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace exporter {

// What one client may cost. A connection serves one request and is closed,
// so no idle keep-alive connection holds a thread between scrapes.
namespace http_limits {
// Connection threads at most; more connections wait for one. Each
// connection that sends nothing holds its thread for kFirstRequestWaitS.
constexpr size_t kMaxConnections = 64;
// How long a new connection may take to start its request (cpp-httplib
// counts this in whole seconds).
constexpr long kFirstRequestWaitS = 1;
// How long any one receive or send may wait.
constexpr long kSocketTimeoutUs = 1000000;
// A request's line and each header line are limited by cpp-httplib itself
// (8 KiB, 414 and 400); a body is never read, and refused beyond this.
constexpr size_t kMaxBodyBytes = 8192;
// How long stop() waits for connections in progress before it gives up.
constexpr int kStopWaitMs = 300;
}  // namespace http_limits

class MetricsServer {
public:
    using Render = std::function<std::string()>;
    // metrics renders the body of /metrics; it is called from connection
    // threads, one call per request, and must be thread-safe.
    explicit MetricsServer(Render metrics);
    // Joins the serving thread, waiting for every connection to end.
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Binds host (an address or a name) and port, 0 taking a free one.
    // Another program listening there already is a failure, never a shared
    // port. Returns the port bound, or -1 with *error saying why.
    int bind(const std::string& host, int port, std::string* error);
    // Serves on a thread of its own until stop. Needs a successful bind.
    void start();
    // Closes the listening socket and waits up to kStopWaitMs for the
    // connections in progress. Returns false when some are still open (a
    // client that sends nothing holds its connection up to
    // kFirstRequestWaitS): their threads still use this object, so a
    // program in a hurry to end should then end without destroying it.
    bool stop();

private:
    bool stop_within(std::chrono::milliseconds wait);

    std::unique_ptr<httplib::Server> server_;
    std::thread listener_;
    struct Ended;
    std::shared_ptr<Ended> ended_;
    bool stop_sent_ = false;
};

}  // namespace exporter

#endif
