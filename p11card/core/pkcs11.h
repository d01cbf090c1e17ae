// The PKCS#11 layer of the token card: modules loaded and initialised through p11-kit (which also
// coordinates initialisation with any other user of the same module in the process), the tokens they
// offer, and a session with the few object operations the card needs. Texts are GBK.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rv::p11card {

using Bytes = std::string; // raw attribute bytes

// "CKR_PIN_INCORRECT" and the like, for every result the standard names; hex for others.
std::string RvName(CK_RV rv);
// What a refusal means to the card's holder, in a few Chinese words (GBK).
std::string RvReason(CK_RV rv);
// RvReason and RvName together, for the texts a holder reads and an operator looks up.
std::string RvText(CK_RV rv);
// The stderr line for an operator: which call the module refused and the result by name.
void ReportRefusal(const char* call, CK_RV rv, const std::string& module);
// True for the results that mean the token (or its reader) is gone or the session with it ended.
bool IsTokenGone(CK_RV rv);
// True for the results with which a module turns down a template (an attribute it does not take).
bool RefusesTemplate(CK_RV rv);

// One module, loaded and initialised; finalised and unloaded with the last reference.
class Module {
public:
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    CK_FUNCTION_LIST* fn() const { return fn_; }
    const std::string& name() const { return name_; }

    // `which` module: a library path (holds a '/'; a bare "NAME.so" is looked up in p11-kit's module folder),
    // a p11-kit module name, or "" for every module the system registers with p11-kit. False with a GBK
    // reason that names the module; modules that load but fail to initialise are skipped when `which` is ""
    // and an error otherwise.
    static bool Load(const std::string& which, std::vector<std::shared_ptr<Module>>& out, std::string& error);

private:
    Module(CK_FUNCTION_LIST* fn, std::string name) : fn_(fn), name_(std::move(name)) {}
    CK_FUNCTION_LIST* fn_;
    std::string name_;
};

struct TokenRef {
    std::shared_ptr<Module> module;
    CK_SLOT_ID slot = 0;
    std::string label;  // trailing blanks removed
    std::string serial; // trailing blanks removed
    CK_FLAGS flags = 0;
    CK_ULONG minPin = 0, maxPin = 0;
    // Free memory as the token reports it (CK_UNAVAILABLE_INFORMATION when it does not).
    CK_ULONG freePublic = CK_UNAVAILABLE_INFORMATION, freePrivate = CK_UNAVAILABLE_INFORMATION;
};

// The initialised tokens of `modules`, in module and slot order.
std::vector<TokenRef> ListTokens(const std::vector<std::shared_ptr<Module>>& modules);
// The current flags and PIN limits of a token (the PIN flags change with wrong tries). False when gone.
bool RefreshTokenInfo(TokenRef& token);

// A read-write session with one token; closed on destruction.
class Session {
public:
    Session() = default;
    ~Session() { Close(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    CK_RV Open(const TokenRef& token, bool readWrite = true);
    void Close();
    bool IsOpen() const { return handle_ != CK_INVALID_HANDLE; }
    CK_FUNCTION_LIST* fn() const { return token_.module ? token_.module->fn() : nullptr; }
    CK_SESSION_HANDLE handle() const { return handle_; }
    const TokenRef& token() const { return token_; }

    // `pinGbk` as the client holds it; PKCS#11 PINs are UTF-8, so it is converted on the way.
    // CKR_USER_ALREADY_LOGGED_IN counts as success only when `alreadyOk`.
    CK_RV Login(const std::string& pinGbk, bool alreadyOk = true);
    void Logout();
    // CKR_OK while the session is usable.
    CK_RV Check() const;

    // Every object matching `tmpl` (bounded only against a module that never ends the search).
    CK_RV Find(std::vector<CK_ATTRIBUTE> tmpl, std::vector<CK_OBJECT_HANDLE>& out) const;
    // One attribute's bytes; false when the object lacks it or it cannot be read.
    bool Attr(CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_TYPE type, Bytes& out) const;
    bool UlongAttr(CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_TYPE type, CK_ULONG& out) const;
    CK_RV Create(std::vector<CK_ATTRIBUTE> tmpl, CK_OBJECT_HANDLE& out) const;
    // A token object from `tmpl` (which says CKA_TOKEN = TRUE and CKA_MODIFIABLE = FALSE), created on the
    // token directly: card modules commonly offer neither session objects nor C_CopyObject. A module that
    // does not take CKA_MODIFIABLE in a template gets the object without it (its objects then are as
    // modifiable as the module makes them).
    CK_RV CreateOnToken(std::vector<CK_ATTRIBUTE> tmpl, CK_OBJECT_HANDLE& out) const;
    CK_RV Destroy(CK_OBJECT_HANDLE obj) const;
    CK_RV GenerateKeyPair(CK_MECHANISM_TYPE mech, std::vector<CK_ATTRIBUTE> pub,
                          std::vector<CK_ATTRIBUTE> priv, CK_OBJECT_HANDLE& pubOut,
                          CK_OBJECT_HANDLE& privOut) const;
    CK_RV Sign(CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mech, const Bytes& data, Bytes& out) const;
    bool HasMechanism(CK_MECHANISM_TYPE mech) const;
    // The module's word on a mechanism; false when it does not offer it.
    bool MechanismInfo(CK_MECHANISM_TYPE mech, CK_MECHANISM_INFO& info) const;

private:
    TokenRef token_;
    CK_SESSION_HANDLE handle_ = CK_INVALID_HANDLE;
    mutable std::vector<CK_MECHANISM_TYPE> mechanisms_;
    mutable bool mechanismsRead_ = false;
};

// Attribute builders for templates (the values must outlive the call that uses the template).
CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, const void* value, std::size_t size);
CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, const std::string& value);
CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, const CK_BBOOL& value);
CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, const CK_ULONG& value);

inline constexpr CK_BBOOL kTrue = CK_TRUE;
inline constexpr CK_BBOOL kFalse = CK_FALSE;

} // namespace rv::p11card
