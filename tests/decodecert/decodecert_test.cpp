// decodecert against OpenSSL's own command line: certificates are made by `openssl req` / `openssl ca`
// in a private folder, and what the library extracts is compared with what `openssl x509` prints.
#include "decodecert.h"
#include "support/test_env.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace rv::test {
namespace {

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) {
        s.pop_back();
    }
    return s;
}

// "notAfter=2027-01-06 05:18:50Z" -> "20270106051850".
std::string IsoToCompact(const std::string& line) {
    std::string digits;
    for (char c : line.substr(line.find('=') + 1)) {
        if (c >= '0' && c <= '9') {
            digits += c;
        }
    }
    return digits;
}

struct Decoded {
    int rc = -1;
    std::vector<unsigned char> bytes;
    int reserved = -1;
    std::string Text() const { return std::string(bytes.begin(), bytes.end()); }
};

std::vector<unsigned char> Der(const std::string& pem) {
    std::vector<unsigned char> der(20000);
    int len = static_cast<int>(der.size());
    int rc = PemToDer(pem.c_str(), static_cast<int>(pem.size()), der.data(), &len);
    EXPECT_EQ(rc, 0);
    der.resize(rc == 0 ? static_cast<std::size_t>(len) : 0);
    return der;
}

Decoded Item(const std::vector<unsigned char>& der, int item) {
    Decoded d;
    std::vector<unsigned char> buf(20000);
    int len = static_cast<int>(buf.size());
    d.reserved = 0;
    d.rc = GetCertInfo(static_cast<int>(der.size()), der.data(), item, &d.reserved, &len, buf.data());
    if (d.rc == 0) {
        d.bytes.assign(buf.begin(), buf.begin() + len);
    }
    return d;
}

std::string Pem(const std::vector<unsigned char>& item) {
    std::vector<char> buf(20000, 'x');
    int len = static_cast<int>(buf.size());
    if (DerToPem(item.data(), static_cast<int>(item.size()), buf.data(), &len) != 0) {
        return "<failed>";
    }
    EXPECT_EQ(buf[static_cast<std::size_t>(len)], '\0') << "PEM text must be zero-terminated";
    EXPECT_EQ(std::strlen(buf.data()), static_cast<std::size_t>(len));
    return std::string(buf.data(), static_cast<std::size_t>(len));
}

class DecodeCert : public ::testing::Test {
protected:
    TempWorkDir dir;

    // A self-signed certificate made by `openssl req -x509`; returns its PEM text.
    std::string MakeSelfSigned(const std::string& name, const std::string& keyArgs, int days,
                               const std::string& subject = "/CN=Renvora Test/O=Test Unit") {
        Shell("openssl req -x509 -utf8 " + keyArgs + " -nodes -keyout " + name + ".key -out " + name +
              ".pem -subj '" + subject + "' -days " + std::to_string(days));
        return dir.Read(name + ".pem");
    }
    std::string MakeSm2(const std::string& name, int days) {
        Shell("openssl genpkey -algorithm SM2 -out " + name + ".key");
        Shell("openssl req -x509 -key " + name + ".key -sm3 -subj '/CN=SM2 Holder/O=Test Unit' -days " +
              std::to_string(days) + " -out " + name + ".pem");
        return dir.Read(name + ".pem");
    }
    // A certificate with explicit start and end times through a minimal `openssl ca`.
    std::string MakeWithDates(const std::string& name, const std::string& start, const std::string& end) {
        dir.Write("ca/index.txt", "");
        dir.Write("ca/serial", "1000\n");
        dir.Write("ca.cnf", "[ca]\ndefault_ca=mini\n[mini]\ndir=./ca\ndatabase=./ca/index.txt\n"
                            "new_certs_dir=./ca\nserial=./ca/serial\ndefault_md=sha256\npolicy=any\n"
                            "unique_subject=no\n[any]\ncommonName=supplied\n");
        Shell("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + name +
              ".key -subj /CN=Dated -out " + name + ".csr");
        Shell("openssl ca -batch -config ca.cnf -selfsign -keyfile " + name + ".key -in " + name +
              ".csr -startdate " + start + " -enddate " + end + " -notext -out " + name + ".pem");
        return dir.Read(name + ".pem");
    }
    std::string X509Out(const std::string& name, const std::string& args) {
        return Shell("openssl x509 -in " + name + ".pem " + args);
    }

