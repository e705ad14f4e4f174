#include "support/ScriptedHttpPeer.h"

#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/String.h>
#include <Poco/Timestamp.h>

#include <algorithm>
#include <cstdio>

namespace qeltest {

namespace {

constexpr std::size_t kMaxRequestBody = 256 * 1024 * 1024;

bool saysClose(const std::string* connectionHeader) {
    return connectionHeader && Poco::icompare(Poco::trim(*connectionHeader), "close") == 0;
}

std::string hex(std::size_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%zx", value);
    return text;
}

}  // namespace

ScriptedHttpPeer::Reply ScriptedHttpPeer::Reply::json(int status, std::string body) {
    Reply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
}

ScriptedHttpPeer::Reply ScriptedHttpPeer::Reply::raw(std::string bytes) {
    Reply reply = json(200, std::move(bytes));
    reply.action = Action::RAW;
    return reply;
}

void ScriptedHttpPeer::closeIdleConnections() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& connection : m_connections) {
        connection->closeWhenIdle = true;
        if (connection->open && connection->idle) connection->shutdown();
    }
}

void ScriptedHttpPeer::serve(Connection& connection) {
    while (!m_stopping && serveOne(connection)) {
    }
}

bool ScriptedHttpPeer::serveOne(Connection& connection) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (connection.closeWhenIdle) return false;
        connection.idle = true;
    }
    Request request;
    request.connectionId = connection.id;
    if (!connection.readHead(request)) return false;
    connection.idle = false;

    const Reply reply = replyFor(request.uri);
    if (reply.action == Reply::Action::CLOSE_AFTER_HEADER) {
        record(std::move(request));
        return false;
    }
    if (const std::string* length = findHeader(request.headers, "Content-Length")) {
        std::size_t size = 0;
        try {
            size = std::stoull(*length);
        } catch (const std::exception&) {
            return false;
        }
        if (size > kMaxRequestBody || !connection.readBytes(size, request.body)) return false;
    }
    const bool clientCloses = saysClose(findHeader(request.headers, "Connection")) || request.version == "HTTP/1.0";
    record(std::move(request));

    if (!waitBeforeAnswer(reply)) return false;
    switch (reply.action) {
        case Reply::Action::CLOSE_WITHOUT_ANSWER:
        case Reply::Action::CLOSE_AFTER_HEADER:
            return false;
        case Reply::Action::RAW:
            connection.send(reply.body);
            return false;
        case Reply::Action::ANSWER:
        case Reply::Action::TRUNCATED_BODY:
            break;
    }

    const bool truncated = reply.action == Reply::Action::TRUNCATED_BODY;
    const bool chunked = reply.framing == Reply::Framing::CHUNKED && !truncated;
    const bool untilClose = reply.framing == Reply::Framing::UNTIL_CLOSE && !truncated;
    const bool replyCloses = saysClose(findHeader(reply.headers, "Connection"));

    const std::string reason =
        Poco::Net::HTTPResponse::getReasonForStatus(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(reply.status));
    std::string text = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason + "\r\n";
    for (const auto& header : reply.headers) text += header.first + ": " + header.second + "\r\n";
    if (!findHeader(reply.headers, "Date"))
        text +=
            "Date: " + Poco::DateTimeFormatter::format(Poco::Timestamp(), Poco::DateTimeFormat::HTTP_FORMAT) + "\r\n";
    if (!reply.contentType.empty()) text += "Content-Type: " + reply.contentType + "\r\n";
    if (clientCloses && !findHeader(reply.headers, "Connection")) text += "Connection: close\r\n";
    if (chunked) {
        text += "Transfer-Encoding: chunked\r\n\r\n";
        const std::size_t step = std::max<std::size_t>(reply.chunkSize, 1);
        for (std::size_t at = 0; at < reply.body.size(); at += step) {
            const std::size_t size = std::min(step, reply.body.size() - at);
            text += hex(size) + "\r\n" + reply.body.substr(at, size) + "\r\n";
        }
        text += "0\r\n\r\n";
    } else if (untilClose) {
        text += "\r\n" + reply.body;
    } else {
        text += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n\r\n";
        text += truncated ? reply.body.substr(0, reply.body.size() / 2) : reply.body;
    }
    if (!connection.send(text)) return false;
    return !(truncated || untilClose || replyCloses || clientCloses || reply.closeAfterReply);
}

ScriptedHttpPeer::Reply ScriptedHttpPeer::replyFor(const std::string& target) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto queued = m_queued.find(target);
    if (queued != m_queued.end() && !queued->second.empty()) {
        Reply reply = std::move(queued->second.front());
        queued->second.pop_front();
        return reply;
    }
    auto found = m_replies.find(target);
    return found != m_replies.end() ? found->second : m_defaultReply;
}

void ScriptedHttpPeer::record(Request request) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.push_back(std::move(request));
    m_changed.notify_all();
}

bool ScriptedHttpPeer::waitBeforeAnswer(const Reply& reply) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto deadline = std::chrono::steady_clock::now() + reply.delay;
    m_changed.wait_until(lock, deadline, [&] { return m_stopping.load(); });
    m_changed.wait(lock, [&] { return m_stopping || !m_holding; });
    return !m_stopping;
}

}  // namespace qeltest
