// The whole renewal on one machine: a card enrolled with the reference server, the server on a free
// loopback port, and the real client driven offscreen through its real windows by the unattended run.
// Afterwards the card image itself, the success dialog and the server's records must agree.
#include "app/CRenvoraApp.h"
#include "app/unattended.h"
#include "card/dispids.h"
#include "core/ca.h"
#include "core/card_image.h"
#include "core/http_server.h"
#include "core/service.h"
#include "core/sqlite_store.h"
#include "platform/registry.h"
#include "support/qt_app.h"
#include "support/test_ca.h"
#include "support/test_env.h"

#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <cstdlib>
#include <ctime>
#include <sys/stat.h>

namespace rv::test {
namespace {

namespace fs = std::filesystem;

const std::string kServerProgram = RENVORA_BUILD_DIR "/server/renvora-server";
const std::string kPlugin = RENVORA_BUILD_DIR "/softcard/softcard.so";
constexpr int kCertDays = 730;

std::string U(const char8_t* s) {
    return reinterpret_cast<const char*>(s);
}

// Runs a command, returns its exit status.
int Shell(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// "YYYY年MM月DD日" of an eight-digit date, as the success dialog writes it.
std::string ChineseDate(const std::string& yyyymmdd) {
    return yyyymmdd.substr(0, 4) + U(u8"年") + yyyymmdd.substr(4, 2) + U(u8"月") + yyyymmdd.substr(6, 2) +
           U(u8"日");
}

class RenewalEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        QtApp();
        data = dir.path() / "server-data";
        image = dir.path() / "card" / "card.json";
        ASSERT_EQ(Shell("RENVORA_ENROL_PIN=123456 RENVORA_ENROL_MANAGE_PASSWORD=88888888 " + kServerProgram +
                        " enrol --data '" + data.string() + "' --card-image '" + image.string() +
                        "' --days 30 > /dev/null"),
                  0);
        std::string error;
        ca = server::CertificateAuthority::Open(data, error);
        ASSERT_TRUE(ca) << error;
        ASSERT_TRUE(store.Open(data, error)) << error;
        server::ServiceOptions options;
        options.certDays = kCertDays;
        service = std::make_unique<server::RenewalService>(store, *ca, options);
        server::HttpOptions httpOptions;
        httpOptions.log = false;
        http = std::make_unique<server::HttpServer>(*service, httpOptions);
        ASSERT_TRUE(http->Bind(error)) << error;
        http->RunInBackground();

        dir.Write("Config/conf.ini", "realmName=http://127.0.0.1:" + std::to_string(http->Port()) + "\r\n");
        // The server's CA is the issuer the client checks renewed certificates against, as deployed.
        dir.Write("Config/issuers/renewal-ca.pem", ReadAll(data / "ca.crt"));
        dir.Write("drive_c/Windows/time.ini", "MaxDay=180\r\n");
        reg::RegisterControl(dir.classesRoot(), kCardControlClsid, "software card", kPlugin);
        reg::WriteValue(dir.classesRoot(), std::string("CLSID\\") + kCardControlClsid, "CardImage",
                        image.string());
        ASSERT_TRUE(softcard::LoadCardImage(image, before, error)) << error;
    }

    void TearDown() override { http->Stop(); }

    UnattendedResult Run(bool screenshots = true) {
        CRenvoraApp app;
        UnattendedOptions options;
        options.shotsDir = dir.path() / ("shots-" + std::to_string(++runs));
        options.screenshots = screenshots;
        lines.clear();
        options.print = [this](const std::string& line) { lines.push_back(line); };
        return RunUnattended(app, options);
    }

