#include "card_control.h"

#include "card/dispatch.h"
#include "card/dispids.h"
#include "platform/codepage.h"
#include "platform/registry.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace rv::softcard {
namespace fs = std::filesystem;

namespace {

constexpr const char* kImageEnv = "RENVORA_CARD_IMAGE";
constexpr const char* kImageValue = "CardImage";

const char* MethodName(int id) {
    switch (id) {
    case dispid::OpenCard:
        return "OpenCard";
    case dispid::CloseCard:
        return "CloseCard";
    case dispid::ReadCardInfo:
        return "ReadCardInfo";
    case dispid::VerifyPassword:
        return "VerifyPassword";
    case dispid::SignData:
        return "SignData";
    case dispid::InitUpdate:
        return "InitUpdate";
    case dispid::WriteCard:
        return "WriteCard";
    case dispid::ReadCryptAlgo:
        return "ReadCryptAlgo";
    default:
        return nullptr;
    }
}

const char* OutputName(int id) {
    switch (id) {
    case dispid::CardInfo:
        return "CardInfo";
    case dispid::Signature:
        return "Signature";
    case dispid::PublicKey:
        return "PublicKey";
    case dispid::CryptAlgo:
        return "CryptAlgo";
    case dispid::CardCert:
        return "CardCert";
    default:
        return nullptr;
    }
}

void SleepMs(int ms) {
    if (ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

// The fault file's texts are UTF-8; the control speaks GBK.
std::string FaultText(const MethodFault& f) {
    return f.message.empty() ? std::string(text::kInjectedFault) : cp::Utf8ToGbk(f.message);
}

} // namespace

bool BuildCardRecord(const CardImage& image, std::string& recordGbk) {
    std::string from, to;
    if (!CertValidity(image.signCertPem, from, to)) {
        return false;
    }
    const HolderRecord& h = image.holder;
    const std::string* fields[] = {&h.certSeqNo, &h.applicantName, &h.idType,   &h.idNumber,
                                   &h.field5,    &h.cardNumber,    &h.unitName, &h.unitCode,
                                   &h.field9,    &h.raCode,        &h.cardType, &from,
                                   &to};
    std::string out;
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        if (i) {
            out += '|';
        }
        out += cp::Utf8ToGbk(*fields[i]);
    }
    recordGbk = std::move(out);
    return true;
}

fs::path SoftCardControl::ConfiguredImage() const {
    if (const char* env = std::getenv(kImageEnv); env && *env) {
        return fs::path(env);
    }
    if (auto v = reg::ReadValue(kCardControlKey, kImageValue); v && !v->empty()) {
        return fs::path(*v);
    }
    return {};
}

fs::path SoftCardControl::InsertedImage() const {
    fs::path base = ConfiguredImage();
    if (base.empty()) {
        return base;
    }
    FaultPlan plan;
    std::string ignored;
    if (LoadFaultPlan(FaultFileFor(base), plan, ignored) && !plan.swapImage.empty()) {
        fs::path swap(plan.swapImage);
        return swap.is_absolute() ? swap : base.parent_path() / swap;
    }
    return base;
}

void SoftCardControl::Succeed() {
    status_ = 0;
    error_.clear();
}

void SoftCardControl::Fail(int32_t status, const std::string& gbkText) {
    status_ = status;
    error_ = gbkText;
}

bool SoftCardControl::ApplyFaults(const std::string& name) {
    saveDelayMs_ = 0;
    fs::path base = ConfiguredImage();
    if (base.empty()) {
        return false;
    }
    fs::path faultFile = FaultFileFor(base);
    FaultPlan plan;
    std::string why;
    if (!LoadFaultPlan(faultFile, plan, why)) {
        // A broken fault file must be noticed, not silently ignored: the test or demo relies on it.
        Fail(-1, "IC卡故障设置文件无效：" + why);
        return true;
    }
    saveDelayMs_ = plan.saveDelayMs;
    if (auto it = plan.methods.find(name); it != plan.methods.end()) {
        SleepMs(it->second.delayMs);
    }
    MethodFault fired;
    bool changed = false;
    if (!TakeFailure(plan, name, fired, changed)) {
        return false;
    }
    if (changed && !SaveFaultPlan(faultFile, plan, why)) {
        Fail(-1, "IC卡故障设置文件无法更新：" + why);
        return true;
    }
    Fail(fired.status, FaultText(fired));
    return true;
}

bool SoftCardControl::LoadOpenCard(CardImage& image) {
    if (!open_) {
        Fail(-1, text::kNotOpen);
        return false;
    }
    fs::path now = InsertedImage();
    if (now.empty()) {
        open_ = verified_ = false;
        Fail(-1, text::kNoCard);
        return false;
    }
    if (now != openPath_) {
        open_ = verified_ = false;
        Fail(-1, text::kCardChanged);
        return false;
    }
    std::string why;
    std::error_code ec;
    if (!fs::exists(now, ec)) {
        open_ = verified_ = false;
        Fail(-1, text::kNoCard);
        return false;
    }
    if (!LoadCardImage(now, image, why)) {
        Fail(-1, std::string(text::kCardDamaged) + "（" + why + "）");
        return false;
    }
    return true;
}

bool SoftCardControl::Save(const CardImage& image) {
    std::string why;
    int delay = saveDelayMs_;
    if (!SaveCardImage(openPath_, image, why, [delay] { SleepMs(delay); })) {
        Fail(-1, std::string(text::kSaveFailed) + "（" + why + "）");
        return false;
    }
    return true;
}

// ---- Methods ----

void SoftCardControl::DoOpenCard() {
    open_ = verified_ = false;
    fs::path path = InsertedImage();
    std::error_code ec;
    if (path.empty() || !fs::exists(path, ec)) {
        Fail(-1, text::kNoCard);
        return;
    }
    // Writers that died in the middle of a write left their temp files (keys, the management password).
    RemoveStaleTempFiles(path);
    CardImage image;
    std::string why;
    if (!LoadCardImage(path, image, why)) {
        Fail(-1, std::string(text::kCardDamaged) + "（" + why + "）");
        return;
    }
    open_ = true;
    openPath_ = path;
    Succeed();
}

void SoftCardControl::DoCloseCard() {
    // Closing is always possible; the card keeps a pending key pair for a later WriteCard.
    open_ = verified_ = false;
    Succeed();
}

void SoftCardControl::DoVerifyPassword() {
    verified_ = false;
    CardImage image;
    if (!LoadOpenCard(image)) {
        return;
    }
    if (image.PinLocked()) {
        Fail(-1, text::kPinLocked);
        return;
    }
    if (in_.password.empty()) {
        Fail(-1, text::kPinEmpty);
        return;
    }
    if (PinMatches(image, in_.password)) {
        if (image.pin.wrongTries != 0) {
            image.pin.wrongTries = 0;
            if (!Save(image)) {
                return;
            }
        }
        verified_ = true;
        Succeed();
        return;
    }
    // The counter is on the card before the answer goes out, so a killed process cannot hand out
    // free guesses; when it cannot be stored, the try is refused all the same.
    ++image.pin.wrongTries;
    if (!Save(image)) {
        return;
    }
    if (image.PinLocked()) {
        Fail(-1, text::kPinNowLocked);
        return;
    }
    char buf[128];
    std::snprintf(buf, sizeof buf, text::kPinWrongFmt, image.PinTriesLeft());
    Fail(-1, buf);
}

void SoftCardControl::DoReadCardInfo() {
    cardInfo_.clear(); // never a stale answer after a failure
    cardCert_.clear();
    CardImage image;
    if (!LoadOpenCard(image)) {
        return;
    }
    std::string record;
    if (!BuildCardRecord(image, record)) {
        Fail(-1, text::kCertDamaged);
        return;
    }
    cardInfo_ = std::move(record);
    cardCert_ = image.signCertPem;
    Succeed();
}

void SoftCardControl::DoReadCryptAlgo() {
    cryptAlgo_.clear(); // never a stale answer after a failure
    CardImage image;
    if (!LoadOpenCard(image)) {
        return;
    }
    cryptAlgo_ = cp::Utf8ToGbk(image.cryptAlgo);
    Succeed();
}

void SoftCardControl::DoSignData() {
    signature_.clear(); // never a stale answer after a failure
    CardImage image;
    if (!LoadOpenCard(image)) {
        return;
    }
    if (!verified_) {
        Fail(-1, text::kNotVerified);
        return;
    }
    if (in_.signSource.empty()) {
        Fail(-1, text::kSignSourceEmpty);
        return;
    }
    std::string sig = SignSm2Sm3Base64(image.signKeyPem, in_.signSource);
    if (sig.empty()) {
        Fail(-1, text::kSignFailed);
        return;
    }
    signature_ = std::move(sig);
    Succeed();
}

void SoftCardControl::DoInitUpdate() {
    publicKey_.clear(); // never a stale answer after a failure
    CardImage image;
    if (!LoadOpenCard(image)) {
        return;
    }
    if (cp::GbkToUtf8(in_.initManagePassword) != image.managePassword || in_.initManagePassword.empty()) {
        Fail(-1, text::kManagePasswordWrong);
        return;
    }
    std::string pub;
    std::string key = GenerateSm2KeyPem(nullptr, &pub);
    if (key.empty()) {
        Fail(-1, text::kKeyGenFailed);
        return;
    }
    image.pendingKeyPem = key;
    if (!Save(image)) {
        return;
    }
    publicKey_ = std::move(pub);
    Succeed();
}

void SoftCardControl::DoWriteCard() {
    CardImage image;
    if (!LoadOpenCard(image)) {
        return;
    }
    if (image.pendingKeyPem.empty()) {
        Fail(1, text::kNoPendingKey);
        return;
    }
    std::string pending = PublicKeyPemOfKey(image.pendingKeyPem);
    std::string carried = PublicKeyPemOfCert(in_.signCert);
    if (pending.empty() || carried != pending) {
        Fail(1, text::kCertKeyMismatch);
        return;
    }
    if (in_.writeManagePassword.empty()) {
        Fail(-1, text::kNewManagePasswordEmpty);
        return;
    }
    image.written = {in_.signCert, in_.envCert, in_.cssEnvKey, in_.cssSignKey, in_.kmsKey, in_.envData};
    image.signKeyPem = image.pendingKeyPem;
    image.signCertPem = in_.signCert;
    image.pendingKeyPem.clear();
    image.managePassword = cp::GbkToUtf8(in_.writeManagePassword);
    if (!Save(image)) {
        return;
    }
    Succeed();
}

// ---- Dispatch ----

int SoftCardControl::Invoke(int id) {
    const char* name = MethodName(id);
    if (!name) {
        return OutputName(id) || id == dispid::Status || id == dispid::ErrorMessage ? RV_DISP_WRONG_TYPE
                                                                                    : RV_DISP_UNKNOWN_MEMBER;
    }
    if (ApplyFaults(name)) {
        return RV_DISP_OK;
    }
    switch (id) {
    case dispid::OpenCard:
        DoOpenCard();
        break;
    case dispid::CloseCard:
        DoCloseCard();
        break;
    case dispid::ReadCardInfo:
        DoReadCardInfo();
        break;
    case dispid::VerifyPassword:
        DoVerifyPassword();
        break;
    case dispid::SignData:
        DoSignData();
        break;
    case dispid::InitUpdate:
        DoInitUpdate();
        break;
    case dispid::WriteCard:
        DoWriteCard();
        break;
    case dispid::ReadCryptAlgo:
        DoReadCryptAlgo();
        break;
    }
    return RV_DISP_OK;
}

int SoftCardControl::GetInt(int id, int32_t& value) {
    if (id != dispid::Status) {
        return MethodName(id) || OutputName(id) || id == dispid::ErrorMessage ? RV_DISP_WRONG_TYPE
                                                                              : RV_DISP_UNKNOWN_MEMBER;
    }
    value = status_;
    return RV_DISP_OK;
}

int SoftCardControl::GetString(int id, const std::string*& value) {
    if (id == dispid::ErrorMessage) {
        scratch_ = error_;
        value = &scratch_;
        return RV_DISP_OK;
    }
    const char* name = OutputName(id);
    if (!name) {
        return MethodName(id) || id == dispid::Status ? RV_DISP_WRONG_TYPE : RV_DISP_UNKNOWN_MEMBER;
    }
    // A read can be made to fail (the client checks Status after reading the signature).
    if (ApplyFaults(name)) {
        scratch_.clear();
        value = &scratch_;
        return RV_DISP_OK;
    }
    switch (id) {
    case dispid::CardInfo:
        scratch_ = cardInfo_;
        break;
    case dispid::Signature:
        scratch_ = signature_;
        break;
    case dispid::PublicKey:
        scratch_ = publicKey_;
        break;
    case dispid::CryptAlgo:
        scratch_ = cryptAlgo_;
        break;
    case dispid::CardCert:
        scratch_ = cardCert_;
        break;
    }
    value = &scratch_;
    return RV_DISP_OK;
}

int SoftCardControl::SetString(int id, const std::string& value) {
    std::string* target = in_.Target(id);
    if (!target) {
        return card::WrongKind(id);
    }
    *target = value;
    return RV_DISP_OK;
}

} // namespace rv::softcard
