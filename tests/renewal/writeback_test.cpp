// The card write-back against a scripted card: the properties it hands over, the writes and retries,
// the check of the date read back from the card, the messages in order and the button at the end.
#include "card/CDCertUpdate.h"
#include "card/dispids.h"
#include "cert_test_support.h"
#include "support/fake_card.h"
#include "support/test_env.h"

#include <gtest/gtest.h>

namespace rv::test {
namespace {

const std::string kWriteError = Gbk(u8"写卡出错：卡片未响应");

std::string FailedWrite() {
    return Utf8(kWriteError) + U8(u8"\n写IC卡失败，请确认IC卡已经插好！");
}
const std::string kAskAdjusted = U8(u8"您确定已经调整好IC卡了吗？");
std::string Retry(int n) {
    return U8(u8"您正在尝试第") + std::to_string(n) +
           U8(u8"次重新写IC卡，如果多次写IC卡失败请到分中心进行处理！");
}
const std::string kRenewed = U8(u8"延期成功！");
const std::string kNotRenewed = U8(u8"延期失败！\n原因：写IC卡失败，IC卡证书信息未延期！");
const std::string kLimit = U8(u8"您已达到最大重新写IC卡次数:3次，请去分中心进行处理！");

class WriteBack : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        certs_ = new TempWorkDir;
        cert_ = MakeTestCert(certs_->path(), "sign", 730);
    }
    static void TearDownTestSuite() {
        delete certs_;
        certs_ = nullptr;
    }

    void SetUp() override {
        card.Attach(fake.Dispatch());
        dir.Write("drive_c/Windows/time.ini", "MaxDay=180\r\n");
        fake.SetString(dispid::CryptAlgo, "SM2");
        SetCardEndDate("20240315");
        model.data.validTo = "20240315";
        model.data.managePasswd = "MP-NEW";
        // The card takes the new end date with the write numbered `newDateFromWrite` (1 = the first).
        fake.OnMethod(dispid::WriteCard, [this] {
            noticeOpenDuringWrite.push_back(view.noticeOpen);
            if (++writes >= newDateFromWrite) {
                SetCardEndDate(cert_.endDate);
            }
        });
    }

    void SetCardEndDate(const std::string& end) {
        fake.SetString(dispid::CardInfo, "C001|" + Gbk(u8"张三") + "|1|110101|f5|IC9|" + Gbk(u8"测试单位") +
                                             "|U1|f9|RA1|10|20220315|" + end + "120000");
    }
    void QueueWrites(std::initializer_list<int> statuses) {
        for (int s : statuses) {
            fake.QueueResult(dispid::WriteCard, s, s == 0 ? "" : kWriteError);
        }
    }
    void Run() { model.WriteBack(cert_.certPem, "ENV-CERT", "CSS-ENV", "CSS-SIGN", "KMS", "ENV-DATA"); }
    std::vector<std::string> Boxes() const { return core.boxes.TextsUtf8(); }

    static inline TempWorkDir* certs_ = nullptr;
    static inline TestCert cert_;

    TempWorkDir dir;
    CoreFixture core;
    FakeCard fake;
    CDCertUpdate card;
    FakeView view;
    MainWindowModel model{card, view};
    int writes = 0;
    int newDateFromWrite = 1;
    std::vector<bool> noticeOpenDuringWrite;
};

TEST_F(WriteBack, FirstWriteSucceedsAndShowsTheEndDateReadBackFromTheCard) {
    Run();
    EXPECT_EQ(Boxes(), U8s({kRenewed}));
    EXPECT_EQ(fake.CountMethod(dispid::WriteCard), 1);
    EXPECT_EQ(view.successDialogs, 1);
    EXPECT_GE(view.showCardDataCalls, 1) << "the fields are refreshed after the dialog";
    // The date the dialog and the end-date field show is the one on the card, not a fixed one.
    EXPECT_EQ(model.data.validTo, cert_.endDate);
    EXPECT_FALSE(view.renewalEnabled);
    EXPECT_EQ(view.notices, std::vector<int>{156});
    EXPECT_EQ(noticeOpenDuringWrite, std::vector<bool>{true});
    EXPECT_FALSE(view.noticeOpen);
}

