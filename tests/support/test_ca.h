// A tiny certificate authority for card tests and the checks that go with it: certificates over any
// public key (SM2, P-256, RSA), the encryption key pair a renewal brings, and card signatures checked
// with OpenSSL directly.
#pragma once

#include <openssl/evp.h>

#include <ctime>
#include <filesystem>
#include <string>

namespace rv::test {

class TestCa {
public:
    TestCa();
    ~TestCa();
    TestCa(const TestCa&) = delete;
    TestCa& operator=(const TestCa&) = delete;
    // A certificate over the public key in `publicKeyPem` (PEM "PUBLIC KEY" or a private key PEM),
    // with validity given as "YYYYMMDDhhmmssZ".
    std::string Issue(const std::string& publicKeyPem, const char* notBefore, const char* notAfter,
                      const std::string& commonName = "card holder");

private:
    EVP_PKEY* key_ = nullptr;
};

// A certificate with every field chosen, signed with OpenSSL directly: what a real or a rogue issuer
// may send.
struct CertFields {
    std::string subjectOf;     // PEM of a certificate whose subject is taken; else the two names below
    std::string commonName;    // UTF-8
    std::string organization;  // UTF-8, none when empty
    std::string publicKeyPem;  // the certificate's key: public or private key PEM, or a certificate
    std::string issuerCertPem; // the issuer's name comes from here; empty: the subject (self-signed)
    std::string issuerKeyPem;  // signs the certificate (SM2 with SM3, else SHA-256)
    std::time_t notBefore = 0;
    std::time_t notAfter = 0;
    bool ca = false; // basicConstraints CA:TRUE
};
std::string IssueCert(const CertFields& fields);
// The certificate with one bit of its signature flipped: still DER, no longer the issuer's.
std::string BreakSignature(const std::string& certPem);

// A fresh private key (PKCS#8 PEM) of a card algorithm: "SM2", "ECC" (P-256) or "RSA" (2048).
std::string NewPrivateKeyPem(const std::string& cryptAlgo);
// `privateKeyPem` as PKCS#8 EncryptedPrivateKeyInfo PEM under `passphrase`, as the service sends it.
std::string EncryptPrivateKeyPem(const std::string& privateKeyPem, const std::string& passphrase);

// True when `signatureBase64` is the card signature over exactly `data` by the key of `certPem` (a
// certificate, public or private key PEM): SM2 with SM3 and the default ID for SM2 keys, ECDSA or
// PKCS#1 v1.5 with SHA-256 for the others.
bool OpenSslVerifies(const std::string& certPem, const std::string& data, const std::string& signatureBase64);

// Reads the whole file ("" when missing).
std::string ReadAll(const std::filesystem::path& p);

} // namespace rv::test
