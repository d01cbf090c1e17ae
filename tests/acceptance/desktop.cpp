#include "acceptance/desktop.h"

#include "acceptance/process.h"

#include <xcb/xcb.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <poll.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace rv::acceptance {
namespace fs = std::filesystem;
namespace {

template <class T> using Reply = std::unique_ptr<T, decltype(&std::free)>;
template <class T> Reply<T> Own(T* p) {
    return Reply<T>(p, &std::free);
}

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
    auto r = Own(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
    return r ? r->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

std::string Property(xcb_connection_t* c, xcb_window_t w, xcb_atom_t prop, bool* present = nullptr) {
    auto r = Own(xcb_get_property_reply(
        c, xcb_get_property(c, 0, w, prop, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024), nullptr));
    if (present) {
        *present = r && r->type != XCB_ATOM_NONE;
    }
    if (!r || r->type == XCB_ATOM_NONE) {
        return {};
    }
    const int len = xcb_get_property_value_length(r.get());
    return std::string(static_cast<const char*>(xcb_get_property_value(r.get())),
                       static_cast<std::size_t>(len));
}

// Reads the display number Xvfb writes to -displayfd, within `ms`.
std::string ReadDisplayNumber(int fd, int ms) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.find('\n') == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buf[32];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        got.append(buf, static_cast<std::size_t>(n));
    }
    const auto nl = got.find('\n');
    return nl == std::string::npos ? std::string() : got.substr(0, nl);
}

} // namespace

Desktop::Desktop(Kind kind, Screen screen) : kind_(kind), screen_(screen) {
    display_ = OnWayland() ? StartWeston() : StartXvfb();
    x_ = Connect(display_);
    if (screen_.dpi > 0) {
        TellDpi(screen_.dpi);
    }
    switch (kind_) {
    case Kind::XvfbOpenbox:
        wm_ = Spawn({"openbox", "--sm-disable"}, {"DISPLAY=" + display_}, "", "");
        WaitForWindowManager("openbox");
        break;
    case Kind::XvfbNeverMaps:
        wm_ = Spawn({fs::read_symlink("/proc/self/exe").string(), kNeverMapsOption}, {"DISPLAY=" + display_},
                    "", "");
        WaitForWindowManager("the window manager that never maps");
        break;
    case Kind::XvfbBare:
        break;
    case Kind::WestonXWayland:
        WaitForWindowManager("weston's X window manager");
        break;
    }
}

std::string Desktop::StartXvfb() {
    int fds[2];
    if (::pipe(fds) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const std::string size =
        std::to_string(screen_.size.width()) + "x" + std::to_string(screen_.size.height()) + "x24";
    xvfb_ = Spawn(
        {"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", size, "-nolisten", "tcp", "-noreset"},
        {}, "", "", {fds[1]});
    ::close(fds[1]);
    const std::string number = ReadDisplayNumber(fds[0], 20000);
    ::close(fds[0]);
    if (number.empty()) {
        throw std::runtime_error(
            "Xvfb did not report a display within 20 s (is the package xvfb installed?)");
    }
    return ":" + number;
}

std::string Desktop::StartWeston() {
    char templ[] = "/tmp/renvora-weston-XXXXXX";
    if (!::mkdtemp(templ)) {
        throw std::runtime_error("mkdtemp failed");
    }
    runtimeDir_ = templ;
    // XWayland's sockets live where every X server keeps them; Xvfb makes the folder, Weston does not.
    std::error_code ec;
    if (!fs::exists("/tmp/.X11-unix", ec)) {
        fs::create_directory("/tmp/.X11-unix", ec);
        fs::permissions("/tmp/.X11-unix", fs::perms::all | fs::perms::sticky_bit, ec);
    }
    const fs::path log = runtimeDir_ / "weston.log";
    wm_ =
        Spawn({"weston", "--backend=headless-backend.so", "--xwayland", "--socket=wayland-renvora",
               "--width=" + std::to_string(screen_.size.width()),
               "--height=" + std::to_string(screen_.size.height()), "--idle-time=0", "--log=" + log.string()},
              {"XDG_RUNTIME_DIR=" + runtimeDir_.string(), "WAYLAND_DISPLAY=", "DISPLAY="}, "",
              (runtimeDir_ / "weston.err").string());
    const std::string mark = "xserver listening on display :";
    std::string number;
    WaitUntil(
        [&] {
            std::ifstream in(log);
            std::string line;
            while (std::getline(in, line)) {
                if (auto at = line.find(mark); at != std::string::npos) {
                    number = line.substr(at + mark.size());
                }
            }
            return !number.empty() || !Running(wm_);
        },
        std::chrono::seconds(30));
    if (number.empty()) {
        throw std::runtime_error("weston with XWayland did not start (packages weston, xwayland?)");
    }
    return ":" + number;
}

Desktop::Connection Desktop::Connect(const std::string& display) {
    int screenNo = 0;
    Connection c;
    c.conn = xcb_connect(display.c_str(), &screenNo);
    if (xcb_connection_has_error(c.conn)) {
        throw std::runtime_error("cannot connect to " + display);
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c.conn));
    for (int i = 0; i < screenNo; ++i) {
        xcb_screen_next(&it);
    }
    c.root = it.data->root;
    return c;
}

