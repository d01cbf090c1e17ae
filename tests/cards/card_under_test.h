// One card in the reader behind a real card control plugin, registered through the registry stand-in:
// the software card over a card image, or the token card over a private SoftHSM2 token. The contract
// suite runs against each; only what must be looked at behind the control differs.
#pragma once

#include "core/pkcs11.h"
#include "support/softhsm.h"
#include "support/test_ca.h"
#include "support/test_env.h"

#include <memory>
#include <string>
#include <vector>

namespace rv::test {

inline constexpr const char* kPin = "123456";
inline constexpr const char* kManagePassword = "MP-0001";
// Validity of the card's first certificate, fixed so the record's dates can be checked exactly.
inline constexpr const char* kNotBefore = "20240115083000Z";
inline constexpr const char* kNotAfter = "20260114235959Z";

class CardUnderTest {
public:
    // "softcard", "token-ECC", "token-RSA" or "emulated" (the emulated smart card through OpenSC; null
    // where the card stack cannot run, see CardStack::SkipReason).
    static std::unique_ptr<CardUnderTest> Make(const std::string& kind);
    virtual ~CardUnderTest() = default;

    // The algorithm identifier the card reports.
    const std::string& algo() const { return algo_; }
    // The signing certificate the card was made with.
    const std::string& firstCertPem() const { return firstCert_; }
    TestCa& ca() { return ca_; }
    const TempWorkDir& dir() const { return dir_; }

    // The current signing certificate, read behind the control.
    virtual std::string CurrentCertPem() = 0;
    // Everything the card holds: equal snapshots mean nothing was written.
    virtual std::string Snapshot() = 0;
    // Takes the card out of the reader.
    virtual void Eject() = 0;

protected:
    TempWorkDir dir_;
    TestCa ca_;
    std::string algo_, firstCert_;
};

// A session with the token `label` of the test's SoftHSM2 (`modules` holds what it needs loaded).
bool OpenTokenSession(const std::string& label, std::vector<std::shared_ptr<p11card::Module>>& modules,
                      p11card::Session& s);

// Everything of ours on a token, seen logged in: the complete sets and what else is there.
struct TokenCensus {
    bool read = false;     // the token could be read logged in
    int committed = 0;     // sets with their signing certificate
    int others = 0;        // objects of other tags than the current one and the pending key
    int pendingExtras = 0; // objects beside a pending key
    bool pending = false;
    bool password = false; // a management-password hash in force
};

// The token card on a private SoftHSM2: token "renvora-test" provisioned as the enrolment does it (key
// pair generated on the token, certificate from the test CA, holder record, management-password hash),
// and the plugin registered for the SoftHSM2 module and that label.
class TokenCard : public CardUnderTest {
public:
    static constexpr const char* kLabel = "renvora-test";
    explicit TokenCard(const std::string& algo);

    std::string CurrentCertPem() override;
    TokenCensus Census();
    std::string Snapshot() override { return hsm_.Snapshot(); }
    void Eject() override { hsm_.Eject(); }

    SoftHsm& hsm() { return hsm_; }
    // Makes another token `label` on the same SoftHSM2; `holder` false leaves it without a card.
    // Returns its first certificate ("" for a token without a card).
    std::string AddToken(const std::string& label, bool holder);

private:
    SoftHsm hsm_;
};

} // namespace rv::test
