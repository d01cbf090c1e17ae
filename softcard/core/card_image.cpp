#include "card_image.h"

#include "platform/codepage.h"

#include <cjson/cJSON.h>
#include <csignal>
#include <cstdlib>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace rv::softcard {
namespace {

constexpr const char* kFormatName = "renvora-softcard-image";
constexpr int kFormatVersion = 1;
constexpr int kSaltBytes = 16;
constexpr int kHashBytes = 32;
// Bounds that keep a damaged or hostile file from costing minutes or gigabytes.
constexpr int kMaxIterations = 10'000'000;
constexpr std::uintmax_t kMaxImageBytes = 4u << 20;

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct JsonFree {
    void operator()(cJSON* j) const { cJSON_Delete(j); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using JsonPtr = std::unique_ptr<cJSON, JsonFree>;

std::string ToHex(const unsigned char* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

bool FromHex(const std::string& hex, std::string& out) {
    if (hex.size() % 2) {
        return false;
    }
    auto nib = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    };
    out.clear();
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        int hi = nib(hex[i]), lo = nib(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out += static_cast<char>(hi * 16 + lo);
    }
    return true;
}

bool Pbkdf2(const std::string& pinGbk, const std::string& salt, int iterations, std::string& out) {
    unsigned char buf[kHashBytes];
    if (PKCS5_PBKDF2_HMAC(pinGbk.data(), static_cast<int>(pinGbk.size()),
                          reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
                          iterations, EVP_sha256(), kHashBytes, buf) != 1) {
        return false;
    }
    out.assign(reinterpret_cast<char*>(buf), kHashBytes);
    return true;
}

PkeyPtr ReadPrivateKey(const std::string& pem) {
    // The card's own keys are SM2 in unencrypted PKCS#8. Asking the decoder for exactly that costs a
    // quarter of OpenSSL 3's search through every decoder, and each card call reads a key; anything
    // else still goes through the general reader.
    EVP_PKEY* key = nullptr;
    ERR_set_mark();
    if (OSSL_DECODER_CTX* ctx = OSSL_DECODER_CTX_new_for_pkey(&key, "PEM", "PrivateKeyInfo", "SM2",
                                                              EVP_PKEY_KEYPAIR, nullptr, nullptr)) {
        const auto* data = reinterpret_cast<const unsigned char*>(pem.data());
        std::size_t len = pem.size();
        if (OSSL_DECODER_from_data(ctx, &data, &len) != 1) {
            EVP_PKEY_free(key);
            key = nullptr;
        }
        OSSL_DECODER_CTX_free(ctx);
    }
    ERR_pop_to_mark(); // a miss here is no error of the caller's
    if (key != nullptr) {
        return PkeyPtr(key);
    }
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) {
        return nullptr;
    }
    return PkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

X509Ptr ReadCert(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) {
        return nullptr;
    }
    return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    return n > 0 && data ? std::string(data, static_cast<std::size_t>(n)) : std::string();
}

std::string PubkeyPem(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), key) != 1) {
        return {};
    }
    return BioText(bio.get());
}

bool TimeText(const ASN1_TIME* t, std::string& out) {
    struct tm tm {};
    if (!t || ASN1_TIME_to_tm(t, &tm) != 1) {
        return false;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    out = buf;
    return true;
}

// ---- JSON helpers ----

void AddString(cJSON* obj, const char* name, const std::string& value) {
    cJSON_AddItemToObject(obj, name, cJSON_CreateString(value.c_str()));
}

// A string member: absent is allowed when `required` is false (stays as it is); any other type is an error.
bool GetString(const cJSON* obj, const char* name, std::string& out, bool required, std::string& error) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(obj, name);
    if (!item) {
        if (required) {
            error = std::string("IC卡映像缺少字段 ") + name;
            return false;
        }
        return true;
    }
    if (!cJSON_IsString(item) || !item->valuestring) {
        error = std::string("IC卡映像字段类型错误: ") + name;
        return false;
    }
    out = item->valuestring;
    return true;
}

