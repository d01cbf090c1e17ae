#include "acceptance/assistive.h"

#include "acceptance/desktop.h"
#include "acceptance/process.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>

namespace rv::acceptance {
namespace fs = std::filesystem;
namespace {

// Debian's Python, which has pyatspi (not a python3 of someone's PATH).
constexpr const char* kPython = "/usr/bin/python3";
const fs::path kProbe = fs::path(RENVORA_ACCEPTANCE_SOURCE_DIR) / "atspi_probe.py";

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<QJsonObject> JsonLines(const std::string& text) {
    std::vector<QJsonObject> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line));
        if (doc.isObject()) {
            out.push_back(doc.object());
        }
    }
    return out;
}

std::string Str(const QJsonObject& o, const char* key) {
    return o.value(QLatin1String(key)).toString().toStdString();
}

QRect Rect(const QJsonObject& o, const char* key) {
    const QJsonArray a = o.value(QLatin1String(key)).toArray();
    return a.size() == 4 ? QRect(a[0].toInt(), a[1].toInt(), a[2].toInt(), a[3].toInt()) : QRect();
}

} // namespace

double MonotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

SessionBus::SessionBus(const fs::path& dir) {
    fs::create_directories(dir);
    std::ofstream(dir / "bus.conf")
        << "<busconfig><type>session</type><listen>unix:tmpdir=" << dir.string()
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
           "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
           "<allow own=\"*\"/></policy></busconfig>\n";
    daemon_ = Spawn(
        {"dbus-daemon", "--config-file=" + (dir / "bus.conf").string(), "--nofork", "--print-address=1"}, {},
        (dir / "bus.address").string(), (dir / "bus.err").string());
    WaitUntil(
        [&] {
            const std::string a = ReadAll(dir / "bus.address");
            if (a.find('\n') != std::string::npos) {
                address_ = a.substr(0, a.find('\n'));
            }
            return !address_.empty() || !Running(daemon_);
        },
        std::chrono::seconds(20));
    if (address_.empty()) {
        Stop(daemon_);
        throw std::runtime_error("the session bus did not start: " + ReadAll(dir / "bus.err"));
    }
}

SessionBus::~SessionBus() {
    Stop(daemon_);
}

bool SessionBus::WaitForName(const std::string& name, std::chrono::seconds timeout) const {
    return WaitUntil(
        [&] {
            return RunCommand("env DBUS_SESSION_BUS_ADDRESS='" + address_ +
                                  "' dbus-send --session --print-reply --dest=org.freedesktop.DBus "
                                  "/org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner string:" +
                                  name + " 2>/dev/null | grep -q 'boolean true'",
                              10)
                       .status == 0;
        },
        timeout, std::chrono::milliseconds(100));
}

ScreenReaderBus::ScreenReaderBus(const std::string& display, const fs::path& dir)
    : dir_(dir), display_(display), session_(dir) {
    fs::create_directories(dir_ / "runtime");
    ::chmod((dir_ / "runtime").c_str(), 0700);
    // The launcher starts the accessibility bus and announces it on the session bus and on the display;
    // --a11y=1 is the desktop's "assistive technologies on" switch.
    launcher_ = Spawn({"/usr/libexec/at-spi-bus-launcher", "--launch-immediately", "--a11y=1"}, Env(), "",
                      (dir_ / "launcher.err").string());
    if (!session_.WaitForName("org.a11y.Bus", std::chrono::seconds(20))) {
        Stop(launcher_);
        throw std::runtime_error("the accessibility bus did not start: " + ReadAll(dir_ / "launcher.err"));
    }
}

ScreenReaderBus::~ScreenReaderBus() {
    Stop(listener_);
    Stop(launcher_);
}

std::vector<std::string> ScreenReaderBus::Env() const {
    return {"DISPLAY=" + display_, "DBUS_SESSION_BUS_ADDRESS=" + session_.Address(),
            "XDG_RUNTIME_DIR=" + (dir_ / "runtime").string(), "AT_SPI_BUS_ADDRESS="};
}

std::vector<std::string> ScreenReaderBus::ClientEnv() const {
    return {"DBUS_SESSION_BUS_ADDRESS=" + session_.Address()};
}

bool ScreenReaderBus::Node::Has(const std::string& state) const {
    return std::find(states.begin(), states.end(), state) != states.end();
}

std::vector<std::size_t> ScreenReaderBus::Tree::Indices(const std::string& role,
                                                        const std::string& name) const {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (nodes[i].role == role && (name.empty() || nodes[i].name == name)) {
            out.push_back(i);
        }
    }
    return out;
}

std::vector<ScreenReaderBus::Node> ScreenReaderBus::Tree::Find(const std::string& role,
                                                               const std::string& name) const {
    std::vector<Node> out;
    for (std::size_t i : Indices(role, name)) {
        out.push_back(nodes[i]);
    }
    return out;
}

std::vector<ScreenReaderBus::Node> ScreenReaderBus::Tree::ChildrenOf(std::size_t i) const {
    std::vector<Node> out;
    for (std::size_t j = i + 1; j < nodes.size() && nodes[j].depth > nodes[i].depth; ++j) {
        if (nodes[j].depth == nodes[i].depth + 1) {
            out.push_back(nodes[j]);
        }
    }
    return out;
}

ScreenReaderBus::Tree ScreenReaderBus::Walk(std::chrono::seconds timeout) const {
    const fs::path out = dir_ / "tree.json";
    fs::remove(out);
    pid_t probe =
        Spawn({kPython, kProbe.string(), "tree"}, Env(), out.string(), (dir_ / "tree.err").string());
    WaitExit(probe, timeout);
    Stop(probe);
    Tree tree;
    for (const QJsonObject& o : JsonLines(ReadAll(out))) {
        if (Str(o, "role") == "end") {
            tree.seconds = o.value(QLatin1String("seconds")).toDouble();
            continue;
        }
        Node n;
        n.depth = o.value(QLatin1String("depth")).toInt();
        n.role = Str(o, "role");
        n.name = Str(o, "name");
        n.description = Str(o, "description");
        for (const QJsonValue& s : o.value(QLatin1String("states")).toArray()) {
            n.states.push_back(s.toString().toStdString());
        }
        n.text = Str(o, "text");
        n.box = Rect(o, "box");
        n.last = Rect(o, "last");
        tree.nodes.push_back(n);
    }
    return tree;
}

void ScreenReaderBus::Listen(int seconds) {
    Stop(listener_);
    const fs::path out = dir_ / "events.json";
    fs::remove(out);
    listener_ = Spawn({kPython, kProbe.string(), "listen", std::to_string(seconds)}, Env(), out.string(),
                      (dir_ / "events.err").string());
    WaitUntil([&] { return ReadAll(out).find("\"ready\"") != std::string::npos || !Running(listener_); },
              std::chrono::seconds(20));
}

std::vector<ScreenReaderBus::Event> ScreenReaderBus::Events() const {
    std::vector<Event> out;
    for (const QJsonObject& o : JsonLines(ReadAll(dir_ / "events.json"))) {
        if (Str(o, "event") == "ready") {
            continue;
        }
        Event e;
        e.t = o.value(QLatin1String("t")).toDouble();
        e.type = Str(o, "event");
        e.role = Str(o, "role");
        e.name = Str(o, "name");
        e.description = Str(o, "description");
        e.detail1 = o.value(QLatin1String("detail1")).toInt();
        out.push_back(e);
    }
    return out;
}

} // namespace rv::acceptance
