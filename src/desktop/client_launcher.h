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

// When the check runs as a systemd unit (the reminder's service: $INVOCATION_ID is set) and systemd-run
// is there: the command that has the user's service manager start the client as a transient service of
// its own, outside the check's unit (its control group, Nice= and NoNewPrivileges=), with the display,
// session, language and RENVORA_* variables of this environment. Runs RENVORA_CLIENT_COMMAND or this
// program with the desktop entry's option (not `gio launch`, which would end at once and take the
// service down). Empty otherwise.
QStringList SystemdRunCommand();

// Starts the client so that it outlives the check: through SystemdRunCommand when there is one and the
// manager takes it, else ClientCommand detached (`note` then says why, when systemd-run failed). False,
// with `error`, when it cannot.
bool StartClient(QString& error, QString* note = nullptr);

} // namespace rv::desktop
