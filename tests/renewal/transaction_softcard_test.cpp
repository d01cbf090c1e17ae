// The renewal transaction over the real software card plugin and the real reference server program:
// what the card image holds afterwards, and card faults injected through the card's fault file.
#include "card/CDCertUpdate.h"
#include "card/dispids.h"
#include "cert_test_support.h"
#include "platform/registry.h"
#include "support/scripted_http_server.h"
#include "support/test_env.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace rv::test {
namespace {

namespace fs = std::filesystem;

const std::string kServerProgram = RENVORA_BUILD_DIR "/server/renvora-server";
const std::string kCardTool = RENVORA_BUILD_DIR "/softcard/renvora-softcard";
const std::string kCardPlugin = RENVORA_BUILD_DIR "/softcard/softcard.so";
const char* const kPin = "123456";
const char* const kManagePassword = "MP-0";

// The reference server as a child process on a free loopback port; stopped (and reaped) on destruction.
class ServerProcess {
public:
    explicit ServerProcess(const fs::path& dataDir) {
        int fds[2];
        if (::pipe(fds) != 0) {
            ADD_FAILURE() << "pipe";
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::close(fds[0]);
            ::close(fds[1]);
            std::freopen((dataDir.parent_path() / "server.log").c_str(), "a", stderr);
            ::execl(kServerProgram.c_str(), "renvora-server", "serve", "--listen", "127.0.0.1", "--port", "0",
                    "--data", dataDir.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        // "listening on http://127.0.0.1:PORT", within ten seconds.
        std::string line;
        pollfd p{fds[0], POLLIN, 0};
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            if (::poll(&p, 1, 200) > 0) {
                char buf[256];
                ssize_t n = ::read(fds[0], buf, sizeof buf);
                if (n <= 0) {
                    break;
                }
                line.append(buf, static_cast<std::size_t>(n));
            }
        }
        ::close(fds[0]);
        auto at = line.find("http://");
        if (at != std::string::npos) {
            url_ = line.substr(at, line.find('\n', at) - at);
        }
        EXPECT_FALSE(url_.empty()) << "server did not start: " << line;
    }
    ~ServerProcess() {
        if (pid_ <= 0) {
            return;
        }
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 50; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    const std::string& Url() const { return url_; }

private:
    pid_t pid_ = -1;
    std::string url_;
};

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// One string of the card image's top level.
std::string ImageField(const fs::path& image, const char* key) {
    std::string text = ReadFile(image);
    cJSON* root = cJSON_Parse(text.c_str());
    const cJSON* item = root ? cJSON_GetObjectItemCaseSensitive(root, key) : nullptr;
    std::string out = item && cJSON_IsString(item) ? item->valuestring : "<missing>";
    cJSON_Delete(root);
    return out;
}

class SoftcardRenewal : public ::testing::Test {
protected:
    void SetUp() override {
        // A card enrolled with the reference server, its certificate ending in 30 days.
        Shell(std::string("RENVORA_ENROL_PIN=") + kPin + " RENVORA_ENROL_MANAGE_PASSWORD=" + kManagePassword +
              " " + kServerProgram + " enrol --data '" + data.string() + "' --card-image '" + image.string() +
              "' --days 30");
        ASSERT_TRUE(fs::exists(image));
        reg::RegisterControl(dir.classesRoot(), kCardControlClsid, "software card", kCardPlugin);
        ASSERT_TRUE(card.Create(kCardControlClsid));
        dir.Write("drive_c/Windows/time.ini", "MaxDay=180\r\n");
        oldCert = ImageField(image, "signCert");
    }

    // The server's own account of a failed test.
    void TearDown() override {
        if (HasFailure() && fs::exists(dir.path() / "server.log")) {
            std::fprintf(stderr, "--- server log ---\n%s\n", ReadFile(dir.path() / "server.log").c_str());
        }
    }

    void UseServer(const std::string& url) { dir.Write("Config/conf.ini", "realmName=" + url + "\r\n"); }

    // What the login flow does before the button is enabled: open, PIN, read the card.
    void Login() {
        card.OpenCard();
        card.SetPassword(kPin);
        card.VerifyPassword();
        ASSERT_EQ(card.GetStatus(), 0) << Utf8(card.GetErrorMessage());
        ASSERT_EQ(model.ReadCardInfo(), 0);
        view.renewalEnabled = true;
    }
    void Fault(const std::string& args) { Shell(kCardTool + " fault '" + image.string() + "' " + args); }
    std::vector<std::string> Boxes() const { return core.boxes.TextsUtf8(); }
    // End date and public key of a certificate PEM, as openssl prints them.
    std::string CertOut(const std::string& pem, const std::string& args) {
        dir.Write("probe.pem", pem);
        return Shell("openssl x509 -in '" + (dir.path() / "probe.pem").string() + "' -noout " + args);
    }

    TempWorkDir dir;
    CoreFixture core;
    NoProxyEnv noProxy;
    fs::path data = dir.path() / "server-data";
    fs::path image = dir.path() / "card.json";
    ScopedEnv inserted{"RENVORA_CARD_IMAGE", image.c_str()};
    CDCertUpdate card;
    FakeView view;
    MainWindowModel model{card, view};
    std::string oldCert;
};

TEST_F(SoftcardRenewal, ARenewalPutsTheNewCertificateOnTheCard) {
    ServerProcess server(data);
    UseServer(server.Url());
    Login();
    const std::string oldEnd = model.data.validTo;
    model.RenewalTransaction();

    EXPECT_EQ(Boxes(), U8s({U8(u8"延期成功！")}));
    EXPECT_EQ(view.successDialogs, 1);
    EXPECT_FALSE(view.renewalEnabled);
    EXPECT_EQ(view.notices, (std::vector<int>{159, 162, 160, 156}));

    // The card's current certificate is a new one over the card's current key; nothing is pending.
    const std::string newCert = ImageField(image, "signCert");
    EXPECT_NE(newCert, oldCert);
    EXPECT_EQ(ImageField(image, "pendingKey"), "");
    dir.Write("key.pem", ImageField(image, "signKey"));
    EXPECT_EQ(CertOut(newCert, "-pubkey"),
              Shell("openssl pkey -in '" + (dir.path() / "key.pem").string() + "' -pubout"));
    EXPECT_EQ(ImageField(image, "managePassword"), model.data.managePasswd);
    // The main window holds the end date now on the card: the new certificate's.
    std::string end = CertOut(newCert, "-enddate -dateopt iso_8601");
    std::string digits;
    for (char c : end) {
        if (c >= '0' && c <= '9' && digits.size() < 8) {
            digits += c;
        }
    }
    EXPECT_EQ(model.data.validTo, digits);
    EXPECT_GT(model.data.validTo, oldEnd);
}

TEST_F(SoftcardRenewal, CardFaultsBeforeTheRequestLeaveTheCardAsItWas) {
    ServerProcess server(data);
    UseServer(server.Url());
    Login();
    const std::string before = ImageField(image, "signCert");

    Fault("--fail SignData --count 1 --message '" + U8(u8"签名设备故障") + "'");
    model.RenewalTransaction();
    EXPECT_EQ(Boxes(), U8s({U8(u8"签名设备故障\n签名失败,请重试！")}));
    EXPECT_TRUE(view.renewalEnabled);

    core.boxes.Clear();
    Fault("--fail Signature --count 1 --message '" + U8(u8"读签名失败") + "'");
    model.RenewalTransaction();
    EXPECT_EQ(Boxes(), U8s({U8(u8"读签名失败\n获取签名结果失败，请重试！")}));
    EXPECT_TRUE(view.renewalEnabled);

    core.boxes.Clear();
    Fault("--fail InitUpdate --count 1 --message '" + U8(u8"密钥生成失败") + "'");
    model.RenewalTransaction();
    EXPECT_EQ(Boxes(), U8s({U8(u8"密钥生成失败\n初始化IC卡失败！")}));
    EXPECT_TRUE(view.renewalEnabled);
    EXPECT_EQ(ImageField(image, "signCert"), before);

    // The faults are used up: the next press renews.
    core.boxes.Clear();
    model.RenewalTransaction();
    EXPECT_EQ(Boxes(), U8s({U8(u8"延期成功！")}));
    EXPECT_NE(ImageField(image, "signCert"), before);
}

TEST_F(SoftcardRenewal, FailedWritesAreRetriedUntilTheCardTakesThem) {
    ServerProcess server(data);
    UseServer(server.Url());
    Login();
    Fault("--fail WriteCard --count 2 --message '" + U8(u8"写卡超时") + "'");
    model.RenewalTransaction();
    const std::string failed = U8(u8"写卡超时\n写IC卡失败，请确认IC卡已经插好！");
    const std::string ask = U8(u8"您确定已经调整好IC卡了吗？");
    auto retry = [](int n) {
        return U8(u8"您正在尝试第") + std::to_string(n) +
               U8(u8"次重新写IC卡，如果多次写IC卡失败请到分中心进行处理！");
    };
    EXPECT_EQ(Boxes(), U8s({failed, ask, retry(1), failed, ask, retry(2), U8(u8"延期成功！")}));
    EXPECT_NE(ImageField(image, "signCert"), oldCert);
}

TEST_F(SoftcardRenewal, AWriteThatNeverSucceedsLeavesTheOldCertificate) {
    ServerProcess server(data);
    UseServer(server.Url());
    Login();
    Fault("--fail WriteCard --count -1 --message '" + U8(u8"写卡超时") + "'");
    model.RenewalTransaction();
    ASSERT_FALSE(Boxes().empty());
    EXPECT_EQ(Boxes().back(), U8(u8"您已达到最大重新写IC卡次数:3次，请去分中心进行处理！"));
    EXPECT_FALSE(view.renewalEnabled);
    // Nothing half-written: the old certificate and key are current, the new pair still pending.
    EXPECT_EQ(ImageField(image, "signCert"), oldCert);
    EXPECT_NE(ImageField(image, "pendingKey"), "");
    EXPECT_EQ(ImageField(image, "managePassword"), kManagePassword);
}

// ---- A server that answers with certificates the card must not take ----

enum class Forgery {
    None,
    OtherIssuer,
    OtherHolder,
    Expired,
    NotYetValid,
    NotLater,
    BrokenSignature,
    WrongKey
};

struct RogueCase {
    const char* name;
    Forgery forgery;
    bool encryption;       // the forgery is in the encryption certificate, not the signing one
    bool issuerConfigured; // the server's CA lies in Config/issuers
    bool controlHasCardCert;
    const char8_t* message; // what the user is told; nullptr: the renewal goes through
    const char8_t* logged;  // on stderr (UTF-8): which check failed
};

void PrintTo(const RogueCase& c, std::ostream* os) {
    *os << c.name;
}

// The card control without its member CardCert, as a control of another maker may be. Made with new;
// released by its owner like any control.
class WithoutCardCert {
public:
    static RvDispatch* Wrap(RvDispatch* inner) { return (new WithoutCardCert(inner))->Dispatch(); }

private:
    explicit WithoutCardCert(RvDispatch* inner) : inner_(inner) {
        self_.vtbl = &kVtbl;
        self_.owner = this;
    }
    RvDispatch* Dispatch() { return &self_; }

    struct Self : RvDispatch {
        WithoutCardCert* owner;
    };
    static RvDispatch* In(RvDispatch* d) { return static_cast<Self*>(d)->owner->inner_; }
    static int Invoke(RvDispatch* d, int id) { return In(d)->vtbl->Invoke(In(d), id); }
    static int GetInt(RvDispatch* d, int id, int32_t* v) { return In(d)->vtbl->GetInt(In(d), id, v); }
    static int GetString(RvDispatch* d, int id, const char** data, size_t* len) {
        return id == dispid::CardCert ? RV_DISP_UNKNOWN_MEMBER : In(d)->vtbl->GetString(In(d), id, data, len);
    }
    static int SetString(RvDispatch* d, int id, const char* data, size_t len) {
        return In(d)->vtbl->SetString(In(d), id, data, len);
    }
    static void Release(RvDispatch* d) {
        In(d)->vtbl->Release(In(d));
        delete static_cast<Self*>(d)->owner;
    }
    static inline const RvDispatchVtbl kVtbl = {&Invoke, &GetInt, &GetString, &SetString, &Release};

    Self self_;
    RvDispatch* inner_;
};

std::time_t NotAfter(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    std::tm tm{};
    if (!cert || ASN1_TIME_to_tm(X509_get0_notAfter(cert), &tm) != 1) {
        X509_free(cert);
        throw std::runtime_error("unreadable certificate");
    }
    X509_free(cert);
    return timegm(&tm);
}

std::string JsonText(const cJSON* root) {
    char* text = cJSON_PrintUnformatted(root);
    std::string out = text ? text : "";
    cJSON_free(text);
    return out;
}

class RogueServer : public SoftcardRenewal, public ::testing::WithParamInterface<RogueCase> {
protected:
    // The server's answer with one certificate made again as a rogue server (or anyone between an
    // http:// server and the client) would make it.
    std::string Forge(const std::string& answer, const RogueCase& c) {
        imageWhenAnswered = ReadFile(image);
        cJSON* root = cJSON_Parse(answer.c_str());
        const char* key = c.encryption ? "envCertPEM" : "signCertPEM";
        const cJSON* item = root ? cJSON_GetObjectItemCaseSensitive(root, key) : nullptr;
        if (!item || !cJSON_IsString(item) || c.forgery == Forgery::None) {
            cJSON_Delete(root);
            return answer;
        }
        const std::string genuine = item->valuestring;
        const std::time_t now = std::time(nullptr);
        CertFields f;
        f.subjectOf = genuine;
        f.publicKeyPem = genuine;
        f.issuerCertPem = ReadFile(data / "ca.crt");
        f.issuerKeyPem = ReadFile(data / "ca.key");
        f.notBefore = now - 60;
        f.notAfter = now + 730L * 86400;
        switch (c.forgery) {
        case Forgery::OtherIssuer: {
            TestIssuer rogue = MakeTestIssuer("Rogue Issuer");
            f.issuerCertPem = rogue.certPem;
            f.issuerKeyPem = rogue.keyPem;
            break;
        }
        case Forgery::OtherHolder:
            f.subjectOf.clear();
            f.commonName = U8(u8"王五");
            f.organization = U8(u8"另一家公司");
            break;
        case Forgery::Expired:
            f.notBefore = now - 800L * 86400;
            f.notAfter = now - 86400;
            break;
        case Forgery::NotYetValid:
            f.notBefore = now + 86400;
            f.notAfter = now + 800L * 86400;
            break;
        case Forgery::NotLater:
            f.notAfter = NotAfter(oldCert);
            break;
        case Forgery::WrongKey:
            f.publicKeyPem = NewPrivateKeyPem("SM2");
            break;
        case Forgery::None:
        case Forgery::BrokenSignature:
            break;
        }
        std::string forged = IssueCert(f);
        if (c.forgery == Forgery::BrokenSignature) {
            forged = BreakSignature(forged);
        }
        cJSON_ReplaceItemInObjectCaseSensitive(root, key, cJSON_CreateString(forged.c_str()));
        std::string out = JsonText(root);
        cJSON_Delete(root);
        return out;
    }

    // The card image without the key pair its key-pair step leaves pending: what the consistency check's
    // repeats change.
    std::string WithoutPendingKey(const std::string& imageText) {
        cJSON* root = cJSON_Parse(imageText.c_str());
        cJSON_DeleteItemFromObjectCaseSensitive(root, "pendingKey");
        std::string out = JsonText(root);
        cJSON_Delete(root);
        return out;
    }

    std::string imageWhenAnswered;
};

// Whatever is wrong with a certificate the server sends, the card is not written (not a certificate,
// not a key, not the management password: the card image is byte for byte what it was when the answer
// came), the user reads why, the button is back, and stderr names the check that failed.
TEST_P(RogueServer, NothingReachesTheCardUnlessBothCertificatesAreTheCardHoldersOwn) {
    const RogueCase& c = GetParam();
    ServerProcess real(data);
    const int realPort = std::stoi(real.Url().substr(real.Url().rfind(':') + 1));
    ScriptedHttpServer rogue;
    rogue.Script("/selfIcUpdate/getRandom", ScriptedAnswer::Forward(realPort));
    rogue.Script("/selfIcUpdate/verifyInfo", ScriptedAnswer::Forward(realPort));
    rogue.Script("/selfIcUpdate/upadteCert",
                 ScriptedAnswer::Rewrite(realPort, [this, c](const std::string& a) { return Forge(a, c); }));
    UseServer(rogue.BaseUrl());
    if (c.issuerConfigured) {
        dir.Write("Config/issuers/issuer.pem", ReadFile(data / "ca.crt"));
    }
    if (!c.controlHasCardCert) {
        card.Attach(WithoutCardCert::Wrap(CreateControlByClsid(kCardControlClsid)));
    }
    Login();

    testing::internal::CaptureStderr();
    model.RenewalTransaction();
    const std::string logged = testing::internal::GetCapturedStderr();
    ASSERT_FALSE(imageWhenAnswered.empty()) << "the renewal never reached the server";

    if (c.forgery == Forgery::WrongKey) {
        // As for a card swapped in the reader: the key pair is made again, never matches, and the check
        // ends in its limit; only the pending key pair changed.
        const auto boxes = Boxes();
        ASSERT_FALSE(boxes.empty());
        EXPECT_EQ(boxes.front(), U8(u8"公钥匹配不一致，请插入登录时的IC卡！"));
        EXPECT_EQ(boxes.back(), U8(u8"您已达到最大的比对公钥一致性次数:3次，请去分中心进行处理！"));
        EXPECT_EQ(std::count(boxes.begin(), boxes.end(), U8(u8"您确定插入的IC卡是原始的那张IC卡吗？")), 3);
        EXPECT_FALSE(view.renewalEnabled);
        EXPECT_EQ(WithoutPendingKey(ReadFile(image)), WithoutPendingKey(imageWhenAnswered));
    } else if (c.message == nullptr) {
        EXPECT_EQ(Boxes(), U8s({U8(u8"延期成功！")})) << logged;
        EXPECT_NE(ImageField(image, "signCert"), oldCert);
    } else {
        EXPECT_EQ(Boxes(), U8s({U8(c.message)}));
        EXPECT_TRUE(view.renewalEnabled);
        EXPECT_EQ(ReadFile(image), imageWhenAnswered);
        EXPECT_EQ(ImageField(image, "signCert"), oldCert);
        EXPECT_EQ(view.notices, (std::vector<int>{159, 162, 160})) << "no write was started";
    }
    if (*c.logged != u8'\0') {
        EXPECT_NE(logged.find(U8(c.logged)), std::string::npos) << logged;
    }
}

constexpr bool kSigning = false, kEncryption = true;
constexpr bool kConfigured = true, kNotConfigured = false;
constexpr bool kOffered = true, kNotOffered = false;
const RogueCase kRogueCases[] = {
    {"SigningFromAnotherIssuer", Forgery::OtherIssuer, kSigning, kConfigured, kOffered,
     u8"延期失败！\n原因：服务器返回的签名证书与IC卡中的证书不是同一颁发者，IC卡未写入！",
     u8"the signing certificate from the server is issued by CN=Rogue Issuer"},
    {"SigningForAnotherHolder", Forgery::OtherHolder, kSigning, kConfigured, kOffered,
     u8"延期失败！\n原因：服务器返回的签名证书与IC卡中的证书不是同一持卡人，IC卡未写入！",
     u8"the signing certificate from the server names CN=王五"},
    {"SigningExpired", Forgery::Expired, kSigning, kConfigured, kOffered,
     u8"延期失败！\n原因：服务器返回的签名证书已过期，IC卡未写入！",
     u8"the signing certificate from the server ended on"},
    {"SigningNotYetValid", Forgery::NotYetValid, kSigning, kConfigured, kOffered,
     u8"延期失败！\n原因：服务器返回的签名证书尚未生效，请检查本机时间，IC卡未写入！",
     u8"the signing certificate from the server is valid only from"},
    {"SigningEndingNoLater", Forgery::NotLater, kSigning, kConfigured, kOffered,
     u8"延期失败！\n原因：服务器返回的签名证书有效期不晚于IC卡中的证书，IC卡未写入！",
     u8"not after the card's certificate"},
    {"SigningWithABrokenSignature", Forgery::BrokenSignature, kSigning, kConfigured, kOffered,
     u8"延期失败！\n原因：服务器返回的签名证书未通过颁发者证书的验证，IC卡未写入！",
     u8"does not verify against the configured issuer certificates"},
    {"SigningOverAnotherKey", Forgery::WrongKey, kSigning, kConfigured, kOffered, nullptr, u8""},
    {"EncryptionFromAnotherIssuer", Forgery::OtherIssuer, kEncryption, kConfigured, kOffered,
     u8"延期失败！\n原因：服务器返回的加密证书与IC卡中的证书不是同一颁发者，IC卡未写入！",
     u8"the encryption certificate from the server is issued by CN=Rogue Issuer"},
    {"EncryptionForAnotherHolder", Forgery::OtherHolder, kEncryption, kConfigured, kOffered,
     u8"延期失败！\n原因：服务器返回的加密证书与IC卡中的证书不是同一持卡人，IC卡未写入！",
     u8"the encryption certificate from the server names"},
    {"EncryptionExpired", Forgery::Expired, kEncryption, kConfigured, kOffered,
     u8"延期失败！\n原因：服务器返回的加密证书已过期，IC卡未写入！",
     u8"the encryption certificate from the server ended on"},
    {"EncryptionNotYetValid", Forgery::NotYetValid, kEncryption, kConfigured, kOffered,
     u8"延期失败！\n原因：服务器返回的加密证书尚未生效，请检查本机时间，IC卡未写入！",
     u8"is valid only from"},
    {"EncryptionEndingNoLater", Forgery::NotLater, kEncryption, kConfigured, kOffered,
     u8"延期失败！\n原因：服务器返回的加密证书有效期不晚于IC卡中的证书，IC卡未写入！",
     u8"not after the card's certificate"},
    {"EncryptionWithABrokenSignature", Forgery::BrokenSignature, kEncryption, kConfigured, kOffered,
     u8"延期失败！\n原因：服务器返回的加密证书未通过颁发者证书的验证，IC卡未写入！",
     u8"does not verify against the configured issuer certificates"},
    // Without an issuer certificate the card's own certificate still tells issuer and holder.
    {"NoIssuerConfiguredAnotherIssuer", Forgery::OtherIssuer, kSigning, kNotConfigured, kOffered,
     u8"延期失败！\n原因：服务器返回的签名证书与IC卡中的证书不是同一颁发者，IC卡未写入！",
     u8"is issued by CN=Rogue Issuer"},
    {"NoIssuerConfiguredGenuine", Forgery::None, kSigning, kNotConfigured, kOffered, nullptr, u8""},
    // A control that does not offer the card's certificate: the record's holder and end date, and the
    // configured issuer, stand in; with no issuer configured nothing can vouch for the issuer.
    {"ControlWithoutCardCertGenuine", Forgery::None, kSigning, kConfigured, kNotOffered, nullptr,
     u8"the card control offers no card certificate"},
    {"ControlWithoutCardCertAnotherHolder", Forgery::OtherHolder, kSigning, kConfigured, kNotOffered,
     u8"延期失败！\n原因：服务器返回的签名证书与IC卡中的证书不是同一持卡人，IC卡未写入！",
     u8"the card record CN="},
    {"ControlWithoutCardCertAnotherIssuer", Forgery::OtherIssuer, kSigning, kConfigured, kNotOffered,
     u8"延期失败！\n原因：服务器返回的签名证书未通过颁发者证书的验证，IC卡未写入！",
     u8"does not verify against the configured issuer certificates"},
    {"ControlWithoutCardCertNoIssuerConfigured", Forgery::None, kSigning, kNotConfigured, kNotOffered,
     u8"延期失败！\n原因：无法核对服务器返回的签名证书的颁发者（未配置颁发者证书），IC卡未写入！",
     u8"nor is an issuer certificate configured"},
};

INSTANTIATE_TEST_SUITE_P(Certificates, RogueServer, ::testing::ValuesIn(kRogueCases),
                         [](const ::testing::TestParamInfo<RogueCase>& info) { return info.param.name; });

} // namespace
} // namespace rv::test
