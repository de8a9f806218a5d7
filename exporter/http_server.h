// The exporter's HTTP side: GET and HEAD of /metrics, of /, a one-line page
// linking to it, and of /-/healthy ("OK"); 404 for other paths and 405 for
// other methods. It only renders what a callback gives; it never touches a
// probe.
//
// One thread serves every connection over non-blocking sockets and poll()
// (WSAPoll on Windows). A connection costs only what its client sent, within
// fixed bounds, and for a bounded time, so that clients that trickle or flood
// their header never keep an honest scrape waiting or swell the process.
// Under --web.config.file the same loop speaks TLS (OpenSSL's non-blocking
// calls say which event they wait for) and asks for basic auth.
#ifndef TALVIRO_EXPORTER_HTTP_SERVER_H
#define TALVIRO_EXPORTER_HTTP_SERVER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace exporter {

// What one client may cost. A connection serves one request and is closed.
namespace http_limits {
// Connections open at once, unless the process may open too few files for
// them (connection_cap). A new one beyond the cap closes one that has been
// answered already, else the oldest unfinished header of the client address
// holding the most connections, if that address holds more than the new
// one's: so that slow clients cannot lock an honest scrape out, and a
// client holding many never pushes out another's request.
constexpr size_t kMaxConnections = 128;
// Files the process keeps open besides its connections: the standard
// streams, the listener, the probes' USB handles and the USB library's
// own, and the one connection taken before it is known whether it stays.
constexpr uint64_t kReservedFiles = 32;
// The fewest connections served, however low the limit of open files; past
// that limit a connection waits in the listener's queue (kBackoffMs).
constexpr size_t kMinConnections = 8;
// Connections open at once from one client address, as a share of the cap:
// a new one beyond it closes that address's own oldest answered or
// unfinished connection, never another's.
constexpr size_t kAddressShare = 8;
// A request's whole header must arrive this long after the connection
// starts; later, it is answered 408 and closed.
constexpr uint64_t kHeaderDeadlineMs = 3000;
// A header (request line included) beyond this size, or with more lines
// than kMaxHeaderLines, is answered 431 and closed. The buffer of a
// connection grows only with the bytes that arrived, up to this bound.
constexpr size_t kMaxHeaderBytes = 16 * 1024;
constexpr size_t kMaxHeaderLines = 100;
// An answer must be taken by the client within this time of its start.
constexpr uint64_t kSendDeadlineMs = 5000;
// After its answer a connection is read and thrown away for this long, or
// up to this many bytes, until the client closes it: closing at once with
// bytes unread would reset the connection and could lose the answer.
constexpr uint64_t kLingerMs = 500;
constexpr size_t kLingerBytes = 64 * 1024;
// After a transient accept or poll failure (out of descriptors, buffers or
// memory) the listener rests this long, and is then tried again.
constexpr uint64_t kBackoffMs = 100;
// The longest wait in poll(): how soon the serving thread sees a stop.
constexpr int kStopCheckMs = 100;
}  // namespace http_limits

// The connections served at once when the process may open file_limit
// files (0: no limit): kMaxConnections, or fewer when file_limit leaves
// room for fewer besides kReservedFiles, but never under kMinConnections.
size_t connection_cap(uint64_t file_limit);
// Connections one client address may hold at once under that cap: at
// least one, far below the cap.
size_t address_cap(size_t connection_cap);

// The answer a connection without TLS or basic auth gets to a whole header
// (any bytes: what a client sent up to the blank line that ends it), with
// metrics rendering /metrics. For the fuzz target; the server answers so.
std::string answer_header(const std::string& header, const std::function<std::string()>& metrics);

struct Guard;  // web_guard.h: TLS, basic auth and headers from the web config file
// The guard for a new connection, asked on the serving thread as each one
// is taken; null for plain HTTP without auth.
using GuardSource = std::function<std::shared_ptr<const Guard>()>;

class MetricsServer {
public:
    using Render = std::function<std::string()>;
    using Failed = std::function<void()>;
    // metrics renders the body of /metrics, one call per request, on the
    // serving thread. listener_failed is called once, on the serving thread,
    // when the listener stops without a stop request (failure() says why).
    MetricsServer(Render metrics, Failed listener_failed);
    // Stops serving, and closes every socket.
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Binds host (an address or a name) and port, 0 taking a free one.
    // Another program listening there already is a failure, never a shared
    // port. An IPv6 address takes IPv4 connections too ([::] every address
    // of both families) where the system has both. Returns the port bound,
    // or -1 with *error saying why.
    int bind(const std::string& host, int port, std::string* error);
    // The connections served at once, set when the server is made from the
    // limit of open files (raised first towards what the cap needs where
    // the system allows); and that limit, 0 when there is none.
    size_t capacity() const;
    uint64_t file_limit() const;
    // Before start: what guards each new connection (builds with the web
    // config only: TALVIRO_WEB_CONFIG). A connection under TLS must finish
    // its handshake and send its header within kHeaderDeadlineMs of coming.
    // Under basic auth a request without good credentials is answered 401
    // with WWW-Authenticate; passwords are checked by a PasswordChecker.
    void guard_with(GuardSource source);
    // Serves on a thread of its own until stop. Needs a successful bind.
    void start();
    // Ends serving within kStopCheckMs and closes every connection.
    void stop();
    // Empty while the listener works, or after a stop; once it failed, why:
    // a fatal error of accept() or poll() on the listening socket. Transient
    // ones (an interrupted call, a connection that went away before it was
    // taken, no descriptor, buffer or memory free) only rest the listener
    // for kBackoffMs. Call after stop().
    std::string failure() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::thread thread_;
};

}  // namespace exporter

#endif
