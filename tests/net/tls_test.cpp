// https: the server certificate is verified against the system store or the CA file conf.ini names.
// The CA and the server certificates are made here with OpenSSL and thrown away afterwards.
#include "net/CHttpClient.h"
#include "net_fixture.h"
#include "renewal/main_window_model.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

namespace rv::test {
namespace {

struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
    void operator()(X509* c) const { X509_free(c); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

void Check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string("OpenSSL: ") + what);
    }
}

void AddExt(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    Check(ext != nullptr, "extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

Cert MakeCert(EVP_PKEY* key, const char* cn, X509* issuer, EVP_PKEY* issuerKey, long serial, bool ca,
              const char* subjectAltName) {
    Cert cert(X509_new());
    Check(cert != nullptr, "X509_new");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1,
                               0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509_set_pubkey(cert.get(), key);
    X509* signer = issuer ? issuer : cert.get();
    if (ca) {
        AddExt(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExt(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExt(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        AddExt(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        AddExt(cert.get(), signer, NID_subject_alt_name, subjectAltName);
    }
    AddExt(cert.get(), signer, NID_subject_key_identifier, "hash");
    Check(X509_sign(cert.get(), issuer ? issuerKey : key, EVP_sha256()) > 0, "X509_sign");
    return cert;
}

void WritePem(const std::string& path, X509* cert, EVP_PKEY* key) {
    FILE* f = std::fopen(path.c_str(), "wb");
    Check(f != nullptr, "open for PEM");
    bool ok = cert ? PEM_write_X509(f, cert) == 1
                   : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    std::fclose(f);
    Check(ok, "PEM write");
}

// A CA with one server certificate, all as PEM files in `dir`.
struct TestPki {
    std::string caFile, certFile, keyFile;

    TestPki(const std::filesystem::path& dir, const char* subjectAltName) {
        Key caKey(EVP_EC_gen("P-256"));
        Key serverKey(EVP_EC_gen("P-256"));
        Check(caKey && serverKey, "key generation");
        Cert ca = MakeCert(caKey.get(), "Renvora Test CA", nullptr, nullptr, 1, true, nullptr);
        Cert server = MakeCert(serverKey.get(), "127.0.0.1", ca.get(), caKey.get(), 2, false, subjectAltName);
        caFile = (dir / "ca.pem").string();
        certFile = (dir / "server.pem").string();
        keyFile = (dir / "server-key.pem").string();
        WritePem(caFile, ca.get(), nullptr);
        WritePem(certFile, server.get(), nullptr);
        WritePem(keyFile, nullptr, serverKey.get());
    }
};

class Tls : public NetTest {
protected:
    TestPki pki{dir.path(), "IP:127.0.0.1"};
    ScriptedHttpServer server{pki.certFile, pki.keyFile};
};

TEST_F(Tls, TrustedServerAnswersWhenConfIniNamesTheCa) {
    server.Script("/selfIcUpdate/getRandom",
                  ScriptedAnswer::Json(reinterpret_cast<const char*>(u8"{\"msg\":\"安全\"}")));
    WriteConf({"realmName=" + server.BaseUrl(), std::string(kCaFileKey) + "=" + pki.caFile});
    CHttpClient client;
    client.AddParam("data", "secret");
    EXPECT_EQ(client.PostRequest(server.BaseUrl() + "/selfIcUpdate/getRandom"),
              Gbk(u8"{\"msg\":\"安全\"}\r\n"));
    auto reqs = server.Requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].body, std::string("secret\0", 7));
    // Nothing readable went over the wire.
    auto raw = server.RawConnections();
    ASSERT_EQ(raw.size(), 1u);
    EXPECT_EQ(raw[0].find("secret"), std::string::npos);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(Tls, UnknownCaIsATransportFailure) {
    server.SetDefault(ScriptedAnswer::Json("{}"));
    WriteRealm(server.BaseUrl()); // no CA file: the system store, which does not know the test CA
    CHttpClient client;
    EXPECT_EQ(client.PostRequest(server.BaseUrl() + "/x"), "");
    EXPECT_EQ(server.RequestCount(), 0u);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(Tls, MissingCaFileIsATransportFailure) {
    server.SetDefault(ScriptedAnswer::Json("{}"));
    WriteConf({"realmName=" + server.BaseUrl(),
               std::string(kCaFileKey) + "=" + (dir.path() / "nope.pem").string()});
    CHttpClient client;
    EXPECT_EQ(client.PostRequest(server.BaseUrl() + "/x"), "");
    EXPECT_EQ(server.RequestCount(), 0u);
}

TEST_F(Tls, CertificateForAnotherHostIsRefused) {
    std::filesystem::create_directories(dir.path() / "other");
    TestPki otherHost(dir.path() / "other", "DNS:renewal.example");
    ScriptedHttpServer wrongName(otherHost.certFile, otherHost.keyFile);
    wrongName.SetDefault(ScriptedAnswer::Json("{}"));
    WriteConf({"realmName=" + wrongName.BaseUrl(), std::string(kCaFileKey) + "=" + otherHost.caFile});
    CHttpClient client;
    EXPECT_EQ(client.PostRequest(wrongName.BaseUrl() + "/x"), "");
    EXPECT_EQ(wrongName.RequestCount(), 0u);
}

TEST_F(Tls, NetworkTestOverHttps) {
    server.Script("/selfIcUpdate", ScriptedAnswer::Json("{\"code\":\"-2\"}"));
    WriteConf({"realmName=" + server.BaseUrl(), std::string(kCaFileKey) + "=" + pki.caFile});
    CDCertUpdate card;
    FakeView view;
    MainWindowModel model(card, view);
    model.NetworkTest();
    EXPECT_EQ(Boxes(), std::vector<std::string>{reinterpret_cast<const char*>(u8"网络通讯正常！")});
}

} // namespace
} // namespace rv::test
