// The yardstick for start-up time and memory: the least a wxWidgets program
// that shows a frame costs, built with the same toolkit, compiler and flags
// as the measurement window. It gets the window's client size, so the two
// differ in what they hold, not in how many pixels they cover.
#include <wx/app.h>
#include <wx/frame.h>

namespace {

const wxString kTitle = "TALVIRO minimal frame";
const wxSize kClientSize(496, 196);  // the measurement window's

}  // namespace

class MinimalApp : public wxApp {
public:
    bool OnInit() override {
        wxFrame* frame = new wxFrame(nullptr, wxID_ANY, kTitle);
        frame->SetClientSize(kClientSize);
        frame->Show(true);
        SetTopWindow(frame);
        return true;
    }
};

wxIMPLEMENT_APP(MinimalApp);
