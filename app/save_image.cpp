#include "app/save_image.h"

#include "gui/trend_painter.h"
#include "trend/csv_log.h"
#include "trend/series.h"
#include "trend/view.h"

#include <wx/filename.h>
#include <wx/log.h>

#include <string>

namespace save_image {

int run(const gui_options::Options& options, std::ostream& err) {
    // Whatever the toolkit would log goes nowhere: with no window, its log
    // would hold the exit on a dialog. Failures are said on err instead.
    wxLogNull quiet;
    trend::CsvLog log;
    std::string error;
    if (!log.open(options.log, &error)) {
        err << error << '\n';
        return kFailed;
    }
    trend::Series series(0);
    bool failed = false;
    log.read_all(series, &failed);
    if (failed) {
        err << options.log << ": cannot be read to its end\n";
        return kFailed;
    }
    const std::string note = log.skipped_note();
    if (!note.empty())
        err << note << '\n';

    trend::View view;
    trend::Extent extent;
    if (!series.empty())
        extent = trend::Extent{false, series.first_time(), series.last_time()};
    view.home(extent);
    trend::TimeRange range = view.range(extent);
    if (options.from_ms)
        range.t0_ms = *options.from_ms;
    if (options.to_ms)
        range.t1_ms = *options.to_ms;
    // A --from after the log's end (or a --to before its start) is an
    // empty span, refused below.
    if (range.t1_ms <= range.t0_ms) {
        if (options.from_ms)
            range.t1_ms = range.t0_ms + trend::kEmptyWidthMs;
        else
            range.t0_ms = range.t1_ms - trend::kEmptyWidthMs;
    }
    view.zoom_to(range.t0_ms, range.t1_ms);

    trend::SceneRequest request;
    request.width = options.width;
    request.height = options.height;
    request.range = view.range(extent);
    request.dark = options.dark;
    // A picture of nothing would pass for one of readings that were there.
    if (series.stats(trend::kVTarget, request.range.t0_ms, request.range.t1_ms).readouts == 0) {
        if (series.empty())
            err << options.log << ": no readouts to draw\n";
        else
            err << options.log << ": no readouts from "
                << trend_painter::span_text(request.range.t0_ms, request.range.t1_ms) << '\n';
        return kFailed;
    }
    request.title = trend_painter::picture_title(
        wxFileName(wxString(options.log.c_str(), *wxConvFileName)).GetFullName().utf8_string(), request.range);
    const std::string written = trend_painter::write_image(options.save_image, request, series);
    if (!written.empty()) {
        err << written << '\n';
        return kFailed;
    }
    return kWritten;
}

}  // namespace save_image
