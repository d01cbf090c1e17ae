// Provisioning a token as a card (used by the server's enrolment): log in with the token's PIN,
// generate the first signing key pair on it, and, once the certificate over that key is issued, write
// the holder record, the certificate, the management-password hash and the commit marker. Texts in
// errors are GBK.
#pragma once

#include "layout.h"
#include "pkcs11.h"

#include <memory>
#include <string>
#include <vector>

namespace rv::p11card {

struct TokenTarget {
    std::string module; // library path or p11-kit module name; "" = every registered module
    std::string label;  // optional
    std::string serial; // optional
};

class Provisioner {
public:
    Provisioner() = default;
    ~Provisioner() = default;
    Provisioner(const Provisioner&) = delete;
    Provisioner& operator=(const Provisioner&) = delete;

    // Opens the token `target` names (without label or serial: the only writable token) and logs in.
    // A token that already holds a card is refused unless `replace`, which removes that card first.
    bool Open(const TokenTarget& target, const std::string& pinGbk, bool replace, std::string& error);
    // A new signing key pair on the token; its public key as PEM.
    std::string GenerateKey(KeyKind kind, int rsaBits, std::string& error);
    // Writes the holder record and the first set (certificate over the generated key, password hash and,
    // when given, the service keys as ServiceKeysValue() makes them).
    bool Finish(const std::string& holderRecordGbk, const std::string& certPem,
                const std::string& managePasswordGbk, std::string& error,
                const std::string& serviceKeys = "");
    // Removes every object of ours from the token (a card the server could not record is no card).
    void RemoveCard();
    const TokenRef& token() const { return session_.token(); }

private:
    std::vector<std::shared_ptr<Module>> modules_;
    Session session_;
    Bytes tag_;
};

} // namespace rv::p11card
