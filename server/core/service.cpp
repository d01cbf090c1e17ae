#include "core/service.h"

#include "core/json.h"
#include "platform/codepage.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
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
    : store_(store), ca_(ca), options_(std::move(options)), startedAt_(options_.now()) {
    EVP_MAC* hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    EVP_MAC_CTX* ctx = hmac ? EVP_MAC_CTX_new(hmac) : nullptr;
    EVP_MAC_free(hmac);
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", digest, 0), OSSL_PARAM_construct_end()};
    const std::string& key = store_.RandomKey();
    if (ctx && !key.empty() &&
        EVP_MAC_init(ctx, reinterpret_cast<const unsigned char*>(key.data()), key.size(), params) == 1) {
        randomMac_.reset(ctx, &EVP_MAC_CTX_free);
    } else {
        EVP_MAC_CTX_free(ctx); // every random is then refused as a server fault, never accepted unchecked
    }
}

Answer RenewalService::Probe(const std::string&) const {
    // The network test posts an empty request here; -2 is how a reachable service answers it.
    return Refusal(code::kProbe, U(u8"请求参数为空！"));
}

bool RenewalService::MakeRoom(std::time_t now) {
    if (verifications_.size() < options_.maxPending) {
        return true;
    }
    for (auto it = verifications_.begin(); it != verifications_.end();) {
        it = it->second.expires <= now ? verifications_.erase(it) : std::next(it);
    }
    return verifications_.size() < options_.maxPending;
}

std::string RenewalService::NewOpSeqNo(std::time_t now) {
    char seq[16];
    std::snprintf(seq, sizeof seq, "%06lu", opCounter_++ % 1000000);
    // Time, a counter, and random digits so that numbers stay unique across restarts.
    return TimeDigits(now) + seq + RandomHex(2);
}

namespace {

// A random is 16 bytes, shown as 32 hex digits like any other: issue time (4), nonce (4), and the
// first 8 bytes of an HMAC-SHA256 over both under the store's key.
constexpr std::size_t kRandomBytes = 16;

std::string ToHex(const unsigned char* p, std::size_t n) {
    static const char* kHex = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(kHex[p[i] >> 4]);
        out.push_back(kHex[p[i] & 15]);
    }
    return out;
}

bool FromHex(const std::string& text, unsigned char* out, std::size_t n) {
    if (text.size() != 2 * n) {
        return false;
    }
    for (std::size_t i = 0; i < 2 * n; ++i) {
        char c = text[i];
        int v = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (v < 0) {
            return false;
        }
        out[i / 2] = static_cast<unsigned char>(i % 2 == 0 ? v << 4 : out[i / 2] | v);
    }
    return true;
}

} // namespace

std::string RenewalService::RandomMac(const unsigned char* data, std::size_t size) const {
    unsigned char mac[EVP_MAX_MD_SIZE];
    std::size_t len = 0;
    std::unique_ptr<EVP_MAC_CTX, decltype(&EVP_MAC_CTX_free)> ctx(
        randomMac_ ? EVP_MAC_CTX_dup(randomMac_.get()) : nullptr, &EVP_MAC_CTX_free);
    if (!ctx || EVP_MAC_update(ctx.get(), data, size) != 1 ||
        EVP_MAC_final(ctx.get(), mac, &len, sizeof mac) != 1 || len < 8) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(mac), 8);
}

std::string RenewalService::MakeRandom(std::time_t now) const {
    unsigned char r[kRandomBytes] = {};
    auto t = static_cast<std::uint32_t>(now);
    for (int i = 0; i < 4; ++i) {
        r[i] = static_cast<unsigned char>(t >> (24 - 8 * i));
    }
    if (RAND_bytes(r + 4, 4) != 1) {
        return {};
    }
    std::string mac = RandomMac(r, 8);
    if (mac.size() != 8) {
        return {};
    }
    std::memcpy(r + 8, mac.data(), 8);
    return ToHex(r, kRandomBytes);
}

