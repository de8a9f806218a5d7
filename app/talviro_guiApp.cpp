#include "app/talviro_guiApp.h"

#include "gui/talviro_guiFrame.h"

#include <wx/image.h>

#include <cstdio>
#include <cstdlib>

#ifdef __WXGTK__
namespace {
// GTK's backends in order of preference: on a Wayland desktop the window then
// goes through Xwayland, whose window manager honours keep-above.
constexpr const char* preferred_gdk_backends = "x11,wayland";
constexpr int keep_users_choice = 0;  // setenv's "do not overwrite"
}  // namespace
#endif

// The toolkit's entry point: on Windows WinMain, which hands its instance,
// previous instance, command line and show command to wxEntry unchanged; on
// Linux main(), which hands over argc and argv. Either returns wxEntry's
// status. The factory it registers first
// calls wxAppConsole::CheckBuildOptions with WX_BUILD_OPTIONS_SIGNATURE and
// "your program": the signature is that of the wxWidgets build this program
// is compiled and linked against (found by CMake), not a fixed string, so the
// check compares it with the library actually loaded at run time.
wxIMPLEMENT_APP(talviro_guiApp);

talviro_guiApp::talviro_guiApp() {
#ifdef __WXGTK__
    // GTK reads GDK_BACKEND once, in gtk_init_check() inside
    // wxApp::Initialize(); wxEntryStart constructs the application object
    // just before that call.
    if (setenv("GDK_BACKEND", preferred_gdk_backends, keep_users_choice) != 0)
        std::perror("talviro: cannot set GDK_BACKEND");
#endif
}

bool talviro_guiApp::OnInit() {
    wxInitAllImageHandlers();
    talviro_guiFrame* frame = new talviro_guiFrame(nullptr, -1);
    frame->Show(true);
    SetTopWindow(frame);
    return true;
}
