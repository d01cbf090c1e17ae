#include "softcard_env.h"

#include "card/dispids.h"
#include "core/faults.h"
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace rv::test {
namespace fs = std::filesystem;

softcard::HolderRecord TestHolder() {
    softcard::HolderRecord h;
    h.certSeqNo = "SEQ-0042";
    h.applicantName = reinterpret_cast<const char*>(u8"张三");
    h.idType = "01";
    h.idNumber = "110101199001011234";
    h.field5 = "F5";
    h.cardNumber = "C9000001";
    h.unitName = reinterpret_cast<const char*>(u8"某億科技有限公司");
    h.unitCode = "91110000MA01";
    h.field9 = "NINE";
    h.raCode = "RA07";
    h.cardType = "10";
    return h;
}

SoftCardEnv::SoftCardEnv() {
    if (const char* v = std::getenv("RENVORA_CARD_IMAGE")) {
        hadImageEnv_ = true;
        oldImageEnv_ = v;
    }
    ::unsetenv("RENVORA_CARD_IMAGE");
    image = MakeCard("card.json", TestHolder());
    softcard::CardImage card = LoadImage();
    signKeyPem = card.signKeyPem;
    signCertPem = card.signCertPem;
    reg::RegisterControl(dir.classesRoot(), kCardControlClsid, "software card", kPluginPath);
    reg::WriteValue(dir.classesRoot(), kCardControlKey, "CardImage", image.string());
}

SoftCardEnv::~SoftCardEnv() {
    if (hadImageEnv_) {
        ::setenv("RENVORA_CARD_IMAGE", oldImageEnv_.c_str(), 1);
    } else {
        ::unsetenv("RENVORA_CARD_IMAGE");
    }
}

fs::path SoftCardEnv::MakeCard(const std::string& name, const softcard::HolderRecord& holder) {
    std::string error;
    std::string key = softcard::GenerateSm2KeyPem(&error);
    if (key.empty()) {
        throw std::runtime_error("key generation failed");
    }
    std::string cert = ca.Issue(key, kNotBefore, kNotAfter);
    softcard::CardImage card;
    fs::path path = dir.path() / name;
    if (!softcard::NewCardImage(holder, kPin, kManagePassword, "SM2", key, cert, card, error) ||
        !softcard::SaveCardImage(path, card, error)) {
        throw std::runtime_error("card creation failed: " + Utf8(error));
    }
    return path;
}

softcard::CardImage SoftCardEnv::LoadImage() const {
    softcard::CardImage card;
    std::string error;
    if (!softcard::LoadCardImage(image, card, error)) {
        throw std::runtime_error("card image unreadable: " + Utf8(error));
    }
    return card;
}

void SoftCardEnv::WriteFaults(const std::string& json) const {
    std::ofstream(softcard::FaultFileFor(image), std::ios::binary | std::ios::trunc) << json;
}

std::string SoftCardEnv::ReadFaults() const {
    return ReadAll(softcard::FaultFileFor(image));
}

void Login(CDCertUpdate& card, const std::string& pin) {
    card.OpenCard();
    ASSERT_EQ(card.GetStatus(), 0) << Utf8(card.GetErrorMessage());
    card.SetPassword(pin);
    card.VerifyPassword();
    ASSERT_EQ(card.GetStatus(), 0) << Utf8(card.GetErrorMessage());
}

} // namespace rv::test
