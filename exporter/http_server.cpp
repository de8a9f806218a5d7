#include "exporter/http_server.h"

#include "exporter/metrics.h"

#ifdef TALVIRO_WEB_CONFIG
#include "exporter/password_check.h"
#include "exporter/web_guard.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#endif

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <ctime>
#include <mutex>
#include <vector>

namespace exporter {

namespace {

using namespace http_limits;

// ---- The few socket calls that differ between POSIX and Winsock.
#ifdef _WIN32
using Socket = SOCKET;
using PollEntry = WSAPOLLFD;
constexpr Socket kNoSocket = INVALID_SOCKET;
constexpr int kSendFlags = 0;
constexpr int kShutdownSend = SD_SEND;

int last_error() { return WSAGetLastError(); }
void close_socket(Socket s) { closesocket(s); }
bool make_nonblocking(Socket s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}
int poll_sockets(PollEntry* entries, size_t count, int timeout_ms) {
    return WSAPoll(entries, static_cast<ULONG>(count), timeout_ms);
}
long receive(Socket s, char* buffer, size_t size) {
    return recv(s, buffer, static_cast<int>(size), 0);
}
long send_some(Socket s, const char* data, size_t size) {
    return send(s, data, static_cast<int>(size), kSendFlags);
}
bool would_block(int error) { return error == WSAEWOULDBLOCK || error == WSAEINTR; }
std::string error_text(int error) {
    char text[256] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    std::string said(text, length);
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == '.'))
        said.pop_back();
    return said.empty() ? "error " + std::to_string(error) : said;
}

// Winsock is started for each server and stopped with it; the calls nest.
struct SocketLibrary {
    SocketLibrary() {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~SocketLibrary() {
        if (started) WSACleanup();
    }
    bool started = false;
};
#else
using Socket = int;
using PollEntry = pollfd;
constexpr Socket kNoSocket = -1;
constexpr int kSendFlags = MSG_NOSIGNAL;  // a client gone is an error code, not SIGPIPE
constexpr int kShutdownSend = SHUT_WR;

int last_error() { return errno; }
void close_socket(Socket s) { close(s); }
bool make_nonblocking(Socket s) {
    const int flags = fcntl(s, F_GETFL);
    return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}
int poll_sockets(PollEntry* entries, size_t count, int timeout_ms) {
    return poll(entries, static_cast<nfds_t>(count), timeout_ms);
}
long receive(Socket s, char* buffer, size_t size) { return recv(s, buffer, size, 0); }
long send_some(Socket s, const char* data, size_t size) { return send(s, data, size, kSendFlags); }
bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }
std::string error_text(int error) { return std::strerror(error); }

struct SocketLibrary {
    bool started = true;
};
#endif

// What a failed accept() means for the listener.
enum class AcceptOutcome {
    Empty,    // no connection waiting
    Skip,     // a waiting connection failed or the call was interrupted: try again
    Rest,     // out of descriptors, buffers or memory: rest for kBackoffMs
    Fatal,    // the listening socket itself is broken
};

AcceptOutcome accept_outcome(int error) {
#ifdef _WIN32
    switch (error) {
    case WSAEWOULDBLOCK: return AcceptOutcome::Empty;
    case WSAEINTR:
    case WSAECONNRESET:
    case WSAECONNABORTED: return AcceptOutcome::Skip;
    case WSAEMFILE:
    case WSAENOBUFS: return AcceptOutcome::Rest;
    default: return AcceptOutcome::Fatal;  // WSAENETDOWN, WSAEINVAL, WSAENOTSOCK, ...
    }
#else
    switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return AcceptOutcome::Empty;
    // accept(2): Linux passes the network errors of the waiting connection
    // on to accept(); they concern that connection only.
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case ETIMEDOUT: return AcceptOutcome::Skip;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM: return AcceptOutcome::Rest;
    default: return AcceptOutcome::Fatal;  // EBADF, EINVAL, ENOTSOCK, EFAULT, ...
    }
#endif
}

// A failed poll(): interrupted (go on), short of memory (rest), or broken.
AcceptOutcome poll_outcome(int error) {
#ifdef _WIN32
    return error == WSAENOBUFS ? AcceptOutcome::Rest : AcceptOutcome::Fatal;
#else
    if (error == EINTR) return AcceptOutcome::Skip;
    return error == ENOMEM ? AcceptOutcome::Rest : AcceptOutcome::Fatal;
#endif
}

// ---- HTTP: just enough of RFC 9112 for a scrape.
constexpr const char* kAllowedMethods = "GET, HEAD";
constexpr const char* kTextType = "text/plain; charset=utf-8";
constexpr const char* kPageType = "text/html; charset=utf-8";
constexpr const char* kIndexPage =
    "<!DOCTYPE html><html><head><title>TALVIRO exporter</title></head>"
    "<body><a href=\"/metrics\">Metrics</a></body></html>\n";
