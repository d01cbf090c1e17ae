// The token card's control: the 24 members of the card control by DISPID, over a PKCS#11 token (see
// layout.h for how the card lives on the token). The plugin only wraps this in the C dispatch
// interface.
//
// Which module and token: registry values of the control's CLSID key, each overridden by an
// environment variable of the same meaning:
//   Pkcs11Module      RENVORA_PKCS11_MODULE        library path or p11-kit module name; "" = every
//                                                  module the system registers with p11-kit
//   TokenLabel        RENVORA_PKCS11_TOKEN_LABEL   optional
//   TokenSerial       RENVORA_PKCS11_TOKEN_SERIAL  optional
//   Sm2SignMechanism  RENVORA_PKCS11_SM2_MECHANISM the vendor mechanism (hex) that signs with SM2 and
//                                                  SM3 over the data; without it SM2 keys cannot sign
// Without a label or serial, the card is the one writable token that holds a holder record.
#pragma once

#include "card/dispatch_adapter.h"
#include "layout.h"
#include "pkcs11.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rv::p11card {

// Error texts (GBK), one home for each. Texts that carry a number are formats.
namespace text {
inline constexpr const char* kNoCard = "未检测到IC卡，请插入IC卡！";
inline constexpr const char* kTwoCards = "检测到多张IC卡，请只插入一张IC卡！";
inline constexpr const char* kNoHolder = "IC卡中没有持卡人信息，请到分中心办理！";
inline constexpr const char* kNoSet = "IC卡中没有完整的证书和密钥，请到分中心办理！";
inline constexpr const char* kWriteProtected = "IC卡处于写保护状态，无法使用！";
inline constexpr const char* kOpenFailedFmt = "打开IC卡失败（%s）！";
inline constexpr const char* kNotOpen = "IC卡未打开，请先打开IC卡！";
inline constexpr const char* kRemoved = "IC卡已被拔出，请重新插入IC卡！";
inline constexpr const char* kNotVerified = "IC卡口令未校验，请先登录！";
inline constexpr const char* kPinEmpty = "口令不能为空";
inline constexpr const char* kPinLengthFmt = "口令长度应为%lu到%lu位";
inline constexpr const char* kPinWrong = "口令错误，请重新输入";
inline constexpr const char* kPinWrongLow = "口令错误，剩余尝试次数已不多，请谨慎输入";
inline constexpr const char* kPinWrongFinal = "口令错误，还可以尝试1次";
inline constexpr const char* kPinNowLocked = "口令错误次数过多，IC卡已锁定，请到分中心解锁";
inline constexpr const char* kPinLocked = "IC卡已锁定，请到分中心解锁";
inline constexpr const char* kPinFailedFmt = "IC卡口令校验失败（%s）！";
inline constexpr const char* kCertDamaged = "IC卡中的证书无法读取！";
inline constexpr const char* kAlgoUnknown = "IC卡中的密钥算法不受支持！";
inline constexpr const char* kRsaTooShortFmt = "IC卡中的RSA密钥只有%d位，不能用于延期！";
inline constexpr const char* kSignSourceEmpty = "待签名数据为空！";
inline constexpr const char* kSignFailedFmt = "IC卡签名失败（%s）！";
inline constexpr const char* kNoSm2Mechanism = "IC卡的SM2签名机制未配置，无法签名！";
inline constexpr const char* kManagePasswordWrong = "管理员口令错误，IC卡初始化失败！";
inline constexpr const char* kKeyGenFailedFmt = "IC卡生成密钥对失败（%s）！";
inline constexpr const char* kNoPendingKey = "IC卡中没有待更新的密钥对，请先初始化IC卡！";
inline constexpr const char* kCertKeyMismatch = "签名证书的公钥与IC卡中的密钥不一致！";
inline constexpr const char* kNewManagePasswordEmpty = "管理员口令为空，IC卡未写入！";
inline constexpr const char* kEnvKeyUnreadable = "加密密钥无法解开，IC卡未写入！";
inline constexpr const char* kEnvCertKeyMismatch = "加密证书与加密密钥不一致，IC卡未写入！";
inline constexpr const char* kEnvCertBad = "加密证书无法读取，IC卡未写入！";
inline constexpr const char* kWriteFailedFmt = "IC卡写入失败（%s：%s），IC卡未写入！";
inline constexpr const char* kRemovedNotWritten = "IC卡在写入时被拔出，IC卡未写入，请重新插入IC卡！";
inline constexpr const char* kCannotGenerateFmt = "IC卡不支持生成%s密钥，无法延期，请到分中心办理！";
inline constexpr const char* kCannotSignFmt = "IC卡不支持%s签名，无法延期，请到分中心办理！";
inline constexpr const char* kNoRoom = "IC卡存储空间不足，无法写入新的证书和密钥，请到分中心办理！";
} // namespace text