bool GetInt(const cJSON* obj, const char* name, int lo, int hi, int& out, std::string& error) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(obj, name);
    if (!item || !cJSON_IsNumber(item)) {
        error = std::string("IC卡映像字段缺失或类型错误: ") + name;
        return false;
    }
    double v = item->valuedouble;
    if (!(v >= lo && v <= hi) || v != static_cast<double>(static_cast<int>(v))) {
        error = std::string("IC卡映像字段超出范围: ") + name;
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

const cJSON* GetObject(const cJSON* obj, const char* name, std::string& error) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(obj, name);
    if (!item || !cJSON_IsObject(item)) {
        error = std::string("IC卡映像缺少对象 ") + name;
        return nullptr;
    }
    return item;
}

struct HolderField {
    const char* name;
    std::string HolderRecord::*member;
};
const HolderField kHolderFields[] = {
    {"certSeqNo", &HolderRecord::certSeqNo}, {"applicantName", &HolderRecord::applicantName},
    {"idType", &HolderRecord::idType},       {"idNumber", &HolderRecord::idNumber},
    {"field5", &HolderRecord::field5},       {"cardNumber", &HolderRecord::cardNumber},
    {"unitName", &HolderRecord::unitName},   {"unitCode", &HolderRecord::unitCode},
    {"field9", &HolderRecord::field9},       {"raCode", &HolderRecord::raCode},
    {"cardType", &HolderRecord::cardType},
};

struct WrittenField {
    const char* name;
    std::string WrittenSet::*member;
};
const WrittenField kWrittenFields[] = {
    {"signCert", &WrittenSet::signCert},   {"envCert", &WrittenSet::envCert},
    {"cssEnvKey", &WrittenSet::cssEnvKey}, {"cssSignKey", &WrittenSet::cssSignKey},
    {"kmsKey", &WrittenSet::kmsKey},       {"envData", &WrittenSet::envData},
};

