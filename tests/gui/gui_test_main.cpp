// Runs the window tests inside a real wxGTK application on the X display in
// DISPLAY (ctest runs under xvfb-run). A wx assertion anywhere, ours or the
// toolkit's, fails the running test instead of opening a dialog. The
// window's configuration store is a file of the test's own, never the
// user's.
#include "event_loop.h"

#include <wx/app.h>
#include <wx/fileconf.h>
#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/image.h>
#include <wx/init.h>
#include <wx/log.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

namespace {

class GuiTestApp : public wxApp {
public:
    // The toolkit's default OnInit would parse gtest's command line.
    bool OnInit() override { return true; }
};

void fail_on_assert(const wxString& file, int line, const wxString& func, const wxString& cond,
                    const wxString& msg) {
    ADD_FAILURE_AT(file.utf8_str(), line)
        << "wx assertion failed in " << func.utf8_string() << ": " << cond.utf8_string()
        << (msg.empty() ? "" : " (" + msg.utf8_string() + ")");
}

// The test's configuration file, empty at the start of each test process.
wxString settings_file;

void use_settings_file() {
    delete wxConfigBase::Set(new wxFileConfig(wxEmptyString, wxEmptyString, settings_file,
                                              wxEmptyString, wxCONFIG_USE_LOCAL_FILE));
}

}  // namespace

void gui_test::reload_settings() { use_settings_file(); }

wxIMPLEMENT_APP_NO_MAIN(GuiTestApp);

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Test discovery only lists names; it needs no display.
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();

    if (!wxEntryStart(argc, argv)) {
        std::fprintf(stderr, "cannot start wxWidgets: is DISPLAY set (run under xvfb-run)?\n");
        return 1;
    }
    wxSetAssertHandler(fail_on_assert);
    // Logged errors go to stderr: the GUI log target would wait for a click
    // on a message box.
    delete wxLog::SetActiveTarget(new wxLogStderr);
    wxInitAllImageHandlers();
    // The window reads logo.jpg from the working directory, as the programs
    // do from theirs.
    if (chdir(TALVIRO_TEST_LOGO_DIR) != 0) {
        std::perror("cannot enter " TALVIRO_TEST_LOGO_DIR);
        wxEntryCleanup();
        return 1;
    }

    settings_file = wxFileName::CreateTempFileName("talviro-settings-");
    if (settings_file.empty()) {
        std::fprintf(stderr, "cannot make a temporary settings file\n");
        wxEntryCleanup();
        return 1;
    }
    use_settings_file();

    const int result = RUN_ALL_TESTS();
    delete wxConfigBase::Set(nullptr);
    wxRemoveFile(settings_file);
    wxEntryCleanup();
    return result;
}
