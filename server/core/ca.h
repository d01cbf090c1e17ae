// The server's small certificate authority: an SM2 key and a self-signed certificate kept in the data
// folder (created on first start), plus the service keys whose public halves go into every renewal
// answer. Issues SM2-with-SM3 certificates.
#pragma once

#include "core/crypto.h"

#include <ctime>
#include <filesystem>
#include <memory>
#include <string>

namespace rv::server {

struct NameFree {
    void operator()(X509_NAME* n) const { X509_NAME_free(n); }
};
using Name = std::unique_ptr<X509_NAME, NameFree>;

// A subject C=CN, O=organization (left out when empty), CN=commonName; texts in UTF-8.
Name MakeSubject(const std::string& commonName, const std::string& organization);

enum class CertUse { Signing, Encryption };

// What an issue produced besides the PEM text (saves parsing it again).
struct IssuedInfo {
    std::string serialHex;
    std::string notBefore, notAfter; // YYYYMMDDhhmmss UTC
    Cert cert;
};

class CertificateAuthority {
public:
    // Loads the CA of `dataDir` or creates it there (ca.key, ca.crt, kms.key, css-env.key), unless
    // `mayCreate` is false (the folder's store has cards: their CA must be there). Its key files must be
    // their owner's alone.
    static std::unique_ptr<CertificateAuthority> Open(const std::filesystem::path& dataDir,
                                                      std::string& error, bool mayCreate = true);

    // A certificate over `publicKey` for `subject`, valid from `notBefore` to `notAfter`, with a fresh
    // random serial. "" with `error` on failure. Safe to call from several threads at once.
    std::string Issue(const X509_NAME* subject, EVP_PKEY* publicKey, CertUse use, std::time_t notBefore,
                      std::time_t notAfter, std::string& error, IssuedInfo* info = nullptr) const;

    const std::string& CertPem() const { return certPem_; }
    X509* Certificate() const { return cert_.get(); }
    // Public halves of the service keys, as PUBLIC KEY PEM.
    const std::string& KmsKeyPem() const { return kmsPem_; }
    const std::string& CssSignKeyPem() const { return cssSignPem_; }
    const std::string& CssEnvKeyPem() const { return cssEnvPem_; }

private:
    struct ExtFree {
        void operator()(X509_EXTENSION* e) const { X509_EXTENSION_free(e); }
    };
    using Ext = std::unique_ptr<X509_EXTENSION, ExtFree>;
    // The extensions every issued certificate shares, built once (building them from their text form
    // costs as much as the signature).
    bool PrepareExtensions();

    Pkey key_;
    Cert cert_;
    std::string certPem_, kmsPem_, cssSignPem_, cssEnvPem_;
    Ext leafConstraints_, signUsage_, encUsage_, authorityKeyId_;
};

} // namespace rv::server
