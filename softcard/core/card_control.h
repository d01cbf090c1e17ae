// The software card's control: the 24 members of the card control by DISPID, over the card image that
// is "inserted" in the reader. The plugin only wraps this in the C dispatch interface.
//
// The inserted image is $RENVORA_CARD_IMAGE when set, else the registry value "CardImage" of the
// control's CLSID key; the fault file beside it may swap in another image. The card is the file: every
// method reads it afresh and every change is one atomic save, so two controls (or the tool) never see
// a half-written card, and a killed process leaves the last complete card behind.
#pragma once

#include "card/dispatch_adapter.h"
#include "card_image.h"
#include "faults.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace rv::softcard {

// Error texts (GBK), one home for each. Texts that carry a number are formats.
namespace text {
inline constexpr const char* kNoCard = "未检测到IC卡，请插入IC卡！";
inline constexpr const char* kCardDamaged = "IC卡数据损坏，无法读取！";
inline constexpr const char* kNotOpen = "IC卡未打开，请先打开IC卡！";
inline constexpr const char* kCardChanged = "IC卡已被更换，请重新打开IC卡！";
inline constexpr const char* kNotVerified = "IC卡口令未校验，请先登录！";
inline constexpr const char* kPinEmpty = "口令不能为空";
inline constexpr const char* kPinWrongFmt = "口令错误，还可以尝试%d次";
inline constexpr const char* kPinNowLocked = "口令错误次数过多，IC卡已锁定，请到分中心解锁";
inline constexpr const char* kPinLocked = "IC卡已锁定，请到分中心解锁";
inline constexpr const char* kSaveFailed = "IC卡写入失败！";
inline constexpr const char* kCertDamaged = "IC卡中的证书无法读取！";
inline constexpr const char* kSignSourceEmpty = "待签名数据为空！";
inline constexpr const char* kSignFailed = "IC卡签名失败！";
inline constexpr const char* kManagePasswordWrong = "管理员口令错误，IC卡初始化失败！";
inline constexpr const char* kKeyGenFailed = "IC卡生成密钥对失败！";
inline constexpr const char* kNoPendingKey = "IC卡中没有待更新的密钥对，请先初始化IC卡！";
inline constexpr const char* kCertKeyMismatch = "签名证书的公钥与IC卡中的密钥不一致！";
inline constexpr const char* kNewManagePasswordEmpty = "管理员口令为空，IC卡未写入！";
inline constexpr const char* kInjectedFault = "IC卡操作失败（模拟故障）！";
} // namespace text

class SoftCardControl {
public:
    SoftCardControl() = default;

    // Dispatch results as in card/dispatch.h (RV_DISP_OK, RV_DISP_UNKNOWN_MEMBER, RV_DISP_WRONG_TYPE).
    int Invoke(int dispid);
    int GetInt(int dispid, int32_t& value);
    // `value` stays valid until the next call on this object.
    int GetString(int dispid, const std::string*& value);
    int SetString(int dispid, const std::string& value);

    int32_t status() const { return status_; }
    const std::string& errorMessage() const { return error_; }

    // The image in the reader right now (after a swap), or "" when none is configured.
    std::filesystem::path InsertedImage() const;

private:
    // Base image: environment or registration, before any swap.
    std::filesystem::path ConfiguredImage() const;
    // Reads the fault plan and applies delay and injected failure for `name`. True when a failure fired
    // (status and text set).
    bool ApplyFaults(const std::string& name);
    void Succeed();
    void Fail(int32_t status, const std::string& gbkText);
    // Loads the image of the open card into `image`; sets the failure itself when it cannot.
    bool LoadOpenCard(CardImage& image);
    bool Save(const CardImage& image);

    void DoOpenCard();
    void DoCloseCard();
    void DoVerifyPassword();
    void DoReadCardInfo();
    void DoReadCryptAlgo();
    void DoSignData();
    void DoInitUpdate();
    void DoWriteCard();

    int32_t status_ = 0;
    std::string error_;

    bool open_ = false;
    bool verified_ = false;
    std::filesystem::path openPath_;
    int saveDelayMs_ = 0;

    // Written properties (GBK as the client sets them).
    card::WrittenProperties in_;
    // Output properties (GBK); cardCert_ is the signing certificate behind cardInfo_'s dates.
    std::string cardInfo_, signature_, publicKey_, cryptAlgo_, cardCert_;
    std::string scratch_;
};

// Builds the card record the control answers in CardInfo: the 11 holder fields and the current
// certificate's validity start and end ("YYYYMMDDhhmmss"), joined by '|', in GBK. False when the
// certificate cannot be read.
bool BuildCardRecord(const CardImage& image, std::string& recordGbk);

} // namespace rv::softcard
