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
    // Every result the standard names (PKCS#11 3.0, as p11-kit's header has them).
    static const std::pair<CK_RV, const char*> kNames[] = {
        {CKR_OK, "CKR_OK"},
        {CKR_CANCEL, "CKR_CANCEL"},
        {CKR_HOST_MEMORY, "CKR_HOST_MEMORY"},
        {CKR_SLOT_ID_INVALID, "CKR_SLOT_ID_INVALID"},
        {CKR_GENERAL_ERROR, "CKR_GENERAL_ERROR"},
        {CKR_FUNCTION_FAILED, "CKR_FUNCTION_FAILED"},
        {CKR_ARGUMENTS_BAD, "CKR_ARGUMENTS_BAD"},
        {CKR_NO_EVENT, "CKR_NO_EVENT"},
        {CKR_NEED_TO_CREATE_THREADS, "CKR_NEED_TO_CREATE_THREADS"},
        {CKR_CANT_LOCK, "CKR_CANT_LOCK"},
        {CKR_ATTRIBUTE_READ_ONLY, "CKR_ATTRIBUTE_READ_ONLY"},
        {CKR_ATTRIBUTE_SENSITIVE, "CKR_ATTRIBUTE_SENSITIVE"},
        {CKR_ATTRIBUTE_TYPE_INVALID, "CKR_ATTRIBUTE_TYPE_INVALID"},
        {CKR_ATTRIBUTE_VALUE_INVALID, "CKR_ATTRIBUTE_VALUE_INVALID"},
        {CKR_ACTION_PROHIBITED, "CKR_ACTION_PROHIBITED"},
        {CKR_DATA_INVALID, "CKR_DATA_INVALID"},
        {CKR_DATA_LEN_RANGE, "CKR_DATA_LEN_RANGE"},
        {CKR_DEVICE_ERROR, "CKR_DEVICE_ERROR"},
        {CKR_DEVICE_MEMORY, "CKR_DEVICE_MEMORY"},
        {CKR_DEVICE_REMOVED, "CKR_DEVICE_REMOVED"},
        {CKR_ENCRYPTED_DATA_INVALID, "CKR_ENCRYPTED_DATA_INVALID"},
        {CKR_ENCRYPTED_DATA_LEN_RANGE, "CKR_ENCRYPTED_DATA_LEN_RANGE"},
        {CKR_FUNCTION_CANCELED, "CKR_FUNCTION_CANCELED"},
        {CKR_FUNCTION_NOT_PARALLEL, "CKR_FUNCTION_NOT_PARALLEL"},
        {CKR_FUNCTION_NOT_SUPPORTED, "CKR_FUNCTION_NOT_SUPPORTED"},
        {CKR_KEY_HANDLE_INVALID, "CKR_KEY_HANDLE_INVALID"},
        {CKR_KEY_SIZE_RANGE, "CKR_KEY_SIZE_RANGE"},
        {CKR_KEY_TYPE_INCONSISTENT, "CKR_KEY_TYPE_INCONSISTENT"},
        {CKR_KEY_NOT_NEEDED, "CKR_KEY_NOT_NEEDED"},
        {CKR_KEY_CHANGED, "CKR_KEY_CHANGED"},
        {CKR_KEY_NEEDED, "CKR_KEY_NEEDED"},
        {CKR_KEY_INDIGESTIBLE, "CKR_KEY_INDIGESTIBLE"},
        {CKR_KEY_FUNCTION_NOT_PERMITTED, "CKR_KEY_FUNCTION_NOT_PERMITTED"},
        {CKR_KEY_NOT_WRAPPABLE, "CKR_KEY_NOT_WRAPPABLE"},
        {CKR_KEY_UNEXTRACTABLE, "CKR_KEY_UNEXTRACTABLE"},
        {CKR_MECHANISM_INVALID, "CKR_MECHANISM_INVALID"},
        {CKR_MECHANISM_PARAM_INVALID, "CKR_MECHANISM_PARAM_INVALID"},
        {CKR_OBJECT_HANDLE_INVALID, "CKR_OBJECT_HANDLE_INVALID"},
        {CKR_OPERATION_ACTIVE, "CKR_OPERATION_ACTIVE"},
        {CKR_OPERATION_NOT_INITIALIZED, "CKR_OPERATION_NOT_INITIALIZED"},
        {CKR_PIN_INCORRECT, "CKR_PIN_INCORRECT"},
        {CKR_PIN_INVALID, "CKR_PIN_INVALID"},
        {CKR_PIN_LEN_RANGE, "CKR_PIN_LEN_RANGE"},
        {CKR_PIN_EXPIRED, "CKR_PIN_EXPIRED"},
        {CKR_PIN_LOCKED, "CKR_PIN_LOCKED"},
        {CKR_SESSION_CLOSED, "CKR_SESSION_CLOSED"},
        {CKR_SESSION_COUNT, "CKR_SESSION_COUNT"},
        {CKR_SESSION_HANDLE_INVALID, "CKR_SESSION_HANDLE_INVALID"},
        {CKR_SESSION_PARALLEL_NOT_SUPPORTED, "CKR_SESSION_PARALLEL_NOT_SUPPORTED"},
        {CKR_SESSION_READ_ONLY, "CKR_SESSION_READ_ONLY"},
        {CKR_SESSION_EXISTS, "CKR_SESSION_EXISTS"},
        {CKR_SESSION_READ_ONLY_EXISTS, "CKR_SESSION_READ_ONLY_EXISTS"},
        {CKR_SESSION_READ_WRITE_SO_EXISTS, "CKR_SESSION_READ_WRITE_SO_EXISTS"},
        {CKR_SIGNATURE_INVALID, "CKR_SIGNATURE_INVALID"},
        {CKR_SIGNATURE_LEN_RANGE, "CKR_SIGNATURE_LEN_RANGE"},
        {CKR_TEMPLATE_INCOMPLETE, "CKR_TEMPLATE_INCOMPLETE"},
        {CKR_TEMPLATE_INCONSISTENT, "CKR_TEMPLATE_INCONSISTENT"},
        {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT"},
        {CKR_TOKEN_NOT_RECOGNIZED, "CKR_TOKEN_NOT_RECOGNIZED"},
        {CKR_TOKEN_WRITE_PROTECTED, "CKR_TOKEN_WRITE_PROTECTED"},
        {CKR_UNWRAPPING_KEY_SIZE_RANGE, "CKR_UNWRAPPING_KEY_SIZE_RANGE"},
        {CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT, "CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT"},
        {CKR_USER_ALREADY_LOGGED_IN, "CKR_USER_ALREADY_LOGGED_IN"},
        {CKR_USER_NOT_LOGGED_IN, "CKR_USER_NOT_LOGGED_IN"},
        {CKR_USER_PIN_NOT_INITIALIZED, "CKR_USER_PIN_NOT_INITIALIZED"},
        {CKR_USER_TYPE_INVALID, "CKR_USER_TYPE_INVALID"},
        {CKR_USER_ANOTHER_ALREADY_LOGGED_IN, "CKR_USER_ANOTHER_ALREADY_LOGGED_IN"},
        {CKR_USER_TOO_MANY_TYPES, "CKR_USER_TOO_MANY_TYPES"},
        {CKR_WRAPPED_KEY_INVALID, "CKR_WRAPPED_KEY_INVALID"},
        {CKR_WRAPPED_KEY_LEN_RANGE, "CKR_WRAPPED_KEY_LEN_RANGE"},
        {CKR_WRAPPING_KEY_HANDLE_INVALID, "CKR_WRAPPING_KEY_HANDLE_INVALID"},
        {CKR_WRAPPING_KEY_SIZE_RANGE, "CKR_WRAPPING_KEY_SIZE_RANGE"},
        {CKR_WRAPPING_KEY_TYPE_INCONSISTENT, "CKR_WRAPPING_KEY_TYPE_INCONSISTENT"},
        {CKR_RANDOM_SEED_NOT_SUPPORTED, "CKR_RANDOM_SEED_NOT_SUPPORTED"},
        {CKR_RANDOM_NO_RNG, "CKR_RANDOM_NO_RNG"},
        {CKR_DOMAIN_PARAMS_INVALID, "CKR_DOMAIN_PARAMS_INVALID"},
        {CKR_CURVE_NOT_SUPPORTED, "CKR_CURVE_NOT_SUPPORTED"},
        {CKR_BUFFER_TOO_SMALL, "CKR_BUFFER_TOO_SMALL"},
        {CKR_SAVED_STATE_INVALID, "CKR_SAVED_STATE_INVALID"},
        {CKR_INFORMATION_SENSITIVE, "CKR_INFORMATION_SENSITIVE"},
        {CKR_STATE_UNSAVEABLE, "CKR_STATE_UNSAVEABLE"},
        {CKR_CRYPTOKI_NOT_INITIALIZED, "CKR_CRYPTOKI_NOT_INITIALIZED"},
        {CKR_CRYPTOKI_ALREADY_INITIALIZED, "CKR_CRYPTOKI_ALREADY_INITIALIZED"},
        {CKR_MUTEX_BAD, "CKR_MUTEX_BAD"},
        {CKR_MUTEX_NOT_LOCKED, "CKR_MUTEX_NOT_LOCKED"},
        {CKR_NEW_PIN_MODE, "CKR_NEW_PIN_MODE"},
        {CKR_NEXT_OTP, "CKR_NEXT_OTP"},
        {CKR_EXCEEDED_MAX_ITERATIONS, "CKR_EXCEEDED_MAX_ITERATIONS"},
        {CKR_FIPS_SELF_TEST_FAILED, "CKR_FIPS_SELF_TEST_FAILED"},
        {CKR_LIBRARY_LOAD_FAILED, "CKR_LIBRARY_LOAD_FAILED"},
        {CKR_PIN_TOO_WEAK, "CKR_PIN_TOO_WEAK"},
        {CKR_PUBLIC_KEY_INVALID, "CKR_PUBLIC_KEY_INVALID"},
        {CKR_FUNCTION_REJECTED, "CKR_FUNCTION_REJECTED"},
    };
    for (const auto& [code, name] : kNames) {
        if (code == rv) {
            return name;
        }
    }
    char buf[48];
    if (rv >= CKR_VENDOR_DEFINED) {
        std::snprintf(buf, sizeof buf, "CKR_VENDOR_DEFINED+0x%lX",
                      static_cast<unsigned long>(rv - CKR_VENDOR_DEFINED));
    } else {
        std::snprintf(buf, sizeof buf, "CKR 0x%08lX", static_cast<unsigned long>(rv));
    }
    return buf;
}

