// The notice window's pictures (156, 159, 160, 162), drawn at run time: white, a grey busy symbol, the
// black phrase of what the client is doing and the red warning, on one line near the top-left corner.
#pragma once

#include <QColor>
#include <QImage>

namespace rv {

// What the notice window shows of any picture: its top-left corner.
inline constexpr int kNoticeWidth = 571;
inline constexpr int kNoticeHeight = 61;
// The band the line of a picture stays in, and where the busy symbol starts.
inline constexpr int kNoticeBandTop = 22;
inline constexpr int kNoticeBandBottom = 45; // inclusive
inline constexpr int kNoticeSymbolX = 29;
inline constexpr int kNoticeLineEnd = 560; // every line ends before this x
inline const QColor kNoticeRed{237, 28, 36};

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
// Draws the picture for `picture` at its full size (24 bits per pixel, white background).
QImage DrawNoticePicture(int picture);
// The same picture, drawn once per process and kept: a notice opens around every slow call and
// should cost the user no time of its own. User-interface thread only.
const QImage& CachedNoticePicture(int picture);
// Draws every picture into that cache (a few milliseconds of glyph rendering), best while the main
// window waits for the user, so that no notice makes the renewal wait for its picture.
void PrepareNoticePictures();

} // namespace rv
