// Draws a trend scene (trend/scene.h) on any wxDC: the trend window's paint
// handler and the pictures saved as PNG go through the same code.
#ifndef TALVIRO_GUI_TREND_PAINTER_H
#define TALVIRO_GUI_TREND_PAINTER_H

#include "trend/scene.h"

#include <wx/dc.h>

#include <cstdint>
#include <string>

namespace trend_painter {

// A text measure for build_scene() that asks dc with the labels' font (the
// toolkit's normal GUI font, bold where asked). dc must outlive the
// measure's use.
trend::MeasureText measure_on(wxDC& dc);

// The text height of the labels' normal font on dc, for SceneRequest::font_px.
double font_px(wxDC& dc);

// Draws every shape of scene on dc at its own pixel coordinates, in the
// scene's order. Leaves dc's pen, brush and font changed.
void paint(wxDC& dc, const trend::Scene& scene);

// Lays out the picture of series for request (its measure and font_px are
// filled in here) on a bitmap of request.width × request.height, paints it
// and writes it as PNG to path. Returns an empty string, or a one-line
// reason naming the file when it cannot be written.
std::string write_png(const std::string& path, trend::SceneRequest request,
                      const trend::Series& series);

// As write_png, or as SVG when path's name ends in ".svg" (trend::image_format),
// its text measured with the same fonts as the PNG's so that both lay out
// alike. A name with neither ending is refused with the reason.
std::string write_image(const std::string& path, trend::SceneRequest request,
                        const trend::Series& series);

// "2026-11-30 01:00:00.000 to 2026-11-30 02:00:00.000 (UTC+01:00)": a span
// in local time, as the axis reads it, and its zone; each end's offset where
// they differ (across a change of the clock).
std::string span_text(int64_t t0_ms, int64_t t1_ms);

// The title line of a saved picture, so that it stands alone in a report:
// "log.csv: " or "live readouts: " (what the picture shows, by name) and
// span_text of range. The window's "Save image…" and --save-image both.
std::string picture_title(const std::string& shown_name, const trend::TimeRange& range);

}  // namespace trend_painter

#endif
