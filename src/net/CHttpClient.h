// The client's only network transport: one blocking HTTP/1.1 POST per call on libcurl, answering with
// the body in GBK or a transport failure text ("-1" or ""). The wire behaviour and the mapping of
// libcurl's errors onto the results are described in docs/http.md.
#pragma once

#include <cstddef>
#include <string>

namespace rv {

// Messages the transport shows itself (OK box, caption "提示信息").
extern const char* const kMsgUnsupportedProtocol; // "不支持HTTP协议"
extern const char* const kMsgCannotConnect; // "网络连接超时，请重试或更换网络环境重试！"

// The conf.ini key ("Config//conf.ini") that may name a PEM file of CA certificates trusted for https;
// when it is missing or empty the system's CA store is used.
inline constexpr const char* kCaFileKey = "caFile";

// Bounds of one exchange. The defaults are the product's; tests shorten them.
struct HttpLimits {
    long connectTimeoutMs = 5000;
    // A transfer that receives fewer than lowSpeedBytes per second for lowSpeedSeconds is aborted.
    long lowSpeedBytes = 1;
    long lowSpeedSeconds = 30;
    // Answers larger than this are refused.
    std::size_t maxAnswerBytes = std::size_t{8} * 1024 * 1024;
    // The whole exchange, connect to last byte, ends within this many milliseconds: a server that drips
    // its answer fast enough to pass the low-speed rule still cannot hold the window. The renewal request
    // gets the longer bound (the server issues certificates for it); see docs/http.md.
    long totalTimeoutMs = 30000;
    long renewalTotalTimeoutMs = 60000;
};

// The limits every new client starts with: the product's defaults, unless a test has shortened them
// (a transfer stall of a few seconds instead of 30). Returns the previous value.
HttpLimits SetDefaultHttpLimits(const HttpLimits& limits);
HttpLimits DefaultHttpLimits();

// The answer body as the original's line reader re-assembles it: each line loses its '\n' (and only
// that) and gets "\r\n"; a last line without '\n' counts too; an empty body has no line.
std::string ReassembleLines(const std::string& raw);

class CHttpClient {
public:
    CHttpClient();
    virtual ~CHttpClient();

    // Appends `value` to the request body. The name is not sent and nothing separates values; the body
    // is never cleared, so a later post sends everything added so far.
    void AddParam(const std::string& name, const std::string& value);

    // One POST of the body (plus one zero byte) to `url` (scheme "://" host [":" port] path).
    // Returns the answer converted from UTF-8 to GBK with "\r\n" after every line, "-1" for an
    // unsupported scheme, a connection that cannot be made or status 400..599, and "" for any other
    // transport failure. Shows "不支持HTTP协议" / "网络连接超时，..." itself where described.
    std::string PostRequest(const std::string& url);

    // The last answer as it came off the wire (UTF-8, lines re-assembled with "\r\n"); empty after a
    // transport failure. Answers are parsed from this text so that a GBK trail byte 0x5C cannot break
    // the JSON.
    const std::string& LastAnswerUtf8() const { return lastAnswerUtf8_; }
    // The last HTTP status received (0 when none).
    long LastStatus() const { return lastStatus_; }

    void SetLimits(const HttpLimits& limits) { limits_ = limits; }
    const HttpLimits& Limits() const { return limits_; }

private:
    std::string body_;
    std::string lastAnswerUtf8_;
    long lastStatus_ = 0;
    HttpLimits limits_ = DefaultHttpLimits();
};

} // namespace rv
