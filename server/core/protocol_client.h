// A loopback client of the renewal protocol, posting exactly what the desktop client posts (JSON text,
// one zero byte, the form content type). Tests and benchmarks drive the server with it; `SimCard` plays
// a card whose key lives in memory.
#pragma once

#include "core/ca.h"
#include "core/json.h"
#include "core/store.h"

#include <memory>
#include <string>

namespace httplib {
class Client;
}

namespace rv::server {

struct PostResult {
    bool sent = false; // false: no HTTP answer at all
    int status = 0;
    std::string body;
};

class ProtocolClient {
public:
    ProtocolClient(const std::string& host, int port);
    ~ProtocolClient();
    ProtocolClient(const ProtocolClient&) = delete;
    ProtocolClient& operator=(const ProtocolClient&) = delete;

    // POSTs `json` followed by one zero byte.
    PostResult Post(const std::string& path, const std::string& json);
    // POSTs `body` exactly as given.
    PostResult PostRaw(const std::string& path, const std::string& body);
    // The longest time one post took so far, in milliseconds.
    double LongestMs() const { return longestMs_; }

private:
    std::unique_ptr<httplib::Client> http_;
    double longestMs_ = 0;
};

// A card as the server knows it, plus its private key: what the card would sign with.
struct SimCard {
    CardRecord record;
    Pkey key;
    std::string endDate; // of record.certPem, YYYYMMDD ("" until first needed)
};

// Enrols a card straight into `store` with a certificate from `ca` that ends in `days` days; its key
// is of the card algorithm `cryptAlgo` ("SM2", "ECC", "RSA").
bool EnrolSimCard(Store& store, const CertificateAuthority& ca, const std::string& certSeqNo, int days,
                  SimCard& out, std::string& error, const std::string& cryptAlgo = "SM2");

// The requests of one renewal, built as the desktop client builds them.
std::string VerifyRequest(const CardRecord& card, const std::string& endDate, const std::string& random);
struct UpdateValues {
    std::string dataSign, opSeqNo, signDate, publicKey, random;
};
std::string UpdateRequest(const CardRecord& card, const UpdateValues& v);

// The base64 card signature over the renewal's signed text (GBK bytes), as the card makes it.
std::string CardSignature(EVP_PKEY* key, const CardRecord& card, const std::string& opSeqNo,
                          const std::string& signDate);

// One whole renewal: random, verification, signature, new key, renewal request, key check. On success
// the card holds its new key and certificate. False with the server's code and message (or a transport
// failure) in `error`.
bool RunRenewal(ProtocolClient& client, SimCard& card, std::string& error);

} // namespace rv::server