void Desktop::WaitForWindowManager(const std::string& name) {
    const xcb_atom_t check = Atom(x_.conn, "_NET_SUPPORTING_WM_CHECK");
    if (!WaitUntil(
            [&] {
                bool present = false;
                Property(x_.conn, x_.root, check, &present);
                return present;
            },
            std::chrono::seconds(30))) {
        throw std::runtime_error(name + " did not take the screen within 30 s");
    }
}

void Desktop::KillServer() {
    if (xvfb_ > 0) {
        ::kill(xvfb_, SIGKILL);
        WaitExit(xvfb_, std::chrono::seconds(5));
        xvfb_ = -1;
    }
}

Desktop::~Desktop() {
    if (x_.conn) {
        xcb_disconnect(x_.conn);
    }
    Stop(wm_);
    Stop(xvfb_);
    if (!runtimeDir_.empty() && std::getenv("RENVORA_ACCEPTANCE_KEEP") == nullptr) {
        std::error_code ec;
        fs::remove_all(runtimeDir_, ec);
    }
}

QSize Desktop::ScreenSize() const {
    return screen_.size;
}

void Desktop::TellDpi(int dpi) {
    // The X resources a desktop's settings daemon publishes on the root window; toolkits read Xft.dpi.
    const std::string resources = "Xft.dpi:\t" + std::to_string(dpi) + "\n";
    xcb_change_property(x_.conn, XCB_PROP_MODE_REPLACE, x_.root, XCB_ATOM_RESOURCE_MANAGER, XCB_ATOM_STRING,
                        8, static_cast<uint32_t>(resources.size()), resources.data());
    xcb_flush(x_.conn);
    std::free(xcb_get_input_focus_reply(x_.conn, xcb_get_input_focus(x_.conn), nullptr));
}

std::optional<std::chrono::milliseconds> Desktop::Ping(const Window& w,
                                                       std::chrono::milliseconds timeout) const {
    // A connection of its own that listens on the root window, where a client sends its answer (to those
    // who select structure notification or substructure redirection there, as the window manager does).
    Connection c = Connect(display_);
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(c.conn, c.root, XCB_CW_EVENT_MASK, &mask);
    const xcb_atom_t protocols = Atom(c.conn, "WM_PROTOCOLS");
    const xcb_atom_t ping = Atom(c.conn, "_NET_WM_PING");
    static uint32_t stamp = 1000;
    const uint32_t time = ++stamp;
    xcb_client_message_event_t ev{};
    ev.response_type = XCB_CLIENT_MESSAGE;
    ev.format = 32;
    ev.window = w.id;
    ev.type = protocols;
    ev.data.data32[0] = ping;
    ev.data.data32[1] = time;
    ev.data.data32[2] = w.id;
    const auto t0 = std::chrono::steady_clock::now();
    xcb_send_event(c.conn, 0, w.id, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&ev));
    xcb_flush(c.conn);
    std::optional<std::chrono::milliseconds> took;
    WaitUntil(
        [&] {
            while (xcb_generic_event_t* e = xcb_poll_for_event(c.conn)) {
                auto* cm = reinterpret_cast<xcb_client_message_event_t*>(e);
                if ((e->response_type & 0x7F) == XCB_CLIENT_MESSAGE && cm->type == protocols &&
                    cm->data.data32[0] == ping && cm->data.data32[1] == time) {
                    took = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - t0);
                }
                std::free(e);
            }
            return took.has_value();
        },
        timeout, std::chrono::milliseconds(2));
    xcb_disconnect(c.conn);
    return took;
}

