#include "renewal/certificate_checks.h"

#include "platform/codepage.h"
#include "platform/fd_io.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace rv {
namespace fs = std::filesystem;

namespace {

// An issuer file is a few certificates; anything larger is not one.
constexpr off_t kMaxIssuerFile = 1 << 20;

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
using Cert = std::unique_ptr<X509, X509Free>;

// The first certificate of a PEM text.
Cert ParsePem(const std::string& pem) {
    if (pem.size() > static_cast<std::size_t>(INT_MAX)) {
        return nullptr;
    }
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())),
                                                  &BIO_free);
    return Cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

std::string Der(X509* cert) {
    unsigned char* out = nullptr;
    int n = i2d_X509(cert, &out);
    std::string der = n > 0 ? std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(n)) : "";
    OPENSSL_free(out);
    return der;
}

Cert FromDer(const std::string& der) {
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    Cert cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    // Trailing bytes mean the file is not one DER certificate.
    return cert && p == reinterpret_cast<const unsigned char*>(der.data()) + der.size() ? std::move(cert)
                                                                                        : nullptr;
}

bool HasCertSuffix(const fs::path& p) {
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == ".pem" || ext == ".crt" || ext == ".cer";
}

// A regular file, whole, without blocking on a FIFO in its place.
bool ReadIssuerFile(const fs::path& file, std::string& bytes, std::string& why) {
    why.clear();
    int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    struct stat st {};
    const bool stated = ::fstat(fd, &st) == 0;
    if (stated && !S_ISREG(st.st_mode)) {
        why = "not a regular file";
    } else if (stated && st.st_size > kMaxIssuerFile) {
        why = "larger than a certificate file can be";
    } else if (!stated || !ReadAll(fd, bytes)) {
        why = std::strerror(errno); // fstat's or read's
    }
    ::close(fd);
    return why.empty();
}

std::string NameText(const X509_NAME* name) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) {
        return "?";
    }
    char* data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    return n > 0 ? std::string(data, static_cast<std::size_t>(n)) : std::string("(empty)");
}

// The first entry of `nid` in a name, UTF-8; "" with `found` false when there is none.
std::string NameEntry(const X509_NAME* name, int nid, bool& found) {
    found = false;
    int at = X509_NAME_get_index_by_NID(name, nid, -1);
    if (at < 0) {
        return {};
    }
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, at));
    unsigned char* utf8 = nullptr;
    int n = ASN1_STRING_to_UTF8(&utf8, data);
    if (n < 0) {
        return {};
    }
    std::string out(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(n));
    OPENSSL_free(utf8);
    found = true;
    return out;
}

bool TimeParts(const ASN1_TIME* t, std::tm& tm) {
    tm = {};
    return t && ASN1_TIME_to_tm(t, &tm) == 1;
}

std::string TimeText(const ASN1_TIME* t) {
    std::tm tm{};
    if (!TimeParts(t, tm)) {
        return "?";
    }
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
}

std::string InstantText(std::time_t at) {
    std::tm tm{};
    gmtime_r(&at, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
}

CertCheck Fault(CertFault fault, std::string detail) {
    return CertCheck{fault, std::move(detail)};
}

// Whether `cert` chains to one of the issuer certificates. The issuers are trust anchors as configured
// (an intermediate will do); only the new certificate's own dates are judged, above, with the skew.
bool VerifiesAgainst(X509* cert, const IssuerCertificates& issuers, std::string& why) {
    std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), &X509_STORE_free);
    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> ctx(X509_STORE_CTX_new(),
                                                                        &X509_STORE_CTX_free);
    if (!store || !ctx) {
        why = "out of memory";
        return false;
    }
    for (const std::string& der : issuers.der) {
        Cert issuer = FromDer(der);
        if (issuer) {
            X509_STORE_add_cert(store.get(), issuer.get());
        }
    }
    if (X509_STORE_CTX_init(ctx.get(), store.get(), cert, nullptr) != 1) {
        why = "cannot set up the verification";
        return false;
    }
    X509_STORE_CTX_set_flags(ctx.get(), X509_V_FLAG_PARTIAL_CHAIN | X509_V_FLAG_NO_CHECK_TIME);
    if (X509_verify_cert(ctx.get()) == 1) {
        return true;
    }
    why = X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get()));
    return false;
}

