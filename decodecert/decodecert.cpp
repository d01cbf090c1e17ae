// decodecert on OpenSSL. The three exported functions parse with OpenSSL only; this file adds the
// item numbering, the capacity checks and the guarantee that nothing escapes as an exception or
// writes past a buffer. Item numbers and result codes: docs/decodecert.md.
#include "decodecert.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#define DECODECERT_EXPORT __attribute__((visibility("default")))

namespace {

// Result codes (0 is success).
constexpr int kOk = 0;
constexpr int kBadArgument = 1;  // null pointer, negative length or capacity
constexpr int kNotDecodable = 2; // input is not what the function decodes
constexpr int kTooSmall = 3;     // the result does not fit the capacity given
constexpr int kNoSuchItem = 4;   // unknown item number, or the certificate lacks that item
constexpr int kInternal = 5;     // allocation or library failure

// What kind of bytes an item is; GetCertInfo reports it through its fourth argument.
constexpr int kKindDer = 0;
constexpr int kKindText = 1;

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

// The library keeps an error queue per thread; a failed parse must not leave entries behind for
// whoever calls OpenSSL next in the client.
struct ErrorQueueGuard {
    ErrorQueueGuard() { ERR_set_mark(); }
    ~ErrorQueueGuard() { ERR_pop_to_mark(); }
};

// Parses exactly `length` bytes as one certificate; trailing bytes make it invalid.
X509Ptr ParseCertificate(const unsigned char* der, long length) {
    const unsigned char* p = der;
    X509Ptr cert(d2i_X509(nullptr, &p, length));
    if (cert && p != der + length) {
        cert.reset();
    }
    return cert;
}

// Encodes with an i2d function into a string of bytes.
template <typename T, typename Fn> bool EncodeDer(const T* value, Fn i2d, std::string& out) {
    int n = i2d(value, nullptr);
    if (n <= 0) {
        return false;
    }
    out.resize(static_cast<std::size_t>(n));
    unsigned char* p = reinterpret_cast<unsigned char*>(out.data());
    return i2d(value, &p) == n;
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    return n > 0 && data ? std::string(data, static_cast<std::size_t>(n)) : std::string();
}

// "YYYYMMDDhhmmss" in UTC, whatever the ASN.1 time type (UTCTime or GeneralizedTime, with or
// without a zone offset): OpenSSL normalises to a struct tm, we only print it with a 4-digit year.
bool TimeText(const ASN1_TIME* t, std::string& out) {
    if (t == nullptr) {
        return false;
    }
    std::tm tm{};
    if (ASN1_TIME_to_tm(t, &tm) != 1) {
        return false;
    }
    char buf[64];
    int n = std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                          tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    if (n != 14) {
        return false;
    }
    out.assign(buf, 14);
    return true;
}

// One-line distinguished name in RFC 2253 order, UTF-8.
bool NameText(const X509_NAME* name, std::string& out) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || name == nullptr) {
        return false;
    }
    if (X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) {
        return false;
    }
    out = BioText(bio.get());
    return true;
}

// The first entry of `nid` in a name, as UTF-8 text. False when the name has none.
bool NameEntryText(const X509_NAME* name, int nid, std::string& out) {
    int idx = X509_NAME_get_index_by_NID(name, nid, -1);
    if (idx < 0) {
        return false;
    }
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, idx));
    unsigned char* utf8 = nullptr;
    int n = ASN1_STRING_to_UTF8(&utf8, value);
    if (n < 0) {
        return false;
    }
    out.assign(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(n));
    OPENSSL_free(utf8);
    return true;
}

std::string ObjectText(const ASN1_OBJECT* obj, int dotted) {
    char buf[128];
    int n = OBJ_obj2txt(buf, sizeof buf, obj, dotted);
    if (n <= 0 || n >= static_cast<int>(sizeof buf)) {
        return std::string();
    }
    return std::string(buf, static_cast<std::size_t>(n));
}

