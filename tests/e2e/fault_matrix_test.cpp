// The fault matrix: every step of a renewal meets every fault that can strike it, over real loopback HTTP
// and the real software card with its fault file. Each cell checks the exact messages, the renewal
// button, that no notice window is left open, that the client still answers a further command, and that
// the card holds either its old set untouched or the complete new set, never a mix.
//
// Server faults come from the scripted server (healthy canned answers before the faulty path); card faults
// and writes run against the reference server in this process, so the certificates are real.
#include "card/CDCertUpdate.h"
#include "card/dispids.h"
#include "core/ca.h"
#include "core/card_image.h"
#include "core/faults.h"
#include "core/http_server.h"
#include "core/protocol_client.h"
#include "core/service.h"
#include "core/sqlite_store.h"
#include "net/CHttpClient.h"
#include "platform/registry.h"
#include "support/scripted_http_server.h"
#include "support/test_env.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace rv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kServerProgram = RENVORA_BUILD_DIR "/server/renvora-server";
const std::string kCardTool = RENVORA_BUILD_DIR "/softcard/renvora-softcard";
const std::string kPlugin = RENVORA_BUILD_DIR "/softcard/softcard.so";
const char* const kPin = "123456";
const char* const kManagePassword = "MP-7";

std::string U(const char8_t* s) {
    return reinterpret_cast<const char*>(s);
}

