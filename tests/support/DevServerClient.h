#pragma once

// Raw HTTP and WebSocket clients and a fixture for the reference server's own tests.

#include <qeldev/DevServer.h>

#include <support/WaitFor.h>

#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonException.h>
#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/LoggerFactory.h>

#include <Poco/Buffer.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/WebSocket.h>
#include <Poco/StreamCopier.h>
#include <Poco/URI.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qeltest {

using qelutil::JsonArray;
using qelutil::JsonObject;
using Poco::Net::WebSocket;

inline JsonObject::Shared parseOrNull(const std::string& text) {
    try {
        return qelutil::JsonFactory::parseObject(text);
    } catch (const qelutil::JsonException&) {
        return nullptr;
    }
}

struct Reply {
    int status = 0;  // 0: the origin could not be reached
    std::string body, location, allow;
    JsonObject::Shared json;
    JsonArray::Shared data() const { return json->getArray("data"); }
    JsonObject::Shared element() const { return json->getObject("data"); }
    JsonObject::Shared paging() const { return json->getObject("paging"); }
};

inline Poco::Net::SocketAddress addressOf(const std::string& origin) {
    return Poco::Net::SocketAddress(Poco::URI(origin).getAuthority());
}

/// One request on a fresh connection to `origin` ("http://127.0.0.1:PORT"); throws when it cannot be reached.
inline Reply call(const std::string& origin, const std::string& method, const std::string& target,
                  const std::string& body = {}) {
    Poco::Net::HTTPClientSession session(addressOf(origin));
    session.setTimeout(Poco::Timespan(10, 0));
    Poco::Net::HTTPRequest request(method, target, Poco::Net::HTTPMessage::HTTP_1_1);
    if (!body.empty()) {
        request.setContentType("application/json");
        request.setContentLength(static_cast<std::streamsize>(body.size()));
    }
    session.sendRequest(request) << body;
    Poco::Net::HTTPResponse response;
    Reply reply;
    Poco::StreamCopier::copyToString(session.receiveResponse(response), reply.body);
    reply.status = response.getStatus();
    reply.location = response.get("Location", "");
    reply.allow = response.get("Allow", "");
    reply.json = parseOrNull(reply.body);
    return reply;
}

inline Reply get(const std::string& origin, const std::string& target) { return call(origin, "GET", target); }

/// The status of one request, 0 when the origin cannot be reached.
inline int reach(const std::string& origin, const std::string& method, const std::string& target,
                 const std::string& body = {}) {
    try {
        return call(origin, method, target, body).status;
    } catch (const Poco::Exception&) {
        return 0;
    }
}

/// A request and the status it is to be answered with (0: the origin cannot be reached).
struct Expected {
    int status;
    std::string method, target, body;
};

/// Sends the requests in turn to `origin`, checking each status and that every error comes in an error envelope.
inline void expectStatuses(const std::string& origin, const std::vector<Expected>& requests) {
    for (const auto& [status, method, target, body] : requests) {
        const std::string what = method + " " + target.substr(0, 60) + " " + body.substr(0, 60);
        if (status == 0) {
            EXPECT_EQ(0, reach(origin, method, target, body)) << what;
            continue;
        }
        const Reply reply = call(origin, method, target, body);
        EXPECT_EQ(status, reply.status) << what;
        EXPECT_TRUE(status < 400 || (reply.json && reply.json->getString("type") == "error")) << what;
    }
}

inline std::vector<std::string> ids(const JsonArray& data) {
    std::vector<std::string> result;
    for (std::size_t i = 0; i < data.size(); ++i) result.push_back(data.getObject(i)->getString("id"));
    return result;
}

inline std::vector<std::string> tracks(int first, int last) {
    std::vector<std::string> result;
    for (int n = first; n <= last; ++n) result.push_back("t" + std::to_string(n));
    return result;
}

inline bool isMessage(const JsonObject::Shared& message, const std::string& type, const std::string& event) {
    return message && message->isString("type") && message->getString("type") == type &&
           message->isString("event") && message->getString("event") == event;
}

struct Frame {
    int opcode = 0;
    bool fin = false;
    std::string payload;
};

