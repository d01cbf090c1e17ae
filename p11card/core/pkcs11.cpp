#include "pkcs11.h"

#include "platform/codepage.h"

#include <openssl/crypto.h>
#include <p11-kit/p11-kit.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace rv::p11card {
namespace {

// Bounds a search only against a module that never stops returning objects; a full token's objects
// are all read, so none of ours is missed.
constexpr std::size_t kMaxObjects = 1u << 16;
// Far above any signature (RSA 16384: 2 KB); one call with this buffer signs and ends the operation.
constexpr CK_ULONG kSignatureBuffer = 8192;
constexpr CK_ULONG kMaxSlots = 64;
// An attribute larger than this (a certificate is ~1 KB) is not one of ours.
constexpr CK_ULONG kMaxAttribute = 1u << 20;

std::string Trimmed(const unsigned char* p, std::size_t n) {
    std::string s(reinterpret_cast<const char*>(p), n);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) {
        s.pop_back();
    }
    return s;
}

std::string ModuleName(CK_FUNCTION_LIST* fn, const std::string& fallback) {
    char* name = p11_kit_module_get_name(fn);
    std::string out = name ? name : fallback;
    std::free(name);
    return out;
}

// p11-kit's last message (UTF-8), as GBK.
std::string P11KitReason() {
    const char* m = p11_kit_message();
    return m && *m ? cp::Utf8ToGbk(m) : "";
}

} // namespace

std::string RvName(CK_RV rv) {
    switch (rv) {
    case CKR_OK:
        return "CKR_OK";
    case CKR_GENERAL_ERROR:
        return "CKR_GENERAL_ERROR";
    case CKR_FUNCTION_FAILED:
        return "CKR_FUNCTION_FAILED";
    case CKR_ARGUMENTS_BAD:
        return "CKR_ARGUMENTS_BAD";
    case CKR_DEVICE_ERROR:
        return "CKR_DEVICE_ERROR";
    case CKR_DEVICE_MEMORY:
        return "CKR_DEVICE_MEMORY";
    case CKR_DEVICE_REMOVED:
        return "CKR_DEVICE_REMOVED";
    case CKR_TOKEN_NOT_PRESENT:
        return "CKR_TOKEN_NOT_PRESENT";
    case CKR_TOKEN_NOT_RECOGNIZED:
        return "CKR_TOKEN_NOT_RECOGNIZED";
    case CKR_TOKEN_WRITE_PROTECTED:
        return "CKR_TOKEN_WRITE_PROTECTED";
    case CKR_SESSION_HANDLE_INVALID:
        return "CKR_SESSION_HANDLE_INVALID";
    case CKR_SESSION_CLOSED:
        return "CKR_SESSION_CLOSED";
    case CKR_PIN_INCORRECT:
        return "CKR_PIN_INCORRECT";
    case CKR_PIN_LEN_RANGE:
        return "CKR_PIN_LEN_RANGE";
    case CKR_PIN_LOCKED:
        return "CKR_PIN_LOCKED";
    case CKR_USER_NOT_LOGGED_IN:
        return "CKR_USER_NOT_LOGGED_IN";
    case CKR_MECHANISM_INVALID:
        return "CKR_MECHANISM_INVALID";
    case CKR_TEMPLATE_INCONSISTENT:
        return "CKR_TEMPLATE_INCONSISTENT";
    case CKR_TEMPLATE_INCOMPLETE:
        return "CKR_TEMPLATE_INCOMPLETE";
    case CKR_ATTRIBUTE_VALUE_INVALID:
        return "CKR_ATTRIBUTE_VALUE_INVALID";
    case CKR_CRYPTOKI_NOT_INITIALIZED:
        return "CKR_CRYPTOKI_NOT_INITIALIZED";
    case CKR_HOST_MEMORY:
        return "CKR_HOST_MEMORY";
    default: {
        char buf[32];
        std::snprintf(buf, sizeof buf, "CKR 0x%08lX", static_cast<unsigned long>(rv));
        return buf;
    }
    }
}

