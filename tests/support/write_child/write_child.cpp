// Helper process of the kill tests: logs in to the card the registry names, prepares a new key pair,
// has a test CA issue the renewal's certificates, and then, after saying "W", runs WriteCard and says
// "D STATUS MICROSECONDS". It then waits to be killed. The new signing certificate goes to ARGV[1].
// Under the test module that cuts writes (tests/cards/pull_module.c) it arms the cut for WriteCard alone.
#include "card/CDCertUpdate.h"
#include "card/dispids.h"
#include "support/test_ca.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: write_child CERT-OUT MANAGE-PASSWORD\n");
        return 2;
    }
    const std::string managePassword = argv[2];
    rv::CDCertUpdate card;
    if (!card.Create(rv::kCardControlClsid)) {
        return 3;
    }
    card.OpenCard();
    card.SetPassword(std::getenv("RENVORA_WRITE_PIN") ? std::getenv("RENVORA_WRITE_PIN") : "123456");
    card.VerifyPassword();
    card.SetInitManagePassword(managePassword);
    card.InitUpdate();
    if (card.GetStatus() != 0) {
        std::fprintf(stderr, "write_child: %d\n", card.GetStatus());
        return 4;
    }
    rv::test::TestCa ca;
    std::string cert = ca.Issue(card.GetPublicKey(), "20260101000000Z", "20310630120000Z");
    std::string encKey = rv::test::NewPrivateKeyPem("ECC");
    { std::ofstream(std::string(argv[1]) + ".tmp") << cert; }
    std::rename((std::string(argv[1]) + ".tmp").c_str(), argv[1]);
    card.SetSignCert(cert);
    card.SetEnvCert(ca.Issue(encKey, "20260101000000Z", "20310630120000Z"));
    card.SetKmsKey("KMS");
    card.SetCssSignKey("CSS-SIGN");
    card.SetCssEnvKey("CSS-ENV");
    card.SetEnvData(rv::test::EncryptPrivateKeyPem(encKey, managePassword));
    card.SetWriteManagePassword(managePassword);
    std::printf("W\n");
    std::fflush(stdout);
    // A test that must prepare the card for the write first says when to go, by a file.
    if (const char* go = std::getenv("RENVORA_WRITE_GO_FILE")) {
        for (int i = 0; i < 6000 && !std::ifstream(go); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ::setenv("RENVORA_CUT_ARMED", "1", 1);
    auto t0 = std::chrono::steady_clock::now();
    card.WriteCard();
    auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
    ::unsetenv("RENVORA_CUT_ARMED");
    std::printf("D %d %lld\n", card.GetStatus(), static_cast<long long>(us));
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(30));
    return 0;
}
