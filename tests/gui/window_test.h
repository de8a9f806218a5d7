// The real measurement window on the simulated probe, driven the way a user
// drives it: command events sent to the controls, timer ticks, and real
// pointer clicks through the X server.
#ifndef TALVIRO_TESTS_GUI_WINDOW_TEST_H
#define TALVIRO_TESTS_GUI_WINDOW_TEST_H

#include "gui/talviro_guiFrame.h"
#include "event_loop.h"
#include "sim_fixture.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/gauge.h>
#include <wx/statbmp.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace gui_test {

// What one conversion costs on the wire, and so one readout of four.
constexpr std::size_t kWritesPerConversion = 52;
constexpr std::size_t kReadsPerConversion = 10;
constexpr std::size_t kWritesPerReadout = 4 * kWritesPerConversion;
constexpr std::size_t kReadsPerReadout = 4 * kReadsPerConversion;

// The simulated probe's serial number as the window shows it: chip serial
// followed by the channel letter.
constexpr const char* kDefaultSerial = "TV0001B";

}  // namespace gui_test

// A fresh simulated probe on a manual clock (read time-outs cost no time),
// and the window built on it by open_window().
class WindowTest : public SimFixture {
protected:
    void TearDown() override;

    // Builds the window as the program does (its constructor connects) and
    // shows it; with a serial, as "--serial" does.
    talviro_guiFrame& open_window(const std::string& serial = std::string());
    // Shows the window and waits until it has been laid out and painted, for
    // tests that look at it through the X server.
    void wait_until_painted();

    // A user's click: refused (as a test failure) on a disabled control.
    void click(wxButton* button);
    // A user's click on a check box: flips it, then sends the click event.
    void toggle(wxCheckBox* box);

    std::string status(int field) const;
    static std::string label(const wxWindow* control);

    // Driver calls of one kind made since the log was at mark.
    std::size_t calls_since(std::size_t mark, sim::Fn fn) const;
    std::size_t log_mark() const { return dev().log().size(); }
    // Whole readouts since mark, counted from the transfers on the wire; a
    // partial readout is a test failure.
    std::size_t readouts_since(std::size_t mark) const;

    // The three states of the window, with every control they fix.
    void expect_disconnected(const std::string& state_text) const;
    void expect_connected(const std::string& serial = gui_test::kDefaultSerial) const;
    void expect_refreshing(const std::string& serial = gui_test::kDefaultSerial) const;
    void expect_reset_readings() const;

    sim::Device& dev() const { return sim::device(); }

    // Makes a new, empty folder named prefix and a unique tail in the
    // system's folder for temporary files, and makes it the working
    // directory: for the tests of the logo the window reads from there.
    // Returns its path, or "" when it could not.
    static std::string enter_new_folder(const std::string& prefix);

    talviro_guiFrame* frame = nullptr;
    bool painted = false;
};

#endif
