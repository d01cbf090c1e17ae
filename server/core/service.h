// The renewal service's logic, independent of HTTP: one call per path, request body in (UTF-8 JSON, the
// client's trailing zero byte already removed), answer out. Every answer is a JSON object whose every
// value is a string; "code" "0" is success, any other code is a refusal with a Chinese "msg".
#pragma once

#include "core/ca.h"
#include "core/store.h"

#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace rv::server {

struct ServiceOptions {
    int randomTtlSeconds = 300;     // a random (and a verification) is usable this long
    int certDays = 730;             // validity of a renewed certificate
    std::size_t maxPending = 10000; // outstanding verifications (randoms keep no state)
    // Outstanding verifications of one card: a further one drops the card's oldest, so that whoever knows
    // one card's data cannot fill the table and turn everybody else away.
    std::size_t maxPendingPerCard = 8;
    // Failed verifications per card within the window. Once they are reached, every verification of the
    // card is refused until the window has passed, matching ones too: otherwise the answer would still
    // tell a right guess from a wrong one, and the holder fields (the end date above all) could be guessed
    // without end.
    int verifyLimit = 20;
    int verifyWindowSeconds = 3600;
    std::function<std::time_t()> now = [] { return std::time(nullptr); };
};

struct Answer {
    std::string code;
    std::string body;   // JSON text
    std::string detail; // for the server's log only
};

// Refusal codes (strings on the wire).
namespace code {
inline constexpr const char* kOk = "0";
inline constexpr const char* kProbe = "-2";
inline constexpr const char* kBadRequest = "1";
inline constexpr const char* kMissingField = "2";
inline constexpr const char* kBadRandom = "3";
inline constexpr const char* kUnknownCard = "4";
inline constexpr const char* kMismatch = "5";
inline constexpr const char* kBadSignature = "6";
inline constexpr const char* kBadPublicKey = "7";
inline constexpr const char* kBadOperation = "8";
inline constexpr const char* kInternal = "9";
inline constexpr const char* kBusy = "10";
inline constexpr const char* kTooLarge = "11";
inline constexpr const char* kNoSuchPath = "12";
inline constexpr const char* kTooManyAttempts = "13";
inline constexpr const char* kBadEncoding = "14";
} // namespace code

// A refusal answer: {"code":code,"msg":msg}. `msg` is UTF-8.
Answer Refusal(const char* code, const std::string& msg);

// The text the card signs for one renewal, in the order the client builds it (UTF-8 here; the card
// signs its GBK bytes).
std::string SignedText(const std::string& opSeqNo, const std::string& icCode, const std::string& name,
                       const std::string& unitName, const std::string& signDate, const std::string& unitCode,
                       const std::string& operType, const std::string& note);

class RenewalService {
public:
    RenewalService(Store& store, const CertificateAuthority& ca, ServiceOptions options = {});

    Answer Probe(const std::string& body) const;
    Answer GetRandom(const std::string& body);
    Answer VerifyInfo(const std::string& body);
    Answer UpdateCert(const std::string& body);

    // Outstanding verifications (each awaits its renewal request).
    std::size_t PendingCount() const;

private:
    struct Verification {
        std::string certSeqNo;
        std::string random;
        std::string signDate;
        std::time_t expires = 0;
    };

    // A card's certificate, parsed once (parsing costs as much as a signature).
    struct ParsedCert {
        std::string pem;
        std::shared_ptr<X509> cert;
        std::string endDate; // YYYYMMDD
    };
    std::shared_ptr<const ParsedCert> Parsed(const std::string& pem);

    bool MakeRoom(std::time_t now); // with pendingMu_ held
    std::string NewOpSeqNo(std::time_t now);
    // HMAC-SHA256 under the store's random key, from a context keyed once (keying costs more than the MAC).
    std::string RandomMac(const unsigned char* data, std::size_t size) const;
    // A random carries its issue time and a MAC under the store's key: nothing is kept per random.
    std::string MakeRandom(std::time_t now) const;
    // Nothing when genuine and in time (its expiry in `expires`); otherwise the refusal.
    std::optional<Answer> CheckRandom(const std::string& random, std::time_t now, std::time_t& expires) const;
    // True when the card's failed verifications within the window have reached the limit.
    bool OverFailureLimit(const std::string& certSeqNo, std::time_t now);
    void CountFailure(const std::string& certSeqNo, std::time_t now);

    Store& store_;
    const CertificateAuthority& ca_;
    ServiceOptions options_;
    std::shared_ptr<EVP_MAC_CTX> randomMac_;
    std::time_t startedAt_ = 0; // randoms from before are refused
    mutable std::mutex pendingMu_;
    std::unordered_map<std::string, Verification> verifications_; // opSeqNo -> verification
    // certSeqNo -> its operation numbers, oldest first (some may be used up or expired already)
    std::unordered_map<std::string, std::deque<std::string>> pendingByCard_;
    std::mutex attemptsMu_;
    std::unordered_map<std::string, std::vector<std::time_t>> attempts_; // certSeqNo -> failure times
    unsigned long opCounter_ = 0;
    std::mutex certMu_;
    std::unordered_map<std::string, std::shared_ptr<const ParsedCert>> certs_; // by PEM
};

} // namespace rv::server
