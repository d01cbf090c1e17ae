// The certificate field reader over the real decodecert library, checked against what the openssl
// command line says about the same certificates.
#include "cert_test_support.h"
#include "renewal/cert_field_reader.h"
#include "support/test_env.h"

#include <gtest/gtest.h>

namespace rv::test {
namespace {

class CertFieldReader : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        certs_ = new TempWorkDir;
        sm2_ = MakeTestCert(certs_->path(), "sm2", 30);
        rsa_ = MakeTestCert(certs_->path(), "rsa", 400, "-newkey rsa:2048");
        // Over 5000 bytes of DER through a long list of alternative names.
        std::string names = "subjectAltName=DNS:n0.example";
        for (int i = 1; i < 400; ++i) {
            names += ",DNS:n" + std::to_string(i) + ".example";
        }
        big_ = MakeTestCert(certs_->path(), "big", 30,
                            "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -addext '" + names + "'");
        // About 4 KB of DER: fits the reader's DER buffer, but its PEM form (item 40) does not.
        names = "subjectAltName=DNS:m0.example";
        for (int i = 1; i < 270; ++i) {
            names += ",DNS:m" + std::to_string(i) + ".example";
        }
        large_ = MakeTestCert(certs_->path(), "large", 30,
                              "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -addext '" + names + "'");
    }
    static void TearDownTestSuite() {
        delete certs_;
        certs_ = nullptr;
    }

    CoreFixture core;
    static inline TempWorkDir* certs_ = nullptr;
    static inline TestCert sm2_, rsa_, big_, large_;
};

TEST_F(CertFieldReader, PublicKeyIsTheKeysOwnPemText) {
    EXPECT_EQ(ReadCertificateField(sm2_.certPem, kCertItemPublicKey), sm2_.publicKeyPem);
    EXPECT_EQ(ReadCertificateField(rsa_.certPem, kCertItemPublicKey), rsa_.publicKeyPem);
    EXPECT_TRUE(core.boxes.Entries().empty());
}

TEST_F(CertFieldReader, EndDateIsCutToEightCharactersWithoutPemConversion) {
    // Item 22 is text, not DER: had it gone through DerToPem, that would have failed with a message.
    EXPECT_EQ(ReadCertificateField(sm2_.certPem, kCertItemNotAfter), sm2_.endDate);
    EXPECT_EQ(ReadCertificateField(rsa_.certPem, kCertItemNotAfter), rsa_.endDate);
    EXPECT_EQ(sm2_.endDate.size(), 8u);
    EXPECT_TRUE(core.boxes.Entries().empty());
}

TEST_F(CertFieldReader, OtherItemsAlwaysGoThroughPemConversion) {
    // The start date is text as well, but only item 22 is taken as text: 21 fails in DerToPem.
    EXPECT_EQ(ReadCertificateField(sm2_.certPem, 21), "");
    EXPECT_EQ(core.boxes.TextsUtf8(), U8s({U8(u8"DER转PEM失败！")}));
}

TEST_F(CertFieldReader, TextThatIsNoCertificateFailsAtTheFirstStep) {
    for (const std::string& text : {std::string(), std::string("garbage"), sm2_.publicKeyPem, sm2_.keyPem,
                                    sm2_.certPem.substr(0, sm2_.certPem.size() / 2)}) {
        core.boxes.Clear();
        EXPECT_EQ(ReadCertificateField(text, kCertItemPublicKey), "");
        EXPECT_EQ(core.boxes.TextsUtf8(), U8s({U8(u8"PEM转DER失败！")}));
    }
}

TEST_F(CertFieldReader, ACertificateLargerThanTheDerBufferFailsAtTheFirstStep) {
    EXPECT_EQ(ReadCertificateField(big_.certPem, kCertItemNotAfter), "");
    EXPECT_EQ(core.boxes.TextsUtf8(), U8s({U8(u8"PEM转DER失败！")}));
}

TEST_F(CertFieldReader, AnItemTheLibraryCannotGiveFailsAtTheSecondStep) {
    EXPECT_EQ(ReadCertificateField(sm2_.certPem, 99), "");
    EXPECT_EQ(ReadCertificateField(sm2_.certPem, -1), "");
    EXPECT_EQ(core.boxes.TextsUtf8(), U8s({U8(u8"读取证书信息失败！"), U8(u8"读取证书信息失败！")}));
}

TEST_F(CertFieldReader, APemTextLargerThanThePemBufferFailsAtTheThirdStep) {
    // The whole certificate (item 40) is DER that fits 5000 bytes; its PEM text does not.
    EXPECT_EQ(ReadCertificateField(large_.certPem, kCertItemPublicKey), large_.publicKeyPem);
    EXPECT_EQ(ReadCertificateField(large_.certPem, 40), "");
    EXPECT_EQ(core.boxes.TextsUtf8(), U8s({U8(u8"DER转PEM失败！")}));
}

} // namespace
} // namespace rv::test
