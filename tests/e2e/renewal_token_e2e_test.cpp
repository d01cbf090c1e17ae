// The whole renewal on a PKCS#11 token: a SoftHSM2 token enrolled by the server's enrolment (key pair
// generated on the token), the server on a free loopback port, the real client driven offscreen with
// the token card plugin. Afterwards the token is looked at with software we did not write: OpenSC's
// pkcs11-tool must find one complete set whose certificates belong to the private keys of the same id,
// and `openssl verify` must accept them against the server's CA.
#include "app/CRenvoraApp.h"
#include "app/unattended.h"
#include "card/dispids.h"
#include "core/ca.h"
#include "core/http_server.h"
#include "core/service.h"
#include "core/sqlite_store.h"
#include "platform/registry.h"
#include "support/qt_app.h"
#include "support/softhsm.h"
#include "support/test_ca.h"
#include "support/test_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

namespace rv::test {
namespace {

namespace fs = std::filesystem;

const std::string kServerProgram = RENVORA_BUILD_DIR "/server/renvora-server";
const std::string kLabel = "renvora-demo";

struct TokenObject {
    std::string kind, label, id;
};

// The objects pkcs11-tool lists on the token (logged in), in its order.
std::vector<TokenObject> ListObjects(const std::string& tool) {
    std::vector<TokenObject> out;
    std::string listing = Shell(tool + " --login --pin 123456 --list-objects");
    std::istringstream in(listing);
    for (std::string line; std::getline(in, line);) {
        const char* kinds[] = {"Certificate Object", "Private Key Object", "Public Key Object",
                               "Data object"};
        auto kind = std::find_if(std::begin(kinds), std::end(kinds),
                                 [&](const char* k) { return line.rfind(k, 0) == 0; });
        if (kind != std::end(kinds)) {
            out.push_back({*kind, "", ""});
        } else if (!out.empty() && line.find("label:") != std::string::npos) {
            out.back().label = line.substr(line.find("label:") + 6);
            out.back().label.erase(0, out.back().label.find_first_not_of(' '));
        } else if (!out.empty() && line.find("ID:") != std::string::npos) {
            out.back().id = line.substr(line.find("ID:") + 3);
            out.back().id.erase(0, out.back().id.find_first_not_of(' '));
        }
    }
    return out;
}

TEST(TokenRenewalEndToEnd, TheRenewedTokenHoldsOneSetThatOpenScAndOpenSslAccept) {
    QtApp();
    TempWorkDir dir;
    SoftHsm hsm(dir.path());
    ASSERT_TRUE(hsm.InitToken(kLabel, "123456"));
    fs::path data = dir.path() / "server-data";
    ASSERT_EQ(RunCommand("RENVORA_ENROL_PIN=123456 RENVORA_ENROL_MANAGE_PASSWORD=88888888 " + kServerProgram +
                         " enrol --data '" + data.string() + "' --token-module " + SoftHsm::ModulePath() +
                         " --token-label " + kLabel + " --days 30 2>&1")
                  .exitCode,
              0);

    std::string error;
    auto ca = server::CertificateAuthority::Open(data, error);
    ASSERT_TRUE(ca) << error;
    server::SqliteStore store;
    ASSERT_TRUE(store.Open(data, error)) << error;
    ASSERT_EQ(store.FindCard("5101202400001234")->card.cryptAlgo, "ECC");
    server::RenewalService service(store, *ca, server::ServiceOptions{});
    server::HttpOptions httpOptions;
    httpOptions.log = false;
    server::HttpServer http(service, httpOptions);
    ASSERT_TRUE(http.Bind(error)) << error;
    http.RunInBackground();

    dir.Write("Config/conf.ini", "realmName=http://127.0.0.1:" + std::to_string(http.Port()) + "\r\n");
    dir.Write("drive_c/Windows/time.ini", "MaxDay=180\r\n");
    reg::RegisterControl(dir.classesRoot(), kCardControlClsid, "token card",
                         RENVORA_BUILD_DIR "/p11card/p11card.so");
    reg::WriteValue(dir.classesRoot(), kCardControlKey, "Pkcs11Module", SoftHsm::ModulePath());
    reg::WriteValue(dir.classesRoot(), kCardControlKey, "TokenLabel", kLabel);

    CRenvoraApp app;
    UnattendedOptions options;
    options.screenshots = false;
    options.print = [](const std::string&) {};
    UnattendedResult r = RunUnattended(app, options);
    http.Stop();
    ASSERT_EQ(r.exitCode, 0) << r.failure << (r.messages.empty() ? "" : ": " + r.messages.back());
    ASSERT_EQ(store.IssueCount(), 1u);

    // One set: the signing and the encryption key with their certificates, the holder record, the
    // service keys and the password hash (kept from the enrolment: unchanged); nothing else of the
    // enrolled set is left.
    const std::string tool = "pkcs11-tool --module " + SoftHsm::ModulePath() + " --token-label " + kLabel;
    std::vector<TokenObject> objects = ListObjects(tool);
    std::map<std::string, int> kinds;
    std::map<std::string, std::set<std::string>> idsOf;
    for (const TokenObject& o : objects) {
        ++kinds[o.kind];
        idsOf[o.kind].insert(o.id);
    }
    EXPECT_EQ(kinds["Certificate Object"], 2);
    EXPECT_EQ(kinds["Private Key Object"], 2);
    EXPECT_EQ(kinds["Public Key Object"], 0);
    EXPECT_EQ(kinds["Data object"], 3);
    EXPECT_EQ(idsOf["Certificate Object"], idsOf["Private Key Object"]);

    // Each certificate is the CA's and belongs to the private key of its id; the signing key proves it.
    std::string caFile = (data / "ca.crt").string();
    fs::path work = dir.path() / "check";
    fs::create_directories(work);
    dir.Write("check/data.bin", "signed by the token");
    int signing = 0;
    for (const TokenObject& o : objects) {
        if (o.kind != "Certificate Object") {
            continue;
        }
        std::string id = o.id, der = (work / (id + ".der")).string(), pem = (work / (id + ".pem")).string(),
                    pub = (work / (id + ".pub")).string(), sig = (work / (id + ".sig")).string();
        Shell(tool + " --read-object --type cert --id " + id + " --output-file " + der);
        Shell("openssl x509 -inform DER -in " + der + " -out " + pem + " && openssl x509 -in " + pem +
              " -pubkey -noout > " + pub);
        EXPECT_EQ(RunCommand("openssl verify -CAfile " + caFile + " " + pem + " 2>&1").output,
                  pem + ": OK\n");
        if (o.label.rfind("renvora sign ", 0) == 0) {
            // SoftHSM2 offers plain ECDSA only: the token signs a SHA-256 digest made here.
            ++signing;
            std::string digest = (work / "digest.bin").string();
            Shell("openssl dgst -sha256 -binary " + (work / "data.bin").string() + " > " + digest);
            Shell(tool + " --login --pin 123456 --sign --id " + id + " -m ECDSA --signature-format openssl" +
                  " --input-file " + digest + " --output-file " + sig);
            EXPECT_EQ(RunCommand("openssl pkeyutl -verify -pubin -inkey " + pub + " -in " + digest +
                                 " -sigfile " + sig + " 2>&1")
                          .output,
                      "Signature Verified Successfully\n");
        }
    }
    EXPECT_EQ(signing, 1);
}

} // namespace
} // namespace rv::test
