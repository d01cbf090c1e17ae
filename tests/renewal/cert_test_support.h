// Shared pieces of the renewal tests: keys and certificates made by the openssl command line (not by our
// code), so the client is compared against OpenSSL's own view, and UTF-8 texts for message lists.
#pragma once

#include "support/test_env.h"

#include <gtest/gtest.h>

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

} // namespace rv::test
