// A trend scene (trend/scene.h) as an SVG document, written by this code and
// not by a toolkit's device, so the picture is the same on every platform.
#ifndef TALVIRO_TREND_SVG_H
#define TALVIRO_TREND_SVG_H

#include "trend/scene.h"

#include <ostream>
#include <string>

namespace trend {

// Writes scene as a standalone, well-formed SVG 1.1 document of
// scene.width × scene.height pixels, every text escaped. Returns out's state
// (false when a write failed).
bool write_svg(std::ostream& out, const Scene& scene);

// Writes the SVG to path. Returns an empty string, or a one-line reason
// naming the file when it cannot be written.
std::string write_svg_file(const std::string& path, const Scene& scene);

// The picture formats a trend is saved in, told by the file name's ending:
// ".png" or ".svg" of any case after a name of at least one character;
// None for any other name.
enum class ImageFormat { None, Png, Svg };
ImageFormat image_format(const std::string& path);

}  // namespace trend

#endif