TEST_F(WriteBack, PropertiesAreHandedOverOnceInTheirOrder) {
    QueueWrites({-1, -1, 0});
    Run();
    EXPECT_EQ(fake.SetOrder(),
              (std::vector<int>{dispid::SignCert, dispid::EnvCert, dispid::KmsKey, dispid::CssSignKey,
                                dispid::CssEnvKey, dispid::EnvData, dispid::WriteManagePassword}));
    EXPECT_EQ(fake.LastSet(dispid::SignCert), cert_.certPem);
    EXPECT_EQ(fake.LastSet(dispid::EnvCert), "ENV-CERT");
    EXPECT_EQ(fake.LastSet(dispid::CssEnvKey), "CSS-ENV");
    EXPECT_EQ(fake.LastSet(dispid::CssSignKey), "CSS-SIGN");
    EXPECT_EQ(fake.LastSet(dispid::KmsKey), "KMS");
    EXPECT_EQ(fake.LastSet(dispid::EnvData), "ENV-DATA");
    EXPECT_EQ(fake.LastSet(dispid::WriteManagePassword), "MP-NEW");
    EXPECT_EQ(fake.CountMethod(dispid::WriteCard), 3);
}

TEST_F(WriteBack, ThreeFailedRetriesEndInTheLimitWithoutAFurtherQuestion) {
    QueueWrites({-1, -1, -1, -1});
    Run();
    EXPECT_EQ(Boxes(), U8s({FailedWrite(), kAskAdjusted, Retry(1), FailedWrite(), kAskAdjusted, Retry(2),
                            FailedWrite(), kAskAdjusted, Retry(3), Utf8(kWriteError) + U8(u8"\n写IC卡失败！"),
                            kLimit}));
    EXPECT_EQ(fake.CountMethod(dispid::WriteCard), 4);
    EXPECT_EQ(fake.CountMethod(dispid::ReadCardInfo), 0);
    EXPECT_EQ(Client().lastError, kWriteError);
    EXPECT_FALSE(view.renewalEnabled);
    EXPECT_EQ(view.successDialogs, 0);
    EXPECT_EQ(view.notices, std::vector<int>(4, 156));
    EXPECT_EQ(noticeOpenDuringWrite, std::vector<bool>(4, true));
}

TEST_F(WriteBack, AWriteThatSucceedsOnTheThirdRetryIsARenewal) {
    QueueWrites({-1, -1, -1, 0});
    Run();
    EXPECT_EQ(Boxes(), U8s({FailedWrite(), kAskAdjusted, Retry(1), FailedWrite(), kAskAdjusted, Retry(2),
                            FailedWrite(), kAskAdjusted, Retry(3), kRenewed}));
    EXPECT_EQ(view.successDialogs, 1);
    EXPECT_FALSE(view.renewalEnabled);
}

TEST_F(WriteBack, NoRepeatsTheQuestionUntilYes) {
    QueueWrites({-1, 0});
    core.boxes.QueueAnswers({IDNO, IDNO, IDNO, IDYES});
    Run();
    EXPECT_EQ(Boxes(), U8s({FailedWrite(), kAskAdjusted, kAskAdjusted, kAskAdjusted, kAskAdjusted, Retry(1),
                            kRenewed}));
    EXPECT_EQ(fake.CountMethod(dispid::WriteCard), 2);
}

TEST_F(WriteBack, ACardWithAnotherKeyEndsAtOnceWithTheButtonEnabled) {
    QueueWrites({1});
    Run();
    EXPECT_EQ(Boxes(), U8s({U8(u8"公钥匹配不一致，请插入登录时的IC卡！")}));
    EXPECT_TRUE(view.renewalEnabled);
    EXPECT_EQ(fake.CountMethod(dispid::WriteCard), 1);
    EXPECT_EQ(fake.CountMethod(dispid::ReadCardInfo), 0);
}

