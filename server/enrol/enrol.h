// Enrolment: one step that makes a card (a software-card image, or a PKCS#11 token) and the server's
// record of the same card, so that the card can log in to the client and be renewed by the server at
// once.
#pragma once

#include "core/card_image.h"

#include <filesystem>
#include <optional>
#include <string>

namespace rv::server {

// A PKCS#11 token to provision instead of a card image: the key pair is generated on the token, the
// certificate, holder record and management-password hash are stored there (see p11card/).
struct TokenTarget {
    std::string module; // library path or p11-kit module name; "" = every registered module
    std::string label;  // optional: the token's label
    std::string serial; // optional: the token's serial number
};

struct EnrolRequest {
    std::filesystem::path dataDir;    // the server's data folder (CA and store; created when needed)
    std::string store;                // another store (postgresql://..., sqlite:DIR); "" the folder's
    std::filesystem::path cardImage;  // the card image file to create (unless `token`)
    std::optional<TokenTarget> token; // provision this token instead; its PIN is `pin`
    std::string pin;                  // UTF-8
    std::string managePassword;       // UTF-8
    int days = 30;                    // the card's certificate ends this many days from now (may be < 0)
    softcard::HolderRecord holder;    // UTF-8 texts
    std::string cryptAlgo = softcard::kDefaultCryptAlgo; // a token: "ECC" (P-256), "RSA" (2048) or "SM2"
    bool replace = false;                                // overwrite an existing card image and record
};

struct EnrolResult {
    std::string certPem;
    std::string notBefore; // YYYYMMDDhhmmss UTC
    std::string notAfter;
};

// Demo holder data: a legal-person card with Chinese texts, every field filled (an empty field would
// shift the later ones in the card record) and every text inside GBK.
softcard::HolderRecord DemoHolder();

// Checks the request, makes the card's key (SM2 in an image, on the token for a token), has the CA issue
// its certificate, and writes the card and the server record. False with a reason in `error`; nothing
// is left half made.
bool Enrol(const EnrolRequest& request, EnrolResult& result, std::string& error);

} // namespace rv::server
