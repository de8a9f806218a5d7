// talviro_gui_demo's probe sees a drifting target, so continuous refresh
// shows live change.
//
// Installed from a wxModule, which the toolkit initialises during start-up,
// after its own set-up and before OnInit builds the window (and with it the
// first connection and readout).
#include "demo/demo_target.h"

#include <wx/module.h>

namespace {

class DemoInputsModule : public wxModule {
public:
    bool OnInit() override {
        sim::use_demo_target();
        return true;
    }
    void OnExit() override {}

private:
    wxDECLARE_DYNAMIC_CLASS(DemoInputsModule);
};

wxIMPLEMENT_DYNAMIC_CLASS(DemoInputsModule, wxModule);

}  // namespace
