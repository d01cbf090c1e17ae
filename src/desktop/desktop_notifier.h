// The renewal reminder on the desktop: freedesktop notifications over the session D-Bus, and the client
// started when the person clicks one. What the check found is printed on stdout either way.
#pragma once

#include "renewal/renewal_reminder.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <set>
#include <string>

namespace rv::desktop {

class DesktopNotifier : public QObject, public ReminderSink {
    Q_OBJECT
public:
    using Warn = std::function<void(const std::string&)>;
    explicit DesktopNotifier(Warn warn);

    // False when there is no session bus; ConnectError() says why.
    bool Connected() const { return bus_.isConnected(); }
    QString ConnectError() const;

    // Posts one notification. A card that can still be renewed offers the client as the notification's
    // default action, where the notification service supports actions.
    bool Post(const Reminder& reminder) override;

    // Waits until the person clicks a notification that offers the client (which then starts), or every
    // such notification is closed, or `timeout` has passed. Returns at once when none offers the client.
    void WaitForAnswers(std::chrono::milliseconds timeout);
    bool ClientStarted() const { return clientStarted_; }

signals:
    void Answered();

private slots:
    void OnActionInvoked(uint id, const QString& action);
    void OnClosed(uint id, uint reason);

private:
    bool ServiceHasActions();

    QDBusConnection bus_;
    Warn warn_;
    int actionsKnown_ = -1; // -1 not asked yet, else 0 / 1
    std::set<uint> offering_;
    bool clientStarted_ = false;
};

// Where the reminders go without a session bus: nowhere (the check's own lines on stdout say what it
// found). Reports them as not posted, so that the desktop still gets its notification once a session is
// there.
class NoDesktop : public ReminderSink {
public:
    bool Post(const Reminder&) override { return false; }
};

// One notification for a person who will see no window (the client cannot start): best effort, true when
// the desktop's notification service took it. Needs no application object; makes its own.
bool NotifyWithoutWindow(int argc, char** argv, const std::string& summaryGbk, const std::string& bodyGbk);

// `renvora --check-expiry`: no window, no card, no network; the exit status of RunReminderCheck.
// `renvora --check-expiry --forget CARDNUMBER`: ForgetRememberedCard.
int RunCheckExpiry(int argc, char** argv);

} // namespace rv::desktop
