// Where the calls that block run: every call into the card control and every exchange with the renewal
// server goes through RunBlocking. By default it runs the call right here (the display-free core, its
// tests, the reminder's check); the windowed client installs a host that runs it on its one call thread
// while the user interface thread keeps the windows alive (platform/qt/call_thread.h). Either way the
// call has returned, and its exception is rethrown here, when RunBlocking returns.
#pragma once

#include <functional>

namespace rv {

class BlockingCallHost {
public:
    virtual ~BlockingCallHost() = default;
    // Runs `call` to its end. The calls of one host never overlap.
    virtual void Run(const std::function<void()>& call) = 0;
};

// Runs `call` on the installed host, or right here when none is installed.
void RunBlocking(const std::function<void()>& call);

// Installs `host` (not owned) and returns the previous one; nullptr runs calls right here again. Installed
// and removed on the user interface thread while no call runs.
BlockingCallHost* InstallBlockingCallHost(BlockingCallHost* host);

} // namespace rv
