// The windowed client's call thread. Every call into the card control and every exchange with the
// renewal server runs there (platform/blocking_call.h), one at a time, in the order the user interface
// thread makes them. Meanwhile the user interface thread runs its event loop: it paints, answers the
// window manager (_NET_WM_PING) and assistive tools, animates what shows the client is busy, and drops
// the input the user gives (keys, clicks, the wheel, closing a window), so nothing started or changed
// meanwhile. A close of a window or a request to quit that arrives during a call is passed to the
// owner's callback, to be answered once the work in hand is over; nothing interrupts a call.
//
// A call that returns within a couple of milliseconds (most card property reads and writes) is waited
// for without turning the event loop, so short calls cost no more than the hop to the thread.
#pragma once

#include "platform/blocking_call.h"

#include <QtGlobal>

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class QObject;
class QWidget;

namespace rv::qt {

class CallThread : public BlockingCallHost {
public:
    // Starts the thread and installs it as the process's blocking-call host. Made on the user interface
    // thread, after the application object.
    CallThread();
    // Removes it as the host and ends the thread; no call may be running.
    ~CallThread() override;
    CallThread(const CallThread&) = delete;
    CallThread& operator=(const CallThread&) = delete;

    void Run(const std::function<void()>& call) override;

    // Told of every close request dropped during a call (`window` is the top-level window the person
    // closed; nullptr for a request to quit the application, as a logout's session manager sends it).
    void SetCloseDuringCall(std::function<void(QWidget* window)> handler) { onClose_ = std::move(handler); }

    // When the connection to the display breaks during a call, Qt would end the process at once, the
    // call still running. Instead the call is waited for, whatever it is doing, and then `handler` runs,
    // which must end the process. (Qt says so in a warning before it ends the process; the call thread
    // listens to Qt's messages for it.)
    void SetDisplayLostDuringCall(std::function<void()> handler) { onDisplayLost_ = std::move(handler); }

    // True while a call runs, from whatever thread asks.
    static bool CallInFlight();
    // The id of the thread every call runs on (0 when no call thread exists).
    static std::thread::id Id();
    // The CPU time the call thread has used so far, in milliseconds (0 when none exists).
    static double CpuMs();

private:
    struct Call {
        const std::function<void()>* fn;
        bool done = false;
        bool waiterInLoop = false;
        std::exception_ptr error;
    };
    void Loop();
    void WaitWithEvents(Call& call, std::unique_lock<std::mutex>& lock);
    void DisplayLostDuringCall();
    static void Messages(QtMsgType type, const QMessageLogContext& context, const QString& text);

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::shared_ptr<Call>> queue_; // the front one runs
    bool stop_ = false;
    bool exiting_ = false;
    std::thread::id uiThread_;
    QObject* waker_ = nullptr;
    BlockingCallHost* previous_ = nullptr;
    std::function<void(QWidget*)> onClose_;
    std::function<void()> onDisplayLost_;
    QtMessageHandler previousMessages_ = nullptr;
    std::thread thread_;
};

} // namespace rv::qt
