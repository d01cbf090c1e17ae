#include "core/protocol_client.h"

#include "platform/codepage.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <ctime>

namespace rv::server {

ProtocolClient::ProtocolClient(const std::string& host, int port)
    : http_(std::make_unique<httplib::Client>(host, port)) {
    http_->set_connection_timeout(5, 0);
    http_->set_read_timeout(30, 0);
    http_->set_write_timeout(30, 0);
    http_->set_keep_alive(true);
    http_->set_tcp_nodelay(true);
}

ProtocolClient::~ProtocolClient() = default;

PostResult ProtocolClient::PostRaw(const std::string& path, const std::string& body) {
    PostResult out;
    auto start = std::chrono::steady_clock::now();
    auto res = http_->Post(path.c_str(), body, "application/x-www-form-urlencoded");
    longestMs_ =
        std::max(longestMs_,
                 std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    if (res) {
        out.sent = true;
        out.status = res->status;
        out.body = res->body;
    }
    return out;
}

PostResult ProtocolClient::Post(const std::string& path, const std::string& json) {
    return PostRaw(path, json + std::string(1, '\0'));
}

bool EnrolSimCard(Store& store, const CertificateAuthority& ca, const std::string& certSeqNo, int days,
                  SimCard& out, std::string& error, const std::string& cryptAlgo) {
    SimCard card;
    card.key = GenerateCardKey(cryptAlgo);
    CardRecord& r = card.record;
    r.certSeqNo = certSeqNo;
    r.legalPerson = reinterpret_cast<const char*>(u8"李晓梅");
    r.idType = reinterpret_cast<const char*>(u8"居民身份证");
    r.idNumber = "110101199001010023";
    r.icCode = "IC" + certSeqNo;
    r.entName = reinterpret_cast<const char*>(u8"上海浦江贸易有限公司");
    r.unitType = "91310000MA1K00000X";
    r.raCode = "RA0002";
    r.cryptAlgo = cryptAlgo;
    r.managePassword = "12345678";
    Name subject = MakeSubject(r.legalPerson, r.entName);
    std::time_t now = std::time(nullptr);
    // A card in its last days, or past them, looks like one issued two years before.
    std::time_t notAfter = now + static_cast<std::time_t>(days) * 86400;
    std::time_t notBefore = std::min(now - 86400, notAfter - static_cast<std::time_t>(730) * 86400);
    r.certPem = card.key && subject
                    ? ca.Issue(subject.get(), card.key.get(), CertUse::Signing, notBefore, notAfter, error)
                    : std::string();
    r.enrolledAt = TimeDigits(now);
    if (r.certPem.empty() || !store.PutCard(r, true, error)) {
        return false;
    }
    out = std::move(card);
    return true;
}

std::string VerifyRequest(const CardRecord& c, const std::string& endDate, const std::string& random) {
    return JsonObject({{"certSeqNo", c.certSeqNo},
                       {"legalPerson", c.legalPerson},
                       {"idType", c.idType},
                       {"idNumber", c.idNumber},
                       {"icCode", c.icCode},
                       {"entName", c.entName},
                       {"unitType", c.unitType},
                       {"raCode", c.raCode},
                       {"endDate", endDate},
                       {"random", random}});
}

std::string UpdateRequest(const CardRecord& c, const UpdateValues& v) {
    return JsonObject({{"dataSign", v.dataSign},
                       {"certSeqNo", c.certSeqNo},
                       {"opSeqNo", v.opSeqNo},
                       {"icCode", c.icCode},
                       {"iccardName", c.legalPerson},
                       {"iccardUnitName", c.entName},
                       {"signDate", v.signDate},
                       {"iccardUnitCode", c.unitType},
                       {"iccardId", ""},
                       {"operType", "3"},
                       {"publicKey", v.publicKey},
                       {"cardCryptAlgo", c.cryptAlgo},
                       {"note", ""},
                       {"random", v.random}});
}

std::string CardSignature(EVP_PKEY* key, const CardRecord& c, const std::string& opSeqNo,
                          const std::string& signDate) {
    std::string text =
        opSeqNo + c.icCode + c.legalPerson + c.entName + signDate + c.unitType + c.icCode + "3";
    return Base64Encode(SignCardData(key, cp::Utf8ToGbk(text)));
}

namespace {

bool Evaluate(const PostResult& r, const char* step, JsonDoc& doc, std::string& error) {
    if (!r.sent) {
        error = std::string(step) + ": no answer";
        return false;
    }
    doc = JsonDoc(r.body);
    std::string code, msg;
    if (!doc.GetString("code", code)) {
        error = std::string(step) + ": HTTP " + std::to_string(r.status) + " without code: " + r.body;
        return false;
    }
    if (code != "0") {
        doc.GetString("msg", msg);
        error = std::string(step) + ": code " + code + " " + msg;
        return false;
    }
    return true;
}

} // namespace

bool RunRenewal(ProtocolClient& client, SimCard& card, std::string& error) {
    JsonDoc doc("");
    std::string random, opSeqNo, signDate, managePasswd, notBefore, notAfter;
    if (!Evaluate(client.Post("/selfIcUpdate/getRandom", ""), "getRandom", doc, error) ||
        !doc.GetString("random", random)) {
        return false;
    }
    CertValidity(card.record.certPem, notBefore, notAfter);
    if (!Evaluate(client.Post("/selfIcUpdate/verifyInfo",
                              VerifyRequest(card.record, notAfter.substr(0, 8), random)),
                  "verifyInfo", doc, error) ||
        !doc.GetString("opSeqNo", opSeqNo) || !doc.GetString("signDate", signDate) ||
        !doc.GetString("managePasswd", managePasswd) || !doc.GetString("random", random)) {
        return false;
    }
    Pkey newKey = GenerateCardKey(card.record.cryptAlgo);
    UpdateValues v{CardSignature(card.key.get(), card.record, opSeqNo, signDate), opSeqNo, signDate,
                   PublicKeyToPem(newKey.get()), random};
    std::string signCert;
    if (!Evaluate(client.Post("/selfIcUpdate/upadteCert", UpdateRequest(card.record, v)), "upadteCert", doc,
                  error) ||
        !doc.GetString("signCertPEM", signCert)) {
        return false;
    }
    Cert cert = CertFromPem(signCert);
    if (!cert || EVP_PKEY_eq(X509_get0_pubkey(cert.get()), newKey.get()) != 1) {
        error = "the new certificate does not carry the new key";
        return false;
    }
    card.key = std::move(newKey);
    card.record.certPem = signCert;
    card.endDate = Asn1TimeDigits(X509_get0_notAfter(cert.get())).substr(0, 8);
    return true;
}

} // namespace rv::server
