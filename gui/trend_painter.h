// Draws a trend scene (trend/scene.h) on any wxDC: the trend window's paint
// handler and the pictures saved as PNG go through the same code.
#ifndef TALVIRO_GUI_TREND_PAINTER_H
#define TALVIRO_GUI_TREND_PAINTER_H

#include "trend/scene.h"

#include <wx/dc.h>
#include <wx/font.h>

#include <string>

namespace trend_painter {

// The font the picture's labels use (the toolkit's normal GUI font).
wxFont label_font(bool bold);

// A text measure for build_scene() that asks dc with label_font(). dc must
// outlive the measure's use.
trend::MeasureText measure_on(wxDC& dc);

// The text height of label_font(false) on dc, for SceneRequest::font_px.
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

}  // namespace trend_painter

#endif
