#include "app/talviro_guiApp.h"

#include "app/gui_options.h"
#include "app/save_image.h"
#include "console/clock.h"
#include "console/command_line.h"
#include "gui/talviro_guiFrame.h"
#include "gui/trend_frame.h"

#include <wx/config.h>
#include <wx/filename.h>
#include <wx/image.h>
#include <wx/log.h>
#include <wx/stdpaths.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

#ifdef __WXGTK__
// GTK's backends in order of preference: on a Wayland desktop the window then
// goes through Xwayland, whose window manager honours keep-above.
constexpr const char* preferred_gdk_backends = "x11,wayland";
constexpr int keep_users_choice = 0;  // setenv's "do not overwrite"
#endif

// Where the programs keep their one setting: on Windows the registry key
// HKEY_CURRENT_USER\Software\TALVIRO\<program>.
const wxString kVendorName = "TALVIRO";

// How often the main loop looks whether a stop signal asked it to close the
// windows: a capture must end within 100 ms of the signal.
constexpr int kQuitPollMs = 40;

// The command line as read before the toolkit started; OnInit builds the
// window from it.
gui_options::Options start_options;

// Reads the command line. Returns -1 when the window is to open, else the
// status to end with: --help and --version print to standard output, a usage
// error one line to standard error.
int read_command_line(int argc, char** argv) {
    const std::string program = console::program_name(argc > 0 && argv[0] ? argv[0] : "talviro_gui");
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const gui_options::Parsed parsed = gui_options::parse(args);
    if (!parsed.error.empty()) {
        std::cerr << program << ": " << parsed.error << '\n' << std::flush;
        return gui_options::kExitUsage;
    }
    if (parsed.options.help || parsed.options.version) {
        std::cout << (parsed.options.help ? gui_options::usage_text(program)
                                          : console::version_text(program))
                  << std::flush;
        return gui_options::kExitOk;
    }
    start_options = parsed.options;
    return -1;
}

}  // namespace

// The toolkit's application factory, without its entry point: the program's
// own below reads the command line before the toolkit starts (which on Linux
// needs a display). The factory first calls wxAppConsole::CheckBuildOptions
// with WX_BUILD_OPTIONS_SIGNATURE and "your program": the signature is that
// of the wxWidgets build this program is compiled and linked against (found
// by CMake), not a fixed string, so the check compares it with the library
// actually loaded at run time.
wxIMPLEMENT_APP_NO_MAIN(talviro_guiApp);

#ifdef __WXMSW__
// WinMain hands its instance, previous instance and show command to wxEntry,
// which reads the command line itself.
extern "C" int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous,
                              wxCmdLineArgType WXUNUSED(command_line),
                              int show) {
    const int status = read_command_line(__argc, __argv);
    if (status >= 0) return status;
    return wxEntry(instance, previous, nullptr, show);
}
#else
int main(int argc, char** argv) {
    const int status = read_command_line(argc, argv);
    if (status >= 0) return status;
    return wxEntry(argc, argv);
}
#endif

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
    if (!start_options.save_image.empty()) {
        // The picture of a log, and no window: OnRun ends with the status.
        exit_status_ = save_image::run(start_options, std::cerr);
        return true;
    }
    // Without the handlers a stop signal ends the program as it would
    // anyway, only not through the windows' close.
    if (!console::install_stop_signals())
        std::cerr << GetAppName() << ": Ctrl-C will not close the windows: no stop handler\n" << std::flush;
    quit_timer_.Bind(wxEVT_TIMER, &talviro_guiApp::OnQuitTimer, this);
    quit_timer_.Start(kQuitPollMs, wxTIMER_CONTINUOUS);
    // The settings kept: the probe used last (the measurement window) and
    // the battery's capacity (the trend window, a log's alone too).
    SetVendorName(kVendorName);
#ifdef __WXGTK__
    // The configuration file goes under ~/.config (XDG_CONFIG_HOME), not
    // into the home folder itself; the toolkit writes it only into a folder
    // that exists. Without one nothing is remembered, which is no error.
    wxStandardPaths::Get().SetFileLayout(wxStandardPaths::FileLayout_XDG);
    {
        wxLogNull quiet;
        wxFileName::Mkdir(wxStandardPaths::Get().GetUserConfigDir(), wxS_DIR_DEFAULT,
                          wxPATH_MKDIR_FULL);
    }
#endif
    if (!start_options.log.empty()) {
        // A log alone: its trend window, and no probe looked for.
        TrendFrame* trend = new TrendFrame(nullptr);
        trend->Show(true);
        SetTopWindow(trend);
        // The command line in the file names' own encoding (the ANSI code page
        // on Windows), as the trend window reads and writes names.
        trend->OpenLog(wxString(start_options.log.c_str(), *wxConvFileName));
        return true;
    }
    talviro_guiFrame* frame = new talviro_guiFrame(nullptr, -1, start_options.serial);
    frame->Show(true);
    SetTopWindow(frame);
    if (start_options.trend) {
        wxCommandEvent open_trend;
        frame->OnTrendClick(open_trend);
        frame->SetCaptureRate(start_options.rate);
    }
    return true;
}

void talviro_guiApp::OnQuitTimer(wxTimerEvent& WXUNUSED(event)) {
    if (!console::stop_flag()) return;
    // As the user's close, one window a look, the first opened first: each
    // window's close handler runs (the measurement window's ends the capture
    // and gives the probe back, and closes the trend window with it). A
    // window left open is closed at a later look; the program ends with the
    // last one. Looked up afresh each time: a close may take others along.
    for (wxWindow* window : wxTopLevelWindows) {
        if (window->IsBeingDeleted() || IsScheduledForDestruction(window)) continue;
        window->Close(true);
        return;
    }
}

int talviro_guiApp::OnRun() {
    if (exit_status_) return *exit_status_;
    return wxApp::OnRun();
}

int talviro_guiApp::OnExit() {
    quit_timer_.Stop();
    // The store is written when the window remembers a probe; one that could
    // not be written then is not complained about at exit either.
    {
        wxLogNull quiet;
        delete wxConfigBase::Set(nullptr);
    }
    return wxApp::OnExit();
}
