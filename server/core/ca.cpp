#include "core/ca.h"

#include "core/files.h"

#include <openssl/bn.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

namespace rv::server {
namespace {

namespace fs = std::filesystem;

constexpr const char* kCaName = "Renvora Demo Root CA";
constexpr const char* kCaOrg = "Renvora";
constexpr int kCaYears = 20;

struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

bool AddExt(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext == nullptr) {
        return false;
    }
    bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

bool AddKeyId(X509* cert, const unsigned char* id, unsigned int len) {
    ASN1_OCTET_STRING* oct = ASN1_OCTET_STRING_new();
    bool ok = oct != nullptr && ASN1_OCTET_STRING_set(oct, id, static_cast<int>(len)) == 1 &&
              X509_add1_ext_i2d(cert, NID_subject_key_identifier, oct, 0, X509V3_ADD_DEFAULT) == 1;
    ASN1_OCTET_STRING_free(oct);
    return ok;
}

bool SetRandomSerial(X509* cert) {
    unsigned char raw[16];
    if (RAND_bytes(raw, sizeof raw) != 1) {
        return false;
    }
    raw[0] = static_cast<unsigned char>((raw[0] & 0x7F) | 0x40); // positive, full length, never zero
    BIGNUM* bn = BN_bin2bn(raw, sizeof raw, nullptr);
    bool ok = bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert)) != nullptr;
    BN_free(bn);
    return ok;
}

// SM2 with SM3. The certificate signature uses OpenSSL's own default distinguishing ID, which is what
// `openssl verify` and every OpenSSL-based reader of these certificates checks against.
bool SignCert(X509* cert, EVP_PKEY* key) {
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!md || EVP_DigestSignInit_ex(md.get(), &pctx, "SM3", nullptr, nullptr, key, nullptr) != 1) {
        return false;
    }
    return X509_sign_ctx(cert, md.get()) > 0;
}

Cert MakeCaCert(EVP_PKEY* key) {
    Cert cert(X509_new());
    Name name = MakeSubject(kCaName, kCaOrg);
    std::time_t now = std::time(nullptr);
    if (!cert || !name || X509_set_version(cert.get(), 2) != 1 || !SetRandomSerial(cert.get()) ||
        X509_set_subject_name(cert.get(), name.get()) != 1 ||
        X509_set_issuer_name(cert.get(), name.get()) != 1 ||
        X509_time_adj_ex(X509_getm_notBefore(cert.get()), 0, -3600, &now) == nullptr ||
        X509_time_adj_ex(X509_getm_notAfter(cert.get()), 365 * kCaYears, 0, &now) == nullptr ||
        X509_set_pubkey(cert.get(), key) != 1 ||
        !AddExt(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE") ||
        !AddExt(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign") ||
        !AddExt(cert.get(), cert.get(), NID_subject_key_identifier, "hash") || !SignCert(cert.get(), key)) {
        return nullptr;
    }
    return cert;
}

// Loads a private key file (its owner's alone) or, when there is none, creates one (mode 0600).
Pkey LoadOrCreateKey(const fs::path& file, bool& created, std::string& error) {
    created = false;
    std::error_code ec;
    if (fs::exists(file, ec)) {
        std::string pem;
        if (!ReadSecretFile(file, pem, error)) {
            return nullptr;
        }
        Pkey key = PrivateKeyFromPem(pem);
        if (!IsSm2Key(key.get())) {
            error = "not an SM2 private key: " + file.string();
            return nullptr;
        }
        return key;
    }
    Pkey key = GenerateSm2Key();
    std::string pem = key ? PrivateKeyToPem(key.get()) : "";
    if (pem.empty()) {
        error = "cannot generate an SM2 key";
        return nullptr;
    }
    if (!WriteFileAtomically(file, pem, error, 0600)) {
        return nullptr;
    }
    created = true;
    return key;
}

} // namespace

Name MakeSubject(const std::string& commonName, const std::string& organization) {
    Name name(X509_NAME_new());
    auto add = [&](const char* field, const std::string& value) {
        return X509_NAME_add_entry_by_txt(name.get(), field, MBSTRING_UTF8,
                                          reinterpret_cast<const unsigned char*>(value.data()),
                                          static_cast<int>(value.size()), -1, 0) == 1;
    };
    if (!name || !add("C", "CN") || (!organization.empty() && !add("O", organization)) ||
        !add("CN", commonName)) {
        return nullptr;
    }
    return name;
}

std::unique_ptr<CertificateAuthority> CertificateAuthority::Open(const fs::path& dataDir, std::string& error,
                                                                 bool mayCreate) {
    std::error_code ec;
    if (!mayCreate && !fs::exists(dataDir / "ca.key", ec)) {
        error = "the data folder " + dataDir.string() +
                " holds a store with cards but no certificate "
                "authority (" +
                (dataDir / "ca.key").string() +
                " is missing): the cards' certificates were "
                "issued by it and a new one would issue certificates their holders' cards do not trust; "
                "restore ca.key and ca.crt from a backup";
        return nullptr;
    }
    if (!CreatePrivateFolder(dataDir, error)) {
        return nullptr;
    }
    auto ca = std::unique_ptr<CertificateAuthority>(new CertificateAuthority);
    bool created = false;
    ca->key_ = LoadOrCreateKey(dataDir / "ca.key", created, error);
    if (!ca->key_) {
        return nullptr;
    }
    fs::path certFile = dataDir / "ca.crt";
    if (!created && fs::exists(certFile, ec)) {
        std::string pem;
        if (!ReadWholeFile(certFile, pem, error)) {
            return nullptr;
        }
        ca->cert_ = CertFromPem(pem);
        if (!ca->cert_ || X509_check_private_key(ca->cert_.get(), ca->key_.get()) != 1) {
            error = "CA certificate unreadable or not of ca.key: " + certFile.string();
            return nullptr;
        }
    } else {
        // A new key, or a key whose certificate was never written: (re)make the certificate.
        ca->cert_ = MakeCaCert(ca->key_.get());
        if (!ca->cert_ || !WriteFileAtomically(certFile, CertToPem(ca->cert_.get()), error)) {
            if (error.empty()) {
                error = "cannot make the CA certificate";
            }
            return nullptr;
        }
    }
    ca->certPem_ = CertToPem(ca->cert_.get());
    Pkey kms = LoadOrCreateKey(dataDir / "kms.key", created, error);
    Pkey cssEnv = kms ? LoadOrCreateKey(dataDir / "css-env.key", created, error) : nullptr;
    if (!kms || !cssEnv) {
        return nullptr;
    }
    if (!ca->PrepareExtensions()) {
        error = "cannot prepare the certificate extensions";
        return nullptr;
    }
    ca->kmsPem_ = PublicKeyToPem(kms.get());
    ca->cssEnvPem_ = PublicKeyToPem(cssEnv.get());
    ca->cssSignPem_ = PublicKeyToPem(ca->key_.get());
    return ca;
}

bool CertificateAuthority::PrepareExtensions() {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, cert_.get(), nullptr, nullptr, nullptr, 0);
    auto make = [&](int nid, const char* value) {
        return Ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    };
    leafConstraints_ = make(NID_basic_constraints, "critical,CA:FALSE");
    signUsage_ = make(NID_key_usage, "critical,digitalSignature,nonRepudiation");
    encUsage_ = make(NID_key_usage, "critical,keyEncipherment,dataEncipherment,keyAgreement");
    authorityKeyId_ = make(NID_authority_key_identifier, "keyid:always");
    return leafConstraints_ && signUsage_ && encUsage_ && authorityKeyId_;
}

