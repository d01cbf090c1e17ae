// The renewal service's logic, independent of HTTP: one call per path, request body in (UTF-8 JSON, the
// client's trailing zero byte already removed), answer out. Every answer is a JSON object whose every
// value is a string; "code" "0" is success, any other code is a refusal with a Chinese "msg".
#pragma once

#include "core/ca.h"
#include "core/store.h"

#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace rv::server {

struct ServiceOptions {
    int randomTtlSeconds = 300; // a random (and a verification) is usable this long
    int certDays = 730;         // validity of a renewed certificate
    // The server's own renewal window, like the client's MaxDay: a certificate signs a renewal only from
    // this many days before its end day up to that day. The client's check is the holder's convenience;
    // this one holds whatever a client does.
    int renewalWindowDays = 180;
    RenewLimits renew;   // how often, and how long, the confirmed certificate renews again
    VerifyLimits verify; // failed verifications per source and per card; outstanding verifications
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
inline constexpr const char* kOutsideWindow = "15";
inline constexpr const char* kRenewedBefore = "16";
inline constexpr const char* kSourceWaits = "17";
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
    // `source` is the client's address as the limits count it (an IPv6 client: its /64).
    Answer VerifyInfo(const std::string& body, const std::string& source);
    Answer UpdateCert(const std::string& body);

    // Outstanding verifications (each awaits its renewal request).
    std::size_t PendingCount() const;

private:
    // A card's certificate, parsed once (parsing costs as much as a signature).
    struct ParsedCert {
        std::string pem;
        std::shared_ptr<X509> cert;
        std::string endDate; // YYYYMMDD
    };
    std::shared_ptr<const ParsedCert> Parsed(const std::string& pem);
    void Keep(std::shared_ptr<const ParsedCert> parsed);

    std::string NewOpSeqNo(std::time_t now) const;
    // HMAC-SHA256 under the store's random key, from a context keyed once (keying costs more than the MAC).
    std::string RandomMac(const unsigned char* data, std::size_t size) const;
    // A random carries its issue time and a MAC under the store's key: nothing is kept per random.
    std::string MakeRandom(std::time_t now) const;
    // Nothing when genuine and in time (its expiry in `expires`); otherwise the refusal.
    std::optional<Answer> CheckRandom(const std::string& random, std::time_t now, std::time_t& expires) const;
    // Why the certificate may not sign a renewal today (outside the renewal window), or nothing.
    std::optional<Answer> WindowRefusal(const ParsedCert& cert, std::time_t now) const;
    // Why the card's confirmed certificate may not renew again (its grace period is over, or it renewed
    // too often since its first set), or nothing.
    std::optional<Answer> RenewedBeforeRefusal(const CardState& state, std::time_t now) const;

    Store& store_;
    const CertificateAuthority& ca_;
    ServiceOptions options_;
    std::shared_ptr<EVP_MAC_CTX> randomMac_;
    std::time_t startedAt_ = 0; // randoms from before are refused
    std::mutex certMu_;
    std::unordered_map<std::string, std::shared_ptr<const ParsedCert>> certs_; // by PEM
};

} // namespace rv::server