unsigned Desktop::OpenCover(const QRect& rect, QRgb colour) {
    const xcb_window_t w = xcb_generate_id(x_.conn);
    const uint32_t values[] = {colour & 0xFFFFFF, 1};
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(x_.conn)).data;
    xcb_create_window(x_.conn, XCB_COPY_FROM_PARENT, w, x_.root, static_cast<int16_t>(rect.x()),
                      static_cast<int16_t>(rect.y()), static_cast<uint16_t>(rect.width()),
                      static_cast<uint16_t>(rect.height()), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(x_.conn, w);
    xcb_flush(x_.conn);
    std::free(xcb_get_input_focus_reply(x_.conn, xcb_get_input_focus(x_.conn), nullptr));
    return w;
}

void Desktop::MoveCover(unsigned cover, QPoint to) {
    const uint32_t values[] = {static_cast<uint32_t>(to.x()), static_cast<uint32_t>(to.y())};
    xcb_configure_window(x_.conn, cover, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, values);
    xcb_flush(x_.conn);
    std::free(xcb_get_input_focus_reply(x_.conn, xcb_get_input_focus(x_.conn), nullptr));
}

void Desktop::CloseCover(unsigned cover) {
    xcb_destroy_window(x_.conn, cover);
    xcb_flush(x_.conn);
}

std::string Desktop::WaylandSocket() const {
    return OnWayland() ? (runtimeDir_ / "wayland-renvora").string() : std::string();
}

QImage Desktop::Image(unsigned window, QSize size) const {
    auto r = Own(xcb_get_image_reply(x_.conn,
                                     xcb_get_image(x_.conn, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0,
                                                   static_cast<uint16_t>(size.width()),
                                                   static_cast<uint16_t>(size.height()), ~0u),
                                     nullptr));
    if (!r || (r->depth != 24 && r->depth != 32) || size.height() <= 0) {
        return {};
    }
    const int stride = xcb_get_image_data_length(r.get()) / size.height();
    QImage img(xcb_get_image_data(r.get()), size.width(), size.height(), stride, QImage::Format_RGB32);
    return img.copy(); // the reply's memory goes with it
}

QImage Desktop::Capture() const {
    if (!OnWayland()) {
        return Image(x_.root, ScreenSize());
    }
    QImage screen(ScreenSize(), QImage::Format_RGB32);
    screen.fill(Qt::black);
    for (const Window& w : Windows()) {
        const QImage img = Image(w.id, w.rect.size());
        for (int y = 0; y < img.height(); ++y) {
            const auto* from = reinterpret_cast<const QRgb*>(img.constScanLine(y));
            const int sy = w.rect.top() + y;
            if (sy < 0 || sy >= screen.height()) {
                continue;
            }
            auto* to = reinterpret_cast<QRgb*>(screen.scanLine(sy));
            for (int x = 0; x < img.width(); ++x) {
                const int sx = w.rect.left() + x;
                if (sx >= 0 && sx < screen.width()) {
                    to[sx] = from[x];
                }
            }
        }
    }
    return screen;
}

std::vector<Window> Desktop::Windows() const {
    xcb_connection_t* conn_ = x_.conn;
    const xcb_window_t root_ = x_.root;
    const xcb_atom_t wmState = Atom(conn_, "WM_STATE");
    const xcb_atom_t netName = Atom(conn_, "_NET_WM_NAME");
    std::vector<Window> out;
    // The client window inside a frame: the first one down the tree that carries WM_STATE.
    std::function<xcb_window_t(xcb_window_t, int)> client = [&](xcb_window_t w, int depth) -> xcb_window_t {
        bool present = false;
        Property(conn_, w, wmState, &present);
        if (present) {
            return w;
        }
        if (depth == 0) {
            return XCB_WINDOW_NONE;
        }
        auto tree = Own(xcb_query_tree_reply(conn_, xcb_query_tree(conn_, w), nullptr));
        if (!tree) {
            return XCB_WINDOW_NONE;
        }
        const xcb_window_t* kids = xcb_query_tree_children(tree.get());
        for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
            if (xcb_window_t found = client(kids[i], depth - 1)) {
                return found;
            }
        }
        return XCB_WINDOW_NONE;
    };
    auto tree = Own(xcb_query_tree_reply(conn_, xcb_query_tree(conn_, root_), nullptr));
    if (!tree) {
        return out;
    }
    const xcb_window_t* tops = xcb_query_tree_children(tree.get());
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
        auto attrs =
            Own(xcb_get_window_attributes_reply(conn_, xcb_get_window_attributes(conn_, tops[i]), nullptr));
        if (!attrs || attrs->map_state != XCB_MAP_STATE_VIEWABLE ||
            attrs->_class == XCB_WINDOW_CLASS_INPUT_ONLY) {
            continue;
        }
        Window win;
        win.overrideRedirect = attrs->override_redirect != 0;
        xcb_window_t w = win.overrideRedirect ? tops[i] : client(tops[i], 3);
        if (w == XCB_WINDOW_NONE && kind_ == Kind::XvfbBare) {
            // No window manager puts WM_STATE on anything: a top-level window with a title is a client's.
            bool named = false;
            Property(conn_, tops[i], netName, &named);
            w = named ? tops[i] : static_cast<xcb_window_t>(XCB_WINDOW_NONE);
        }
        if (w == XCB_WINDOW_NONE) {
            continue;
        }
        auto attrsW =
            Own(xcb_get_window_attributes_reply(conn_, xcb_get_window_attributes(conn_, w), nullptr));
        if (!attrsW || attrsW->map_state != XCB_MAP_STATE_VIEWABLE) {
            continue;
        }
        auto geo = Own(xcb_get_geometry_reply(conn_, xcb_get_geometry(conn_, w), nullptr));
        auto at = Own(xcb_translate_coordinates_reply(conn_, xcb_translate_coordinates(conn_, w, root_, 0, 0),
                                                      nullptr));
        if (!geo || !at) {
            continue;
        }
        win.id = w;
        win.rect = QRect(at->dst_x, at->dst_y, geo->width, geo->height);
        bool named = false;
        win.title = Property(conn_, w, netName, &named);
        if (!named) {
            win.title = Property(conn_, w, XCB_ATOM_WM_NAME);
        }
        out.push_back(win);
    }
    return out;
}

