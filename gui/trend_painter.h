// Draws a trend scene (trend/scene.h) on any wxDC: the trend window's paint
// handler and the pictures saved as PNG go through the same code.
#ifndef TALVIRO_GUI_TREND_PAINTER_H
#define TALVIRO_GUI_TREND_PAINTER_H

#include "trend/scene.h"

#include <wx/dc.h>

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

}  // namespace trend_painter

#endif