bool SyncDir(const std::filesystem::path& dir) {
    int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

// ---- PIN ----

bool SetPin(CardImage& image, const std::string& pin, std::string& error) {
    if (pin.empty()) {
        error = "口令不能为空";
        return false;
    }
    unsigned char salt[kSaltBytes];
    if (RAND_bytes(salt, sizeof salt) != 1) {
        error = "无法生成随机数";
        return false;
    }
    std::string saltBytes(reinterpret_cast<char*>(salt), sizeof salt), hash;
    if (!Pbkdf2(cp::Utf8ToGbk(pin), saltBytes, kPinHashIterations, hash)) {
        error = "口令摘要计算失败";
        return false;
    }
    image.pin.saltHex = ToHex(salt, sizeof salt);
    image.pin.hashHex = ToHex(reinterpret_cast<const unsigned char*>(hash.data()), hash.size());
    image.pin.iterations = kPinHashIterations;
    image.pin.wrongTries = 0;
    return true;
}

bool PinMatches(const CardImage& image, const std::string& pinGbk) {
    std::string salt, want, got;
    if (!FromHex(image.pin.saltHex, salt) || !FromHex(image.pin.hashHex, want) || want.size() != kHashBytes) {
        return false;
    }
    if (image.pin.iterations < 1 || image.pin.iterations > kMaxIterations) {
        return false;
    }
    if (!Pbkdf2(pinGbk, salt, image.pin.iterations, got)) {
        return false;
    }
    return CRYPTO_memcmp(got.data(), want.data(), kHashBytes) == 0;
}

// ---- Keys and certificates ----

std::string GenerateSm2KeyPem(std::string* error, std::string* publicKeyPem) {
    PkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    BioPtr bio(BIO_new(BIO_s_mem()));
    std::string pub = key ? PubkeyPem(key.get()) : std::string();
    if (!key || !bio || pub.empty() ||
        PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        if (error) {
            *error = "生成SM2密钥对失败";
        }
        return {};
    }
    if (publicKeyPem) {
        *publicKeyPem = std::move(pub);
    }
    return BioText(bio.get());
}

std::string PublicKeyPemOfKey(const std::string& privateKeyPem) {
    PkeyPtr key = ReadPrivateKey(privateKeyPem);
    return key ? PubkeyPem(key.get()) : std::string();
}

std::string PublicKeyPemOfCert(const std::string& certPem) {
    X509Ptr cert = ReadCert(certPem);
    if (!cert) {
        return {};
    }
    EVP_PKEY* key = X509_get0_pubkey(cert.get());
    return key ? PubkeyPem(key) : std::string();
}

bool CertValidity(const std::string& certPem, std::string& notBefore, std::string& notAfter) {
    X509Ptr cert = ReadCert(certPem);
    if (!cert) {
        return false;
    }
    std::string a, b;
    if (!TimeText(X509_get0_notBefore(cert.get()), a) || !TimeText(X509_get0_notAfter(cert.get()), b)) {
        return false;
    }
    notBefore = a;
    notAfter = b;
    return true;
}

std::string MakeSelfSignedCert(const std::string& privateKeyPem, const std::string& commonName,
                               const std::string& organization, int days, std::string* error) {
    auto fail = [&](const char* why) {
        if (error) {
            *error = why;
        }
        return std::string();
    };
    PkeyPtr key = ReadPrivateKey(privateKeyPem);
    if (!key) {
        return fail("私钥无法读取");
    }
    X509Ptr cert(X509_new());
    if (!cert) {
        return fail("证书创建失败");
    }
    unsigned char serial[8];
    if (RAND_bytes(serial, sizeof serial) != 1) {
        return fail("无法生成随机数");
    }
    serial[0] &= 0x7F; // positive
    serial[0] |= 0x01; // and never zero
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    ASN1_INTEGER* sn = bn ? BN_to_ASN1_INTEGER(bn, nullptr) : nullptr;
    BN_free(bn);
    bool ok = sn && X509_set_version(cert.get(), 2) == 1 && X509_set_serialNumber(cert.get(), sn) == 1;
    ASN1_INTEGER_free(sn);
    if (!ok) {
        return fail("证书序列号设置失败");
    }
    std::time_t now = std::time(nullptr);
    if (!X509_time_adj_ex(X509_getm_notBefore(cert.get()), 0, -3600, &now) ||
        !X509_time_adj_ex(X509_getm_notAfter(cert.get()), days, 0, &now)) {
        return fail("证书有效期设置失败");
    }
    X509_NAME* name = X509_get_subject_name(cert.get());
    auto add = [&](const char* field, const std::string& value) {
        return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                          reinterpret_cast<const unsigned char*>(value.data()),
                                          static_cast<int>(value.size()), -1, 0) == 1;
    };
    if (commonName.empty() || !add("CN", commonName) || (!organization.empty() && !add("O", organization))) {
        return fail("证书主题设置失败");
    }
    if (X509_set_issuer_name(cert.get(), name) != 1 || X509_set_pubkey(cert.get(), key.get()) != 1) {
        return fail("证书设置失败");
    }
    if (X509_sign(cert.get(), key.get(), EVP_sm3()) <= 0) {
        return fail("证书签名失败");
    }
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), cert.get()) != 1) {
        return fail("证书输出失败");
    }
    return BioText(bio.get());
}

// ---- Signing ----

namespace {

// A digest-sign/verify context for SM2 with SM3 and the default distinguishing ID.
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

PkeyPtr ReadPublicKey(const std::string& pem) {
    if (pem.find("-----BEGIN CERTIFICATE-----") != std::string::npos) {
        X509Ptr cert = ReadCert(pem);
        if (!cert) {
            return nullptr;
        }
        EVP_PKEY* key = X509_get_pubkey(cert.get());
        return PkeyPtr(key);
    }
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return bio ? PkeyPtr(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr)) : nullptr;
}

bool SetSm2Id(EVP_PKEY_CTX* pctx) {
    return EVP_PKEY_CTX_set1_id(pctx, kSm2DefaultId, static_cast<int>(std::strlen(kSm2DefaultId))) == 1;
}

