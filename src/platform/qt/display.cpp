#include "platform/qt/display.h"

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

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

xcb_connection_t* XcbConnection() {
    xcb_connection_t* c = AnyXcbConnection();
    return c && xcb_connection_has_error(c) == 0 ? c : nullptr;
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

// True once `top` (a child of the root: a window manager's frame, or a window without one) is off the
// screen: unmapped or destroyed.
bool OffScreen(xcb_connection_t* c, xcb_window_t top) {
    xcb_get_window_attributes_reply_t* attrs =
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, top), nullptr);
    const bool gone = attrs == nullptr || attrs->map_state != XCB_MAP_STATE_VIEWABLE;
    std::free(attrs);
    return gone;
}

// Sees the fence message come back: every event the server had queued for the client before it has
// then been handled.
class FenceWatch : public QAbstractNativeEventFilter {
public:
    FenceWatch(xcb_atom_t atom, uint32_t serial) : atom_(atom), serial_(serial) {
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    ~FenceWatch() override { QCoreApplication::instance()->removeNativeEventFilter(this); }
    FenceWatch(const FenceWatch&) = delete;
    FenceWatch& operator=(const FenceWatch&) = delete;
    bool Seen() const { return seen_; }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t") {
            return false;
        }
        auto* ev = static_cast<xcb_generic_event_t*>(message);
        if ((ev->response_type & 0x7F) != XCB_CLIENT_MESSAGE) {
            return false;
        }
        auto* cm = reinterpret_cast<xcb_client_message_event_t*>(ev);
        if (cm->type == atom_ && cm->data.data32[0] == serial_) {
            seen_ = true;
            return true;
        }
        return false;
    }

private:
    xcb_atom_t atom_;
    uint32_t serial_;
    bool seen_ = false;
};

xcb_atom_t FenceAtom(xcb_connection_t* c) {
    static const char kName[] = "_RENVORA_INPUT_FENCE";
    xcb_intern_atom_reply_t* r =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof kName - 1, kName), nullptr);
    const xcb_atom_t atom = r ? r->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    std::free(r);
    return atom;
}

} // namespace

bool RealDisplay() {
    const QString name = QGuiApplication::platformName();
    return name == QLatin1String("xcb") || name.startsWith(QLatin1String("wayland"));
}

void SyncWithDisplay() {
    if (xcb_connection_t* c = XcbConnection()) {
        std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    }
}

bool ShowPainted(QWidget& w, int timeoutMs) {
    w.show();
    if (!RealDisplay()) {
        // Offscreen painting is synchronous: paint, let the platform take the window, paint what it
        // asked for.
        w.repaint();
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        w.repaint();
        return true;
    }
    QWindow* window = w.windowHandle();
    if (window == nullptr) {
        return false;
    }
    SyncWithDisplay();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    if (!window->isExposed()) {
        QEventLoop loop;
        ExposeWatch watch(window, loop);
        QTimer::singleShot(timeoutMs, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    const bool exposed = window->isExposed();
    if (exposed) {
        g_anyWindowShown = true;
    }
    // Paint into the backing store and flush it to the window, then wait until the server has drawn it.
    w.repaint();
    SyncWithDisplay();
    return exposed;
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
    if (ShowPainted(w, kMapWaitMs)) {
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

quintptr FrameOf(quintptr window) {
    xcb_connection_t* c = RealDisplay() ? XcbConnection() : nullptr;
    if (c == nullptr || window == 0) {
        return 0;
    }
    auto w = static_cast<xcb_window_t>(window);
    for (int depth = 0; depth < 16; ++depth) {
        xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, w), nullptr);
        if (tree == nullptr) {
            return 0;
        }
        const xcb_window_t parent = tree->parent;
        const xcb_window_t root = tree->root;
        std::free(tree);
        if (parent == root || parent == XCB_WINDOW_NONE) {
            return w;
        }
        w = parent;
    }
    return 0;
}

void SettleAfterClose(quintptr frame, int timeoutMs) {
    if (!RealDisplay()) {
        return;
    }
    QElapsedTimer timer;
    timer.start();
    if (xcb_connection_t* c = XcbConnection(); c && frame != 0) {
        // The client has unmapped (or destroyed) its window; the window manager takes its frame away
        // afterwards, on its own time.
        SyncWithDisplay();
        while (!OffScreen(c, static_cast<xcb_window_t>(frame)) && timer.elapsed() < timeoutMs) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    // The server has sent the exposes of what the window uncovered, but Qt's reader thread may not have
    // queued them yet, and then processEvents finds nothing to do and the closed window's pixels stay
    // for the whole call. So the windows still shown are repainted here as well, and the drawing waited
    // for.
    SyncWithDisplay();
    const int left = std::max(1, timeoutMs - static_cast<int>(timer.elapsed()));
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, left);
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible()) {
            w->repaint();
        }
    }
    SyncWithDisplay();
}

// ---------------------------------------------------------------------------------------------------
// InputGate

InputGate::InputGate() {
    QCoreApplication::instance()->installEventFilter(this);
}

InputGate::~InputGate() {
    QCoreApplication::instance()->removeEventFilter(this);
}

void InputGate::Drain(quintptr ownWindow) {
    xcb_connection_t* c = XcbConnection();
    if (c == nullptr || ownWindow == 0) {
        SyncWithDisplay();
        QCoreApplication::processEvents(QEventLoop::AllEvents, kSettleWaitMs);
        return;
    }
    // A message to ourselves through the server queues up behind everything the user did so far; once
    // it has come back, all of that has passed the gate. Bounded, should the server not answer.
    static uint32_t serial = 0;
    const xcb_atom_t atom = FenceAtom(c);
    FenceWatch watch(atom, ++serial);
    xcb_client_message_event_t ev{};
    ev.response_type = XCB_CLIENT_MESSAGE;
    ev.format = 32;
    ev.window = static_cast<xcb_window_t>(ownWindow);
    ev.type = atom;
    ev.data.data32[0] = serial;
    xcb_send_event(c, 0, ev.window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&ev));
    xcb_flush(c);
    QElapsedTimer timer;
    timer.start();
    while (!watch.Seen() && timer.elapsed() < kSettleWaitMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (!watch.Seen()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

bool InputGate::eventFilter(QObject*, QEvent* event) {
    if (!event->spontaneous()) {
        return false; // what the program itself sends (tests, the unattended run) passes
    }
    switch (event->type()) {
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
    case QEvent::Close:
        ++dropped_;
        return true;
    default:
        return false;
    }
}

} // namespace rv::qt
