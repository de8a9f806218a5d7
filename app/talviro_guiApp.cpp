#include "app/talviro_guiApp.h"

#include "app/gui_options.h"
#include "app/save_image.h"
#include "gui/talviro_guiFrame.h"
#include "gui/trend_frame.h"

#include <wx/image.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

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
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i].utf8_string());
    const gui_options::Parsed parsed = gui_options::parse(args);
    if (!parsed.error.empty()) {
        std::cerr << program_name() << ": " << parsed.error << '\n';
        exit_status_ = save_image::kUsage;
        return true;
    }
    if (parsed.options.help) {
        std::cout << gui_options::usage_text(program_name());
        exit_status_ = 0;
        return true;
    }
    if (!parsed.options.save_image.empty()) {
        exit_status_ = save_image::run(parsed.options, std::cerr);
        return true;
    }
    if (!parsed.options.log.empty()) {
        // A log alone: its trend window, and no probe looked for.
        TrendFrame* trend = new TrendFrame(nullptr);
        trend->Show(true);
        SetTopWindow(trend);
        trend->OpenLog(wxString::FromUTF8(parsed.options.log));
        return true;
    }
    talviro_guiFrame* frame = new talviro_guiFrame(nullptr, -1);
    frame->Show(true);
    SetTopWindow(frame);
    return true;
}

int talviro_guiApp::OnRun() {
    if (exit_status_)
        return *exit_status_;
    return wxApp::OnRun();
}

std::string talviro_guiApp::program_name() const {
    std::string name = argv[0].utf8_string();
    const size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    return name.empty() ? "talviro_gui" : name;
}
