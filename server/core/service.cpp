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
#include <vector>

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

// A fault of the server (the store above all): the holder is told to try again, the log says what.
Answer Internal(const std::string& detail) {
    Answer a{code::kInternal,
             JsonObject({{"code", code::kInternal}, {"msg", U(u8"服务器内部错误，请稍后重试！")}}), detail};
    return a;
}

// A change the store could not make (a full disk above all): nothing of the request counts.
Answer StoreFailed(const std::string& detail) {
    Answer a{code::kInternal,
             JsonObject({{"code", code::kInternal}, {"msg", U(u8"服务器保存数据失败，请稍后重试！")}}),
             detail};
    return a;
}

Answer SourceWaits(const std::string& source, std::time_t until, std::time_t now) {
    const long minutes = static_cast<long>((until - now + 59) / 60);
    Answer a{code::kSourceWaits,
             JsonObject({{"code", code::kSourceWaits},
                         {"msg", U(u8"核验失败次数过多，请") + std::to_string(std::max(minutes, 1L)) +
                                     U(u8"分钟后再试！")}}),
             "verification from " + source +
                 " refused: too many failed verifications from this address, "
                 "until " +
                 TimeDigits(until)};
    return a;
}

// Whole calendar days (UTC) from today to `endDate` (YYYYMMDD): 0 on the end day itself, negative after.
long DaysUntil(const std::string& endDate, std::time_t now) {
    const std::time_t end = ParseTimeDigits(endDate + "000000");
    if (end < 0) {
        return -1; // no date: as good as ended
    }
    const std::time_t today = now - now % 86400;
    return static_cast<long>((end - today) / 86400);
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
    // before this service started may have been used in a record the machine's crash took away (unless
    // the store's records of used randoms are durable at once).
    if (expires <= now || static_cast<std::time_t>(t) > now + 60 ||
        (static_cast<std::time_t>(t) < startedAt_ && !store_.RandomsOutliveRestarts())) {
        return Refusal(code::kBadRandom, U(u8"随机数已过期，请重新操作！"));
    }
    return std::nullopt;
}

std::string RenewalService::NewOpSeqNo(std::time_t now) const {
    // Time and random digits: unique across restarts and across servers sharing one store, and not to
    // be guessed (the store refuses a duplicate anyway).
    return TimeDigits(now) + RandomHex(4);
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
    Keep(parsed);
    return parsed;
}

void RenewalService::Keep(std::shared_ptr<const ParsedCert> parsed) {
    std::lock_guard lock(certMu_);
    if (certs_.size() >= 4096) {
        certs_.clear(); // a cache, not a record: start again rather than grow without bound
    }
    certs_[parsed->pem] = std::move(parsed);
}

std::optional<Answer> RenewalService::WindowRefusal(const ParsedCert& cert, std::time_t now) const {
    // Counted in whole days of the calendar (UTC), as the client counts MaxDay: from its end day back to
    // today, both ends included.
    const long days = DaysUntil(cert.endDate, now);
    if (days < 0) {
        Answer a = Refusal(code::kOutsideWindow,
                           U(u8"您的IC卡已过期，不可在本系统延期。请您联系当地数据分中心处理！"));
        a.detail = "refused: the certificate that signed ended on " + cert.endDate;
        return a;
    }
    if (days > options_.renewalWindowDays) {
        Answer a = Refusal(code::kOutsideWindow, U(u8"您的IC卡有效期大于") +
                                                     std::to_string(options_.renewalWindowDays) +
                                                     U(u8"天，无需延期！"));
        a.detail = "refused: the certificate ends on " + cert.endDate + ", more than " +
                   std::to_string(options_.renewalWindowDays) + " days ahead (--renewal-window)";
        return a;
    }
    return std::nullopt;
}

