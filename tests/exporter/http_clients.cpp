// Hostile HTTP clients for the exporter's tests, on loopback only, from
// 127.0.0.2: another computer of the lab than the scraper's 127.0.0.1.
//   talviro_http_clients PORT SECONDS TRICKLING FLOODING
// For SECONDS, keeps TRICKLING connections each sending one byte of a
// header that never ends every 0.3 s, and FLOODING connections sending
// header lines as fast as the server takes them. A connection the server
// closes is made again 0.3 s later (a trickling one at its next byte): a
// steady siege, not a storm of new connections. Then prints how the server
// ended them:
//   connections N, answered 408: A, answered 431: B, answered otherwise: C, closed unanswered: D
// Exit status 0 after the run, 1 when a socket could not be made.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kClientAddress = (127u << 24) | 2;  // 127.0.0.2
constexpr uint64_t kTrickleEveryMs = 300;
constexpr int kLongestPollMs = 50;
constexpr size_t kKeptAnswerBytes = 64;
constexpr size_t kFloodChunk = 4096;
constexpr const char* kRequestLine = "GET /metrics HTTP/1.1\r\n";
constexpr const char* kTrickledHeader = "GET /metrics HTTP/1.1\r\nX-Slow: ";
constexpr const char* kFloodLine = "X-Flood: aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\r\n";

uint64_t now_ms() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

struct Tally {
    long connections = 0;
    long answered_408 = 0;
    long answered_431 = 0;
    long answered_otherwise = 0;
    long unanswered = 0;
};

struct Connection {
    int socket = -1;
    bool flooding = false;
    bool connecting = false;
    size_t sent = 0;          // bytes of the header sent
    uint64_t next_byte_ms = 0;  // when the next byte (trickling) or a new connection is due
    std::string answer;       // its first kKeptAnswerBytes
};

class Clients {
public:
    Clients(int port, int trickling, int flooding) : port_(port) {
        for (int i = 0; i < trickling + flooding; ++i) {
            Connection c;
            c.flooding = i >= trickling;
            // Spread over the first interval, as clients arriving over time.
            const auto place = static_cast<uint64_t>(i);
            c.next_byte_ms = now_ms() + kTrickleEveryMs * place / static_cast<uint64_t>(trickling + 1);
            connections_.push_back(c);
        }
        std::string line_block;
        while (line_block.size() + std::string(kFloodLine).size() <= kFloodChunk) line_block += kFloodLine;
        flood_block_ = line_block;
    }
    ~Clients() {
        for (Connection& c : connections_)
            if (c.socket >= 0) close(c.socket);
    }

    bool run(uint64_t seconds) {
        const uint64_t end = now_ms() + seconds * 1000;
        std::vector<pollfd> entries;
        while (now_ms() < end) {
            const uint64_t now = now_ms();
            for (Connection& c : connections_) {
                if (c.socket < 0 && now >= c.next_byte_ms && !open(c)) return false;
                if (!c.flooding && !c.connecting && c.socket >= 0 && now >= c.next_byte_ms) trickle(c, now);
            }
            entries.clear();
            int wait = kLongestPollMs;
            for (const Connection& c : connections_) {
                short events = POLLIN;
                if (c.connecting || c.flooding) events |= POLLOUT;
                entries.push_back(pollfd{c.socket, events, 0});  // a socket of -1 is left out by poll
                if (c.flooding || c.connecting) continue;
                const uint64_t due = c.next_byte_ms > now ? c.next_byte_ms - now : 0;
                wait = std::min(wait, static_cast<int>(std::min<uint64_t>(due, kLongestPollMs)));
            }
            if (poll(entries.data(), entries.size(), wait) < 0 && errno != EINTR) return false;
            for (size_t i = 0; i < entries.size(); ++i) {
                Connection& c = connections_[i];
                const short events = entries[i].revents;
                if (c.socket < 0 || events == 0) continue;
                if (c.connecting && (events & (POLLOUT | POLLERR | POLLHUP))) {
                    int error = 0;
                    socklen_t length = sizeof error;
                    getsockopt(c.socket, SOL_SOCKET, SO_ERROR, &error, &length);
                    if (error != 0) {
                        end_connection(c);
                        continue;
                    }
                    c.connecting = false;
                }
                if (events & (POLLIN | POLLERR | POLLHUP)) read_answer(c);
                if (c.socket >= 0 && c.flooding && !c.connecting && (events & POLLOUT)) flood(c);
            }
        }
        return true;
    }

    const Tally& tally() const { return tally_; }

private:
    bool open(Connection& c) {
        c.socket = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (c.socket < 0) return false;
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(kClientAddress);
        if (bind(c.socket, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) return false;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port_));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        c.connecting = connect(c.socket, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0;
        if (c.connecting && errno != EINPROGRESS) {
            end_connection(c);
            return true;
        }
        c.sent = 0;
        c.answer.clear();
        ++tally_.connections;
        return true;
    }

    void trickle(Connection& c, uint64_t now) {
        const std::string header = kTrickledHeader;
        const char byte = c.sent < header.size() ? header[c.sent] : 'a';
        if (send(c.socket, &byte, 1, MSG_NOSIGNAL) == 1) ++c.sent;
        c.next_byte_ms = now + kTrickleEveryMs;
    }

    void flood(Connection& c) {
        const std::string text = c.sent == 0 ? kRequestLine + flood_block_ : flood_block_;
        const ssize_t n = send(c.socket, text.data(), text.size(), MSG_NOSIGNAL);
        if (n > 0) c.sent += static_cast<size_t>(n);
        else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) read_answer(c);
    }

    void read_answer(Connection& c) {
        char chunk[4096];
        const ssize_t n = recv(c.socket, chunk, sizeof chunk, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
        if (n > 0) {
            const size_t room = kKeptAnswerBytes - std::min(kKeptAnswerBytes, c.answer.size());
            c.answer.append(chunk, std::min(static_cast<size_t>(n), room));
            return;
        }
        end_connection(c);
    }

    void end_connection(Connection& c) {
        if (c.answer.empty())
            ++tally_.unanswered;
        else if (c.answer.rfind("HTTP/1.1 408 ", 0) == 0)
            ++tally_.answered_408;
        else if (c.answer.rfind("HTTP/1.1 431 ", 0) == 0)
            ++tally_.answered_431;
        else
            ++tally_.answered_otherwise;
        close(c.socket);
        c.socket = -1;
        c.connecting = false;
        // A closed or refused connection is made again after a pause, not
        // in a loop that would take a core from the server it attacks.
        c.next_byte_ms = now_ms() + kTrickleEveryMs;
    }

    int port_;
    std::vector<Connection> connections_;
    std::string flood_block_;
    Tally tally_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: talviro_http_clients PORT SECONDS TRICKLING FLOODING\n");
        return 2;
    }
    Clients clients(std::atoi(argv[1]), std::atoi(argv[3]), std::atoi(argv[4]));
    const bool ran = clients.run(static_cast<uint64_t>(std::atoi(argv[2])));
    const Tally& t = clients.tally();
    std::printf("connections %ld, answered 408: %ld, answered 431: %ld, answered otherwise: %ld, "
                "closed unanswered: %ld\n",
                t.connections, t.answered_408, t.answered_431, t.answered_otherwise, t.unanswered);
    if (!ran) std::perror("talviro_http_clients");
    return ran ? 0 : 1;
}
