// A process killed at any moment of WriteCard leaves a token that the next opening resolves to exactly
// one complete set, the old or the new one, with nothing else of ours left but at most the key pair
// waiting for a write. The writer is a separate process (support/write_child) that a test module over
// SoftHSM2 (cards/pull_module.c) kills with SIGKILL at a call of the write chosen at random, before or after
// it: the cut points come from the write's own progress, so a slow machine cuts as often as a fast one.
#include "card/CDCertUpdate.h"
#include "card/dispids.h"
#include "card_under_test.h"
#include "platform/registry.h"

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
    // Waits for the child to end by itself (killed by the module); its status.
    int Wait() {
        int status = 0;
        ::waitpid(pid, &status, 0);
        char buf[256];
        ssize_t n;
        while ((n = ::read(out, buf, sizeof buf)) > 0) {
            seen.append(buf, static_cast<std::size_t>(n));
        }
        ::close(out);
        return status;
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

    // The writer goes through the module that counts and cuts the write's calls.
    reg::WriteValue(token.dir().classesRoot(), kCardControlKey, "Pkcs11Module",
                    RENVORA_BUILD_DIR "/tests/p11_pull_module.so");
    ::setenv("RENVORA_PULL_TARGET", test::SoftHsm::ModulePath().c_str(), 1);
    fs::path countFile = token.dir().path() / "cut-count";
    ::setenv("RENVORA_CUT_COUNT", countFile.c_str(), 1);
    auto calls = [&] { return std::atol(test::ReadAll(countFile).c_str()); };

    // Two writes left to finish count the calls a write makes (the first also writes the service keys).
    long fewest = 0;
    for (int i = 0; i < 2; ++i) {
        Child whole;
        ASSERT_TRUE(whole.Start(certOut));
        ASSERT_TRUE(whole.WaitFor("\nD ", 120)) << whole.seen;
        ASSERT_TRUE(whole.WaitFor("\n", 5));
        whole.Kill();
        ASSERT_EQ(whole.seen.substr(whole.seen.find("D ") + 2, 1), "0") << whole.seen;
        check("uncut write");
        ASSERT_EQ(previous, test::ReadAll(certOut));
        fewest = i == 0 ? calls() : std::min(fewest, calls());
    }
    ASSERT_GE(fewest, 4) << "a write makes at least its four objects";

    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<long> at(1, fewest);
    int cuts = 0;
    for (int run = 0; run < 20; ++run) {
        long k = at(rng);
        bool after = rng() % 2 == 1;
        ::setenv("RENVORA_CUT_AT", std::to_string(k).c_str(), 1);
        ::setenv("RENVORA_CUT_AFTER", after ? "1" : "0", 1);
        Child child;
        ASSERT_TRUE(child.Start(certOut));
        ASSERT_TRUE(child.WaitFor("W\n", 120)) << child.seen;
        int status = child.Wait();
        bool cut = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL &&
                   child.seen.find("\nD ") == std::string::npos;
        cuts += cut ? 1 : 0;
        ASSERT_TRUE(cut) << "run " << run << ": call " << k << " of " << fewest
                         << " was not reached: " << child.seen;
        ::unsetenv("RENVORA_CUT_AT");
        check("run " + std::to_string(run) + ": killed " + (after ? "after" : "before") + " call " +
              std::to_string(k));
        if (HasFatalFailure()) {
            return;
        }
    }
    EXPECT_EQ(cuts, 20);
    std::printf("kill test: %d writes cut at calls chosen among the %ld a write makes\n", cuts, fewest);
}

} // namespace
} // namespace rv