    // End date and public key as OpenSSL prints them equal what the library extracts.
    void ExpectMatchesOpenSsl(const std::string& name, const std::string& pem) {
        auto der = Der(pem);
        ASSERT_FALSE(der.empty());
        Decoded end = Item(der, DECODECERT_ITEM_NOT_AFTER);
        ASSERT_EQ(end.rc, 0);
        EXPECT_EQ(end.Text(), IsoToCompact(X509Out(name, "-noout -enddate -dateopt iso_8601")));
        EXPECT_EQ(end.reserved, 1) << "the end date is text";

        Decoded key = Item(der, DECODECERT_ITEM_PUBLIC_KEY);
        ASSERT_EQ(key.rc, 0);
        EXPECT_EQ(key.reserved, 0) << "the public key is DER";
        EXPECT_EQ(Pem(key.bytes), X509Out(name, "-noout -pubkey"));
    }
};

TEST_F(DecodeCert, EndDateAndPublicKeyMatchOpenSslForRsaEcAndSm2) {
    ExpectMatchesOpenSsl("rsa", MakeSelfSigned("rsa", "-newkey rsa:2048", 30));
    ExpectMatchesOpenSsl("ec", MakeSelfSigned("ec", "-newkey ec -pkeyopt ec_paramgen_curve:P-256", 400));
    ExpectMatchesOpenSsl("sm2", MakeSm2("sm2", 365));
}

TEST_F(DecodeCert, PublicKeyPemEqualsTheKeyFilesOwnPublicKey) {
    // What the card returns as PublicKey is OpenSSL's PUBKEY PEM of the key itself.
    std::string pem = MakeSm2("card", 30);
    std::string fromKey = Shell("openssl pkey -in card.key -pubout");
    EXPECT_EQ(Pem(Item(Der(pem), DECODECERT_ITEM_PUBLIC_KEY).bytes), fromKey);
}

TEST_F(DecodeCert, DatesHaveFourDigitYearsForUtcTimeAndGeneralizedTime) {
    // UTCTime in the last century, UTCTime in this one, and GeneralizedTime from 2050 on.
    std::string old = MakeWithDates("old", "700101000000Z", "991231235959Z");
    std::string late = MakeWithDates("late", "20300101000000Z", "20400229120000Z");
    std::string gen = MakeWithDates("gen", "20491231235959Z", "20500101000001Z");
    struct Case {
        std::string pem, notBefore, notAfter;
    } cases[] = {{old, "19700101000000", "19991231235959"},
                 {late, "20300101000000", "20400229120000"},
                 {gen, "20491231235959", "20500101000001"}};
    for (const auto& c : cases) {
        auto der = Der(c.pem);
        EXPECT_EQ(Item(der, 21).Text(), c.notBefore);
        EXPECT_EQ(Item(der, DECODECERT_ITEM_NOT_AFTER).Text(), c.notAfter);
    }
    // A long validity made by req -x509 ends far out in GeneralizedTime.
    ExpectMatchesOpenSsl("far", MakeSelfSigned("far", "-newkey ec -pkeyopt ec_paramgen_curve:P-256", 40000));
}