// Extracts item `item` of `cert` into `out`; `kind` says whether it is text or DER.
int ExtractItem(X509* cert, int item, std::string& out, int& kind) {
    kind = kKindText;
    switch (item) {
    case 1: { // version, "1" to "3"
        char buf[24];
        std::snprintf(buf, sizeof buf, "%ld", X509_get_version(cert) + 1);
        out = buf;
        return kOk;
    }
    case 2: { // serial number, upper-case hex without leading zeros ("0" for zero)
        BIGNUM* bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr);
        if (bn == nullptr) {
            return kNotDecodable;
        }
        char* hex = BN_bn2hex(bn);
        BN_free(bn);
        if (hex == nullptr) {
            return kInternal;
        }
        out = hex;
        OPENSSL_free(hex);
        return kOk;
    }
    case 3:   // signature algorithm, OpenSSL's long name (dotted form when it has no name)
    case 4: { // signature algorithm, dotted OID
        const X509_ALGOR* alg = nullptr;
        X509_get0_signature(nullptr, &alg, cert);
        const ASN1_OBJECT* obj = nullptr;
        X509_ALGOR_get0(&obj, nullptr, nullptr, alg);
        out = ObjectText(obj, item == 3 ? 0 : 1);
        return out.empty() ? kNotDecodable : kOk;
    }
    case 5: { // signature value, raw bytes
        const ASN1_BIT_STRING* sig = nullptr;
        X509_get0_signature(&sig, nullptr, cert);
        if (sig == nullptr) {
            return kNotDecodable;
        }
        kind = kKindDer;
        out.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(sig)),
                   static_cast<std::size_t>(ASN1_STRING_length(sig)));
        return kOk;
    }
    case 10:
        return NameText(X509_get_issuer_name(cert), out) ? kOk : kInternal;
    case 11:
        kind = kKindDer;
        return EncodeDer(X509_get_issuer_name(cert), i2d_X509_NAME, out) ? kOk : kInternal;
    case 12:
        return NameEntryText(X509_get_issuer_name(cert), NID_commonName, out) ? kOk : kNoSuchItem;
    case 21:
        return TimeText(X509_get0_notBefore(cert), out) ? kOk : kNotDecodable;
    case DECODECERT_ITEM_NOT_AFTER:
        return TimeText(X509_get0_notAfter(cert), out) ? kOk : kNotDecodable;
    case 30:
        return NameText(X509_get_subject_name(cert), out) ? kOk : kInternal;
    case 31:
        kind = kKindDer;
        return EncodeDer(X509_get_subject_name(cert), i2d_X509_NAME, out) ? kOk : kInternal;
    case 32:
        return NameEntryText(X509_get_subject_name(cert), NID_commonName, out) ? kOk : kNoSuchItem;
    case 33:
        return NameEntryText(X509_get_subject_name(cert), NID_organizationName, out) ? kOk : kNoSuchItem;
    case 34:
        return NameEntryText(X509_get_subject_name(cert), NID_organizationalUnitName, out) ? kOk
                                                                                           : kNoSuchItem;
    case 35:
        return NameEntryText(X509_get_subject_name(cert), NID_countryName, out) ? kOk : kNoSuchItem;
    case 38: { // public key algorithm, OpenSSL's long name
        ASN1_OBJECT* obj = nullptr;
        if (X509_PUBKEY_get0_param(&obj, nullptr, nullptr, nullptr, X509_get_X509_PUBKEY(cert)) != 1) {
            return kNotDecodable;
        }
        out = ObjectText(obj, 0);
        return out.empty() ? kNotDecodable : kOk;
    }
    case DECODECERT_ITEM_PUBLIC_KEY:
        kind = kKindDer;
        return EncodeDer(X509_get_X509_PUBKEY(cert), i2d_X509_PUBKEY, out) ? kOk : kInternal;
    case 40:
        kind = kKindDer;
        return EncodeDer(cert, i2d_X509, out) ? kOk : kInternal;
    default:
        return kNoSuchItem;
    }
}

// Copies `bytes` into a caller buffer of `*capacity` bytes. Text gets a terminating zero, which must
// fit as well; the length reported back never counts it. On failure nothing is written.
int CopyOut(const std::string& bytes, bool terminate, unsigned char* buf, int* capacity) {
    std::size_t need = bytes.size() + (terminate ? 1 : 0);
    if (*capacity < 0 || need > static_cast<std::size_t>(*capacity)) {
        return kTooSmall;
    }
    if (!bytes.empty()) {
        std::memcpy(buf, bytes.data(), bytes.size());
    }
    if (terminate) {
        buf[bytes.size()] = 0;
    }
    *capacity = static_cast<int>(bytes.size());
    return kOk;
}

