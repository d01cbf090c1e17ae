// What a screen reader meets: a private accessibility bus (a session bus of the scenario's own with the
// AT-SPI bus launcher on it, for one display) and a probe that walks the client's accessible objects
// and listens to the events a screen reader acts on, through pyatspi (atspi_probe.py).
#pragma once

#include <QRect>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace rv::acceptance {

// A D-Bus session bus of the scenario's own (its socket under `dir`), as a desktop session has one.
class SessionBus {
public:
    explicit SessionBus(const std::filesystem::path& dir);
    ~SessionBus();
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;
    const std::string& Address() const { return address_; }
    // True once `name` has an owner on the bus (within `timeout`).
    bool WaitForName(const std::string& name, std::chrono::seconds timeout) const;

private:
    std::string address_;
    pid_t daemon_ = -1;
};

class ScreenReaderBus {
public:
    // Starts the buses for `display`, their sockets and files under `dir`. Throws with a reason.
    ScreenReaderBus(const std::string& display, const std::filesystem::path& dir);
    ~ScreenReaderBus();
    ScreenReaderBus(const ScreenReaderBus&) = delete;
    ScreenReaderBus& operator=(const ScreenReaderBus&) = delete;

    // What a client of the desktop needs to find the bus.
    std::vector<std::string> ClientEnv() const;

    // One accessible object of the client (depth first; the application is depth 0).
    struct Node {
        int depth = 0;
        std::string role, name, description; // UTF-8
        std::vector<std::string> states;
        std::string text; // text fields
        QRect box, last;  // a text field and its last character, on the screen
        bool Has(const std::string& state) const;
    };
    struct Tree {
        std::vector<Node> nodes;
        double seconds = -1; // how long the walk took; -1 when it did not end
        // The nodes of this role (and name, when given), and where they are in `nodes`.
        std::vector<Node> Find(const std::string& role, const std::string& name = "") const;
        std::vector<std::size_t> Indices(const std::string& role, const std::string& name = "") const;
        // The children of nodes[i].
        std::vector<Node> ChildrenOf(std::size_t i) const;
    };
    // Walks the client's objects now (bounded by `timeout`).
    Tree Walk(std::chrono::seconds timeout = std::chrono::seconds(30)) const;

    // From now on, notes every event for `seconds` (returns once the listener is ready).
    void Listen(int seconds);
    struct Event {
        double t = 0; // CLOCK_MONOTONIC seconds, as steady_clock
        std::string type, role, name, description;
        int detail1 = 0;
    };
    // The events noted so far.
    std::vector<Event> Events() const;

private:
    std::vector<std::string> Env() const;
    std::filesystem::path dir_;
    std::string display_;
    SessionBus session_;
    pid_t launcher_ = -1;
    pid_t listener_ = -1;
};

// The steady clock as the probe's times count (seconds).
double MonotonicSeconds();

} // namespace rv::acceptance
