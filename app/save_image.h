// talviro_gui --save-image: the picture of a log, written without a window.
#ifndef TALVIRO_APP_SAVE_IMAGE_H
#define TALVIRO_APP_SAVE_IMAGE_H

#include "app/gui_options.h"

#include <ostream>
#include <string>

namespace save_image {

// Exit statuses: written; the log or the picture could not be read or
// written (a usage error is gui_options::kExitUsage).
constexpr int kWritten = 0;
constexpr int kFailed = 1;

// Reads options.log whole and writes the picture of --from..--to (each
// defaulting to the log's first and last readout) to options.save_image, PNG
// or SVG by its name, under the title line the window's pictures have too
// (trend_painter::picture_title). The note on skipped lines and any failure
// go to err, one line each; a span without a readout (a log whose every line
// was skipped included) is a failure, "LOG: no readouts from …". Needs the
// toolkit initialised (text is measured with its fonts). Returns kWritten or
// kFailed.
int run(const gui_options::Options& options, std::ostream& err);

}  // namespace save_image

#endif
