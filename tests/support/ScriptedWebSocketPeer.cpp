#include "support/ScriptedWebSocketPeer.h"

#include <Poco/Base64Encoder.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/SHA1Engine.h>
#include <Poco/String.h>

#include <algorithm>
#include <exception>
#include <sstream>

namespace qeltest {

namespace {

constexpr uint64_t kMaxClientPayload = 64 * 1024 * 1024;
const char* const kWebSocketGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";


std::string acceptKey(const std::string& key) {
    Poco::SHA1Engine sha1;
    sha1.update(key + kWebSocketGuid);
    const Poco::DigestEngine::Digest& digest = sha1.digest();
    std::ostringstream out;
    Poco::Base64Encoder encoder(out);
    encoder.write(reinterpret_cast<const char*>(digest.data()), static_cast<std::streamsize>(digest.size()));
    encoder.close();
    return out.str();
}

bool isDataOpcode(int opcode) {
    return opcode == ScriptedWebSocketPeer::OP_TEXT || opcode == ScriptedWebSocketPeer::OP_BINARY ||
           opcode == ScriptedWebSocketPeer::OP_CONTINUATION;
}

}  // namespace

ScriptedWebSocketPeer::ScriptedWebSocketPeer() : ScriptedPeer(false) { start(); }

ScriptedWebSocketPeer::~ScriptedWebSocketPeer() { stop(); }

void ScriptedWebSocketPeer::setUpgradeMode(UpgradeMode mode, int refuseStatus) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mode = mode;
    m_refuseStatus = refuseStatus;
}

void ScriptedWebSocketPeer::setAnswerPings(bool answer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answerPings = answer;
}

void ScriptedWebSocketPeer::setUpgradeGreeting(std::string bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_greeting = std::move(bytes);
}

void ScriptedWebSocketPeer::setMessageHandler(MessageHandler handler) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_messageHandler = std::move(handler);
}

std::vector<std::string> ScriptedWebSocketPeer::messages() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
}

std::vector<ScriptedWebSocketPeer::Frame> ScriptedWebSocketPeer::frames() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
}

std::vector<ScriptedWebSocketPeer::Frame> ScriptedWebSocketPeer::frames(int opcode) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Frame> out;
    std::copy_if(m_frames.begin(), m_frames.end(), std::back_inserter(out),
                 [opcode](const Frame& f) { return f.opcode == opcode; });
    return out;
}

std::vector<ScriptedWebSocketPeer::Upgrade> ScriptedWebSocketPeer::upgrades() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_upgrades;
}

std::size_t ScriptedWebSocketPeer::tcpConnectionCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<std::size_t>(m_nextConnectionId - 1);
}

void ScriptedWebSocketPeer::clearReceived() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_messages.clear();
    m_frames.clear();
}

bool ScriptedWebSocketPeer::waitForMessages(std::size_t count, std::chrono::milliseconds timeout) const {
    return waitUntil(timeout, [&] { return m_messages.size() >= count; });
}

bool ScriptedWebSocketPeer::waitForFrames(int opcode, std::size_t count, std::chrono::milliseconds timeout) const {
    return waitUntil(timeout, [&] {
        return static_cast<std::size_t>(std::count_if(m_frames.begin(), m_frames.end(), [opcode](const Frame& f) {
                   return f.opcode == opcode;
               })) >= count;
    });
}

bool ScriptedWebSocketPeer::waitForUpgrades(std::size_t count, std::chrono::milliseconds timeout) const {
    return waitUntil(timeout, [&] { return m_upgrades.size() >= count; });
}

bool ScriptedWebSocketPeer::waitForOpenConnections(std::size_t count, std::chrono::milliseconds timeout) const {
    return waitUntil(timeout, [&] { return openCountLocked() == count; });
}

bool ScriptedWebSocketPeer::waitForTcpConnections(std::size_t count, std::chrono::milliseconds timeout) const {
    return waitUntil(timeout, [&] { return m_nextConnectionId - 1 >= count; });
}

std::string ScriptedWebSocketPeer::frameHeader(int opcode, bool fin, uint64_t payloadLength) {
    std::string header;
    header += static_cast<char>((fin ? 0x80 : 0x00) | (opcode & 0x0F));
    if (payloadLength < 126) {
        header += static_cast<char>(payloadLength);
    } else if (payloadLength <= 0xFFFF) {
        header += static_cast<char>(126);
        header += static_cast<char>((payloadLength >> 8) & 0xFF);
        header += static_cast<char>(payloadLength & 0xFF);
    } else {
        header += static_cast<char>(127);
        for (int shift = 56; shift >= 0; shift -= 8) header += static_cast<char>((payloadLength >> shift) & 0xFF);
    }
    return header;
}

std::string ScriptedWebSocketPeer::encodeFrame(int opcode, bool fin, const std::string& payload) {
    return frameHeader(opcode, fin, payload.size()) + payload;
}

std::shared_ptr<ScriptedWebSocketPeer::Connection> ScriptedWebSocketPeer::newestOpenConnection() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_connections.rbegin(); it != m_connections.rend(); ++it)
        if ((*it)->open) return *it;
    return nullptr;
}

bool ScriptedWebSocketPeer::sendRaw(const std::string& bytes) {
    const auto connection = newestOpenConnection();
    return connection && connection->send(bytes);
}

bool ScriptedWebSocketPeer::sendRawInPieces(const std::string& bytes, std::size_t pieceSize) {
    const auto connection = newestOpenConnection();
    if (!connection || pieceSize == 0) return false;
    for (std::size_t at = 0; at < bytes.size(); at += pieceSize)
        if (!connection->send(bytes.substr(at, pieceSize))) return false;
    return true;
}

