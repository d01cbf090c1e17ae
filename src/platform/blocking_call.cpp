#include "platform/blocking_call.h"

#include <atomic>

namespace rv {
namespace {
std::atomic<BlockingCallHost*> g_host{nullptr};
} // namespace

void RunBlocking(const std::function<void()>& call) {
    if (BlockingCallHost* host = g_host.load(std::memory_order_acquire)) {
        host->Run(call);
    } else {
        call();
    }
}

BlockingCallHost* InstallBlockingCallHost(BlockingCallHost* host) {
    return g_host.exchange(host, std::memory_order_acq_rel);
}

} // namespace rv
