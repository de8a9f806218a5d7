// The application: one window, no command line, no settings.
#ifndef TALVIRO_APP_TALVIRO_GUIAPP_H
#define TALVIRO_APP_TALVIRO_GUIAPP_H

#include <wx/app.h>

#include <optional>
#include <string>

class talviro_guiApp : public wxApp {
public:
    // With GTK: asks for X11 first and Wayland second (GDK_BACKEND=x11,wayland)
    // unless the user has set GDK_BACKEND, whose value is then left as it
    // is. Reports on standard error if the environment cannot be changed.
    talviro_guiApp();

    // Registers the image handlers (the window decodes its logo) and reads
    // the command line (app/gui_options.h) itself: the toolkit's own
    // handling is left out on purpose. With --save-image, writes the picture
    // and shows no window; on a usage error, says so in one line on standard
    // error. With a LOG.csv alone, shows that log in a trend window, the
    // top window, and looks for no probe (a log it cannot read is named in
    // the window). Otherwise builds and shows the measurement window and
    // makes it the top window, probe or no probe. Never declines to start.
    bool OnInit() override;

    // The main loop, or at once the status of a run that shows no window:
    // 0 picture written, 1 log or picture failed, 2 usage error.
    int OnRun() override;

private:
    // argv[0]'s last component, as the one-line messages name the program.
    std::string program_name() const;

    std::optional<int> exit_status_;  // set by a run that shows no window
};

wxDECLARE_APP(talviro_guiApp);

#endif