bool EightDigits(const std::string& s) {
    return s.size() == 8 &&
           std::all_of(s.begin(), s.end(), [](unsigned char c) { return c >= '0' && c <= '9'; });
}

} // namespace

std::vector<fs::path> IssuerFolders() {
    const char* env = std::getenv("RENVORA_ISSUER_DIR");
    return {fs::path(env && *env ? env : kSystemIssuerDir), fs::path(kUserIssuerDir)};
}

IssuerCertificates IssuerCertificates::Load(const std::vector<fs::path>& folders) {
    IssuerCertificates out;
    for (const fs::path& folder : folders) {
        std::error_code ec;
        if (!fs::is_directory(folder, ec)) {
            continue;
        }
        std::vector<fs::path> files;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            if (HasCertSuffix(it->path())) {
                files.push_back(it->path());
            }
        }
        if (ec) {
            out.warnings.push_back("cannot list the issuer folder " + folder.string() + ": " + ec.message());
        }
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files) {
            std::string bytes, why;
            if (!ReadIssuerFile(file, bytes, why)) {
                out.warnings.push_back("issuer certificate " + file.string() + " not read: " + why);
                continue;
            }
            std::size_t before = out.der.size();
            std::unique_ptr<BIO, decltype(&BIO_free)> bio(
                BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())), &BIO_free);
            while (bio) {
                Cert cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
                if (!cert) {
                    break;
                }
                out.der.push_back(Der(cert.get()));
            }
            if (out.der.size() == before) {
                if (Cert cert = FromDer(bytes)) {
                    out.der.push_back(Der(cert.get()));
                } else {
                    out.warnings.push_back("issuer certificate " + file.string() + " holds no certificate");
                }
            }
        }
    }
    return out;
}

