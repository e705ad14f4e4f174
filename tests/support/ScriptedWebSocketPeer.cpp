#include "support/ScriptedWebSocketPeer.h"

#include <Poco/Base64Encoder.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/SHA1Engine.h>

#include <sstream>

namespace qeltest {

namespace {

constexpr uint64_t kMaxClientPayload = 64 * 1024 * 1024;

std::string acceptKey(const std::string& key) {
    Poco::SHA1Engine sha1;
    sha1.update(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11");
    const Poco::DigestEngine::Digest& digest = sha1.digest();
    std::ostringstream out;
    Poco::Base64Encoder encoder(out);
    encoder.write(reinterpret_cast<const char*>(digest.data()), static_cast<std::streamsize>(digest.size()));
    encoder.close();
    return out.str();
}

std::string bigEndian(uint64_t value, int bytes) {
    std::string out;
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xFF);
    return out;
}

}  // namespace

std::string ScriptedWebSocketPeer::frameHeader(int opcode, bool fin, uint64_t payloadLength) {
    const std::string first(1, static_cast<char>((fin ? 0x80 : 0x00) | (opcode & 0x0F)));
    if (payloadLength < 126) return first + static_cast<char>(payloadLength);
    if (payloadLength <= 0xFFFF) return first + static_cast<char>(126) + bigEndian(payloadLength, 2);
    return first + static_cast<char>(127) + bigEndian(payloadLength, 8);
}

bool ScriptedWebSocketPeer::sendRawInPieces(const std::string& bytes, std::size_t pieceSize) {
    const auto connection = locked([&]() -> std::shared_ptr<Connection> {
        for (auto it = m_connections.rbegin(); it != m_connections.rend(); ++it)
            if ((*it)->open) return *it;
        return nullptr;
    });
    if (!connection) return false;
    for (std::size_t at = 0; at < bytes.size(); at += std::max<std::size_t>(pieceSize, 1))
        if (!connection->send(bytes.substr(at, std::max<std::size_t>(pieceSize, 1)))) return false;
    return true;
}

void ScriptedWebSocketPeer::dropConnections() {
    for (const auto& connection : locked([&] { return m_connections; })) connection->shutdown();
}

void ScriptedWebSocketPeer::serve(Connection& connection) {
    RequestHead upgrade;
    if (m_stopping || !connection.readHead(upgrade)) return;
    locked([&] { m_upgrades.push_back(upgrade), m_changed.notify_all(); });
    if (!answerUpgrade(connection, upgrade)) return;
    locked([&] { connection.open = true, m_changed.notify_all(); });
    std::string message;  // fragments of the message being received
    Frame frame;
    while (!m_stopping && readFrame(connection, frame)) {
        if (record(frame, message)) message.clear();
        if (frame.opcode == OP_PING && locked([&] { return m_answerPings; }))
            connection.send(encodeFrame(OP_PONG, true, frame.payload));
        if (frame.opcode == OP_CLOSE) {
            connection.send(encodeFrame(OP_CLOSE, true, frame.payload.substr(0, 2)));
            return;
        }
    }
}

bool ScriptedWebSocketPeer::answerUpgrade(Connection& connection, const RequestHead& upgrade) {
    UpgradeMode mode;
    int status;
    std::string greeting;
    locked([&] { mode = m_mode, status = m_refuseStatus, greeting = m_greeting; });
    if (mode == UpgradeMode::SILENT) {
        // Holds the connection open, unanswered, until the client or the test ends it.
        while (!m_stopping && connection.fill()) continue;
        return false;
    }
    const std::string key = upgrade.header("Sec-WebSocket-Key");
    if (mode == UpgradeMode::REFUSE) {
        connection.send(
            "HTTP/1.1 " + std::to_string(status) + " " +
            Poco::Net::HTTPResponse::getReasonForStatus(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(status)) +
            "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return false;
    }
    return connection.send("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Sec-WebSocket-Accept: " + acceptKey(key) + "\r\n\r\n" + greeting);
}

bool ScriptedWebSocketPeer::readFrame(Connection& connection, Frame& frame) {
    std::string bytes;
    if (!connection.readBytes(2, bytes)) return false;
    frame.fin = (bytes[0] & 0x80) != 0;
    frame.opcode = bytes[0] & 0x0F;
    const bool masked = (bytes[1] & 0x80) != 0;
    uint64_t length = bytes[1] & 0x7F;
    if (length >= 126) {
        if (!connection.readBytes(length == 126 ? 2 : 8, bytes)) return false;
        length = 0;
        for (const char c : bytes) length = (length << 8) | static_cast<unsigned char>(c);
    }
    std::string mask;
    if (length > kMaxClientPayload || (masked && !connection.readBytes(4, mask))) return false;
    if (!connection.readBytes(static_cast<std::size_t>(length), frame.payload)) return false;
    for (std::size_t i = 0; masked && i < frame.payload.size(); ++i) frame.payload[i] ^= mask[i % 4];
    return true;
}

bool ScriptedWebSocketPeer::record(const Frame& frame, std::string& message) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool data = frame.opcode == OP_TEXT || frame.opcode == OP_BINARY || frame.opcode == OP_CONTINUATION;
    if (data) message += frame.payload;
    if (data && frame.fin) m_messages.push_back(message);
    m_frames.push_back(frame);
    m_changed.notify_all();
    return data && frame.fin;
}

}  // namespace qeltest