int PemToDerImpl(const char* pem, int pemLength, unsigned char* der, int* derLength) {
    if (pem == nullptr || der == nullptr || derLength == nullptr || pemLength < 0 || *derLength < 0) {
        return kBadArgument;
    }
    ErrorQueueGuard errors;
    BioPtr bio(BIO_new_mem_buf(pem, pemLength));
    if (!bio) {
        return kInternal;
    }
    // The first PEM block of the text; it must be a certificate that OpenSSL can parse.
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    if (PEM_read_bio(bio.get(), &name, &header, &data, &length) != 1) {
        return kNotDecodable;
    }
    int rc = kOk;
    const bool certificateBlock =
        std::strcmp(name, PEM_STRING_X509) == 0 || std::strcmp(name, PEM_STRING_X509_OLD) == 0;
    // An encrypted or annotated block is not a plain certificate.
    const bool plain = header == nullptr || header[0] == '\0';
    if (!certificateBlock || !plain || !ParseCertificate(data, length)) {
        rc = kNotDecodable;
    } else {
        rc = CopyOut(std::string(reinterpret_cast<char*>(data), static_cast<std::size_t>(length)), false, der,
                     derLength);
    }
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(data);
    return rc;
}

int GetCertInfoImpl(int derLength, const unsigned char* der, int item, int* reserved, int* itemLength,
                    unsigned char* itemBuffer) {
    if (der == nullptr || itemLength == nullptr || itemBuffer == nullptr || derLength <= 0 ||
        *itemLength < 0) {
        return kBadArgument;
    }
    ErrorQueueGuard errors;
    X509Ptr cert = ParseCertificate(der, derLength);
    if (!cert) {
        return kNotDecodable;
    }
    std::string out;
    int kind = kKindText;
    int rc = ExtractItem(cert.get(), item, out, kind);
    if (rc != kOk) {
        return rc;
    }
    rc = CopyOut(out, kind == kKindText, itemBuffer, itemLength);
    if (rc == kOk && reserved != nullptr) {
        *reserved = kind;
    }
    return rc;
}

int DerToPemImpl(const unsigned char* item, int itemLength, char* pem, int* pemLength) {
    if (item == nullptr || pem == nullptr || pemLength == nullptr || itemLength <= 0 || *pemLength < 0) {
        return kBadArgument;
    }
    ErrorQueueGuard errors;
    // Only DER that has a PEM form is converted: a public key, or a whole certificate.
    const char* label = nullptr;
    const unsigned char* p = item;
    if (X509_PUBKEY* key = d2i_X509_PUBKEY(nullptr, &p, itemLength)) {
        X509_PUBKEY_free(key);
        if (p == item + itemLength) {
            label = PEM_STRING_PUBLIC;
        }
    }
    if (label == nullptr && ParseCertificate(item, itemLength)) {
        label = PEM_STRING_X509;
    }
    if (label == nullptr) {
        return kNotDecodable;
    }
    // The bytes are written as given, so the text equals what PEM_write_bio_PUBKEY writes for the
    // same key (the card's PublicKey): same label, empty header, 64-column base64.
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio(bio.get(), label, "", item, itemLength) <= 0) {
        return kInternal;
    }
    return CopyOut(BioText(bio.get()), true, reinterpret_cast<unsigned char*>(pem), pemLength);
}

} // namespace

extern "C" {

DECODECERT_EXPORT int PemToDer(const char* pem, int pemLength, unsigned char* der, int* derLength) {
    try {
        return PemToDerImpl(pem, pemLength, der, derLength);
    } catch (...) {
        return kInternal;
    }
}

DECODECERT_EXPORT int GetCertInfo(int derLength, const unsigned char* der, int item, int* reserved,
                                  int* itemLength, unsigned char* itemBuffer) {
    try {
        return GetCertInfoImpl(derLength, der, item, reserved, itemLength, itemBuffer);
    } catch (...) {
        return kInternal;
    }
}

DECODECERT_EXPORT int DerToPem(const unsigned char* item, int itemLength, char* pem, int* pemLength) {
    try {
        return DerToPemImpl(item, itemLength, pem, pemLength);
    } catch (...) {
        return kInternal;
    }
}

} // extern "C"
