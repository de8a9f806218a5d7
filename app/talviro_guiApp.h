// The application: one window, started as the command line says
// (gui_options.h), and one setting, the probe last connected.
#ifndef TALVIRO_APP_TALVIRO_GUIAPP_H
#define TALVIRO_APP_TALVIRO_GUIAPP_H

#include <wx/app.h>
#include <wx/timer.h>

#include <optional>

class talviro_guiApp : public wxApp {
public:
    // With GTK: asks for X11 first and Wayland second (GDK_BACKEND=x11,wayland)
    // unless the user has set GDK_BACKEND, whose value is then left as it
    // is. Reports on standard error if the environment cannot be changed.
    talviro_guiApp();

    // Registers the image handlers (the window decodes its logo), names the
    // configuration store and acts on the command line read before the
    // toolkit started (app/gui_options.h; the toolkit's own handling is left
    // out on purpose). With --save-image, writes the picture and shows no
    // window. With a LOG.csv alone, shows that log in a trend window, the top
    // window, and looks for no probe (a log it cannot read is named in the
    // window). Otherwise builds and shows the measurement window and makes it
    // the top window, probe or no probe. Never declines to start.
    // Whenever a window is shown, Ctrl-C and SIGTERM (on Windows Ctrl-C,
    // Ctrl-Break and the console's close) close the windows as the user's
    // close does, within kQuitPollMs: a capture ends and gives the probe
    // back, and the program ends with status 0. A second signal of a kind
    // ends the process at once (console/clock.h).
    bool OnInit() override;
    // The main loop, or at once the status of a run that shows no window:
    // 0 picture written, 1 log or picture failed.
    int OnRun() override;
    // Lets the configuration store go quietly, then as wxApp::OnExit.
    int OnExit() override;

private:
    // The stop handlers only set a flag (console/clock.h), never call the
    // toolkit; this timer looks at it on the main thread.
    void OnQuitTimer(wxTimerEvent& event);

    std::optional<int> exit_status_;  // set by a run that shows no window
    wxTimer quit_timer_;
};

wxDECLARE_APP(talviro_guiApp);

#endif