std::optional<Answer> RenewalService::CheckRandom(const std::string& random, std::time_t now,
                                                  std::time_t& expires) const {
    unsigned char r[kRandomBytes] = {};
    std::string mac;
    if (FromHex(random, r, kRandomBytes)) {
        mac = RandomMac(r, 8);
    }
    if (mac.size() != 8 || CRYPTO_memcmp(mac.data(), r + 8, 8) != 0) {
        return Refusal(code::kBadRandom, U(u8"随机数无效或已使用，请重新操作！"));
    }
    std::uint32_t t = 0;
    for (int i = 0; i < 4; ++i) {
        t = (t << 8) | r[i];
    }
    expires = static_cast<std::time_t>(t) + options_.randomTtlSeconds;
    // A random from the future (beyond a little clock slack) was never handed out by this clock; one from
    // before this service started may have been used in a record the machine's crash took away.
    if (expires <= now || static_cast<std::time_t>(t) > now + 60 ||
        static_cast<std::time_t>(t) < startedAt_) {
        return Refusal(code::kBadRandom, U(u8"随机数已过期，请重新操作！"));
    }
    return std::nullopt;
}

bool RenewalService::OverFailureLimit(const std::string& certSeqNo, std::time_t now) {
    std::lock_guard lock(attemptsMu_);
    auto it = attempts_.find(certSeqNo);
    if (it == attempts_.end()) {
        return false;
    }
    std::erase_if(it->second, [&](std::time_t t) { return t <= now - options_.verifyWindowSeconds; });
    if (it->second.empty()) {
        attempts_.erase(it);
        return false;
    }
    return it->second.size() >= static_cast<std::size_t>(options_.verifyLimit);
}

void RenewalService::CountFailure(const std::string& certSeqNo, std::time_t now) {
    std::lock_guard lock(attemptsMu_);
    attempts_[certSeqNo].push_back(now);
}

std::shared_ptr<const RenewalService::ParsedCert> RenewalService::Parsed(const std::string& pem) {
    {
        std::lock_guard lock(certMu_);
        auto it = certs_.find(pem);
        if (it != certs_.end()) {
            return it->second;
        }
    }
    Cert cert = CertFromPem(pem);
    if (!cert || X509_get0_pubkey(cert.get()) == nullptr) {
        return nullptr;
    }
    auto parsed = std::make_shared<ParsedCert>();
    parsed->pem = pem;
    parsed->endDate = Asn1TimeDigits(X509_get0_notAfter(cert.get())).substr(0, 8);
    parsed->cert = std::shared_ptr<X509>(cert.release(), X509_free);
    std::lock_guard lock(certMu_);
    if (certs_.size() >= 4096) {
        certs_.clear(); // a cache, not a record: start again rather than grow without bound
    }
    certs_[pem] = parsed;
    return parsed;
}

std::size_t RenewalService::PendingCount() const {
    std::lock_guard lock(pendingMu_);
    return verifications_.size();
}