bool IsTokenGone(CK_RV rv) {
    return rv == CKR_DEVICE_REMOVED || rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_SESSION_HANDLE_INVALID ||
           rv == CKR_SESSION_CLOSED || rv == CKR_SLOT_ID_INVALID || rv == CKR_TOKEN_NOT_RECOGNIZED;
}

Module::~Module() {
    p11_kit_module_finalize(fn_);
    p11_kit_module_release(fn_);
}

bool Module::Load(const std::string& which, std::vector<std::shared_ptr<Module>>& out, std::string& error) {
    out.clear();
    if (which.empty()) {
        // Every module the system registers: what the p11-kit proxy would offer, minus the proxy.
        CK_FUNCTION_LIST** list = p11_kit_modules_load_and_initialize(0);
        if (!list) {
            error = "无法加载系统登记的PKCS#11模块（" + P11KitReason() + "）";
            return false;
        }
        for (CK_FUNCTION_LIST** p = list; *p; ++p) {
            out.push_back(std::shared_ptr<Module>(new Module(*p, ModuleName(*p, "?"))));
        }
        std::free(list); // the modules now belong to `out`
        return true;
    }
    CK_FUNCTION_LIST* fn = nullptr;
    bool isFile = which.find('/') != std::string::npos ||
                  (which.size() > 3 && which.compare(which.size() - 3, 3, ".so") == 0);
    if (isFile) {
        // A bare file name is looked up in p11-kit's module folder.
        fn = p11_kit_module_load(which.c_str(), 0);
        if (!fn) {
            std::string why = P11KitReason();
            error = "无法加载PKCS#11模块 " + cp::Utf8ToGbk(which) + (why.empty() ? "" : "（" + why + "）");
            return false;
        }
    } else {
        CK_FUNCTION_LIST** list = p11_kit_modules_load(nullptr, 0);
        fn = list ? p11_kit_module_for_name(list, which.c_str()) : nullptr;
        for (CK_FUNCTION_LIST** p = list; p && *p; ++p) {
            if (*p != fn) {
                p11_kit_module_release(*p);
            }
        }
        std::free(list);
        if (!fn) {
            error = "系统中没有登记名为 " + cp::Utf8ToGbk(which) + " 的PKCS#11模块";
            return false;
        }
    }
    std::string name = ModuleName(fn, which);
    CK_RV rv = p11_kit_module_initialize(fn);
    if (rv != CKR_OK) {
        p11_kit_module_release(fn);
        error = "PKCS#11模块 " + cp::Utf8ToGbk(name) + " 初始化失败（" + RvName(rv) + "）";
        return false;
    }
    std::shared_ptr<Module> module(new Module(fn, name));
    out.push_back(std::move(module));
    return true;
}

std::vector<TokenRef> ListTokens(const std::vector<std::shared_ptr<Module>>& modules) {
    std::vector<TokenRef> tokens;
    for (const auto& m : modules) {
        CK_SLOT_ID slots[kMaxSlots];
        CK_ULONG count = kMaxSlots;
        if (m->fn()->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK) {
            continue;
        }
        for (CK_ULONG i = 0; i < count && i < kMaxSlots; ++i) {
            TokenRef t;
            t.module = m;
            t.slot = slots[i];
            if (RefreshTokenInfo(t) && (t.flags & CKF_TOKEN_INITIALIZED)) {
                tokens.push_back(std::move(t));
            }
        }
    }
    return tokens;
}

bool RefreshTokenInfo(TokenRef& t) {
    CK_TOKEN_INFO info{};
    if (t.module->fn()->C_GetTokenInfo(t.slot, &info) != CKR_OK) {
        return false;
    }
    t.label = Trimmed(info.label, sizeof info.label);
    t.serial = Trimmed(info.serialNumber, sizeof info.serialNumber);
    t.flags = info.flags;
    t.minPin = info.ulMinPinLen;
    t.maxPin = info.ulMaxPinLen;
    return true;
}

CK_RV Session::Open(const TokenRef& token, bool readWrite) {
    Close();
    token_ = token;
    CK_FLAGS flags = CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0);
    CK_SESSION_HANDLE h = CK_INVALID_HANDLE;
    CK_RV rv = fn()->C_OpenSession(token.slot, flags, nullptr, nullptr, &h);
    if (rv == CKR_OK) {
        handle_ = h;
    }
    mechanismsRead_ = false;
    return rv;
}