    TempWorkDir dir;
    fs::path data, image;
    std::unique_ptr<server::CertificateAuthority> ca;
    server::SqliteStore store;
    std::unique_ptr<server::RenewalService> service;
    std::unique_ptr<server::HttpServer> http;
    softcard::CardImage before;
    int runs = 0;
    std::vector<std::string> lines; // what the last run printed
};

// Run under umask 000: whatever the client makes on the way (the screenshots with the holder's data, the
// reminder's record of the card) is the user's alone all the same.
TEST_F(RenewalEndToEnd, TheCardGetsANewCertificateFromTheServerOverTheKeyItGenerated) {
    std::time_t start = std::time(nullptr);
    const mode_t oldMask = ::umask(0);
    UnattendedResult r = Run();
    ::umask(oldMask);
    ASSERT_EQ(r.exitCode, 0) << r.failure;
    auto modeOf = [](const fs::path& p) {
        struct stat st {};
        return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
    };
    EXPECT_EQ(modeOf(dir.path() / "shots-1"), 0700u);
    ASSERT_FALSE(r.shots.empty());
    for (const fs::path& shot : r.shots) {
        EXPECT_EQ(modeOf(shot), 0600u) << shot;
    }
    EXPECT_EQ(modeOf(dir.dataDir()), 0700u);
    for (const auto& entry : fs::directory_iterator(dir.dataDir())) {
        EXPECT_EQ(modeOf(entry.path()), 0600u) << entry.path();
    }

    softcard::CardImage after;
    std::string error;
    ASSERT_TRUE(softcard::LoadCardImage(image, after, error)) << error;
    ASSERT_NE(after.signCertPem, before.signCertPem);
    // Over the key the card generated: a new key, the card's current one, and the one in the certificate.
    EXPECT_NE(after.signKeyPem, before.signKeyPem);
    EXPECT_EQ(softcard::PublicKeyPemOfCert(after.signCertPem), softcard::PublicKeyPemOfKey(after.signKeyPem));
    EXPECT_TRUE(after.pendingKeyPem.empty());
    EXPECT_EQ(after.written.signCert, after.signCertPem);
    EXPECT_EQ(after.managePassword, before.managePassword);
    // Issued by the server's CA, verified by OpenSSL.
    server::Cert cert = server::CertFromPem(after.signCertPem);
    ASSERT_TRUE(cert);
    EXPECT_EQ(X509_verify(cert.get(), X509_get0_pubkey(ca->Certificate())), 1);
    EXPECT_EQ(X509_NAME_cmp(X509_get_issuer_name(cert.get()), X509_get_subject_name(ca->Certificate())), 0);
    // Its end date is the one the server set: the validity it grants, counted from the renewal.
    int days = -1, secs = 0;
    ASN1_TIME* t0 = ASN1_TIME_set(nullptr, start);
    ASSERT_EQ(ASN1_TIME_diff(&days, &secs, t0, X509_get0_notAfter(cert.get())), 1);
    ASN1_TIME_free(t0);
    EXPECT_EQ(days, kCertDays);
    std::string from, to;
    ASSERT_TRUE(softcard::CertValidity(after.signCertPem, from, to));

    // The user saw the login, the window message and the success, and the dialog shows the new end date.
    ASSERT_GE(r.messages.size(), 3u);
    EXPECT_EQ(r.messages[0], U(u8"登录成功！"));
    EXPECT_EQ(r.messages[1], U(u8"您的IC卡有效期小于180天，可以进行延期。如需延期请点击“法人卡延期”按钮！"));
    EXPECT_NE(std::find(r.messages.begin(), r.messages.end(), U(u8"延期成功！")), r.messages.end());
    EXPECT_NE(r.successMessage.find(ChineseDate(to.substr(0, 8))), std::string::npos) << r.successMessage;
    EXPECT_EQ(r.endDate, to.substr(0, 8)) << "the end date the client read back through the card control";

    // The server recorded exactly this issue, pending until the card next shows it holds it.
    std::vector<server::IssueRecord> issues = store.Issues();
    ASSERT_EQ(issues.size(), 1u);
    EXPECT_EQ(issues[0].certSeqNo, before.holder.certSeqNo);
    EXPECT_EQ(issues[0].icCode, before.holder.cardNumber);
    EXPECT_EQ(issues[0].certPem, after.signCertPem);
    EXPECT_EQ(issues[0].notAfter, to);
    EXPECT_EQ(store.FindCard(before.holder.certSeqNo)->pending.at(0).certPem, after.signCertPem);

    // A picture of every window it passed: login, main window, notices, success dialog.
    auto has = [&](const char* part) {
        return std::any_of(r.shots.begin(), r.shots.end(), [&](const fs::path& p) {
            return p.filename().string().find(part) != std::string::npos && fs::file_size(p) > 500;
        });
    };
    for (const char* part : {"login", "main-window", "notice", "success-dialog", "message"}) {
        EXPECT_TRUE(has(part)) << part;
    }
}

TEST_F(RenewalEndToEnd, ARenewedCardIsOutsideTheWindowAndCannotBeRenewedAgain) {
    // The first run as the benchmarks make it: no pictures, and the renewal's own duration reported.
    UnattendedResult first = Run(false);
    ASSERT_EQ(first.exitCode, 0) << first.failure;
    EXPECT_TRUE(first.shots.empty());
    EXPECT_FALSE(fs::exists(dir.path() / "shots-1"));
    EXPECT_GT(first.renewalWallMs, 0);
    EXPECT_GT(first.renewalCpuMs, 0);
    EXPECT_LE(first.renewalCpuMs, first.renewalWallMs * 1.5); // one thread's CPU, not the process's
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("[main] the renewal took ", 0) == 0; }),
              1);
    softcard::CardImage renewed;
    std::string error;
    ASSERT_TRUE(softcard::LoadCardImage(image, renewed, error)) << error;
    ASSERT_NE(renewed.signCertPem, before.signCertPem);

    UnattendedResult second = Run();
    EXPECT_NE(second.exitCode, 0);
    EXPECT_FALSE(second.renewalEnabled);
    EXPECT_FALSE(second.renewalPressed);
    EXPECT_NE(
        std::find(second.messages.begin(), second.messages.end(), U(u8"您的IC卡有效期大于180天，无需延期！")),
        second.messages.end());
    EXPECT_EQ(std::find(second.messages.begin(), second.messages.end(), U(u8"延期成功！")),
              second.messages.end());
    softcard::CardImage now;
    ASSERT_TRUE(softcard::LoadCardImage(image, now, error)) << error;
    EXPECT_EQ(now.signCertPem, renewed.signCertPem) << "the second run left the card as the first made it";
    EXPECT_EQ(store.IssueCount(), 1u);
}

