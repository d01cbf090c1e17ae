// The renewal transaction behind button 1000: verification, the card's signature, the new key pair, the
// renewal request, the check that the new certificate carries the card's new key (re-inserting the
// card up to three times), and the write-back. It runs to its end before the window takes another
// command: its card and server calls wait (RunBlocking) with the user's input dropped, and the disabled
// button keeps a second press out.
#include "net/CHttpClient.h"
#include "net/service_messages.h"
#include "platform/client_strings.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "renewal/cert_field_reader.h"
#include "renewal/certificate_checks.h"
#include "renewal/main_window_model.h"
#include "renewal/renewal_steps.h"
#include "res/resource_ids.h"

#include <cstdio>
#include <string>

namespace rv {

namespace {

constexpr int32_t kMaxKeyChecks = 3;
// Answer states of the public-key consistency check besides the Yes/No results.
constexpr int32_t kStateKeysDiffer = -1;
constexpr int32_t kStateFinished = 100;

const char* const kOperTypeRenewal = "3";
const char* const kMsgVerifyFailed = "验证用户信息失败，请重试！";
const char* const kSuffixSignFailed = "\n签名失败,请重试！";
const char* const kSuffixSignatureReadFailed = "\n获取签名结果失败，请重试！";
const char* const kSuffixInitUpdateFailed = "\n初始化IC卡失败！";
const char* const kSuffixOpenFailed = "\n打开IC卡失败！";
const char* const kMsgInsertLoginCard = "请确定插入的是登录时的IC卡，否则无法延期，IC卡也无法正常使用！";
const char* const kAskOriginalCard = "您确定插入的IC卡是原始的那张IC卡吗？";
const char* const kMsgTakeCardToOffice = "请携带IC卡去分中心进行处理！";

std::string KeyCheckText(int32_t attempt) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "您将进行第%d次比对公钥一致性！", attempt);
    return buf;
}

std::string KeyCheckLimitText(int32_t attempts) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "您已达到最大的比对公钥一致性次数:%d次，请去分中心进行处理！", attempts);
    return buf;
}

// The server's certificates against the card's own (docs/renewal.md): false after the user was told why
// nothing is written, and stderr which check failed.
bool CertificatesTrusted(CDCertUpdate& card, const CardData& data, const RenewalKeySet& keys) {
    CardCertReference reference;
    if (!card.GetCardCert(reference.cardCertPem) || reference.cardCertPem.empty()) {
        std::fprintf(stderr,
                     "renvora: the card control offers no card certificate (member CardCert); the new "
                     "certificates are checked against the card record and the issuer certificates\n");
    }
    reference.applicantName = data.applicantName;
    reference.unitName = data.unitName;
    reference.validTo = data.validTo;
    const IssuerCertificates issuers = IssuerCertificates::Load(IssuerFolders());
    for (const std::string& w : issuers.warnings) {
        std::fprintf(stderr, "renvora: %s\n", w.c_str());
    }
    const std::time_t now = Clock().Now();
    for (const bool signing : {true, false}) {
        const CertCheck check =
            CheckIssuedCertificate(signing ? keys.signCertPEM : keys.envCertPEM, reference, issuers, now);
        if (check.fault != CertFault::None) {
            std::fprintf(stderr,
                         "renvora: renewal refused, nothing written to the card: the %s certificate from the "
                         "server %s\n",
                         signing ? "signing" : "encryption", check.detail.c_str());
            ShowNotice(CertRefusedMessage(check.fault, signing));
            return false;
        }
    }
    return true;
}

} // namespace

