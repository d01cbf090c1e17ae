#include "desktop/client_launcher.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

namespace rv::desktop {
namespace {

// How long the user manager may take to start the client.
constexpr int kSystemdRunTimeoutMs = 10000;

QString DesktopEntryPath() {
    QStringList dirs;
    const QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    dirs << (dataHome.startsWith('/') ? dataHome : QDir::homePath() + "/.local/share");
    QString dataDirs = qEnvironmentVariable("XDG_DATA_DIRS");
    if (dataDirs.isEmpty()) {
        dataDirs = "/usr/local/share:/usr/share";
    }
    dirs << dataDirs.split(':', Qt::SkipEmptyParts);
    for (const QString& dir : dirs) {
        QString path = dir + "/applications/" + kDesktopEntry;
        if (QFileInfo(path).isFile()) {
            return path;
        }
    }
    return {};
}

QStringList CustomCommand() {
    const QString custom = qEnvironmentVariable("RENVORA_CLIENT_COMMAND");
    return custom.trimmed().isEmpty() ? QStringList() : QProcess::splitCommand(custom);
}

QStringList SelfCommand() {
    return {QCoreApplication::applicationFilePath(), kDesktopLaunchOption};
}

// What the client started by the user manager needs of this environment: the display, the session,
// the language, and the client's own settings.
bool Passed(const QString& name) {
    static const QStringList kNames = {"DISPLAY",          "WAYLAND_DISPLAY",         "XAUTHORITY",
                                       "XDG_SESSION_TYPE", "XDG_CURRENT_DESKTOP",     "LANG",
                                       "LC_ALL",           "XDG_DATA_HOME",           "XDG_CONFIG_HOME",
                                       "XDG_DATA_DIRS",    "DBUS_SESSION_BUS_ADDRESS"};
    return kNames.contains(name) || name.startsWith("RENVORA_");
}

} // namespace

QStringList ClientCommand() {
    if (QStringList custom = CustomCommand(); !custom.isEmpty()) {
        return custom;
    }
    const QString entry = DesktopEntryPath();
    const QString gio = QStandardPaths::findExecutable("gio");
    if (!entry.isEmpty() && !gio.isEmpty()) {
        return {gio, "launch", entry};
    }
    return SelfCommand();
}

QStringList SystemdRunCommand() {
    if (qEnvironmentVariableIsEmpty("INVOCATION_ID")) {
        return {}; // not started by systemd: the client is no part of a unit
    }
    const QString run = QStandardPaths::findExecutable("systemd-run");
    if (run.isEmpty()) {
        return {};
    }
    QStringList command = {run, "--user", "--collect", "--quiet",
                           "--description=Renvora, started from the renewal reminder"};
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& name : env.keys()) {
        // By name only: systemd-run takes the value from its own environment (this one), so no value,
        // a PIN given to an unattended run least of all, shows on a command line.
        if (Passed(name)) {
            command << "--setenv=" + name;
        }
    }
    // The client itself as the service's process, not `gio launch`: gio ends at once, and the service
    // would take the client down with it.
    QStringList client = CustomCommand();
    command << "--" << (client.isEmpty() ? SelfCommand() : client);
    return command;
}

bool StartClient(QString& error, QString* note) {
    if (QStringList managed = SystemdRunCommand(); !managed.isEmpty()) {
        QProcess run;
        run.setProcessChannelMode(QProcess::ForwardedChannels);
        run.start(managed.takeFirst(), managed);
        if (run.waitForFinished(kSystemdRunTimeoutMs) && run.exitStatus() == QProcess::NormalExit &&
            run.exitCode() == 0) {
            return true;
        }
        run.kill();
        run.waitForFinished(1000);
        if (note) {
            *note = "the user's service manager did not start the client (systemd-run); started by the check "
                    "itself instead";
        }
    }
    QStringList command = ClientCommand();
    if (command.isEmpty()) {
        error = "RENVORA_CLIENT_COMMAND holds no command";
        return false;
    }
    const QString program = command.takeFirst();
    if (!QProcess::startDetached(program, command)) {
        error = "cannot start " + program;
        return false;
    }
    return true;
}

} // namespace rv::desktop
