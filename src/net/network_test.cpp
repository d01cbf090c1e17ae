// Menu "网络测试" (command 32794): can the renewal service be reached?
#include "config/config_file.h"
#include "net/CHttpClient.h"
#include "net/service_messages.h"
#include "platform/message_box.h"

#include <cjson/cJSON.h>

#include <string>

namespace rv {

namespace {

const char* const kMsgConfigDamaged = "配置文件受损，请卸载后重新安装本程序！";
const char* const kMsgNetworkCheck = "网络通讯异常，请检查本机网络是否正常。\n";
const char* const kMsgNetworkOk = "网络通讯正常！";

// The answer a reachable service gives to the empty request.
constexpr int kReachableCode = -2;

} // namespace

// "code" of the answer as the test reads it. An answer that is not a JSON object, has no "code" or a
// "code" that is not a string reads as 0, like any other code than -2: the user sees nothing, exactly as
// for a service that answers with an unexpected code.
int NetworkTestAnswerCode(const std::string& utf8) {
    cJSON* root = cJSON_ParseWithLength(utf8.data(), utf8.size());
    int code = 0;
    if (root && cJSON_IsObject(root)) {
        const cJSON* item = cJSON_GetObjectItem(root, "code");
        code = ServiceCode(item && cJSON_IsString(item) ? item->valuestring : nullptr);
    }
    cJSON_Delete(root);
    return code;
}

void RunNetworkTest(std::string& serverAddress) {
    if (GetServerAddress(serverAddress) != 0) {
        ShowNotice(kMsgConfigDamaged);
        return;
    }
    CHttpClient client;
    const std::string answer = client.PostRequest(serverAddress + kPathServiceBase);
    if (answer.empty() || answer == "-1") {
        ShowNotice(kMsgNetworkCheck + answer);
        return;
    }
    if (NetworkTestAnswerCode(client.LastAnswerUtf8()) == kReachableCode) {
        ShowNotice(kMsgNetworkOk);
    }
}

} // namespace rv
