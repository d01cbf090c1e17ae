// Injected faults surface through Status / ErrorMessage, real write failures leave the card as it was,
// and a process killed in the middle of a save leaves the old card image intact and loadable.
#include "card/CDCertUpdate.h"
#include "card/dispids.h"
#include "core/card_image.h"
#include "core/faults.h"
#include "softcard_env.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace rv {
namespace {

namespace fs = std::filesystem;
using test::SoftCardEnv;
using test::Utf8;

std::string S(const char8_t* utf8) {
    return reinterpret_cast<const char*>(utf8);
}

class SoftCardFaults : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(card.Create(kCardControlClsid)); }

    SoftCardEnv env;
    CDCertUpdate card;
};

TEST_F(SoftCardFaults, EveryMethodCanBeFailedWithItsStatusAndText) {
    const std::pair<const char*, int> methods[] = {
        {"OpenCard", dispid::OpenCard},         {"VerifyPassword", dispid::VerifyPassword},
        {"ReadCardInfo", dispid::ReadCardInfo}, {"ReadCryptAlgo", dispid::ReadCryptAlgo},
        {"SignData", dispid::SignData},         {"InitUpdate", dispid::InitUpdate},
        {"WriteCard", dispid::WriteCard},       {"CloseCard", dispid::CloseCard},
    };
    int status = -7;
    for (const auto& [name, id] : methods) {
        // The fault file is UTF-8, like the card image.
        env.WriteFaults(std::string(R"({"methods":{")") + name + R"(":{"fail":1,"status":)" +
                        std::to_string(status) + R"(,"message":")" + S(u8"读卡器故障") + name + R"("}}})");
        card.InvokeMethod(id);
        EXPECT_EQ(card.GetStatus(), status) << name;
        EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"读卡器故障") + name);
        ++status;
    }
}

TEST_F(SoftCardFaults, FailuresAreCountedDownAndWrittenBack) {
    env.WriteFaults(R"({"methods":{"ReadCardInfo":{"fail":2,"status":-1}}})");
    test::Login(card);
    card.ReadCardInfo();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"IC卡操作失败（模拟故障）！")); // no text given
    softcard::FaultPlan plan;
    std::string error;
    ASSERT_TRUE(softcard::LoadFaultPlan(softcard::FaultFileFor(env.image), plan, error));
    EXPECT_EQ(plan.methods.at("ReadCardInfo").fail, 1);
    card.ReadCardInfo();
    EXPECT_EQ(card.GetStatus(), -1);
    // Used up: the file goes away and the card reads again.
    EXPECT_FALSE(fs::exists(softcard::FaultFileFor(env.image)));
    card.ReadCardInfo();
    EXPECT_EQ(card.GetStatus(), 0);
    EXPECT_FALSE(card.GetCardInfo().empty());
}

TEST_F(SoftCardFaults, FailEveryCallLastsUntilCleared) {
    env.WriteFaults(S(u8R"({"methods":{"OpenCard":{"fail":-1,"status":3,"message":"坏卡"}}})"));
    for (int i = 0; i < 3; ++i) {
        card.OpenCard();
        EXPECT_EQ(card.GetStatus(), 3);
    }
    fs::remove(softcard::FaultFileFor(env.image));
    card.OpenCard();
    EXPECT_EQ(card.GetStatus(), 0);
}

TEST_F(SoftCardFaults, ReadingTheSignatureCanFail) {
    env.WriteFaults(S(u8R"({"methods":{"Signature":{"fail":1,"status":-1,"message":"取签名失败"}}})"));
    test::Login(card);
    card.SetSignSource("text");
    card.SignData();
    ASSERT_EQ(card.GetStatus(), 0);
    EXPECT_EQ(card.GetSignature(), "");
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"取签名失败"));
}

