// The programs' clock and stop handling on Windows. A console delivers
// Ctrl-C, Ctrl-Break and the closing of its window to a handler that runs
// on a thread of its own, so the handler sets the stop flag and wakes a
// sleeping run through an event, as the POSIX signal handler does through
// its pipe.
#include "console/clock.h"

#include "probe/probe_channel.h"

#include <windows.h>

#include <atomic>
#include <chrono>

namespace console {

namespace {

volatile std::sig_atomic_t g_stop = 0;
// Manual-reset: once stopped, every later wait returns at once.
HANDLE g_wake = nullptr;
std::atomic<int> g_interrupts{0};

using ForcedStopHook = void (*)();
std::atomic<ForcedStopHook> g_forced_stop_hook{nullptr};

// After the console window's close button Windows ends the process as soon
// as the handler returns, or after about five seconds. The handler waits at
// most this long, so that the run can finish its readout and give the
// channel back before the process goes.
constexpr DWORD kCloseGraceMs = 4500;

template <typename Clock>
int64_t ms_since_epoch() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        // A second interrupt ends the process at once, for a probe stuck in
        // driver time-outs: FALSE hands it to the default handler.
        if (g_interrupts.fetch_add(1) > 0) {
            if (const ForcedStopHook hook = g_forced_stop_hook.load()) hook();
            return FALSE;
        }
        request_stop();
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        request_stop();
        // The process ends when main() returns; until then this thread waits.
        Sleep(kCloseGraceMs);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

bool install_stop_signals() {
    if (g_wake == nullptr) g_wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const bool handled = SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
    return handled && g_wake != nullptr;
}

void request_stop() {
    g_stop = 1;
    probe_abandon_waits();
    if (g_wake != nullptr) SetEvent(g_wake);
}

void set_forced_stop_hook(void (*hook)()) { g_forced_stop_hook.store(hook); }

const volatile std::sig_atomic_t& stop_flag() { return g_stop; }

uint64_t SystemClock::steady_ms() {
    return static_cast<uint64_t>(ms_since_epoch<std::chrono::steady_clock>());
}

int64_t SystemClock::wall_ms() { return ms_since_epoch<std::chrono::system_clock>(); }

void SystemClock::sleep_ms(uint64_t ms, const volatile std::sig_atomic_t& stop) {
    const uint64_t deadline = steady_ms() + ms;
    while (!stop) {
        const uint64_t now = steady_ms();
        if (now >= deadline) return;
        const uint64_t left = deadline - now;
        const DWORD slice = left < INFINITE ? static_cast<DWORD>(left) : INFINITE - 1;
        // Without the event (it could not be made) this is a plain sleep.
        if (g_wake == nullptr)
            Sleep(slice);
        else
            WaitForSingleObject(g_wake, slice);
    }
}

}  // namespace console
