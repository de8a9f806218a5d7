// Basic auth passwords checked against their bcrypt hashes on a thread of
// their own: a check costs tens of milliseconds at cost 10, and must never
// hold the thread that serves every other client. Credentials found good
// are remembered, as Prometheus' exporter toolkit does, so that an honest
// scraper pays for bcrypt once; a flood of wrong passwords only waits for
// the checking thread, or is turned away when too many wait.
#ifndef TALVIRO_EXPORTER_PASSWORD_CHECK_H
#define TALVIRO_EXPORTER_PASSWORD_CHECK_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

namespace exporter {

// Checks waiting at once; one more is Busy (503). A check not done within
// the 5 s an answer may take is answered 503 too.
constexpr size_t kMaxPendingChecks = 16;
// Good credentials remembered; the memory is emptied when full.
constexpr size_t kMaxRememberedCredentials = 256;

class PasswordChecker {
public:
    enum class Verdict {
        Good,     // remembered as good
        Pending,  // queued: its result comes from done()
        Busy,     // kMaxPendingChecks are waiting already
    };
    PasswordChecker();
    // Ends the checking thread once its current check is done.
    ~PasswordChecker();
    PasswordChecker(const PasswordChecker&) = delete;
    PasswordChecker& operator=(const PasswordChecker&) = delete;

    // For the request id, whether user and password match users' hash for
    // user. An unknown user is checked against a hash of no one's, so that
    // the time taken does not tell which users there are. Called from one
    // thread, the serving one, as done() is.
    Verdict check(uint64_t id, const std::map<std::string, std::string>& users, const std::string& user,
                  const std::string& password);
    // The checks finished since the last call: request id and whether good.
    std::vector<std::pair<uint64_t, bool>> done();
    bool pending() const;

private:
    struct Job {
        uint64_t id;
        std::string hash;
        std::string password;
        std::string key;  // remembered when good
        bool known;
    };
    void work();

    std::unordered_set<std::string> good_;  // serving thread only
    size_t queued_ = 0;                     // serving thread only: checks not yet collected
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    std::vector<std::pair<Job, bool>> finished_;
    bool stop_ = false;
    std::thread worker_;
};

}  // namespace exporter

#endif
