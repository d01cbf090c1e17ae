// The enrolment command: one card image and one server record for the same card, with a certificate
// from the server's CA that ends when asked; refusals leave nothing behind.
#include "core/ca.h"
#include "core/card_image.h"
#include "core/sqlite_store.h"
#include "support/softhsm.h"
#include "support/test_env.h"

#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <cstdlib>
#include <ctime>

namespace rv::test {
namespace {

namespace fs = std::filesystem;

const std::string kServerProgram = RENVORA_BUILD_DIR "/server/renvora-server";

// `shell` comes before the program: environment settings or a pipe into it.
int Enrol(const std::string& args, const std::string& shell = "") {
    int status = std::system((shell + kServerProgram + " enrol " + args + " > /dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class EnrolCommand : public ::testing::Test {
protected:
    std::string Args(const std::string& extra = "") const {
        return "--data '" + data.string() + "' --card-image '" + image.string() + "' " + extra;
    }
    TempWorkDir dir;
    fs::path data = dir.path() / "data";
    fs::path image = dir.path() / "card.json";
};

TEST_F(EnrolCommand, MakesACardAndItsServerRecordWithACaCertificateEndingInNDays) {
    std::time_t start = std::time(nullptr);
    // The secrets never travel on the command line: the PIN from standard input, the password from a
    // file.
    dir.Write("mp.txt", "MP1\n");
    fs::permissions(dir.path() / "mp.txt", fs::perms::owner_read | fs::perms::owner_write); // a secret
    ASSERT_EQ(Enrol(Args("--pin-file - --manage-password-file '" + (dir.path() / "mp.txt").string() +
                         "' --days 45 --cert-seq-no SEQ9 --name " +
                         std::string(reinterpret_cast<const char*>(u8"王芳"))),
                    "printf '654321\\n' | "),
              0);
    // Nobody but the server's user can read its folder; every file in it was created private.
    EXPECT_EQ(fs::status(data).permissions() & fs::perms::all, fs::perms::owner_all);
    for (const auto& entry : fs::directory_iterator(data)) {
        EXPECT_EQ(entry.status().permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write)
            << entry.path();
    }
    softcard::CardImage card;
    std::string error;
    ASSERT_TRUE(softcard::LoadCardImage(image, card, error)) << error;
    EXPECT_TRUE(softcard::PinMatches(card, "654321"));
    EXPECT_FALSE(softcard::PinMatches(card, "123456"));
    EXPECT_EQ(card.managePassword, "MP1");
    EXPECT_EQ(card.holder.certSeqNo, "SEQ9");
    EXPECT_EQ(card.holder.applicantName, reinterpret_cast<const char*>(u8"王芳"));
    EXPECT_EQ(softcard::PublicKeyPemOfCert(card.signCertPem), softcard::PublicKeyPemOfKey(card.signKeyPem));

    std::unique_ptr<server::CertificateAuthority> ca = server::CertificateAuthority::Open(data, error);
    ASSERT_TRUE(ca) << error;
    server::Cert cert = server::CertFromPem(card.signCertPem);
    ASSERT_TRUE(cert);
    EXPECT_EQ(X509_verify(cert.get(), X509_get0_pubkey(ca->Certificate())), 1);
    int days = -1, secs = 0;
    ASN1_TIME* t0 = ASN1_TIME_set(nullptr, start);
    ASSERT_EQ(ASN1_TIME_diff(&days, &secs, t0, X509_get0_notAfter(cert.get())), 1);
    ASN1_TIME_free(t0);
    EXPECT_EQ(days, 45);

    server::SqliteStore store;
    ASSERT_TRUE(store.Open(data, error)) << error;
    std::optional<server::CardState> state = store.FindCard("SEQ9");
    ASSERT_TRUE(state);
    const server::CardRecord* record = &state->card;
    EXPECT_EQ(record->certPem, card.signCertPem);
    EXPECT_EQ(record->legalPerson, card.holder.applicantName);
    EXPECT_EQ(record->icCode, card.holder.cardNumber);
    EXPECT_EQ(record->entName, card.holder.unitName);
    EXPECT_EQ(record->unitType, card.holder.unitCode);
    EXPECT_EQ(record->raCode, card.holder.raCode);
    EXPECT_EQ(record->managePassword, "MP1");
    EXPECT_EQ(record->cryptAlgo, card.cryptAlgo);
}

TEST_F(EnrolCommand, DemoHolderDataAreChineseAndSurviveGbk) {
    ASSERT_EQ(Enrol(Args()), 0);
    softcard::CardImage card;
    std::string error;
    ASSERT_TRUE(softcard::LoadCardImage(image, card, error)) << error;
    for (const std::string* field :
         {&card.holder.applicantName, &card.holder.unitName, &card.holder.idType}) {
        EXPECT_FALSE(field->empty());
        EXPECT_EQ(Utf8(cp::Utf8ToGbk(*field)), *field);
        EXPECT_GT(static_cast<unsigned char>((*field)[0]), 0x7F) << *field; // Chinese
    }
    EXPECT_EQ(card.holder.cardType, softcard::kLegalPersonCardType);
}

TEST_F(EnrolCommand, RefusesToOverwriteAndRefusesUnusableHolderData) {
    ASSERT_EQ(Enrol(Args()), 0);
    std::string first = dir.Read("card.json");
    EXPECT_NE(Enrol(Args()), 0); // the image exists
    EXPECT_EQ(dir.Read("card.json"), first);
    fs::remove(image);
    EXPECT_NE(Enrol(Args()), 0); // the server knows the card already
    EXPECT_FALSE(fs::exists(image));
    EXPECT_EQ(Enrol(Args("--replace")), 0); // unless asked to replace

    fs::path other = dir.path() / "other.json";
    for (const std::string& bad :
         {std::string("--name 'a|b'"), std::string("--unit-name ''"), std::string("--days 99999"),
          std::string("--name '\xF0\x9F\x98\x80'"), std::string("--manage-password-file /nonexistent"),
          std::string("--pin 123456")}) {
        EXPECT_NE(Enrol("--data '" + data.string() + "' --card-image '" + other.string() +
                        "' --cert-seq-no X1 " + bad),
                  0)
            << bad;
        EXPECT_FALSE(fs::exists(other)) << bad;
    }
    EXPECT_NE(Enrol("--data '" + data.string() + "' --card-image '" + other.string() + "' --cert-seq-no X1",
                    "RENVORA_ENROL_PIN= "),
              0);
    EXPECT_FALSE(fs::exists(other));
}

// The token target: a token that already holds a card is not overwritten without --replace, a token
// that is not there or a wrong PIN enrols nothing, and a refused enrolment leaves no server record.
TEST_F(EnrolCommand, OntoATokenRefusesToOverwriteAndLeavesNothingHalfMade) {
    SoftHsm hsm(dir.path());
    ASSERT_TRUE(hsm.InitToken("enrol-test", "123456"));
    const std::string token = "--data '" + data.string() + "' --token-module " + SoftHsm::ModulePath();
    auto onToken = [&](const std::string& pin, const std::string& more) {
        return Enrol(token + " " + more, "RENVORA_ENROL_PIN=" + pin + " ");
    };
    ASSERT_EQ(onToken("123456", "--token-label enrol-test --cert-seq-no T1"), 0);
    std::string first = hsm.Snapshot(false); // the objects; logins change the token's own try flags
    EXPECT_NE(onToken("000000", "--token-label enrol-test --cert-seq-no T4 --replace"), 0);
    EXPECT_NE(onToken("123456", "--token-label enrol-test --cert-seq-no T2"), 0); // holds a card
    EXPECT_NE(onToken("123456", "--token-label nowhere --cert-seq-no T3"), 0);
    EXPECT_NE(onToken("000000", "--token-label enrol-test --cert-seq-no T4 --replace"), 0);
    EXPECT_NE(onToken("123456", "--token-label enrol-test --cert-seq-no T5 --crypt-algo DSA --replace"), 0);
    EXPECT_TRUE(hsm.Snapshot(false) == first) << "a refused enrolment changed the token";
    server::SqliteStore store;
    std::string error;
    ASSERT_TRUE(store.Open(data, error)) << error;
    EXPECT_TRUE(store.FindCard("T1"));
    for (const char* refused : {"T2", "T3", "T4", "T5"}) {
        EXPECT_FALSE(store.FindCard(refused)) << refused;
    }
    // Asked to, it replaces the card on the token.
    EXPECT_EQ(onToken("123456", "--token-label enrol-test --cert-seq-no T6 --crypt-algo RSA --replace"), 0);
}

} // namespace
} // namespace rv::test