TEST_F(DecodeCert, OtherItemsMatchOpenSslsView) {
    std::string pem = MakeSelfSigned("c", "-newkey rsa:2048", 30,
                                     reinterpret_cast<const char*>(u8"/CN=张三/O=测试单位/OU=IT/C=CN"));
    auto der = Der(pem);
    EXPECT_EQ(Item(der, 1).Text(), "3");
    EXPECT_EQ("serial=" + Item(der, 2).Text(), Trim(X509Out("c", "-noout -serial")));
    EXPECT_EQ(Item(der, 3).Text(), "sha256WithRSAEncryption");
    EXPECT_EQ(Item(der, 4).Text(), "1.2.840.113549.1.1.11");
    EXPECT_EQ(Item(der, 21).Text(), IsoToCompact(X509Out("c", "-noout -startdate -dateopt iso_8601")));
    EXPECT_EQ(Item(der, 32).Text(), reinterpret_cast<const char*>(u8"张三"));
    EXPECT_EQ(Item(der, 33).Text(), reinterpret_cast<const char*>(u8"测试单位"));
    EXPECT_EQ(Item(der, 34).Text(), "IT");
    EXPECT_EQ(Item(der, 35).Text(), "CN");
    EXPECT_EQ(Item(der, 12).Text(), reinterpret_cast<const char*>(u8"张三")) << "self-signed: issuer CN";
    EXPECT_EQ("subject=" + Item(der, 30).Text(),
              Trim(X509Out("c", "-noout -subject -nameopt RFC2253,-esc_msb")));
    EXPECT_EQ("issuer=" + Item(der, 10).Text(),
              Trim(X509Out("c", "-noout -issuer -nameopt RFC2253,-esc_msb")));
    EXPECT_EQ(Item(der, 38).Text(), "rsaEncryption");
    // The whole certificate: DER as OpenSSL writes it, and back to the same PEM.
    Decoded whole = Item(der, 40);
    ASSERT_EQ(whole.rc, 0);
    EXPECT_EQ(whole.Text(), Shell("openssl x509 -in c.pem -outform DER"));
    EXPECT_EQ(Pem(whole.bytes), X509Out("c", ""));
    // Text items are zero-terminated inside the caller's buffer too.
    std::vector<unsigned char> buf(64, 0xAB);
    int len = 64;
    ASSERT_EQ(GetCertInfo(static_cast<int>(der.size()), der.data(), 22, nullptr, &len, buf.data()), 0);
    EXPECT_EQ(len, 14);
    EXPECT_EQ(buf[14], 0);
}

TEST_F(DecodeCert, UnknownItemsAndItemsWithoutAPemFormFail) {
    auto der = Der(MakeSelfSigned("c", "-newkey ec -pkeyopt ec_paramgen_curve:P-256", 30, "/CN=OnlyCn"));
    for (int item : {0, -1, 6, 23, 99, 1 << 30}) {
        EXPECT_NE(Item(der, item).rc, 0) << item;
    }
    EXPECT_NE(Item(der, 33).rc, 0) << "no organisation in this subject";
    // A name is DER but no PEM block exists for it; text is not DER at all.
    EXPECT_EQ(Pem(Item(der, 31).bytes), "<failed>");
    EXPECT_EQ(Pem(Item(der, 22).bytes), "<failed>");
}

// Calls each function with every capacity from 0 up to the size it needs, in buffers allocated at
// exactly that size, so a write past the capacity is an AddressSanitizer error (and a changed guard
// byte in plain builds).
TEST_F(DecodeCert, EveryCapacityTooSmallFailsWithoutWritingPastIt) {
    std::string pem = MakeSm2("c", 30);
    auto der = Der(pem);
    Decoded key = Item(der, DECODECERT_ITEM_PUBLIC_KEY);
    std::string keyPem = Pem(key.bytes);
    ASSERT_FALSE(der.empty());

    auto withCapacity = [](int capacity, auto call) {
        std::vector<unsigned char> buf(static_cast<std::size_t>(capacity) + 1, 0xA5);
        int len = capacity;
        int rc = call(buf.data(), &len);
        EXPECT_EQ(buf.back(), 0xA5) << "wrote past capacity " << capacity;
        return std::make_pair(rc, len);
    };
    const int derSize = static_cast<int>(der.size());
    for (int cap = 0; cap <= derSize; ++cap) {
        auto [rc, len] = withCapacity(cap, [&](unsigned char* b, int* l) {
            return PemToDer(pem.c_str(), static_cast<int>(pem.size()), b, l);
        });
        EXPECT_EQ(rc == 0, cap == derSize) << cap;
        if (rc == 0) {
            EXPECT_EQ(len, derSize);
        }
    }
    const int keySize = static_cast<int>(key.bytes.size());
    for (int cap = 0; cap <= keySize; ++cap) {
        auto [rc, len] = withCapacity(cap, [&](unsigned char* b, int* l) {
            return GetCertInfo(derSize, der.data(), DECODECERT_ITEM_PUBLIC_KEY, nullptr, l, b);
        });
        EXPECT_EQ(rc == 0, cap == keySize) << cap;
    }
    for (int cap = 0; cap <= 15; ++cap) { // 14 characters and the terminating zero
        auto [rc, len] = withCapacity(cap, [&](unsigned char* b, int* l) {
            return GetCertInfo(derSize, der.data(), DECODECERT_ITEM_NOT_AFTER, nullptr, l, b);
        });
        EXPECT_EQ(rc == 0, cap == 15) << cap;
    }
    const int pemNeed = static_cast<int>(keyPem.size()) + 1;
    for (int cap = 0; cap <= pemNeed; ++cap) {
        auto [rc, len] = withCapacity(cap, [&](unsigned char* b, int* l) {
            return DerToPem(key.bytes.data(), keySize, reinterpret_cast<char*>(b), l);
        });
        EXPECT_EQ(rc == 0, cap == pemNeed) << cap;
    }
}