// The unattended run checks what it writes as a person's run does: with another issuer configured than
// the one that issued the answer, it refuses, writes nothing and fails. (A suite of its own, so that
// scripts/valgrind-e2e, which runs RenewalEndToEnd.*, keeps its time; the checks themselves run under
// Valgrind in every renewal there.)
class UnattendedChecks : public RenewalEndToEnd {};

TEST_F(UnattendedChecks, AnUnattendedRunWritesNothingTheConfiguredIssuerDoesNotVouchFor) {
    CertFields f;
    f.commonName = "Another Issuer";
    f.publicKeyPem = f.issuerKeyPem = NewPrivateKeyPem("SM2");
    f.notBefore = std::time(nullptr) - 86400;
    f.notAfter = f.notBefore + 3650L * 86400;
    f.ca = true;
    dir.Write("Config/issuers/renewal-ca.pem", IssueCert(f));
    UnattendedResult r = Run(false);
    EXPECT_NE(r.exitCode, 0);
    EXPECT_TRUE(r.renewalPressed);
    EXPECT_NE(std::find(r.messages.begin(), r.messages.end(),
                        U(u8"延期失败！\n原因：服务器返回的签名证书未通过颁发者证书的验证，IC卡未写入！")),
              r.messages.end());
    softcard::CardImage after;
    std::string error;
    ASSERT_TRUE(softcard::LoadCardImage(image, after, error)) << error;
    EXPECT_EQ(after.signCertPem, before.signCertPem);
    EXPECT_EQ(after.managePassword, before.managePassword);
}

TEST_F(RenewalEndToEnd, AWrongPinLeavesTheCardAsItWas) {
    CRenvoraApp app;
    UnattendedOptions options;
    options.shotsDir = dir.path() / "shots-wrong";
    options.pin = "000000";
    options.print = [](const std::string&) {};
    UnattendedResult r = RunUnattended(app, options);
    EXPECT_NE(r.exitCode, 0);
    EXPECT_FALSE(r.renewalPressed);
    softcard::CardImage after;
    std::string error;
    ASSERT_TRUE(softcard::LoadCardImage(image, after, error)) << error;
    EXPECT_EQ(after.signCertPem, before.signCertPem);
    EXPECT_EQ(store.IssueCount(), 0u);
}

} // namespace
} // namespace rv::test
