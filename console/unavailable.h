// Why a probe cannot be had, in the words both console programs use: after
// an open that failed, and while a probe named by its serial is waited for.
#ifndef TALVIRO_CONSOLE_UNAVAILABLE_H
#define TALVIRO_CONSOLE_UNAVAILABLE_H

#include <string>

namespace console {

// Where the programs send a user whose probe may not be opened: the udev
// rule's section of the window's man page, which every install has.
constexpr const char* kUdevHint = "install the udev rule, see \"man talviro_gui\", THE UDEV RULE";

// Follows the driver layer's own line naming the library it could not load.
constexpr const char* kDriverHint =
    "install the FTDI D2XX driver, which Windows normally installs by itself when the probe is"
    " plugged in";

enum class Unavailable {
    NoDriver,         // no driver library to ask
    NotFound,         // no probe has the serial
    NoChannelLetter,  // a probe's channel serial is the one given plus its letter
    InUse,            // listed, held by another program
    NoPermission,     // not listed, and a probe this user may not open is there
    NotSetUp,         // listed and free, but the open or its set-up step failed
};

struct UnavailableReason {
    Unavailable kind;
    // One line's text, without the program's name or a newline: "no probe
    // has the serial number "TV0009B"; found: TV0001B, TV0002B".
    std::string text;
};

// Why channel serial wanted could not be opened just now: asks
// probe_open_failure() and looks through the probes that open listed
// (probe_last_listed) to tell the reasons apart. Needs a failed
// probe_open_serial or probe_reopen of wanted just before, in the current
// session.
UnavailableReason why_unavailable(const std::string& wanted);

}  // namespace console

#endif