std::optional<Answer> RenewalService::RenewedBeforeRefusal(const CardState& state, std::time_t now) const {
    if (state.pending.empty()) {
        return std::nullopt;
    }
    const IssueRecord& first = state.pending.front();
    const std::time_t graceEnd = ParseTimeDigits(first.issuedAt) + options_.renew.graceSeconds;
    const std::string signer =
        state.confirmed ? "the set " + state.confirmed->serial : "the enrolled certificate";
    // What the operator can do about it, once the holder's card is known to hold that certificate.
    const std::string remedy = "; if the card still holds it (every answer since was lost), `renvora-server "
                               "withdraw --cert-seq-no " +
                               state.card.certSeqNo + "` lets it renew again";
    if (now >= graceEnd) {
        Answer a =
            Refusal(code::kRenewedBefore,
                    U(u8"该证书已于") + first.issuedAt.substr(0, 4) + U(u8"年") +
                        first.issuedAt.substr(4, 2) + U(u8"月") + first.issuedAt.substr(6, 2) +
                        U(u8"日延期，原证书不能再次延期。请使用延期后的IC卡，或联系当地数据分中心处理！"));
        a.detail = "card " + state.card.certSeqNo + ": renewal with " + signer + " refused: the set " +
                   first.serial + " was issued from it at " + first.issuedAt +
                   " and its grace period ended at " + TimeDigits(graceEnd) + remedy;
        return a;
    }
    if (state.pending.size() >= static_cast<std::size_t>(std::max(options_.renew.maxSets, 0))) {
        Answer a = Refusal(
            code::kRenewedBefore,
            U(u8"该证书已多次申请延期，不能再次延期。请使用延期后的IC卡，或联系当地数据分中心处理！"));
        a.detail = "card " + state.card.certSeqNo + ": renewal with " + signer +
                   " refused: " + std::to_string(state.pending.size()) + " sets were issued from it since " +
                   first.issuedAt + remedy;
        return a;
    }
    return std::nullopt;
}

std::size_t RenewalService::PendingCount() const {
    return store_.VerificationCount();
}

Answer RenewalService::GetRandom(const std::string&) {
    std::string random = MakeRandom(options_.now());
    if (random.empty()) {
        return Refusal(code::kInternal, U(u8"服务器内部错误，请稍后重试！"));
    }
    return Success({{"random", random}});
}

