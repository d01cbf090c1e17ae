// Card write-back: the new certificates and keys go to the card, the card is re-read to prove it holds
// the new end date, and a failed write may be retried three times after the user re-seats the card.
#include "platform/client_strings.h"
#include "platform/message_box.h"
#include "renewal/cert_field_reader.h"
#include "renewal/main_window_model.h"
#include "renewal/remembered_cards.h"
#include "renewal/renewal_steps.h"
#include "renewal/renewal_window.h"
#include "res/resource_ids.h"

#include <cstdio>
#include <string>

namespace rv {

namespace {

constexpr int32_t kMaxWriteRetries = 3;

const char* const kMsgNotRenewed = "延期失败！\n原因：写IC卡失败，IC卡证书信息未延期！";
const char* const kSuffixWriteFailedRetry = "\n写IC卡失败，请确认IC卡已经插好！";
const char* const kSuffixWriteFailed = "\n写IC卡失败！";
const char* const kAskCardAdjusted = "您确定已经调整好IC卡了吗？";

std::string RetryText(int32_t retry) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "您正在尝试第%d次重新写IC卡，如果多次写IC卡失败请到分中心进行处理！",
                  retry);
    return buf;
}

std::string LimitText(int32_t retries) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "您已达到最大重新写IC卡次数:%d次，请去分中心进行处理！", retries);
    return buf;
}

} // namespace

// The six texts are taken by value: the write-back owns its copies while the card works.
// NOLINTBEGIN(performance-unnecessary-value-param)
void MainWindowModel::WriteBack(std::string signCertPem, std::string envCertPem, std::string cssEnvKeyPem,
                                std::string cssSignKeyPem, std::string kmsKeyPem, std::string envDataPem) {
    // NOLINTEND(performance-unnecessary-value-param)
    // Set once, in this order; a retry writes what the card already holds.
    card.SetSignCert(signCertPem);
    card.SetEnvCert(envCertPem);
    card.SetKmsKey(kmsKeyPem);
    card.SetCssSignKey(cssSignKeyPem);
    card.SetCssEnvKey(cssEnvKeyPem);
    card.SetEnvData(envDataPem);
    card.SetWriteManagePassword(data.managePasswd);

    // Empty when the reader failed (it has said so); the write goes ahead and the date check fails.
    const std::string certDate = ReadCertificateField(signCertPem, kCertItemNotAfter);

    int32_t retries = 0;
    for (;;) {
        int32_t status;
        {
            NoticeScope notice(view, res::kPictureWriteCard);
            card.WriteCard();
            status = card.GetStatus();
        }

        bool limitReached = false;
        if (status == 0) {
            // The reader refreshes the card data, the end date among them; its result does not matter
            // here, the date check below is what decides.
            ReadCardInfo();
            if (CheckRenewalWindow(certDate, data.validTo) == kInsideRenewalWindow) {
                // The new end date, so that the renewal reminder stops.
                RememberCard(data, kRecordLockWait);
                ShowNotice(kMsgRenewed);
                // The dialog and the fields show the end date just read back from the card.
                view.RunSuccessDialog();
                view.ShowCardData();
                return;
            }
            ShowNotice(kMsgNotRenewed);
            limitReached = retries == kMaxWriteRetries;
        } else if (retries == kMaxWriteRetries) {
            limitReached = true;
        } else if (status == 1) {
            ShowNotice(kMsgKeyMismatch);
            view.EnableRenewalButton(true);
            return;
        }
        // Any other status is a failed write: the card promises only 0, 1 and -1, and offering the
        // retry is the safe reading of anything else.

        Client().lastError = card.GetErrorMessage();
        if (limitReached) {
            ShowNotice(Client().lastError + kSuffixWriteFailed);
            ShowNotice(LimitText(retries));
            return;
        }
        ShowNotice(Client().lastError + kSuffixWriteFailedRetry);
        while (AskYesNo(kAskCardAdjusted) != IDYES) {
        }
        ++retries;
        ShowNotice(RetryText(retries));
    }
}

} // namespace rv
