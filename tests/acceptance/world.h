// The demo world of one scenario, as scripts/run builds it, in a fresh folder: a software card enrolled
// with the reference server (certificate ending in 30 days), the server on a free loopback port behind a
// relay that can hold the renewal request back, the client's configuration and card registration, and the
// client itself as a separate process on the desktop.
#pragma once

#include "acceptance/process.h"

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace rv::acceptance {

inline constexpr const char* kPin = "123456";
inline constexpr const char* kMainTitle = "TessamarIC卡证书自主延期客户端";
inline constexpr const char* kBoxTitle = "提示信息";
inline constexpr const char* kLoginTitle = "登录";
inline constexpr const char* kSettingsTitle = "设置";

// Relays loopback TCP to the server and notes the path of every request that passes. A request whose
// bytes hold `slowPath` is held back `delayMs` first; with `failSlow` it is then dropped, the connection
// closed without an answer (the server never sees it).
class SlowRelay {
public:
    SlowRelay(int serverPort, std::string slowPath, int delayMs, bool failSlow);
    ~SlowRelay();
    SlowRelay(const SlowRelay&) = delete;
    SlowRelay& operator=(const SlowRelay&) = delete;
    int Port() const { return port_; }
    // Requests for exactly this path so far.
    int RequestsTo(const std::string& path) const;

private:
    void Accept();
    void Pump(int client);
    int listen_ = -1;
    int port_ = 0;
    int serverPort_;
    std::string slowPath_;
    int delayMs_;
    bool failSlow_;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::vector<std::thread> pumps_;
    mutable std::mutex mutex_;
    std::vector<std::string> paths_;
};

// How a scenario's card and server behave.
struct WorldFaults {
    int cardMs = 0; // each card call of the renewal (signing, key pair, write) takes this long
    std::map<std::string, int> more; // further card methods held back (name -> ms)
    int renewalMs = 0;               // the renewal request is held back this long
    bool renewalFails = false;       // and then dropped: the client sees the connection closed
};

// A scenario's card other than the software card: a PKCS#11 token (module and token label) that
// `renvora-server enrol --token-module` enrols and the token card plugin is registered for.
struct WorldToken {
    std::string module;
    std::string label;
};

class World {
public:
    explicit World(const std::string& display, const WorldFaults& faults = {}, const WorldToken& token = {});
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    void StartClient(const std::vector<std::string>& extraEnv = {});
    pid_t& Client() { return client_; }
    // What the client wrote to stderr so far.
    std::string ClientStderr() const;

    // The software card's own account of the card (renvora-softcard show).
    std::string ShowCard() const;
    // "13 valid to" of that account.
    std::string CardValidTo() const;
    int PinTriesLeft() const;
    // Certificates the server has issued (renvora-server issues).
    int IssueCount() const;
    // Requests for exactly this path that passed the relay to the server.
    int RequestsTo(const std::string& path) const { return relay_->RequestsTo(path); }
    // The end date the client remembered for the renewal reminder in the scenario's own data folder
    // ("" when it remembered none).
    std::string RememberedEndDate() const;

    const std::filesystem::path& Dir() const { return dir_; }

private:
    std::filesystem::path Tool(const char* rel) const;
    std::filesystem::path dir_;
    std::string display_;
    pid_t server_ = -1;
    pid_t client_ = -1;
    std::unique_ptr<SlowRelay> relay_;
};

// The client's folders in the real user's home (from the password database, whatever HOME says):
// ~/.local/share/renvora, ~/.config/renvora, ~/.renvora, and the same under $XDG_DATA_HOME and
// $XDG_CONFIG_HOME. A scenario must leave every file there as it was.
class RealHomeWatch {
public:
    RealHomeWatch();
    // What was created, changed or removed there since construction ("" when nothing).
    std::string Changes() const;

private:
    static std::map<std::string, std::string> Snapshot();
    std::map<std::string, std::string> before_;
};

} // namespace rv::acceptance