Answer RenewalService::GetRandom(const std::string&) {
    std::string random = MakeRandom(options_.now());
    if (random.empty()) {
        return Refusal(code::kInternal, U(u8"服务器内部错误，请稍后重试！"));
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
    std::time_t expires = 0;
    if (auto refusal = CheckRandom(v[9], now, expires)) {
        return *refusal;
    }
    std::shared_ptr<std::mutex> cardLock = store_.CardLock(v[0]);
    std::lock_guard cardGuard(*cardLock);
    std::optional<CardState> state = store_.FindCard(v[0]);
    if (!state) {
        // Nothing is recorded for a card the server does not know: there is nothing to protect.
        return Refusal(code::kUnknownCard, U(u8"未找到该IC卡的登记信息！"));
    }
    const CardRecord& card = state->card;
    // A random is good for one verification, used or not.
    std::string error;
    int fresh = store_.UseRandom(v[9], expires, now, error);
    if (fresh < 0) {
        Answer a = Refusal(code::kInternal, U(u8"服务器内部错误，请稍后重试！"));
        a.detail = error;
        return a;
    }
    if (fresh == 0) {
        return Refusal(code::kBadRandom, U(u8"随机数无效或已使用，请重新操作！"));
    }
    if (OverFailureLimit(card.certSeqNo, now)) {
        // Compared with nothing: the answer must not tell a right guess from a wrong one.
        Answer a = Refusal(code::kTooManyAttempts, U(u8"该IC卡核验失败次数过多，请一小时后再试！"));
        a.detail = "verification of card " + card.certSeqNo + " refused: its failures reached the limit";
        return a;
    }
    std::shared_ptr<const ParsedCert> confirmed = Parsed(state->confirmedPem);
    std::shared_ptr<const ParsedCert> predecessor =
        state->predecessorPem.empty() ? nullptr : Parsed(state->predecessorPem);
    if (!confirmed || (!state->predecessorPem.empty() && !predecessor)) {
        return Refusal(code::kInternal, U(u8"服务器内部错误，请稍后重试！"));
    }
    struct Check {
        const char8_t* name;
        const std::string& sent;
        const std::string& enrolled;
        const char* key;
    };
    const Check checks[] = {
        {u8"法人姓名", v[1], card.legalPerson, kKeys[1]}, {u8"证件类型", v[2], card.idType, kKeys[2]},
        {u8"证件号码", v[3], card.idNumber, kKeys[3]},    {u8"IC卡号", v[4], card.icCode, kKeys[4]},
        {u8"单位名称", v[5], card.entName, kKeys[5]},     {u8"单位代码", v[6], card.unitType, kKeys[6]},
        {u8"RA代码", v[7], card.raCode, kKeys[7]},
    };
    const char8_t* differs = nullptr;
    const char* differsKey = "endDate";
    for (const auto& c : checks) {
        if (differs == nullptr && c.sent != c.enrolled) {
            differs = c.name;
            differsKey = c.key;
        }
    }
    // The end date tells which certificate the card holds: the confirmed one; while that one is confirmed
    // by a verification only, the one before it; or the pending set, which it thereby shows it installed.
    const bool pendingDate = state->pending && v[8] == state->pending->notAfter.substr(0, 8);
    if (differs == nullptr && v[8] != confirmed->endDate && !(predecessor && v[8] == predecessor->endDate) &&
        !pendingDate) {
        differs = u8"证书有效期截止日期";
    }
    if (differs != nullptr) {
        // Only failures count, so a holder who renews often never reaches the limit.
        CountFailure(card.certSeqNo, now);
        Answer a = Refusal(code::kMismatch, U(u8"用户信息核验不通过：") + U(differs) + U(u8"不一致！"));
        a.detail = "verification of card " + card.certSeqNo + " failed: " + differsKey + " differs";
        return a;
    }
    std::string detail;
    if (v[8] != confirmed->endDate && !(predecessor && v[8] == predecessor->endDate)) {
        // A verification carries no signature: the set is confirmed provisionally, and the certificate
        // before it stays acceptable until the new key signs a request.
        if (!store_.ConfirmPending(card.certSeqNo, state->pending->serial, now, error)) {
            Answer a = Refusal(code::kInternal, U(u8"服务器保存数据失败，请稍后重试！"));
            a.detail = error;
            return a;
        }
        detail = "confirmed " + state->pending->serial + " of " + card.certSeqNo + " provisionally";
    } else if (predecessor && v[8] != confirmed->endDate) {
        detail = "card " + card.certSeqNo + " shows the certificate before its provisionally confirmed set " +
                 state->confirmed->serial;
    }
    Verification ver{card.certSeqNo, MakeRandom(now), DateDigits(now), now + options_.randomTtlSeconds};
    std::string opSeqNo;
    {
        std::lock_guard lock(pendingMu_);
        std::deque<std::string>& mine = pendingByCard_[card.certSeqNo];
        std::erase_if(mine, [&](const std::string& op) { return !verifications_.contains(op); });
        while (!mine.empty() && mine.size() >= std::max<std::size_t>(options_.maxPendingPerCard, 1)) {
            verifications_.erase(mine.front());
            mine.pop_front();
        }
        if (!MakeRoom(now)) {
            return Refusal(code::kBusy, U(u8"服务器繁忙，请稍后重试！"));
        }
        opSeqNo = NewOpSeqNo(now);
        verifications_[opSeqNo] = ver;
        mine.push_back(opSeqNo);
    }
    Answer a = Success({{"opSeqNo", opSeqNo},
                        {"signDate", ver.signDate},
                        {"managePasswd", card.managePassword},
                        {"random", ver.random}});
    a.detail = detail;
    return a;
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
        // The operation number and its random are good for one renewal request, accepted or not. Operation
        // numbers can be guessed, so only a request that also names the verification's random uses one up
        // (or one that comes too late): nobody else can spend another user's renewal.
        std::lock_guard lock(pendingMu_);
        auto it = verifications_.find(v[kOpSeqNo]);
        if (it == verifications_.end()) {
            return Refusal(code::kBadOperation, U(u8"业务流水号无效或已使用，请重新操作！"));
        }
        if (it->second.expires <= now) {
            verifications_.erase(it);
            return Refusal(code::kBadRandom, U(u8"随机数已过期，请重新操作！"));
        }
        const std::string& random = it->second.random;
        if (random.size() != v[kRandom].size() ||
            CRYPTO_memcmp(random.data(), v[kRandom].data(), random.size()) != 0) {
            return Refusal(code::kBadRandom, U(u8"随机数无效或已使用，请重新操作！"));
        }
        ver = it->second;
        verifications_.erase(it);
    }
    if (ver.certSeqNo != v[kCertSeqNo] || ver.signDate != v[kSignDate]) {
        return Refusal(code::kMismatch, U(u8"请求与用户信息核验结果不一致！"));
    }

    std::shared_ptr<std::mutex> cardLock = store_.CardLock(ver.certSeqNo);
    std::lock_guard cardGuard(*cardLock);
    std::optional<CardState> state = store_.FindCard(ver.certSeqNo);
    if (!state) {
        return Refusal(code::kUnknownCard, U(u8"未找到该IC卡的登记信息！"));
    }
    const CardRecord* card = &state->card;
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
    std::shared_ptr<const ParsedCert> current = Parsed(state->confirmedPem);
    std::shared_ptr<const ParsedCert> pending = state->pending ? Parsed(state->pending->certPem) : nullptr;
    std::shared_ptr<const ParsedCert> predecessor =
        state->predecessorPem.empty() ? nullptr : Parsed(state->predecessorPem);
    if (!current || (state->pending && !pending) || (!state->predecessorPem.empty() && !predecessor)) {
        return Refusal(code::kInternal, U(u8"服务器内部错误，请稍后重试！"));
    }
    // The card signed the GBK bytes of the text the client built, with the key it holds: the confirmed
    // one; that of the pending set, which it thereby shows it installed; or, while the confirmed set is
    // confirmed by a verification only, that of the certificate before it.
    std::string signedText = cp::Utf8ToGbk(SignedText(v[kOpSeqNo], v[kIcCode], v[kName], v[kUnitName],
                                                      v[kSignDate], v[kUnitCode], v[kOperType], v[kNote]));
    // The pending set's key first: a card that renews again has normally installed its last set, and
    // holds the confirmed one only when that set's answer was lost.
    SignedWith signedWith = SignedWith::ConfirmedSet;
    if (pending && VerifyCardSignature(X509_get0_pubkey(pending->cert.get()), signedText, signature)) {
        signedWith = SignedWith::PendingSet;
        current = pending;
    } else if (VerifyCardSignature(X509_get0_pubkey(current->cert.get()), signedText, signature)) {
        signedWith = SignedWith::ConfirmedSet;
    } else if (predecessor &&
               VerifyCardSignature(X509_get0_pubkey(predecessor->cert.get()), signedText, signature)) {
        signedWith = SignedWith::Predecessor;
        current = predecessor;
    } else {
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
    if (!store_.CommitRenewal(issue, state->generation, signedWith, now, error)) {
        Answer a = Refusal(code::kInternal, U(u8"服务器保存数据失败，请稍后重试！"));
        a.detail = error;
        return a;
    }
    {
        // The card's next request names this certificate: keep it parsed.
        auto parsed = std::make_shared<ParsedCert>();
        parsed->pem = signPem;
        parsed->endDate = signInfo.notAfter.substr(0, 8);
        parsed->cert = std::shared_ptr<X509>(signInfo.cert.release(), X509_free);
        std::lock_guard lock(certMu_);
        if (certs_.size() >= 4096) {
            certs_.clear();
        }
        certs_[signPem] = parsed;
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
    if (signedWith == SignedWith::PendingSet) {
        a.detail += ", confirming " + state->pending->serial;
    } else if (state->pending) {
        a.detail += ", superseding " + state->pending->serial;
    }
    if (signedWith == SignedWith::ConfirmedSet && state->confirmed && state->confirmed->provisional) {
        a.detail += ", confirming " + state->confirmed->serial + " for good";
    } else if (signedWith == SignedWith::Predecessor) {
        a.detail += ", superseding " + state->confirmed->serial + " (confirmed by a verification only)";
    }
    return a;
}

} // namespace rv::server
