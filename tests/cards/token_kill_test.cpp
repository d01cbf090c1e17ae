// A process killed at any moment of WriteCard leaves a token that the next opening resolves to exactly
// one complete set, the old or the new one, with nothing else of ours left but at most the key pair
// waiting for a write. The writer is a separate process (support/write_child), killed with SIGKILL at
// random moments spread over the time WriteCard takes.
#include "card/CDCertUpdate.h"
#include "card/dispids.h"
#include "card_under_test.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <random>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace rv {
namespace {

namespace fs = std::filesystem;
using test::Utf8;

const std::string kChild = RENVORA_BUILD_DIR "/tests/p11card_write_child";

struct Child {
    pid_t pid = -1;
    int out = -1;
    std::string seen;

    bool Start(const fs::path& certOut) {
        int fds[2];
        if (::pipe(fds) != 0) {
            return false;
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_addclose(&fa, fds[0]);
        std::string cert = certOut.string();
        char* argv[] = {const_cast<char*>(kChild.c_str()), cert.data(),
                        const_cast<char*>(test::kManagePassword), nullptr};
        int rc = posix_spawn(&pid, kChild.c_str(), &fa, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(fds[1]);
        out = fds[0];
        return rc == 0;
    }
    // Reads until `what` has been seen or `seconds` pass.
    bool WaitFor(const std::string& what, int seconds) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (seen.find(what) == std::string::npos) {
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                    .count());
            pollfd p{out, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, left) <= 0) {
                return false;
            }
            char buf[256];
            ssize_t n = ::read(out, buf, sizeof buf);
            if (n <= 0) {
                return false;
            }
            seen.append(buf, static_cast<std::size_t>(n));
        }
        return true;
    }
    void Kill() {
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        // What it said before it died is still in the pipe, which now ends.
        char buf[256];
        ssize_t n;
        while ((n = ::read(out, buf, sizeof buf)) > 0) {
            seen.append(buf, static_cast<std::size_t>(n));
        }
        ::close(out);
    }
};

TEST(TokenCardKill, AKillAnywhereInWriteCardLeavesExactlyOneCompleteSet) {
    test::TokenCard token("ECC");
    fs::path certOut = token.dir().path() / "new-cert.pem";
    std::string previous = token.firstCertPem();

    // The token after each cut: opened and logged in by a fresh control (which resolves it), then looked
    // at behind the control.
    auto check = [&](const std::string& what) {
        CDCertUpdate card;
        ASSERT_TRUE(card.Create(kCardControlClsid));
        card.OpenCard();
        ASSERT_EQ(card.GetStatus(), 0) << what << ": " << Utf8(card.GetErrorMessage());
        card.SetPassword(test::kPin);
        card.VerifyPassword();
        ASSERT_EQ(card.GetStatus(), 0) << what << ": " << Utf8(card.GetErrorMessage());
        card.ReadCardInfo();
        ASSERT_EQ(card.GetStatus(), 0) << what;
        std::string current = token.CurrentCertPem();
        std::string written = test::ReadAll(certOut);
        ASSERT_TRUE(current == previous || current == written) << what << ": neither the old nor the new set";
        card.SetSignSource("after the cut");
        card.SignData();
        ASSERT_EQ(card.GetStatus(), 0) << what;
        EXPECT_TRUE(test::OpenSslVerifies(current, "after the cut", card.GetSignature())) << what;
        card.CloseCard();
        test::TokenCensus c = token.Census();
        ASSERT_TRUE(c.read) << what;
        EXPECT_EQ(c.committed, 1) << what;
        EXPECT_EQ(c.others, 0) << what;
        EXPECT_EQ(c.pendingExtras, 0) << what;
        EXPECT_TRUE(c.password) << what;
        previous = current;
    };

    // One write left to finish shows how long WriteCard takes.
    Child whole;
    ASSERT_TRUE(whole.Start(certOut));
    ASSERT_TRUE(whole.WaitFor("\nD ", 60)) << whole.seen;
    ASSERT_TRUE(whole.WaitFor("\n", 5));
    whole.Kill();
    long long writeUs = std::atoll(whole.seen.substr(whole.seen.find("D ") + 4).c_str());
    ASSERT_EQ(whole.seen.substr(whole.seen.find("D ") + 2, 1), "0") << whole.seen;
    check("uncut write");
    ASSERT_EQ(previous, test::ReadAll(certOut));
    ASSERT_GT(writeUs, 0);

    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<long long> when(0, writeUs);
    int cuts = 0, finished = 0;
    for (int run = 0; run < 80 && cuts < 20; ++run) {
        Child child;
        ASSERT_TRUE(child.Start(certOut));
        ASSERT_TRUE(child.WaitFor("W\n", 60)) << child.seen;
        std::this_thread::sleep_for(std::chrono::microseconds(when(rng)));
        child.Kill();
        bool cut = child.seen.find("\nD ") == std::string::npos;
        cuts += cut ? 1 : 0;
        finished += cut ? 0 : 1;
        check("run " + std::to_string(run) + (cut ? " (cut)" : " (finished)"));
        if (HasFatalFailure()) {
            return;
        }
    }
    EXPECT_GE(cuts, 20) << finished << " writes finished before the kill (a write takes " << writeUs
                        << " us)";
    std::printf("kill test: %d writes cut, %d finished before the kill; an uncut write took %lld us\n", cuts,
                finished, writeUs);
}

} // namespace
} // namespace rv
