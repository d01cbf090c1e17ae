#include "enrol/token_enrol.h"

#include "core/crypto.h"
#include "core/provision.h"
#include "platform/codepage.h"

#include <memory>

namespace rv::server {

bool EnrolOnToken(const EnrolRequest& r, const CertificateAuthority& ca,
                  const std::function<std::string(EVP_PKEY*, std::string&)>& issue, std::string& certPem,
                  std::function<void()>& undo, std::string& error) {
    p11card::KeyKind kind = r.cryptAlgo == "ECC"   ? p11card::KeyKind::EcP256
                            : r.cryptAlgo == "RSA" ? p11card::KeyKind::Rsa
                            : r.cryptAlgo == "SM2" ? p11card::KeyKind::Sm2
                                                   : p11card::KeyKind::None;
    if (kind == p11card::KeyKind::None) {
        error = "a token card's algorithm is ECC, RSA or SM2";
        return false;
    }
    auto token = std::make_shared<p11card::Provisioner>();
    std::string why;
    if (!token->Open({r.token->module, r.token->label, r.token->serial}, cp::Utf8ToGbk(r.pin), r.replace,
                     why)) {
        error = "token: " + cp::GbkToUtf8(why);
        return false;
    }
    std::string publicKeyPem = token->GenerateKey(kind, 2048, why);
    Pkey key = PublicKeyFromPem(publicKeyPem);
    if (!key) {
        error = "token: " + cp::GbkToUtf8(why);
        token->RemoveCard();
        return false;
    }
    certPem = issue(key.get(), error);
    if (certPem.empty()) {
        token->RemoveCard();
        return false;
    }
    const softcard::HolderRecord& h = r.holder;
    std::string record;
    for (const std::string* f :
         {&h.certSeqNo, &h.applicantName, &h.idType, &h.idNumber, &h.field5, &h.cardNumber, &h.unitName,
          &h.unitCode, &h.field9, &h.raCode, &h.cardType}) {
        record += (record.empty() ? "" : "|") + cp::Utf8ToGbk(*f);
    }
    // The service's keys go on the card with it, as a renewal would put them there.
    std::string serviceKeys =
        p11card::ServiceKeysValue(ca.KmsKeyPem(), ca.CssSignKeyPem(), ca.CssEnvKeyPem());
    if (!token->Finish(record, certPem, cp::Utf8ToGbk(r.managePassword), why, serviceKeys)) {
        error = "token: " + cp::GbkToUtf8(why);
        return false;
    }
    undo = [token] { token->RemoveCard(); };
    return true;
}

} // namespace rv::server