constexpr const char* kHealthyBody = "OK";
constexpr size_t kReadChunk = 4096;
// Connections accepted per turn of the loop: those already open are read in
// between, so that a burst of new ones cannot push a fresh scrape out.
constexpr size_t kAcceptBurst = 8;
// How often the serving thread looks for finished password checks while
// some are under way.
[[maybe_unused]] constexpr uint64_t kCheckLookMs = 5;

struct Status {
    int code;
    const char* reason;
};
constexpr Status kOk{200, "OK"};
constexpr Status kBadRequest{400, "Bad Request"};
[[maybe_unused]] constexpr Status kUnauthorized{401, "Unauthorized"};
constexpr Status kNotFound{404, "Not Found"};
constexpr Status kMethodNotAllowed{405, "Method Not Allowed"};
constexpr Status kRequestTimeout{408, "Request Timeout"};
constexpr Status kContentTooLarge{413, "Content Too Large"};
constexpr Status kHeaderTooLarge{431, "Request Header Fields Too Large"};
[[maybe_unused]] constexpr Status kUnavailable{503, "Service Unavailable"};

// The Date header's value (RFC 9110 5.6.7's IMF-fixdate) for now.
std::string http_date() {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday % 7], utc.tm_mday,
                  kMonths[utc.tm_mon % 12], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

std::string answer(Status status, const char* type, const std::string& body, bool with_body,
                   const char* extra_header = nullptr) {
    std::string text = "HTTP/1.1 " + std::to_string(status.code) + " " + status.reason + "\r\n";
    text += "Date: " + http_date() + "\r\n";
    text += std::string("Content-Type: ") + type + "\r\n";
    text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    if (extra_header != nullptr) text += std::string(extra_header) + "\r\n";
    text += "Connection: close\r\n\r\n";
    if (with_body) text += body;
    return text;
}

std::string error_answer(Status status, const std::string& body, bool with_body = true) {
    return answer(status, kTextType, body, with_body);
}

// Whether the request (whole or in part) is a HEAD, whose answer never has
// a body, whatever its status.
bool is_head(const std::string& request) {
    const size_t first = request.find_first_not_of("\r\n");
    return first != std::string::npos && request.compare(first, 5, "HEAD ") == 0;
}

