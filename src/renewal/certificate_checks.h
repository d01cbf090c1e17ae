// What the renewal checks before it hands the server's certificates to the card: the same holder and
// the same issuer as the certificate the card holds now, valid now, ending later than it, and signed by
// a configured issuer certificate wherever one is configured. A certificate that fails is never written.
// Display-free: the caller shows the message; the detail goes to stderr.
#pragma once

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace rv {

// How far ahead of the client's clock a new certificate's start may lie (the server's clock may run a
// little ahead).
inline constexpr std::time_t kCertClockSkewSeconds = std::time_t{15} * 60;

// The folder an administrator puts the issuer's certificates in, and the one below the working directory
// (beside Config/conf.ini, so in the user's own folder for a menu launch). $RENVORA_ISSUER_DIR, when set,
// stands in for the first.
inline constexpr const char* kSystemIssuerDir = "/etc/renvora/issuers";
inline constexpr const char* kUserIssuerDir = "Config/issuers";
std::vector<std::filesystem::path> IssuerFolders();

// The issuer certificates found in some folders: every certificate (PEM, several per file allowed, or
// one DER certificate) of every regular file named *.pem, *.crt or *.cer. A missing folder holds none.
struct IssuerCertificates {
    std::vector<std::string> der;
    // UTF-8 lines for stderr: files that could not be read or held no certificate.
    std::vector<std::string> warnings;

    static IssuerCertificates Load(const std::vector<std::filesystem::path>& folders);
    bool Empty() const { return der.empty(); }
};

// What the new certificates are compared with. The card's certificate when the control offers it
// (member CardCert); otherwise what the card record says (GBK), with the issuer known only from the
// configured issuer certificates.
struct CardCertReference {
    std::string cardCertPem;
    std::string applicantName;
    std::string unitName;
    std::string validTo; // YYYYMMDD
};

enum class CertFault {
    None,
    Unreadable,
    OtherIssuer,
    OtherHolder,
    NotYetValid,
    Expired,
    NotLater,
    BadSignature,
    IssuerUnknown, // no card certificate and no issuer certificate to tell the issuer by
};

struct CertCheck {
    CertFault fault = CertFault::None;
    std::string detail; // UTF-8, for stderr: what was found against what was expected
};

// Checks one certificate the server issued (PEM) at `now`.
CertCheck CheckIssuedCertificate(const std::string& pem, const CardCertReference& reference,
                                 const IssuerCertificates& issuers, std::time_t now);

// The user's message (GBK) for a failed check of the signing (`signing`) or the encryption certificate.
std::string CertRefusedMessage(CertFault fault, bool signing);

} // namespace rv