bool Base64Decode(const std::string& text, std::string& out) {
    if (text.size() > (1u << 20)) {
        return false;
    }
    std::unique_ptr<EVP_ENCODE_CTX, void (*)(EVP_ENCODE_CTX*)> ctx(EVP_ENCODE_CTX_new(), EVP_ENCODE_CTX_free);
    if (!ctx) {
        return false;
    }
    std::string buf(text.size() / 4 * 3 + 80, '\0');
    int n1 = 0, n2 = 0;
    EVP_DecodeInit(ctx.get());
    if (EVP_DecodeUpdate(ctx.get(), reinterpret_cast<unsigned char*>(buf.data()), &n1,
                         reinterpret_cast<const unsigned char*>(text.data()),
                         static_cast<int>(text.size())) < 0 ||
        EVP_DecodeFinal(ctx.get(), reinterpret_cast<unsigned char*>(buf.data()) + n1, &n2) != 1) {
        return false;
    }
    buf.resize(static_cast<std::size_t>(n1) + static_cast<std::size_t>(n2));
    out = std::move(buf);
    return true;
}

} // namespace

std::string SignSm2Sm3Base64(const std::string& privateKeyPem, const std::string& data, std::string* error) {
    auto fail = [&](const char* why) {
        if (error) {
            *error = why;
        }
        return std::string();
    };
    PkeyPtr key = ReadPrivateKey(privateKeyPem);
    if (!key) {
        return fail("签名私钥无法读取");
    }
    MdCtxPtr md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!md || EVP_DigestSignInit_ex(md.get(), &pctx, "SM3", nullptr, nullptr, key.get(), nullptr) != 1 ||
        !SetSm2Id(pctx)) {
        return fail("签名初始化失败");
    }
    std::size_t len = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    if (EVP_DigestSign(md.get(), nullptr, &len, p, data.size()) != 1) {
        return fail("签名失败");
    }
    std::string der(len, '\0');
    if (EVP_DigestSign(md.get(), reinterpret_cast<unsigned char*>(der.data()), &len, p, data.size()) != 1) {
        return fail("签名失败");
    }
    der.resize(len);
    std::string b64(4 * ((der.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()),
                            reinterpret_cast<const unsigned char*>(der.data()), static_cast<int>(der.size()));
    b64.resize(static_cast<std::size_t>(n));
    return b64;
}

