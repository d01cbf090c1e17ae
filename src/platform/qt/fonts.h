// Fonts by the client's Chinese face names. Windows creates fonts by point size at 96 dots per inch;
// we do the same by giving Qt the pixel height MulDiv(pt, 96, 72), so sizes do not depend on the
// screen's DPI (offscreen tests and screenshots look the same everywhere).
#pragma once

#include "platform/dialog_template.h"

#include <QFont>

#include <string>

namespace rv::qt {

// Face substitutions for the names the client uses, registered once at start-up:
// "楷体" -> AR PL UKai CN, "黑体" -> WenQuanYi Zen Hei, "华文中宋" -> AR PL UMing CN,
// "隶书" -> AR PL UKai CN (the installed brush face closest to clerical script),
// "MS Shell Dlg" -> AR PL UMing CN (Chinese Windows draws it with its Song face).
void InstallFontSubstitutions();

// The face a client face name resolves to ("" when it has no substitution).
QString SubstituteFace(const std::string& gbkFace);

// CreatePointFont: size in tenths of a point, GBK face name.
QFont PointFont(int tenthsOfPoint, const std::string& gbkFace);

// Base units of a dialog font: average width of the 52 Latin letters (rounded) and the font height.
dlg::BaseUnits BaseUnitsOf(const QFont& font);

} // namespace rv::qt
