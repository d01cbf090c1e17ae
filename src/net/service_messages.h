// The renewal service's three operations: paths, request bodies and the evaluation of their answers.
// Requests are built in GBK and handed on in UTF-8; answers are parsed as UTF-8 JSON and each string
// value is converted to GBK afterwards. Every evaluation shows its own messages and returns false on
// failure; the caller adds only its own text.
#pragma once

#include "card/card_data.h"

#include <string>

namespace rv {

class CHttpClient;

// Operation paths, appended directly to the server address.
inline constexpr const char* kPathRandom = "/selfIcUpdate/getRandom";
inline constexpr const char* kPathVerify = "/selfIcUpdate/verifyInfo";
inline constexpr const char* kPathRenewal = "/selfIcUpdate/upadteCert"; // the service's own spelling
inline constexpr const char* kPathServiceBase = "/selfIcUpdate";        // network test

// The name of the one parameter the verification and renewal operations add.
inline constexpr const char* kDataParam = "data";

// Messages shared with the renewal steps.
extern const char* const
    kMsgNetworkHint; // "请点击菜单“网络测试”查看是否可以访问服务器\n以及本机网络是否正常,再尝试延期！"
extern const char* const kMsgNetworkError; // "网络通讯异常，请重试！"

// Values of the renewal request (GBK), in the order they are sent; `iccardId`, `operType` and
// `note` are constants of the request and not part of this set.
struct RenewalRequestValues {
    std::string dataSign, certSeqNo, opSeqNo, icCode, iccardName, iccardUnitName, signDate, iccardUnitCode,
        publicKey, cardCryptAlgo, random;
};

// The verification request (ten fields) for the card data and the server random; JSON text in UTF-8,
// the value to hand to AddParam(kDataParam, ...).
std::string BuildVerifyRequest(const CardData& data, const std::string& random);
// The renewal request (fourteen fields: iccardId and note empty, operType "3"); JSON text in UTF-8.
std::string BuildRenewalRequest(const RenewalRequestValues& v);

// What the renewal answer delivers (GBK).
struct RenewalKeySet {
    std::string signCertPEM, envCertPEM, envDataPEM, kmsKeyPEM, cssSignKeyPEM, cssEnvKeyPEM, managePasswd;
};

// Evaluations. `answer` is what client.PostRequest returned; the JSON is read from
// client.LastAnswerUtf8(). Each shows every message of its failure and returns false.
//
// Random operation: on success stores "random" in `serverRandom`.
bool EvaluateRandomAnswer(const CHttpClient& client, const std::string& answer, std::string& serverRandom);
// Verification operation: on success stores, in this order, "opSeqNo", "signDate" and "managePasswd"
// in `data`, then "random" in `serverRandom`. When only "random" is missing, the three values stay
// stored and it fails with "网络通讯异常，请重试！".
bool EvaluateVerifyAnswer(const CHttpClient& client, const std::string& answer, CardData& data,
                          std::string& serverRandom);
// Renewal operation: on success fills `out` (all seven values); `out` is untouched on failure.
bool EvaluateRenewalAnswer(const CHttpClient& client, const std::string& answer, RenewalKeySet& out);

// The lower layer the evaluations stand on, for callers holding the texts themselves: `answer` is the
// GBK text or transport failure text, `answerUtf8` the same answer in UTF-8.
bool EvaluateRandomAnswer(const std::string& answer, const std::string& answerUtf8,
                          std::string& serverRandom);
bool EvaluateVerifyAnswer(const std::string& answer, const std::string& answerUtf8, CardData& data,
                          std::string& serverRandom);
bool EvaluateRenewalAnswer(const std::string& answer, const std::string& answerUtf8, RenewalKeySet& out);

// "code" of an answer: its string value converted by the leading-digits rule of atoi (a value that is
// not a string reads as 0). Exposed for the network test, which reads it the same way.
int ServiceCode(const char* codeStringOrNull);

// "code" of the network test's answer (UTF-8): a non-object, a missing "code" or one that is not a string
// reads as 0, which the test treats like any other code than -2 (net/network_test.cpp).
int NetworkTestAnswerCode(const std::string& answerUtf8);

// The network test (menu "网络测试"): re-reads realmName into `serverAddress` (kept when empty), posts
// the empty request to the service's base path and tells the user what came back.
void RunNetworkTest(std::string& serverAddress);

} // namespace rv
