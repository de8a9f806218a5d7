#include "event_loop.h"

#include <wx/evtloop.h>
#include <wx/stopwatch.h>
#include <wx/timer.h>

namespace gui_test {

namespace {

constexpr int kPollMs = 10;

// Checks the condition between events and ends the loop when it holds or
// time is up.
class LoopGuard : public wxTimer {
public:
    LoopGuard(wxEventLoopBase& loop, const std::function<bool()>& done, int timeout_ms)
        : loop_(loop), done_(done), timeout_ms_(timeout_ms) {}
    void Notify() override {
        if ((done_ && done_()) || watch_.Time() >= timeout_ms_) loop_.Exit();
    }

private:
    wxEventLoopBase& loop_;
    const std::function<bool()>& done_;
    const long timeout_ms_;
    wxStopWatch watch_;
};

}  // namespace

bool run_event_loop_until(const std::function<bool()>& done, int timeout_ms) {
    if (done && done()) return true;
    wxGUIEventLoop loop;
    LoopGuard guard(loop, done, timeout_ms);
    guard.Start(kPollMs);
    loop.Run();
    guard.Stop();
    return done && done();
}

void run_event_loop_for(int ms) { run_event_loop_until(nullptr, ms); }

std::string utf8(const wxString& s) { return s.utf8_string(); }

}  // namespace gui_test