bool VerifySm2Sm3Base64(const std::string& certOrPublicKeyPem, const std::string& data,
                        const std::string& signatureBase64) {
    PkeyPtr key = ReadPublicKey(certOrPublicKeyPem);
    std::string der;
    if (!key || !Base64Decode(signatureBase64, der)) {
        return false;
    }
    MdCtxPtr md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!md || EVP_DigestVerifyInit_ex(md.get(), &pctx, "SM3", nullptr, nullptr, key.get(), nullptr) != 1 ||
        !SetSm2Id(pctx)) {
        return false;
    }
    return EVP_DigestVerify(md.get(), reinterpret_cast<const unsigned char*>(der.data()), der.size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

// ---- Creating a card ----

bool NewCardImage(const HolderRecord& holder, const std::string& pin, const std::string& managePassword,
                  const std::string& cryptAlgo, const std::string& signKeyPem, const std::string& signCertPem,
                  CardImage& out, std::string& error) {
    PkeyPtr key = ReadPrivateKey(signKeyPem);
    if (!key) {
        error = "签名私钥无法读取";
        return false;
    }
    X509Ptr cert = ReadCert(signCertPem);
    if (!cert) {
        error = "签名证书无法读取";
        return false;
    }
    if (X509_check_private_key(cert.get(), key.get()) != 1) {
        error = "签名证书与签名私钥不匹配";
        return false;
    }
    for (const auto& f : kHolderFields) {
        // The card record joins the fields with '|'; one inside a field would shift every later field.
        if ((holder.*f.member).find('|') != std::string::npos) {
            error = std::string("持卡人信息不能包含字符“|”: ") + f.name;
            return false;
        }
    }
    CardImage image;
    image.holder = holder;
    image.managePassword = managePassword;
    image.cryptAlgo = cryptAlgo.empty() ? kDefaultCryptAlgo : cryptAlgo;
    image.signKeyPem = signKeyPem;
    image.signCertPem = signCertPem;
    if (!SetPin(image, pin, error)) {
        return false;
    }
    out = std::move(image);
    return true;
}

// ---- JSON ----

std::string CardImageToJson(const CardImage& image) {
    JsonPtr root(cJSON_CreateObject());
    AddString(root.get(), "format", kFormatName);
    cJSON_AddNumberToObject(root.get(), "version", kFormatVersion);
    cJSON* holder = cJSON_AddObjectToObject(root.get(), "holder");
    for (const auto& f : kHolderFields) {
        AddString(holder, f.name, image.holder.*f.member);
    }
    cJSON* pin = cJSON_AddObjectToObject(root.get(), "pin");
    AddString(pin, "salt", image.pin.saltHex);
    AddString(pin, "hash", image.pin.hashHex);
    cJSON_AddNumberToObject(pin, "iterations", image.pin.iterations);
    cJSON_AddNumberToObject(pin, "wrongTries", image.pin.wrongTries);
    AddString(root.get(), "cryptAlgo", image.cryptAlgo);
    AddString(root.get(), "managePassword", image.managePassword);
    AddString(root.get(), "signKey", image.signKeyPem);
    AddString(root.get(), "signCert", image.signCertPem);
    AddString(root.get(), "pendingKey", image.pendingKeyPem);
    cJSON* written = cJSON_AddObjectToObject(root.get(), "written");
    for (const auto& f : kWrittenFields) {
        AddString(written, f.name, image.written.*f.member);
    }
    char* text = cJSON_Print(root.get());
    std::string out = text ? text : "";
    cJSON_free(text);
    out += '\n';
    return out;
}

bool CardImageFromJson(const std::string& json, CardImage& out, std::string& error) {
    JsonPtr root(cJSON_ParseWithLength(json.data(), json.size()));
    if (!root || !cJSON_IsObject(root.get())) {
        error = "IC卡映像不是有效的JSON";
        return false;
    }
    std::string format;
    if (!GetString(root.get(), "format", format, true, error)) {
        return false;
    }
    if (format != kFormatName) {
        error = "不是IC卡映像文件";
        return false;
    }
    int version = 0;
    if (!GetInt(root.get(), "version", 1, kFormatVersion, version, error)) {
        return false;
    }
    CardImage image;
    const cJSON* holder = GetObject(root.get(), "holder", error);
    if (!holder) {
        return false;
    }
    for (const auto& f : kHolderFields) {
        if (!GetString(holder, f.name, image.holder.*f.member, false, error)) {
            return false;
        }
    }
    const cJSON* pin = GetObject(root.get(), "pin", error);
    if (!pin || !GetString(pin, "salt", image.pin.saltHex, true, error) ||
        !GetString(pin, "hash", image.pin.hashHex, true, error) ||
        !GetInt(pin, "iterations", 1, kMaxIterations, image.pin.iterations, error) ||
        !GetInt(pin, "wrongTries", 0, 1'000'000, image.pin.wrongTries, error)) {
        return false;
    }
    std::string scratch;
    if (!FromHex(image.pin.saltHex, scratch) || scratch.empty() || !FromHex(image.pin.hashHex, scratch) ||
        scratch.size() != kHashBytes) {
        error = "IC卡映像中的口令摘要损坏";
        return false;
    }
    if (!GetString(root.get(), "cryptAlgo", image.cryptAlgo, true, error) ||
        !GetString(root.get(), "managePassword", image.managePassword, true, error) ||
        !GetString(root.get(), "signKey", image.signKeyPem, true, error) ||
        !GetString(root.get(), "signCert", image.signCertPem, true, error) ||
        !GetString(root.get(), "pendingKey", image.pendingKeyPem, false, error)) {
        return false;
    }
    if (const cJSON* written = cJSON_GetObjectItemCaseSensitive(root.get(), "written")) {
        if (!cJSON_IsObject(written)) {
            error = "IC卡映像字段类型错误: written";
            return false;
        }
        for (const auto& f : kWrittenFields) {
            if (!GetString(written, f.name, image.written.*f.member, false, error)) {
                return false;
            }
        }
    }
    out = std::move(image);
    return true;
}

// ---- File ----

bool LoadCardImage(const std::filesystem::path& file, CardImage& out, std::string& error) {
    // Non-blocking: opening a FIFO for reading would otherwise wait for a writer for ever; the type is
    // checked on the descriptor itself, so a file swapped in between cannot slip through.
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        error = errno == ENOENT ? "IC卡映像文件不存在" : Errno("IC卡映像文件无法打开");
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = "IC卡映像不是普通文件";
        return false;
    }
    if (static_cast<std::uintmax_t>(st.st_size) > kMaxImageBytes) {
        ::close(fd);
        error = "IC卡映像文件过大";
        return false;
    }
    std::string bytes;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = Errno("IC卡映像文件读取失败");
            ::close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        bytes.append(buf, static_cast<std::size_t>(n));
        if (bytes.size() > kMaxImageBytes) {
            ::close(fd);
            error = "IC卡映像文件过大";
            return false;
        }
    }
    ::close(fd);
    return CardImageFromJson(bytes, out, error);
}

