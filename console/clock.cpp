#include "console/clock.h"

#include "probe/probe_channel.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace console {

namespace {

volatile std::sig_atomic_t g_stop = 0;
// The handler writes a byte here; sleep_ms polls the read end. A flag alone
// would not do: the signal may land on a driver thread, or between the test
// of the flag and the start of the wait, and the wait would run its course.
int g_wake_read = -1;
int g_wake_write = -1;

constexpr int kStopSignals[] = {SIGINT, SIGTERM};
constexpr size_t kStopSignalCount = sizeof kStopSignals / sizeof kStopSignals[0];
// Which of kStopSignals arrived already: a second one of a kind ends the process.
volatile std::sig_atomic_t g_seen[kStopSignalCount] = {};

using ForcedStopHook = void (*)();
std::atomic<ForcedStopHook> g_forced_stop_hook{nullptr};
static_assert(std::atomic<ForcedStopHook>::is_always_lock_free, "read inside a signal handler");
constexpr uint64_t kMsPerSecond = 1000;
constexpr uint64_t kNsPerMs = 1000000;

extern "C" void on_stop_signal(int signal_number) {
    const int saved_errno = errno;
    for (size_t i = 0; i < kStopSignalCount; ++i) {
        if (kStopSignals[i] != signal_number) continue;
        if (g_seen[i]) {
            if (const ForcedStopHook hook = g_forced_stop_hook.load()) hook();
            // The signal is blocked while its handler runs: it ends the
            // process with the default action as soon as the handler returns.
            signal(signal_number, SIG_DFL);
            raise(signal_number);
            return;
        }
        g_seen[i] = 1;
    }
    request_stop();  // async-signal-safe: a flag, a lock-free atomic, write()
    errno = saved_errno;
}

template <typename Clock>
int64_t ms_since_epoch() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

}  // namespace

bool install_stop_signals() {
    bool ok = true;
    if (g_wake_read < 0) {
        int fds[2];
        // Non-blocking, so that the handler never waits on a full pipe.
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            g_wake_read = fds[0];
            g_wake_write = fds[1];
        } else {
            ok = false;
        }
    }
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal_number : kStopSignals)
        if (sigaction(signal_number, &action, nullptr) != 0) ok = false;
    return ok;
}

void request_stop() {
    g_stop = 1;
    // A lock-free atomic store: a driver read waiting on a silent probe
    // gives up at its next look instead of running out its time-out.
    probe_abandon_waits();
    if (g_wake_write >= 0) {
        const char byte = 1;
        // A full pipe (EAGAIN) already wakes the sleeper; nothing else can
        // be done inside a signal handler anyway.
        const ssize_t written = write(g_wake_write, &byte, sizeof byte);
        static_cast<void>(written);
    }
}

void set_forced_stop_hook(void (*hook)()) { g_forced_stop_hook.store(hook); }

const volatile std::sig_atomic_t& stop_flag() { return g_stop; }

uint64_t SystemClock::steady_ms() {
    return static_cast<uint64_t>(ms_since_epoch<std::chrono::steady_clock>());
}

int64_t SystemClock::wall_ms() {
    return ms_since_epoch<std::chrono::system_clock>();
}

void SystemClock::sleep_ms(uint64_t ms, const volatile std::sig_atomic_t& stop) {
    const uint64_t deadline = steady_ms() + ms;
    while (!stop) {
        const uint64_t now = steady_ms();
        if (now >= deadline) return;
        pollfd wake{g_wake_read, POLLIN, 0};
        // Without the pipe (fd -1) poll ignores the entry and just waits;
        // EINTR and an early wake-up both lead back to the checks above.
        const int timeout = static_cast<int>(std::min<uint64_t>(deadline - now, INT_MAX));
        const int ready = poll(&wake, 1, timeout);
        if (ready > 0 && !stop) {
            // The signal set another flag than the one this wait is for:
            // drop the byte so the wait goes on instead of spinning.
            char byte;
            while (read(g_wake_read, &byte, sizeof byte) > 0) {
            }
        } else if (ready < 0 && errno != EINTR) {
            // poll itself failing must not turn the wait into a busy loop.
            // nanosleep, unlike sleep_for, gives up on a signal to this thread.
            const uint64_t left_ms = deadline - now;
            timespec pause{static_cast<time_t>(left_ms / kMsPerSecond),
                           static_cast<long>(left_ms % kMsPerSecond * kNsPerMs)};
            nanosleep(&pause, nullptr);  // its EINTR just leads back to the checks
        }
    }
}

}  // namespace console
