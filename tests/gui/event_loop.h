// The GUI event loop run by a test until something holds, on real time.
#ifndef TALVIRO_TESTS_GUI_EVENT_LOOP_H
#define TALVIRO_TESTS_GUI_EVENT_LOOP_H

#include <wx/string.h>

#include <functional>
#include <string>

namespace gui_test {

// Runs the GUI event loop until done() holds or timeout_ms of real time have
// passed. Returns done()'s last answer.
bool run_event_loop_until(const std::function<bool()>& done, int timeout_ms);
// Runs the GUI event loop for ms of real time.
void run_event_loop_for(int ms);

std::string utf8(const wxString& s);

// Reads the window's configuration store again from its file, as a program
// started anew does (the test's own file, not the user's).
void reload_settings();

}  // namespace gui_test

#endif
