// Answer evaluation of the three service operations and of the network test, over any answer body as it
// comes off the wire: re-assembled into lines and converted to GBK exactly as the HTTP client does.
// Message boxes are answered by a counting double; no HTTP is spoken.
#include "fuzz_support.h"
#include "net/CHttpClient.h"
#include "net/service_messages.h"
#include "platform/codepage.h"

using namespace rv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    auto& boxes = fuzz::Boxes();
    boxes.shown = 0;
    boxes.emptyTexts = 0;
    const std::string raw = fuzz::Bytes(data, size);
    const std::string utf8 = ReassembleLines(raw);
    const std::string answer = cp::Utf8ToGbk(utf8);

    std::string random = "old";
    bool ok = EvaluateRandomAnswer(answer, utf8, random);
    RV_FUZZ_CHECK(ok == (boxes.shown == 0));
    RV_FUZZ_CHECK(ok || random == "old");

    CardData card;
    std::string random2 = "old";
    std::size_t before = boxes.shown;
    ok = EvaluateVerifyAnswer(answer, utf8, card, random2);
    RV_FUZZ_CHECK(ok == (boxes.shown == before));
    RV_FUZZ_CHECK(ok || random2 == "old");

    RenewalKeySet keys;
    keys.managePasswd = "old";
    before = boxes.shown;
    ok = EvaluateRenewalAnswer(answer, utf8, keys);
    RV_FUZZ_CHECK(ok == (boxes.shown == before));
    // All seven values or none: a failed evaluation leaves the set untouched.
    RV_FUZZ_CHECK(ok || (keys.managePasswd == "old" && keys.signCertPEM.empty()));

    (void)NetworkTestAnswerCode(utf8);
    (void)NetworkTestAnswerCode(raw);
    return 0;
}
