#include "exporter/http_server.h"

#include "exporter/metrics.h"

#include <httplib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <vector>

namespace exporter {

namespace {

using namespace http_limits;

constexpr int kNotFound = 404;
constexpr int kMethodNotAllowed = 405;
constexpr int kPayloadTooLarge = 413;
constexpr const char* kAllowedMethods = "GET, HEAD";
constexpr const char* kTextType = "text/plain; charset=utf-8";
constexpr const char* kPageType = "text/html; charset=utf-8";
constexpr const char* kIndexPage =
    "<!DOCTYPE html><html><head><title>TALVIRO exporter</title></head>"
    "<body><a href=\"/metrics\">Metrics</a></body></html>\n";
constexpr long kUsPerSecond = 1000000;
constexpr int kStopPollMs = 10;

// A thread for each connection, made when a connection finds none free, up
// to max; beyond that connections wait in turn. A pool of fixed size would
// let a few connections that send nothing keep a scrape waiting.
class ConnectionThreads : public httplib::TaskQueue {
public:
    explicit ConnectionThreads(size_t max) : max_(max) {}
    ~ConnectionThreads() override = default;

    void enqueue(std::function<void()> job) override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back(std::move(job));
            if (jobs_.size() > idle_ && threads_.size() < max_)
                threads_.emplace_back([this] { work(); });
        }
        wake_.notify_one();
    }

    void shutdown() override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            shutting_down_ = true;
        }
        wake_.notify_all();
        for (std::thread& thread : threads_) thread.join();
    }

private:
    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            ++idle_;
            wake_.wait(lock, [this] { return !jobs_.empty() || shutting_down_; });
            --idle_;
            // Queued connections are served even when shutting down: each
            // job owns its socket and closes it.
            if (jobs_.empty()) return;
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }

    const size_t max_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::list<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;  // only the listening thread adds and joins
    size_t idle_ = 0;
    bool shutting_down_ = false;
};

// The address is this program's alone: cpp-httplib's default, SO_REUSEPORT,
// would let a second exporter share the port and take half the scrapes.
void exclusive_address(socket_t sock) {
    int yes = 1;
#ifdef _WIN32
    setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes);
#else
    // Only lets a restart bind while old connections linger in TIME_WAIT.
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
#endif
}

bool has_body(const httplib::Request& request) {
    return request.has_header("Transfer-Encoding") ||
           request.get_header_value<uint64_t>("Content-Length") > 0;
}

}  // namespace

struct MetricsServer::Ended {
    std::mutex mutex;
    std::condition_variable changed;
    bool ended = false;
};

MetricsServer::MetricsServer(Render metrics)
    : server_(std::make_unique<httplib::Server>()), ended_(std::make_shared<Ended>()) {
    httplib::Server& s = *server_;
    s.new_task_queue = [] { return new ConnectionThreads(kMaxConnections); };
    s.set_socket_options(exclusive_address);
    s.set_keep_alive_max_count(1);
    s.set_keep_alive_timeout(kFirstRequestWaitS);
    s.set_read_timeout(kSocketTimeoutUs / kUsPerSecond, kSocketTimeoutUs % kUsPerSecond);
    s.set_write_timeout(kSocketTimeoutUs / kUsPerSecond, kSocketTimeoutUs % kUsPerSecond);
    s.set_payload_max_length(kMaxBodyBytes);
    // Every request is answered here, before cpp-httplib would read a body
    // or look for files.
    s.set_pre_routing_handler([metrics = std::move(metrics)](const httplib::Request& request,
                                                             httplib::Response& response) {
        const bool known = request.path == "/" || request.path == "/metrics";
        if (!known) {
            response.status = kNotFound;
            response.set_content("Not found: try /metrics\n", kTextType);
        } else if (request.method != "GET" && request.method != "HEAD") {
            response.status = kMethodNotAllowed;
            response.set_header("Allow", kAllowedMethods);
            response.set_content("Only GET and HEAD\n", kTextType);
        } else if (has_body(request)) {
            response.status = kPayloadTooLarge;
            response.set_content("A GET carries no body\n", kTextType);
        } else if (request.path == "/metrics") {
            response.set_content(metrics(), kContentType);
        } else {
            response.set_content(kIndexPage, kPageType);
        }
        return httplib::Server::HandlerResponse::Handled;
    });
}

MetricsServer::~MetricsServer() {
    if (!listener_.joinable()) return;
    while (!stop_within(std::chrono::milliseconds(kStopWaitMs))) {
    }
}

int MetricsServer::bind(const std::string& host, int port, std::string* error) {
    errno = 0;
    const int bound = port == 0 ? server_->bind_to_any_port(host)
                                : (server_->bind_to_port(host, port) ? port : -1);
    if (bound < 0) {
        const int cause = errno;
        *error = cause != 0 ? std::strerror(cause) : "no such address on this computer";
    }
    return bound;
}

void MetricsServer::start() {
    listener_ = std::thread([server = server_.get(), ended = ended_] {
        server->listen_after_bind();
        const std::lock_guard<std::mutex> lock(ended->mutex);
        ended->ended = true;
        ended->changed.notify_all();
    });
}

bool MetricsServer::stop() { return stop_within(std::chrono::milliseconds(kStopWaitMs)); }

bool MetricsServer::stop_within(std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::unique_lock<std::mutex> lock(ended_->mutex);
    while (!ended_->ended) {
        // cpp-httplib's stop does nothing before its loop runs, and must be
        // called once only: it is sent as soon as the loop is there.
        if (!stop_sent_ && server_->is_running()) {
            server_->stop();
            stop_sent_ = true;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        ended_->changed.wait_for(lock, std::min<std::chrono::steady_clock::duration>(
                                           deadline - now, std::chrono::milliseconds(kStopPollMs)));
    }
    lock.unlock();
    if (listener_.joinable()) listener_.join();
    return true;
}

}  // namespace exporter