std::string RvReason(CK_RV rv) {
    switch (rv) {
    case CKR_DEVICE_MEMORY:
    case CKR_HOST_MEMORY:
        return "IC卡存储空间不足";
    case CKR_FUNCTION_NOT_SUPPORTED:
    case CKR_MECHANISM_INVALID:
    case CKR_MECHANISM_PARAM_INVALID:
    case CKR_KEY_SIZE_RANGE:
    case CKR_CURVE_NOT_SUPPORTED:
    case CKR_DOMAIN_PARAMS_INVALID:
        return "IC卡不支持此操作";
    case CKR_ATTRIBUTE_TYPE_INVALID:
    case CKR_ATTRIBUTE_VALUE_INVALID:
    case CKR_ATTRIBUTE_READ_ONLY:
    case CKR_TEMPLATE_INCOMPLETE:
    case CKR_TEMPLATE_INCONSISTENT:
        return "IC卡不接受所需的对象属性";
    case CKR_ACTION_PROHIBITED:
    case CKR_KEY_FUNCTION_NOT_PERMITTED:
    case CKR_KEY_TYPE_INCONSISTENT:
        return "IC卡不允许此操作";
    case CKR_USER_NOT_LOGGED_IN:
        return "IC卡未登录";
    case CKR_PIN_INCORRECT:
        return "口令错误";
    case CKR_PIN_LOCKED:
        return "IC卡已锁定";
    case CKR_PIN_EXPIRED:
        return "口令已过期";
    case CKR_TOKEN_WRITE_PROTECTED:
    case CKR_SESSION_READ_ONLY:
        return "IC卡处于写保护状态";
    case CKR_DEVICE_REMOVED:
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_SESSION_CLOSED:
    case CKR_SESSION_HANDLE_INVALID:
    case CKR_SLOT_ID_INVALID:
        return "IC卡已被拔出";
    case CKR_TOKEN_NOT_RECOGNIZED:
        return "无法识别IC卡";
    case CKR_DEVICE_ERROR:
        return "IC卡或读卡器出错";
    case CKR_GENERAL_ERROR:
        return "PKCS#11模块内部错误";
    case CKR_CRYPTOKI_NOT_INITIALIZED:
        return "PKCS#11模块未初始化";
    default:
        return "IC卡拒绝了此操作";
    }
}

