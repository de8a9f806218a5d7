// The exporter's options, its text for Prometheus, its readout loop and its
// HTTP side, as a user, a scraping server and a hostile client see them.
#include "d2xx/abandon.h"
#include "exporter/exporter_options.h"
#include "exporter/http_server.h"
#include "exporter/metrics.h"
#include "exporter/readout_loop.h"
#ifdef TALVIRO_WEB_CONFIG
#include "exporter/password_check.h"
#include "exporter/web_guard.h"
#endif
#include "probe/probe_channel.h"

#include "manual_run_clock.h"
#include "sim_fixture.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

using exporter::ProbeReport;

namespace {

bool has_line(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

namespace limits = exporter::http_limits;
using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point start) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    return static_cast<long>(elapsed.count());
}

// 127.0.0.n, in host order: a client address of its own for each n.
uint32_t loopback(size_t n) { return (127u << 24) | static_cast<uint32_t>(n); }

sockaddr_in loopback_to(int port, uint32_t address) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(address);
    return to;
}

// A blocking client on 127.0.0.1 (the server under test has started the
// system's sockets).
class Client {
public:
    // From 127.0.0.1, or from the loopback address given (loopback()).
    explicit Client(int port, uint32_t from = INADDR_LOOPBACK) : socket_(socket(AF_INET, SOCK_STREAM, 0)) {
        if (from != INADDR_LOOPBACK) {
            sockaddr_in source = loopback_to(0, from);
            EXPECT_EQ(::bind(socket_, reinterpret_cast<sockaddr*>(&source), sizeof source), 0);
        }
        sockaddr_in to = loopback_to(port, INADDR_LOOPBACK);
        EXPECT_EQ(connect(socket_, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    }
    ~Client() {
#ifdef _WIN32
        closesocket(socket_);
#else
        close(socket_);
#endif
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Sends what the server takes; a server that closed early takes less.
    void send_text(const std::string& text) {
#ifdef _WIN32
        constexpr int kFlags = 0;
#else
        constexpr int kFlags = MSG_NOSIGNAL;
#endif
        for (size_t sent = 0; sent < text.size();) {
            const auto n = send(socket_, text.data() + sent, static_cast<int>(text.size() - sent), kFlags);
            if (n <= 0) return;
            sent += static_cast<size_t>(n);
        }
    }
    // What the server sends until it closes the connection; stops waiting
    // after wait_ms, with *closed false.
    std::string answer(int wait_ms, bool* closed = nullptr) {
        std::string got;
        const Clock::time_point start = Clock::now();
        for (;;) {
#ifdef _WIN32
            WSAPOLLFD entry{socket_, POLLIN, 0};
            const int ready = WSAPoll(&entry, 1, 10);
#else
            pollfd entry{socket_, POLLIN, 0};
            const int ready = poll(&entry, 1, 10);
#endif
            if (ready > 0) {
                char chunk[4096];
                const auto n = recv(socket_, chunk, sizeof chunk, 0);
                if (n <= 0) break;
                got.append(chunk, static_cast<size_t>(n));
            } else if (ms_since(start) > wait_ms) {
                if (closed != nullptr) *closed = false;
                return got;
            }
        }
        if (closed != nullptr) *closed = true;
        return got;
    }

private:
#ifdef _WIN32
    SOCKET socket_;
#else
    int socket_;
#endif
};

// The server on a free port of host, serving a fixed text as /metrics,
// guarded by guard when one is given.
struct Served {
    explicit Served(const char* host = "127.0.0.1", exporter::GuardSource guard = nullptr)
        : server([] { return std::string("talviro_probe_up{serial=\"TV0001B\"} 1\n"); }, [] {}) {
        std::string error;
        port = server.bind(host, 0, &error);
        EXPECT_GT(port, 0) << error;
        if (guard) server.guard_with(std::move(guard));
        server.start();
    }
    exporter::MetricsServer server;
    int port = -1;
};

std::string status_line(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }

// A GET of /metrics with Host and header lines X-N: ... after the request line,
// filled with 'a' to exactly total bytes when total is given.
std::string request(size_t lines, size_t total = 0) {
    std::string text = "GET /metrics HTTP/1.1\r\nHost: a\r\n";
    for (size_t i = 0; i < lines; ++i) text += "X-" + std::to_string(i) + ": a\r\n";
    if (total > text.size() + 2) text.insert(text.size() - 2, total - text.size() - 2, 'a');
    return text + "\r\n";
}

}  // namespace

TEST(ExporterOptions, ValuesAndUsageErrors) {
    const auto parse = [](std::vector<std::string> args) { return exporter::parse_options(args); };
    const exporter::Options defaults = parse({}).options;
    EXPECT_EQ(defaults.host, "127.0.0.1");
    EXPECT_EQ(defaults.port, exporter::kDefaultPort);
    EXPECT_TRUE(defaults.serials.empty());
    EXPECT_EQ(defaults.interval_ms, 1000u);

    const exporter::ParsedOptions given = parse(
        {"--listen=[::1]:0", "--serial", "TV0002B", "--serial=TV0001B", "--serial", "TV0002B", "--interval", "0.25"});
    ASSERT_EQ(given.error, "");
    EXPECT_EQ(given.options.host, "::1");
    EXPECT_EQ(given.options.port, 0);
    EXPECT_EQ(given.options.serials, (std::vector<std::string>{"TV0002B", "TV0001B"}));
    EXPECT_EQ(given.options.interval_ms, 250u);
    EXPECT_EQ(parse({"--web.config.file", "web.yml"}).options.web_config_file, "web.yml");
    EXPECT_EQ(exporter::listen_text(given.options.host, 19265), "[::1]:19265");

    const struct {
        std::vector<std::string> args;
        const char* error_start;
    } errors[] = {
        {{"--listen", "127.0.0.1"}, "--listen: '127.0.0.1' is not ADDRESS:PORT"},
        {{"--listen", ":19265"}, "--listen: ':19265' is not ADDRESS:PORT"},
        {{"--listen", "0.0.0.0:65536"}, "--listen: '0.0.0.0:65536' is not ADDRESS:PORT"},
        {{"--listen", "::1:80"}, "--listen: '::1:80': put an IPv6 address in brackets"},
        {{"--serial="}, "--serial needs a serial number"},
        {{"--interval", "0"}, "--interval: '0' is not a number of seconds from 0.001 to 86400"},
        {{"--count", "3"}, "unknown option '--count'"},
        {{"--listen", "127.0.0.1:1", "--listen=127.0.0.1:2"}, "--listen may be given only once"},
        {{"--interval", "1", "--serial", "TV0001B", "--interval", "1"}, "--interval may be given only once"},
        {{"--web.config.file="}, "--web.config.file needs a file name"},
        {{"--web.config.file", "a.yml", "--web.config.file=a.yml"}, "--web.config.file may be given only once"},
    };
    for (const auto& row : errors)
        EXPECT_EQ(parse(row.args).error.rfind(row.error_start, 0), 0u) << parse(row.args).error;
    EXPECT_TRUE(parse({"--serial", "TV0001B", "--help", "--bogus"}).options.help);
}

TEST(ExporterMetrics, ExactDecimalKeepsEveryDigitOfTheReading) {
    const struct {
        float value;
        int shift;
        const char* text;
    } table[] = {
        {0.0f, 0, "0"},       {0.0f, -3, "0"},        {3.32f, 0, "3.32"},
        {37.0f, -3, "0.037"}, {5.0f, -3, "0.005"},    {12345.0f, -3, "12.345"},
        {1234.5f, -3, "1.2345"}, {1e-7f, 0, "0.0000001"}, {1.5e10f, 0, "15000000000"},
        {-2.5f, 0, "-2.5"},
    };
    for (const auto& row : table) EXPECT_EQ(exporter::exact_decimal(row.value, row.shift), row.text);
    // Every reading the probe can give reads back as itself.
    for (uint16_t count = 0; count <= kConverterMaxCount; ++count) {
        for (const readings::Kind kind : {readings::Kind::Voltage, readings::Kind::Current}) {
            const float reading = readings::reading_from_count(kind, count);
            ASSERT_EQ(std::strtof(exporter::exact_decimal(reading).c_str(), nullptr), reading) << count;
        }
    }
}

TEST(ExporterMetrics, ProbesUpHaveReadingsProbesAwayOnlyTheirState) {
    ProbeReport up;
    up.serial = "TV0001B";
    up.up = true;
    up.counts = std::array<uint16_t, readings::kChannelCount>{137, 36, 298, 57};  // A1, supply, target, A0
    up.readouts = 12;
    up.last_readout_seconds = 0.052;
    ProbeReport away;
    away.serial = "a\"b\\c\nd";
    away.readouts = 7;
    away.failed_readouts = 2;
    const std::string text = exporter::render_metrics({up, away}, "1.0.1");

    for (const char* line : {
             "talviro_exporter_build_info{version=\"1.0.1\"} 1",
             "talviro_probe_up{serial=\"TV0001B\"} 1",
             "talviro_probe_up{serial=\"a\\\"b\\\\c\\nd\"} 0",
             "talviro_target_voltage_volts{serial=\"TV0001B\"} 3.3205714",
             "talviro_supply_current_amperes{serial=\"TV0001B\"} 0.03692308",
             "talviro_input_voltage_volts{serial=\"TV0001B\",input=\"A0\"} 0.63514286",
             "talviro_input_voltage_volts{serial=\"TV0001B\",input=\"A1\"} 1.5265715",
             "talviro_readouts_total{serial=\"a\\\"b\\\\c\\nd\"} 7",
             "talviro_failed_readouts_total{serial=\"a\\\"b\\\\c\\nd\"} 2",
             "talviro_readout_duration_seconds{serial=\"TV0001B\"} 0.052",
             "# TYPE talviro_readouts_total counter",
             "# TYPE talviro_target_voltage_volts gauge",
         })
        EXPECT_TRUE(has_line(text, line)) << line << "\n" << text;
    // The probe away has no reading and no duration, not an old one.
    EXPECT_EQ(text.find("volts{serial=\"a"), std::string::npos) << text;
    EXPECT_EQ(text.find("amperes{serial=\"a"), std::string::npos) << text;
    EXPECT_EQ(text.find("seconds{serial=\"a"), std::string::npos) << text;
    // No family at all when no probe has readings.
    EXPECT_EQ(exporter::render_metrics({away}, "1.0.1").find("# HELP talviro_target_voltage_volts"),
              std::string::npos);
}

TEST(ExporterHttp, PathsMethodsAndHeaderBounds) {
    Served served;
    // Every answer is dated (RFC 9110 6.6.1), and a HEAD's has no body,
    // whatever its status.
    const std::regex dated("\r\nDate: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] "
                           "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) 2[0-9]{3} "
                           "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] GMT\r\n");
    const struct {
        std::string request;
        const char* status;
        bool body;
    } table[] = {
        {"GET /-/healthy HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 200 OK", true},
        {"HEAD /metrics HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK", false},
        {"GET /metrics?x=1 HTTP/1.1\nHost: a\n\n", "HTTP/1.1 200 OK", true},
        {"GET /api HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 404 Not Found", true},
        {"HEAD /api HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 404 Not Found", false},
        {"PUT / HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", true},
        {"GET /metrics\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
        {"GET /metrics HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nhello", "HTTP/1.1 413 Content Too Large", true},
        {"GET /metrics HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n", "HTTP/1.1 413 Content Too Large",
         true},
        // HTTP/1.1 asks for one Host, never two; HTTP/1.0 has none.
        {"GET /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
        {"GET /metrics HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
        {"GET /metrics HTTP/1.0\r\nHost: a\r\nhost: a\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
        {"GET /metrics HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK", true},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", false},
        // Whitespace before a colon, and a folded line, are refused: they
        // would read as another field, as "Content-Length : 5" did.
        {"GET /metrics HTTP/1.1\r\nHost: a\r\nContent-Length : 5\r\n\r\nhello", "HTTP/1.1 400 Bad Request", true},
        {"GET /metrics HTTP/1.1\r\nHost : a\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
        {"GET /metrics HTTP/1.1\r\nHost: a\r\n X-Folded: b\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
        {"GET /metrics HTTP/1.1\r\nHost: a\r\n: b\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
        // A CR is only a line end's, right before its LF.
        {"GET /metrics HTTP/1.1\r\nHost: a\r\nX-A: b\rX-B: c\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
        {"GET /metrics HTTP/1.1\rHost: a\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
        // Only the versions there are.
        {"GET /metrics HTTP/1.9\r\nHost: a\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
        {"GET /metrics HTTP/1.1junk\r\nHost: a\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
        {"GET /metrics HTTP/2.0\r\nHost: a\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
        {"HEAD /metrics HTTP/1.9\r\nHost: a\r\n\r\n", "HTTP/1.1 400 Bad Request", false},
        // The absolute form a proxy sends.
        {"GET http://a:19265/metrics HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 200 OK", true},
        {"GET HTTP://a/-/healthy?x HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 200 OK", true},
        {"GET http://a HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 200 OK", true},
        {"GET http://a/api HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 404 Not Found", true},
        {"GET ftp://a/metrics HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
        {"GET metrics HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
        // The request line counts as a line, the blank line ending the header as bytes.
        {request(limits::kMaxHeaderLines - 2), "HTTP/1.1 200 OK", true},
        {request(limits::kMaxHeaderLines - 1), "HTTP/1.1 431 Request Header Fields Too Large", true},
        {request(1, limits::kMaxHeaderBytes), "HTTP/1.1 200 OK", true},
        {request(1, limits::kMaxHeaderBytes + 1), "HTTP/1.1 431 Request Header Fields Too Large", true},
        {request(1, 4 * limits::kMaxHeaderBytes), "HTTP/1.1 431 Request Header Fields Too Large", true},
        {"HEAD" + request(1, limits::kMaxHeaderBytes + 1).substr(3), "HTTP/1.1 431 Request Header Fields Too Large",
         false},
    };
    for (const auto& row : table) {
        Client client(served.port);
        client.send_text(row.request);
        bool closed = false;
        const std::string answer = client.answer(1000, &closed);
        const std::string what = row.request.substr(0, 60);
        EXPECT_EQ(status_line(answer), row.status) << what;
        EXPECT_TRUE(closed) << what;
        EXPECT_TRUE(std::regex_search(answer, dated)) << what << "\n" << answer;
        const size_t header_end = answer.find("\r\n\r\n");
        ASSERT_NE(header_end, std::string::npos) << what;
        const std::string body = answer.substr(header_end + 4);
        EXPECT_EQ(!body.empty(), row.body) << what << "\n" << answer;
        const std::string length = "\r\nContent-Length: ";
        const size_t length_at = answer.find(length);
        ASSERT_NE(length_at, std::string::npos) << what;
        if (row.body) {
            EXPECT_EQ(std::stoul(answer.substr(length_at + length.size())), body.size()) << what;
        }
    }
    Client healthy(served.port);
    healthy.send_text("GET /-/healthy HTTP/1.1\r\nHost: a\r\n\r\n");
    const std::string answer = healthy.answer(1000);
    EXPECT_EQ(answer.substr(answer.find("\r\n\r\n")), "\r\n\r\nOK");
}

#ifdef TALVIRO_WEB_CONFIG
// Basic auth: 401 asking for it without good credentials, and the web
// config's headers on every answer. Passwords are checked by bcrypt beside
// the serving thread, and good ones remembered: while a flood of wrong
// passwords waits for its checks (16 at most, the rest answered 503), a
// scraper whose password was found good before is answered at once.
TEST(ExporterHttp, PasswordsAreCheckedBesideTheServingThreadAndGoodOnesRemembered) {
    auto guard = std::make_shared<exporter::Guard>();
    // htpasswd -nbBC 10 prometheus 'a secret'
    guard->users["prometheus"] = "$2y$10$8B14VYO76G7SrMt5kDUkLOFS3sIL7/lOOHtjxs46EO65AcFc4/lHi";
    guard->headers = "X-Frame-Options: deny\r\n";
    Served served("127.0.0.1", [guard] { return guard; });
    const auto get = [](const std::string& credentials) {
        return "GET /metrics HTTP/1.1\r\nHost: a\r\n" +
               (credentials.empty() ? std::string() : "Authorization: Basic " + credentials + "\r\n") + "\r\n";
    };
    const std::string good = "cHJvbWV0aGV1czphIHNlY3JldA==";  // prometheus:a secret
    const struct {
        std::string credentials;
        const char* status;
    } table[] = {
        {"", "HTTP/1.1 401 Unauthorized"},
        {"cHJvbWV0aGV1czphIHNlY3JlVA==", "HTTP/1.1 401 Unauthorized"},  // prometheus:a secreT
        {"Z3JhZmFuYTphIHNlY3JldA==", "HTTP/1.1 401 Unauthorized"},      // grafana:a secret
        {"cHJvbWV0aGV1cw==", "HTTP/1.1 401 Unauthorized"},              // prometheus, no colon
        {"cHJvbWV0aGV1czphIHNlY3JldA", "HTTP/1.1 401 Unauthorized"},    // unpadded
        {good, "HTTP/1.1 200 OK"},
    };
    for (const auto& row : table) {
        Client client(served.port);
        client.send_text(get(row.credentials));
        const std::string answer = client.answer(5000);
        EXPECT_EQ(status_line(answer), row.status) << row.credentials;
        EXPECT_NE(answer.find("\r\nX-Frame-Options: deny\r\n"), std::string::npos) << answer;
        if (status_line(answer) == "HTTP/1.1 401 Unauthorized") {
            EXPECT_NE(answer.find("\r\nWWW-Authenticate: Basic\r\n"), std::string::npos) << answer;
        }
    }

    // The flood, from two addresses of its own, then the scraper.
    constexpr size_t kFlood = exporter::kMaxPendingChecks + 8;
    std::vector<std::unique_ptr<Client>> flood;
    for (size_t i = 0; i < kFlood; ++i) {
        flood.push_back(std::make_unique<Client>(served.port, loopback(2 + i % 2)));
        flood.back()->send_text(get(i % 3 == 0 ? "Z3JhZmFuYTphIHNlY3JldA==" : "cHJvbWV0aGV1czphIHNlY3JlVA=="));
    }
    const Clock::time_point start = Clock::now();
    Client scrape(served.port);
    scrape.send_text(get(good));
    const std::string answer = scrape.answer(5000);
    EXPECT_EQ(status_line(answer), "HTTP/1.1 200 OK");
    EXPECT_LT(ms_since(start), 1000);
    // Answered while the flood's checks were still under way.
    bool closed = false;
    size_t waiting = 0;
    std::vector<std::string> answers;
    for (const auto& client : flood) {
        answers.push_back(client->answer(0, &closed));
        waiting += answers.back().empty() && !closed;
    }
    EXPECT_GE(waiting, 2u);
    // Each is refused: 401, or 503 beyond the checks that may wait (or on a
    // machine so loaded that its check outlasted the 5 s an answer may take).
    size_t unauthorized = 0, busy = 0, served_any = 0;
    for (size_t i = 0; i < flood.size(); ++i) {
        const std::string status = status_line(answers[i] + flood[i]->answer(30000));
        unauthorized += status == "HTTP/1.1 401 Unauthorized";
        busy += status == "HTTP/1.1 503 Service Unavailable";
        served_any += status == "HTTP/1.1 200 OK";
    }
    EXPECT_EQ(served_any, 0u);
    EXPECT_EQ(unauthorized + busy, kFlood);
    EXPECT_GE(unauthorized, 1u);
    EXPECT_GE(busy, 1u);
}
#endif

TEST(ExporterHttp, EveryIpv6AddressTakesIpv4Too) {
    // Windows' sockets take IPv6 only unless told otherwise, Linux's both.
    Served both("::");
    Client over_ipv4(both.port);
    over_ipv4.send_text(request(0));
    EXPECT_EQ(status_line(over_ipv4.answer(1000)), "HTTP/1.1 200 OK");
}

TEST(ExporterHttp, AHeaderNotEndedByTheDeadlineIsAnswered408) {
    Served served;
    const Clock::time_point start = Clock::now();
    Client slow(served.port);
    slow.send_text("GET /metrics HTTP/1.1\r\nX-Slow: a");
    bool closed = false;
    const std::string answer = slow.answer(static_cast<int>(limits::kHeaderDeadlineMs) + 1000, &closed);
    const long took = ms_since(start);
    EXPECT_EQ(status_line(answer), "HTTP/1.1 408 Request Timeout");
    EXPECT_TRUE(closed);
    EXPECT_GE(took, static_cast<long>(limits::kHeaderDeadlineMs) - 10);
}

TEST(ExporterHttp, TheCapFollowsTheLimitOfOpenFiles) {
    const struct {
        uint64_t file_limit;
        size_t cap;
        size_t per_address;
    } table[] = {
        {0, limits::kMaxConnections, limits::kMaxConnections / limits::kAddressShare},
        {limits::kMaxConnections + limits::kReservedFiles, limits::kMaxConnections, 16},
        {limits::kMaxConnections + limits::kReservedFiles - 1, limits::kMaxConnections - 1, 15},
        {64, 32, 4},
        {limits::kReservedFiles + limits::kMinConnections, limits::kMinConnections, 1},
        {limits::kReservedFiles, limits::kMinConnections, 1},
        {3, limits::kMinConnections, 1},
    };
    for (const auto& row : table) {
        EXPECT_EQ(exporter::connection_cap(row.file_limit), row.cap) << row.file_limit;
        EXPECT_EQ(exporter::address_cap(row.cap), row.per_address) << row.file_limit;
    }
}

TEST(ExporterHttp, AtTheCapTheOldestHeaderOfTheBusiestAddressGoesForANewScrape) {
    Served served;
    ASSERT_EQ(served.server.capacity(), limits::kMaxConnections);
    // The cap exactly: eight addresses hold one short of their share each,
    // eight more one connection each.
    const size_t busy = exporter::address_cap(limits::kMaxConnections) - 1;
    constexpr size_t kBusyAddresses = 8;
    std::vector<std::unique_ptr<Client>> slow;
    for (size_t i = 0; i < limits::kMaxConnections; ++i) {
        const size_t n = i < busy * kBusyAddresses ? 1 + i / busy : 1 + kBusyAddresses + i - busy * kBusyAddresses;
        slow.push_back(std::make_unique<Client>(served.port, loopback(n)));
        slow.back()->send_text("GET /metrics HTTP/1.1\r\n");
    }
    const auto still_open = [&slow](size_t from) {
        bool closed = false;
        for (size_t i = from; i < slow.size(); ++i) {
            slow[i]->answer(0, &closed);
            EXPECT_FALSE(closed) << i;
        }
    };
    // A newcomer from an address that holds as many as any other pushes
    // none of their headers out: it is closed itself, and the 128 stay.
    bool closed = false;
    Client greedy(served.port, loopback(1));
    greedy.send_text(request(0));
    EXPECT_EQ(greedy.answer(2000, &closed), "");
    EXPECT_TRUE(closed);
    still_open(0);

    const Clock::time_point start = Clock::now();
    Client scrape(served.port, loopback(200));
    scrape.send_text(request(0));
    const std::string answer = scrape.answer(2000);
    // Without room made, the scrape would wait for the header deadline.
    EXPECT_LT(ms_since(start), 1000);
    EXPECT_EQ(status_line(answer), "HTTP/1.1 200 OK");
    EXPECT_NE(answer.find("talviro_probe_up"), std::string::npos);
    // The first of the slow ones made room, closed unanswered; the other
    // 127 are still open.
    EXPECT_EQ(slow.front()->answer(100, &closed), "");
    EXPECT_TRUE(closed);
    still_open(1);
}

TEST(ExporterHttp, OneAddressHoldsAShareAndMakesRoomFromItsOwn) {
    Served served;
    const size_t per_address = exporter::address_cap(served.server.capacity());
    std::vector<std::unique_ptr<Client>> idle;
    for (size_t i = 0; i < per_address + 2; ++i) idle.push_back(std::make_unique<Client>(served.port));
    Client other(served.port, loopback(2));
    // The address's share taken, its own oldest two went for its newest.
    Client scrape(served.port);
    scrape.send_text(request(0));
    EXPECT_EQ(status_line(scrape.answer(2000)), "HTTP/1.1 200 OK");
    bool closed = false;
    for (size_t i = 0; i < idle.size(); ++i) {
        idle[i]->answer(i < 3 ? 100 : 0, &closed);
        EXPECT_EQ(closed, i < 3) << i;
    }
    other.answer(0, &closed);
    EXPECT_FALSE(closed);
}

#ifndef _WIN32
// One address churns 3 000 connections, opening them again as fast as they
// are closed; another scrapes every 0.2 s, sending its request 0.2 s after
// its connection is made: every one of its scrapes is answered.
TEST(ExporterHttp, ChurnFromOneAddressCostsAnotherNoScrape) {
    constexpr size_t kChurned = 3000;
    constexpr int kScrapes = 8;
    // Room for the churning sockets besides the server's.
    rlimit files{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    const rlim_t wanted = 2 * kChurned;
    if (files.rlim_cur < wanted && files.rlim_max >= wanted) {
        files.rlim_cur = wanted;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
    }
    ASSERT_GE(files.rlim_cur, wanted) << "the limit of open files is too low for this test";
    Served served;
    std::atomic<bool> stop{false};
    std::atomic<long> churned{0};
    std::thread churner([&] {
        std::vector<pollfd> sockets;
        const auto open_one = [&](pollfd& entry) {
            entry.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            entry.events = POLLIN;
            sockaddr_in to = loopback_to(served.port, loopback(1));
            connect(entry.fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
            ++churned;
        };
        sockets.resize(kChurned);
        for (pollfd& entry : sockets) open_one(entry);
        while (!stop) {
            if (poll(sockets.data(), sockets.size(), 10) <= 0) continue;
            for (pollfd& entry : sockets) {
                if (entry.revents == 0) continue;
                close(entry.fd);
                open_one(entry);
            }
        }
        for (pollfd& entry : sockets) close(entry.fd);
    });
    int answered = 0;
    for (int i = 0; i < kScrapes; ++i) {
        Client scrape(served.port, loopback(2));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        scrape.send_text(request(0));
        const std::string answer = scrape.answer(3000);
        EXPECT_EQ(status_line(answer), "HTTP/1.1 200 OK") << "scrape " << i;
        answered += status_line(answer) == "HTTP/1.1 200 OK";
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    stop = true;
    churner.join();
    EXPECT_EQ(answered, kScrapes);
    // The churn was one: connections made again once closed, by thousands.
    EXPECT_GT(churned.load(), static_cast<long>(kChurned) + 1000) << churned.load();
}
#endif

// A stop during a readout of a probe that fell silent abandons the waits:
// that readout is no measurement and no fault of the probe, so it is neither
// counted nor failed, and the probe is not reported lost.
class ExporterLoop : public SimFixture {
protected:
    void TearDown() override {
        d2xx_clear_abandon();
        SimFixture::TearDown();
    }
};

TEST_F(ExporterLoop, ReadoutCutShortByAStopIsNeitherFailedNorLost) {
    ManualRunClock run_clock{clock};
    exporter::ReportBoard board;
    std::ostringstream err;
    volatile std::sig_atomic_t stop = 0;
    // Once the open is done and a readout has begun writing, the probe
    // falls silent and the program is asked to end.
    dev().set_call_hook([&] {
        if (stop == 0 && dev().calls(sim::Fn::Write).size() == 2) {
            dev().limit_reads(0);
            stop = 1;
            probe_abandon_waits();
        }
    });
    exporter::ReadoutLoop loop({"TV0001B"}, 1000, run_clock, board, err, "talviro_exporter");
    loop.run(stop);
    dev().set_call_hook({});

    ASSERT_NE(stop, 0) << "no readout began";
    const std::vector<ProbeReport> reports = board.reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].readouts, 0u);
    EXPECT_EQ(reports[0].failed_readouts, 0u);
    EXPECT_EQ(err.str(), "talviro_exporter: reading probe TV0001B\n");
    EXPECT_FALSE(dev().channel_open('B'));
}

// A probe that is there but silent costs each attempt its engine check;
// the attempts still start every half second, as talviro_read's do.
TEST_F(ExporterLoop, AttemptsStartEveryHalfSecondHoweverLongEachTakes) {
    ManualRunClock run_clock{clock};
    exporter::ReportBoard board;
    std::ostringstream err;
    volatile std::sig_atomic_t stop = 0;
    dev().limit_reads(0);
    run_clock.after_sleep = [&](size_t) {
        if (clock.now_ms() >= 1200) stop = 1;
    };
    exporter::ReadoutLoop loop({"TV0001B"}, 1000, run_clock, board, err, "talviro_exporter");
    loop.run(stop);

    std::vector<uint64_t> starts;
    for (const sim::Call& call : dev().calls(sim::Fn::OpenEx)) starts.push_back(call.time_ms);
    EXPECT_EQ(starts, (std::vector<uint64_t>{0, 500, 1000}));
    EXPECT_EQ(board.reports().at(0).readouts, 0u);
}