/// A raw WebSocket client whose reader thread records every frame and every reassembled text message.
class WsClient {
public:
    WsClient(const std::string& origin, const std::string& path, Poco::Timespan timeout = Poco::Timespan(10, 0))
        : m_session(addressOf(origin)) {
        m_session.setTimeout(timeout);
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, path, Poco::Net::HTTPMessage::HTTP_1_1);
        Poco::Net::HTTPResponse response;
        m_socket = std::make_unique<WebSocket>(m_session, request, response);
        m_socket->setMaxPayloadSize(1 << 30);
        m_reader = std::thread([this] { read(); });
    }
    ~WsClient() {
        m_stop = true;
        m_reader.join();
    }

    /// The status the server answers an upgrade at `path` with (101 on success).
    static int upgradeStatus(const std::string& origin, const std::string& path) {
        Poco::Net::HTTPClientSession session(addressOf(origin));
    session.setTimeout(Poco::Timespan(10, 0));
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, path, Poco::Net::HTTPMessage::HTTP_1_1);
        Poco::Net::HTTPResponse response;
        try {
            WebSocket socket(session, request, response);
        } catch (const Poco::Net::WebSocketException&) {
            // The response holds the refusal.
        }
        return response.getStatus();
    }

    void send(const std::string& payload, int flags = WebSocket::FRAME_TEXT) {
        m_socket->sendFrame(payload.data(), static_cast<int>(payload.size()), flags);
    }
    void subscribe(const std::string& event, const std::string& extra = "") {
        send(R"({"type":"subscribe","event":")" + event + "\"" + extra + "}");
    }
    void unsubscribe(const std::string& event) { send(R"({ "type" : "unsubscribe", "event" : ")" + event + "\" }"); }

    /// The next message not taken yet; null when none arrives in time or it is not a JSON object.
    JsonObject::Shared next(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::string text;
        if (!waitFor([&] { return take(text); }, timeout)) return nullptr;
        return parseOrNull(text);
    }
    /// Subscribes to the root at `basePath` under a fresh event; true when its confirmation and data are the
    /// next messages, that is, when nothing else was pushed before.
    bool barrier(const std::string& basePath = "/api/") {
        const std::string event = basePath + "#barrier" + std::to_string(++m_barriers);
        subscribe(event);
        const auto confirmation = next();
        return isMessage(confirmation, "subscribe", event) && isMessage(next(), "data", event);
    }
    /// Marks every message received so far as taken.
    void skip() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_taken = m_texts.size();
    }
    std::vector<Frame> frames() const { return locked(m_frames); }
    std::vector<std::string> texts() const { return locked(m_texts); }
    /// Messages (taken or not) of type "data" for `event`.
    std::vector<JsonObject::Shared> data(const std::string& event) const {
        std::vector<JsonObject::Shared> result;
        for (const auto& text : texts()) {
            const auto message = parseOrNull(text);
            if (isMessage(message, "data", event)) result.push_back(message);
        }
        return result;
    }
    bool waitData(const std::string& event, std::size_t count) const {
        return waitFor([&] { return data(event).size() == count; });
    }
    /// Waits for a frame of `opcode` with `payload`, or only starting with it when `prefix` is set.
    bool waitFrame(int opcode, const std::string& payload, bool prefix = false) const {
        return waitFor([&] {
            for (const auto& frame : frames())
                if (frame.opcode == opcode && (prefix ? frame.payload.rfind(payload, 0) == 0 : frame.payload == payload))
                    return true;
            return false;
        });
    }
    bool waitEnded() const {
        return waitFor([this] { return m_ended.load(); });
    }

private:
    template <class T>
    T locked(const T& member) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return member;
    }
    bool take(std::string& text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_taken >= m_texts.size()) return false;
        text = m_texts[m_taken++];
        return true;
    }
    void read() {
        Poco::Buffer<char> buffer(0);
        std::string message;
        try {
            while (!m_stop) {
                if (m_socket->available() <= 0 &&
                    !m_socket->poll(Poco::Timespan(0, 20000), Poco::Net::Socket::SELECT_READ))
                    continue;
                int flags = 0;
                buffer.resize(0);
                const int n = m_socket->receiveFrame(buffer, flags);
                if (n == 0 && flags == 0) break;
                Frame frame{flags & WebSocket::FRAME_OP_BITMASK, (flags & WebSocket::FRAME_FLAG_FIN) != 0,
                            n > 0 ? std::string(buffer.begin(), static_cast<std::size_t>(n)) : ""};
                std::lock_guard<std::mutex> lock(m_mutex);
                m_frames.push_back(frame);
                if (frame.opcode == WebSocket::FRAME_OP_TEXT) message.clear();
                if (frame.opcode != WebSocket::FRAME_OP_TEXT && frame.opcode != WebSocket::FRAME_OP_CONT) continue;
                message += frame.payload;
                if (frame.fin) m_texts.push_back(message);
            }
        } catch (const Poco::Exception&) {
            // The connection ended.
        }
        m_ended = true;
    }

    Poco::Net::HTTPClientSession m_session;
    std::unique_ptr<WebSocket> m_socket;
    std::thread m_reader;
    std::atomic<bool> m_stop{false}, m_ended{false};
    mutable std::mutex m_mutex;
    std::vector<Frame> m_frames;
    std::vector<std::string> m_texts;
    std::size_t m_taken = 0;
    int m_barriers = 0;
};

/// Runs a reference server with the example data; `main` is the media service's origin, which also serves the
/// registry, `nav` the navigation service's own origin.
class DevServerFixture : public ::testing::Test {
protected:
    void SetUp() override { startServer({}); }

    void startServer(qeldev::DevServerOptions options) {
        server.reset();
        options.loggerFactory = std::make_shared<qelutil::LoggerFactory>(qelutil::ILogger::ERROR);
        server = std::make_unique<qeldev::DevServer>(std::move(options));
        server->start();
        main = server->service("media").origin;
        nav = server->service("navigation").origin;
    }
    void rename(const std::string& id, const std::string& name) {
        auto element = server->getElement("media", "tracks", id);
        element->setString("name", name);
        server->setElement("media", "tracks", *element);
    }

    std::unique_ptr<qeldev::DevServer> server;
    std::string main, nav;
};

}  // namespace qeltest
