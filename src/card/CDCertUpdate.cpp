#include "card/CDCertUpdate.h"

#include "card/dispids.h"
#include "platform/blocking_call.h"
#include "platform/plugin.h"

namespace rv {
namespace {
constexpr const char* kNoControl = "IC卡控件未能创建，无法访问IC卡！";
constexpr const char* kCallRejected = "IC卡控件调用失败！";
} // namespace

RvDispatch* CreateControlByClsid(const std::string& clsid, std::string* whyNot) {
    auto factory =
        reinterpret_cast<RvCreateControlFn>(FindClassFactory(clsid, RV_CONTROL_FACTORY_SYMBOL, whyNot));
    if (!factory) {
        return nullptr;
    }
    RvDispatch* control = factory(clsid.c_str());
    if (!control || !control->vtbl) {
        if (whyNot) {
            *whyNot = "the library registered for " + clsid + " did not create it";
        }
        return nullptr;
    }
    return control;
}

// Every call into the control, its creation and its release go through RunBlocking: under the windowed
// client they all run on its one call thread, one at a time (the contract in card/dispatch.h).

CDCertUpdate::~CDCertUpdate() {
    if (control_) {
        RvDispatch* control = control_;
        RunBlocking([control] { control->vtbl->Release(control); });
    }
}

bool CDCertUpdate::Create(const std::string& clsid) {
    RvDispatch* created = nullptr;
    RunBlocking([&] { created = CreateControlByClsid(clsid); });
    Attach(created);
    return control_ != nullptr;
}

void CDCertUpdate::Attach(RvDispatch* control) {
    if (control_) {
        RvDispatch* old = control_;
        RunBlocking([old] { old->vtbl->Release(old); });
    }
    control_ = control;
    failed_ = false;
}

void CDCertUpdate::Fail(const char* text) {
    failed_ = true;
    failText_ = text;
}

void CDCertUpdate::InvokeMethod(int id) {
    if (!control_) {
        Fail(kNoControl);
        return;
    }
    int rc = RV_DISP_OK;
    RunBlocking([&] { rc = control_->vtbl->Invoke(control_, id); });
    failed_ = rc != RV_DISP_OK;
    if (failed_) {
        failText_ = kCallRejected;
    }
}

int32_t CDCertUpdate::GetIntProperty(int id) {
    if (!control_) {
        Fail(kNoControl);
        return -1;
    }
    if (id == dispid::Status && failed_) {
        return -1;
    }
    int32_t v = -1;
    int rc = RV_DISP_OK;
    RunBlocking([&] { rc = control_->vtbl->GetInt(control_, id, &v); });
    return rc == RV_DISP_OK ? v : -1;
}

std::string CDCertUpdate::GetStringProperty(int id) {
    if (!control_) {
        Fail(kNoControl);
        return id == dispid::ErrorMessage ? failText_ : std::string();
    }
    if (id == dispid::ErrorMessage && failed_) {
        return failText_;
    }
    // Copied on the calling thread of the control: the text is valid only until its next call.
    std::string text;
    RunBlocking([&] {
        const char* data = nullptr;
        std::size_t len = 0;
        if (control_->vtbl->GetString(control_, id, &data, &len) == RV_DISP_OK && data) {
            text.assign(data, len);
        }
    });
    return text;
}

void CDCertUpdate::SetStringProperty(int id, const std::string& value) {
    if (!control_) {
        Fail(kNoControl);
        return;
    }
    RunBlocking([&] { control_->vtbl->SetString(control_, id, value.data(), value.size()); });
}

void CDCertUpdate::OpenCard() {
    InvokeMethod(dispid::OpenCard);
}
void CDCertUpdate::CloseCard() {
    InvokeMethod(dispid::CloseCard);
}
void CDCertUpdate::ReadCardInfo() {
    InvokeMethod(dispid::ReadCardInfo);
}
void CDCertUpdate::VerifyPassword() {
    InvokeMethod(dispid::VerifyPassword);
}
void CDCertUpdate::SignData() {
    InvokeMethod(dispid::SignData);
}
void CDCertUpdate::InitUpdate() {
    InvokeMethod(dispid::InitUpdate);
}
void CDCertUpdate::WriteCard() {
    InvokeMethod(dispid::WriteCard);
}
void CDCertUpdate::ReadCryptAlgo() {
    InvokeMethod(dispid::ReadCryptAlgo);
}

int32_t CDCertUpdate::GetStatus() {
    return GetIntProperty(dispid::Status);
}
std::string CDCertUpdate::GetErrorMessage() {
    return GetStringProperty(dispid::ErrorMessage);
}
std::string CDCertUpdate::GetCardInfo() {
    return GetStringProperty(dispid::CardInfo);
}
std::string CDCertUpdate::GetSignature() {
    return GetStringProperty(dispid::Signature);
}
std::string CDCertUpdate::GetPublicKey() {
    return GetStringProperty(dispid::PublicKey);
}
std::string CDCertUpdate::GetCryptAlgo() {
    return GetStringProperty(dispid::CryptAlgo);
}
bool CDCertUpdate::GetCardCert(std::string& pem) {
    pem.clear();
    if (!control_) {
        return false;
    }
    const char* data = nullptr;
    std::size_t len = 0;
    const int rc = control_->vtbl->GetString(control_, dispid::CardCert, &data, &len);
    if (rc == RV_DISP_OK && data) {
        pem.assign(data, len);
    }
    return rc == RV_DISP_OK;
}

void CDCertUpdate::SetPassword(const std::string& v) {
    SetStringProperty(dispid::Password, v);
}
void CDCertUpdate::SetSignSource(const std::string& v) {
    SetStringProperty(dispid::SignSource, v);
}
void CDCertUpdate::SetSignCert(const std::string& v) {
    SetStringProperty(dispid::SignCert, v);
}
void CDCertUpdate::SetEnvCert(const std::string& v) {
    SetStringProperty(dispid::EnvCert, v);
}
void CDCertUpdate::SetCssEnvKey(const std::string& v) {
    SetStringProperty(dispid::CssEnvKey, v);
}
void CDCertUpdate::SetCssSignKey(const std::string& v) {
    SetStringProperty(dispid::CssSignKey, v);
}
void CDCertUpdate::SetKmsKey(const std::string& v) {
    SetStringProperty(dispid::KmsKey, v);
}
void CDCertUpdate::SetEnvData(const std::string& v) {
    SetStringProperty(dispid::EnvData, v);
}
void CDCertUpdate::SetWriteManagePassword(const std::string& v) {
    SetStringProperty(dispid::WriteManagePassword, v);
}
void CDCertUpdate::SetInitManagePassword(const std::string& v) {
    SetStringProperty(dispid::InitManagePassword, v);
}

} // namespace rv
