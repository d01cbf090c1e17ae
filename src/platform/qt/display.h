// What it takes for a window to really be on a display server's screen before the user interface thread
// blocks in a card or server call. The offscreen platform paints synchronously; an X server maps, exposes
// and draws a window only after the client has handed it over, the window manager has done its part and
// the client has answered the expose. Every wait here is bounded: a window manager that never maps a
// window, or a server that is gone, costs at most the bound, never a hang.
#pragma once

#include <QObject>

class QWidget;

namespace rv::qt {

// How long a notice window may take to be mapped and exposed before the client goes on without it.
inline constexpr int kExposeWaitMs = 3000;
// How long the main window and every modal window may take to appear. A window manager that never maps
// windows would otherwise leave the client invisible, waiting for ever for a person who cannot see it.
inline constexpr int kMapWaitMs = 5000;
// The exit status of a client whose window did not appear.
inline constexpr int kNotShownExitStatus = 2;
// How long repainting what a closed window uncovered may take.
inline constexpr int kSettleWaitMs = 1000;

// True on a real display server (X11, Wayland); false offscreen, where painting is synchronous.
bool RealDisplay();

// A round trip to the display server: every request sent before it has been carried out, and every event
// the server sent before answering is in the client's queue. Nothing on other platforms.
void SyncWithDisplay();

// Shows `w` (a top-level window) and returns once it is mapped, exposed, painted, flushed and drawn by
// the display server. False when no expose came within `timeoutMs`; the window is then left shown.
// User input stays queued meanwhile.
bool ShowPainted(QWidget& w, int timeoutMs = kExposeWaitMs);

// Shows `w` (the main window, a modal dialog or message box) like ShowPainted, restoring a minimised
// owner first. When it has not appeared within kMapWaitMs and no window of the client ever has, says so
// on stderr and ends the process with status kNotShownExitStatus: the person cannot answer a window they
// do not see, and nothing has been done yet. Once the window manager has shown a window, a late one is
// only reported on stderr and waited for. Offscreen it only shows the window.
void ShowOrExit(QWidget& w);

// True when the connection to the X server has broken (the server ended or was killed). The client is
// blocked in calls that handle no events, and Qt notices only when events are handled again: this lets
// the caller find out first, right after a call.
bool DisplayLost();

// What holds the native window `window` on the screen: the window manager's frame around it, or the
// window itself when it has none; 0 offscreen or when unknown. Taken while the window is shown: Qt may
// destroy a window's native window when it is hidden.
quintptr FrameOf(quintptr window);

// After a window was hidden, `frame` being what FrameOf gave while it was shown: waits until the window
// manager has taken that frame off the screen, lets the windows beneath repaint what it uncovered and
// waits until the display server has drawn that, so no stale pixels of the closed window stay on screen
// during a blocking call that follows. User input stays queued.
void SettleAfterClose(quintptr frame, int timeoutMs = kSettleWaitMs);

// While it lives, drops the input the user gives to any window of the client (keys, mouse, wheel, the
// close box): the client is blocked in a call and has asked the user to do nothing. Drain() handles
// every event the display server had for the client up to now (a message the client sends itself through
// the server marks the point) and drops the input among them, so nothing typed or clicked during the call
// takes effect once it returns. `ownWindow` is any native window of the client's.
class InputGate : public QObject {
public:
    InputGate();
    ~InputGate() override;
    InputGate(const InputGate&) = delete;
    InputGate& operator=(const InputGate&) = delete;

    void Drain(quintptr ownWindow);
    int Dropped() const { return dropped_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int dropped_ = 0;
};

} // namespace rv::qt
