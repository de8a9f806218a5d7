#include "app/talviro_guiApp.h"

#include "gui/talviro_guiFrame.h"

#include <wx/image.h>

// On Linux this gives the toolkit's main(), which hands argc and argv to
// wxEntry unchanged and returns its status. The factory it registers first
// calls wxAppConsole::CheckBuildOptions with WX_BUILD_OPTIONS_SIGNATURE and
// "your program": the signature is that of the wxWidgets build this program
// is compiled and linked against (found by CMake), not a fixed string, so the
// check compares it with the library actually loaded at run time.
wxIMPLEMENT_APP(talviro_guiApp);

bool talviro_guiApp::OnInit() {
    wxInitAllImageHandlers();
    talviro_guiFrame* frame = new talviro_guiFrame(nullptr, -1);
    frame->Show(true);
    SetTopWindow(frame);
    return true;
}
