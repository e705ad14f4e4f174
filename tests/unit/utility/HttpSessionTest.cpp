#include "support/ScriptedHttpPeer.h"
#include "support/WaitFor.h"

#include <QelAccessUtility/HttpException.h>
#include <QelAccessUtility/PocoHttpSessionFactory.h>

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <pthread.h>

#include <atomic>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

namespace {

using qelutil::HttpException;
using qelutil::HttpResponse;
using qelutil::PocoHttpSessionFactory;
using qeltest::ScriptedHttpPeer;
using Reply = ScriptedHttpPeer::Reply;
using testing::HasSubstr;

struct Result {
    HttpResponse response;
    std::string body;
};

/// Answers one connection with a reply sent one byte every 20 ms, at most
/// a few hundred bytes, until the client goes away.
class DrippingServer {
public:
    DrippingServer() : m_thread([this] { serve(); }) {}
    ~DrippingServer() {
        m_stop = true;
        m_thread.join();
    }
    std::string baseUri() const { return "http://127.0.0.1:" + std::to_string(m_socket.address().port()); }

private:
    void serve() {
        Poco::Net::StreamSocket client;
        while (!m_stop && !m_socket.poll(Poco::Timespan(20000), Poco::Net::Socket::SELECT_READ)) {
        }
        if (m_stop) return;
        client = m_socket.acceptConnection();
        char request[4096];
        client.receiveBytes(request, sizeof request);
        const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 300\r\n\r\n" + std::string(300, 'x');
        try {
            for (std::size_t i = 0; i < reply.size() && !m_stop; ++i) {
                client.sendBytes(&reply[i], 1);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        } catch (const Poco::Exception&) {
            // The client gave up: that is what the test wants.
        }
    }

    Poco::Net::ServerSocket m_socket{Poco::Net::SocketAddress("127.0.0.1", 0)};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

class HttpSessionTest : public testing::Test {
protected:
    Result get(const std::string& path) { return get(factory, path); }

    Result get(PocoHttpSessionFactory& from, const std::string& path) {
        Result result;
        std::ostringstream out;
        from.createSession(peer.baseUri())->get(path, out, result.response);
        result.body = out.str();
        return result;
    }

    /// The message of the HttpException that `call` throws, or "" when it
    /// throws nothing.
    template <typename Call>
    static std::string failure(Call call) {
        try {
            call();
        } catch (const HttpException& e) {
            return e.what();
        }
        return "";
    }

    static PocoHttpSessionFactory::Options quickOptions() {
        PocoHttpSessionFactory::Options options;
        options.connectTimeout = std::chrono::milliseconds(2000);
        options.receiveTimeout = std::chrono::milliseconds(5000);
        return options;
    }

    ScriptedHttpPeer peer;
    PocoHttpSessionFactory factory{quickOptions()};
};

TEST_F(HttpSessionTest, ReturnsStatusHeadersAndBodyOfEveryReply) {
    struct Case {
        int status;
        std::string body;
        std::string contentType;
    };
    const std::vector<Case> cases = {{200, R"({"data":[1,2,3]})", "application/json"},
                                     {201, "", "application/json"},
                                     {404, R"({"message":"no such element"})", "application/json"},
                                     {500, "boom", "text/plain"},
                                     {599, "x", "application/json"}};
    for (const Case& c : cases) {
        Reply reply = Reply::json(c.status, c.body);
        reply.contentType = c.contentType;
        peer.setReply("/" + std::to_string(c.status), reply);
        Result result = get("/" + std::to_string(c.status));
        EXPECT_EQ(c.status, static_cast<int>(result.response.status));
        EXPECT_EQ(c.body, result.body);
        EXPECT_EQ(static_cast<int64_t>(c.body.size()), result.response.contentLength) << c.status;
        EXPECT_EQ(c.contentType, result.response.contentType.getValueOr(""));
        EXPECT_FALSE(result.response.location.isValid());
    }
    // A 204 has no body, whatever its headers say.
    peer.setReply("/none", Reply::raw("HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n"));
    const Result none = get("/none");
    EXPECT_EQ(204, static_cast<int>(none.response.status));
    EXPECT_EQ("", none.body);
}

TEST_F(HttpSessionTest, RedirectReachesTheCallerWithItsLocationAndIsNotFollowed) {
    Reply redirect = Reply::json(307, "");
    redirect.headers = {{"Location", "http://127.0.0.1:1/elsewhere"}};
    peer.setReply("/registry/media", redirect);

    Result result = get("/registry/media");

    EXPECT_EQ(HttpResponse::TEMPORARY_REDIRECT, result.response.status);
    EXPECT_EQ("http://127.0.0.1:1/elsewhere", result.response.location.getValueOr(""));
    ASSERT_EQ(1u, peer.requests().size());

    // A record reused for the next request does not keep the old Location.
    std::ostringstream out;
    peer.setReply("/plain", Reply::json(200, "{}"));
    factory.createSession(peer.baseUri())->get("/plain", out, result.response);
    EXPECT_FALSE(result.response.location.isValid());
}

TEST_F(HttpSessionTest, SendsMethodTargetBodyAndHeaders) {
    peer.setDefaultReply(Reply::json(200, "{}"));
    auto session = factory.createSession(peer.baseUri() + "/api/");
    std::ostringstream out;
    HttpResponse response;

    session->get("/media/tracks?$limit=2&x=%20", out, response);
    session->post("/media/tracks", R"({"title":"a"})", out, response);
    session->remove("/media/tracks/7", out, response);
    session->get("?$fields=name", out, response);

    std::vector<ScriptedHttpPeer::Request> seen = peer.requests();
    ASSERT_EQ(4u, seen.size());
    EXPECT_EQ("GET", seen[0].method);
    EXPECT_EQ("/api/media/tracks?$limit=2&x=%20", seen[0].uri);
    EXPECT_EQ("HTTP/1.1", seen[0].version);
    EXPECT_EQ("127.0.0.1:" + std::to_string(peer.port()), seen[0].header("Host"));
    EXPECT_EQ("QelAccess", seen[0].header("User-Agent"));
    EXPECT_EQ("", seen[0].body);

    EXPECT_EQ("POST", seen[1].method);
    EXPECT_EQ("/api/media/tracks", seen[1].uri);
    EXPECT_EQ(R"({"title":"a"})", seen[1].body);
    EXPECT_EQ("application/json", seen[1].header("Content-Type"));
    EXPECT_EQ("13", seen[1].header("Content-Length"));

    EXPECT_EQ("DELETE", seen[2].method);
    EXPECT_EQ("/api/media/tracks/7", seen[2].uri);

    EXPECT_EQ("/api/?$fields=name", seen[3].uri);
}

TEST_F(HttpSessionTest, DateComesFromTheReplyWhenItCanBeRead) {
    Reply dated = Reply::json(200, "");
    dated.headers = {{"Date", "Sun, 06 Nov 1994 08:49:37 GMT"}};
    peer.setReply("/dated", dated);
    Reply garbled = Reply::json(200, "");
    garbled.headers = {{"Date", "yesterday-ish"}};
    peer.setReply("/garbled", garbled);
    Reply farFuture = Reply::json(200, "");
    farFuture.headers = {{"Date", "Fri, 31 Dec 9999 23:59:59 GMT"}};
    peer.setReply("/far", farFuture);

    EXPECT_EQ(784111777, std::chrono::system_clock::to_time_t(get("/dated").response.date));

    const auto before = std::chrono::system_clock::now();
    EXPECT_GE(get("/garbled").response.date, before);
    EXPECT_GE(get("/far").response.date, before);
}

TEST_F(HttpSessionTest, SequentialSessionsReuseOneConnection) {
    peer.setDefaultReply(Reply::json(200, "{}"));

    get("/a");
    EXPECT_EQ(1u, factory.getIdleConnectionCount());
    get("/b");
    peer.setReply("/chunked", [] {
        Reply reply = Reply::json(200, std::string(5000, 'c'));
        reply.framing = Reply::Framing::CHUNKED;
        return reply;
    }());
    Result chunked = get("/chunked");
    EXPECT_EQ(std::string(5000, 'c'), chunked.body);
    EXPECT_EQ(5000, chunked.response.contentLength);
    get("/c");

    std::vector<ScriptedHttpPeer::Request> seen = peer.requests();
    ASSERT_EQ(4u, seen.size());
    for (const auto& request : seen) EXPECT_EQ(seen[0].connectionId, request.connectionId) << request.uri;
    EXPECT_EQ(1u, peer.connectionCount());
}

TEST_F(HttpSessionTest, KeepAliveOffOpensAConnectionPerRequest) {
    peer.setDefaultReply(Reply::json(200, "{}"));
    get("/warm");
    ASSERT_EQ(1u, factory.getIdleConnectionCount());

    factory.setKeepAlive(false);
    EXPECT_EQ(0u, factory.getIdleConnectionCount());
    get("/a");
    get("/b");

    std::vector<ScriptedHttpPeer::Request> seen = peer.requests();
    ASSERT_EQ(3u, seen.size());
    EXPECT_NE(seen[1].connectionId, seen[2].connectionId);
    EXPECT_THAT(seen[1].header("Connection"), testing::StrCaseEq("close"));
    EXPECT_EQ(0u, factory.getIdleConnectionCount());
    EXPECT_TRUE(qeltest::waitFor([&] { return peer.openConnectionCount() == 0; }));
}

TEST_F(HttpSessionTest, ConnectionsThatCannotCarryAnotherRequestAreNotPooled) {
    Reply closing = Reply::json(200, "{}");
    closing.headers = {{"Connection", "close"}};
    peer.setReply("/closing", closing);
    Reply untilClose = Reply::json(200, "streamed to the end");
    untilClose.framing = Reply::Framing::UNTIL_CLOSE;
    peer.setReply("/until-close", untilClose);
    peer.setReply("/switch", Reply::json(101, ""));

    get("/closing");
    EXPECT_EQ(0u, factory.getIdleConnectionCount());
    EXPECT_EQ("streamed to the end", get("/until-close").body);
    EXPECT_EQ(0u, factory.getIdleConnectionCount());
    EXPECT_EQ(HttpResponse::SWITCHING_PROTOCOLS, get("/switch").response.status);
    EXPECT_EQ(0u, factory.getIdleConnectionCount());
}

TEST_F(HttpSessionTest, IdleConnectionClosedByTheServerIsReplacedTransparently) {
    peer.setDefaultReply(Reply::json(200, "{}"));
    get("/first");
    ASSERT_EQ(1u, factory.getIdleConnectionCount());

    peer.closeIdleConnections();
    ASSERT_TRUE(qeltest::waitFor([&] { return peer.openConnectionCount() == 0; }));
    EXPECT_EQ("{}", get("/second").body);

    Reply lastWord = Reply::json(200, "{}");
    lastWord.closeAfterReply = true;
    peer.setReply("/last-word", lastWord);
    get("/last-word");
    ASSERT_TRUE(qeltest::waitFor([&] { return peer.openConnectionCount() == 0; }));
    EXPECT_EQ("{}", get("/third").body);
}

TEST_F(HttpSessionTest, RequestDroppedOnAPooledConnectionIsRetriedOnceOnANewOne) {
    peer.setDefaultReply(Reply::json(200, "fine"));
    get("/warm");
    peer.queueReply("/dropped", Reply::closeWithoutAnswer());

    Result result = get("/dropped");

    EXPECT_EQ("fine", result.body);
    std::vector<ScriptedHttpPeer::Request> seen = peer.requests();
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ("/dropped", seen[1].uri);
    EXPECT_EQ("/dropped", seen[2].uri);
    EXPECT_EQ(seen[0].connectionId, seen[1].connectionId);
    EXPECT_NE(seen[1].connectionId, seen[2].connectionId);
}

TEST_F(HttpSessionTest, RequestDroppedOnAFreshConnectionFailsWithoutRetry) {
    peer.queueReply("/dropped", Reply::closeWithoutAnswer());
    peer.setReply("/dropped", Reply::json(200, "would be fine"));

    const std::string message = failure([&] { get("/dropped"); });

    EXPECT_THAT(message, HasSubstr("GET " + peer.baseUri() + "/dropped"));
    EXPECT_THAT(message, HasSubstr("without a reply"));
    EXPECT_EQ(1u, peer.requests().size());
}

TEST_F(HttpSessionTest, RefusedConnectionIsAnHttpException) {
    uint16_t closedPort = 0;
    {
        Poco::Net::ServerSocket socket;
        socket.bind(Poco::Net::SocketAddress("127.0.0.1", 0), false, false);
        closedPort = socket.address().port();
    }
    const std::string base = "http://127.0.0.1:" + std::to_string(closedPort);
    std::ostringstream out;
    HttpResponse response;

    const std::string message = failure([&] { factory.createSession(base)->get("/x", out, response); });

    EXPECT_THAT(message, HasSubstr(base + "/x"));
    EXPECT_THAT(message, HasSubstr("refused"));
}

TEST_F(HttpSessionTest, ReceiveTimeOutIsAnHttpExceptionAndTheConnectionIsDropped) {
    Reply slow = Reply::json(200, "late");
    slow.delay = std::chrono::seconds(30);
    peer.setReply("/slow", slow);
    peer.setReply("/fast", Reply::json(200, "quick"));
    factory.setReceiveTimeout(std::chrono::milliseconds(100));

    const std::string message = failure([&] { get("/slow"); });

    EXPECT_THAT(message, HasSubstr("/slow"));
    EXPECT_THAT(message, HasSubstr("receive time-out 100 ms"));
    EXPECT_EQ(0u, factory.getIdleConnectionCount());
    factory.setReceiveTimeout(std::chrono::milliseconds(5000));
    EXPECT_EQ("quick", get("/fast").body);
    EXPECT_EQ(2u, peer.connectionCount());
}

TEST_F(HttpSessionTest, BrokenRepliesAreHttpExceptions) {
    peer.setReply("/malformed", Reply::malformed());
    peer.setReply("/garbage-length", [] {
        Reply reply = Reply::json(200, "");
        reply.headers = {{"Content-Length", "lots"}};
        reply.contentType.clear();
        return reply;
    }());
    Reply truncated = Reply::json(200, std::string(1000, 't'));
    truncated.action = Reply::Action::TRUNCATED_BODY;
    peer.setReply("/truncated", truncated);
    peer.setReply("/truncated-chunked",
                  Reply::raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nonly eight"));
    peer.setReply("/bad-chunk", Reply::raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"));
    peer.setReply("/empty", Reply::raw(""));
    std::string fields;
    for (int i = 0; i < 201; ++i) fields += "X-" + std::to_string(i) + ": y\r\n";
    peer.setReply("/many-fields", Reply::raw("HTTP/1.1 200 OK\r\n" + fields + "Content-Length: 0\r\n\r\n"));

    for (const char* path : {"/malformed", "/garbage-length", "/truncated", "/truncated-chunked", "/bad-chunk",
                             "/empty", "/many-fields"}) {
        const std::string message = failure([&] { get(path); });
        EXPECT_THAT(message, HasSubstr(path)) << path;
    }
    EXPECT_THAT(failure([&] { get("/truncated"); }), HasSubstr("500 of 1000 body bytes"));
    EXPECT_THAT(failure([&] { get("/many-fields"); }), HasSubstr("too many header fields"));
    EXPECT_EQ(0u, factory.getIdleConnectionCount());
}

TEST_F(HttpSessionTest, BodiesOverTheLimitAreRefused) {
    PocoHttpSessionFactory::Options options = quickOptions();
    options.maxBodySize = 100;
    PocoHttpSessionFactory limited(options);
    peer.setReply("/fits", Reply::json(200, std::string(100, 'f')));
    peer.setReply("/declared", Reply::json(200, std::string(101, 'd')));
    Reply chunked = Reply::json(200, std::string(150, 'c'));
    chunked.framing = Reply::Framing::CHUNKED;
    chunked.chunkSize = 40;
    peer.setReply("/chunked", chunked);
    Reply endless = Reply::json(200, std::string(500, 'e'));
    endless.framing = Reply::Framing::UNTIL_CLOSE;
    peer.setReply("/until-close", endless);

    EXPECT_EQ(100u, get(limited, "/fits").body.size());
    for (const char* path : {"/declared", "/chunked", "/until-close"})
        EXPECT_THAT(failure([&] { get(limited, path); }), HasSubstr("limit of 100 bytes")) << path;
}

TEST_F(HttpSessionTest, PathsWithControlCharactersOrSpacesAreRefusedBeforeSending) {
    peer.setDefaultReply(Reply::json(200, "{}"));
    auto session = factory.createSession(peer.baseUri());
    std::ostringstream out;
    HttpResponse response;

    for (const std::string& path : {std::string("/a b"), std::string("/a\nb"), std::string("/a\r\nHost: x"),
                                   std::string("/a\x7f"), std::string("/a\0b", 4), std::string("/a\tb")}) {
        EXPECT_THAT(failure([&] { session->get(path, out, response); }), HasSubstr("refused request path"));
        EXPECT_FALSE(failure([&] { session->post(path, "{}", out, response); }).empty());
        EXPECT_FALSE(failure([&] { session->remove(path, out, response); }).empty());
    }
    session->get("/fine", out, response);

    std::vector<ScriptedHttpPeer::Request> seen = peer.requests();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("/fine", seen[0].uri);
}

TEST_F(HttpSessionTest, UnusableBaseUrisAreRefused) {
    for (const char* base : {"", "not a uri", "127.0.0.1:8080", "https://127.0.0.1:1", "http://",
                                   "http://127.0.0.1:99999", "http://host/a?b=c", "http://ho\nst/"})
        EXPECT_THROW(factory.createSession(base), HttpException) << base;
}

TEST_F(HttpSessionTest, PoolKeepsAtMostMaxIdlePerOrigin) {
    PocoHttpSessionFactory::Options options = quickOptions();
    options.maxIdlePerOrigin = 2;
    PocoHttpSessionFactory bounded(options);
    peer.setDefaultReply(Reply::json(200, "{}"));
    peer.holdReplies();

    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i) clients.emplace_back([&] { get(bounded, "/held"); });
    ASSERT_TRUE(peer.waitForRequests(4));
    peer.releaseReplies();
    for (auto& client : clients) client.join();

    EXPECT_EQ(4u, peer.connectionCount());
    EXPECT_EQ(2u, bounded.getIdleConnectionCount());
    EXPECT_TRUE(qeltest::waitFor([&] { return peer.openConnectionCount() == 2; }));
}

TEST_F(HttpSessionTest, ConcurrentRequestsFromSeveralThreadsGetTheirOwnReplies) {
    constexpr int kThreads = 6;
    constexpr int kRequests = 40;
    for (int t = 0; t < kThreads; ++t) peer.setReply("/t" + std::to_string(t), Reply::json(200, "body" + std::to_string(t)));
    std::atomic<int> wrong{0};
    std::atomic<int> failed{0};

    std::vector<std::thread> clients;
    for (int t = 0; t < kThreads; ++t) {
        clients.emplace_back([&, t] {
            for (int i = 0; i < kRequests; ++i) {
                try {
                    if (get("/t" + std::to_string(t)).body != "body" + std::to_string(t)) ++wrong;
                } catch (const HttpException&) {
                    ++failed;
                }
                if (i == kRequests / 2 && t == 0) factory.setReceiveTimeout(std::chrono::milliseconds(4000));
            }
        });
    }
    for (auto& client : clients) client.join();

    EXPECT_EQ(0, wrong.load());
    EXPECT_EQ(0, failed.load());
    EXPECT_EQ(static_cast<std::size_t>(kThreads * kRequests), peer.requests().size());
    EXPECT_LE(peer.connectionCount(), static_cast<std::size_t>(kThreads) + factory.getOptions().maxIdlePerOrigin);
    EXPECT_LE(factory.getIdleConnectionCount(), factory.getOptions().maxIdlePerOrigin);
}

TEST_F(HttpSessionTest, ServerResettingDuringALargeUploadFailsTheRequestOnly) {
    Reply reset;
    reset.action = Reply::Action::CLOSE_AFTER_HEADER;
    peer.setReply("/upload", reset);
    const std::string body(16 * 1024 * 1024, 'u');
    std::string message;

    // The upload runs on a thread that leaves SIGPIPE unblocked, as an
    // application thread may: the broken pipe must fail the request only.
    std::thread uploader([&] {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
        std::ostringstream out;
        HttpResponse response;
        message = failure([&] { factory.createSession(peer.baseUri())->post("/upload", body, out, response); });
        sigset_t pending;
        sigpending(&pending);
        EXPECT_EQ(0, sigismember(&pending, SIGPIPE));
    });
    uploader.join();

    EXPECT_THAT(message, HasSubstr("POST " + peer.baseUri() + "/upload failed"));
}

TEST_F(HttpSessionTest, SessionsOutliveTheirFactory) {
    peer.setDefaultReply(Reply::json(200, "{}"));
    qelutil::IHttpSession::Shared session;
    {
        PocoHttpSessionFactory shortLived(quickOptions());
        session = shortLived.createSession(peer.baseUri());
    }
    std::ostringstream out;
    HttpResponse response;
    session->get("/still", out, response);
    session->get("/working", out, response);
    EXPECT_EQ("{}{}", out.str());
    EXPECT_EQ(1u, peer.connectionCount());
}

TEST_F(HttpSessionTest, DrippedReplyFailsAtTheExchangeTimeOut) {
    DrippingServer server;
    PocoHttpSessionFactory::Options options;
    options.receiveTimeout = std::chrono::milliseconds(2000);
    options.exchangeTimeout = std::chrono::milliseconds(300);
    PocoHttpSessionFactory dripped(options);
    std::ostringstream out;
    HttpResponse response;
    const std::string message = failure([&] { dripped.createSession(server.baseUri())->get("/slow", out, response); });
    EXPECT_THAT(message, HasSubstr("GET " + server.baseUri() + "/slow failed while receiving the reply"));
    EXPECT_THAT(message, HasSubstr("(exchange time-out 300 ms)"));
}

TEST_F(HttpSessionTest, RequestDroppedAfterBeingReadIsRepeatedOnlyWhenSafe) {
    peer.setDefaultReply(Reply::json(200, "{}"));
    auto session = factory.createSession(peer.baseUri());
    std::ostringstream out;
    HttpResponse response;
    const std::vector<std::pair<std::function<void(const std::string&)>, std::size_t>> cases = {
        {[&](const std::string& path) { session->post(path, "{\"name\":\"n\"}", out, response); }, 1},
        {[&](const std::string& path) { session->get(path, out, response); }, 2},
        {[&](const std::string& path) { session->remove(path, out, response); }, 2},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::string path = "/target" + std::to_string(i);
        session->get("/warm", out, response);
        peer.queueReply(path, Reply::closeWithoutAnswer());
        failure([&] { cases[i].first(path); });
        std::size_t copies = 0;
        for (const auto& request : peer.requests()) copies += request.uri == path ? 1 : 0;
        EXPECT_EQ(cases[i].second, copies) << path;
    }
}

}  // namespace
