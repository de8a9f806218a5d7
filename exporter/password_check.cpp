#include "exporter/password_check.h"

#include "exporter/bcrypt.h"

#include <openssl/evp.h>


#ifdef __linux__
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace exporter {

namespace {

// The nice value of the checking thread: the lowest priority.
[[maybe_unused]] constexpr int kCheckingNice = 19;

// A cost-10 hash of a password no one has, for unknown user names.
constexpr const char* kNoOnesHash = "$2y$10$Ry.17/hEZ7wqqn.HgEeJJuGdAz47NjKmhxU3WZbdHC.UvZK3/8VL6";

// What is remembered of good credentials: a digest, not the password.
std::string remembered_key(const std::string& user, const std::string& hash, const std::string& password) {
    const std::string text = user + '\0' + hash + '\0' + password;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

}  // namespace

PasswordChecker::PasswordChecker() : worker_([this] { work(); }) {}

PasswordChecker::~PasswordChecker() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    worker_.join();
}

PasswordChecker::Verdict PasswordChecker::check(uint64_t id, const std::map<std::string, std::string>& users,
                                                const std::string& user, const std::string& password) {
    const auto found = users.find(user);
    const bool known = found != users.end();
    const std::string& hash = known ? found->second : std::string(kNoOnesHash);
    std::string key = remembered_key(user, hash, password);
    if (known && good_.count(key) != 0) return Verdict::Good;
    if (queued_ >= kMaxPendingChecks) return Verdict::Busy;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(Job{id, hash, password, std::move(key), known});
    }
    ++queued_;
    wake_.notify_one();
    return Verdict::Pending;
}

std::vector<std::pair<uint64_t, bool>> PasswordChecker::done() {
    std::vector<std::pair<Job, bool>> finished;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        finished.swap(finished_);
    }
    std::vector<std::pair<uint64_t, bool>> results;
    for (auto& [job, good] : finished) {
        --queued_;
        if (good) {
            if (good_.size() >= kMaxRememberedCredentials) good_.clear();
            good_.insert(job.key);
        }
        results.emplace_back(job.id, good);
    }
    return results;
}

bool PasswordChecker::pending() const { return queued_ > 0; }

void PasswordChecker::work() {
#ifdef __linux__
    // The checks yield to the serving thread: an honest scrape never waits
    // for a stranger's password. Linux gives each thread a nice value of its own.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kCheckingNice);
#endif
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
        if (stop_) return;
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        const bool good = bcrypt_matches(job.password, job.hash) && job.known;
        lock.lock();
        finished_.emplace_back(std::move(job), good);
    }
}

}  // namespace exporter