bool same_name(const std::string& a, const char* b) {
    const size_t length = std::char_traits<char>::length(b);
    if (a.size() != length) return false;
    for (size_t i = 0; i < length; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
    return true;
}

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The lines of a whole header, the request line first, without line ends
// and without blank lines before the request line. A CR is part of a line
// end only right before its LF; *bare_cr tells of any other.
std::vector<std::string> header_lines(const std::string& header, bool* bare_cr) {
    std::vector<std::string> lines;
    *bare_cr = false;
    size_t start = 0;
    for (size_t end; (end = header.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = header.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find('\r') != std::string::npos) *bare_cr = true;
        if (line.empty()) {
            if (lines.empty()) continue;
            break;
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

// The path of a request target in origin form ("/metrics?x") or absolute
// form ("http://host:port/metrics?x", which a proxy sends and every server
// must take), without its query; empty when the target is neither.
std::string target_path(const std::string& target) {
    std::string path = target;
    const size_t scheme_end = path.find("://");
    if (scheme_end != std::string::npos && path.find('/') > scheme_end) {
        std::string scheme = path.substr(0, scheme_end);
        std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (scheme != "http" && scheme != "https") return "";
        const size_t path_start = path.find_first_of("/?", scheme_end + 3);
        path = path_start == std::string::npos ? "/" : path.substr(path_start);
        if (path[0] == '?') path = "/" + path;
    }
    if (path.empty() || path[0] != '/') return "";
    return path.substr(0, path.find('?'));
}

// "Basic QWxhZGRpbjpvcGVu" into user and password; false when the
// credentials are not basic auth's (RFC 7617).
bool basic_credentials(const std::string& value, std::string* user, std::string* password) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const size_t space = value.find(' ');
    if (space == std::string::npos || !same_name(value.substr(0, space), "basic")) return false;
    const std::string encoded = trimmed(value.substr(space + 1));
    if (encoded.empty() || encoded.size() % 4 != 0) return false;
    std::string decoded;
    uint32_t bits = 0;
    int count = 0;
    size_t padding = 0;
    for (size_t i = 0; i < encoded.size(); ++i) {
        const char c = encoded[i];
        if (c == '=') {
            if (i + 2 < encoded.size() || ++padding > 2) return false;
            continue;
        }
        const char* at = std::strchr(kAlphabet, c);
        if (padding > 0 || c == '\0' || at == nullptr) return false;
        bits = (bits << 6) | static_cast<uint32_t>(at - kAlphabet);
        count += 6;
        if (count >= 8) {
            count -= 8;
            decoded += static_cast<char>((bits >> count) & 0xff);
        }
    }
    const size_t colon = decoded.find(':');
    if (colon == std::string::npos) return false;
    *user = decoded.substr(0, colon);
    *password = decoded.substr(colon + 1);
    return true;
}

// A whole header as read: either an answer it gets whoever sent it (400),
// or what to serve, and the credentials given.
struct Request {
    std::string refusal;  // an answer on the header alone; empty otherwise
    std::string method;
    std::string path;
    bool head = false;
    bool body = false;
    bool credentials = false;  // an Authorization header with basic auth's credentials
    std::string user;
    std::string password;
};

Request read_request(const std::string& header) {
    Request r;
    bool bare_cr = false;
    const std::vector<std::string> lines = header_lines(header, &bare_cr);
    r.head = is_head(header);
    const auto refuse = [&r](const char* why) {
        r.refusal = error_answer(kBadRequest, why, !r.head);
        return r;
    };
    // A CR alone could end a line for one reader and not another.
    if (bare_cr) return refuse("A CR without its LF\n");
    if (lines.empty()) return refuse("No request line\n");
    const std::string& request = lines.front();
    const size_t first_space = request.find(' ');
    const size_t second_space =
        first_space == std::string::npos ? first_space : request.find(' ', first_space + 1);
    if (second_space == std::string::npos || request.find(' ', second_space + 1) != std::string::npos)
        return refuse("Not an HTTP/1 request line\n");
    const std::string version = request.substr(second_space + 1);
    const bool http_1_1 = version == "HTTP/1.1";
    if (!http_1_1 && version != "HTTP/1.0") return refuse("Not HTTP/1.0 or HTTP/1.1\n");
    r.method = request.substr(0, first_space);
    r.path = target_path(request.substr(first_space + 1, second_space - first_space - 1));

    size_t hosts = 0;
    for (size_t i = 1; i < lines.size(); ++i) {
        const size_t colon = lines[i].find(':');
        if (colon == std::string::npos || colon == 0) return refuse("A header line without a name and a colon\n");
        const std::string name = lines[i].substr(0, colon);
        // RFC 9112 5.1: whitespace before the colon must be refused, lest one
        // reader take "Content-Length " for another field than the next does;
        // a line starting with whitespace (a folded line) too.
        if (name.find_first_of(" \t") != std::string::npos) return refuse("Whitespace in a header field's name\n");
        const std::string value = trimmed(lines[i].substr(colon + 1));
        if (same_name(name, "host")) ++hosts;
        // The body is never read: a request that has one is refused.
        if (same_name(name, "transfer-encoding") || (same_name(name, "content-length") && value != "0"))
            r.body = true;
        if (same_name(name, "authorization")) r.credentials = basic_credentials(value, &r.user, &r.password);
    }
    // RFC 9112 3.2: an HTTP/1.1 request has one Host, and any request at most one.
    if (hosts > 1 || (http_1_1 && hosts == 0)) return refuse("A request needs one Host header\n");
    if (r.path.empty()) return refuse("Not a request target\n");
    return r;
}

// The answer to a request that may be served.
std::string route(const Request& r, const MetricsServer::Render& metrics) {
    const bool known = r.path == "/" || r.path == "/metrics" || r.path == "/-/healthy";
    if (!known) return error_answer(kNotFound, "Not found: try /metrics\n", !r.head);
    if (r.method != "GET" && !r.head) {
        const std::string allow = std::string("Allow: ") + kAllowedMethods;
        return answer(kMethodNotAllowed, kTextType, "Only GET and HEAD\n", true, allow.c_str());
    }
    if (r.body) return error_answer(kContentTooLarge, "A GET carries no body\n", !r.head);
    if (r.path == "/metrics") return answer(kOk, kContentType, metrics(), !r.head);
    if (r.path == "/-/healthy") return answer(kOk, kTextType, kHealthyBody, !r.head);
    return answer(kOk, kPageType, kIndexPage, !r.head);
}

[[maybe_unused]] std::string unauthorized(const Request& r) {
    return answer(kUnauthorized, kTextType, "Unauthorized\n", !r.head, "WWW-Authenticate: Basic");
}

uint64_t steady_ms() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

#ifdef TALVIRO_WEB_CONFIG
struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
#endif

struct Connection {
    enum class Stage {
        Handshake,  // TLS: the handshake under way
        Header,     // reading the request's header into data
        Check,      // basic auth: its password being checked on the checking thread
        Answer,     // sending data
        Linger,     // answered; reading and dropping until the client closes
    };
    // What a new connection may push out at the cap: one not yet served.
    bool unfinished() const { return stage == Stage::Handshake || stage == Stage::Header; }
    Socket socket = kNoSocket;
    uint64_t id = 0;  // of the connection, for a password check's result
#ifdef TALVIRO_WEB_CONFIG
    std::shared_ptr<const Guard> guard;  // the web config as it was when the connection came
    std::unique_ptr<SSL, SslFree> ssl;   // TLS; null for plain HTTP
    Request request;                     // Check: what to serve once the password is good
#endif
    short want = 0;  // TLS: the poll event the session waits for; 0: the stage's own
    std::string address;       // the client's, as bytes: IPv4 ones mapped into IPv6 taken as IPv4
    uint64_t deadline_ms = 0;  // of the current stage
    Stage stage = Stage::Header;
    std::string data;
    size_t scanned = 0;     // Header: bytes of data looked at for line ends
    size_t line_start = 0;  // Header: where the line being received starts
    size_t lines = 0;       // Header: lines ended so far
    size_t done = 0;        // Answer: bytes sent; Linger: bytes dropped
};

// The address of a client as bytes, the same for an IPv4 client whether it
// came to an IPv4 socket or, mapped, to an IPv6 one.
std::string client_address(const sockaddr_storage& from) {
    if (from.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(from);
        return std::string(reinterpret_cast<const char*>(&v4.sin_addr), sizeof v4.sin_addr);
    }
    if (from.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(from);
        const auto* bytes = reinterpret_cast<const unsigned char*>(&v6.sin6_addr);
        static constexpr unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        if (std::equal(kMappedPrefix, kMappedPrefix + sizeof kMappedPrefix, bytes))
            return std::string(reinterpret_cast<const char*>(bytes) + sizeof kMappedPrefix, 4);
        return std::string(reinterpret_cast<const char*>(bytes), 16);
    }
    return std::string();
}

// The limit of open files, raised first towards what the cap needs where
// the hard limit allows; 0 when there is none (Windows: sockets are no files).
uint64_t raised_file_limit() {
#ifdef _WIN32
    return 0;
#else
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
    const rlim_t wanted = static_cast<rlim_t>(kMaxConnections + kReservedFiles);
    if (limit.rlim_cur < wanted) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return static_cast<uint64_t>(limit.rlim_cur);
#endif
}

}  // namespace

size_t connection_cap(uint64_t file_limit) {
    if (file_limit == 0 || file_limit >= kMaxConnections + kReservedFiles) return kMaxConnections;
    const uint64_t room = file_limit > kReservedFiles ? file_limit - kReservedFiles : 0;
    return std::max(kMinConnections, static_cast<size_t>(room));
}

std::string answer_header(const std::string& header, const MetricsServer::Render& metrics) {
    const Request request = read_request(header);
    return request.refusal.empty() ? route(request, metrics) : request.refusal;
}

size_t address_cap(size_t connection_cap) { return std::max<size_t>(1, connection_cap / kAddressShare); }

struct MetricsServer::Impl {
    Impl(Render render, Failed failed)
        : metrics(std::move(render)),
          listener_failed(std::move(failed)),
          file_limit(raised_file_limit()),
          cap(connection_cap(file_limit)),
          per_address(address_cap(cap)) {}
    ~Impl() {
        for (Connection& c : connections) close_socket(c.socket);
        if (listener != kNoSocket) close_socket(listener);
    }

    void serve();
    // One turn: wait for the sockets, then read, send, accept and expire.
    // Returns false once the listener failed.
    bool turn();
    void accept_some(uint64_t now);
    // Keeps a new connection, closing another if the caps ask for it, or
    // closes the new one if none may go for it.
    void admit(Socket s, std::string address, uint64_t now);
    void take(Socket s, std::string address, uint64_t now);
    void on_readable(Connection& c, uint64_t now);
    void on_writable(Connection& c, uint64_t now);
    void on_handshake(Connection& c, uint64_t now);
    // Reads or writes what the connection's transport takes: bytes, 0 when
    // the client closed, -1 when it would block (c.want set under TLS), -2
    // when the connection broke.
    long read_some(Connection& c, char* buffer, size_t size);
    long write_some(Connection& c, const char* data, size_t size);
    // The answer to a whole header, or the password check it waits for.
    void serve_request(Connection& c, const std::string& header, uint64_t now);
    // Answers the connections whose password checks ended.
    void collect_checks(uint64_t now);
    void start_answer(Connection& c, std::string text, uint64_t now);
    void finish(Connection& c);
    // Scans the bytes that arrived; answers when the header ended or broke a bound.
    void scan_header(Connection& c, uint64_t now);
    void expire(uint64_t now);
    void fail(const std::string& what, int error);
    // Whether a connection may be closed for a new one at the cap.
    bool any_may_go() const;
    // The connection to close for a new one from address, which holds
    // `holds` connections; connections.end() when none may go for it.
    std::vector<Connection>::iterator victim_for(const std::string& address, size_t holds);
    size_t held_by(const std::string& address) const;

    SocketLibrary library;
    Render metrics;
    Failed listener_failed;
    GuardSource guard_source;
#ifdef TALVIRO_WEB_CONFIG
    std::shared_ptr<const Guard> accept_guard;  // guard_source's answer for this accept burst
    std::unique_ptr<PasswordChecker> checker;  // made for the first request with credentials
#endif
    uint64_t next_id = 0;
    const uint64_t file_limit;
    const size_t cap;
    const size_t per_address;
    Socket listener = kNoSocket;
    std::vector<Connection> connections;  // oldest first: added at the end, removed in place
    std::vector<PollEntry> entries;
    uint64_t listener_rests_until_ms = 0;
    std::atomic<bool> stop_requested{false};
    mutable std::mutex failure_mutex;
    std::string failure;
};

MetricsServer::MetricsServer(Render metrics, Failed listener_failed)
    : impl_(std::make_unique<Impl>(std::move(metrics), std::move(listener_failed))) {}

MetricsServer::~MetricsServer() { stop(); }

int MetricsServer::bind(const std::string& host, int port, std::string* error) {
    if (!impl_->library.started) {
        *error = "the system's sockets could not be started";
        return -1;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const int looked_up = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (looked_up != 0) {
        *error = gai_strerror(looked_up);
        return -1;
    }
    *error = "no such address on this computer";
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        const Socket s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == kNoSocket) {
            *error = error_text(last_error());
            continue;
        }
        int yes = 1;
        int no = 0;
#ifdef _WIN32
        // The address is this program's alone: no second program may bind it.
        setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes);
#else
        // Only lets a restart bind while old connections linger in TIME_WAIT;
        // a second program listening there still fails.
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        fcntl(s, F_SETFD, FD_CLOEXEC);
#endif
        // Both families on one socket, whatever the system's default (Linux
        // takes IPv4 on an IPv6 socket by default, Windows does not): [::]
        // serves every address. A host without IPv4 just refuses the option.
        if (a->ai_family == AF_INET6)
            setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&no), sizeof no);
        if (::bind(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0 || listen(s, SOMAXCONN) != 0 ||
            !make_nonblocking(s)) {
            *error = error_text(last_error());
            close_socket(s);
            continue;
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        if (getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
            *error = error_text(last_error());
            close_socket(s);
            continue;
        }
        impl_->listener = s;
        freeaddrinfo(found);
        error->clear();
        return ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                 : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    }
    freeaddrinfo(found);
    return -1;
}

