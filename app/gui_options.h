// The command line of the window programs: what each word means, read before
// the toolkit starts, so that --help and --version need no display.
#ifndef TALVIRO_APP_GUI_OPTIONS_H
#define TALVIRO_APP_GUI_OPTIONS_H

#include <string>
#include <vector>

namespace gui_options {

// What the program was asked for.
struct StartOptions {
    std::string serial;  // connect only to this probe; empty: any
    bool help = false;
    bool version = false;
};

struct Parsed {
    StartOptions options;
    std::string error;  // one line without a newline; empty when the words were valid
};

// Reads the arguments after the program name: "--name value" or
// "--name=value" for an option with a value, "-h" for "--help". An
// argument that is no option, an unknown option, a flag given a value or
// a missing or empty value is a usage error. Prints nothing.
Parsed parse(const std::vector<std::string>& args);

// The usage text and the version line, naming the program as called, each
// ending with a newline.
std::string usage_text(const std::string& program);
std::string version_text(const std::string& program);

// Exit statuses of a run that ends before the window opens.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;

}  // namespace gui_options

#endif
