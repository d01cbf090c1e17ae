// The notice window's pictures (156, 159, 160, 162), drawn at run time: white, a grey busy symbol, the
// black phrase of what the client is doing and the red warning, on one line near the top-left corner.
// They are drawn for the screen's device pixel ratio (1, 1.5, 2 ...), so they stay as sharp as the text
// around them on a scaled desktop.
#pragma once

#include <QColor>
#include <QImage>

class QPainter;

namespace rv {

// What the notice window shows of any picture: its top-left corner.
inline constexpr int kNoticeWidth = 571;
inline constexpr int kNoticeHeight = 61;
// The band the line of a picture stays in, and where the busy symbol starts.
inline constexpr int kNoticeBandTop = 22;
inline constexpr int kNoticeBandBottom = 45; // inclusive
inline constexpr int kNoticeSymbolX = 29;
inline constexpr int kNoticeLineEnd = 560; // every line ends before this x
// The warning's red: the original's RGB(237, 28, 36), darkened just enough to be read on white (4.5:1).
QColor NoticeRed();
// The busy symbol's extent from kNoticeSymbolX.
inline constexpr int kNoticeSymbolSize = 19;

struct NoticePicture {
    int id;
    int width;
    int height;
    const char* phrase; // black phrase, GBK
};

// The picture shown for a number: 159, 160 and 162 as they are, anything else "正在写卡，" (156).
const NoticePicture& NoticePictureFor(int picture);
// The red warning that follows every phrase (GBK).
const char* NoticeWarning();
// What the picture says, as a screen reader should read it (the phrase and the warning).
QString NoticeText(int picture);
// Draws the picture for `picture` at its full size in logical pixels (24 bits per pixel, white
// background), rendered for `devicePixelRatio` (the image then holds that many times the pixels).
QImage DrawNoticePicture(int picture, qreal devicePixelRatio = 1.0);
// The same picture, drawn once per process and ratio and kept: a notice opens around every slow call
// and should cost the user no time of its own. User-interface thread only.
const QImage& CachedNoticePicture(int picture, qreal devicePixelRatio = 1.0);
// Draws every picture into that cache (a few milliseconds of glyph rendering), best while the main
// window waits for the user, so that no notice makes the renewal wait for its picture.
void PrepareNoticePictures(qreal devicePixelRatio = 1.0);
// The busy symbol as it turns: `phase` 0 is the picture's own, each step moves the darkest dot on by one
// of its eight. Drawn with its left edge at x and its centre at centreY, over a white square.
void DrawBusySymbol(QPainter& painter, int x, int centreY, int phase);

} // namespace rv