size_t MetricsServer::capacity() const { return impl_->cap; }

uint64_t MetricsServer::file_limit() const { return impl_->file_limit; }

void MetricsServer::guard_with(GuardSource source) { impl_->guard_source = std::move(source); }

void MetricsServer::start() {
    thread_ = std::thread([impl = impl_.get()] { impl->serve(); });
}

void MetricsServer::stop() {
    impl_->stop_requested = true;
    if (thread_.joinable()) thread_.join();
}

std::string MetricsServer::failure() const {
    const std::lock_guard<std::mutex> lock(impl_->failure_mutex);
    return impl_->failure;
}

void MetricsServer::Impl::serve() {
    while (!stop_requested && turn()) {
    }
    for (Connection& c : connections) close_socket(c.socket);
    connections.clear();
}

void MetricsServer::Impl::fail(const std::string& what, int error) {
    {
        const std::lock_guard<std::mutex> lock(failure_mutex);
        failure = error != 0 ? what + ": " + error_text(error) : what;
    }
    close_socket(listener);
    listener = kNoSocket;
    if (listener_failed) listener_failed();
}

bool MetricsServer::Impl::turn() {
    uint64_t now = steady_ms();
    expire(now);
    const bool accepting = now >= listener_rests_until_ms;
    entries.clear();
    if (accepting) entries.push_back(PollEntry{listener, POLLIN, 0});
    uint64_t wake = now + kStopCheckMs;
    if (!accepting) wake = std::min(wake, listener_rests_until_ms);
    for (const Connection& c : connections) {
        const bool sending = c.stage == Connection::Stage::Answer;
        const short events = c.want != 0 ? c.want : static_cast<short>(sending ? POLLOUT : POLLIN);
        // A connection whose password is being checked waits for the
        // checking thread, not for its socket (a negative one is left out).
        const bool waits = c.stage == Connection::Stage::Check;
        entries.push_back(PollEntry{waits ? kNoSocket : c.socket, events, 0});
        wake = std::min(wake, c.deadline_ms);
    }
#ifdef TALVIRO_WEB_CONFIG
    if (checker && checker->pending()) wake = std::min(wake, now + kCheckLookMs);
#endif
    if (entries.empty()) {
        // Resting with nothing open: WSAPoll takes no empty set.
        std::this_thread::sleep_for(std::chrono::milliseconds(wake - now));
        return true;
    }
    const int ready =
        poll_sockets(entries.data(), entries.size(), static_cast<int>(wake > now ? wake - now : 0));
    now = steady_ms();
    if (ready < 0) {
        const int error = last_error();
        switch (poll_outcome(error)) {
        case AcceptOutcome::Fatal: fail("poll", error); return false;
        case AcceptOutcome::Rest: listener_rests_until_ms = now + kBackoffMs; break;
        default: break;
        }
        return true;
    }
    const size_t first_connection = accepting ? 1 : 0;
    for (size_t i = first_connection; i < entries.size(); ++i) {
        Connection& c = connections[i - first_connection];
        const short events = entries[i].revents;
        if (events == 0 || c.stage == Connection::Stage::Check) continue;
        if (c.stage == Connection::Stage::Handshake)
            on_handshake(c, now);
        else if (c.stage == Connection::Stage::Answer)
            on_writable(c, now);
        else
            on_readable(c, now);
    }
    collect_checks(now);
    connections.erase(std::remove_if(connections.begin(), connections.end(),
                                     [](const Connection& c) { return c.socket == kNoSocket; }),
                      connections.end());
    if (accepting) {
        const short events = entries[0].revents;
        if (events & (POLLERR | POLLHUP | POLLNVAL)) {
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(listener, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
            fail("the listening socket failed", error);
            return false;
        }
        if (events & POLLIN) accept_some(now);
    }
    return listener != kNoSocket;
}

void MetricsServer::Impl::accept_some(uint64_t now) {
#ifdef TALVIRO_WEB_CONFIG
    // The web config looked at once a burst, not once a connection: its
    // files' stamps are I/O on the serving thread.
    accept_guard = guard_source ? guard_source() : nullptr;
#endif
    for (size_t taken = 0; taken < kAcceptBurst; ++taken) {
        if (connections.size() >= cap && !any_may_go()) {
            // Every connection is being answered: the waiting one stays
            // queued, and the listener rests rather than poll ready at once.
            listener_rests_until_ms = now + kBackoffMs;
            return;
        }
        sockaddr_storage from{};
        socklen_t from_length = sizeof from;
#ifdef _WIN32
        const Socket s = accept(listener, reinterpret_cast<sockaddr*>(&from), &from_length);
#else
        const Socket s =
            accept4(listener, reinterpret_cast<sockaddr*>(&from), &from_length, SOCK_NONBLOCK | SOCK_CLOEXEC);
#endif
        if (s == kNoSocket) {
            const int error = last_error();
            switch (accept_outcome(error)) {
            case AcceptOutcome::Empty: return;
            case AcceptOutcome::Skip: continue;
            case AcceptOutcome::Rest: listener_rests_until_ms = now + kBackoffMs; return;
            case AcceptOutcome::Fatal: fail("accept", error); return;
            }
        }
        admit(s, client_address(from), now);
    }
}

bool MetricsServer::Impl::any_may_go() const {
    return std::any_of(connections.begin(), connections.end(),
                       [](const Connection& c) { return c.unfinished() || c.stage == Connection::Stage::Linger; });
}

size_t MetricsServer::Impl::held_by(const std::string& address) const {
    return static_cast<size_t>(std::count_if(connections.begin(), connections.end(),
                                             [&address](const Connection& c) { return c.address == address; }));
}

std::vector<Connection>::iterator MetricsServer::Impl::victim_for(const std::string& address, size_t holds) {
    const auto oldest = [this](const std::function<bool(const Connection&)>& which) {
        return std::find_if(connections.begin(), connections.end(), which);
    };
    const auto in = [](Connection::Stage stage) { return [stage](const Connection& c) { return c.stage == stage; }; };
    if (holds >= per_address) {
        // The address's own: its oldest answered, else its oldest unfinished.
        auto victim = oldest([&](const Connection& c) {
            return c.address == address && c.stage == Connection::Stage::Linger;
        });
        if (victim != connections.end()) return victim;
        return oldest([&](const Connection& c) { return c.address == address && c.unfinished(); });
    }
    if (connections.size() < cap) return connections.end();
    // Any answered one, else the oldest unfinished header of the address
    // that holds the most, if it holds more than the new one's address.
    auto victim = oldest(in(Connection::Stage::Linger));
    if (victim != connections.end()) return victim;
    std::map<std::string, size_t> held;
    for (const Connection& c : connections) ++held[c.address];
    size_t most = 0;
    for (const Connection& c : connections)
        if (c.unfinished()) most = std::max(most, held[c.address]);
    if (most <= holds) return connections.end();
    return oldest([&](const Connection& c) { return c.unfinished() && held[c.address] == most; });
}

void MetricsServer::Impl::admit(Socket s, std::string address, uint64_t now) {
    const size_t holds = held_by(address);
    if (holds >= per_address || connections.size() >= cap) {
        const auto victim = victim_for(address, holds);
        if (victim == connections.end()) {
            close_socket(s);
            return;
        }
        close_socket(victim->socket);
        connections.erase(victim);
    }
    take(s, std::move(address), now);
}

void MetricsServer::Impl::take(Socket s, std::string address, uint64_t now) {
#ifdef _WIN32
    if (!make_nonblocking(s)) {
        close_socket(s);
        return;
    }
#endif
    Connection c;
    c.socket = s;
    c.id = ++next_id;
    c.address = std::move(address);
    // The handshake and the header together within the deadline.
    c.deadline_ms = now + kHeaderDeadlineMs;
#ifdef TALVIRO_WEB_CONFIG
    c.guard = accept_guard;
    if (c.guard && c.guard->tls) {
        c.ssl.reset(SSL_new(c.guard->tls.get()));
        if (!c.ssl || SSL_set_fd(c.ssl.get(), static_cast<int>(s)) != 1) {
            ERR_clear_error();
            close_socket(s);
            return;
        }
        c.stage = Connection::Stage::Handshake;
    }
#endif
    connections.push_back(std::move(c));
    // The request (or the TLS hello) has usually arrived with the connection.
    Connection& taken = connections.back();
    if (taken.stage == Connection::Stage::Handshake)
        on_handshake(taken, now);
    else
        on_readable(taken, now);
    if (connections.back().socket == kNoSocket) connections.pop_back();
}

void MetricsServer::Impl::finish(Connection& c) {
    close_socket(c.socket);
    c.socket = kNoSocket;
    c.data = std::string();
#ifdef TALVIRO_WEB_CONFIG
    c.ssl.reset();
    c.guard.reset();
#endif
}

#ifdef TALVIRO_WEB_CONFIG
namespace {
// What an SSL call's failure means: wait for the socket (c.want set), or
// the connection is over. OpenSSL's error queue is emptied either way, so
// that one connection's error is never read as another's.
long ssl_outcome(Connection& c, int result) {
    const int error = SSL_get_error(c.ssl.get(), result);
    ERR_clear_error();
    if (error == SSL_ERROR_WANT_READ) {
        c.want = POLLIN;
        return -1;
    }
    if (error == SSL_ERROR_WANT_WRITE) {
        c.want = POLLOUT;
        return -1;
    }
    return error == SSL_ERROR_ZERO_RETURN ? 0 : -2;
}
}  // namespace
#endif

long MetricsServer::Impl::read_some(Connection& c, char* buffer, size_t size) {
#ifdef TALVIRO_WEB_CONFIG
    if (c.ssl && c.stage != Connection::Stage::Linger) {
        c.want = 0;
        const int got = SSL_read(c.ssl.get(), buffer, static_cast<int>(size));
        return got > 0 ? got : ssl_outcome(c, got);
    }
#endif
    const long got = receive(c.socket, buffer, size);
    if (got < 0) return would_block(last_error()) ? -1 : -2;
    return got;
}

long MetricsServer::Impl::write_some(Connection& c, const char* data, size_t size) {
#ifdef TALVIRO_WEB_CONFIG
    if (c.ssl) {
        c.want = 0;
        const int sent = SSL_write(c.ssl.get(), data, static_cast<int>(size));
        return sent > 0 ? sent : ssl_outcome(c, sent);
    }
#endif
    const long sent = send_some(c.socket, data, size);
    if (sent < 0) return would_block(last_error()) ? -1 : -2;
    return sent;
}

void MetricsServer::Impl::on_handshake(Connection& c, uint64_t now) {
#ifdef TALVIRO_WEB_CONFIG
    c.want = 0;
    const int result = SSL_accept(c.ssl.get());
    if (result == 1) {
        c.stage = Connection::Stage::Header;
        // The request may have come with the handshake's last flight.
        on_readable(c, now);
        return;
    }
    // A client that cannot finish the handshake (no certificate where one
    // is required, a protocol or a CA not taken) is closed: there is no
    // HTTP to answer it in.
    if (ssl_outcome(c, result) != -1) finish(c);
#else
    (void)now;
    finish(c);
#endif
}

void MetricsServer::Impl::on_readable(Connection& c, uint64_t now) {
    char chunk[kReadChunk];
    // Under TLS the session may hold decrypted bytes poll() does not see:
    // read until it would wait.
    for (;;) {
        const size_t room =
            c.stage == Connection::Stage::Header ? kMaxHeaderBytes - c.data.size() : sizeof chunk;
        const long got = read_some(c, chunk, std::min(room, sizeof chunk));
        if (got == -1) return;
        if (got <= 0) {
            // The client closed, or the connection broke: nothing to answer.
            finish(c);
            return;
        }
        if (c.stage == Connection::Stage::Linger) {
            c.done += static_cast<size_t>(got);
            if (c.done > kLingerBytes) finish(c);
            return;
        }
        c.data.append(chunk, static_cast<size_t>(got));
        scan_header(c, now);
        if (c.stage != Connection::Stage::Header || c.socket == kNoSocket) return;
    }
}

void MetricsServer::Impl::scan_header(Connection& c, uint64_t now) {
    for (; c.scanned < c.data.size(); ++c.scanned) {
        if (c.data[c.scanned] != '\n') continue;
        size_t length = c.scanned - c.line_start;
        if (length > 0 && c.data[c.scanned - 1] == '\r') --length;
        c.line_start = c.scanned + 1;
        if (length == 0) {
            // Blank lines before the request line are allowed; after it,
            // the first one ends the header.
            if (c.lines == 0) continue;
            serve_request(c, c.data.substr(0, c.scanned + 1), now);
            return;
        }
        if (++c.lines > kMaxHeaderLines) break;
    }
    if (c.lines > kMaxHeaderLines || c.data.size() >= kMaxHeaderBytes)
        start_answer(c, error_answer(kHeaderTooLarge, "The request's header is too large\n", !is_head(c.data)),
                     now);
}

void MetricsServer::Impl::serve_request(Connection& c, const std::string& header, uint64_t now) {
    Request request = read_request(header);
    if (!request.refusal.empty()) {
        start_answer(c, request.refusal, now);
        return;
    }
#ifdef TALVIRO_WEB_CONFIG
    if (c.guard && !c.guard->users.empty()) {
        if (!request.credentials) {
            start_answer(c, unauthorized(request), now);
            return;
        }
        if (!checker) checker = std::make_unique<PasswordChecker>();
        switch (checker->check(c.id, c.guard->users, request.user, request.password)) {
        case PasswordChecker::Verdict::Good: break;
        case PasswordChecker::Verdict::Busy:
            start_answer(c, error_answer(kUnavailable, "Too many passwords waiting to be checked\n", !request.head),
                         now);
            return;
        case PasswordChecker::Verdict::Pending:
            c.stage = Connection::Stage::Check;
            c.deadline_ms = now + kSendDeadlineMs;
            c.data = std::string();
            c.request = std::move(request);
            return;
        }
    }
#endif
    start_answer(c, route(request, metrics), now);
}

void MetricsServer::Impl::collect_checks(uint64_t now) {
#ifdef TALVIRO_WEB_CONFIG
    if (!checker) return;
    for (const auto& [id, good] : checker->done()) {
        const auto c = std::find_if(connections.begin(), connections.end(), [id = id](const Connection& k) {
            return k.id == id && k.stage == Connection::Stage::Check;
        });
        // A connection that went meanwhile has nothing to be told.
        if (c == connections.end()) continue;
        start_answer(*c, good ? route(c->request, metrics) : unauthorized(c->request), now);
    }
#else
    (void)now;
#endif
}

void MetricsServer::Impl::start_answer(Connection& c, std::string text, uint64_t now) {
    c.stage = Connection::Stage::Answer;
    c.deadline_ms = now + kSendDeadlineMs;
#ifdef TALVIRO_WEB_CONFIG
    // The web config's security headers, on every answer.
    if (c.guard && !c.guard->headers.empty()) text.insert(text.find("\r\n") + 2, c.guard->headers);
#endif
    c.data = std::move(text);
    c.done = 0;
    on_writable(c, now);
}

void MetricsServer::Impl::on_writable(Connection& c, uint64_t now) {
    while (c.done < c.data.size()) {
        const long sent = write_some(c, c.data.data() + c.done, c.data.size() - c.done);
        if (sent == -1) return;
        if (sent <= 0) {
            finish(c);
            return;
        }
        c.done += static_cast<size_t>(sent);
    }
#ifdef TALVIRO_WEB_CONFIG
    // TLS's close_notify, once; a client that does not answer it is not waited for.
    if (c.ssl) {
        SSL_shutdown(c.ssl.get());
        ERR_clear_error();
        c.want = 0;
    }
#endif
    shutdown(c.socket, kShutdownSend);
    c.stage = Connection::Stage::Linger;
    c.deadline_ms = now + kLingerMs;
    c.data = std::string();
    c.done = 0;
}

void MetricsServer::Impl::expire(uint64_t now) {
    for (Connection& c : connections) {
        if (now < c.deadline_ms) continue;
        if (c.stage == Connection::Stage::Header) {
            start_answer(c,
                         error_answer(kRequestTimeout, "The request's header came too late\n", !is_head(c.data)),
                         now);
#ifdef TALVIRO_WEB_CONFIG
        } else if (c.stage == Connection::Stage::Check) {
            // Its result, when it comes, finds no connection waiting.
            start_answer(c, error_answer(kUnavailable, "The password check took too long\n", !c.request.head), now);
#endif
        } else {
            finish(c);
        }
    }
    connections.erase(std::remove_if(connections.begin(), connections.end(),
                                     [](const Connection& c) { return c.socket == kNoSocket; }),
                      connections.end());
}

}  // namespace exporter