struct P11Config {
    std::string module;
    std::string tokenLabel;
    std::string tokenSerial;
    CK_MECHANISM_TYPE sm2Sign = 0;
    bool sm2Configured = false;
};
// The configuration as the registry and the environment give it now.
P11Config ReadP11Config();

// Finds the card among the tokens of `modules`: the token `config` names, else the one writable
// token that holds a holder record. False with a GBK text (no card, two cards, no holder record).
bool SelectToken(const std::vector<std::shared_ptr<Module>>& modules, const P11Config& config, TokenRef& out,
                 std::string& error);

class P11CardControl {
public:
    P11CardControl() = default;
    ~P11CardControl();
    P11CardControl(const P11CardControl&) = delete;
    P11CardControl& operator=(const P11CardControl&) = delete;

    // Dispatch results as in card/dispatch.h.
    int Invoke(int dispid);
    int GetInt(int dispid, int32_t& value);
    int GetString(int dispid, const std::string*& value);
    int SetString(int dispid, const std::string& value);

private:
    void Succeed();
    void Fail(int32_t status, const std::string& gbkText);
    // A module's refusal of `call`: the holder's text from `fmt` with the reason and the result's name, and
    // a stderr line for the operator.
    void FailRv(const char* fmt, CK_RV rv, const char* call);
    // Asked before a renewal starts: the token can make a key of `kind`, sign with it and store a new set.
    // Sets the failure itself otherwise.
    bool CanTakeNewSet(KeyKind kind, int bits);
    enum class Need { Open, Login, Pin };
    // The session is usable (reconnecting to the same token once when it went away) and has what `need`
    // asks: a token login (private objects), or a PIN verified since this opening (signing). Sets the
    // failure itself otherwise.
    bool Ready(Need need);
    // The session is usable and the slot still holds the opened token.
    bool Present() const;
    // Finds the opened token again (same serial and label) and logs in as before; false while it is away.
    bool Reconnect();
    void VerifyPin();
    // Scans the token; sets the failure itself when it cannot.
    bool Scan(TokenView& view);
    const TokenSet* CurrentSet(const TokenView& view);
    // The set's signing certificate, read and parsed; sets the failure itself when it cannot.
    bool SigningCert(const TokenSet& set, CertInfo& cert);
    // The card's signature (DER for EC keys, raw for RSA) over `data` with `key` of `kind`.
    CK_RV Sign(CK_OBJECT_HANDLE key, KeyKind kind, const Bytes& data, Bytes& der);

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

    P11Config config_;
    std::vector<std::shared_ptr<Module>> modules_;
    Session session_;
    TokenRef opened_; // serial and label of the token OpenCard opened, kept while it is pulled out
    bool open_ = false;
    bool loggedIn_ = false; // the token session is logged in
    bool verified_ = false; // VerifyPassword succeeded since OpenCard (what signing asks, as on any card)
    // The PIN that opened this token, kept in memory only: the client's repeat path (CloseCard,
    // OpenCard, InitUpdate, WriteCard) never asks for it again, and a token wants a login to make keys
    // and write private objects. Offered only to the token with the same serial (a login, not a PIN
    // verification: signing still needs VerifyPassword); wiped on release and on a failed verification.
    // The typed PIN itself (in_.password) is wiped as soon as VerifyPassword has used it.
    std::string pin_, pinSerial_;
    // The management password InitUpdate accepted (GBK), to open the encryption key and keep the hash.
    std::string acceptedManagePassword_;

    card::WrittenProperties in_;
    // cardCert_: the signing certificate (PEM) behind cardInfo_'s dates.
    std::string cardInfo_, signature_, publicKey_, cryptAlgo_, cardCert_;
    std::string scratch_;
};

} // namespace rv::p11card
