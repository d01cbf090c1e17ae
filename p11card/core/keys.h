// OpenSSL helpers of the token card: public keys between PKCS#11 attributes and PEM, certificates,
// signatures in the encoding the card hands out, the management-password hash, and the encryption key
// the service sends under that password. Nothing here talks to a token.
#pragma once

#include <string>

namespace rv::p11card {

using Bytes = std::string;

enum class KeyKind { None, EcP256, Sm2, Rsa };

// DER of the named curves the card knows (CKA_EC_PARAMS).
Bytes EcParamsP256();
Bytes EcParamsSm2();

// Key kind of an EC key from its CKA_EC_PARAMS; None for other curves.
KeyKind EcKindOfParams(const Bytes& ecParams);

// SubjectPublicKeyInfo (DER) of a public key from token attributes. CKA_EC_POINT may be the DER OCTET
// STRING the standard asks for or, as some tokens give it, the bare point. Empty on failure. EC keys
// are put together with the ASN.1 functions, not OpenSSL 3's encoders, which cost more than a
// signature.
Bytes EcSpki(const Bytes& ecParams, const Bytes& ecPoint);
Bytes RsaSpki(const Bytes& modulus, const Bytes& exponent);
// "PUBLIC KEY" PEM of a SubjectPublicKeyInfo: what PEM_write_bio_PUBKEY writes for the same key.
std::string SpkiPem(const Bytes& spki);

// The parts of a key a token needs to hold it (big-endian unsigned integers).
struct KeyParts {
    KeyKind kind = KeyKind::None;
    int bits = 0;
    Bytes ecParams, ecPrivate;
    Bytes n, e, d, p, q, dp, dq, qinv;
    void Wipe();
};

// A certificate's DER, subject, issuer and serial (DER), validity ("YYYYMMDDhhmmss" UTC), public key
// (SubjectPublicKeyInfo DER) and its kind and size. False when it is not one certificate.
struct CertInfo {
    Bytes der, subject, issuer, serial, spki;
    std::string notBefore, notAfter;
    KeyKind kind = KeyKind::None;
    int bits = 0;
};
bool ReadCertPem(const std::string& pem, CertInfo& out);
bool ReadCertDer(const Bytes& der, CertInfo& out);
std::string CertDerToPem(const Bytes& der);

// The encryption key sent as PKCS#8 EncryptedPrivateKeyInfo PEM: opened with `passphrase` into the
// parts a token takes (kept in memory only). `matches` tells whether it is the key of `cert`. False when
// it does not open or is of a kind a card cannot hold.
bool OpenEncryptedKey(const std::string& pem, const std::string& passphrase, const CertInfo& cert,
                      KeyParts& out, bool& matches);

// True when `der` (ECDSA-Sig-Value for EC keys, raw for RSA) is the card's signature over `data` by the
// key of `cert`: SM2 with SM3 and the default ID, ECDSA or PKCS#1 v1.5 with SHA-256.
bool SignatureVerifies(const CertInfo& cert, const Bytes& data, const Bytes& der);

// An ECDSA signature as a token gives it (r || s) in DER (ECDSA-Sig-Value). "" on failure.
Bytes EcdsaRawToDer(const Bytes& raw);
Bytes Sha256(const Bytes& data);
// DigestInfo of SHA-256 over `data`, for tokens that only sign raw PKCS#1 v1.5.
Bytes Sha256DigestInfo(const Bytes& data);
std::string Base64(const Bytes& data);

// Management-password hash: "pbkdf2-sha256:ITER:SALTHEX:HASHHEX" over the password's bytes.
std::string HashManagePassword(const std::string& password);
bool ManagePasswordMatches(const std::string& stored, const std::string& password);

Bytes RandomBytes(std::size_t n);
std::string Hex(const Bytes& bytes);
// Lower-case hex back to bytes; false on anything else.
bool FromHex(const std::string& hex, Bytes& out);

// Wipes a secret held in a string.
void Wipe(std::string& secret);

} // namespace rv::p11card
