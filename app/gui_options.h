// The command line of talviro_gui and talviro_gui_demo, without the toolkit:
// a table of options read into one struct, so a new option is one row. It is
// read before the toolkit starts, so that --help and --version need no display.
#ifndef TALVIRO_APP_GUI_OPTIONS_H
#define TALVIRO_APP_GUI_OPTIONS_H

#include "console/capture_rate.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace gui_options {

// The picture's size when --size is not given, and the sizes accepted.
constexpr int kDefaultWidth = 1280;
constexpr int kDefaultHeight = 800;
constexpr int kMinSide = 64;
constexpr int kMaxSide = 16384;

struct Options {
    std::string serial;      // --serial SN: connect only to this probe; empty: any
    std::string save_image;  // --save-image OUT.png|OUT.svg; empty: show the window
    int width = kDefaultWidth;    // --size WIDTHxHEIGHT
    int height = kDefaultHeight;
    std::optional<int64_t> from_ms;  // --from TIME (trend::parse_time); UTC ms since the epoch
    std::optional<int64_t> to_ms;    // --to TIME
    bool dark = false;  // --dark: the picture in the dark counterpart of its colours
    std::string log;  // LOG.csv: the one argument that is not an option
    bool trend = false;  // --trend: the trend window opens at start, live
    // --rate 1s|0.1s|fast, with --trend: the live readouts' rate from the start
    console::CaptureRate rate = console::CaptureRate::Second;
    bool help = false;     // --help or -h: print the usage and exit
    bool version = false;  // --version: print the version and exit
};

struct Parsed {
    Options options;
    std::string error;  // empty when the arguments were valid; else one line
};

// Reads the arguments after the program name as the console programs do
// (console::read_option); --help and --version end the reading. Refuses an
// unknown option, a flag given a value, an option given twice, a missing,
// empty or malformed value, a second LOG, --size/--from/--to/--dark without
// --save-image, --save-image without LOG or with a name ending neither in
// .png nor .svg, --from not before --to, --rate without --trend or with
// another word than 1s, 0.1s or fast, and --trend with LOG or --save-image.
// Prints nothing.
Parsed parse(const std::vector<std::string>& args);

// The --help text, naming the program as called, ending with a newline.
// The --version line is console::version_text.
std::string usage_text(const std::string& program);

// Exit statuses of a run that ends before the window opens.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;

}  // namespace gui_options

#endif
