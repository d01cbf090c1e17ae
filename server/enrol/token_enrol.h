// The token target of the enrolment: provisions a PKCS#11 token as the card.
#pragma once

#include "core/ca.h"
#include "enrol/enrol.h"

#include <openssl/evp.h>

#include <functional>
#include <string>

namespace rv::server {

// Opens the token `request.token` names with the PIN, generates the card's key pair on it (kind from
// `request.cryptAlgo`), has `issue` make the certificate over its public key, and stores certificate,
// holder record, management-password hash and the service's public keys (`ca`'s) on the token. `undo`
// then removes the card from the token again. False with a reason in `error`; the token is then left
// without a card of ours.
bool EnrolOnToken(const EnrolRequest& request, const CertificateAuthority& ca,
                  const std::function<std::string(EVP_PKEY*, std::string&)>& issue, std::string& certPem,
                  std::function<void()>& undo, std::string& error);

} // namespace rv::server