void MainWindowModel::RenewalTransaction() {
    // A failure the user can retry: its message, then the button again.
    auto fail = [this](const std::string& text) {
        ShowNotice(text);
        view.EnableRenewalButton(true);
    };
    // A failed card call: the control's own text first, then ours.
    auto cardFail = [&](const char* suffix) {
        Client().lastError = card.GetErrorMessage();
        fail(Client().lastError + suffix);
    };

    try {
        view.EnableRenewalButton(false);

        if (VerifyIdentity() != 0) {
            fail(kMsgVerifyFailed);
            return;
        }

        const std::string note;
        const std::string signText = data.opSeqNo + data.cardNumber + data.applicantName + data.unitName +
                                     data.signDate + data.unitCode + data.cardNumber + kOperTypeRenewal +
                                     note;
        {
            NoticeScope notice(view, res::kPictureSign);
            card.SetSignSource(signText);
            card.SignData();
        }
        if (card.GetStatus() != 0) {
            cardFail(kSuffixSignFailed);
            return;
        }
        const std::string signature = card.GetSignature();
        if (card.GetStatus() != 0) {
            cardFail(kSuffixSignatureReadFailed);
            return;
        }

        {
            NoticeScope notice(view, res::kPictureKeyPair);
            card.SetInitManagePassword(data.managePasswd);
            card.InitUpdate();
        }
        if (card.GetStatus() != 0) {
            cardFail(kSuffixInitUpdateFailed);
            return;
        }
        std::string cardKey = card.GetPublicKey();

        RenewalRequestValues values;
        values.dataSign = signature;
        values.certSeqNo = data.certSeqNo;
        values.opSeqNo = data.opSeqNo;
        values.icCode = data.cardNumber;
        values.iccardName = data.applicantName;
        values.iccardUnitName = data.unitName;
        values.signDate = data.signDate;
        values.iccardUnitCode = data.unitCode;
        values.publicKey = cardKey;
        values.cardCryptAlgo = data.cryptAlgo;
        values.random = Client().serverRandom;

        CHttpClient client;
        // The one request for which the server does real work: it gets the longer overall bound.
        HttpLimits limits = client.Limits();
        limits.totalTimeoutMs = limits.renewalTotalTimeoutMs;
        client.SetLimits(limits);
        std::string answer;
        {
            NoticeScope notice(view, res::kPictureSendData);
            client.AddParam(kDataParam, BuildRenewalRequest(values));
            answer = client.PostRequest(serverAddress + kPathRenewal);
        }
        RenewalKeySet keys;
        if (!EvaluateRenewalAnswer(client, answer, keys)) {
            view.EnableRenewalButton(true);
            return;
        }
        // From here on the card's management password is the one the renewal answer brought.
        data.managePasswd = keys.managePasswd;

        const std::string certKey = ReadCertificateField(keys.signCertPEM, kCertItemPublicKey);
        if (certKey.empty()) {
            view.EnableRenewalButton(true);
            return;
        }
        // Nothing reaches the card (certificates, keys, the new password) unless both certificates are
        // the card holder's, from the card's issuer, in force and ending later than the card's own.
        if (!CertificatesTrusted(card, data, keys)) {
            view.EnableRenewalButton(true);
            return;
        }

        auto writeBack = [&] {
            WriteBack(keys.signCertPEM, keys.envCertPEM, keys.cssEnvKeyPEM, keys.cssSignKeyPEM,
                      keys.kmsKeyPEM, keys.envDataPEM);
        };
        if (cardKey == certKey) {
            writeBack();
            return;
        }

        // The card in the reader generated a key the certificate does not carry: most likely another
        // card was inserted. Let the user put the login card back and generate the key pair again.
        int32_t answerState = kStateKeysDiffer;
        int32_t attempts = 0;
        for (;;) {
            if (answerState == kStateFinished) {
                return;
            }
            if (attempts == kMaxKeyChecks) {
                ShowNotice(KeyCheckLimitText(attempts));
                return;
            }
            if (answerState == kStateKeysDiffer) {
                card.CloseCard();
                ShowNotice(kMsgKeyMismatch);
                ShowNotice(kMsgInsertLoginCard);
                // A box closed without Yes counts as No, so the question comes back instead of spinning.
                answerState = AskYesNo(kAskOriginalCard) == IDYES ? IDYES : IDNO;
            } else if (answerState == IDNO) {
                answerState = AskYesNo(kAskOriginalCard) == IDYES ? IDYES : IDNO;
            } else if (answerState == IDYES) {
                ++attempts;
                ShowNotice(KeyCheckText(attempts));
                card.OpenCard();
                if (card.GetStatus() != 0) {
                    Client().lastError = card.GetErrorMessage();
                    ShowNotice(Client().lastError + kSuffixOpenFailed);
                    answerState = kStateKeysDiffer;
                    continue;
                }
                card.SetInitManagePassword(data.managePasswd);
                card.InitUpdate();
                if (card.GetStatus() != 0) {
                    Client().lastError = card.GetErrorMessage();
                    ShowNotice(Client().lastError + kSuffixInitUpdateFailed);
                    ShowNotice(kMsgTakeCardToOffice);
                    answerState = kStateFinished;
                    continue;
                }
                cardKey = card.GetPublicKey();
                if (cardKey != certKey) {
                    answerState = kStateKeysDiffer;
                    continue;
                }
                writeBack();
                answerState = kStateFinished;
            }
        }
    } catch (...) {
        // The button stays disabled: the card may be half-way through, only a new login re-arms it.
        ShowNotice(kMsgNetworkError);
    }
}

} // namespace rv
