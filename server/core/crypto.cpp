#include "core/crypto.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>

#include <cstdio>
#include <vector>

namespace rv::server {
namespace {

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
using Bio = std::unique_ptr<BIO, BioFree>;
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

Bio ReadBio(std::string_view text) {
    if (text.size() > (1u << 20)) {
        return nullptr;
    }
    return Bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

std::string Drain(BIO* bio) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    return n > 0 ? std::string(data, static_cast<std::size_t>(n)) : std::string();
}

template <typename Writer> std::string WritePem(Writer write) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || write(bio.get()) != 1) {
        return {};
    }
    return Drain(bio.get());
}

bool SetDefaultId(EVP_PKEY_CTX* pctx) {
    return EVP_PKEY_CTX_set1_id(pctx, kSm2DefaultId.data(), kSm2DefaultId.size()) == 1;
}

} // namespace

Pkey GenerateSm2Key() {
    return Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
}

bool IsSm2Key(const EVP_PKEY* key) {
    return key != nullptr && EVP_PKEY_is_a(key, "SM2") == 1;
}

Pkey PrivateKeyFromPem(std::string_view pem) {
    Bio bio = ReadBio(pem);
    return bio ? Pkey(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)) : nullptr;
}

Pkey PublicKeyFromPem(std::string_view pem) {
    // PEM block, then d2i: OpenSSL 3.0's generic decoder path (PEM_read_bio_PUBKEY) costs twice as much
    // CPU, and a renewal request carries one of these.
    Bio bio = ReadBio(pem);
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* der = nullptr;
    long len = 0;
    if (!bio || PEM_read_bio(bio.get(), &name, &header, &der, &len) != 1) {
        return nullptr;
    }
    Pkey key;
    if (std::string_view(name) == "PUBLIC KEY") {
        const unsigned char* p = der;
        key.reset(d2i_PUBKEY(nullptr, &p, len));
        if (key && p != der + len) {
            key.reset(); // trailing bytes inside the block
        }
    }
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(der);
    return key;
}

Cert CertFromPem(std::string_view pem) {
    Bio bio = ReadBio(pem);
    return bio ? Cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) : nullptr;
}

std::string PrivateKeyToPem(EVP_PKEY* key) {
    return WritePem(
        [&](BIO* b) { return PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr); });
}

std::string PublicKeyToPem(EVP_PKEY* key) {
    return WritePem([&](BIO* b) { return PEM_write_bio_PUBKEY(b, key); });
}

std::string CertToPem(X509* cert) {
    return WritePem([&](BIO* b) { return PEM_write_bio_X509(b, cert); });
}

std::string SignSm2(EVP_PKEY* key, std::string_view data) {
    MdCtx md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!md || EVP_DigestSignInit_ex(md.get(), &pctx, "SM3", nullptr, nullptr, key, nullptr) != 1 ||
        !SetDefaultId(pctx)) {
        return {};
    }
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    std::size_t len = 0;
    if (EVP_DigestSign(md.get(), nullptr, &len, p, data.size()) != 1) {
        return {};
    }
    std::string der(len, '\0');
    if (EVP_DigestSign(md.get(), reinterpret_cast<unsigned char*>(der.data()), &len, p, data.size()) != 1) {
        return {};
    }
    der.resize(len);
    return der;
}

bool VerifySm2(EVP_PKEY* key, std::string_view data, std::string_view derSignature) {
    if (!IsSm2Key(key) || derSignature.empty()) {
        return false;
    }
    MdCtx md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!md || EVP_DigestVerifyInit_ex(md.get(), &pctx, "SM3", nullptr, nullptr, key, nullptr) != 1 ||
        !SetDefaultId(pctx)) {
        return false;
    }
    return EVP_DigestVerify(md.get(), reinterpret_cast<const unsigned char*>(derSignature.data()),
                            derSignature.size(), reinterpret_cast<const unsigned char*>(data.data()),
                            data.size()) == 1;
}

std::string Base64Encode(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

bool Base64Decode(std::string_view text, std::string& out) {
    // Drop line breaks a signer may wrap its output with; anything else outside the alphabet is an error.
    std::string clean;
    clean.reserve(text.size());
    for (char c : text) {
        if (c != '\r' && c != '\n') {
            clean.push_back(c);
        }
    }
    if (clean.empty() || clean.size() % 4 != 0 || clean.size() > (1u << 20)) {
        return false;
    }
    std::size_t pad = 0;
    for (std::size_t i = 0; i < clean.size(); ++i) {
        char c = clean[i];
        bool alpha = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                     c == '/';
        if (c == '=') {
            if (i + 2 < clean.size()) {
                return false;
            }
            ++pad;
        } else if (!alpha || pad > 0) {
            return false;
        }
    }
    std::string buf(clean.size() / 4 * 3, '\0');
    int n =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(buf.data()),
                        reinterpret_cast<const unsigned char*>(clean.data()), static_cast<int>(clean.size()));
    if (n < 0 || static_cast<std::size_t>(n) < pad) {
        return false;
    }
    buf.resize(static_cast<std::size_t>(n) - pad);
    out = std::move(buf);
    return true;
}