TEST_F(SoftCardFaults, DelayHoldsTheMethodBack) {
    env.WriteFaults(R"({"methods":{"ReadCryptAlgo":{"delayMs":300}}})");
    test::Login(card);
    auto t0 = std::chrono::steady_clock::now();
    card.ReadCryptAlgo();
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(card.GetStatus(), 0);
    EXPECT_GE(ms, 300);
    // A delay alone is not consumed.
    EXPECT_NE(env.ReadFaults().find("delayMs"), std::string::npos);
}

TEST_F(SoftCardFaults, SwappedCardIsNoticedAndCanBeOpened) {
    auto other = test::TestHolder();
    other.certSeqNo = "SWAPPED";
    env.MakeCard("other.json", other);
    test::Login(card);
    env.WriteFaults(R"({"swapImage":"other.json"})");
    card.ReadCardInfo();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"IC卡已被更换，请重新打开IC卡！"));
    test::Login(card);
    card.ReadCardInfo();
    ASSERT_EQ(card.GetStatus(), 0);
    EXPECT_EQ(card.GetCardInfo().rfind("SWAPPED|", 0), 0u);
    // The swap persists across calls until cleared.
    card.OpenCard();
    card.ReadCardInfo();
    EXPECT_EQ(card.GetCardInfo().rfind("SWAPPED|", 0), 0u);
}

TEST_F(SoftCardFaults, SwapToAMissingImageIsAnEmptyReader) {
    env.WriteFaults(R"({"swapImage":"nowhere.json"})");
    card.OpenCard();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"未检测到IC卡，请插入IC卡！"));
}

TEST_F(SoftCardFaults, BrokenFaultFileIsReportedNotIgnored) {
    for (const char* bad : {"{", R"({"methods":{"OpenCard":{"fail":"x"}}})", R"({"saveDelayMs":-5})", "[]"}) {
        env.WriteFaults(bad);
        card.OpenCard();
        EXPECT_EQ(card.GetStatus(), -1) << bad;
        EXPECT_EQ(Utf8(card.GetErrorMessage()).rfind(S(u8"IC卡故障设置文件无效"), 0), 0u) << bad;
    }
}

// A real failed save (the file size limit makes every write fail, also for root): WriteCard reports
// -1 and the card keeps its old state; InitUpdate gives no key that was never stored.
TEST_F(SoftCardFaults, FailedSaveGivesMinusOneAndKeepsTheOldCard) {
    test::Login(card);
    card.SetInitManagePassword(test::kManagePassword);
    card.InitUpdate();
    ASSERT_EQ(card.GetStatus(), 0);
    std::string pub = card.GetPublicKey();
    std::string before = test::ReadAll(env.image);

    card.SetSignCert(env.ca.Issue(pub, "20260101000000Z", "20310630120000Z"));
    card.SetWriteManagePassword("MP-0002");
    auto old = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit tiny = saved;
    tiny.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    card.WriteCard();
    int32_t writeStatus = card.GetStatus();
    std::string writeError = card.GetErrorMessage();
    card.SetInitManagePassword(test::kManagePassword);
    card.InitUpdate();
    int32_t initStatus = card.GetStatus();
    std::string initKey = card.GetPublicKey();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old);

    EXPECT_EQ(writeStatus, -1);
    EXPECT_EQ(Utf8(writeError).rfind(S(u8"IC卡写入失败！"), 0), 0u) << Utf8(writeError);
    EXPECT_EQ(initStatus, -1);
    EXPECT_EQ(initKey, "");
    EXPECT_EQ(test::ReadAll(env.image), before);
    // No temp file is left behind by a failed save.
    for (const auto& e : fs::directory_iterator(env.dir.path())) {
        EXPECT_EQ(e.path().filename().string().find(".tmp."), std::string::npos) << e.path();
    }
    // The pending key is still there: the write can be retried.
    card.WriteCard();
    EXPECT_EQ(card.GetStatus(), 0) << Utf8(card.GetErrorMessage());
}

// ---- Killed in the middle of a save ----