void Session::Close() {
    if (handle_ != CK_INVALID_HANDLE) {
        fn()->C_CloseSession(handle_);
        handle_ = CK_INVALID_HANDLE;
    }
    token_ = TokenRef{}; // a closed session keeps no module loaded
}

CK_RV Session::Login(const std::string& pinGbk, bool alreadyOk) {
    std::string pin = cp::GbkToUtf8(pinGbk);
    CK_RV rv = fn()->C_Login(handle_, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size());
    OPENSSL_cleanse(pin.data(), pin.size());
    return rv == CKR_USER_ALREADY_LOGGED_IN && alreadyOk ? CKR_OK : rv;
}

void Session::Logout() {
    if (handle_ != CK_INVALID_HANDLE) {
        fn()->C_Logout(handle_);
    }
}

CK_RV Session::Check() const {
    if (handle_ == CK_INVALID_HANDLE) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    CK_SESSION_INFO info{};
    return fn()->C_GetSessionInfo(handle_, &info);
}

CK_RV Session::Find(std::vector<CK_ATTRIBUTE> tmpl, std::vector<CK_OBJECT_HANDLE>& out) const {
    out.clear();
    CK_RV rv = fn()->C_FindObjectsInit(handle_, tmpl.data(), tmpl.size());
    if (rv != CKR_OK) {
        return rv;
    }
    CK_OBJECT_HANDLE batch[64];
    for (;;) {
        CK_ULONG n = 0;
        rv = fn()->C_FindObjects(handle_, batch, 64, &n);
        if (rv != CKR_OK || n == 0) {
            break;
        }
        out.insert(out.end(), batch, batch + std::min<CK_ULONG>(n, 64));
        if (out.size() >= kMaxObjects) {
            break;
        }
    }
    fn()->C_FindObjectsFinal(handle_);
    return rv;
}

bool Session::Attr(CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_TYPE type, Bytes& out) const {
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (fn()->C_GetAttributeValue(handle_, obj, &a, 1) != CKR_OK ||
        a.ulValueLen == CK_UNAVAILABLE_INFORMATION || a.ulValueLen > kMaxAttribute) {
        return false;
    }
    out.assign(a.ulValueLen, '\0');
    a.pValue = out.data();
    if (fn()->C_GetAttributeValue(handle_, obj, &a, 1) != CKR_OK) {
        return false;
    }
    out.resize(a.ulValueLen);
    return true;
}

bool Session::UlongAttr(CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_TYPE type, CK_ULONG& out) const {
    CK_ULONG v = 0;
    CK_ATTRIBUTE a{type, &v, sizeof v};
    if (fn()->C_GetAttributeValue(handle_, obj, &a, 1) != CKR_OK || a.ulValueLen != sizeof v) {
        return false;
    }
    out = v;
    return true;
}

CK_RV Session::Create(std::vector<CK_ATTRIBUTE> tmpl, CK_OBJECT_HANDLE& out) const {
    return fn()->C_CreateObject(handle_, tmpl.data(), tmpl.size(), &out);
}

CK_RV Session::MoveToToken(CK_OBJECT_HANDLE obj, CK_OBJECT_HANDLE& out, bool lock) const {
    CK_BBOOL onToken = CK_TRUE, modifiable = CK_FALSE;
    CK_ATTRIBUTE copy[] = {{CKA_TOKEN, &onToken, sizeof onToken},
                           {CKA_MODIFIABLE, &modifiable, sizeof modifiable}};
    CK_RV rv = fn()->C_CopyObject(handle_, obj, copy, lock ? 2 : 1, &out);
    if (rv == CKR_OK) {
        fn()->C_DestroyObject(handle_, obj);
    }
    return rv;
}