TEST_F(DecodeCert, ACertificateOverFiveThousandBytesDoesNotFitTheClientsBuffer) {
    std::string names = "subjectAltName=DNS:a0.example";
    for (int i = 1; i < 400; ++i) {
        names += ",DNS:a" + std::to_string(i) + ".example";
    }
    std::string pem =
        MakeSelfSigned("big", "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -addext '" + names + "'", 30);
    ASSERT_GT(Der(pem).size(), 5000u);
    std::vector<unsigned char> buf(5000);
    int len = 5000;
    EXPECT_NE(PemToDer(pem.c_str(), static_cast<int>(pem.size()), buf.data(), &len), 0);
    EXPECT_EQ(len, 5000) << "the length stays untouched on failure";
}

TEST_F(DecodeCert, PemThatIsNoCertificateIsRefused) {
    std::string cert = MakeSelfSigned("c", "-newkey ec -pkeyopt ec_paramgen_curve:P-256", 30);
    std::string pubkey = Shell("openssl pkey -in c.key -pubout");
    auto refused = [](const std::string& text) {
        std::vector<unsigned char> buf(5000);
        int len = 5000;
        return PemToDer(text.data(), static_cast<int>(text.size()), buf.data(), &len) != 0;
    };
    EXPECT_TRUE(refused(""));
    EXPECT_TRUE(refused("hello"));
    EXPECT_TRUE(refused(pubkey)) << "a PUBLIC KEY block is not a certificate";
    EXPECT_TRUE(refused(Shell("openssl pkey -in c.key"))) << "nor is a private key";
    EXPECT_TRUE(refused("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n"));
    EXPECT_TRUE(refused("-----BEGIN CERTIFICATE-----\n!!!!\n-----END CERTIFICATE-----\n"));
    // Truncated anywhere before the end line is complete.
    for (std::size_t cut = 0; cut < cert.rfind("-----"); cut += 7) {
        EXPECT_TRUE(refused(cert.substr(0, cut))) << cut;
    }
    // A certificate whose content was cut but whose armour is intact.
    std::string inner = cert;
    inner.erase(inner.find('\n') + 1, 65);
    EXPECT_TRUE(refused(inner));
    // The length given is honoured: the same text with a length one short is refused.
    std::vector<unsigned char> buf(5000);
    int len = 5000;
    EXPECT_NE(PemToDer(cert.data(), static_cast<int>(cert.size()) - 30, buf.data(), &len), 0);
    // Text before the block (as `openssl x509 -text` writes) does not matter.
    len = 5000;
    std::string annotated = X509Out("c", "-text");
    EXPECT_EQ(PemToDer(annotated.data(), static_cast<int>(annotated.size()), buf.data(), &len), 0);
}

