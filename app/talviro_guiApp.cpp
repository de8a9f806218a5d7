#include "app/talviro_guiApp.h"

#include "gui/talviro_guiFrame.h"

#include <wx/image.h>

#include <cstdio>
#include <cstdlib>

namespace {
// GTK's backends in order of preference: on a Wayland desktop the window then
// goes through Xwayland, whose window manager honours keep-above.
constexpr const char* preferred_gdk_backends = "x11,wayland";
constexpr int keep_users_choice = 0;  // setenv's "do not overwrite"
}  // namespace

// On Linux this gives the toolkit's main(), which hands argc and argv to
// wxEntry unchanged and returns its status. The factory it registers first
// calls wxAppConsole::CheckBuildOptions with WX_BUILD_OPTIONS_SIGNATURE and
// "your program": the signature is that of the wxWidgets build this program
// is compiled and linked against (found by CMake), not a fixed string, so the
// check compares it with the library actually loaded at run time.
wxIMPLEMENT_APP(talviro_guiApp);

// GTK reads GDK_BACKEND once, in gtk_init_check() inside wxApp::Initialize();
// wxEntryStart constructs the application object just before that call.
talviro_guiApp::talviro_guiApp() {
    if (setenv("GDK_BACKEND", preferred_gdk_backends, keep_users_choice) != 0)
        std::perror("talviro: cannot set GDK_BACKEND");
}

bool talviro_guiApp::OnInit() {
    wxInitAllImageHandlers();
    talviro_guiFrame* frame = new talviro_guiFrame(nullptr, -1);
    frame->Show(true);
    SetTopWindow(frame);
    return true;
}