bool WaitFor(const std::function<bool()>& cond, int ms) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (cond()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

bool TempFileExists(const fs::path& dir) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        if (e.path().filename().string().find("card.json.tmp.") != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST(SoftCardCrash, KilledBetweenWriteAndRenameLeavesTheOldImage) {
    SoftCardEnv env;
    env.WriteFaults(R"({"saveDelayMs":20000})");
    std::string before = test::ReadAll(env.image);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The child changes the card; its save stops between the synced temp file and the rename.
        CDCertUpdate card;
        if (!card.Create(kCardControlClsid)) {
            _exit(2);
        }
        card.OpenCard();
        card.SetInitManagePassword(test::kManagePassword);
        card.InitUpdate();
        _exit(0);
    }
    bool midSave = WaitFor([&] { return TempFileExists(env.dir.path()); }, 10000);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(midSave) << "the child never reached the save";
    EXPECT_TRUE(WIFSIGNALED(status));

    EXPECT_EQ(test::ReadAll(env.image), before);
    softcard::CardImage card;
    std::string error;
    ASSERT_TRUE(softcard::LoadCardImage(env.image, card, error)) << Utf8(error);
    EXPECT_TRUE(card.pendingKeyPem.empty());
    // The dead writer's temp file holds the keys and the management password: the next opening of the
    // card removes it.
    EXPECT_TRUE(TempFileExists(env.dir.path()));
    env.WriteFaults("{}");
    CDCertUpdate opener;
    ASSERT_TRUE(opener.Create(kCardControlClsid));
    opener.OpenCard();
    EXPECT_EQ(opener.GetStatus(), 0);
    EXPECT_FALSE(TempFileExists(env.dir.path()));

    // Temp files are known by their whole suffix: an image whose own name holds ".tmp." is cleaned as
    // well, and files that merely look alike, or belong to a live writer, stay.
    const fs::path odd = env.dir.path() / "a.tmp.7.json";
    const std::string dead = std::to_string(child); // reaped above
    const std::string live = std::to_string(getpid());
    const std::vector<std::string> stale = {"a.tmp.7.json.tmp." + dead + ".0",
                                            "a.tmp.7.json.faults.tmp." + dead + ".3"};
    const std::vector<std::string> kept = {
        "a.tmp.7.json.tmp." + live + ".0", "a.tmp.7.json.tmp." + dead + ".0.bak",
        "a.tmp.7.jsonx.tmp." + dead + ".0", "a.tmp.7.json.old.tmp." + dead + ".0"};
    for (const auto& names : {stale, kept}) {
        for (const std::string& name : names) {
            std::ofstream(env.dir.path() / name) << "secret";
        }
    }
    EXPECT_EQ(softcard::RemoveStaleTempFiles(odd), 2);
    for (const std::string& name : stale) {
        EXPECT_FALSE(fs::exists(env.dir.path() / name)) << name;
    }
    for (const std::string& name : kept) {
        EXPECT_TRUE(fs::exists(env.dir.path() / name)) << name;
    }
}

TEST(SoftCardCrash, KilledWhileSavingInALoopAlwaysLeavesAWholeImage) {
    SoftCardEnv env;
    softcard::CardImage a = env.LoadImage();
    softcard::CardImage b = a;
    b.holder.unitName = std::string(20000, 'x'); // a bigger image takes longer to write
    const std::string textA = softcard::CardImageToJson(a), textB = softcard::CardImageToJson(b);
    for (int round = 0; round < 5; ++round) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::string error;
            for (int i = 0; i < 100000; ++i) {
                softcard::SaveCardImage(env.image, i % 2 ? b : a, error);
            }
            _exit(0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(30 + 17 * round));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        std::string now = test::ReadAll(env.image);
        EXPECT_TRUE(now == textA || now == textB) << "round " << round << ": " << now.size() << " bytes";
        softcard::CardImage loaded;
        std::string error;
        EXPECT_TRUE(softcard::LoadCardImage(env.image, loaded, error)) << Utf8(error);
    }
}

} // namespace
} // namespace rv
