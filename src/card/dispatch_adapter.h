// For card control plugins: offers a C++ control object through the C dispatch interface, and tells
// the kind of each member so a control can reject a call of the wrong kind the way the dispatch
// interface asks. The control type needs Invoke(int), GetInt(int, int32_t&), GetString(int, const
// std::string*&) and SetString(int, const std::string&), each returning an RV_DISP_* result.
#pragma once

#include "card/dispatch.h"
#include "card/dispids.h"

#include <cstdint>
#include <new>
#include <string.h>
#include <string>
#include <strings.h>

namespace rv::card {

enum class MemberKind { Unknown, Method, Status, TextOut, TextIn };

constexpr MemberKind KindOf(int id) {
    switch (id) {
    case dispid::OpenCard:
    case dispid::CloseCard:
    case dispid::ReadCardInfo:
    case dispid::VerifyPassword:
    case dispid::SignData:
    case dispid::InitUpdate:
    case dispid::WriteCard:
    case dispid::ReadCryptAlgo:
        return MemberKind::Method;
    case dispid::Status:
        return MemberKind::Status;
    case dispid::ErrorMessage:
    case dispid::CardInfo:
    case dispid::Signature:
    case dispid::PublicKey:
    case dispid::CryptAlgo:
    case dispid::CardCert:
        return MemberKind::TextOut;
    case dispid::Password:
    case dispid::SignSource:
    case dispid::SignCert:
    case dispid::EnvCert:
    case dispid::CssEnvKey:
    case dispid::CssSignKey:
    case dispid::KmsKey:
    case dispid::EnvData:
    case dispid::WriteManagePassword:
    case dispid::InitManagePassword:
        return MemberKind::TextIn;
    default:
        return MemberKind::Unknown;
    }
}

// The result for a call of kind `want` on member `id` that is not of that kind.
constexpr int WrongKind(int id) {
    return KindOf(id) == MemberKind::Unknown ? RV_DISP_UNKNOWN_MEMBER : RV_DISP_WRONG_TYPE;
}

// Class identifiers compare without regard to case, with or without braces.
inline bool ClsidMatches(const char* clsid, const char* ours) {
    auto bare = [](const char* c) {
        std::string s = c ? c : "";
        if (s.size() >= 2 && s.front() == '{' && s.back() == '}') {
            s = s.substr(1, s.size() - 2);
        }
        return s;
    };
    return strcasecmp(bare(clsid).c_str(), bare(ours).c_str()) == 0;
}

// The properties the client writes before a method, as a control keeps them (GBK, as written).
struct WrittenProperties {
    std::string password, signSource, initManagePassword, writeManagePassword;
    std::string signCert, envCert, cssEnvKey, cssSignKey, kmsKey, envData;

    // The string that member `id` writes; nullptr when `id` is no written property.
    std::string* Target(int id) {
        switch (id) {
        case dispid::Password:
            return &password;
        case dispid::SignSource:
            return &signSource;
        case dispid::SignCert:
            return &signCert;
        case dispid::EnvCert:
            return &envCert;
        case dispid::CssEnvKey:
            return &cssEnvKey;
        case dispid::CssSignKey:
            return &cssSignKey;
        case dispid::KmsKey:
            return &kmsKey;
        case dispid::EnvData:
            return &envData;
        case dispid::WriteManagePassword:
            return &writeManagePassword;
        case dispid::InitManagePassword:
            return &initManagePassword;
        default:
            return nullptr;
        }
    }
    bool IsSecret(const std::string* target) const {
        return target == &password || target == &initManagePassword || target == &writeManagePassword;
    }
};

template <typename Control> class DispatchAdapter : public RvDispatch {
public:
    static RvDispatch* Create() {
        auto* d = new (std::nothrow) DispatchAdapter;
        if (d) {
            d->vtbl = &kVtbl;
        }
        return d;
    }

private:
    static Control& Of(RvDispatch* self) { return static_cast<DispatchAdapter*>(self)->control_; }
    static int Invoke(RvDispatch* self, int id) { return Of(self).Invoke(id); }
    static int GetInt(RvDispatch* self, int id, int32_t* value) {
        return value ? Of(self).GetInt(id, *value) : RV_DISP_WRONG_TYPE;
    }
    static int GetString(RvDispatch* self, int id, const char** data, size_t* length) {
        if (!data || !length) {
            return RV_DISP_WRONG_TYPE;
        }
        const std::string* text = nullptr;
        int rc = Of(self).GetString(id, text);
        if (rc == RV_DISP_OK) {
            *data = text->c_str();
            *length = text->size();
        }
        return rc;
    }
    static int SetString(RvDispatch* self, int id, const char* data, size_t length) {
        std::string value = data ? std::string(data, length) : std::string();
        int rc = Of(self).SetString(id, value);
        // The copy may be a PIN or a password: wiped before its memory goes back to the heap.
        explicit_bzero(value.data(), value.size());
        return rc;
    }
    static void Release(RvDispatch* self) { delete static_cast<DispatchAdapter*>(self); }

    static constexpr RvDispatchVtbl kVtbl = {Invoke, GetInt, GetString, SetString, Release};
    Control control_;
};

} // namespace rv::card
