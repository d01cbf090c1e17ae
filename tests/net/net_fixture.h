// Shared pieces of the network tests: a private working folder with a conf.ini, scripted message boxes,
// no proxy from the caller's environment, and a loopback listener that never completes a handshake.
#pragma once

#include "support/scripted_http_server.h"
#include "support/test_env.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rv::test {

class NetTest : public ::testing::Test {
protected:
    // conf.ini with the given lines, each ended by CR LF as the client's writer ends them.
    void WriteConf(const std::vector<std::string>& lines) {
        std::string text;
        for (const std::string& l : lines) {
            text += l + "\r\n";
        }
        dir.Write("Config/conf.ini", text);
    }
    void WriteRealm(const std::string& url) { WriteConf({"realmName=" + url}); }

    std::vector<std::string> Boxes() const { return core.boxes.TextsUtf8(); }

    TempWorkDir dir;
    CoreFixture core;
    NoProxyEnv noProxy;
};

// A loopback listener whose accept queue is full: further connection attempts get no SYN-ACK, so a
// client waits for its connect timeout. Only 127.0.0.1 is ever involved.
class FullBacklogListener {
public:
    FullBacklogListener();
    ~FullBacklogListener();
    FullBacklogListener(const FullBacklogListener&) = delete;
    FullBacklogListener& operator=(const FullBacklogListener&) = delete;
    int Port() const { return port_; }

private:
    int listenFd_ = -1;
    int port_ = 0;
    std::vector<int> fillers_;
};

// A free loopback port with nothing listening on it (connections are refused).
int ClosedLoopbackPort();

} // namespace rv::test
