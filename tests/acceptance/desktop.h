// A desktop to test on, the way a person has one: an X server (Xvfb), a window manager (openbox),
// synthetic input through XTest (xdotool), and the X server's own screen read back, never a widget's
// rendering. Every wait polls for what it expects and gives up after a bound.
#pragma once

#include <QImage>
#include <QRect>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct xcb_connection_t;

namespace rv::acceptance {

// The option that makes the acceptance program the window manager that never maps a window.
inline constexpr const char* kNeverMapsOption = "--window-manager-that-never-maps";
// That window manager: takes the screen of $DISPLAY (SubstructureRedirect on the root, announced by
// _NET_SUPPORTING_WM_CHECK) and swallows every map request. Returns when the display goes away.
int RunWindowManagerThatNeverMaps();

// A top-level window as the X server has it: a client window (one with a title property, possibly
// empty) that is viewable, with its rectangle on the screen.
struct Window {
    unsigned id = 0;
    std::string title; // UTF-8
    QRect rect;        // the client window itself, without the window manager's frame
    bool overrideRedirect = false;
};

class Desktop {
public:
    enum class Kind {
        XvfbOpenbox, // Xvfb (a free display number through -displayfd) with openbox
        XvfbBare,    // Xvfb without a window manager: clients map their own windows
        // Xvfb with a window manager that takes the screen and never maps a window (never_maps.cpp)
        XvfbNeverMaps,
        // Weston (headless) with XWayland, as a Wayland desktop runs X clients. Its seat has a keyboard but
        // no pointer, and XWayland (22.1) crashes on a synthetic pointer event there: keyboard only.
        WestonXWayland,
    };
    // The screen: its size in pixels, and the dots per inch the desktop tells its programs (Xft.dpi, as
    // a desktop's scaling setting does: 144 is 1.5x, 192 is 2x; 0 tells nothing, which is 96).
    struct Screen {
        QSize size{1280, 800};
        int dpi = 0;
    };
    // Starts the display server and its window manager and waits until the manager has taken the
    // screen. Throws with a reason on failure.
    Desktop(Kind kind, Screen screen);
    explicit Desktop(Kind kind = Kind::XvfbOpenbox) : Desktop(kind, Screen()) {}
    ~Desktop();
    Desktop(const Desktop&) = delete;
    Desktop& operator=(const Desktop&) = delete;

    const std::string& Display() const { return display_; }
    QSize ScreenSize() const;

    // The whole screen as the X server holds it. XWayland keeps no root image (the compositor makes the
    // screen): there the picture is made of the windows' own images, each at its place, bottom to top.
    QImage Capture() const;
    bool OnWayland() const { return kind_ == Kind::WestonXWayland; }
    // Every viewable top-level client window, stacking order bottom to top.
    std::vector<Window> Windows() const;
    std::vector<Window> WindowsTitled(const std::string& title) const;

    // xdotool with these arguments on this display; false when it failed.
    bool Xdotool(const std::string& args) const;
    void Key(const std::string& keys) const { Xdotool("key --clearmodifiers " + keys); }
    void Type(const std::string& text) const { Xdotool("type --delay 40 '" + text + "'"); }
    void Click(QPoint at, int button = 1) const;
    // Asks the window manager to activate `w` (keyboard focus), as clicking its title would; without a
    // window manager, gives it the focus directly.
    void Activate(const Window& w) const;
    // Kills the display server (SIGKILL), as a crash would end it.
    void KillServer();

    // Sends the window manager's ping (_NET_WM_PING) to `w` and returns how long its answer took, or
    // nothing when none came within `timeout`.
    std::optional<std::chrono::milliseconds> Ping(const Window& w, std::chrono::milliseconds timeout) const;
    // Another program's window: a plain rectangle of one colour over everything, outside the window
    // manager's care, moved and taken away again as a person drags a window across.
    unsigned OpenCover(const QRect& rect, QRgb colour);
    void MoveCover(unsigned cover, QPoint to);
    void CloseCover(unsigned cover);

    // Weston's Wayland socket (absolute path; empty on X servers).
    std::string WaylandSocket() const;

private:
    struct Connection {
        xcb_connection_t* conn = nullptr;
        unsigned root = 0;
    };
    std::string StartXvfb();
    std::string StartWeston();
    QImage Image(unsigned window, QSize size) const;
    static Connection Connect(const std::string& display);
    void WaitForWindowManager(const std::string& name);
    void TellDpi(int dpi);

    Kind kind_;
    Screen screen_;
    std::filesystem::path runtimeDir_; // Weston's
    pid_t xvfb_ = -1;
    pid_t wm_ = -1;
    std::string display_;
    Connection x_;
};

// Polls `done` every `step` until it is true or `timeout` has passed; true when it became true.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step = std::chrono::milliseconds(50));

// Pixels of exactly this colour inside `area` of `img`.
int CountColour(const QImage& img, const QRect& area, QRgb colour);
// The bounding box of those pixels (empty when none).
QRect ColourBox(const QImage& img, const QRect& area, QRgb colour);

// Where the captures of one test go: $RENVORA_ACCEPTANCE_DIR (else <build>/acceptance-captures) / test.
class Captures {
public:
    explicit Captures(const std::string& test);
    // Saves `img` as NN-name.png and returns its path.
    std::filesystem::path Save(const QImage& img, const std::string& name);
    const std::filesystem::path& Dir() const { return dir_; }

private:
    std::filesystem::path dir_;
    int n_ = 0;
};

} // namespace rv::acceptance
