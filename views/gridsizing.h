#pragma once
// How wide the grids' columns are in the font they are drawn with. The
// sizes count characters, and a character is as wide as the font's digit
// zero: 6 pixels in the 8-point font at 96 dots per inch that the sizes were
// first made for, more in the wider fonts of other desktops. Qt scales the
// pixels on high-density screens.

#include "data/titem.h"

#include <QtGlobal>

#include <vector>

class QAbstractItemView;
class QFontMetrics;

namespace views {

// Text starts this many pixels inside its cell in every grid.
inline constexpr int GridTextInset = 2;

// Pixels of one character in the font of `metrics`.
int CharacterWidth(const QFontMetrics &metrics);

// Widths in pixels of the Measurement page's grids for the shown fields,
// one character being `unit` pixels.
struct MeasurementGridWidths {
    std::vector<int> meas;  // column k: max(length of Name, Width, 7) characters
    int currentNames = 0;   // one character more than the longest Name
    int currentValues = 0;  // one character more than the largest Width
};
MeasurementGridWidths MeasurementGridWidthsFor(const std::vector<const data::TItem *> &shown, int unit);

// A row of a grid: `designed` pixels, or more where a line of the font
// below the inset needs more.
int GridRowHeight(const QFontMetrics &metrics, int designed);

// Draws the text of `grid`'s cells GridTextInset pixels from the cell's
// edges, as the widths above assume, instead of the style's wider margin.
void UseGridTextInset(QAbstractItemView *grid);

} // namespace views
