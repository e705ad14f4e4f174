#include "support/ScriptedHttpPeer.h"
#include "support/WaitFor.h"

#include <QelAccessUtility/HttpException.h>
#include <QelAccessUtility/PocoHttpSessionFactory.h>

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <sstream>
#include <thread>

namespace {

using qelutil::HttpException;
using qelutil::HttpResponse;
using qelutil::PocoHttpSessionFactory;
using qeltest::ScriptedHttpPeer;
using Reply = ScriptedHttpPeer::Reply;
using testing::AllOf;
using testing::HasSubstr;

/// Answers every request with a reply sent one byte every 20 ms, so that no
/// single receive waits long but the whole exchange does.
class DrippingPeer : public qeltest::ScriptedPeer {
public:
    DrippingPeer() : ScriptedPeer(true) { start(); }
    ~DrippingPeer() override { stop(); }

private:
    void serve(Connection& connection) override {
        qeltest::RequestHead head;
        if (!connection.readHead(head)) return;
        const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 300\r\n\r\n" + std::string(300, 'x');
        for (std::size_t i = 0; i < reply.size() && !m_stopping && connection.send(reply.substr(i, 1)); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
};

Reply with(Reply reply, ScriptedHttpPeer::Headers headers) {
    reply.headers = std::move(headers);
    return reply;
}

Reply framed(Reply reply, Reply::Framing framing, std::size_t chunkSize = 1000) {
    reply.framing = framing;
    reply.chunkSize = chunkSize;
    return reply;
}

class HttpSessionTest : public testing::Test {
protected:
    /// The body of a GET of `path`; the response goes to `into` when given.
    std::string get(const std::string& path, HttpResponse* into = nullptr) {
        std::ostringstream body;
        HttpResponse scratch;
        factory.createSession(peer.baseUri())->get(path, body, into ? *into : scratch);
        return body.str();
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
        options.maxBodySize = 6000;
        return options;
    }

    /// How many of the requests the peer read went to `path`.
    std::size_t copiesOf(const std::string& path) const {
        const auto requests = peer.requests();
        return std::count_if(requests.begin(), requests.end(),
                             [&](const auto& request) { return request.uri == path; });
    }

    ScriptedHttpPeer peer;
    PocoHttpSessionFactory factory{quickOptions()};
    std::ostringstream out;
    HttpResponse response;
};

TEST_F(HttpSessionTest, EveryReplyIsReadWithItsStatusHeadersAndBodyOrFailsNamingTheRequest) {
    struct Case {
        std::string path;
        Reply reply;
        int status;        // 0: the request fails
        std::string body;  // the body, or a part of the error text
        int idle;          // idle connections afterwards; -1: not checked
    };
    Reply plain = Reply::json(500, "boom");
    plain.contentType = "text/plain";
    Reply slow = Reply::json(200, "late");
    slow.delay = std::chrono::seconds(30);
    factory.setReceiveTimeout(std::chrono::milliseconds(300));
    Reply truncated = Reply::json(200, std::string(1000, 't'));
    truncated.action = Reply::Action::TRUNCATED_BODY;
    const std::string atLimit(6000, 'x'), overLimit = "limit of 6000 bytes";
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    std::string fields;
    for (int i = 0; i < 201; ++i) fields += "X-" + std::to_string(i) + ": y\r\n";
    const std::vector<Case> cases = {
        {"/200", Reply::json(200, R"({"data":[1,2,3]})"), 200, R"({"data":[1,2,3]})", 1},
        {"/redirect", with(Reply::json(307, ""), {{"Location", "http://127.0.0.1:1/elsewhere"}}), 307, "", 1},
        {"/201", Reply::json(201, ""), 201, "", 1},
        {"/fits", Reply::json(200, atLimit), 200, atLimit, 1},
        {"/404", Reply::json(404, R"({"message":"no such element"})"), 404, R"({"message":"no such element"})", 1},
        {"/500", plain, 500, "boom", 1},
        {"/599", Reply::json(599, "x"), 599, "x", 1},
        {"/dated", with(Reply::json(200, ""), {{"Date", "Sun, 06 Nov 1994 08:49:37 GMT"}}), 200, "", 1},
        {"/chunked", framed(Reply::json(200, atLimit), Reply::Framing::CHUNKED), 200, atLimit, 1},
        {"/closing", with(Reply::json(200, "{}"), {{"Connection", "close"}}), 200, "{}", 0},
        {"/until-close", framed(Reply::json(200, "to the end"), Reply::Framing::UNTIL_CLOSE), 200, "to the end", 0},
        {"/switch", Reply::json(101, ""), 101, "", 0},
        {"/malformed", Reply::malformed(), 0, "", 0},
        {"/garbage-length", Reply::raw("HTTP/1.1 200 OK\r\nContent-Length: lots\r\n\r\n"), 0, "", 0},
        {"/truncated", truncated, 0, "500 of 1000 body bytes", 0},
        {"/truncated-chunked", Reply::raw(chunked + "10\r\nonly eight"), 0, "", 0},
        {"/bad-chunk", Reply::raw(chunked + "zz\r\n"), 0, "", 0},
        {"/empty", Reply::raw(""), 0, "", 0},
        {"/slow", slow, 0, "receive time-out 300 ms", 0},
        {"/many-fields", Reply::raw("HTTP/1.1 200 OK\r\n" + fields + "Content-Length: 0\r\n\r\n"), 0,
         "too many header fields", 0},
        {"/declared", Reply::json(200, atLimit + "d"), 0, overLimit, 0},
        {"/chunked-over", framed(Reply::json(200, atLimit + "c"), Reply::Framing::CHUNKED, 40), 0, overLimit, 0},
        {"/endless", framed(Reply::json(200, atLimit + "e"), Reply::Framing::UNTIL_CLOSE), 0, overLimit, 0},
        // A 204 has no body, whatever its headers say.
        {"/none", Reply::raw("HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n"), 204, "", -1},
    };
    // The response record is reused: nothing of one reply may stay for the next.
    for (const Case& c : cases) {
        peer.setReply(c.path, c.reply);
        if (c.status == 0) {
            EXPECT_THAT(failure([&] { get(c.path, &response); }), AllOf(HasSubstr(c.path), HasSubstr(c.body)));
        } else {
            EXPECT_EQ(c.body, get(c.path, &response)) << c.path;
            EXPECT_EQ(c.status, static_cast<int>(response.status)) << c.path;
            EXPECT_EQ(c.path == "/redirect" ? "http://127.0.0.1:1/elsewhere" : "", response.location.getValueOr(""))
                << c.path;
            EXPECT_TRUE(c.path != "/dated" || std::chrono::system_clock::to_time_t(response.date) == 784111777);
            if (c.reply.action == Reply::Action::ANSWER) {
                EXPECT_EQ(c.reply.contentType, response.contentType.getValueOr("")) << c.path;
                EXPECT_TRUE(c.reply.framing == Reply::Framing::UNTIL_CLOSE ||
                            static_cast<int64_t>(c.body.size()) == response.contentLength) << c.path;
            }
        }
        const std::size_t idle = factory.getIdleConnectionCount();
        EXPECT_TRUE(c.idle < 0 || static_cast<std::size_t>(c.idle) == idle) << c.path << ": " << idle << " idle";
    }
}

TEST_F(HttpSessionTest, ConnectionsAreReusedUntilTheServerOrKeepAliveOffEndsThem) {
    peer.setDefaultReply(Reply::json(200, "{}"));
    peer.setReply("/chunked", framed(Reply::json(200, std::string(5000, 'c')), Reply::Framing::CHUNKED));
    get("/a");
    EXPECT_EQ(std::string(5000, 'c'), get("/chunked"));
    get("/b");
    for (const auto& request : peer.requests()) EXPECT_EQ(1u, request.connectionId) << request.uri;

    // An idle connection the server closed is replaced without a failure.
    peer.closeIdleConnections();
    ASSERT_TRUE(qeltest::waitFor([&] { return peer.openConnectionCount() == 0; }));
    EXPECT_EQ("{}", get("/second"));
    Reply lastWord = Reply::json(200, "{}");
    lastWord.closeAfterReply = true;
    peer.setReply("/last-word", lastWord);
    get("/last-word");
    ASSERT_TRUE(qeltest::waitFor([&] { return peer.openConnectionCount() == 0; }));
    EXPECT_EQ("{}", get("/third"));

    factory.setKeepAlive(false);
    EXPECT_EQ(0u, factory.getIdleConnectionCount());
    get("/a");
    get("/b");
    EXPECT_EQ(5u, peer.connectionCount());  // three before, then one per request
    EXPECT_THAT(peer.requests().back().header("Connection"), testing::StrCaseEq("close"));
    EXPECT_EQ(0u, factory.getIdleConnectionCount());
    EXPECT_TRUE(qeltest::waitFor([&] { return peer.openConnectionCount() == 0; }));
}

TEST_F(HttpSessionTest, SessionsSendWhatTheyAreGivenAndRepeatOnlySafeRequestsDroppedOnAPooledConnection) {
    peer.setDefaultReply(Reply::json(200, "{}"));
    // The session outlives its factory.
    auto session = PocoHttpSessionFactory(quickOptions()).createSession(peer.baseUri() + "/api/");
    session->get("/media/tracks?$limit=2&x=%20", out, response);
    session->post("/media/tracks", R"({"title":"a"})", out, response);
    session->remove("/media/tracks/7", out, response);
    session->get("?$fields=name", out, response);

    EXPECT_EQ("{}{}{}{}", out.str());
    const std::vector<ScriptedHttpPeer::Request> seen = peer.requests();
    std::vector<std::string> lines;
    for (const auto& request : seen)
        lines.push_back(request.method + " " + request.uri + " " + request.version + " " + request.body);
    EXPECT_EQ(lines,
              (std::vector<std::string>{"GET /api/media/tracks?$limit=2&x=%20 HTTP/1.1 ",
                                        R"(POST /api/media/tracks HTTP/1.1 {"title":"a"})",
                                        "DELETE /api/media/tracks/7 HTTP/1.1 ", "GET /api/?$fields=name HTTP/1.1 "}));
    ASSERT_EQ(4u, seen.size());
    EXPECT_EQ("127.0.0.1:" + std::to_string(peer.port()), seen[0].header("Host"));
    EXPECT_EQ("QelAccess", seen[0].header("User-Agent"));
    EXPECT_EQ("application/json", seen[1].header("Content-Type"));
    EXPECT_EQ("13", seen[1].header("Content-Length"));
    EXPECT_EQ(1u, peer.connectionCount());

    peer.setDefaultReply(Reply::json(200, "fine"));
    peer.clearRequests();
    const std::vector<std::pair<std::function<void(const std::string&)>, std::size_t>> cases = {
        {[&](const std::string& path) { session->post(path, "{\"name\":\"n\"}", out, response); }, 1},
        {[&](const std::string& path) { session->get(path, out, response); }, 2},
        {[&](const std::string& path) { session->remove(path, out, response); }, 2},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::string path = "/target" + std::to_string(i);
        session->get("/warm", out, response);
        peer.queueReply("/api" + path, Reply::closeWithoutAnswer());
        out.str("");
        const bool failed = !failure([&] { cases[i].first(path); }).empty();
        EXPECT_EQ(cases[i].second, copiesOf("/api" + path)) << path;
        EXPECT_EQ(cases[i].second == 1, failed) << path;
        EXPECT_EQ(failed ? "" : "fine", out.str()) << path;
    }
    const std::vector<ScriptedHttpPeer::Request> retried = peer.requests();
    ASSERT_EQ(8u, retried.size());
    EXPECT_EQ(retried[2].connectionId, retried[3].connectionId);
    EXPECT_NE(retried[3].connectionId, retried[4].connectionId);

    // A drop on a fresh connection is not the pool's fault: it fails at once.
    PocoHttpSessionFactory fresh(quickOptions());
    peer.queueReply("/dropped", Reply::closeWithoutAnswer());
    const std::string message = failure([&] { fresh.createSession(peer.baseUri())->get("/dropped", out, response); });
    EXPECT_THAT(message, AllOf(HasSubstr("GET " + peer.baseUri() + "/dropped"), HasSubstr("without a reply")));
    EXPECT_EQ(1u, copiesOf("/dropped"));
}

TEST_F(HttpSessionTest, TransportFailuresNameTheRequestAndTheirCause) {
    const uint16_t closedPort = Poco::Net::ServerSocket(Poco::Net::SocketAddress("127.0.0.1", 0)).address().port();
    const std::string closed = "http://127.0.0.1:" + std::to_string(closedPort);
    const std::string refused = failure([&] { factory.createSession(closed)->get("/x", out, response); });
    EXPECT_THAT(refused, AllOf(HasSubstr(closed + "/x"), HasSubstr("refused")));

    DrippingPeer dripping;
    PocoHttpSessionFactory::Options options = quickOptions();
    options.exchangeTimeout = std::chrono::milliseconds(300);
    const std::string dripped = failure(
        [&] { PocoHttpSessionFactory(options).createSession(dripping.baseUri())->get("/slow", out, response); });
    EXPECT_THAT(dripped, AllOf(HasSubstr("GET " + dripping.baseUri() + "/slow failed while receiving the reply"),
                               HasSubstr("(exchange time-out 300 ms)")));

    // A server resetting during a large upload, on a thread that leaves
    // SIGPIPE unblocked as an application thread may, fails the request only.
    Reply reset;
    reset.action = Reply::Action::CLOSE_AFTER_HEADER;
    peer.setReply("/upload", reset);
    std::string uploadFailure;
    std::thread uploader([&] {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
        const std::string body(16 * 1024 * 1024, 'u');
        uploadFailure = failure([&] { factory.createSession(peer.baseUri())->post("/upload", body, out, response); });
        sigset_t pending;
        sigpending(&pending);
        EXPECT_EQ(0, sigismember(&pending, SIGPIPE));
    });
    uploader.join();
    EXPECT_THAT(uploadFailure, HasSubstr("POST " + peer.baseUri() + "/upload failed"));
}

TEST_F(HttpSessionTest, BadPathsAndBaseUrisAreRefusedBeforeSending) {
    peer.setDefaultReply(Reply::json(200, "{}"));
    auto session = factory.createSession(peer.baseUri());
    for (const std::string& path : {std::string("/a b"), std::string("/a\nb"), std::string("/a\r\nHost: x"),
                                    std::string("/a\x7f"), std::string("/a\0b", 4), std::string("/a\tb")}) {
        EXPECT_THAT(failure([&] { session->get(path, out, response); }), HasSubstr("refused request path"));
        EXPECT_FALSE(failure([&] { session->post(path, "{}", out, response); }).empty() ||
                     failure([&] { session->remove(path, out, response); }).empty());
    }
    session->get("/fine", out, response);
    ASSERT_EQ(1u, peer.requests().size());
    EXPECT_EQ("/fine", peer.requests()[0].uri);
    for (const char* base : {"", "not a uri", "127.0.0.1:8080", "https://127.0.0.1:1", "http://",
                             "http://127.0.0.1:99999", "http://host/a?b=c", "http://ho\nst/"})
        EXPECT_THROW(factory.createSession(base), HttpException) << base;
}

TEST_F(HttpSessionTest, ConcurrentRequestsGetTheirOwnRepliesAndThePoolKeepsAtMostMaxIdle) {
    const std::size_t maxIdle = factory.getOptions().maxIdlePerOrigin;
    const int threads = static_cast<int>(maxIdle) + 2;
    const int requests = 30;
    for (int t = 0; t < threads; ++t)
        peer.setReply("/t" + std::to_string(t), Reply::json(200, "body" + std::to_string(t)));
    std::atomic<int> wrong{0};  // wrong or failed replies
    std::vector<std::thread> clients;
    peer.holdReplies();  // until every thread has a request in flight, each on a connection of its own
    for (int t = 0; t < threads; ++t) {
        clients.emplace_back([&, t] {
            for (int i = 0; i < requests; ++i) {
                try {
                    wrong += get("/t" + std::to_string(t)) != "body" + std::to_string(t);
                } catch (const HttpException&) {
                    ++wrong;
                }
                if (i == requests / 2 && t == 0) factory.setReceiveTimeout(std::chrono::milliseconds(4000));
            }
        });
    }
    EXPECT_TRUE(peer.waitForRequests(threads));
    peer.releaseReplies();
    for (auto& client : clients) client.join();
    EXPECT_EQ(0, wrong.load());
    EXPECT_EQ(static_cast<std::size_t>(threads * requests), peer.requests().size());
    EXPECT_EQ(maxIdle, factory.getIdleConnectionCount());
    EXPECT_TRUE(qeltest::waitFor([&] { return peer.openConnectionCount() == maxIdle; }));
}

}  // namespace
