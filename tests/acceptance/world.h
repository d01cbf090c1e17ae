// The demo world of one scenario, as scripts/run builds it, in a fresh folder: a software card enrolled
// with the reference server (certificate ending in 30 days), the server on a free loopback port behind a
// relay that can hold the renewal request back, the client's configuration and card registration, and the
// client itself as a separate process on the desktop.
#pragma once

#include "acceptance/process.h"

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace rv::acceptance {

inline constexpr const char* kPin = "123456";
inline constexpr const char* kMainTitle = "TessamarIC卡证书自主延期客户端";
inline constexpr const char* kBoxTitle = "提示信息";
inline constexpr const char* kLoginTitle = "登录";
inline constexpr const char* kSettingsTitle = "设置";

// Relays loopback TCP to the server; a request whose bytes hold `slowPath` is held back `delayMs` first.
class SlowRelay {
public:
    SlowRelay(int serverPort, std::string slowPath, int delayMs);
    ~SlowRelay();
    SlowRelay(const SlowRelay&) = delete;
    SlowRelay& operator=(const SlowRelay&) = delete;
    int Port() const { return port_; }

private:
    void Accept();
    void Pump(int client);
    int listen_ = -1;
    int port_ = 0;
    int serverPort_;
    std::string slowPath_;
    int delayMs_;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::vector<std::thread> pumps_;
};

class World {
public:
    // `slowMs` > 0: every card call of the renewal (signing, key pair, write) and the renewal request
    // take that long.
    explicit World(const std::string& display, int slowMs = 0);
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

    const std::filesystem::path& Dir() const { return dir_; }

private:
    std::filesystem::path Tool(const char* rel) const;
    std::filesystem::path dir_;
    std::string display_;
    pid_t server_ = -1;
    pid_t client_ = -1;
    std::unique_ptr<SlowRelay> relay_;
};

} // namespace rv::acceptance
