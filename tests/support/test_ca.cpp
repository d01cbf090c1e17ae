#include "support/test_ca.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace rv::test {
namespace fs = std::filesystem;

namespace {

EVP_PKEY* ReadAnyPublicKey(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* key = nullptr;
    if (pem.find("PRIVATE KEY") != std::string::npos) {
        key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    } else if (pem.find("CERTIFICATE") != std::string::npos) {
        X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
        key = cert ? X509_get_pubkey(cert) : nullptr;
        X509_free(cert);
    } else {
        key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
    }
    BIO_free(bio);
    return key;
}

std::string Drain(BIO* bio) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<std::size_t>(std::max(n, 0L)));
    BIO_free(bio);
    return out;
}

X509* ReadCert(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    return cert;
}

// The certificate as PEM; the certificate is freed.
std::string PemOf(X509* cert) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    X509_free(cert);
    return Drain(bio);
}

} // namespace

TestCa::TestCa() : key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")) {
    if (!key_) {
        throw std::runtime_error("CA key generation failed");
    }
}

TestCa::~TestCa() {
    EVP_PKEY_free(key_);
}

std::string TestCa::Issue(const std::string& publicKeyPem, const char* notBefore, const char* notAfter,
                          const std::string& commonName) {
    EVP_PKEY* subjectKey = ReadAnyPublicKey(publicKeyPem);
    if (!subjectKey) {
        throw std::runtime_error("unreadable public key");
    }
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 4711);
    ASN1_TIME_set_string_X509(X509_getm_notBefore(cert), notBefore);
    ASN1_TIME_set_string_X509(X509_getm_notAfter(cert), notAfter);
    X509_NAME* subject = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    X509_NAME* issuer = X509_NAME_new();
    X509_NAME_add_entry_by_txt(issuer, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Test CA"),
                               -1, -1, 0);
    X509_set_issuer_name(cert, issuer);
    X509_NAME_free(issuer);
    X509_set_pubkey(cert, subjectKey);
    EVP_PKEY_free(subjectKey);
    if (X509_sign(cert, key_, EVP_sm3()) <= 0) {
        X509_free(cert);
        throw std::runtime_error("certificate signing failed");
    }
    return PemOf(cert);
}

std::string IssueCert(const CertFields& f) {
    EVP_PKEY* subjectKey = ReadAnyPublicKey(f.publicKeyPem);
    EVP_PKEY* signer = ReadAnyPublicKey(f.issuerKeyPem);
    if (!subjectKey || !signer) {
        EVP_PKEY_free(subjectKey);
        EVP_PKEY_free(signer);
        throw std::runtime_error("unreadable key");
    }
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    static long serial = 1000;
    ASN1_INTEGER_set(X509_get_serialNumber(cert), ++serial);
    ASN1_TIME_set(X509_getm_notBefore(cert), f.notBefore);
    ASN1_TIME_set(X509_getm_notAfter(cert), f.notAfter);
    if (!f.subjectOf.empty()) {
        X509* from = ReadCert(f.subjectOf);
        if (!from) {
            throw std::runtime_error("unreadable subject certificate");
        }
        X509_set_subject_name(cert, X509_get_subject_name(from));
        X509_free(from);
    } else {
        X509_NAME* name = X509_get_subject_name(cert);
        auto add = [&](const char* field, const std::string& v) {
            X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(v.c_str()), -1, -1, 0);
        };
        add("C", "CN");
        if (!f.organization.empty()) {
            add("O", f.organization);
        }
        add("CN", f.commonName);
    }
    if (f.issuerCertPem.empty()) {
        X509_set_issuer_name(cert, X509_get_subject_name(cert));
    } else {
        X509* issuer = ReadCert(f.issuerCertPem);
        if (!issuer) {
            throw std::runtime_error("unreadable issuer certificate");
        }
        X509_set_issuer_name(cert, X509_get_subject_name(issuer));
        X509_free(issuer);
    }
    X509_set_pubkey(cert, subjectKey);
    if (f.ca) {
        X509_EXTENSION* bc = X509V3_EXT_conf_nid(nullptr, nullptr, NID_basic_constraints, "critical,CA:TRUE");
        X509_add_ext(cert, bc, -1);
        X509_EXTENSION_free(bc);
    }
    const bool sm2 = EVP_PKEY_is_a(signer, "SM2") == 1;
    const int signedOk = X509_sign(cert, signer, sm2 ? EVP_sm3() : EVP_sha256());
    EVP_PKEY_free(subjectKey);
    EVP_PKEY_free(signer);
    if (signedOk <= 0) {
        X509_free(cert);
        throw std::runtime_error("certificate signing failed");
    }
    return PemOf(cert);
}

