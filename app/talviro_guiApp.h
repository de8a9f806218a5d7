// The application: one window, started as the command line says
// (gui_options.h), and one setting, the probe last connected.
#ifndef TALVIRO_APP_TALVIRO_GUIAPP_H
#define TALVIRO_APP_TALVIRO_GUIAPP_H

#include <wx/app.h>

class talviro_guiApp : public wxApp {
public:
    // With GTK: asks for X11 first and Wayland second (GDK_BACKEND=x11,wayland)
    // unless the user has set GDK_BACKEND, whose value is then left as it
    // is. Reports on standard error if the environment cannot be changed.
    talviro_guiApp();

    // Registers the image handlers (the window decodes its logo), names the
    // configuration store, builds and shows the measurement window for the
    // command line read before the toolkit started, and makes it the top
    // window. Never declines to start, probe or no probe. The toolkit's own
    // command-line handling is left out on purpose.
    bool OnInit() override;
    // Lets the configuration store go quietly, then as wxApp::OnExit.
    int OnExit() override;
};

wxDECLARE_APP(talviro_guiApp);

#endif