int Shell(const std::string& command) {
    int status = std::system((command + " > /dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Messages, UTF-8.
const std::string kHint =
    U(u8"请点击菜单“网络测试”查看是否可以访问服务器\n以及本机网络是否正常,再尝试延期！");
const std::string kVerifyFailed = U(u8"验证用户信息失败，请重试！");
const std::string kCannotConnect = U(u8"网络连接超时，请重试或更换网络环境重试！");
const std::string kTransportEmpty = U(u8"网络通讯异常！\n\n请重试！");
const std::string kTransportMinusOne = U(u8"网络通讯异常！\n-1\n请重试！");
const std::string kNoCode = U(u8"网络通讯异常，请重试！\n code不存在！");
const std::string kCardChanged = U(u8"IC卡已被更换，请重新打开IC卡！");
const std::string kNotOpen = U(u8"IC卡未打开，请先打开IC卡！");
const std::string kCardFault = U(u8"读卡器故障");
const std::string kWriteFailed = U(u8"\n写IC卡失败，请确认IC卡已经插好！");
const std::string kAskAdjusted = U(u8"您确定已经调整好IC卡了吗？");
const std::string kSuccess = U(u8"延期成功！");
const std::string kNetworkOk = U(u8"网络通讯正常！");

std::string Retry(int n) {
    return U(u8"您正在尝试第") + std::to_string(n) +
           U(u8"次重新写IC卡，如果多次写IC卡失败请到分中心进行处理！");
}

// Which step a fault strikes and what it is.
enum class Step {
    Random,
    Verification,
    Signing,
    SignatureRead,
    KeyPair,
    RenewalRequest,
    CertificateCheck,
    Write
};
enum class Fault {
    ServerDown,
    Timeout,
    Status4xx,
    Status5xx,
    Malformed,
    MissingKey,
    CardRemoved,
    CardError,
    SwappedCard,
    WriteFailure,
    ForeignKey
};
// What the card must hold afterwards.
enum class Outcome { Untouched, NewSet };

struct Cell {
    const char* name;
    Step step;
    Fault fault;
    std::vector<std::string> messages;
    bool buttonEnabled;
    Outcome card;
};

// Cells print as their names in test output.
void PrintTo(const Cell& cell, std::ostream* os) {
    *os << cell.name;
}

const char* PathOf(Step step) {
    switch (step) {
    case Step::Random:
        return "/selfIcUpdate/getRandom";
    case Step::Verification:
        return "/selfIcUpdate/verifyInfo";
    default:
        return "/selfIcUpdate/upadteCert";
    }
}

bool IsServerStep(Step step) {
    return step == Step::Random || step == Step::Verification || step == Step::RenewalRequest ||
           step == Step::CertificateCheck;
}

// The notice window shown right before the card call of a step: where a card is pulled or swapped.
int NoticeOf(Step step) {
    switch (step) {
    case Step::Signing:
        return 159;
    case Step::KeyPair:
        return 162;
    case Step::Write:
        return 156;
    default:
        return 0;
    }
}

// The card method (or output property) a card error strikes.
const char* MethodOf(Step step) {
    switch (step) {
    case Step::Signing:
        return "SignData";
    case Step::SignatureRead:
        return "Signature";
    case Step::KeyPair:
        return "InitUpdate";
    default:
        return "WriteCard";
    }
}

std::string Json(std::initializer_list<std::pair<const char*, std::string>> fields) {
    cJSON* o = cJSON_CreateObject();
    for (const auto& [k, v] : fields) {
        cJSON_AddStringToObject(o, k, v.c_str());
    }
    char* text = cJSON_PrintUnformatted(o);
    std::string out = text;
    cJSON_free(text);
    cJSON_Delete(o);
    return out;
}

// A loopback port that nothing listens on: bound, then closed again.
int ClosedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// The view double, with a hook where the notice window of a card step comes up.
class HookedView : public FakeView {
public:
    void ShowNotice(int picture) override {
        FakeView::ShowNotice(picture);
        if (onNotice) {
            onNotice(picture);
        }
    }
    std::function<void(int)> onNotice;
};

// The world of a cell: the enrolled card, its image, the client core, and the servers it may talk to.
class MatrixWorld : public ::testing::Test {
protected:
    void SetUp() override {
        // A stalled transfer is given up after about a second instead of thirty. libcurl averages the speed
        // over the last seconds, upload included, so the floor is raised above what a request body adds.
        HttpLimits fast = DefaultHttpLimits();
        fast.lowSpeedBytes = 4096;
        fast.lowSpeedSeconds = 1;
        oldLimits_ = SetDefaultHttpLimits(fast);

        ASSERT_EQ(Shell(std::string("RENVORA_ENROL_PIN=") + kPin + " RENVORA_ENROL_MANAGE_PASSWORD=" +
                        kManagePassword + " " + kServerProgram + " enrol --data '" + data.string() +
                        "' --card-image '" + image.string() + "' --days 30"),
                  0);
        ASSERT_EQ(Shell(std::string("RENVORA_SOFTCARD_PIN=") + kPin +
                        " RENVORA_SOFTCARD_MANAGE_PASSWORD=" + kManagePassword + " " + kCardTool +
                        " create '" + other.string() + "' --cert-seq-no 9999 --card-number 9999"),
                  0);
        std::string error;
        ASSERT_TRUE(softcard::LoadCardImage(image, before, error)) << error;
        ASSERT_TRUE(softcard::LoadCardImage(other, otherBefore, error)) << error;
        dir.Write("drive_c/Windows/time.ini", "MaxDay=180\r\n");
        reg::RegisterControl(dir.classesRoot(), kCardControlClsid, "software card", kPlugin);
        ASSERT_TRUE(card.Create(kCardControlClsid));
    }

    void TearDown() override {
        SetDefaultHttpLimits(oldLimits_);
        if (http) {
            http->Stop();
        }
    }

    void StartReferenceServer() {
        std::string error;
        ca = server::CertificateAuthority::Open(data, error);
        ASSERT_TRUE(ca) << error;
        ASSERT_TRUE(store.Open(data, error)) << error;
        // Renewed certificates end inside the server's renewal window, so that a card renews again at once.
        server::ServiceOptions serviceOptions;
        serviceOptions.certDays = 90;
        service = std::make_unique<server::RenewalService>(store, *ca, serviceOptions);
        server::HttpOptions options;
        options.log = false;
        http = std::make_unique<server::HttpServer>(*service, options);
        ASSERT_TRUE(http->Bind(error)) << error;
        http->RunInBackground();
        UseServer("http://127.0.0.1:" + std::to_string(http->Port()));
    }

    // The scripted server with healthy answers for every path, then the fault on the path of `step`.
    void StartScriptedServer(Step step, Fault fault) {
        scripted.Script("/selfIcUpdate", ScriptedAnswer::Json(R"({"code":"-2","msg":"empty"})"));
        scripted.Script("/selfIcUpdate/getRandom", ScriptedAnswer::Json(R"({"code":"0","random":"R1"})"));
        scripted.Script("/selfIcUpdate/verifyInfo",
                        ScriptedAnswer::Json(Json({{"code", "0"},
                                                   {"opSeqNo", "OP1"},
                                                   {"signDate", "20240101"},
                                                   {"managePasswd", kManagePassword},
                                                   {"random", "R2"}})));
        ScriptedAnswer bad;
        switch (step == Step::CertificateCheck ? Fault::ForeignKey : fault) {
        case Fault::ServerDown: // the server goes away in the middle of the conversation
            bad = ScriptedAnswer::Drop();
            break;
        case Fault::Timeout:
            bad = ScriptedAnswer::Json(R"({"code":"0"})");
            bad.delay = 4s;
            break;
        case Fault::Status4xx:
            bad = ScriptedAnswer::Status(404, "not here");
            break;
        case Fault::Status5xx:
            bad = ScriptedAnswer::Status(500, "broken");
            break;
        case Fault::Malformed:
            bad = ScriptedAnswer::Json("<html><body>gateway</body></html>");
            break;
        case Fault::MissingKey:
            bad = ScriptedAnswer::Json(step == Step::Random ? R"({"code":"0","msg":"ok"})"
                                       : step == Step::Verification
                                           ? R"({"code":"0","opSeqNo":"OP1",)"
                                             R"("managePasswd":"MP-7","random":"R2"})"
                                           : R"({"code":"0","signCertPEM":"x",)"
                                             R"("envCertPEM":"x","kmsKeyPEM":"x",)"
                                             R"("cssSignKeyPEM":"x","cssEnvKeyPEM":"x",)"
                                             R"("managePasswd":"MP-7"})");
            break;
        default: {
            // Certificate check: a certificate that is no PEM, or one over a key the card never had.
            const bool foreign = fault == Fault::ForeignKey;
            bad = ScriptedAnswer::Json(
                Json({{"code", "0"},
                      {"signCertPEM", foreign ? otherBefore.signCertPem : "no certificate"},
                      {"envCertPEM", "E"},
                      {"envDataPEM", "D"},
                      {"kmsKeyPEM", "K"},
                      {"cssSignKeyPEM", "S"},
                      {"cssEnvKeyPEM", "V"},
                      {"managePasswd", kManagePassword}}));
        }
        }
        scripted.Script(PathOf(step), bad);
        faultPath_ = PathOf(step);
        UseServer(scripted.BaseUrl());
        if (fault == Fault::ServerDown && step == Step::Random) {
            // Nobody listens at all: the connection is refused.
            UseServer("http://127.0.0.1:" + std::to_string(ClosedPort()));
        }
    }

    void UseServer(const std::string& url) { dir.Write("Config/conf.ini", "realmName=" + url + "\r\n"); }

    void SetPlan(const softcard::FaultPlan& plan) {
        std::string error;
        ASSERT_TRUE(softcard::SaveFaultPlan(softcard::FaultFileFor(image), plan, error)) << error;
    }

    void CardFault(Step step, Fault fault) {
        softcard::FaultPlan plan;
        switch (fault) {
        case Fault::CardError: {
            softcard::MethodFault f;
            f.fail = 1;
            f.message = kCardFault;
            plan.methods[MethodOf(step)] = f;
            SetPlan(plan);
            break;
        }
        case Fault::WriteFailure: {
            softcard::MethodFault f;
            f.fail = -1; // every write fails
            f.message = kCardFault;
            plan.methods["WriteCard"] = f;
            SetPlan(plan);
            break;
        }
        case Fault::CardRemoved:
        case Fault::SwappedCard: {
            // Pulled (or replaced) right when the notice window of the step comes up.
            plan.swapImage = fault == Fault::CardRemoved ? "no-card-here.json" : other.filename().string();
            view.onNotice = [this, plan, step](int picture) {
                if (picture == NoticeOf(step)) {
                    SetPlan(plan);
                }
            };
            // At the write-back's question the user puts the right card back.
            core.boxes.beforeAnswer = [this](const std::string&, MbKind) { SetPlan({}); };
            break;
        }
        default:
            FAIL() << "not a card fault";
        }
    }

    // What the login flow does before the button is enabled: open, PIN, read the card.
    void Login() {
        card.OpenCard();
        card.SetPassword(kPin);
        card.VerifyPassword();
        ASSERT_EQ(card.GetStatus(), 0) << Utf8(card.GetErrorMessage());
        ASSERT_EQ(model.ReadCardInfo(), 0);
        view.renewalEnabled = true;
    }

    void ExpectCard(Outcome outcome) {
        softcard::CardImage now;
        std::string error;
        ASSERT_TRUE(softcard::LoadCardImage(image, now, error)) << error;
        if (outcome == Outcome::Untouched) {
            EXPECT_EQ(now.signCertPem, before.signCertPem);
            EXPECT_EQ(now.signKeyPem, before.signKeyPem);
            EXPECT_EQ(now.managePassword, before.managePassword);
            EXPECT_EQ(now.written.signCert, before.written.signCert);
            EXPECT_EQ(now.written.envData, before.written.envData);
        } else {
            // The whole new set: certificate over the card's new current key, all six texts, nothing pending.
            EXPECT_NE(now.signCertPem, before.signCertPem);
            EXPECT_NE(now.signKeyPem, before.signKeyPem);
            EXPECT_EQ(softcard::PublicKeyPemOfCert(now.signCertPem),
                      softcard::PublicKeyPemOfKey(now.signKeyPem));
            EXPECT_EQ(now.written.signCert, now.signCertPem);
            for (const std::string* t :
                 {&now.written.envCert, &now.written.cssEnvKey, &now.written.cssSignKey, &now.written.kmsKey,
                  &now.written.envData}) {
                EXPECT_FALSE(t->empty());
            }
            EXPECT_TRUE(now.pendingKeyPem.empty());
        }
        // A swapped-in card is never written.
        softcard::CardImage otherNow;
        ASSERT_TRUE(softcard::LoadCardImage(other, otherNow, error)) << error;
        EXPECT_EQ(otherNow.signCertPem, otherBefore.signCertPem);
        EXPECT_EQ(otherNow.written.signCert, otherBefore.written.signCert);
    }

    TempWorkDir dir;
    CoreFixture core;
    NoProxyEnv noProxy;
    fs::path data = dir.path() / "server-data";
    fs::path image = dir.path() / "card.json";
    fs::path other = dir.path() / "other-card.json";
    ScopedEnv inserted{"RENVORA_CARD_IMAGE", image.c_str()};
    softcard::CardImage before, otherBefore;
    CDCertUpdate card;
    HookedView view;
    MainWindowModel model{card, view};

    ScriptedHttpServer scripted;
    std::unique_ptr<server::CertificateAuthority> ca;
    server::SqliteStore store;
    std::unique_ptr<server::RenewalService> service;
    std::unique_ptr<server::HttpServer> http;

private:
    HttpLimits oldLimits_;
    std::string faultPath_;
};

class FaultMatrix : public MatrixWorld, public ::testing::WithParamInterface<Cell> {};

TEST_P(FaultMatrix, TheClientReportsTheFaultKeepsTheCardWholeAndStaysUsable) {
    const Cell& cell = GetParam();
    const bool scriptedServer = IsServerStep(cell.step);
    if (scriptedServer) {
        StartScriptedServer(cell.step, cell.fault);
    } else {
        StartReferenceServer();
    }
    ASSERT_NO_FATAL_FAILURE(Login());
    if (!scriptedServer) {
        CardFault(cell.step, cell.fault);
    }

    const auto start = std::chrono::steady_clock::now();
    model.RenewalTransaction();
    const auto took = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(core.boxes.TextsUtf8(), cell.messages);
    EXPECT_EQ(view.renewalEnabled, cell.buttonEnabled);
    EXPECT_FALSE(view.noticeOpen);
    EXPECT_LT(took, 10s) << "the client hung on the fault";
    ExpectCard(cell.card);
    EXPECT_EQ(view.successDialogs, cell.card == Outcome::NewSet ? 1 : 0);

    // Still responsive: the fault is gone and a further command works.
    view.onNotice = nullptr;
    core.boxes.beforeAnswer = nullptr;
    SetPlan({});
    if (scriptedServer) {
        UseServer(scripted.BaseUrl());
    }
    core.boxes.Clear();
    model.NetworkTest();
    EXPECT_EQ(core.boxes.TextsUtf8(), std::vector<std::string>{kNetworkOk});

    // A card left untouched with the button enabled renews at the next press (after a new login when the
    // card was pulled), against the reference server.
    if (cell.buttonEnabled && cell.card == Outcome::Untouched) {
        if (scriptedServer) {
            StartReferenceServer();
        }
        ASSERT_NO_FATAL_FAILURE(Login());
        core.boxes.Clear();
        model.RenewalTransaction();
        EXPECT_EQ(core.boxes.TextsUtf8(), std::vector<std::string>{kSuccess});
        ExpectCard(Outcome::NewSet);
    }
}

// The transport failure a step shows, and what the verification step adds.
std::vector<std::string> ServerFailure(Step step, std::vector<std::string> own) {
    if (step != Step::RenewalRequest) {
        own.push_back(kVerifyFailed);
    }
    return own;
}

std::vector<Cell> Cells() {
    std::vector<Cell> cells;
    const auto server = [&](const char* name, Step step, Fault fault, std::vector<std::string> messages) {
        cells.push_back(
            {name, step, fault, ServerFailure(step, std::move(messages)), true, Outcome::Untouched});
    };
    // Random.
    server("RandomServerDown", Step::Random, Fault::ServerDown, {kCannotConnect, kTransportMinusOne, kHint});
    server("RandomTimeout", Step::Random, Fault::Timeout, {kTransportEmpty, kHint});
    server("Random4xx", Step::Random, Fault::Status4xx, {kTransportMinusOne, kHint});
    server("Random5xx", Step::Random, Fault::Status5xx, {kTransportMinusOne, kHint});
    server("RandomMalformed", Step::Random, Fault::Malformed, {kNoCode});
    server("RandomMissingKey", Step::Random, Fault::MissingKey,
           {U(u8"网络通讯异常，请重试！\n random不存在！")});
    // Verification.
    server("VerificationServerDown", Step::Verification, Fault::ServerDown, {kTransportEmpty, kHint});
    server("VerificationTimeout", Step::Verification, Fault::Timeout, {kTransportEmpty, kHint});
    server("Verification4xx", Step::Verification, Fault::Status4xx, {kTransportMinusOne, kHint});
    server("Verification5xx", Step::Verification, Fault::Status5xx, {kTransportMinusOne, kHint});
    server("VerificationMalformed", Step::Verification, Fault::Malformed, {kNoCode});
    server("VerificationMissingKey", Step::Verification, Fault::MissingKey,
           {U(u8"网络通讯异常，请重试！\n managePasswd、signDate、opSeqNo不存在！")});
    // Renewal request.
    server("RenewalServerDown", Step::RenewalRequest, Fault::ServerDown, {kTransportEmpty, kHint});
    server("RenewalTimeout", Step::RenewalRequest, Fault::Timeout, {kTransportEmpty, kHint});
    server("Renewal4xx", Step::RenewalRequest, Fault::Status4xx, {kTransportMinusOne, kHint});
    server("Renewal5xx", Step::RenewalRequest, Fault::Status5xx, {kTransportMinusOne, kHint});
    server("RenewalMalformed", Step::RenewalRequest, Fault::Malformed, {kNoCode, kHint});
    server("RenewalMissingKey", Step::RenewalRequest, Fault::MissingKey,
           {U(u8"网络通讯异常，请重试！\n 证书信息不存在！"), kHint});
    // Certificate check.
    cells.push_back({"CertificateNotPem",
                     Step::CertificateCheck,
                     Fault::Malformed,
                     {U(u8"PEM转DER失败！")},
                     true,
                     Outcome::Untouched});
    // Another card's certificate (self-signed, by its tool): not from the card's issuer, so nothing is
    // written and the user may try again. (A certificate from the right issuer over another key ends in
    // the consistency check's limit: RogueServer.*SigningOverAnotherKey.)
    cells.push_back(
        {"CertificateOfAnotherCard",
         Step::CertificateCheck,
         Fault::ForeignKey,
         {U(u8"延期失败！\n原因：服务器返回的签名证书与IC卡中的证书不是同一颁发者，IC卡未写入！")},
         true,
         Outcome::Untouched});
    // Card steps.
    const auto cardCell = [&](const char* name, Step step, Fault fault, std::string text,
                              const char8_t* suffix) {
        cells.push_back({name, step, fault, {text + U(suffix)}, true, Outcome::Untouched});
    };
    cardCell("SigningCardError", Step::Signing, Fault::CardError, kCardFault, u8"\n签名失败,请重试！");
    cardCell("SigningCardRemoved", Step::Signing, Fault::CardRemoved, kCardChanged, u8"\n签名失败,请重试！");
    cardCell("SigningSwappedCard", Step::Signing, Fault::SwappedCard, kCardChanged, u8"\n签名失败,请重试！");
    cardCell("SignatureReadCardError", Step::SignatureRead, Fault::CardError, kCardFault,
             u8"\n获取签名结果失败，请重试！");
    cardCell("KeyPairCardError", Step::KeyPair, Fault::CardError, kCardFault, u8"\n初始化IC卡失败！");
    cardCell("KeyPairCardRemoved", Step::KeyPair, Fault::CardRemoved, kCardChanged, u8"\n初始化IC卡失败！");
    cardCell("KeyPairSwappedCard", Step::KeyPair, Fault::SwappedCard, kCardChanged, u8"\n初始化IC卡失败！");
    // Writes. One failed write is retried after the user re-seats the card, and the retry writes it all.
    cells.push_back({"WriteCardError",
                     Step::Write,
                     Fault::CardError,
                     {kCardFault + kWriteFailed, kAskAdjusted, Retry(1), kSuccess},
                     false,
                     Outcome::NewSet});
    {
        // A card that never takes the write, or one pulled or swapped during it (its session is gone, so the
        // retries find it closed): four writes, then the limit; the old set stays.
        const auto limit = [&](const std::string& first, const std::string& later) {
            std::vector<std::string> m = {first + kWriteFailed};
            for (int n = 1; n <= 3; ++n) {
                m.push_back(kAskAdjusted);
                m.push_back(Retry(n));
                if (n < 3) {
                    m.push_back(later + kWriteFailed);
                }
            }
            m.push_back(later + U(u8"\n写IC卡失败！"));
            m.push_back(U(u8"您已达到最大重新写IC卡次数:3次，请去分中心进行处理！"));
            return m;
        };
        cells.push_back({"WriteFailure", Step::Write, Fault::WriteFailure, limit(kCardFault, kCardFault),
                         false, Outcome::Untouched});
        cells.push_back({"WriteCardRemoved", Step::Write, Fault::CardRemoved, limit(kCardChanged, kNotOpen),
                         false, Outcome::Untouched});
        cells.push_back({"WriteSwappedCard", Step::Write, Fault::SwappedCard, limit(kCardChanged, kNotOpen),
                         false, Outcome::Untouched});
    }
    return cells;
}

INSTANTIATE_TEST_SUITE_P(Renewal, FaultMatrix, ::testing::ValuesIn(Cells()),
                         [](const ::testing::TestParamInfo<Cell>& info) {
                             return std::string(info.param.name);
                         });

// Faults that strike after the server has committed a set the card never gets: the answer lost on its way
// back, the client killed while it waits for it, a card write that fails every time, the disk under the
// card image filling during the write. The card keeps its previous set and its next renewal succeeds; once
// the card shows its new set, the store holds that set confirmed and the lost one superseded.
enum class Loss { AnswerLost, ClientKilled, WriteFailing, DiskFull };

class AfterCommit : public MatrixWorld, public ::testing::WithParamInterface<Loss> {
protected:
    // The unattended client as its own process, renewing through `url`; killed once the server has
    // committed the renewal.
    void RunClientAndKillItAfterTheCommit() {
        // Everything the child needs is made before fork: this process has threads.
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            env.emplace_back(*e);
        }
        env.push_back("QT_QPA_PLATFORM=offscreen");
        env.push_back(std::string("RENVORA_UNATTENDED_PIN=") + kPin);
        env.push_back("RENVORA_UNATTENDED_SHOTS=0");
        std::vector<char*> envp;
        for (std::string& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        std::string exe = RENVORA_BUILD_DIR "/src/renvora";
        std::string shots = (dir.path() / "shots").string();
        std::string unattended = "--unattended";
        char* argv[] = {exe.data(), unattended.data(), shots.data(), nullptr};
        pid_t pid = ::fork();
        if (pid == 0) {
            int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execve(exe.c_str(), argv, envp.data());
            ::_exit(127);
        }
        ASSERT_GT(pid, 0);
        // Bounded: 20 s for the client to reach the commit.
        for (int i = 0; i < 2000 && store.IssueCount() == 0; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_EQ(store.IssueCount(), 1u) << "the client never reached the renewal request";
    }

    // The card's next contact with the service: a renewal signed with the key the card now holds, as its
    // holder's next session makes it.
    void RenewAsTheCard() {
        softcard::CardImage now;
        std::string error;
        ASSERT_TRUE(softcard::LoadCardImage(CardImagePath(), now, error)) << error;
        server::SimCard card;
        card.record = store.FindCard(now.holder.certSeqNo)->card;
        card.record.certPem = now.signCertPem;
        card.key = server::PrivateKeyFromPem(now.signKeyPem);
        server::ProtocolClient client("127.0.0.1", http->Port());
        ASSERT_TRUE(server::RunRenewal(client, card, error)) << error;
    }

    fs::path CardImagePath() const { return diskFull ? cardFs / "card.json" : image; }

    void MountSmallDisk() {
        fs::create_directories(cardFs);
        ASSERT_EQ(::mount("tmpfs", cardFs.c_str(), "tmpfs", 0, "size=256k"), 0)
            << "cannot mount a small tmpfs: " << std::strerror(errno);
        mounted = true;
        fs::copy_file(image, cardFs / "card.json");
        diskFull = true;
        onDisk = std::make_unique<ScopedEnv>("RENVORA_CARD_IMAGE", (cardFs / "card.json").c_str());
    }

    void TearDown() override {
        MatrixWorld::TearDown();
        if (mounted) {
            ::umount2(cardFs.c_str(), MNT_DETACH);
        }
    }

    fs::path cardFs = dir.path() / "cardfs";
    bool mounted = false;
    bool diskFull = false;
    std::unique_ptr<ScopedEnv> onDisk;
};

TEST_P(AfterCommit, TheNextRenewalSucceedsAndTheLostSetIsSuperseded) {
    const Loss loss = GetParam();
    StartReferenceServer();
    const std::string reference = "http://127.0.0.1:" + std::to_string(http->Port());
    if (loss == Loss::AnswerLost || loss == Loss::ClientKilled) {
        // In front of the reference server, passing everything on; the renewal's answer is dropped, or
        // held back long enough for the client to be killed.
        scripted.Script("/selfIcUpdate/getRandom", ScriptedAnswer::Forward(http->Port()));
        scripted.Script("/selfIcUpdate/verifyInfo", ScriptedAnswer::Forward(http->Port()));
        ScriptedAnswer renewal = ScriptedAnswer::Forward(http->Port(), loss == Loss::AnswerLost);
        renewal.delay = loss == Loss::ClientKilled ? 5s : 0s;
        scripted.Script("/selfIcUpdate/upadteCert", renewal);
        UseServer(scripted.BaseUrl());
    }
    if (loss == Loss::DiskFull) {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "mounting the small tmpfs needs root (CI runs as root)";
        }
        ASSERT_NO_FATAL_FAILURE(MountSmallDisk());
    }
    if (loss == Loss::ClientKilled) {
        ASSERT_NO_FATAL_FAILURE(RunClientAndKillItAfterTheCommit());
    } else {
        ASSERT_NO_FATAL_FAILURE(Login());
        if (loss == Loss::WriteFailing) {
            CardFault(Step::Write, Fault::WriteFailure);
        }
        if (loss == Loss::DiskFull) {
            // The disk fills right when the write begins, and stays full through every retry.
            view.onNotice = [this](int picture) {
                if (picture == 156 && !fs::exists(cardFs / "filler")) {
                    std::ofstream filler(cardFs / "filler", std::ios::binary);
                    std::string block(4096, 'x');
                    for (int i = 0; i < 256 && filler.write(block.data(), block.size()); ++i) {
                    }
                }
            };
        }
        model.RenewalTransaction();
        std::vector<std::string> shown = core.boxes.TextsUtf8();
        if (loss == Loss::AnswerLost) {
            EXPECT_EQ(shown, (std::vector<std::string>{kTransportEmpty, kHint}));
        } else {
            // Four writes, three questions, then the limit.
            ASSERT_EQ(shown.size(), 11u);
            EXPECT_EQ(shown.back(), U(u8"您已达到最大重新写IC卡次数:3次，请去分中心进行处理！"));
            if (loss == Loss::DiskFull) {
                EXPECT_EQ(shown[0].rfind(U(u8"IC卡写入失败！"), 0), 0u) << shown[0];
                // Every failed write took its temp file (keys, the management password) away again.
                for (const auto& entry : fs::directory_iterator(cardFs)) {
                    EXPECT_EQ(entry.path().filename().string().find(".tmp."), std::string::npos)
                        << entry.path();
                }
            }
        }
        EXPECT_EQ(store.IssueCount(), 1u);
    }
    // The card holds its previous set, whole.
    softcard::CardImage now;
    std::string error;
    ASSERT_TRUE(softcard::LoadCardImage(CardImagePath(), now, error)) << error;
    EXPECT_EQ(now.signCertPem, before.signCertPem);
    EXPECT_EQ(now.signKeyPem, before.signKeyPem);

    // The fault is gone; after a new login the next renewal succeeds against the reference server.
    view.onNotice = nullptr;
    SetPlan({});
    fs::remove(cardFs / "filler");
    UseServer(reference);
    core.boxes.Clear();
    ASSERT_NO_FATAL_FAILURE(Login());
    model.RenewalTransaction();
    EXPECT_EQ(core.boxes.TextsUtf8(), std::vector<std::string>{kSuccess});
    ASSERT_TRUE(softcard::LoadCardImage(CardImagePath(), now, error)) << error;
    EXPECT_NE(now.signCertPem, before.signCertPem);

    // Until the card shows which set it holds, the lost set and the one it wrote are siblings, both
    // pending. Its next renewal, signed with the new key, confirms the one it holds and supersedes the lost
    // one.
    std::vector<server::IssueRecord> issues = store.Issues();
    ASSERT_EQ(issues.size(), 2u);
    EXPECT_EQ(issues[0].state, server::SetState::Pending);
    EXPECT_EQ(issues[1].state, server::SetState::Pending);
    ASSERT_NO_FATAL_FAILURE(RenewAsTheCard());
    issues = store.Issues();
    ASSERT_EQ(issues.size(), 3u);
    EXPECT_EQ(issues[0].state, server::SetState::Superseded);
    EXPECT_EQ(issues[0].reason, "never installed: the card holds its sibling " + issues[1].serial);
    EXPECT_EQ(issues[1].state, server::SetState::Confirmed);
    EXPECT_EQ(issues[1].certPem, now.signCertPem);
    EXPECT_EQ(issues[2].parent, issues[1].serial);
    // What an operator sees.
    std::string text;
    std::FILE* listing = ::popen((kServerProgram + " issues --data '" + data.string() + "'").c_str(), "r");
    ASSERT_NE(listing, nullptr);
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, listing)) > 0;) {
        text.append(buf, n);
    }
    EXPECT_EQ(::pclose(listing), 0);
    EXPECT_NE(text.find("superseded since"), std::string::npos) << text;
    EXPECT_NE(text.find("confirmed since"), std::string::npos) << text;
    EXPECT_NE(text.find("pending (issued from the set " + issues[1].serial + ") since"), std::string::npos)
        << text;
}

std::string LossName(const ::testing::TestParamInfo<Loss>& info) {
    switch (info.param) {
    case Loss::AnswerLost:
        return "AnswerLost";
    case Loss::ClientKilled:
        return "ClientKilled";
    case Loss::WriteFailing:
        return "WriteFailing";
    default:
        return "DiskFull";
    }
}

void PrintTo(Loss loss, std::ostream* os) {
    *os << LossName(::testing::TestParamInfo<Loss>(loss, 0));
}

INSTANTIATE_TEST_SUITE_P(Renewal, AfterCommit,
                         ::testing::Values(Loss::AnswerLost, Loss::ClientKilled, Loss::WriteFailing,
                                           Loss::DiskFull),
                         LossName);

} // namespace
} // namespace rv::test
