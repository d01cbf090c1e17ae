#include "platform/qt/call_thread.h"

#include "platform/qt/display.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>

namespace rv::qt {
namespace {

// How long a call may take before the user interface thread turns its event loop while it waits.
constexpr auto kQuietWait = std::chrono::milliseconds(2);
// How long a call runs before the pointer shows the client is busy.
constexpr int kBusyCursorMs = 300;

std::atomic<CallThread*> g_instance{nullptr};
std::atomic<int> g_inFlight{0};

// While a call runs: drops what the user does to any window of the client, and hands close requests
// (a window's close box, a session's request to quit) to `onClose` instead.
class InputGate : public QObject {
public:
    explicit InputGate(const std::function<void(QWidget*)>& onClose) : onClose_(onClose) {
        QCoreApplication::instance()->installEventFilter(this);
    }
    ~InputGate() override { QCoreApplication::instance()->removeEventFilter(this); }
    InputGate(const InputGate&) = delete;
    InputGate& operator=(const InputGate&) = delete;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Quit) {
            Closed(nullptr);
            return true;
        }
        if (!event->spontaneous()) {
            return false; // what the program itself sends (tests, the unattended run) passes
        }
        switch (event->type()) {
        case QEvent::Close:
            // The window system's close reaches the native window first, then its widget.
            if (auto* window = qobject_cast<QWindow*>(watched)) {
                for (QWidget* top : QApplication::topLevelWidgets()) {
                    if (top->windowHandle() == window) {
                        Closed(top);
                    }
                }
            }
            return true;
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
            return true;
        default:
            return false;
        }
    }

private:
    void Closed(QWidget* window) {
        if (onClose_) {
            onClose_(window);
        }
    }
    const std::function<void(QWidget*)>& onClose_;
};

} // namespace

CallThread::CallThread() : uiThread_(std::this_thread::get_id()), waker_(new QObject) {
    thread_ = std::thread([this] { Loop(); });
    pthread_setname_np(thread_.native_handle(), "renvora-calls");
    previous_ = InstallBlockingCallHost(this);
    g_instance = this;
    previousMessages_ = qInstallMessageHandler(&CallThread::Messages);
}

CallThread::~CallThread() {
    qInstallMessageHandler(previousMessages_);
    g_instance = nullptr;
    InstallBlockingCallHost(previous_);
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
    delete waker_;
}

bool CallThread::CallInFlight() {
    return g_inFlight.load() > 0;
}

std::thread::id CallThread::Id() {
    CallThread* t = g_instance.load();
    return t ? t->thread_.get_id() : std::thread::id();
}

double CallThread::CpuMs() {
    CallThread* t = g_instance.load();
    clockid_t clock{};
    timespec ts{};
    if (t == nullptr || pthread_getcpuclockid(t->thread_.native_handle(), &clock) != 0 ||
        clock_gettime(clock, &ts) != 0) {
        return 0;
    }
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void CallThread::Loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) {
            return;
        }
        const std::shared_ptr<Call> call = queue_.front();
        lock.unlock();
        std::exception_ptr error;
        try {
            (*call->fn)();
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        queue_.pop_front();
        call->error = error;
        if (call->waiterInLoop) {
            // Wakes the event loop the waiter turns; the event itself does nothing.
            QCoreApplication::postEvent(waker_, new QEvent(QEvent::User));
        }
        call->done = true;
        --g_inFlight;
        cv_.notify_all();
    }
}

void CallThread::Run(const std::function<void()>& fn) {
    if (std::this_thread::get_id() == thread_.get_id()) {
        fn(); // a call the call thread makes itself
        return;
    }
    const auto shared = std::make_shared<Call>(Call{&fn, false, false, nullptr});
    Call& call = *shared;
    std::unique_lock lock(mutex_);
    ++g_inFlight;
    queue_.push_back(shared);
    cv_.notify_all();
    const bool withEvents =
        std::this_thread::get_id() == uiThread_ && !exiting_ && QCoreApplication::instance() != nullptr;
    if (!cv_.wait_for(lock, kQuietWait, [&] { return call.done; })) {
        if (withEvents) {
            WaitWithEvents(call, lock);
        } else {
            cv_.wait(lock, [&] { return call.done; });
        }
    }
    if (call.error) {
        std::rethrow_exception(call.error);
    }
}

void CallThread::WaitWithEvents(Call& call, std::unique_lock<std::mutex>& lock) {
    call.waiterInLoop = true;
    lock.unlock();
    {
        InputGate gate(onClose_);
        bool busyCursor = false;
        QTimer cursorTimer;
        cursorTimer.setSingleShot(true);
        QObject::connect(&cursorTimer, &QTimer::timeout, [&busyCursor] {
            QApplication::setOverrideCursor(Qt::BusyCursor);
            busyCursor = true;
        });
        cursorTimer.start(kBusyCursorMs);
        for (;;) {
            {
                std::lock_guard check(mutex_);
                if (call.done) {
                    break;
                }
            }
            // Not a QEventLoop: a request to quit ends every event loop at once, and this wait must go
            // on until the call has returned.
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        }
        if (busyCursor) {
            QApplication::restoreOverrideCursor();
        }
    }
    lock.lock();
}

void CallThread::Messages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    CallThread* self = g_instance.load();
    if (self == nullptr) {
        return;
    }
    // Qt warns that the connection broke, then ends the process (exit, with the call still running and
    // the libraries' exit handlers pulling the ground from under it). The warning comes first, on the
    // user interface thread: the call is waited for here instead.
    if (type == QtWarningMsg && std::this_thread::get_id() == self->uiThread_ && CallInFlight() &&
        DisplayLost()) {
        self->DisplayLostDuringCall();
    }
    if (self->previousMessages_) {
        self->previousMessages_(type, context, text);
    }
}

void CallThread::DisplayLostDuringCall() {
    {
        std::unique_lock lock(mutex_);
        exiting_ = true;
        // The call in hand runs to its end: a card half-written is worse than a late end.
        cv_.wait(lock, [this] { return queue_.empty(); });
    }
    if (onDisplayLost_) {
        onDisplayLost_();
    }
}

} // namespace rv::qt