CK_RV Session::CreateOnToken(std::vector<CK_ATTRIBUTE> tmpl, CK_OBJECT_HANDLE& out) const {
    // The session object stays modifiable (a copy may not change a locked object); the copy is locked.
    CK_BBOOL inSession = CK_FALSE, modifiable = CK_TRUE;
    bool lock = false;
    std::vector<CK_ATTRIBUTE> session = tmpl;
    for (CK_ATTRIBUTE& a : session) {
        if (a.type == CKA_TOKEN) {
            a.pValue = &inSession;
        } else if (a.type == CKA_MODIFIABLE && a.pValue && *static_cast<CK_BBOOL*>(a.pValue) == CK_FALSE) {
            a.pValue = &modifiable;
            lock = true;
        }
    }
    CK_OBJECT_HANDLE tmp = CK_INVALID_HANDLE;
    CK_RV rv = Create(session, tmp);
    if (rv == CKR_OK) {
        rv = MoveToToken(tmp, out, lock);
        if (rv == CKR_OK || IsTokenGone(rv)) {
            return rv;
        }
        fn()->C_DestroyObject(handle_, tmp);
    } else if (IsTokenGone(rv)) {
        return rv;
    }
    // A token without session objects or copies: created on the token directly.
    return Create(std::move(tmpl), out);
}

CK_RV Session::Destroy(CK_OBJECT_HANDLE obj) const {
    return fn()->C_DestroyObject(handle_, obj);
}

CK_RV Session::GenerateKeyPair(CK_MECHANISM_TYPE mech, std::vector<CK_ATTRIBUTE> pub,
                               std::vector<CK_ATTRIBUTE> priv, CK_OBJECT_HANDLE& pubOut,
                               CK_OBJECT_HANDLE& privOut) const {
    CK_MECHANISM m{mech, nullptr, 0};
    return fn()->C_GenerateKeyPair(handle_, &m, pub.data(), pub.size(), priv.data(), priv.size(), &pubOut,
                                   &privOut);
}

CK_RV Session::Sign(CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mech, const Bytes& data, Bytes& out) const {
    CK_MECHANISM m{mech, nullptr, 0};
    CK_RV rv = fn()->C_SignInit(handle_, &m, key);
    if (rv != CKR_OK) {
        return rv;
    }
    // No length query first: a C_Sign without a buffer only tells the length and leaves the operation
    // active. One call with a buffer larger than any signature signs and ends it.
    auto* in = reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(data.data()));
    out.assign(kSignatureBuffer, '\0');
    CK_ULONG len = kSignatureBuffer;
    rv = fn()->C_Sign(handle_, in, data.size(), reinterpret_cast<CK_BYTE_PTR>(out.data()), &len);
    if (rv == CKR_BUFFER_TOO_SMALL && len > kSignatureBuffer && len <= kMaxAttribute) {
        // Still active after this answer: signed again into a buffer of the size the module asks for. (A
        // module asking for more than any signature is broken; its operation lasts as long as the session.)
        out.assign(len, '\0');
        rv = fn()->C_Sign(handle_, in, data.size(), reinterpret_cast<CK_BYTE_PTR>(out.data()), &len);
    }
    out.resize(rv == CKR_OK ? std::min<CK_ULONG>(len, out.size()) : 0);
    return rv;
}

bool Session::HasMechanism(CK_MECHANISM_TYPE mech) const {
    if (!mechanismsRead_) {
        mechanismsRead_ = true;
        mechanisms_.clear();
        CK_ULONG n = 0;
        if (fn()->C_GetMechanismList(token_.slot, nullptr, &n) == CKR_OK && n > 0 && n < 4096) {
            mechanisms_.resize(n);
            if (fn()->C_GetMechanismList(token_.slot, mechanisms_.data(), &n) == CKR_OK) {
                mechanisms_.resize(std::min<CK_ULONG>(n, mechanisms_.size()));
            } else {
                mechanisms_.clear();
            }
        }
    }
    return std::find(mechanisms_.begin(), mechanisms_.end(), mech) != mechanisms_.end();
}

CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, const void* value, std::size_t size) {
    return CK_ATTRIBUTE{type, const_cast<void*>(value), size};
}
CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, const std::string& value) {
    return Attr(type, value.data(), value.size());
}
CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, const CK_BBOOL& value) {
    return Attr(type, &value, sizeof value);
}
CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, const CK_ULONG& value) {
    return Attr(type, &value, sizeof value);
}

} // namespace rv::p11card