CertCheck CheckIssuedCertificate(const std::string& pem, const CardCertReference& reference,
                                 const IssuerCertificates& issuers, std::time_t now) {
    Cert cert = ParsePem(pem);
    if (!cert) {
        return Fault(CertFault::Unreadable, "is no certificate OpenSSL can read");
    }
    const X509_NAME* subject = X509_get_subject_name(cert.get());
    const X509_NAME* issuer = X509_get_issuer_name(cert.get());
    const ASN1_TIME* notBefore = X509_get0_notBefore(cert.get());
    const ASN1_TIME* notAfter = X509_get0_notAfter(cert.get());

    Cert current = reference.cardCertPem.empty() ? nullptr : ParsePem(reference.cardCertPem);
    if (current) {
        if (X509_NAME_cmp(issuer, X509_get_issuer_name(current.get())) != 0) {
            return Fault(CertFault::OtherIssuer, "is issued by " + NameText(issuer) + ", the card's by " +
                                                     NameText(X509_get_issuer_name(current.get())));
        }
        if (X509_NAME_cmp(subject, X509_get_subject_name(current.get())) != 0) {
            return Fault(CertFault::OtherHolder, "names " + NameText(subject) + ", the card's " +
                                                     NameText(X509_get_subject_name(current.get())));
        }
    } else {
        // Without the card's certificate the record's holder fields stand in for its subject, and only a
        // configured issuer certificate can tell who issued it.
        bool hasName = false, hasUnit = false;
        const std::string name = NameEntry(subject, NID_commonName, hasName);
        const std::string unit = NameEntry(subject, NID_organizationName, hasUnit);
        const std::string cardName = cp::GbkToUtf8(reference.applicantName);
        const std::string cardUnit = cp::GbkToUtf8(reference.unitName);
        if (!hasName || name != cardName || (!cardUnit.empty() && (!hasUnit || unit != cardUnit))) {
            return Fault(CertFault::OtherHolder, "names " + NameText(subject) +
                                                     ", the card record CN=" + cardName + ",O=" + cardUnit);
        }
        if (issuers.Empty()) {
            return Fault(CertFault::IssuerUnknown,
                         "is issued by " + NameText(issuer) +
                             ", and neither the card control offers the card's certificate (member CardCert) "
                             "nor is an issuer certificate configured to check that issuer");
        }
    }

    if (X509_cmp_time(notBefore, nullptr) == 0 || X509_cmp_time(notAfter, nullptr) == 0) {
        return Fault(CertFault::Unreadable, "has validity dates OpenSSL cannot read");
    }
    std::time_t latestStart = now + kCertClockSkewSeconds;
    if (X509_cmp_time(notBefore, &latestStart) > 0) {
        return Fault(CertFault::NotYetValid, "is valid only from " + TimeText(notBefore) +
                                                 "; the client's clock reads " + InstantText(now));
    }
    std::time_t at = now;
    if (X509_cmp_time(notAfter, &at) <= 0) {
        return Fault(CertFault::Expired,
                     "ended on " + TimeText(notAfter) + "; the client's clock reads " + InstantText(now));
    }
    if (current) {
        const ASN1_TIME* currentEnd = X509_get0_notAfter(current.get());
        if (ASN1_TIME_compare(notAfter, currentEnd) <= 0) {
            return Fault(CertFault::NotLater, "ends on " + TimeText(notAfter) +
                                                  ", not after the card's certificate, which ends on " +
                                                  TimeText(currentEnd));
        }
    } else {
        std::tm end{};
        char day[16] = "";
        if (TimeParts(notAfter, end)) {
            std::strftime(day, sizeof day, "%Y%m%d", &end);
        }
        if (!EightDigits(reference.validTo) || std::string(day) <= reference.validTo) {
            return Fault(CertFault::NotLater, "ends on " + TimeText(notAfter) +
                                                  ", not after the end date of the card record (" +
                                                  reference.validTo + ")");
        }
    }

    if (!issuers.Empty()) {
        std::string why;
        if (!VerifiesAgainst(cert.get(), issuers, why)) {
            return Fault(CertFault::BadSignature, "(issuer " + NameText(issuer) +
                                                      ") does not verify against the configured issuer "
                                                      "certificates: " +
                                                      why);
        }
    }
    return {};
}

std::string CertRefusedMessage(CertFault fault, bool signing) {
    const std::string which = signing ? "签名证书" : "加密证书";
    std::string reason;
    switch (fault) {
    case CertFault::None:
        return {};
    case CertFault::Unreadable:
        reason = "服务器返回的" + which + "无法读取";
        break;
    case CertFault::OtherIssuer:
        reason = "服务器返回的" + which + "与IC卡中的证书不是同一颁发者";
        break;
    case CertFault::OtherHolder:
        reason = "服务器返回的" + which + "与IC卡中的证书不是同一持卡人";
        break;
    case CertFault::NotYetValid:
        reason = "服务器返回的" + which + "尚未生效，请检查本机时间";
        break;
    case CertFault::Expired:
        reason = "服务器返回的" + which + "已过期";
        break;
    case CertFault::NotLater:
        reason = "服务器返回的" + which + "有效期不晚于IC卡中的证书";
        break;
    case CertFault::BadSignature:
        reason = "服务器返回的" + which + "未通过颁发者证书的验证";
        break;
    case CertFault::IssuerUnknown:
        reason = "无法核对服务器返回的" + which + "的颁发者（未配置颁发者证书）";
        break;
    }
    return "延期失败！\n原因：" + reason + "，IC卡未写入！";
}

} // namespace rv
