#include "card_under_test.h"

#include "card/dispids.h"
#include "core/card_image.h"
#include "core/provision.h"
#include "core/token_control.h"
#include "platform/registry.h"
#include "support/card_stack.h"

#include <stdexcept>

namespace rv::test {
namespace {

namespace fs = std::filesystem;

// UTF-8; the unit name holds "億", whose GBK trail byte is '|'.
const char8_t* const kHolderFields[] = {u8"SEQ-0042",
                                        u8"张三",
                                        u8"01",
                                        u8"110101199001011234",
                                        u8"F5",
                                        u8"C9000001",
                                        u8"某億科技有限公司",
                                        u8"91110000MA01",
                                        u8"NINE",
                                        u8"RA07",
                                        u8"10"};

std::string U(const char8_t* s) {
    return reinterpret_cast<const char*>(s);
}

class SoftCard : public CardUnderTest {
public:
    SoftCard() {
        algo_ = "SM2";
        std::string error;
        std::string key = softcard::GenerateSm2KeyPem(&error);
        firstCert_ = ca_.Issue(key, kNotBefore, kNotAfter);
        softcard::HolderRecord h;
        std::string* fields[] = {&h.certSeqNo, &h.applicantName, &h.idType,   &h.idNumber,
                                 &h.field5,    &h.cardNumber,    &h.unitName, &h.unitCode,
                                 &h.field9,    &h.raCode,        &h.cardType};
        for (std::size_t i = 0; i < std::size(fields); ++i) {
            *fields[i] = U(kHolderFields[i]);
        }
        softcard::CardImage card;
        image_ = dir_.path() / "card.json";
        if (!softcard::NewCardImage(h, kPin, kManagePassword, "SM2", key, firstCert_, card, error) ||
            !softcard::SaveCardImage(image_, card, error)) {
            throw std::runtime_error("card creation failed");
        }
        reg::RegisterControl(dir_.classesRoot(), kCardControlClsid, "software card",
                             RENVORA_BUILD_DIR "/softcard/softcard.so");
        reg::WriteValue(dir_.classesRoot(), kCardControlKey, "CardImage", image_.string());
    }
    std::string CurrentCertPem() override {
        softcard::CardImage card;
        std::string error;
        return softcard::LoadCardImage(image_, card, error) ? card.signCertPem : "";
    }
    std::string Snapshot() override { return ReadAll(image_); }
    void Eject() override { fs::remove(image_); }

private:
    fs::path image_;
};

// The emulated MyEID card in vpcd's reader under a private pcscd, reached through OpenSC, personalised by
// pkcs15-init and provisioned as the enrolment does it (an EC P-256 key generated on the card).
class EmulatedCard : public CardUnderTest {
public:
    EmulatedCard() : stack_(dir_.path() / "stack") {
        algo_ = "ECC";
        std::string log;
        if (!stack_.StartReader() || !stack_.InsertCard() || !stack_.Personalise(log)) {
            throw std::runtime_error("the card stack did not come up: " + log);
        }
        p11card::Provisioner token;
        std::string error, record, pub;
        for (const char8_t* f : kHolderFields) {
            record += (record.empty() ? "" : "|") + cp::Utf8ToGbk(U(f));
        }
        if (token.Open({CardStack::OpenScModule(), CardStack::kTokenLabel, ""}, kPin, false, error)) {
            pub = token.GenerateKey(p11card::KeyKind::EcP256, 2048, error);
        }
        firstCert_ = pub.empty() ? "" : ca_.Issue(pub, kNotBefore, kNotAfter);
        if (firstCert_.empty() || !token.Finish(record, firstCert_, kManagePassword, error)) {
            throw std::runtime_error("provisioning the emulated card failed: " + cp::GbkToUtf8(error));
        }
        reg::RegisterControl(dir_.classesRoot(), kCardControlClsid, "token card",
                             RENVORA_BUILD_DIR "/p11card/p11card.so");
        reg::WriteValue(dir_.classesRoot(), kCardControlKey, "Pkcs11Module", CardStack::OpenScModule());
        reg::WriteValue(dir_.classesRoot(), kCardControlKey, "TokenLabel", CardStack::kTokenLabel);
    }
    std::string CurrentCertPem() override {
        std::vector<std::shared_ptr<p11card::Module>> modules;
        p11card::Session s;
        p11card::TokenView view;
        p11card::TokenRef t;
        p11card::P11Config config;
        config.tokenLabel = CardStack::kTokenLabel;
        std::string error;
        CK_RV rv = CKR_OK;
        p11card::Bytes der;
        if (!p11card::Module::Load(CardStack::OpenScModule(), modules, error) ||
            !p11card::SelectToken(modules, config, t, error) || s.Open(t) != CKR_OK ||
            !p11card::ScanToken(s, view, rv) || !view.Current(false) ||
            !s.Attr(view.Current(false)->signCert, CKA_VALUE, der)) {
            return "";
        }
        return p11card::CertDerToPem(der);
    }
    // The card's whole memory: files, keys and PIN counters.
    std::string Snapshot() override { return ReadAll(stack_.stateFile()); }
    void Eject() override { stack_.PullCard(); }

private:
    CardStack stack_;
};

} // namespace

TokenCard::TokenCard(const std::string& algo) : hsm_(dir_.path()) {
    algo_ = algo;
    firstCert_ = AddToken(kLabel, true);
    reg::RegisterControl(dir_.classesRoot(), kCardControlClsid, "token card",
                         RENVORA_BUILD_DIR "/p11card/p11card.so");
    reg::WriteValue(dir_.classesRoot(), kCardControlKey, "Pkcs11Module", SoftHsm::ModulePath());
    reg::WriteValue(dir_.classesRoot(), kCardControlKey, "TokenLabel", kLabel);
}

std::string TokenCard::AddToken(const std::string& label, bool holder) {
    if (!hsm_.InitToken(label, kPin)) {
        throw std::runtime_error("softhsm2-util cannot make a token");
    }
    if (!holder) {
        return "";
    }
    p11card::Provisioner token;
    std::string error, record, pub;
    for (const char8_t* f : kHolderFields) {
        record += (record.empty() ? "" : "|") + cp::Utf8ToGbk(U(f));
    }
    if (token.Open({SoftHsm::ModulePath(), label, ""}, kPin, false, error)) {
        pub =
            token.GenerateKey(algo_ == "RSA" ? p11card::KeyKind::Rsa : p11card::KeyKind::EcP256, 2048, error);
    }
    std::string cert = pub.empty() ? "" : ca_.Issue(pub, kNotBefore, kNotAfter);
    if (cert.empty() || !token.Finish(record, cert, kManagePassword, error)) {
        throw std::runtime_error("token provisioning failed: " + cp::GbkToUtf8(error));
    }
    return cert;
}

bool OpenTokenSession(const std::string& label, std::vector<std::shared_ptr<p11card::Module>>& modules,
                      p11card::Session& s) {
    std::string error;
    p11card::TokenRef t;
    p11card::P11Config config;
    config.tokenLabel = label;
    return p11card::Module::Load(SoftHsm::ModulePath(), modules, error) &&
           p11card::SelectToken(modules, config, t, error) && s.Open(t) == CKR_OK;
}

std::string TokenCard::CurrentCertPem() {
    std::vector<std::shared_ptr<p11card::Module>> modules;
    p11card::Session s;
    p11card::TokenView view;
    CK_RV rv = CKR_OK;
    p11card::Bytes der;
    if (!OpenTokenSession(kLabel, modules, s) || !p11card::ScanToken(s, view, rv) || !view.Current(false) ||
        !s.Attr(view.Current(false)->signCert, CKA_VALUE, der)) {
        return "";
    }
    return p11card::CertDerToPem(der);
}

TokenCensus TokenCard::Census() {
    TokenCensus c;
    std::vector<std::shared_ptr<p11card::Module>> modules;
    p11card::Session s;
    p11card::TokenView view;
    CK_RV rv = CKR_OK;
    if (!OpenTokenSession(kLabel, modules, s) || s.Login(kPin) != CKR_OK ||
        !p11card::ScanToken(s, view, rv)) {
        return c;
    }
    c.read = true;
    const p11card::TokenSet* current = view.Current(true);
    const p11card::TokenSet* pending = view.Pending(true);
    CK_OBJECT_HANDLE password = view.ManagePassword(true);
    CK_OBJECT_HANDLE serviceKeys = view.InForce(p11card::kServiceKeys, true);
    c.password = password != CK_INVALID_HANDLE;
    for (const p11card::TokenSet& set : view.sets) {
        c.committed += set.Committed() ? 1 : 0;
        c.pending = c.pending || &set == pending;
        for (CK_OBJECT_HANDLE h : set.all) {
            if (&set == pending) {
                c.pendingExtras += h != set.signPriv ? 1 : 0;
            } else if (&set != current) {
                c.others += h != password && h != serviceKeys ? 1 : 0; // in force, kept from an older set
            }
        }
    }
    return c;
}

std::unique_ptr<CardUnderTest> CardUnderTest::Make(const std::string& kind) {
    if (kind == "softcard") {
        return std::make_unique<SoftCard>();
    }
    if (kind == "emulated") {
        return CardStack::SkipReason().empty() ? std::make_unique<EmulatedCard>() : nullptr;
    }
    return std::make_unique<TokenCard>(kind == "token-RSA" ? "RSA" : "ECC");
}

} // namespace rv::test
