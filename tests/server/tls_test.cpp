// The server over HTTPS: a client that trusts the certificate's CA gets the service's answers; one that
// does not trust it gets no answer at all.
#include "server_fixture.h"

#include <httplib.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <fstream>

namespace rv::test {
namespace {

// A self-signed P-256 certificate for 127.0.0.1, written as cert and key files.
void MakeTlsFiles(const std::filesystem::path& cert, const std::filesystem::path& key) {
    server::Pkey pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    ASSERT_TRUE(pkey);
    server::Cert x(X509_new());
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 7);
    X509_NAME* name = X509_get_subject_name(x.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"),
                               -1, -1, 0);
    X509_set_issuer_name(x.get(), name);
    X509_gmtime_adj(X509_getm_notBefore(x.get()), -60);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), 3600);
    X509_set_pubkey(x.get(), pkey.get());
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, x.get(), x.get(), nullptr, nullptr, 0);
    X509_EXTENSION* san = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, "IP:127.0.0.1");
    X509_add_ext(x.get(), san, -1);
    X509_EXTENSION_free(san);
    ASSERT_GT(X509_sign(x.get(), pkey.get(), EVP_sha256()), 0);
    std::ofstream(cert) << server::CertToPem(x.get());
    std::ofstream(key) << server::PrivateKeyToPem(pkey.get());
}

class TlsTest : public ServerFixture {};

TEST_F(TlsTest, ServesTheProtocolOverHttpsToAClientThatTrustsItsCertificate) {
    std::filesystem::path cert = folder_.path() / "tls.crt", key = folder_.path() / "tls.key";
    MakeTlsFiles(cert, key);
    server::HttpOptions options;
    options.log = false;
    options.certFile = cert.string();
    options.keyFile = key.string();
    // A key its group can read is refused with the reason; its owner's alone, it serves.
    std::filesystem::permissions(key, std::filesystem::perms(0640));
    std::string error;
    EXPECT_FALSE(server::HttpServer(*service_, options).Bind(error));
    EXPECT_NE(error.find(key.string() + " has mode 0640"), std::string::npos) << error;
    std::filesystem::permissions(key, std::filesystem::perms(0600));
    server::HttpServer tls(*service_, options);
    ASSERT_TRUE(tls.Bind(error)) << error;
    EXPECT_TRUE(tls.Tls());
    tls.RunInBackground();

    httplib::SSLClient trusting("127.0.0.1", tls.Port());
    trusting.set_ca_cert_path(cert.c_str());
    trusting.enable_server_certificate_verification(true);
    trusting.set_connection_timeout(5, 0);
    auto res = trusting.Post("/selfIcUpdate", std::string(1, '\0'), "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(server::JsonDoc(res->body).Ok(), true);
    server::PostResult r{true, res->status, res->body};
    EXPECT_EQ(Code(r), "-2");

    httplib::SSLClient stranger("127.0.0.1", tls.Port());
    stranger.enable_server_certificate_verification(true);
    stranger.set_ca_cert_path((folder_.path() / "none.pem").c_str());
    stranger.set_connection_timeout(5, 0);
    EXPECT_FALSE(stranger.Post("/selfIcUpdate", std::string(1, '\0'), "application/x-www-form-urlencoded"));
    tls.Stop();
}

TEST_F(TlsTest, AMissingCertificateIsReportedNotServed) {
    server::HttpOptions options;
    options.log = false;
    options.certFile = (folder_.path() / "missing.crt").string();
    options.keyFile = (folder_.path() / "missing.key").string();
    server::HttpServer tls(*service_, options);
    std::string error;
    EXPECT_FALSE(tls.Bind(error));
    EXPECT_NE(error.find("TLS"), std::string::npos) << error;
}

} // namespace
} // namespace rv::test
