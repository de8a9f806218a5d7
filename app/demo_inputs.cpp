// talviro_gui_demo's probe sees a drifting target, so continuous refresh
// shows live change, and each transfer takes the bus time of a high-speed
// microframe, so that a readout takes about as long as on a real probe and a
// capture "as fast as the probe" takes about as many.
//
// Installed from a wxModule, which the toolkit initialises during start-up,
// after its own set-up and before OnInit builds the window (and with it the
// first connection and readout).
#include "demo/demo_target.h"

#include <wx/module.h>

#include <chrono>
#include <thread>

namespace {

// USB 2.0 high speed: bus time comes in 125 us microframes.
constexpr std::chrono::microseconds kMicroframe(125);

class DemoInputsModule : public wxModule {
public:
    bool OnInit() override {
        sim::use_demo_target();
        // Slept in whole milliseconds: shorter sleeps last a millisecond or
        // more on Windows. Only the thread that calls the driver runs it.
        sim::device().set_call_hook([owed = std::chrono::microseconds(0)]() mutable {
            owed += kMicroframe;
            if (owed < std::chrono::milliseconds(1)) return;
            std::this_thread::sleep_for(owed);
            owed = {};
        });
        return true;
    }
    void OnExit() override {}

private:
    wxDECLARE_DYNAMIC_CLASS(DemoInputsModule);
};

wxIMPLEMENT_DYNAMIC_CLASS(DemoInputsModule, wxModule);

}  // namespace
