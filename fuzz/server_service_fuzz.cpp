// The reference server's request handlers, called directly (no sockets). Input: one byte choosing the
// path (probe, getRandom, verifyInfo, upadteCert), then the request body. Tokens in the body are replaced
// by live values so the fuzzer gets past the single-use checks: $R a fresh random, and for the renewal
// path $O / $V / $D the operation number, random and signing date of a real verification of the enrolled
// card, $E that card's end date. Every answer must be one JSON object of strings with the answer's code.
#include "core/json.h"
#include "core/service.h"
#include "core/sqlite_store.h"
#include "enrol/enrol.h"
#include "fuzz_support.h"

#include <cjson/cJSON.h>
#include <openssl/err.h>

#include <ctime>
#include <memory>

using namespace rv;
using namespace rv::server;

namespace {

struct Server {
    SqliteStore store;
    std::unique_ptr<CertificateAuthority> ca;
    ServiceOptions options;
    std::time_t now = 0;
    std::string endDate;
    softcard::HolderRecord holder;
};

Server& Instance() {
    static Server* s = [] {
        auto* srv = new Server;
        const auto dir = fuzz::WorkDir() / "server";
        EnrolRequest req;
        req.dataDir = dir;
        req.cardImage = fuzz::WorkDir() / "card.json";
        req.pin = "123456";
        req.managePassword = "MP-1";
        req.days = 30;
        req.holder = DemoHolder();
        EnrolResult result;
        std::string error;
        fuzz::Check(Enrol(req, result, error), "enrolment of the fuzz card");
        fuzz::Check(srv->store.Open(dir, error), "store");
        srv->ca = CertificateAuthority::Open(dir, error);
        fuzz::Check(srv->ca != nullptr, "CA");
        srv->now = std::time(nullptr);
        srv->options.now = [srv] { return srv->now; };
        // The fuzzer fails verifications by the million from one address: the limits would soon refuse
        // everything before the code worth fuzzing is reached.
        srv->options.verify.sourceFreeFailures = 1 << 30;
        srv->options.verify.cardLimit = 1 << 30;
        srv->endDate = result.notAfter.substr(0, 8);
        srv->holder = req.holder;
        return srv;
    }();
    return *s;
}

void Replace(std::string& body, const std::string& token, const std::string& value) {
    for (std::size_t p = body.find(token); p != std::string::npos; p = body.find(token, p + value.size())) {
        body.replace(p, token.size(), value);
    }
}

std::string Field(const Answer& a, const char* key) {
    JsonDoc doc(a.body);
    std::string v;
    doc.GetString(key, v);
    return v;
}

void CheckAnswer(const Answer& a) {
    cJSON* root = cJSON_ParseWithLength(a.body.data(), a.body.size());
    RV_FUZZ_CHECK(root && cJSON_IsObject(root));
    for (const cJSON* item = root->child; item; item = item->next) {
        RV_FUZZ_CHECK(cJSON_IsString(item));
    }
    const cJSON* code = cJSON_GetObjectItem(root, "code");
    RV_FUZZ_CHECK(code && cJSON_IsString(code) && a.code == code->valuestring);
    if (a.code != code::kOk) {
        const cJSON* msg = cJSON_GetObjectItem(root, "msg");
        RV_FUZZ_CHECK(msg && cJSON_IsString(msg) && msg->valuestring[0] != '\0');
    }
    cJSON_Delete(root);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Server& s = Instance();
    if (size == 0) {
        return 0;
    }
    // A service of its own per run, so that every allocation of a run is freed by its end (libFuzzer's
    // leak check stays quiet and cheap); what the store keeps is bounded by its own limits.
    RenewalService service(s.store, *s.ca, s.options);
    s.now += 1;
    std::string body = fuzz::Bytes(data + 1, size - 1);
    Replace(body, "$E", s.endDate);
    if (body.find("$R") != std::string::npos) {
        Answer r = service.GetRandom("");
        RV_FUZZ_CHECK(r.code == code::kOk);
        Replace(body, "$R", Field(r, "random"));
    }
    Answer a;
    switch (data[0] % 4) {
    case 0:
        a = service.Probe(body);
        RV_FUZZ_CHECK(a.code == std::string(code::kProbe));
        break;
    case 1:
        a = service.GetRandom(body);
        break;
    case 2:
        a = service.VerifyInfo(body, "127.0.0.1");
        break;
    default: {
        // A real verification of the enrolled card, whose values the body may use.
        const auto& h = s.holder;
        Answer r = service.GetRandom("");
        Answer v = service.VerifyInfo(JsonObject({{"certSeqNo", h.certSeqNo},
                                                  {"legalPerson", h.applicantName},
                                                  {"idType", h.idType},
                                                  {"idNumber", h.idNumber},
                                                  {"icCode", h.cardNumber},
                                                  {"entName", h.unitName},
                                                  {"unitType", h.unitCode},
                                                  {"raCode", h.raCode},
                                                  {"endDate", s.endDate},
                                                  {"random", Field(r, "random")}}),
                                      "127.0.0.1");
        RV_FUZZ_CHECK(v.code == code::kOk);
        Replace(body, "$O", Field(v, "opSeqNo"));
        Replace(body, "$V", Field(v, "random"));
        Replace(body, "$D", Field(v, "signDate"));
        a = service.UpdateCert(body);
        // Only the card's own key can sign the request; the fuzzer never has it.
        RV_FUZZ_CHECK(a.code != code::kOk);
        break;
    }
    }
    CheckAnswer(a);
    // OpenSSL keeps failed parses on its per-thread error queue; emptying it keeps runs independent.
    ERR_clear_error();
    return 0;
}
