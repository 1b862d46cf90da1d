#pragma once
#include <QFont>

// Fonts of the pages and panels. Their layouts name faces of another platform ("Arial", and the
// dialog face "MS Sans Serif", which is as narrow) at point sizes of a 96 dots-per-inch screen.
// Both become "Arial" with a sans-serif style hint, so fontconfig picks its metric-compatible face
// (Liberation Sans) and any sans-serif face stands in when that is missing, at a fixed pixel size,
// so a panel looks the same on every screen.
namespace page_fonts {

// Pixels of a point size at 96 dots per inch (8 points are 11 pixels).
int PointsToPixels(int points);

QFont Font(int pixels, bool bold = false);

}  // namespace page_fonts
