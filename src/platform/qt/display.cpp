#include "platform/qt/display.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>

namespace rv::qt {
namespace {

// Set once any window of this client has been exposed: the window manager works.
bool g_anyWindowShown = false;

// The X connection whatever its state; nullptr on other platforms.
xcb_connection_t* AnyXcbConnection() {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        return nullptr;
    }
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

// Ends a nested event loop when `window` becomes exposed.
class ExposeWatch : public QObject {
public:
    ExposeWatch(QWindow* window, QEventLoop& loop) : window_(window), loop_(loop) {
        window_->installEventFilter(this);
    }
    ~ExposeWatch() override { window_->removeEventFilter(this); }
    ExposeWatch(const ExposeWatch&) = delete;
    ExposeWatch& operator=(const ExposeWatch&) = delete;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // The application marks the window exposed before it delivers the event.
        if (watched == window_ && event->type() == QEvent::Expose && window_->isExposed()) {
            loop_.quit();
        }
        return false;
    }

private:
    QWindow* window_;
    QEventLoop& loop_;
};

// Shows `w` and waits until it is exposed, at most `timeoutMs`.
bool ShowExposed(QWidget& w, int timeoutMs) {
    w.show();
    QWindow* window = w.windowHandle();
    if (window == nullptr) {
        return false;
    }
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    if (!window->isExposed()) {
        QEventLoop loop;
        ExposeWatch watch(window, loop);
        QTimer::singleShot(timeoutMs, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    const bool exposed = window->isExposed();
    g_anyWindowShown = g_anyWindowShown || exposed;
    return exposed;
}

} // namespace

bool RealDisplay() {
    const QString name = QGuiApplication::platformName();
    return name == QLatin1String("xcb") || name.startsWith(QLatin1String("wayland"));
}

void ShowNow(QWidget& w) {
    w.show();
    if (!RealDisplay()) {
        // Offscreen painting is synchronous: paint, let the platform take the window, paint what it
        // asked for.
        w.repaint();
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        w.repaint();
    }
}

void ShowOrExit(QWidget& w) {
    if (!RealDisplay()) {
        w.show();
        return;
    }
    // A window to answer comes up with the client's other windows: a minimised one (the main window,
    // minimised during a call by the window manager's button) comes back first. Many window managers
    // would show no window over a minimised owner, and the answer belongs beside what it is about.
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (top != &w && top->isVisible() && top->isMinimized()) {
            top->showNormal();
        }
    }
    if (ShowExposed(w, kMapWaitMs)) {
        return;
    }
    const QString title = w.windowTitle().isEmpty() ? QStringLiteral("renvora") : w.windowTitle();
    if (g_anyWindowShown) {
        // The window manager has shown this client's windows before: this one may merely be kept out of
        // sight (a minimised or hidden owner). Ending the client here could hide the result of a renewal
        // that has already been written; the person can still bring the window up.
        std::fprintf(stderr,
                     "renvora: the window \"%s\" did not appear on the screen within %d s; waiting for it\n",
                     title.toUtf8().constData(), kMapWaitMs / 1000);
        return;
    }
    std::fprintf(stderr,
                 "renvora: the window \"%s\" did not appear on the screen within %d s: the window manager "
                 "does not show it (is it working?); the client ends\n",
                 title.toUtf8().constData(), kMapWaitMs / 1000);
    std::fflush(nullptr);
    std::_Exit(kNotShownExitStatus);
}

bool DisplayLost() {
    xcb_connection_t* c = AnyXcbConnection();
    return c != nullptr && xcb_connection_has_error(c) != 0;
}

} // namespace rv::qt
