#include "core/service.h"

#include "core/json.h"
#include "platform/codepage.h"

#include <cstdio>
#include <optional>

namespace rv::server {
namespace {

// Server texts are UTF-8; narrow literals of this build are GBK, so Chinese texts are written u8"".
std::string U(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

std::string DateDigits(std::time_t t) {
    return TimeDigits(t).substr(0, 8);
}

// The request's fields, every one of them a JSON string; a refusal when the body is not such an object.
std::optional<Answer> ReadFields(const std::string& body, const std::vector<const char*>& keys,
                                 std::vector<std::string>& values) {
    JsonDoc doc(body);
    if (!doc.Ok()) {
        return Refusal(code::kBadRequest, U(u8"请求数据格式错误！"));
    }
    values.assign(keys.size(), std::string());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (!doc.Has(keys[i])) {
            return Refusal(code::kMissingField, U(u8"请求数据缺少字段：") + keys[i]);
        }
        if (!doc.GetString(keys[i], values[i])) {
            return Refusal(code::kBadRequest, U(u8"请求数据字段类型错误：") + keys[i]);
        }
    }
    return std::nullopt;
}

Answer Success(Fields fields) {
    fields.insert(fields.begin(), {"msg", U(u8"成功")});
    fields.insert(fields.begin(), {"code", code::kOk});
    return Answer{code::kOk, JsonObject(fields), {}};
}

} // namespace

Answer Refusal(const char* code, const std::string& msg) {
    return Answer{code, JsonObject({{"code", code}, {"msg", msg}}), {}};
}

std::string SignedText(const std::string& opSeqNo, const std::string& icCode, const std::string& name,
                       const std::string& unitName, const std::string& signDate, const std::string& unitCode,
                       const std::string& operType, const std::string& note) {
    return opSeqNo + icCode + name + unitName + signDate + unitCode + icCode + operType + note;
}

RenewalService::RenewalService(Store& store, const CertificateAuthority& ca, ServiceOptions options)
    : store_(store), ca_(ca), options_(std::move(options)) {}

Answer RenewalService::Probe(const std::string&) const {
    // The network test posts an empty request here; -2 is how a reachable service answers it.
    return Refusal(code::kProbe, U(u8"请求参数为空！"));
}

bool RenewalService::MakeRoom(std::time_t now) {
    if (randoms_.size() + verifications_.size() < options_.maxPending) {
        return true;
    }
    for (auto it = randoms_.begin(); it != randoms_.end();) {
        it = it->second <= now ? randoms_.erase(it) : std::next(it);
    }
    for (auto it = verifications_.begin(); it != verifications_.end();) {
        it = it->second.expires <= now ? verifications_.erase(it) : std::next(it);
    }
    return randoms_.size() + verifications_.size() < options_.maxPending;
}

std::string RenewalService::NewOpSeqNo(std::time_t now) {
    char seq[16];
    std::snprintf(seq, sizeof seq, "%06lu", opCounter_++ % 1000000);
    // Time, a counter, and random digits so that numbers stay unique across restarts.
    return TimeDigits(now) + seq + RandomHex(2);
}

std::shared_ptr<const RenewalService::ParsedCert> RenewalService::CurrentCert(const CardRecord& card) {
    {
        std::lock_guard lock(certMu_);
        auto it = certs_.find(card.certSeqNo);
        if (it != certs_.end() && it->second->pem == card.certPem) {
            return it->second;
        }
    }
    Cert cert = CertFromPem(card.certPem);
    if (!cert || X509_get0_pubkey(cert.get()) == nullptr) {
        return nullptr;
    }
    auto parsed = std::make_shared<ParsedCert>();
    parsed->pem = card.certPem;
    parsed->endDate = Asn1TimeDigits(X509_get0_notAfter(cert.get())).substr(0, 8);
    parsed->cert = std::shared_ptr<X509>(cert.release(), X509_free);
    std::lock_guard lock(certMu_);
    certs_[card.certSeqNo] = parsed;
    return parsed;
}

std::size_t RenewalService::PendingCount() const {
    std::lock_guard lock(pendingMu_);
    return randoms_.size() + verifications_.size();
}

Answer RenewalService::GetRandom(const std::string&) {
    std::time_t now = options_.now();
    std::string random = RandomHex(16);
    if (random.empty()) {
        return Refusal(code::kInternal, U(u8"服务器内部错误，请稍后重试！"));
    }
    {
        std::lock_guard lock(pendingMu_);
        if (!MakeRoom(now)) {
            return Refusal(code::kBusy, U(u8"服务器繁忙，请稍后重试！"));
        }
        randoms_[random] = now + options_.randomTtlSeconds;
    }
    return Success({{"random", random}});
}

Answer RenewalService::VerifyInfo(const std::string& body) {
    static const std::vector<const char*> kKeys = {"certSeqNo", "legalPerson", "idType",   "idNumber",
                                                   "icCode",    "entName",     "unitType", "raCode",
                                                   "endDate",   "random"};
    std::vector<std::string> v;
    if (auto refusal = ReadFields(body, kKeys, v)) {
        return *refusal;
    }
    std::time_t now = options_.now();
    {
        // A random is good for one verification, used or not.
        std::lock_guard lock(pendingMu_);
        auto it = randoms_.find(v[9]);
        if (it == randoms_.end()) {
            return Refusal(code::kBadRandom, U(u8"随机数无效或已使用，请重新操作！"));
        }
        std::time_t expires = it->second;
        randoms_.erase(it);
        if (expires <= now) {
            return Refusal(code::kBadRandom, U(u8"随机数已过期，请重新操作！"));
        }
    }
    std::optional<CardRecord> card = store_.FindCard(v[0]);
    if (!card) {
        return Refusal(code::kUnknownCard, U(u8"未找到该IC卡的登记信息！"));
    }
    std::shared_ptr<const ParsedCert> current = CurrentCert(*card);
    if (!current) {
        return Refusal(code::kInternal, U(u8"服务器内部错误，请稍后重试！"));
    }
    const struct {
        const char8_t* name;
        const std::string& sent;
        std::string enrolled;
    } checks[] = {
        {u8"法人姓名", v[1], card->legalPerson}, {u8"证件类型", v[2], card->idType},
        {u8"证件号码", v[3], card->idNumber},    {u8"IC卡号", v[4], card->icCode},
        {u8"单位名称", v[5], card->entName},     {u8"单位代码", v[6], card->unitType},
        {u8"RA代码", v[7], card->raCode},        {u8"证书有效期截止日期", v[8], current->endDate},
    };
    for (const auto& c : checks) {
        if (c.sent != c.enrolled) {
            return Refusal(code::kMismatch, U(u8"用户信息核验不通过：") + U(c.name) + U(u8"不一致！"));
        }
    }
    Verification ver{card->certSeqNo, RandomHex(16), DateDigits(now), now + options_.randomTtlSeconds};
    std::string opSeqNo;
    {
        std::lock_guard lock(pendingMu_);
        if (!MakeRoom(now)) {
            return Refusal(code::kBusy, U(u8"服务器繁忙，请稍后重试！"));
        }
        opSeqNo = NewOpSeqNo(now);
        verifications_[opSeqNo] = ver;
    }
    return Success({{"opSeqNo", opSeqNo},
                    {"signDate", ver.signDate},
                    {"managePasswd", card->managePassword},
                    {"random", ver.random}});
}

Answer RenewalService::UpdateCert(const std::string& body) {
    static const std::vector<const char*> kKeys = {
        "dataSign",       "certSeqNo", "opSeqNo",  "icCode",    "iccardName",    "iccardUnitName", "signDate",
        "iccardUnitCode", "iccardId",  "operType", "publicKey", "cardCryptAlgo", "note",           "random"};
    enum {
        kDataSign,
        kCertSeqNo,
        kOpSeqNo,
        kIcCode,
        kName,
        kUnitName,
        kSignDate,
        kUnitCode,
        kIccardId,
        kOperType,
        kPublicKey,
        kAlgo,
        kNote,
        kRandom
    };
    std::vector<std::string> v;
    if (auto refusal = ReadFields(body, kKeys, v)) {
        return *refusal;
    }
    if (v[kOperType] != "3") {
        return Refusal(code::kBadOperation, U(u8"操作类型错误！"));
    }
    std::time_t now = options_.now();
    Verification ver;
    {
        // The operation number and its random are good for one renewal request, accepted or not.
        std::lock_guard lock(pendingMu_);
        auto it = verifications_.find(v[kOpSeqNo]);
        if (it == verifications_.end()) {
            return Refusal(code::kBadOperation, U(u8"业务流水号无效或已使用，请重新操作！"));
        }
        ver = it->second;
        verifications_.erase(it);
    }
    if (ver.random != v[kRandom]) {
        return Refusal(code::kBadRandom, U(u8"随机数无效或已使用，请重新操作！"));
    }
    if (ver.expires <= now) {
        return Refusal(code::kBadRandom, U(u8"随机数已过期，请重新操作！"));
    }
    if (ver.certSeqNo != v[kCertSeqNo] || ver.signDate != v[kSignDate]) {
        return Refusal(code::kMismatch, U(u8"请求与用户信息核验结果不一致！"));
    }

    std::shared_ptr<std::mutex> cardLock = store_.CardLock(ver.certSeqNo);
    std::lock_guard cardGuard(*cardLock);
    std::optional<CardRecord> card = store_.FindCard(ver.certSeqNo);
    if (!card) {
        return Refusal(code::kUnknownCard, U(u8"未找到该IC卡的登记信息！"));
    }
    if (v[kIcCode] != card->icCode || v[kName] != card->legalPerson || v[kUnitName] != card->entName ||
        v[kUnitCode] != card->unitType || v[kAlgo] != card->cryptAlgo) {
        return Refusal(code::kMismatch, U(u8"IC卡信息与登记信息不一致！"));
    }
    Pkey newKey = PublicKeyFromPem(v[kPublicKey]);
    if (!CardKeyFits(card->cryptAlgo, newKey.get())) {
        return Refusal(code::kBadPublicKey, U(u8"公钥格式错误！"));
    }
    std::string signature;
    if (!Base64Decode(v[kDataSign], signature)) {
        return Refusal(code::kBadSignature, U(u8"签名数据格式错误！"));
    }
    std::shared_ptr<const ParsedCert> current = CurrentCert(*card);
    if (!current) {
        return Refusal(code::kInternal, U(u8"服务器内部错误，请稍后重试！"));
    }
    // The card signed the GBK bytes of the text the client built.
    std::string signedText = cp::Utf8ToGbk(SignedText(v[kOpSeqNo], v[kIcCode], v[kName], v[kUnitName],
                                                      v[kSignDate], v[kUnitCode], v[kOperType], v[kNote]));
    if (!VerifyCardSignature(X509_get0_pubkey(current->cert.get()), signedText, signature)) {
        return Refusal(code::kBadSignature, U(u8"签名验证失败！"));
    }

    std::string error;
    std::time_t notAfter = now + static_cast<std::time_t>(options_.certDays) * 86400;
    const X509_NAME* subject = X509_get_subject_name(current->cert.get());
    IssuedInfo signInfo, envInfo;
    std::string signPem = ca_.Issue(subject, newKey.get(), CertUse::Signing, now, notAfter, error, &signInfo);
    Pkey envKey = GenerateCardKey(card->cryptAlgo);
    std::string envPem =
        envKey ? ca_.Issue(subject, envKey.get(), CertUse::Encryption, now, notAfter, error, &envInfo)
               : std::string();
    // The encryption key travels encrypted under the card's management password, which only the card
    // holder and the server know.
    std::string envData = envKey ? EncryptedPrivateKeyPem(envKey.get(), card->managePassword) : std::string();
    if (signPem.empty() || envPem.empty() || envData.empty()) {
        Answer a = Refusal(code::kInternal, U(u8"服务器签发证书失败，请稍后重试！"));
        a.detail = error.empty() ? "cannot encrypt the encryption key" : error;
        return a;
    }

    IssueRecord issue;
    issue.serial = signInfo.serialHex;
    issue.envSerial = envInfo.serialHex;
    issue.certSeqNo = card->certSeqNo;
    issue.icCode = card->icCode;
    issue.opSeqNo = v[kOpSeqNo];
    issue.issuedAt = TimeDigits(now);
    issue.notBefore = signInfo.notBefore;
    issue.notAfter = signInfo.notAfter;
    issue.certPem = signPem;
    if (!store_.CommitRenewal(issue, error)) {
        Answer a = Refusal(code::kInternal, U(u8"服务器保存数据失败，请稍后重试！"));
        a.detail = error;
        return a;
    }
    {
        // The next verification of this card reads the new certificate: keep it parsed.
        auto parsed = std::make_shared<ParsedCert>();
        parsed->pem = signPem;
        parsed->endDate = signInfo.notAfter.substr(0, 8);
        parsed->cert = std::shared_ptr<X509>(signInfo.cert.release(), X509_free);
        std::lock_guard lock(certMu_);
        certs_[card->certSeqNo] = parsed;
    }
    // The management password stays as it is: the client hands this value to the card's key-pair step
    // again when it repeats it, before anything is written, so a new one here would lock the user out.
    Answer a = Success({{"signCertPEM", signPem},
                        {"envCertPEM", envPem},
                        {"envDataPEM", envData},
                        {"kmsKeyPEM", ca_.KmsKeyPem()},
                        {"cssSignKeyPEM", ca_.CssSignKeyPem()},
                        {"cssEnvKeyPEM", ca_.CssEnvKeyPem()},
                        {"managePasswd", card->managePassword}});
    a.detail = "issued " + issue.serial + " to " + issue.certSeqNo;
    return a;
}

} // namespace rv::server
