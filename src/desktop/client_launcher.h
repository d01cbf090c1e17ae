// What a click on the renewal reminder starts: the client, the way the desktop's menu starts it.
#pragma once

#include <QString>
#include <QStringList>

namespace rv::desktop {

// The client's desktop entry as the package installs it, and the icon the notifications name.
inline constexpr const char* kDesktopEntryId = "org.renvora.Renvora";
inline constexpr const char* kDesktopEntry = "org.renvora.Renvora.desktop";
inline constexpr const char* kIconName = "org.renvora.Renvora";
// What the desktop entry's Exec line passes: start in the user's own folder.
inline constexpr const char* kDesktopLaunchOption = "--desktop";

// The command, first match:
//  1. $RENVORA_CLIENT_COMMAND, split into words as a shell would (quotes kept together, nothing expanded);
//  2. the desktop entry (under $XDG_DATA_HOME, then $XDG_DATA_DIRS) through `gio launch`, so that it
//     starts with the working folder and environment the menu gives it;
//  3. this program itself, with the desktop entry's option.
QStringList ClientCommand();

// Starts the command detached, so the client outlives the check. False, with `error`, when it cannot.
bool StartClient(QString& error);

} // namespace rv::desktop
