// The yardstick for start-up time and memory: the least a wxWidgets program
// that shows a frame costs, built with the same toolkit, compiler and flags
// as the measurement window. It is shaped like the toolkit's own "minimal"
// sample: a frame with a menu bar and a status bar that shows one line of
// text, so both programs pay for starting the font system before they are
// shown, as any window with text does. It gets the window's client size, so
// the two differ in what they hold, not in how many pixels they cover.
#include <wx/app.h>
#include <wx/frame.h>
#include <wx/menu.h>

namespace {

const wxString kTitle = "TALVIRO minimal frame";
const wxSize kClientSize(496, 196);  // the measurement window's
const wxString kWelcome = "Welcome to wxWidgets!";

}  // namespace

class MinimalApp : public wxApp {
public:
    bool OnInit() override {
        wxFrame* frame = new wxFrame(nullptr, wxID_ANY, kTitle);
        wxMenu* file = new wxMenu;
        file->Append(wxID_EXIT);
        wxMenu* help = new wxMenu;
        help->Append(wxID_ABOUT);
        wxMenuBar* bar = new wxMenuBar;
        bar->Append(file, "&File");
        bar->Append(help, "&Help");
        frame->SetMenuBar(bar);
        frame->CreateStatusBar();
        frame->SetStatusText(kWelcome);
        frame->SetClientSize(kClientSize);
        frame->Show(true);
        SetTopWindow(frame);
        return true;
    }
};

wxIMPLEMENT_APP(MinimalApp);
