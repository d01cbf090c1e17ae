#include "softcard_env.h"

#include "card/dispids.h"
#include "core/faults.h"
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <cstring>
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
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<std::size_t>(n));
    BIO_free(bio);
    X509_free(cert);
    return pem;
}

softcard::HolderRecord TestHolder() {
    softcard::HolderRecord h;
    h.certSeqNo = "SEQ-0042";
    h.applicantName = reinterpret_cast<const char*>(u8"张三");
    h.idType = "01";
    h.idNumber = "110101199001011234";
    h.field5 = "F5";
    h.cardNumber = "C9000001";
    h.unitName = reinterpret_cast<const char*>(u8"某億科技有限公司");
    h.unitCode = "91110000MA01";
    h.field9 = "NINE";
    h.raCode = "RA07";
    h.cardType = "10";
    return h;
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
        // EVP_DecodeBlock counts the padding as zero bytes; a DER SEQUENCE states its own length.
        std::size_t len = static_cast<std::size_t>(n);
        if (len >= 2 && static_cast<unsigned char>(der[1]) < 0x80) {
            len = std::min(len, static_cast<std::size_t>(static_cast<unsigned char>(der[1])) + 2);
        }
        EVP_MD_CTX* md = EVP_MD_CTX_new();
        EVP_PKEY_CTX* pctx = nullptr;
        if (EVP_DigestVerifyInit_ex(md, &pctx, "SM3", nullptr, nullptr, key, nullptr) == 1 &&
            EVP_PKEY_CTX_set1_id(pctx, "1234567812345678", 16) == 1) {
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

SoftCardEnv::SoftCardEnv() {
    if (const char* v = std::getenv("RENVORA_CARD_IMAGE")) {
        hadImageEnv_ = true;
        oldImageEnv_ = v;
    }
    ::unsetenv("RENVORA_CARD_IMAGE");
    image = MakeCard("card.json", TestHolder());
    softcard::CardImage card = LoadImage();
    signKeyPem = card.signKeyPem;
    signCertPem = card.signCertPem;
    reg::RegisterControl(dir.classesRoot(), kCardControlClsid, "software card", kPluginPath);
    reg::WriteValue(dir.classesRoot(), kCardControlKey, "CardImage", image.string());
}

SoftCardEnv::~SoftCardEnv() {
    if (hadImageEnv_) {
        ::setenv("RENVORA_CARD_IMAGE", oldImageEnv_.c_str(), 1);
    } else {
        ::unsetenv("RENVORA_CARD_IMAGE");
    }
}

fs::path SoftCardEnv::MakeCard(const std::string& name, const softcard::HolderRecord& holder) {
    std::string error;
    std::string key = softcard::GenerateSm2KeyPem(&error);
    if (key.empty()) {
        throw std::runtime_error("key generation failed");
    }
    std::string cert = ca.Issue(key, kNotBefore, kNotAfter);
    softcard::CardImage card;
    fs::path path = dir.path() / name;
    if (!softcard::NewCardImage(holder, kPin, kManagePassword, "SM2", key, cert, card, error) ||
        !softcard::SaveCardImage(path, card, error)) {
        throw std::runtime_error("card creation failed: " + Utf8(error));
    }
    return path;
}

softcard::CardImage SoftCardEnv::LoadImage() const {
    softcard::CardImage card;
    std::string error;
    if (!softcard::LoadCardImage(image, card, error)) {
        throw std::runtime_error("card image unreadable: " + Utf8(error));
    }
    return card;
}

void SoftCardEnv::WriteFaults(const std::string& json) const {
    std::ofstream(softcard::FaultFileFor(image), std::ios::binary | std::ios::trunc) << json;
}

std::string SoftCardEnv::ReadFaults() const {
    return ReadAll(softcard::FaultFileFor(image));
}

void Login(CDCertUpdate& card, const std::string& pin) {
    card.OpenCard();
    ASSERT_EQ(card.GetStatus(), 0) << Utf8(card.GetErrorMessage());
    card.SetPassword(pin);
    card.VerifyPassword();
    ASSERT_EQ(card.GetStatus(), 0) << Utf8(card.GetErrorMessage());
}

} // namespace rv::test
