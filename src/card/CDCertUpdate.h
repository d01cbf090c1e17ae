// Wrapper of the hosted card control: one thin operation per member, reached by DISPID.
// With no control behind it (creation failed), every method leaves a non-zero Status and a clear
// ErrorMessage, so callers fail like on any card error instead of crashing.
#pragma once

#include "card/dispatch.h"

#include <cstdint>
#include <string>

namespace rv {

// Creates a card control by its class identifier: the registered library's factory
// (RV_CONTROL_FACTORY_SYMBOL) through the platform's class loader. nullptr with a reason in `whyNot`.
RvDispatch* CreateControlByClsid(const std::string& clsid, std::string* whyNot = nullptr);

class CDCertUpdate {
public:
    CDCertUpdate() = default;
    ~CDCertUpdate();
    CDCertUpdate(const CDCertUpdate&) = delete;
    CDCertUpdate& operator=(const CDCertUpdate&) = delete;

    // Creates the control by its class identifier through the plugin loader. False when it cannot be
    // created; the wrapper then stays empty.
    bool Create(const std::string& clsid);
    // Takes ownership of an existing control (tests use doubles behind the same interface).
    void Attach(RvDispatch* control);
    bool HasControl() const { return control_ != nullptr; }

    // Methods.
    void OpenCard();
    void CloseCard();
    void ReadCardInfo();
    void VerifyPassword();
    void SignData();
    void InitUpdate();
    void WriteCard();
    void ReadCryptAlgo();

    // Properties read.
    int32_t GetStatus();
    std::string GetErrorMessage();
    std::string GetCardInfo();
    std::string GetSignature();
    std::string GetPublicKey();
    std::string GetCryptAlgo();
    // The optional member CardCert: false when the control does not offer it (or there is no control).
    bool GetCardCert(std::string& pem);

    // Properties written.
    void SetPassword(const std::string& v);
    void SetSignSource(const std::string& v);
    void SetSignCert(const std::string& v);
    void SetEnvCert(const std::string& v);
    void SetCssEnvKey(const std::string& v);
    void SetCssSignKey(const std::string& v);
    void SetKmsKey(const std::string& v);
    void SetEnvData(const std::string& v);
    void SetWriteManagePassword(const std::string& v);
    void SetInitManagePassword(const std::string& v);

    // Generic access by DISPID.
    void InvokeMethod(int dispid);
    int32_t GetIntProperty(int dispid);
    std::string GetStringProperty(int dispid);
    void SetStringProperty(int dispid, const std::string& value);

private:
    void Fail(const char* text);

    RvDispatch* control_ = nullptr;
    // Set when there is no control or the control rejected a call: Status reads -1 and ErrorMessage
    // this text until the next successful method call.
    bool failed_ = false;
    std::string failText_;
};

} // namespace rv