bool ScriptedWebSocketPeer::sendFrame(int opcode, bool fin, const std::string& payload) {
    return sendRaw(encodeFrame(opcode, fin, payload));
}

bool ScriptedWebSocketPeer::sendText(const std::string& text) { return sendFrame(OP_TEXT, true, text); }

bool ScriptedWebSocketPeer::sendFragmented(const std::vector<std::string>& parts) {
    std::string bytes;
    for (std::size_t i = 0; i < parts.size(); ++i)
        bytes += encodeFrame(i == 0 ? OP_TEXT : OP_CONTINUATION, i + 1 == parts.size(), parts[i]);
    return sendRaw(bytes);
}

bool ScriptedWebSocketPeer::sendPing(const std::string& payload) { return sendFrame(OP_PING, true, payload); }

bool ScriptedWebSocketPeer::sendPong(const std::string& payload) { return sendFrame(OP_PONG, true, payload); }

bool ScriptedWebSocketPeer::sendClose(uint16_t code, const std::string& reason) {
    const auto connection = newestOpenConnection();
    if (!connection) return false;
    std::string payload;
    payload += static_cast<char>(code >> 8);
    payload += static_cast<char>(code & 0xFF);
    payload += reason;
    {
        std::lock_guard<std::mutex> lock(connection->sendMutex);
        connection->closeSent = true;
    }
    return connection->send(encodeFrame(OP_CLOSE, true, payload));
}

void ScriptedWebSocketPeer::dropConnections() {
    std::vector<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        connections = m_connections;
    }
    for (const auto& connection : connections) connection->shutdown();
}

void ScriptedWebSocketPeer::serve(Connection& connection) {
    Upgrade upgrade;
    upgrade.connectionId = connection.id;
    if (m_stopping || !connection.readHead(upgrade)) return;
    UpgradeMode mode;
    int refuseStatus;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_upgrades.push_back(upgrade);
        mode = m_mode;
        refuseStatus = m_refuseStatus;
        m_changed.notify_all();
    }
    if (!answerUpgrade(connection, upgrade, mode, refuseStatus)) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        connection.open = true;
        m_changed.notify_all();
    }
    receiveFrames(connection);
}

bool ScriptedWebSocketPeer::answerUpgrade(Connection& connection, const Upgrade& upgrade, UpgradeMode mode,
                                          int refuseStatus) {
    if (mode == UpgradeMode::SILENT) {
        // Holds the connection open, unanswered, until the client or the
        // test ends it.
        while (!m_stopping && connection.fill()) {
        }
        return false;
    }
    const std::string key = upgrade.header("Sec-WebSocket-Key");
    if (mode == UpgradeMode::REFUSE || key.empty()) {
        const int status = key.empty() ? 400 : refuseStatus;
        const std::string reason =
            Poco::Net::HTTPResponse::getReasonForStatus(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(status));
        connection.send("HTTP/1.1 " + std::to_string(status) + " " + reason +
                        "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return false;
    }
    std::string greeting;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        greeting = m_greeting;
    }
    return connection.send(
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: " +
        acceptKey(key) + "\r\n\r\n" + greeting);
}

void ScriptedWebSocketPeer::receiveFrames(Connection& connection) {
    std::string message;  // fragments of the message being received
    std::string bytes;
    while (!m_stopping) {
        if (!connection.readBytes(2, bytes)) return;
        const auto b0 = static_cast<unsigned char>(bytes[0]);
        const auto b1 = static_cast<unsigned char>(bytes[1]);
        Frame frame;
        frame.fin = (b0 & 0x80) != 0;
        frame.opcode = b0 & 0x0F;
        frame.connectionId = connection.id;
        const bool masked = (b1 & 0x80) != 0;
        uint64_t length = b1 & 0x7F;
        if (length >= 126) {
            const std::size_t size = length == 126 ? 2 : 8;
            if (!connection.readBytes(size, bytes)) return;
            length = 0;
            for (const char c : bytes) length = (length << 8) | static_cast<unsigned char>(c);
        }
        if (length > kMaxClientPayload) return;
        std::string mask;
        if (masked && !connection.readBytes(4, mask)) return;
        if (!connection.readBytes(static_cast<std::size_t>(length), frame.payload)) return;
        if (masked)
            for (std::size_t i = 0; i < frame.payload.size(); ++i) frame.payload[i] ^= mask[i % 4];

        bool answerPings;
        MessageHandler handler;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            answerPings = m_answerPings;
            handler = m_messageHandler;
        }
        const int opcode = frame.opcode;
        const std::string payload = frame.payload;
        if (record(std::move(frame), message)) {
            if (handler)
                for (const auto& reply : handler(message)) connection.send(encodeFrame(OP_TEXT, true, reply));
            message.clear();
        }
        if (opcode == OP_PING && answerPings) connection.send(encodeFrame(OP_PONG, true, payload));
        if (opcode == OP_CLOSE) {
            bool answer;
            {
                std::lock_guard<std::mutex> lock(connection.sendMutex);
                answer = !connection.closeSent;
                connection.closeSent = true;
            }
            if (answer) connection.send(encodeFrame(OP_CLOSE, true, payload.substr(0, 2)));
            return;
        }
    }
}

bool ScriptedWebSocketPeer::record(Frame frame, std::string& message) {
    std::lock_guard<std::mutex> lock(m_mutex);
    bool complete = false;
    if (isDataOpcode(frame.opcode)) {
        message += frame.payload;
        complete = frame.fin;
        if (complete) m_messages.push_back(message);
    }
    m_frames.push_back(std::move(frame));
    m_changed.notify_all();
    return complete;
}

}  // namespace qeltest
