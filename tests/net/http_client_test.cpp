// Wire tests of the transport against the scripted server on loopback sockets.
#include "net/CHttpClient.h"
#include "net_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace rv::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kGbkTitle = "\xCC\xE1\xCA\xBE\xD0\xC5\xCF\xA2"; // "提示信息" in GBK
const std::string kUnsupported = reinterpret_cast<const char*>(u8"不支持HTTP协议");
const std::string kCannotConnect =
    reinterpret_cast<const char*>(u8"网络连接超时，请重试或更换网络环境重试！");

class HttpClientWire : public NetTest {
protected:
    ScriptedHttpServer server;
    std::string Url(const std::string& path) const { return server.BaseUrl() + path; }
};

// ---- what goes on the wire -----------------------------------------------------------------------------

TEST_F(HttpClientWire, SendsOnePostWithTheFixedHeadersOnceEachInOrder) {
    server.Script("/selfIcUpdate/verifyInfo", ScriptedAnswer::Json("{}"));
    CHttpClient client;
    client.AddParam("data", "{\"a\":\"b\"}");
    client.PostRequest(Url("/selfIcUpdate/verifyInfo"));

    auto reqs = server.Requests();
    ASSERT_EQ(reqs.size(), 1u);
    const RecordedRequest& r = reqs[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/selfIcUpdate/verifyInfo");
    EXPECT_EQ(r.version, "HTTP/1.1");
    EXPECT_EQ(r.raw.rfind("POST /selfIcUpdate/verifyInfo HTTP/1.1\r\n", 0), 0u);

    // Byte-exact lines: no blank after the colon of Content-Type, one after that of Accept.
    int contentType = -1, accept = -1;
    for (std::size_t i = 0; i < r.headerLines.size(); ++i) {
        if (r.headerLines[i] == "Content-Type:application/x-www-form-urlencoded") {
            contentType = static_cast<int>(i);
        }
        if (r.headerLines[i] == "Accept: */*") {
            accept = static_cast<int>(i);
        }
    }
    ASSERT_GE(contentType, 0) << r.raw;
    ASSERT_GE(accept, 0) << r.raw;
    EXPECT_LT(contentType, accept);
    EXPECT_EQ(r.HeaderCount("Content-Type"), 1);
    EXPECT_EQ(r.HeaderCount("Accept"), 1);
    EXPECT_EQ(r.HeaderCount("Expect"), 0);
    EXPECT_EQ(r.HeaderCount("Referer"), 0);
    EXPECT_EQ(r.HeaderCount("Transfer-Encoding"), 0);

    // The application's title in its GBK bytes.
    EXPECT_EQ(r.Header("User-Agent"), kGbkTitle);

    // The text and its zero byte.
    EXPECT_EQ(r.body, std::string("{\"a\":\"b\"}\0", 10));
    EXPECT_EQ(r.Header("Content-Length"), "10");
}

TEST_F(HttpClientWire, WithoutParametersTheBodyIsExactlyOneZeroByte) {
    server.Script("/selfIcUpdate", ScriptedAnswer::Json("{}"));
    CHttpClient client;
    client.PostRequest(Url("/selfIcUpdate"));
    auto reqs = server.Requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].body, std::string(1, '\0'));
    EXPECT_EQ(reqs[0].Header("Content-Length"), "1");
}

TEST_F(HttpClientWire, ParametersConcatenateWithoutNamesAndStayForLaterPosts) {
    server.SetDefault(ScriptedAnswer::Json("{}"));
    CHttpClient client;
    client.PostRequest(Url("/first"));
    client.AddParam("data", "abc");
    client.AddParam("other", "=&x");
    client.PostRequest(Url("/second"));
    client.PostRequest(Url("/third"));

    auto reqs = server.Requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[0].body, std::string(1, '\0'));
    EXPECT_EQ(reqs[1].body, std::string("abc=&x\0", 7));
    EXPECT_EQ(reqs[2].body, std::string("abc=&x\0", 7));
}

