// Faults of a whole exchange rather than of one receive: a reply dripped
// slowly, and a request the server carried out before the connection broke.
#include "support/ScriptedHttpPeer.h"

#include <QelAccessUtility/HttpException.h>
#include <QelAccessUtility/PocoHttpSessionFactory.h>

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

namespace {

using qelutil::HttpException;
using qelutil::HttpResponse;
using qelutil::PocoHttpSessionFactory;
using qeltest::ScriptedHttpPeer;
using Reply = ScriptedHttpPeer::Reply;
using testing::HasSubstr;

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

template <typename Call>
std::string failure(Call call) {
    try {
        call();
    } catch (const HttpException& e) {
        return e.what();
    }
    return "";
}

TEST(HttpSessionDeadlineTest, DrippedReplyFailsAtTheExchangeTimeOut) {
    DrippingServer server;
    PocoHttpSessionFactory::Options options;
    options.receiveTimeout = std::chrono::milliseconds(2000);
    options.exchangeTimeout = std::chrono::milliseconds(300);
    PocoHttpSessionFactory factory(options);
    std::ostringstream out;
    HttpResponse response;

    const std::string message = failure([&] { factory.createSession(server.baseUri())->get("/slow", out, response); });

    EXPECT_THAT(message, HasSubstr("GET " + server.baseUri() + "/slow failed while receiving the reply"));
    EXPECT_THAT(message, HasSubstr("(exchange time-out 300 ms)"));
}

TEST(HttpSessionDeadlineTest, RequestDroppedAfterBeingReadIsRepeatedOnlyWhenSafe) {
    struct Case {
        const char* method;
        std::size_t expectedCopies;
    };
    for (const Case& c : {Case{"POST", 1}, Case{"GET", 2}, Case{"DELETE", 2}}) {
        SCOPED_TRACE(c.method);
        ScriptedHttpPeer peer;
        peer.setDefaultReply(Reply::json(200, "{}"));
        PocoHttpSessionFactory factory;
        auto session = factory.createSession(peer.baseUri());
        std::ostringstream out;
        HttpResponse response;
        session->get("/warm", out, response);
        peer.queueReply("/target", Reply::closeWithoutAnswer());

        const std::string method = c.method;
        failure([&] {
            if (method == "POST") session->post("/target", "{\"name\":\"n\"}", out, response);
            else if (method == "GET") session->get("/target", out, response);
            else session->remove("/target", out, response);
        });

        std::size_t copies = 0;
        for (const auto& request : peer.requests()) copies += request.uri == "/target" ? 1 : 0;
        EXPECT_EQ(c.expectedCopies, copies);
    }
}

}  // namespace
