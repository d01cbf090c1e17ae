// A stand-in for the desktop's notification service, for tests on a private session bus: owns
// org.freedesktop.Notifications, logs every call it gets, answers each notification as told, and runs
// a command meanwhile, ending with that command's exit status.
//
//   notification-stand-in --log FILE [--answer click|close|none] [--no-actions] -- COMMAND [ARGS...]
//
// Log lines (UTF-8, tab-separated): "Notify", app name, icon, summary, body, actions joined by "|",
// urgency, desktop-entry hint; "GetCapabilities"; "CloseNotification", id.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QObject>
#include <QProcess>
#include <QTextStream>
#include <QTimer>
#include <QVariantMap>

#include <cstdio>

namespace {

class NotificationService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    NotificationService(QString log, QString answer, bool actions)
        : log_(std::move(log)), answer_(std::move(answer)), actions_(actions) {}

public slots:
    QStringList GetCapabilities() {
        Log({"GetCapabilities"});
        QStringList caps{"body"};
        if (actions_) {
            caps << "actions";
        }
        return caps;
    }

    uint Notify(const QString& app, uint /*replaces*/, const QString& icon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints, int /*timeout*/) {
        const uint id = ++lastId_;
        Log({"Notify", app, icon, summary, body, actions.join('|'),
             QString::number(hints.value("urgency").value<uchar>()),
             hints.value("desktop-entry").toString()});
        // Answered after the reply has gone out, as a person would.
        QTimer::singleShot(50, this, [this, id, actions] {
            if (answer_ == "click" && actions.contains("default")) {
                emit ActionInvoked(id, "default");
                emit NotificationClosed(id, 2);
            } else if (answer_ == "close") {
                emit NotificationClosed(id, 2);
            }
        });
        return id;
    }

    void CloseNotification(uint id) {
        Log({"CloseNotification", QString::number(id)});
        emit NotificationClosed(id, 3);
    }

    QString GetServerInformation(QString& vendor, QString& version, QString& protocolVersion) {
        vendor = "renvora tests";
        version = "1";
        protocolVersion = "1.2";
        return "notification-stand-in";
    }

signals:
    void NotificationClosed(uint id, uint reason);
    void ActionInvoked(uint id, const QString& actionKey);

private:
    void Log(const QStringList& fields) {
        QFile f(log_);
        if (f.open(QIODevice::Append | QIODevice::Text)) {
            QTextStream(&f) << fields.join('\t') << '\n';
        }
    }

    QString log_;
    QString answer_;
    bool actions_;
    uint lastId_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QString log, answer = "none";
    bool actions = true;
    while (!args.isEmpty() && args.first() != "--") {
        const QString a = args.takeFirst();
        if (a == "--log" && !args.isEmpty()) {
            log = args.takeFirst();
        } else if (a == "--answer" && !args.isEmpty()) {
            answer = args.takeFirst();
        } else if (a == "--no-actions") {
            actions = false;
        } else {
            std::fprintf(stderr, "notification-stand-in: unknown argument %s\n", qPrintable(a));
            return 2;
        }
    }
    if (args.size() < 2 || log.isEmpty()) {
        std::fprintf(stderr, "usage: notification-stand-in --log FILE [--answer click|close|none] "
                             "[--no-actions] -- COMMAND [ARGS...]\n");
        return 2;
    }
    args.removeFirst(); // "--"

    QDBusConnection bus = QDBusConnection::sessionBus();
    NotificationService service(log, answer, actions);
    if (!bus.registerObject("/org/freedesktop/Notifications", &service,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals) ||
        !bus.registerService("org.freedesktop.Notifications")) {
        std::fprintf(stderr, "notification-stand-in: cannot own the service: %s\n",
                     qPrintable(bus.lastError().message()));
        return 2;
    }

    QProcess command;
    command.setProcessChannelMode(QProcess::ForwardedChannels);
    QObject::connect(&command, &QProcess::finished, &app, [&](int code, QProcess::ExitStatus status) {
        app.exit(status == QProcess::NormalExit ? code : 128);
    });
    QObject::connect(&command, &QProcess::errorOccurred, &app, [&](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart) {
            std::fprintf(stderr, "notification-stand-in: cannot start %s\n", qPrintable(args.first()));
            app.exit(127);
        }
    });
    command.start(args.first(), args.mid(1));
    return app.exec();
}

#include "notification_service.moc"
