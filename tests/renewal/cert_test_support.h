// Shared pieces of the renewal tests: keys and certificates made by the openssl command line (not by our
// code), so the client is compared against OpenSSL's own view, and UTF-8 texts for message lists.
#pragma once

#include "support/test_ca.h"
#include "support/test_env.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

namespace rv::test {

// A UTF-8 literal (u8"...") as std::string, to compare with ScriptedMessageBox::TextsUtf8().
inline std::string U8(const char8_t* s) {
    return reinterpret_cast<const char*>(s);
}
// A list of such texts.
inline std::vector<std::string> U8s(std::initializer_list<std::string> texts) {
    return std::vector<std::string>(texts);
}

struct TestCert {
    std::string keyPem;       // private key
    std::string publicKeyPem; // `openssl pkey -pubout`: what a card returns as PublicKey
    std::string certPem;      // self-signed certificate over the key
    std::string endDate;      // YYYYMMDD of notAfter as `openssl x509 -enddate` prints it
};

// An SM2 key (as the software card makes) or, with keyArgs, any `openssl req -newkey` key, and a
// self-signed certificate valid for `days`, made in `dir`.
inline TestCert MakeTestCert(const std::filesystem::path& dir, const std::string& name, int days,
                             const std::string& keyArgs = "") {
    const std::string base = "cd '" + dir.string() + "' && ";
    if (keyArgs.empty()) {
        Shell(base + "openssl genpkey -algorithm SM2 -out " + name + ".key");
        Shell(base + "openssl req -x509 -key " + name + ".key -sm3 -subj '/CN=" + name +
              "/O=Test Unit' -days " + std::to_string(days) + " -out " + name + ".pem");
    } else {
        Shell(base + "openssl req -x509 " + keyArgs + " -nodes -keyout " + name + ".key -subj '/CN=" + name +
              "' -days " + std::to_string(days) + " -out " + name + ".pem");
    }
    TestCert c;
    c.keyPem = Shell(base + "cat " + name + ".key");
    c.publicKeyPem = Shell(base + "openssl pkey -in " + name + ".key -pubout");
    c.certPem = Shell(base + "cat " + name + ".pem");
    std::string line = Shell(base + "openssl x509 -in " + name + ".pem -noout -enddate -dateopt iso_8601");
    for (char ch : line) {
        if (ch >= '0' && ch <= '9' && c.endDate.size() < 8) {
            c.endDate += ch;
        }
    }
    return c;
}

// A card holder's certificate as an issuer makes it: a fresh SM2 key, the subject C=CN, O=`unit`,
// CN=`name`, signed by the CA of `caCertPem` / `caKeyPem`, valid from yesterday for `days` days.
inline TestCert MakeIssuedCert(const std::filesystem::path& dir, const std::string& name,
                               const std::string& caCertPem, const std::string& caKeyPem,
                               const std::string& holder, const std::string& unit, int days) {
    const std::string base = "cd '" + dir.string() + "' && ";
    Shell(base + "openssl genpkey -algorithm SM2 -out " + name + ".key");
    TestCert c;
    c.keyPem = Shell(base + "cat " + name + ".key");
    c.publicKeyPem = Shell(base + "openssl pkey -in " + name + ".key -pubout");
    CertFields f;
    f.commonName = holder;
    f.organization = unit;
    f.publicKeyPem = c.keyPem;
    f.issuerCertPem = caCertPem;
    f.issuerKeyPem = caKeyPem;
    f.notBefore = std::time(nullptr) - 86400;
    f.notAfter = f.notBefore + static_cast<std::time_t>(days) * 86400;
    c.certPem = IssueCert(f);
    std::tm tm{};
    gmtime_r(&f.notAfter, &tm);
    char day[16];
    std::strftime(day, sizeof day, "%Y%m%d", &tm);
    c.endDate = day;
    return c;
}

// A CA key and its self-signed certificate, as an issuer's.
struct TestIssuer {
    std::string keyPem;
    std::string certPem;
};
inline TestIssuer MakeTestIssuer(const std::string& name) {
    TestIssuer ca;
    ca.keyPem = NewPrivateKeyPem("SM2");
    CertFields f;
    f.commonName = name;
    f.publicKeyPem = ca.keyPem;
    f.issuerKeyPem = ca.keyPem;
    f.notBefore = std::time(nullptr) - 86400;
    f.notAfter = f.notBefore + 3650L * 86400;
    f.ca = true;
    ca.certPem = IssueCert(f);
    return ca;
}

} // namespace rv::test
