#include "desktop/desktop_notifier.h"

#include "desktop/client_launcher.h"
#include "platform/codepage.h"
#include "platform/crt.h"

#include <QCoreApplication>
#include <QDBusError>
#include <QDBusMessage>
#include <QEventLoop>
#include <QTimer>
#include <QVariantMap>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace rv::desktop {
namespace {

const QString kService = "org.freedesktop.Notifications";
const QString kPath = "/org/freedesktop/Notifications";
const QString kInterface = "org.freedesktop.Notifications";
const QString kDefaultAction = "default";
// A notification service that does not answer within this time is taken as absent.
constexpr int kCallTimeoutMs = 5000;
// How long the check stays for a click, unless $RENVORA_REMINDER_WAIT_SECONDS says otherwise.
constexpr int kDefaultWaitSeconds = 300;
constexpr int kMaxWaitSeconds = 3600;
// Urgency hint values of the freedesktop notification protocol.
constexpr uchar kUrgencyNormal = 1;
constexpr uchar kUrgencyCritical = 2;

QString FromGbk(const std::string& gbk) {
    return QString::fromStdU16String(cp::GbkToUtf16(gbk));
}

std::chrono::milliseconds WaitTime() {
    int seconds = kDefaultWaitSeconds;
    if (const char* v = std::getenv("RENVORA_REMINDER_WAIT_SECONDS"); v && *v) {
        seconds = std::clamp(static_cast<int>(Atoi(v)), 0, kMaxWaitSeconds);
    }
    return std::chrono::seconds(seconds);
}

} // namespace

DesktopNotifier::DesktopNotifier(Warn warn) : bus_(QDBusConnection::sessionBus()), warn_(std::move(warn)) {
    if (!bus_.isConnected()) {
        return;
    }
    // Signals from whoever owns the service name only.
    bus_.connect(kService, kPath, kInterface, "ActionInvoked", this, SLOT(OnActionInvoked(uint, QString)));
    bus_.connect(kService, kPath, kInterface, "NotificationClosed", this, SLOT(OnClosed(uint, uint)));
}

QString DesktopNotifier::ConnectError() const {
    const QDBusError e = bus_.lastError();
    return e.isValid() ? e.message() : QString("no address");
}

bool DesktopNotifier::ServiceHasActions() {
    if (actionsKnown_ < 0) {
        QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "GetCapabilities");
        QDBusMessage reply = bus_.call(call, QDBus::Block, kCallTimeoutMs);
        actionsKnown_ = reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
                        reply.arguments().at(0).toStringList().contains("actions");
    }
    return actionsKnown_ == 1;
}

bool DesktopNotifier::Post(const Reminder& reminder) {
    if (!bus_.isConnected()) {
        return false;
    }
    const bool offer = !reminder.expired && ServiceHasActions();
    QStringList actions;
    if (offer) {
        actions << kDefaultAction << FromGbk("启动客户端");
    }
    QVariantMap hints;
    hints.insert("desktop-entry", QString(kDesktopEntryId));
    hints.insert("urgency", QVariant::fromValue<uchar>(reminder.expired ? kUrgencyCritical : kUrgencyNormal));

    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
    call << QString("Renvora") << uint(0) << QString(kIconName) << FromGbk(reminder.summary)
         << FromGbk(reminder.body) << actions << hints << int(-1);
    QDBusMessage reply = bus_.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) {
        const QString why = reply.type() == QDBusMessage::ErrorMessage
                                ? reply.errorName() + ": " + reply.errorMessage()
                                : QString("unexpected answer");
        warn_("no notification posted, the desktop's notification service did not take it (" +
              why.toStdString() + "); the next check tries again");
        return false;
    }
    if (offer) {
        offering_.insert(reply.arguments().at(0).toUInt());
    }
    return true;
}

void DesktopNotifier::OnActionInvoked(uint id, const QString& action) {
    if (offering_.count(id) == 0 || action != kDefaultAction || clientStarted_) {
        return;
    }
    QString error;
    QString note;
    if (StartClient(error, &note)) {
        clientStarted_ = true;
        if (!note.isEmpty()) {
            warn_(note.toStdString());
        }
    } else {
        warn_("cannot start the client: " + error.toStdString());
    }
    // One click is the answer; the other notifications would start the same client.
    emit Answered();
}

void DesktopNotifier::OnClosed(uint id, uint /*reason*/) {
    if (offering_.erase(id) != 0 && offering_.empty()) {
        emit Answered();
    }
}

void DesktopNotifier::WaitForAnswers(std::chrono::milliseconds timeout) {
    if (offering_.empty()) {
        return;
    }
    QEventLoop loop;
    QTimer::singleShot(timeout, &loop, &QEventLoop::quit);
    connect(this, &DesktopNotifier::Answered, &loop, &QEventLoop::quit);
    // Answers that came in while the notifications were posted are waiting in the queue.
    loop.exec();
}

bool NotifyWithoutWindow(int argc, char** argv, const std::string& summaryGbk, const std::string& bodyGbk) {
    QCoreApplication app(argc, argv);
    DesktopNotifier notifier([](const std::string&) {});
    Reminder note;
    note.expired = true; // urgent, and no action to offer
    note.summary = summaryGbk;
    note.body = bodyGbk;
    return notifier.Connected() && notifier.Post(note);
}

int RunCheckExpiry(int argc, char** argv) {
    const bool forget = argc == 4 && std::strcmp(argv[2], "--forget") == 0 && argv[3][0] != '\0';
    if (argc > 2 && !forget) {
        std::fprintf(stderr, "renvora: --check-expiry takes no further arguments but --forget CARDNUMBER\n");
        return 2;
    }
    auto warn = [](const std::string& line) { std::fprintf(stderr, "renvora: %s\n", line.c_str()); };
    // A person at a terminal learns what the check found, whatever becomes of the notifications.
    auto report = [](const std::string& line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    };
    ReminderCheck check{UserDataDir(), ReminderSettingsFile(), warn, report};
    if (forget) {
        const int status = ForgetRememberedCard(check, cp::Utf8ToGbk(argv[3]));
        if (status == kReminderNothingDue) {
            std::printf("renvora: card %s forgotten; no more reminders for it until it is used again\n",
                        argv[3]);
        }
        return status;
    }
    QCoreApplication app(argc, argv);
    DesktopNotifier notifier(warn);
    NoDesktop nowhere;
    ReminderSink* sink = &notifier;
    if (!notifier.Connected()) {
        warn("no D-Bus session bus (" + notifier.ConnectError().toStdString() + "); no desktop notification");
        sink = &nowhere;
    }
    const int status = RunReminderCheck(check, *sink);
    notifier.WaitForAnswers(WaitTime());
    return status;
}

} // namespace rv::desktop