std::vector<Window> Desktop::WindowsTitled(const std::string& title) const {
    std::vector<Window> all = Windows();
    std::vector<Window> out;
    for (const Window& w : all) {
        if (!w.overrideRedirect && w.title == title) {
            out.push_back(w);
        }
    }
    return out;
}

bool Desktop::Xdotool(const std::string& args) const {
    const std::string cmd = "DISPLAY=" + display_ + " xdotool " + args + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

void Desktop::Activate(const Window& w) const {
    // Through the display that holds the window; Weston's X window manager takes the request but keeps
    // no _NET_ACTIVE_WINDOW for xdotool to wait on; without a window manager nobody takes it.
    const std::string how = kind_ == Kind::XvfbBare ? "windowfocus --sync "
                            : OnWayland()           ? "windowactivate "
                                                    : "windowactivate --sync ";
    const std::string cmd =
        "DISPLAY=" + display_ + " xdotool " + how + std::to_string(w.id) + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "acceptance: could not activate window %x\n", w.id);
    }
    if (OnWayland()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
}

void Desktop::Click(QPoint at, int button) const {
    // No --sync: it waits for a motion that never comes when the pointer is already there.
    Xdotool("mousemove " + std::to_string(at.x()) + " " + std::to_string(at.y()) + " click " +
            std::to_string(button));
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (done()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(step);
    }
}

int CountColour(const QImage& img, const QRect& area, QRgb colour) {
    int n = 0;
    const QRect r = area.intersected(img.rect());
    for (int y = r.top(); y <= r.bottom(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(img.constScanLine(y));
        for (int x = r.left(); x <= r.right(); ++x) {
            n += (line[x] & 0xFFFFFF) == (colour & 0xFFFFFF) ? 1 : 0;
        }
    }
    return n;
}

QRect ColourBox(const QImage& img, const QRect& area, QRgb colour) {
    QRect box;
    const QRect r = area.intersected(img.rect());
    for (int y = r.top(); y <= r.bottom(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(img.constScanLine(y));
        for (int x = r.left(); x <= r.right(); ++x) {
            if ((line[x] & 0xFFFFFF) == (colour & 0xFFFFFF)) {
                box |= QRect(x, y, 1, 1);
            }
        }
    }
    return box;
}

Captures::Captures(const std::string& test) {
    fs::path base;
    if (const char* dir = std::getenv("RENVORA_ACCEPTANCE_DIR"); dir && *dir) {
        base = dir;
    } else {
        base = fs::path(RENVORA_BUILD_DIR) / "acceptance-captures";
    }
    dir_ = base / test;
    fs::remove_all(dir_);
    fs::create_directories(dir_);
}

fs::path Captures::Save(const QImage& img, const std::string& name) {
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%02d-", ++n_);
    fs::path file = dir_ / (prefix + name + ".png");
    img.save(QString::fromStdString(file.string()), "PNG");
    return file;
}

} // namespace rv::acceptance
