// The client's other resources as data: string table, menu 131 and toolbar 143.
#pragma once

#include <span>

namespace rv::res {

// String table entry, or "" when there is none (GBK).
const char* LoadString(int id);

struct MenuItemTemplate {
    int id;           // command id
    const char* text; // GBK
};
// Menu 131: a menu bar with two plain items.
std::span<const MenuItemTemplate> MainMenu();

struct ToolbarButton {
    int command;
    const char* tooltip; // GBK
};
// Toolbar 143: three 16 x 15 buttons from bitmap 143, with their tool-tip texts.
inline constexpr int kToolbarButtonCx = 16;
inline constexpr int kToolbarButtonCy = 15;
std::span<const ToolbarButton> ToolbarButtons();

} // namespace rv::res
