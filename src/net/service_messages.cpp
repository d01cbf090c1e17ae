#include "net/service_messages.h"

#include "net/CHttpClient.h"
#include "platform/codepage.h"
#include "platform/crt.h"
#include "platform/message_box.h"

#include <cjson/cJSON.h>

#include <memory>
#include <stdexcept>
#include <utility>

namespace rv {

const char* const kMsgNetworkHint =
    "请点击菜单“网络测试”查看是否可以访问服务器\n以及本机网络是否正常,再尝试延期！";
const char* const kMsgNetworkError = "网络通讯异常，请重试！";

namespace {

const char* const kMsgTransportHead = "网络通讯异常！\n";
const char* const kMsgTransportTail = "\n请重试！";
const char* const kMsgNoCode = "网络通讯异常，请重试！\n code不存在！";
const char* const kMsgRandomRefused = "获取随机数失败！请重试！";
const char* const kMsgNoRandom = "网络通讯异常，请重试！\n random不存在！";
const char* const kMsgNoVerifyValues = "网络通讯异常，请重试！\n managePasswd、signDate、opSeqNo不存在！";
const char* const kMsgRetrySuffix = "\n请重试！";
const char* const kMsgNoMsg = "网络通讯异常，请重试！\n msg不存在！";
const char* const kMsgNoCertificates = "网络通讯异常，请重试！\n 证书信息不存在！";

struct JsonDeleter {
    void operator()(cJSON* j) const { cJSON_Delete(j); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

// A request: one JSON object of string values, keys in the given order, no whitespace. Values arrive in
// GBK and are converted before cJSON escapes quotes, backslashes and control characters, so a GBK trail
// byte 0x5C is never taken for a backslash.
std::string BuildRequest(std::initializer_list<std::pair<const char*, const std::string*>> fields) {
    JsonPtr obj(cJSON_CreateObject());
    if (!obj) {
        throw std::bad_alloc();
    }
    for (const auto& [key, value] : fields) {
        const std::string utf8 = cp::GbkToUtf8(*value);
        if (!cJSON_AddStringToObject(obj.get(), key, utf8.c_str())) {
            throw std::bad_alloc();
        }
    }
    char* text = cJSON_PrintUnformatted(obj.get());
    if (!text) {
        throw std::bad_alloc();
    }
    std::string out(text);
    cJSON_free(text);
    return out;
}

// One parsed answer. A key is "present" when the top-level object has it; its value is the item's
// string value in GBK, or "" when the item is not a string.
class Answer {
public:
    explicit Answer(const std::string& utf8) : root_(cJSON_ParseWithLength(utf8.data(), utf8.size())) {}

    bool Has(const char* key) const { return Item(key) != nullptr; }
    std::string Value(const char* key) const {
        const cJSON* item = Item(key);
        if (!item || !cJSON_IsString(item) || !item->valuestring) {
            return {};
        }
        return cp::Utf8ToGbk(item->valuestring);
    }
    int Code() const {
        const cJSON* item = Item("code");
        return ServiceCode(item && cJSON_IsString(item) ? item->valuestring : nullptr);
    }

private:
    // Only a top-level object has keys; an array, a scalar or text that is not JSON has none.
    const cJSON* Item(const char* key) const {
        if (!root_ || !cJSON_IsObject(root_.get())) {
            return nullptr;
        }
        return cJSON_GetObjectItem(root_.get(), key);
    }
    JsonPtr root_;
};

bool IsTransportFailure(const std::string& answer) {
    return answer.empty() || answer == "-1";
}

void ShowTransportFailure(const std::string& answer) {
    ShowNotice(std::string(kMsgTransportHead) + answer + kMsgTransportTail);
    ShowNotice(kMsgNetworkHint);
}

} // namespace

int ServiceCode(const char* codeStringOrNull) {
    return codeStringOrNull ? Atoi(codeStringOrNull) : 0;
}

std::string BuildVerifyRequest(const CardData& d, const std::string& random) {
    return BuildRequest({{"certSeqNo", &d.certSeqNo},
                         {"legalPerson", &d.applicantName},
                         {"idType", &d.idType},
                         {"idNumber", &d.idNumber},
                         {"icCode", &d.cardNumber},
                         {"entName", &d.unitName},
                         {"unitType", &d.unitCode},
                         {"raCode", &d.raCode},
                         {"endDate", &d.validTo},
                         {"random", &random}});
}

std::string BuildRenewalRequest(const RenewalRequestValues& v) {
    static const std::string kEmpty;
    static const std::string kOperType = "3";
    return BuildRequest({{"dataSign", &v.dataSign},
                         {"certSeqNo", &v.certSeqNo},
                         {"opSeqNo", &v.opSeqNo},
                         {"icCode", &v.icCode},
                         {"iccardName", &v.iccardName},
                         {"iccardUnitName", &v.iccardUnitName},
                         {"signDate", &v.signDate},
                         {"iccardUnitCode", &v.iccardUnitCode},
                         {"iccardId", &kEmpty},
                         {"operType", &kOperType},
                         {"publicKey", &v.publicKey},
                         {"cardCryptAlgo", &v.cardCryptAlgo},
                         {"note", &kEmpty},
                         {"random", &v.random}});
}

bool EvaluateRandomAnswer(const std::string& answer, const std::string& answerUtf8,
                          std::string& serverRandom) {
    if (IsTransportFailure(answer)) {
        ShowTransportFailure(answer);
        return false;
    }
    Answer a(answerUtf8);
    if (!a.Has("code")) {
        ShowNotice(kMsgNoCode);
        return false;
    }
    if (a.Code() != 0) {
        ShowNotice(kMsgRandomRefused);
        return false;
    }
    if (!a.Has("random")) {
        ShowNotice(kMsgNoRandom);
        return false;
    }
    serverRandom = a.Value("random");
    return true;
}

bool EvaluateVerifyAnswer(const std::string& answer, const std::string& answerUtf8, CardData& data,
                          std::string& serverRandom) {
    if (IsTransportFailure(answer)) {
        ShowTransportFailure(answer);
        return false;
    }
    Answer a(answerUtf8);
    if (!a.Has("code")) {
        ShowNotice(kMsgNoCode);
        return false;
    }
    if (a.Code() != 0) {
        // The server's text as received; without one, the general network message.
        ShowNotice(a.Has("msg") ? a.Value("msg") : std::string(kMsgNetworkError));
        return false;
    }
    if (!a.Has("managePasswd") || !a.Has("signDate") || !a.Has("opSeqNo")) {
        ShowNotice(kMsgNoVerifyValues);
        return false;
    }
    data.opSeqNo = a.Value("opSeqNo");
    data.signDate = a.Value("signDate");
    data.managePasswd = a.Value("managePasswd");
    if (!a.Has("random")) {
        // The three values stay stored, as they do in the original, whose random read fails last.
        ShowNotice(kMsgNetworkError);
        return false;
    }
    serverRandom = a.Value("random");
    return true;
}

bool EvaluateRenewalAnswer(const std::string& answer, const std::string& answerUtf8, RenewalKeySet& out) {
    if (IsTransportFailure(answer)) {
        ShowTransportFailure(answer);
        return false;
    }
    Answer a(answerUtf8);
    if (!a.Has("code")) {
        ShowNotice(kMsgNoCode);
        ShowNotice(kMsgNetworkHint);
        return false;
    }
    if (a.Code() != 0) {
        if (!a.Has("msg")) {
            ShowNotice(kMsgNoMsg);
            ShowNotice(kMsgNetworkHint);
            return false;
        }
        ShowNotice(a.Value("msg") + kMsgRetrySuffix);
        return false;
    }
    static const char* const kKeys[] = {"signCertPEM",   "envCertPEM",   "envDataPEM",  "kmsKeyPEM",
                                        "cssSignKeyPEM", "cssEnvKeyPEM", "managePasswd"};
    for (const char* key : kKeys) {
        if (!a.Has(key)) {
            ShowNotice(kMsgNoCertificates);
            ShowNotice(kMsgNetworkHint);
            return false;
        }
    }
    RenewalKeySet keys;
    keys.signCertPEM = a.Value("signCertPEM");
    keys.envCertPEM = a.Value("envCertPEM");
    keys.envDataPEM = a.Value("envDataPEM");
    keys.kmsKeyPEM = a.Value("kmsKeyPEM");
    keys.cssSignKeyPEM = a.Value("cssSignKeyPEM");
    keys.cssEnvKeyPEM = a.Value("cssEnvKeyPEM");
    keys.managePasswd = a.Value("managePasswd");
    out = std::move(keys);
    return true;
}

bool EvaluateRandomAnswer(const CHttpClient& client, const std::string& answer, std::string& serverRandom) {
    return EvaluateRandomAnswer(answer, client.LastAnswerUtf8(), serverRandom);
}

bool EvaluateVerifyAnswer(const CHttpClient& client, const std::string& answer, CardData& data,
                          std::string& serverRandom) {
    return EvaluateVerifyAnswer(answer, client.LastAnswerUtf8(), data, serverRandom);
}

bool EvaluateRenewalAnswer(const CHttpClient& client, const std::string& answer, RenewalKeySet& out) {
    return EvaluateRenewalAnswer(answer, client.LastAnswerUtf8(), out);
}

} // namespace rv
