#include "desktop/client_launcher.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace rv::desktop {
namespace {

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

} // namespace

QStringList ClientCommand() {
    if (const QString custom = qEnvironmentVariable("RENVORA_CLIENT_COMMAND"); !custom.trimmed().isEmpty()) {
        return QProcess::splitCommand(custom);
    }
    const QString entry = DesktopEntryPath();
    const QString gio = QStandardPaths::findExecutable("gio");
    if (!entry.isEmpty() && !gio.isEmpty()) {
        return {gio, "launch", entry};
    }
    return {QCoreApplication::applicationFilePath(), kDesktopLaunchOption};
}

bool StartClient(QString& error) {
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
