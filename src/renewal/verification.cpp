// Identity verification step, the first step of the renewal: a server random, then the verification of
// the card holder's data, whose answer supplies the values the rest of the renewal signs and sends.
#include "config/config_file.h"
#include "net/CHttpClient.h"
#include "net/service_messages.h"
#include "platform/client_strings.h"
#include "platform/message_box.h"
#include "renewal/main_window_model.h"

#include <string>

namespace rv {

namespace {
const char* const kMsgNoConfig = "无法获取配置信息，请配置信息是否正确！";
} // namespace

int MainWindowModel::VerifyIdentity() {
    try {
        if (GetServerAddress(serverAddress) != 0) {
            ShowNotice(kMsgNoConfig);
            return -1;
        }

        // One client for both posts: nothing is added before the first, so the second one's body is the
        // verification request alone.
        CHttpClient client;
        std::string answer = client.PostRequest(serverAddress + kPathRandom);
        if (!EvaluateRandomAnswer(client, answer, Client().serverRandom)) {
            return -1;
        }

        client.AddParam(kDataParam, BuildVerifyRequest(data, Client().serverRandom));
        answer = client.PostRequest(serverAddress + kPathVerify);
        if (!EvaluateVerifyAnswer(client, answer, data, Client().serverRandom)) {
            return -1;
        }
        return 0;
    } catch (...) {
        ShowNotice(kMsgNetworkError);
        return -1;
    }
}

} // namespace rv
