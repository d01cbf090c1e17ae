// Colours the client sets itself, kept readable whatever the desktop's theme. Where the original's look
// fixes a text colour, the background it is drawn on is fixed with it (a dark theme would otherwise put
// the dark grey of the menu bar or the red of the dates on dark grey); and a fixed text colour that does
// not reach WCAG's 4.5:1 on its fixed background is darkened just enough to reach it, its hue kept.
#pragma once

#include <QColor>

namespace rv::qt {

// The face colour the fixed text colours were chosen for: Windows' button face, RGB(240, 240, 240).
inline const QColor kClassicFace{240, 240, 240};

// WCAG 2 relative luminance (0 black .. 1 white) and contrast ratio (1 .. 21).
double RelativeLuminance(const QColor& c);
double ContrastRatio(const QColor& a, const QColor& b);

// `text` if it reaches `ratio` on `background`; otherwise the same hue made darker (on a light
// background) or lighter (on a dark one) until it does.
QColor ReadableOn(const QColor& text, const QColor& background, double ratio = 4.5);

} // namespace rv::qt