Answer RenewalService::VerifyInfo(const std::string& body, const std::string& source) {
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
    // A source that failed too often waits before anything is looked at.
    std::string error;
    std::time_t until = 0;
    if (!store_.SourceFreeAt(source, now, options_.verify, until, error)) {
        return Internal("cannot read the failed verifications of " + source + ": " + error);
    }
    if (until > now) {
        return SourceWaits(source, until, now);
    }
    CardState state;
    switch (store_.FindCard(v[0], state, error)) {
    case Found::Error:
        return Internal("cannot look up card " + v[0] + ": " + error);
    case Found::No:
        // Nothing is recorded for a card the server does not know: there is nothing to protect.
        return Refusal(code::kUnknownCard, U(u8"未找到该IC卡的登记信息！"));
    case Found::Yes:
        break;
    }
    const CardRecord& card = state.card;
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
    // The end date names a certificate the card may hold: its confirmed one, or a set issued from it.
    // Sets issued on the same day end on the same day, so a date may name several; a verification carries
    // no signature either way, so it settles nothing: the renewal request's signature shows which one the
    // card holds. A date that names only certificates which may not renew is refused with the reason.
    bool named = false, usable = false;
    std::optional<Answer> refusal;
    if (differs == nullptr) {
        std::vector<std::pair<std::shared_ptr<const ParsedCert>, bool>> candidates; // (cert, confirmed)
        for (const IssueRecord& p : state.pending) {
            candidates.emplace_back(Parsed(p.certPem), false);
        }
        candidates.emplace_back(Parsed(state.ConfirmedPem()), true);
        for (const auto& [cert, isConfirmed] : candidates) {
            if (!cert) {
                return Internal("card " + card.certSeqNo + ": a certificate in the store cannot be read");
            }
            if (cert->endDate != v[8]) {
                continue;
            }
            named = true;
            std::optional<Answer> why = WindowRefusal(*cert, now);
            if (!why && isConfirmed) {
                why = RenewedBeforeRefusal(state, now);
            }
            usable = usable || !why;
            if (why && !refusal) {
                refusal = std::move(why);
            }
        }
        if (!named) {
            differs = u8"证书有效期截止日期";
        }
    }
    VerifyAttempt attempt;
    attempt.kind = differs != nullptr ? VerifyAttempt::Kind::Mismatch
                   : usable           ? VerifyAttempt::Kind::Match
                                      : VerifyAttempt::Kind::Refusable;
    attempt.random = v[9];
    attempt.randomExpires = expires;
    attempt.source = source;
    attempt.certSeqNo = card.certSeqNo;
    if (attempt.kind == VerifyAttempt::Kind::Match) {
        attempt.verification = {NewOpSeqNo(now), card.certSeqNo, MakeRandom(now), DateDigits(now),
                                now + options_.randomTtlSeconds};
        if (attempt.verification.random.empty()) {
            return Internal("cannot make a random");
        }
    }
    switch (store_.RecordVerification(attempt, options_.verify, now, until, error)) {
    case VerifyOutcome::Error:
        return StoreFailed("cannot record the verification of card " + card.certSeqNo + ": " + error);
    case VerifyOutcome::RandomUsed:
        return Refusal(code::kBadRandom, U(u8"随机数无效或已使用，请重新操作！"));
    case VerifyOutcome::SourceWaits:
        return SourceWaits(source, until, now);
    case VerifyOutcome::CardLimit: {
        // Compared with nothing: the answer must not tell a right guess from a wrong one.
        Answer a = Refusal(code::kTooManyAttempts, U(u8"该IC卡核验失败次数过多，请一小时后再试！"));
        a.detail = "verification of card " + card.certSeqNo +
                   " refused: its failed verifications from all "
                   "addresses reached " +
                   std::to_string(options_.verify.cardLimit) + " within the hour, until " + TimeDigits(until);
        return a;
    }
    case VerifyOutcome::Full:
        return Refusal(code::kBusy, U(u8"服务器繁忙，请稍后重试！"));
    case VerifyOutcome::Failed: {
        // Only failures count, so a holder who renews often never reaches a limit.
        Answer a = Refusal(code::kMismatch, U(u8"用户信息核验不通过：") + U(differs) + U(u8"不一致！"));
        a.detail = "verification of card " + card.certSeqNo + " failed: " + differsKey + " differs";
        return a;
    }
    case VerifyOutcome::Accepted:
        return *refusal;
    case VerifyOutcome::Recorded:
        break;
    }
    const Verification& ver = attempt.verification;
    return Success({{"opSeqNo", ver.opSeqNo},
                    {"signDate", ver.signDate},
                    {"managePasswd", card.managePassword},
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
    // The operation number and its random are good for one renewal request, accepted or not; only a
    // request that also names the random uses one up (or one that comes too late).
    Verification ver;
    std::string error;
    switch (store_.TakeVerification(v[kOpSeqNo], v[kRandom], now, ver, error)) {
    case TakeOutcome::Error:
        return StoreFailed("cannot take the verification " + v[kOpSeqNo] + ": " + error);
    case TakeOutcome::Unknown:
        return Refusal(code::kBadOperation, U(u8"业务流水号无效或已使用，请重新操作！"));
    case TakeOutcome::Expired:
        return Refusal(code::kBadRandom, U(u8"随机数已过期，请重新操作！"));
    case TakeOutcome::WrongRandom:
        return Refusal(code::kBadRandom, U(u8"随机数无效或已使用，请重新操作！"));
    case TakeOutcome::Taken:
        break;
    }
    if (ver.certSeqNo != v[kCertSeqNo] || ver.signDate != v[kSignDate]) {
        return Refusal(code::kMismatch, U(u8"请求与用户信息核验结果不一致！"));
    }

    CardState state;
    switch (store_.FindCard(ver.certSeqNo, state, error)) {
    case Found::Error:
        return Internal("cannot look up card " + ver.certSeqNo + ": " + error);
    case Found::No:
        return Refusal(code::kUnknownCard, U(u8"未找到该IC卡的登记信息！"));
    case Found::Yes:
        break;
    }
    const CardRecord* card = &state.card;
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
    // The card signed the GBK bytes of the text the client built, with the key it holds: that of a set
    // issued from its confirmed certificate, which it thereby shows it installed, or that of the
    // confirmed certificate itself. The newest set first: a card that renews again has normally
    // installed its last set.
    std::string signedText = cp::Utf8ToGbk(SignedText(v[kOpSeqNo], v[kIcCode], v[kName], v[kUnitName],
                                                      v[kSignDate], v[kUnitCode], v[kOperType], v[kNote]));
    struct Candidate {
        std::string serial; // as a set's parent names it
        std::shared_ptr<const ParsedCert> cert;
        bool confirmed;
    };
    std::vector<Candidate> candidates;
    for (auto it = state.pending.rbegin(); it != state.pending.rend(); ++it) {
        candidates.push_back({it->serial, Parsed(it->certPem), false});
    }
    candidates.push_back({state.ConfirmedSerial(), Parsed(state.ConfirmedPem()), true});
    const Candidate* signer = nullptr;
    for (const Candidate& c : candidates) {
        if (!c.cert) {
            return Internal("card " + card->certSeqNo + ": a certificate in the store cannot be read");
        }
        if (signer == nullptr &&
            VerifyCardSignature(X509_get0_pubkey(c.cert->cert.get()), signedText, signature)) {
            signer = &c;
        }
    }
    if (signer == nullptr) {
        return Refusal(code::kBadSignature, U(u8"签名验证失败！"));
    }
    if (std::optional<Answer> why = WindowRefusal(*signer->cert, now)) {
        why->detail = "card " + card->certSeqNo + ": renewal " + why->detail;
        return *why;
    }
    if (signer->confirmed) {
        if (std::optional<Answer> why = RenewedBeforeRefusal(state, now)) {
            return *why;
        }
    }

    std::time_t notAfter = now + static_cast<std::time_t>(options_.certDays) * 86400;
    const X509_NAME* subject = X509_get_subject_name(signer->cert->cert.get());
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
    CommitInfo info;
    switch (store_.CommitRenewal(issue, state.generation, signer->serial, options_.renew, now, info, error)) {
    case CommitOutcome::Committed:
        break;
    case CommitOutcome::SignerGone: {
        // A renewal of the same card, signed with another of its certificates, settled it meanwhile.
        Answer a = Refusal(code::kBadSignature, U(u8"签名验证失败！"));
        a.detail = "card " + card->certSeqNo + ": signed with " + signer->serial + ", superseded meanwhile";
        return a;
    }
    case CommitOutcome::GraceOver:
    case CommitOutcome::TooManySets: {
        // Another renewal of the card, or the clock, got there between the check above and the commit:
        // the refusal says why, as it does when the check itself finds it.
        CardState latest;
        std::string ignored;
        std::optional<Answer> why;
        if (store_.FindCard(card->certSeqNo, latest, ignored) == Found::Yes) {
            why = RenewedBeforeRefusal(latest, now);
        }
        if (!why) {
            why = Refusal(
                code::kRenewedBefore,
                U(u8"该证书已多次申请延期，不能再次延期。请使用延期后的IC卡，或联系当地数据分中心处理！"));
            why->detail = "card " + card->certSeqNo + ": " + error;
        }
        return *why;
    }
    case CommitOutcome::Reenrolled:
    case CommitOutcome::Error:
        return StoreFailed(error);
    }
    {
        // The card's next request names this certificate: keep it parsed.
        auto parsed = std::make_shared<ParsedCert>();
        parsed->pem = signPem;
        parsed->endDate = signInfo.notAfter.substr(0, 8);
        parsed->cert = std::shared_ptr<X509>(signInfo.cert.release(), X509_free);
        Keep(std::move(parsed));
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
    a.detail = "issued " + issue.serial + " to " + issue.certSeqNo + " from " +
               (signer->serial.empty() ? std::string("the enrolled certificate") : signer->serial);
    if (!info.confirmed.empty()) {
        a.detail += ", confirming it";
    }
    if (!info.superseded.empty()) {
        a.detail += ", superseding";
        for (const std::string& s : info.superseded) {
            a.detail += " " + s;
        }
    }
    return a;
}

} // namespace rv::server
