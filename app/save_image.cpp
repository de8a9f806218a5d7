#include "app/save_image.h"

#include "gui/trend_painter.h"
#include "trend/civil.h"
#include "trend/csv_log.h"
#include "trend/series.h"
#include "trend/view.h"

#include <wx/datetime.h>
#include <wx/filename.h>
#include <wx/log.h>

#include <cstdio>
#include <ctime>
#include <string>

namespace save_image {

namespace {

constexpr int64_t kMsPerSecond = 1000;
constexpr int64_t kSecondsPerMinute = 60;

// The local clock's offset from UTC at utc_ms, in minutes.
int64_t utc_offset_minutes(int64_t utc_ms) {
    const std::time_t t = static_cast<std::time_t>(utc_ms / kMsPerSecond);
    std::tm local{};
#ifdef _WIN32
    if (localtime_s(&local, &t) != 0) return 0;
#else
    if (localtime_r(&t, &local) == nullptr) return 0;
#endif
    const int64_t clock_s = trend::days_from_civil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) * 86400 +
                            local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    return (clock_s - static_cast<int64_t>(t)) / kSecondsPerMinute;
}

// "UTC+01:00", "UTC-03:30", "UTC".
std::string zone_text(int64_t utc_ms) {
    const int64_t minutes = utc_offset_minutes(utc_ms);
    if (minutes == 0) return "UTC";
    char text[16];
    std::snprintf(text, sizeof text, "UTC%c%02d:%02d", minutes < 0 ? '-' : '+',
                  static_cast<int>((minutes < 0 ? -minutes : minutes) / 60),
                  static_cast<int>((minutes < 0 ? -minutes : minutes) % 60));
    return text;
}

// Local time as the axis reads it, to the millisecond.
std::string local_text(int64_t utc_ms) {
    return wxDateTime(wxLongLong(utc_ms)).Format("%Y-%m-%d %H:%M:%S.%l").utf8_string();
}

}  // namespace

std::string span_text(int64_t t0_ms, int64_t t1_ms) {
    const std::string zone0 = zone_text(t0_ms), zone1 = zone_text(t1_ms);
    // Across a change of the clock each end names its own offset.
    return local_text(t0_ms) + (zone0 == zone1 ? "" : " " + zone0) + " to " + local_text(t1_ms) + " (" + zone1 + ")";
}

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
            err << options.log << ": no readouts from " << span_text(request.range.t0_ms, request.range.t1_ms)
                << '\n';
        return kFailed;
    }
    request.title = wxFileName(wxString(options.log.c_str(), *wxConvFileName)).GetFullName().utf8_string() +
                    ": " + span_text(request.range.t0_ms, request.range.t1_ms);
    const std::string written = trend_painter::write_image(options.save_image, request, series);
    if (!written.empty()) {
        err << written << '\n';
        return kFailed;
    }
    return kWritten;
}

}  // namespace save_image
