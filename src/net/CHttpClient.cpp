#include "net/CHttpClient.h"

#include "config/config_file.h"
#include "platform/blocking_call.h"
#include "platform/codepage.h"
#include "platform/message_box.h"
#include "platform/paths.h"

#include <curl/curl.h>

#include <cstring>
#include <memory>
#include <mutex>

namespace rv {

const char* const kMsgUnsupportedProtocol = "不支持HTTP协议";
const char* const kMsgCannotConnect = "网络连接超时，请重试或更换网络环境重试！";

namespace {

const char* const kFailureMinusOne = "-1";

void GlobalInitOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The scheme must be http or https (in any case); a URL without "://" has none.
bool HasSupportedScheme(const std::string& url) {
    std::size_t sep = url.find("://");
    if (sep == std::string::npos) {
        return false;
    }
    std::string scheme = url.substr(0, sep);
    for (char& c : scheme) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return scheme == "http" || scheme == "https";
}

struct Sink {
    std::string body;
    std::size_t cap = 0;
    bool overflow = false;
};

std::size_t WriteBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    std::size_t n = size * count;
    if (sink->body.size() + n > sink->cap) {
        sink->overflow = true;
        return 0; // aborts the transfer with CURLE_WRITE_ERROR
    }
    sink->body.append(data, n);
    return n;
}

struct EasyDeleter {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

} // namespace

std::string ReassembleLines(const std::string& raw) {
    std::string out;
    out.reserve(raw.size() + raw.size() / 16 + 2);
    std::size_t pos = 0;
    while (pos < raw.size()) {
        std::size_t nl = raw.find('\n', pos);
        std::size_t end = nl == std::string::npos ? raw.size() : nl;
        out.append(raw, pos, end - pos);
        out += "\r\n";
        pos = nl == std::string::npos ? raw.size() : nl + 1;
    }
    return out;
}

namespace {
std::mutex gLimitsMutex;
HttpLimits gDefaultLimits;
} // namespace

HttpLimits SetDefaultHttpLimits(const HttpLimits& limits) {
    std::lock_guard lock(gLimitsMutex);
    HttpLimits previous = gDefaultLimits;
    gDefaultLimits = limits;
    return previous;
}

HttpLimits DefaultHttpLimits() {
    std::lock_guard lock(gLimitsMutex);
    return gDefaultLimits;
}

CHttpClient::CHttpClient() = default;
CHttpClient::~CHttpClient() = default;

void CHttpClient::AddParam(const std::string& /*name*/, const std::string& value) {
    body_ += value;
}

std::string CHttpClient::PostRequest(const std::string& url) {
    lastAnswerUtf8_.clear();
    lastStatus_ = 0;

    if (!HasSupportedScheme(url)) {
        ShowNotice(kMsgUnsupportedProtocol);
        return kFailureMinusOne;
    }

    GlobalInitOnce();
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy) {
        return {};
    }
    CURL* h = easy.get();

    // "Expect:" removes the 100-continue handshake libcurl would add to large bodies; the server is never
    // asked to confirm before the body comes.
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type:application/x-www-form-urlencoded");
    headers = curl_slist_append(headers, "Accept: */*");
    headers = curl_slist_append(headers, "Expect:");
    std::unique_ptr<curl_slist, SlistDeleter> headerList(headers);
    if (!headers) {
        return {};
    }

    Sink sink;
    sink.cap = limits_.maxAnswerBytes;

    // The body is sent with its terminating zero byte, as the original transport does.
    const std::string body = body_;
    const std::string caFile = ReadConfigValue(paths::kConfIniForLookup, kCaFileKey);

    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    // The application's title in its GBK bytes, as the original sends its ANSI user agent.
    curl_easy_setopt(h, CURLOPT_USERAGENT, kAppTitle);
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size() + 1));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, limits_.connectTimeoutMs);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, limits_.lowSpeedBytes);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, limits_.lowSpeedSeconds);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, limits_.totalTimeoutMs);
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits_.maxAnswerBytes));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &WriteBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caFile.empty()) {
        curl_easy_setopt(h, CURLOPT_CAINFO, caFile.c_str());
    }
    // No CURLOPT_PROXY: libcurl takes http_proxy / https_proxy / all_proxy / no_proxy from the
    // environment, the counterpart of the system proxy settings.

    // The exchange itself blocks; where it runs is the blocking-call host's choice. The messages below
    // are shown from here.
    CURLcode rc = CURLE_OK;
    RunBlocking([&] { rc = curl_easy_perform(h); });
    switch (rc) {
    case CURLE_OK:
        break;
    case CURLE_UNSUPPORTED_PROTOCOL:
        ShowNotice(kMsgUnsupportedProtocol);
        return kFailureMinusOne;
    case CURLE_COULDNT_CONNECT:
        // Refused or unreachable: the original's "cannot connect" (12029).
        ShowNotice(kMsgCannotConnect);
        return kFailureMinusOne;
    default:
        // Timeouts (connect phase, stalled transfer), unknown host or proxy, TLS failures, dropped
        // connections, oversized answers, malformed URLs: the other transport errors.
        return {};
    }

    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    lastStatus_ = status;
    if (status >= 400 && status <= 599) {
        return kFailureMinusOne;
    }

    lastAnswerUtf8_ = ReassembleLines(sink.body);
    return cp::Utf8ToGbk(lastAnswerUtf8_);
}

} // namespace rv