int RemoveStaleTempFiles(const std::filesystem::path& file) {
    // Temp names are "<name>.tmp.<pid>.<n>" (see WriteFileAtomically), for the image and its fault file.
    const std::string name = file.filename().string();
    std::filesystem::path dir = file.parent_path().empty() ? "." : file.parent_path();
    std::error_code ec;
    int removed = 0;
    const auto digits = [](const std::string& text, std::size_t from, std::size_t to) {
        return to > from && text.find_first_not_of("0123456789", from) >= to;
    };
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::string entryName = entry.path().filename().string();
        if (entryName.size() <= name.size() || entryName.compare(0, name.size(), name) != 0) {
            continue;
        }
        // What follows the name must be exactly [".faults"] ".tmp." PID "." N: the image's own name may
        // contain ".tmp." itself, and another file may merely start like this one.
        std::size_t at = name.size();
        if (entryName.compare(at, 7, ".faults") == 0) {
            at += 7;
        }
        if (entryName.compare(at, 5, ".tmp.") != 0) {
            continue;
        }
        at += 5;
        const std::size_t dot = entryName.find('.', at);
        if (dot == std::string::npos || !digits(entryName, at, dot) ||
            !digits(entryName, dot + 1, entryName.size())) {
            continue;
        }
        char* end = nullptr;
        long pid = std::strtol(entryName.c_str() + at, &end, 10);
        if (pid <= 0) {
            continue;
        }
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH &&
            std::filesystem::remove(entry.path(), ec)) {
            ++removed;
        }
    }
    return removed;
}

bool WriteFileAtomically(const std::filesystem::path& file, const std::string& bytes, std::string& error,
                         const std::function<void()>& beforeRename) {
    static std::atomic<unsigned> counter{0};
    std::filesystem::path dir = file.parent_path();
    std::filesystem::path temp = file;
    temp += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = Errno("临时文件无法创建");
        return false;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = Errno("临时文件写入失败");
            ::close(fd);
            ::unlink(temp.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) {
        error = Errno("临时文件同步失败");
        ::close(fd);
        ::unlink(temp.c_str());
        return false;
    }
    if (::close(fd) != 0) {
        error = Errno("临时文件关闭失败");
        ::unlink(temp.c_str());
        return false;
    }
    if (beforeRename) {
        beforeRename();
    }
    if (::rename(temp.c_str(), file.c_str()) != 0) {
        error = Errno("文件替换失败");
        ::unlink(temp.c_str());
        return false;
    }
    if (!SyncDir(dir)) {
        // The new content is in place; only its durability across a power cut is not confirmed.
        error = Errno("目录同步失败");
        return false;
    }
    return true;
}

bool SaveCardImage(const std::filesystem::path& file, const CardImage& image, std::string& error,
                   const std::function<void()>& beforeRename) {
    return WriteFileAtomically(file, CardImageToJson(image), error, beforeRename);
}

} // namespace rv::softcard
