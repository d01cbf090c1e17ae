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

// A server that answers with a certificate over some other key: the real card regenerates its key pair
// at every repeat, never matches, and the check ends in its limit without writing anything.
TEST_F(SoftcardRenewal, ACertificateForAnotherKeyEndsInTheConsistencyLimit) {
    TestCert foreign = MakeTestCert(dir.path(), "foreign", 365);
    ScriptedHttpServer server;
    server.Script("/selfIcUpdate/getRandom", ScriptedAnswer::Json("{\"code\":\"0\",\"random\":\"R1\"}"));
    server.Script(
        "/selfIcUpdate/verifyInfo",
        ScriptedAnswer::Json(std::string("{\"code\":\"0\",\"opSeqNo\":\"OP1\",\"signDate\":\"20240101\","
                                         "\"managePasswd\":\"") +
                             kManagePassword + "\",\"random\":\"R2\"}"));
    cJSON* answer = cJSON_CreateObject();
    cJSON_AddStringToObject(answer, "code", "0");
    for (const char* key : {"envCertPEM", "envDataPEM", "kmsKeyPEM", "cssSignKeyPEM", "cssEnvKeyPEM"}) {
        cJSON_AddStringToObject(answer, key, "PEM");
    }
    cJSON_AddStringToObject(answer, "signCertPEM", foreign.certPem.c_str());
    cJSON_AddStringToObject(answer, "managePasswd", kManagePassword);
    char* text = cJSON_PrintUnformatted(answer);
    server.Script("/selfIcUpdate/upadteCert", ScriptedAnswer::Json(text));
    cJSON_free(text);
    cJSON_Delete(answer);
    UseServer(server.BaseUrl());
    Login();

    model.RenewalTransaction();
    auto boxes = Boxes();
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.front(), U8(u8"公钥匹配不一致，请插入登录时的IC卡！"));
    EXPECT_EQ(boxes.back(), U8(u8"您已达到最大的比对公钥一致性次数:3次，请去分中心进行处理！"));
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), U8(u8"您确定插入的IC卡是原始的那张IC卡吗？")), 3);
    EXPECT_FALSE(view.renewalEnabled);
    EXPECT_EQ(ImageField(image, "signCert"), oldCert);
}

} // namespace
} // namespace rv::test