TEST_F(DecodeCert, BadArgumentsFailInsteadOfCrashing) {
    std::string pem = MakeSelfSigned("c", "-newkey ec -pkeyopt ec_paramgen_curve:P-256", 30);
    auto der = Der(pem);
    unsigned char buf[64];
    int len = 64;
    int negative = -1;
    EXPECT_NE(PemToDer(nullptr, 10, buf, &len), 0);
    EXPECT_NE(PemToDer(pem.c_str(), -5, buf, &len), 0);
    EXPECT_NE(PemToDer(pem.c_str(), static_cast<int>(pem.size()), nullptr, &len), 0);
    EXPECT_NE(PemToDer(pem.c_str(), static_cast<int>(pem.size()), buf, nullptr), 0);
    EXPECT_NE(PemToDer(pem.c_str(), static_cast<int>(pem.size()), buf, &negative), 0);
    EXPECT_NE(GetCertInfo(0, der.data(), 22, nullptr, &len, buf), 0);
    EXPECT_NE(GetCertInfo(-3, der.data(), 22, nullptr, &len, buf), 0);
    EXPECT_NE(GetCertInfo(static_cast<int>(der.size()), nullptr, 22, nullptr, &len, buf), 0);
    EXPECT_NE(GetCertInfo(static_cast<int>(der.size()), der.data(), 22, nullptr, nullptr, buf), 0);
    EXPECT_NE(GetCertInfo(static_cast<int>(der.size()), der.data(), 22, nullptr, &negative, buf), 0);
    EXPECT_NE(DerToPem(nullptr, 5, reinterpret_cast<char*>(buf), &len), 0);
    EXPECT_NE(DerToPem(der.data(), 0, reinterpret_cast<char*>(buf), &len), 0);
    EXPECT_NE(DerToPem(der.data(), static_cast<int>(der.size()), nullptr, &len), 0);
}

TEST_F(DecodeCert, DamagedDerNeverCrashesAndIsRefused) {
    auto der = Der(MakeSm2("c", 30));
    ASSERT_FALSE(der.empty());
    std::vector<unsigned char> out(5000);
    auto info = [&](const std::vector<unsigned char>& bytes, int item) {
        int len = 5000;
        // Exactly sized copy: reading past the given length is an ASan error.
        auto copy = std::make_unique<unsigned char[]>(bytes.size());
        std::memcpy(copy.get(), bytes.data(), bytes.size());
        return GetCertInfo(static_cast<int>(bytes.size()), copy.get(), item, nullptr, &len, out.data());
    };
    // Every truncation is refused.
    for (std::size_t n = 1; n < der.size(); ++n) {
        EXPECT_NE(info(std::vector<unsigned char>(der.begin(), der.begin() + n), 22), 0) << n;
    }
    // Trailing bytes make it no longer one certificate.
    auto longer = der;
    longer.push_back(0);
    EXPECT_NE(info(longer, 22), 0);
    // Random byte changes: any result is allowed except a crash or an overflow.
    std::mt19937 rng(12345);
    for (int round = 0; round < 2000; ++round) {
        auto bad = der;
        int flips = 1 + static_cast<int>(rng() % 4);
        for (int f = 0; f < flips; ++f) {
            bad[rng() % bad.size()] = static_cast<unsigned char>(rng());
        }
        for (int item : {1, 2, 10, 22, 30, 39}) {
            info(bad, item);
        }
        int len = 5000;
        std::vector<char> pemOut(5000);
        DerToPem(bad.data(), static_cast<int>(bad.size()), pemOut.data(), &len);
    }
    // Pure noise.
    for (int round = 0; round < 500; ++round) {
        std::vector<unsigned char> noise(1 + rng() % 300);
        for (auto& b : noise) {
            b = static_cast<unsigned char>(rng());
        }
        EXPECT_NE(info(noise, 22), 0);
        std::string text(noise.begin(), noise.end());
        text = "-----BEGIN CERTIFICATE-----\n" + text + "\n-----END CERTIFICATE-----\n";
        int len = 5000;
        EXPECT_NE(PemToDer(text.data(), static_cast<int>(text.size()), out.data(), &len), 0);
    }
}

} // namespace
} // namespace rv::test
