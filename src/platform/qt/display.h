// What it takes for a window to really be on a display server's screen. The offscreen platform paints
// synchronously; an X server maps, exposes and draws a window only after the client has handed it over
// and the window manager has done its part. Blocking calls no longer hold the user interface thread
// (platform/qt/call_thread.h), so the event loop paints and repaints; what is left here is the window a
// person has to answer, which must really appear, and the display that went away.
#pragma once

class QWidget;

namespace rv::qt {

// How long the main window and every modal window may take to appear. A window manager that never maps
// windows would otherwise leave the client invisible, waiting for ever for a person who cannot see it.
inline constexpr int kMapWaitMs = 5000;
// The exit status of a client whose window did not appear.
inline constexpr int kNotShownExitStatus = 2;

// True on a real display server (X11, Wayland); false offscreen, where painting is synchronous.
bool RealDisplay();

// Shows `w` (the main window, a modal dialog or message box), restoring a minimised owner first, and
// waits until it is mapped and exposed. When it has not appeared within kMapWaitMs and no window of the
// client ever has, says so on stderr and ends the process with status kNotShownExitStatus: the person
// cannot answer a window they do not see, and nothing has been done yet. Once the window manager has
// shown a window, a late one is only reported on stderr and waited for. User input stays queued while
// it waits. Offscreen it only shows the window.
void ShowOrExit(QWidget& w);

// Shows `w`. On a real display the event loop paints it from then on (calls do not hold the loop);
// offscreen, where painting is synchronous, it is painted before this returns.
void ShowNow(QWidget& w);

// True when the connection to the X server has broken (the server ended or was killed).
bool DisplayLost();

} // namespace rv::qt