TEST_F(HttpClientWire, LargeBodiesGoWithoutExpectRightAway) {
    // libcurl would add "Expect: 100-continue" to a body over 1 MiB and wait for the server's go-ahead.
    // The test server refuses url-encoded bodies this large after reading the head, so the check is on
    // the bytes that arrived: a head without Expect, followed at once by the body.
    std::string big(2 * 1024 * 1024 + 3, 'x');
    CHttpClient client;
    client.AddParam("data", big);
    auto start = Clock::now();
    client.PostRequest(Url("/big"));
    EXPECT_LT(Clock::now() - start, 900ms);
    auto raw = server.RawConnections();
    ASSERT_EQ(raw.size(), 1u);
    std::size_t headEnd = raw[0].find("\r\n\r\n");
    ASSERT_NE(headEnd, std::string::npos);
    std::string head = raw[0].substr(0, headEnd + 2);
    EXPECT_EQ(head.find("\r\nExpect:"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nContent-Length: " + std::to_string(big.size() + 1) + "\r\n"), std::string::npos);
    EXPECT_GT(raw[0].size(), headEnd + 4) << "the body did not follow the head";
}

// ---- answers -----------------------------------------------------------------------------------------

TEST_F(HttpClientWire, EveryLineEndsWithCrLfIncludingTheLast) {
    CHttpClient client;
    server.Queue(ScriptedAnswer::Json("a\nb\nc"));
    EXPECT_EQ(client.PostRequest(Url("/x")), "a\r\nb\r\nc\r\n");
    server.Queue(ScriptedAnswer::Json("one line\n"));
    EXPECT_EQ(client.PostRequest(Url("/x")), "one line\r\n");
    // Only the line feed is the terminator; a carriage return before it stays part of the line.
    server.Queue(ScriptedAnswer::Json("crlf\r\n\nend"));
    EXPECT_EQ(client.PostRequest(Url("/x")), "crlf\r\r\n\r\nend\r\n");
    EXPECT_EQ(client.LastAnswerUtf8(), "crlf\r\r\n\r\nend\r\n");
}

TEST_F(HttpClientWire, EmptyAnswerIsTheEmptyText) {
    server.Script("/x", ScriptedAnswer::Json(""));
    CHttpClient client;
    EXPECT_EQ(client.PostRequest(Url("/x")), "");
    EXPECT_EQ(client.LastStatus(), 200);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(HttpClientWire, ChineseUtf8AnswerComesBackAsTheSameTextInGbk) {
    server.Script("/x",
                  ScriptedAnswer::Json(reinterpret_cast<const char*>(u8"{\"msg\":\"证书已延期\"}\n乗誠")));
    CHttpClient client;
    std::string answer = client.PostRequest(Url("/x"));
    EXPECT_EQ(answer, Gbk(u8"{\"msg\":\"证书已延期\"}\r\n乗誠\r\n"));
    EXPECT_EQ(client.LastAnswerUtf8(),
              reinterpret_cast<const char*>(u8"{\"msg\":\"证书已延期\"}\r\n乗誠\r\n"));
    // "乗" ends in the byte 0x5C in GBK.
    EXPECT_NE(answer.find("\x81\x5C"), std::string::npos);
}

TEST_F(HttpClientWire, CharactersWithoutGbkFormBecomeQuestionMarks) {
    server.Script("/x", ScriptedAnswer::Json(reinterpret_cast<const char*>(u8"a😀b")));
    CHttpClient client;
    EXPECT_EQ(client.PostRequest(Url("/x")), "a?b\r\n");
}

TEST_F(HttpClientWire, RedirectsAreNotFollowedAndTheirBodyIsTheAnswer) {
    ScriptedAnswer moved = ScriptedAnswer::Status(302, "moved here");
    moved.headers.push_back({"Location", "/elsewhere"});
    server.Script("/x", moved);
    server.Script("/elsewhere", ScriptedAnswer::Json("followed"));
    CHttpClient client;
    EXPECT_EQ(client.PostRequest(Url("/x")), "moved here\r\n");
    EXPECT_EQ(server.RequestCount(), 1u);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(HttpClientWire, ClientAndServerErrorStatusesGiveMinusOneWithoutMessage) {
    for (int status : {400, 404, 500, 503, 599}) {
        SCOPED_TRACE(status);
        server.Queue(ScriptedAnswer::Status(status, "{\"code\":\"0\"}"));
        CHttpClient client;
        EXPECT_EQ(client.PostRequest(Url("/x")), "-1");
        EXPECT_EQ(client.LastAnswerUtf8(), "");
    }
    // Just outside the range the body is an answer.
    server.Queue(ScriptedAnswer::Status(399, "three-nine-nine"));
    CHttpClient client;
    EXPECT_EQ(client.PostRequest(Url("/x")), "three-nine-nine\r\n");
    EXPECT_TRUE(Boxes().empty());
}

// ---- transport failures ----------------------------------------------------------------------------

TEST_F(HttpClientWire, UnsupportedOrMissingSchemeShowsItsMessageAndSendsNothing) {
    const std::string hostPort = "127.0.0.1:" + std::to_string(server.Port());
    for (const std::string& url :
         {"ftp://" + hostPort + "/x", hostPort + "/x", std::string("file:///etc/passwd"), std::string("")}) {
        SCOPED_TRACE(url);
        core.boxes.Clear();
        CHttpClient client;
        EXPECT_EQ(client.PostRequest(url), "-1");
        EXPECT_EQ(Boxes(), std::vector<std::string>{kUnsupported});
    }
    EXPECT_EQ(server.RequestCount(), 0u);
}

TEST_F(HttpClientWire, SchemeIsRecognisedInAnyCase) {
    server.Script("/x", ScriptedAnswer::Json("fine"));
    CHttpClient client;
    EXPECT_EQ(client.PostRequest("HTTP://127.0.0.1:" + std::to_string(server.Port()) + "/x"), "fine\r\n");
}

TEST_F(HttpClientWire, RefusedConnectionShowsTheCannotConnectMessage) {
    CHttpClient client;
    EXPECT_EQ(client.PostRequest("http://127.0.0.1:" + std::to_string(ClosedLoopbackPort()) + "/x"), "-1");
    EXPECT_EQ(Boxes(), std::vector<std::string>{kCannotConnect});
}

TEST_F(HttpClientWire, MalformedHostOrPortIsAnOtherTransportError) {
    for (const std::string& url : {std::string("http://127.0.0.1:99999/x"), std::string("http:///x"),
                                   std::string("http://127.0.0.1:12ab/x")}) {
        SCOPED_TRACE(url);
        CHttpClient client;
        EXPECT_EQ(client.PostRequest(url), "");
    }
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(HttpClientWire, DroppedConnectionIsAnOtherTransportError) {
    server.Script("/x", ScriptedAnswer::Drop());
    CHttpClient client;
    EXPECT_EQ(client.PostRequest(Url("/x")), "");
    EXPECT_EQ(server.RequestCount(), 1u);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(HttpClientWire, ConnectTimeoutEndsAfterFiveSecondsWithoutMessage) {
    FullBacklogListener listener;
    CHttpClient client;
    auto start = Clock::now();
    EXPECT_EQ(client.PostRequest("http://127.0.0.1:" + std::to_string(listener.Port()) + "/x"), "");
    auto took = Clock::now() - start;
    EXPECT_GE(took, 4900ms);
    EXPECT_LT(took, 7s);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(HttpClientWire, StalledServerIsAbortedByTheLowSpeedLimit) {
    EXPECT_EQ(CHttpClient().Limits().lowSpeedBytes, 1);
    EXPECT_EQ(CHttpClient().Limits().lowSpeedSeconds, 30);
    ScriptedAnswer slow = ScriptedAnswer::Json("late");
    slow.delay = 4s;
    server.Script("/slow", slow);
    CHttpClient client;
    HttpLimits limits;
    limits.lowSpeedSeconds = 1;
    client.SetLimits(limits);
    auto start = Clock::now();
    EXPECT_EQ(client.PostRequest(Url("/slow")), "");
    EXPECT_LT(Clock::now() - start, 3500ms);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(HttpClientWire, AnswersOverTheCapAreRefused) {
    EXPECT_EQ(CHttpClient().Limits().maxAnswerBytes, 8u * 1024u * 1024u);
    const std::string atCap(8u * 1024u * 1024u, 'a');
    server.Queue(ScriptedAnswer::Json(atCap));
    server.Queue(ScriptedAnswer::Json(atCap + "b"));
    CHttpClient client;
    EXPECT_EQ(client.PostRequest(Url("/x")).size(), atCap.size() + 2);
    EXPECT_EQ(client.PostRequest(Url("/x")), "");
    EXPECT_EQ(client.LastAnswerUtf8(), "");
    EXPECT_TRUE(Boxes().empty());
}

// ---- proxy from the environment ----------------------------------------------------------------------

TEST_F(HttpClientWire, ProxyFromTheEnvironmentCarriesTheRequest) {
    ScriptedHttpServer proxy;
    proxy.Script("/selfIcUpdate", ScriptedAnswer::Json("via proxy"));
    server.Script("/selfIcUpdate", ScriptedAnswer::Json("direct"));
    ScopedEnv env("http_proxy", proxy.BaseUrl().c_str());
    CHttpClient client;
    client.AddParam("data", "p");
    EXPECT_EQ(client.PostRequest(Url("/selfIcUpdate")), "via proxy\r\n");

    EXPECT_EQ(server.RequestCount(), 0u);
    auto reqs = proxy.Requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].target, Url("/selfIcUpdate"));
    EXPECT_EQ(reqs[0].body, std::string("p\0", 2));
    EXPECT_EQ(reqs[0].HeaderCount("Content-Type"), 1);
    EXPECT_EQ(reqs[0].Header("User-Agent"), kGbkTitle);
}

TEST_F(HttpClientWire, NoProxyListBypassesTheProxy) {
    ScriptedHttpServer proxy;
    proxy.SetDefault(ScriptedAnswer::Json("via proxy"));
    server.Script("/selfIcUpdate", ScriptedAnswer::Json("direct"));
    ScopedEnv env("http_proxy", proxy.BaseUrl().c_str());
    ScopedEnv bypass("no_proxy", "127.0.0.1");
    CHttpClient client;
    EXPECT_EQ(client.PostRequest(Url("/selfIcUpdate")), "direct\r\n");
    EXPECT_EQ(proxy.RequestCount(), 0u);
    EXPECT_EQ(server.RequestCount(), 1u);
}

TEST_F(HttpClientWire, UnreachableProxyIsACannotConnectFailure) {
    const std::string proxyUrl = "http://127.0.0.1:" + std::to_string(ClosedLoopbackPort());
    ScopedEnv env("http_proxy", proxyUrl.c_str());
    CHttpClient client;
    EXPECT_EQ(client.PostRequest(Url("/x")), "-1");
    EXPECT_EQ(Boxes(), std::vector<std::string>{kCannotConnect});
    EXPECT_EQ(server.RequestCount(), 0u);
}

} // namespace
} // namespace rv::test