std::string RandomHex(std::size_t bytes) {
    std::vector<unsigned char> raw(bytes);
    if (RAND_bytes(raw.data(), static_cast<int>(raw.size())) != 1) {
        return {};
    }
    static const char* kHex = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes * 2);
    for (unsigned char c : raw) {
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 15]);
    }
    return out;
}

std::string Asn1TimeDigits(const ASN1_TIME* t) {
    struct tm tm {};
    if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) {
        return {};
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::string TimeDigits(std::time_t t) {
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

bool CertValidity(std::string_view certPem, std::string& notBefore, std::string& notAfter) {
    Cert cert = CertFromPem(certPem);
    if (!cert) {
        return false;
    }
    notBefore = Asn1TimeDigits(X509_get0_notBefore(cert.get()));
    notAfter = Asn1TimeDigits(X509_get0_notAfter(cert.get()));
    return !notBefore.empty() && !notAfter.empty();
}

std::string CertSerialHex(std::string_view certPem) {
    Cert cert = CertFromPem(certPem);
    return cert ? SerialHexOf(cert.get()) : std::string();
}

std::string SerialHexOf(const X509* cert) {
    BIGNUM* bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr);
    if (bn == nullptr) {
        return {};
    }
    char* hex = BN_bn2hex(bn);
    std::string out = hex != nullptr ? hex : "";
    OPENSSL_free(hex);
    BN_free(bn);
    return out;
}

std::string EncryptedPrivateKeyPem(EVP_PKEY* key, const std::string& passphrase) {
    if (passphrase.empty()) {
        return {};
    }
    // PKCS#8 by hand (EVP_PKEY2PKCS8, PKCS8_encrypt) rather than through the generic encoder, which
    // costs more than the encryption itself.
    PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(key);
    X509_SIG* sealed =
        info ? PKCS8_encrypt(-1, EVP_aes_256_cbc(), passphrase.data(), static_cast<int>(passphrase.size()),
                             nullptr, 0, PKCS5_DEFAULT_ITER, info)
             : nullptr;
    PKCS8_PRIV_KEY_INFO_free(info);
    if (sealed == nullptr) {
        return {};
    }
    std::string pem = WritePem([&](BIO* b) { return PEM_write_bio_PKCS8(b, sealed); });
    X509_SIG_free(sealed);
    return pem;
}

} // namespace rv::server

namespace rv::server {
namespace {

constexpr int kMinRsaBits = 2048;

bool IsP256Key(const EVP_PKEY* key) {
    char group[64] = {0};
    return key != nullptr && EVP_PKEY_is_a(key, "EC") == 1 &&
           EVP_PKEY_get_utf8_string_param(key, "group", group, sizeof group, nullptr) == 1 &&
           std::string_view(group) == "prime256v1";
}

bool IsStrongRsaKey(const EVP_PKEY* key) {
    return key != nullptr && EVP_PKEY_is_a(key, "RSA") == 1 && EVP_PKEY_get_bits(key) >= kMinRsaBits;
}

} // namespace

bool CardKeyFits(std::string_view cryptAlgo, const EVP_PKEY* key) {
    if (cryptAlgo == "ECC") {
        return IsP256Key(key);
    }
    if (cryptAlgo == "RSA") {
        return IsStrongRsaKey(key);
    }
    return IsSm2Key(key);
}

bool VerifyCardSignature(EVP_PKEY* key, std::string_view data, std::string_view derSignature) {
    if (IsSm2Key(key)) {
        return VerifySm2(key, data, derSignature);
    }
    if ((!IsP256Key(key) && !IsStrongRsaKey(key)) || derSignature.empty()) {
        return false;
    }
    MdCtx md(EVP_MD_CTX_new());
    if (!md || EVP_DigestVerifyInit_ex(md.get(), nullptr, "SHA256", nullptr, nullptr, key, nullptr) != 1) {
        return false;
    }
    return EVP_DigestVerify(md.get(), reinterpret_cast<const unsigned char*>(derSignature.data()),
                            derSignature.size(), reinterpret_cast<const unsigned char*>(data.data()),
                            data.size()) == 1;
}

std::string SignCardData(EVP_PKEY* key, std::string_view data) {
    if (IsSm2Key(key)) {
        return SignSm2(key, data);
    }
    MdCtx md(EVP_MD_CTX_new());
    std::size_t len = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    if (!md || EVP_DigestSignInit_ex(md.get(), nullptr, "SHA256", nullptr, nullptr, key, nullptr) != 1 ||
        EVP_DigestSign(md.get(), nullptr, &len, p, data.size()) != 1) {
        return {};
    }
    std::string sig(len, '\0');
    if (EVP_DigestSign(md.get(), reinterpret_cast<unsigned char*>(sig.data()), &len, p, data.size()) != 1) {
        return {};
    }
    sig.resize(len);
    return sig;
}

Pkey GenerateCardKey(std::string_view cryptAlgo) {
    if (cryptAlgo == "ECC") {
        return Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    }
    if (cryptAlgo == "RSA") {
        return Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(kMinRsaBits)));
    }
    return GenerateSm2Key();
}

} // namespace rv::server
