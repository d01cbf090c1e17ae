// Enrolment: one step that makes a software-card image and the server's record of the same card, so
// that the card can log in to the client and be renewed by the server at once.
#pragma once

#include "core/card_image.h"

#include <filesystem>
#include <string>

namespace rv::server {

struct EnrolRequest {
    std::filesystem::path dataDir;   // the server's data folder (CA and store; created when needed)
    std::filesystem::path cardImage; // the card image file to create
    std::string pin;                 // UTF-8
    std::string managePassword;      // UTF-8
    int days = 30;                   // the card's certificate ends this many days from now (may be < 0)
    softcard::HolderRecord holder;   // UTF-8 texts
    std::string cryptAlgo = softcard::kDefaultCryptAlgo;
    bool replace = false; // overwrite an existing card image and record
};

struct EnrolResult {
    std::string certPem;
    std::string notBefore; // YYYYMMDDhhmmss UTC
    std::string notAfter;
};

// Demo holder data: a legal-person card with Chinese texts, every field filled (an empty field would
// shift the later ones in the card record) and every text inside GBK.
softcard::HolderRecord DemoHolder();

// Checks the request, makes the card's SM2 key, has the CA issue its certificate, and writes the card
// image and the server record. False with a reason in `error`; nothing is left half made.
bool Enrol(const EnrolRequest& request, EnrolResult& result, std::string& error);

} // namespace rv::server
