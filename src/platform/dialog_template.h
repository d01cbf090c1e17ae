// Numbered dialog templates as data, the way a resource script describes them: caption, size in dialog
// units, font, window style, and per control its id, kind, text, rectangle and style flags. The Qt
// builder (platform/qt/template_dialog.h) turns one into widgets; this header stays free of Qt so the
// display-free core and its tests can read the geometry.
#pragma once

#include <cstdint>
#include <span>

namespace rv::dlg {

// Window styles of a dialog.
enum WindowStyle : uint32_t {
    kCaption = 1u << 0,       // title bar
    kSysMenu = 1u << 1,       // close box (the system menu)
    kCentered = 1u << 2,      // centred on the screen when shown
    kPopupNoBorder = 1u << 3, // pop-up without caption or border
    kModalFrame = 1u << 4,    // dialog frame
};

enum class ControlKind {
    PushButton,
    DefPushButton, // the default button: Enter presses it when no other button has the focus
    Edit,
    Static,
    GroupBox,
    IpAddress,   // "SysIPAddress32": four fields 0..255
    CardControl, // place of a hosted control (the card control); never drawn
    Icon,        // the application icon
};

// Control styles that change behaviour or look.
enum ControlStyle : uint32_t {
    kReadOnly = 1u << 0,
    kPassword = 1u << 1, // characters masked
    kNumber = 1u << 2,   // digits only
    kBorder = 1u << 3,
    kAutoHScroll = 1u << 4,
    kHidden = 1u << 5,
    kDisabled = 1u << 6,
    kTabStop = 1u << 7,
    kGroup = 1u << 8,
    kLeft = 1u << 9,
    kCenter = 1u << 10,
    kWraps = 1u << 11, // static text wraps at word (or ideograph) boundaries
};

inline constexpr int kNoId = -1;

struct ControlTemplate {
    int id;           // kNoId for a control nothing refers to
    ControlKind kind; //
    const char* text; // GBK
    int x, y, cx, cy; // dialog units
    uint32_t style;   // ControlStyle flags
    int textLimit;    // maximum characters of an edit; 0 for the control's default
};

struct DialogTemplate {
    int id;
    const char* caption; // GBK
    int cx, cy;          // client size in dialog units
    const char* face;    // GBK font face name
    int pointSize;
    uint32_t style; // WindowStyle flags
    std::span<const ControlTemplate> controls;

    const ControlTemplate* Find(int controlId) const {
        for (const auto& c : controls) {
            if (c.id == controlId && controlId != kNoId) {
                return &c;
            }
        }
        return nullptr;
    }
};

// Windows' MulDiv: a*b/c computed wide and rounded half away from zero; -1 when c is 0.
int MulDiv(int a, int b, int c);

// Dialog units to pixels with the template font's base units: cx is the average width of the 52
// Latin letters (rounded), cy the font height. x_px = MulDiv(x, cx, 4), y_px = MulDiv(y, cy, 8),
// the rounding Windows' MapDialogRect uses.
struct BaseUnits {
    int cx;
    int cy;
};
inline int DluToPixelsX(int x, BaseUnits b) {
    return MulDiv(x, b.cx, 4);
}
inline int DluToPixelsY(int y, BaseUnits b) {
    return MulDiv(y, b.cy, 8);
}
// The average character width from the width of "A".."Z" + "a".."z" in pixels, as Windows rounds it.
inline int AverageCharWidth(int widthOf52Letters) {
    return (widthOf52Letters / 26 + 1) / 2;
}

// Point size to pixel height at 96 dots per inch (the font engine's -MulDiv(pt, 96, 72)).
inline int PointsToPixels(int points) {
    return MulDiv(points, 96, 72);
}

// The application's dialog template with this id, or nullptr: as the framework finds a dialog resource
// in the module that carries it, the platform asks the application's resources (res/templates.cpp
// defines this) and knows nothing of their contents.
const DialogTemplate* FindTemplate(int id);

} // namespace rv::dlg