std::string BreakSignature(const std::string& certPem) {
    X509* cert = ReadCert(certPem);
    unsigned char* der = nullptr;
    int n = cert ? i2d_X509(cert, &der) : 0;
    X509_free(cert);
    if (n <= 0) {
        throw std::runtime_error("unreadable certificate");
    }
    // The DER ends with the signature value's last byte.
    der[n - 1] ^= 0x01;
    const unsigned char* p = der;
    X509* broken = d2i_X509(nullptr, &p, n);
    OPENSSL_free(der);
    if (!broken) {
        throw std::runtime_error("the broken certificate is no DER");
    }
    return PemOf(broken);
}

std::string NewPrivateKeyPem(const std::string& cryptAlgo) {
    EVP_PKEY* key = cryptAlgo == "RSA" ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048))
                    : cryptAlgo == "ECC" ? EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")
                                         : EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
    if (!key) {
        throw std::runtime_error("key generation failed");
    }
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    EVP_PKEY_free(key);
    return Drain(bio);
}

std::string EncryptPrivateKeyPem(const std::string& privateKeyPem, const std::string& passphrase) {
    EVP_PKEY* key = ReadAnyPublicKey(privateKeyPem);
    BIO* bio = BIO_new(BIO_s_mem());
    if (!key || PEM_write_bio_PKCS8PrivateKey(bio, key, EVP_aes_256_cbc(), passphrase.data(),
                                              static_cast<int>(passphrase.size()), nullptr, nullptr) != 1) {
        EVP_PKEY_free(key);
        BIO_free(bio);
        throw std::runtime_error("cannot encrypt the key");
    }
    EVP_PKEY_free(key);
    return Drain(bio);
}

bool OpenSslVerifies(const std::string& certPem, const std::string& data,
                     const std::string& signatureBase64) {
    EVP_PKEY* key = ReadAnyPublicKey(certPem);
    if (!key) {
        return false;
    }
    std::string der(signatureBase64.size(), '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(der.data()),
                            reinterpret_cast<const unsigned char*>(signatureBase64.data()),
                            static_cast<int>(signatureBase64.size()));
    bool ok = false;
    if (n > 0) {
        // EVP_DecodeBlock counts the padding as zero bytes; cut them off.
        std::size_t len = static_cast<std::size_t>(n);
        std::size_t pad = std::count(signatureBase64.end() - std::min<std::size_t>(2, signatureBase64.size()),
                                     signatureBase64.end(), '=');
        len -= std::min(len, pad);
        bool sm2 = EVP_PKEY_is_a(key, "SM2") == 1;
        EVP_MD_CTX* md = EVP_MD_CTX_new();
        EVP_PKEY_CTX* pctx = nullptr;
        if (EVP_DigestVerifyInit_ex(md, &pctx, sm2 ? "SM3" : "SHA256", nullptr, nullptr, key, nullptr) == 1 &&
            (!sm2 || EVP_PKEY_CTX_set1_id(pctx, "1234567812345678", 16) == 1)) {
            ok = EVP_DigestVerify(md, reinterpret_cast<const unsigned char*>(der.data()), len,
                                  reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
        }
        EVP_MD_CTX_free(md);
    }
    EVP_PKEY_free(key);
    return ok;
}

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace rv::test