std::string CertificateAuthority::Issue(const X509_NAME* subject, EVP_PKEY* publicKey, CertUse use,
                                        std::time_t notBefore, std::time_t notAfter, std::string& error,
                                        IssuedInfo* info) const {
    Cert cert(X509_new());
    if (!cert || subject == nullptr || publicKey == nullptr || notAfter <= notBefore) {
        error = "bad certificate request";
        return {};
    }
    X509_EXTENSION* usage = use == CertUse::Signing ? signUsage_.get() : encUsage_.get();
    // Subject key identifier: SHA-1 of the public key bits, as the "hash" form computes it.
    unsigned char keyId[EVP_MAX_MD_SIZE];
    unsigned int keyIdLen = 0;
    if (X509_set_version(cert.get(), 2) != 1 || !SetRandomSerial(cert.get()) ||
        X509_set_subject_name(cert.get(), subject) != 1 ||
        X509_set_issuer_name(cert.get(), X509_get_subject_name(cert_.get())) != 1 ||
        X509_time_adj_ex(X509_getm_notBefore(cert.get()), 0, 0, &notBefore) == nullptr ||
        X509_time_adj_ex(X509_getm_notAfter(cert.get()), 0, 0, &notAfter) == nullptr ||
        X509_set_pubkey(cert.get(), publicKey) != 1 ||
        X509_add_ext(cert.get(), leafConstraints_.get(), -1) != 1 ||
        X509_add_ext(cert.get(), usage, -1) != 1 ||
        X509_pubkey_digest(cert.get(), EVP_sha1(), keyId, &keyIdLen) != 1 ||
        !AddKeyId(cert.get(), keyId, keyIdLen) || X509_add_ext(cert.get(), authorityKeyId_.get(), -1) != 1 ||
        !SignCert(cert.get(), key_.get())) {
        error = "cannot issue the certificate";
        return {};
    }
    if (info != nullptr) {
        info->serialHex = SerialHexOf(cert.get());
        info->notBefore = Asn1TimeDigits(X509_get0_notBefore(cert.get()));
        info->notAfter = Asn1TimeDigits(X509_get0_notAfter(cert.get()));
    }
    std::string pem = CertToPem(cert.get());
    if (info != nullptr) {
        info->cert = std::move(cert);
    }
    return pem;
}

} // namespace rv::server
