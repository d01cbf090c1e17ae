// What a click on the renewal reminder starts: the client, the way the desktop's menu starts it.
#pragma once

#include <QString>
#include <QStringList>

namespace rv::desktop {

// The client's desktop entry, and the icon the notifications name.
inline constexpr const char* kDesktopEntry = "renvora.desktop";
inline constexpr const char* kIconName = "renvora";

// The command, first match:
//  1. $RENVORA_CLIENT_COMMAND, split into words as a shell would (quotes kept together, nothing expanded);
//  2. the desktop entry (under $XDG_DATA_HOME, then $XDG_DATA_DIRS) through `gio launch`, so that it
//     starts with the working folder and environment the menu gives it;
//  3. this program itself, with no arguments.
QStringList ClientCommand();

// Starts the command detached, so the client outlives the check. False, with `error`, when it cannot.
bool StartClient(QString& error);

} // namespace rv::desktop
