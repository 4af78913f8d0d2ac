#pragma once
// Fonts of the form's table on this system. The table names Windows fonts ("MS Sans Serif",
// height -11); they are mapped to an installed sans font of the same character height in pixels.

#include <QFont>
#include <QLabel>
#include <QSize>

#include "platform/toolkit.h"

namespace platform::qt {

// The font for font: its own family when installed, else a narrow sans substitute (DejaVu Sans
// Condensed, then DejaVu Sans, then the system's sans font), sized in pixels by the absolute
// height, bold and coloured as given (the colour is applied by the caller through the palette).
QFont MapFont(const TFontSpec& font);

// Shrinks label's font, a pixel at a time down to 6, until its text fits box (word-wrapped when the
// label wraps). The substitutes are wider than the original bitmap font, and a label keeps its box.
void FitLabelFont(QLabel& label, QSize box);

}  // namespace platform::qt