std::string RvText(CK_RV rv) {
    return RvReason(rv) + "，" + RvName(rv);
}

void ReportRefusal(const char* call, CK_RV rv, const std::string& module) {
    std::fprintf(stderr, "p11card: %s refused by module %s: %s\n", call,
                 module.empty() ? "?" : module.c_str(), RvName(rv).c_str());
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
        ReportRefusal("C_Initialize", rv, name);
        error = "PKCS#11模块 " + cp::Utf8ToGbk(name) + " 初始化失败（" + RvText(rv) + "）";
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
    t.freePublic = info.ulFreePublicMemory;
    t.freePrivate = info.ulFreePrivateMemory;
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

bool RefusesTemplate(CK_RV rv) {
    return rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_VALUE_INVALID ||
           rv == CKR_TEMPLATE_INCONSISTENT || rv == CKR_ATTRIBUTE_READ_ONLY;
}

CK_RV Session::CreateOnToken(std::vector<CK_ATTRIBUTE> tmpl, CK_OBJECT_HANDLE& out) const {
    CK_RV rv = Create(tmpl, out);
    if (!RefusesTemplate(rv)) {
        return rv;
    }
    auto locked = std::find_if(tmpl.begin(), tmpl.end(),
                               [](const CK_ATTRIBUTE& a) { return a.type == CKA_MODIFIABLE; });
    if (locked == tmpl.end()) {
        return rv;
    }
    tmpl.erase(locked);
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

bool Session::MechanismInfo(CK_MECHANISM_TYPE mech, CK_MECHANISM_INFO& info) const {
    info = CK_MECHANISM_INFO{};
    return HasMechanism(mech) && fn()->C_GetMechanismInfo(token_.slot, mech, &info) == CKR_OK;
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