TEST_F(WriteBack, KeyMismatchAfterTheThirdRetryIsTheLimitNotAMismatch) {
    QueueWrites({-1, -1, -1, 1});
    Run();
    ASSERT_EQ(Boxes().size(), 11u);
    EXPECT_EQ(Boxes()[9], Utf8(kWriteError) + U8(u8"\n写IC卡失败！"));
    EXPECT_EQ(Boxes()[10], kLimit);
    EXPECT_FALSE(view.renewalEnabled);
}

TEST_F(WriteBack, AnUnexpectedStatusIsTreatedAsAFailedWrite) {
    QueueWrites({5, -7, 0});
    Run();
    EXPECT_EQ(Boxes(),
              U8s({FailedWrite(), kAskAdjusted, Retry(1), FailedWrite(), kAskAdjusted, Retry(2), kRenewed}));
}

TEST_F(WriteBack, ADateCheckFailingBeforeTheLimitOffersARetry) {
    newDateFromWrite = 2; // the first write reports success but the card keeps its old end date
    Run();
    // The failed-write text carries whatever the card's last error is after a successful re-read: none.
    EXPECT_EQ(Boxes(), U8s({kNotRenewed, U8(u8"\n写IC卡失败，请确认IC卡已经插好！"), kAskAdjusted, Retry(1),
                            kRenewed}));
    EXPECT_EQ(fake.CountMethod(dispid::ReadCardInfo), 2);
    EXPECT_EQ(model.data.validTo, cert_.endDate);
    EXPECT_EQ(view.successDialogs, 1);
}

TEST_F(WriteBack, ADateCheckFailingAtTheLimitEndsInTheLimit) {
    newDateFromWrite = 100;
    QueueWrites({-1, -1, -1, 0});
    Run();
    EXPECT_EQ(Boxes(),
              U8s({FailedWrite(), kAskAdjusted, Retry(1), FailedWrite(), kAskAdjusted, Retry(2),
                   FailedWrite(), kAskAdjusted, Retry(3), kNotRenewed, U8(u8"\n写IC卡失败！"), kLimit}));
    EXPECT_EQ(model.data.validTo, "20240315");
    EXPECT_EQ(view.successDialogs, 0);
    EXPECT_FALSE(view.renewalEnabled);
}

TEST_F(WriteBack, AnEndDateTooFarBeyondTheCertificatesFailsTheCheck) {
    // The card claims an end date more than MaxDay days after the certificate's.
    dir.Write("drive_c/Windows/time.ini", "MaxDay=0\r\n");
    fake.OnMethod(dispid::WriteCard, [this] { SetCardEndDate("20991231"); });
    QueueWrites({0, -1, -1, -1});
    Run();
    ASSERT_FALSE(Boxes().empty());
    EXPECT_EQ(Boxes().front(), kNotRenewed);
    EXPECT_EQ(Boxes().back(), kLimit);
    EXPECT_EQ(view.successDialogs, 0);
}

TEST_F(WriteBack, AnUnreadableCertificateStillWritesAndThenFailsTheDateCheck) {
    QueueWrites({0, -1, -1, -1});
    model.WriteBack("not a certificate", "E", "CE", "CS", "K", "D");
    auto boxes = Boxes();
    ASSERT_GE(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], U8(u8"PEM转DER失败！"));
    EXPECT_EQ(boxes[1], kNotRenewed);
    EXPECT_EQ(fake.LastSet(dispid::SignCert), "not a certificate");
    EXPECT_EQ(fake.CountMethod(dispid::WriteCard), 4);
    EXPECT_EQ(boxes.back(), kLimit);
}

} // namespace
} // namespace rv::test
