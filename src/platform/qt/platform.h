// Start-up of the Qt side of the platform layer and the application's icon.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace rv::qt {

// Once, after the QApplication exists: the Fusion style (the same look on every desktop and offscreen),
// the font substitutions of fonts.h and the dialog font ("MS Shell Dlg" 9 pt) as the application font.
void InitPlatform();

// Icon resource 128, drawn at run time: a card with a contact chip.
QIcon AppIcon();
// The same picture at any size in pixels (the installed icons are drawn from it at build time).
QPixmap DrawAppIcon(int size);

} // namespace rv::qt
