// talviro_gui --save-image: the picture of a log, written without a window.
#ifndef TALVIRO_APP_SAVE_IMAGE_H
#define TALVIRO_APP_SAVE_IMAGE_H

#include "app/gui_options.h"

#include <cstdint>
#include <ostream>
#include <string>

namespace save_image {

// Exit statuses: written; the log or the picture could not be read or
// written (a usage error is gui_options::kExitUsage).
constexpr int kWritten = 0;
constexpr int kFailed = 1;

// Reads options.log whole and writes the picture of --from..--to (each
// defaulting to the log's first and last readout) to options.save_image, PNG
// or SVG by its name, under a title line naming the log's file, the span in
// local time and its UTC offset. The note on skipped lines and any failure
// go to err, one line each; a span without a readout (a log whose every line
// was skipped included) is a failure, "LOG: no readouts from …". Needs the
// toolkit initialised (text is measured with its fonts). Returns kWritten or
// kFailed.
int run(const gui_options::Options& options, std::ostream& err);

// "2026-11-30 01:00:00.000 to 2026-11-30 02:00:00.000 (UTC+01:00)": a span
// in local time and its zone; each end's offset where they differ.
std::string span_text(int64_t t0_ms, int64_t t1_ms);

}  // namespace save_image

#endif
