// Shared set-up of the software card tests: a card image in a private folder and the real plugin
// registered for it.
#pragma once

#include "card/CDCertUpdate.h"
#include "core/card_image.h"
#include "support/test_ca.h"
#include "support/test_env.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <filesystem>
#include <memory>
#include <string>

namespace rv::test {

inline constexpr const char* kPluginPath = RENVORA_BUILD_DIR "/softcard/softcard.so";
inline constexpr const char* kPin = "123456";
inline constexpr const char* kManagePassword = "MP-0001";
// Validity of the card's first certificate, fixed so the record's dates can be checked exactly.
inline constexpr const char* kNotBefore = "20240115083000Z";
inline constexpr const char* kNotAfter = "20260114235959Z";

// The holder of the test card, UTF-8; the unit name holds "億", whose GBK trail byte is '|'.
softcard::HolderRecord TestHolder();

// A temp folder with a card image "card.json" (PIN kPin, management password kManagePassword,
// certificate valid kNotBefore..kNotAfter from the CA) and the plugin registered with it inserted.
class SoftCardEnv {
public:
    SoftCardEnv();
    ~SoftCardEnv();

    // Creates another card image in the folder (for swaps); returns its path.
    std::filesystem::path MakeCard(const std::string& name, const softcard::HolderRecord& holder);
    softcard::CardImage LoadImage() const;
    void WriteFaults(const std::string& json) const;
    std::string ReadFaults() const;

    TempWorkDir dir;
    TestCa ca;
    std::filesystem::path image;
    std::string signKeyPem;
    std::string signCertPem;

private:
    std::string oldImageEnv_;
    bool hadImageEnv_ = false;
};

// Open, log in with the PIN and check both succeeded.
void Login(CDCertUpdate& card, const std::string& pin = kPin);

} // namespace rv::test
