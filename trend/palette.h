// The trend picture's colours on a dark background: every colour of a laid
// out scene turned to its dark counterpart, for the window under a dark
// appearance and for pictures asked for with --dark. GUI-free and pure.
#ifndef TALVIRO_TREND_PALETTE_H
#define TALVIRO_TREND_PALETTE_H

#include "trend/scene.h"

namespace trend {

// The colour with its lightness mirrored (HSL: l becomes 1 - l), hue,
// saturation and alpha kept: white plots turn black, dark text light, pale
// bands dark. A colour of middle lightness (0.3 to 0.7: each reading's line,
// the axes) keeps the lighter of l and 1 - l, so that it is seen on black
// as well as it was on white.
Color dark_counterpart(Color c);

// Every colour of scene (background, shapes, labels, overlay) turned to its
// dark counterpart.
void darken(Scene& scene);

}  // namespace trend

#endif
