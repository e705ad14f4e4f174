#pragma once

#include "support/ScriptedPeer.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qeltest {

/// A WebSocket server for tests, listening on 127.0.0.1 on an ephemeral
/// port, written on raw sockets so that a test controls every byte.
///
/// It answers upgrade requests on any path (or refuses them, or never
/// answers them), records the upgrade requests and every frame a client
/// sends (masked client frames are unmasked; text and binary messages are
/// also reassembled from their fragments), answers client pings with pongs
/// of the same payload unless told not to, and answers a client's CLOSE with
/// a CLOSE before closing the connection.
///
/// The test sends to the newest open WebSocket connection: text messages,
/// messages split over several frames, any frame with any flags, CLOSE
/// frames and raw bytes (malformed frames, forged headers). It can drop
/// every connection without a CLOSE frame. Every connection is served by
/// its own thread; all members are thread-safe.
class ScriptedWebSocketPeer : public ScriptedPeer {
public:
    static constexpr int OP_CONTINUATION = 0x0, OP_TEXT = 0x1, OP_BINARY = 0x2, OP_CLOSE = 0x8, OP_PING = 0x9,
                         OP_PONG = 0xA;

    /// How the peer treats an upgrade request.
    enum class UpgradeMode {
        ACCEPT,  ///< answer 101 and speak WebSocket
        REFUSE,  ///< answer with the refusal status, then close
        SILENT   ///< read the request and never answer; the connection stays open until dropped
    };

    /// One frame received from a client.
    struct Frame {
        int opcode = 0;
        bool fin = false;
        std::string payload;
    };

    /// Starts listening; upgrades are accepted and pings answered.
    ScriptedWebSocketPeer() : ScriptedPeer(false) { start(); }
    ~ScriptedWebSocketPeer() override { stop(); }

    /// Applies to connections accepted afterwards. `refuseStatus` and its
    /// standard reason are sent in REFUSE mode.
    void setUpgradeMode(UpgradeMode mode, int refuseStatus = 503) {
        locked([&] { m_mode = mode, m_refuseStatus = refuseStatus; });
    }
    /// Whether client pings are answered with pongs (default true).
    void setAnswerPings(bool answer) { locked([&] { m_answerPings = answer; }); }
    /// Bytes (frames, usually) sent in the same write as the 101 answer of
    /// every later upgrade, so that they reach the client together with it.
    void setUpgradeGreeting(std::string bytes) { locked([&] { m_greeting = std::move(bytes); }); }

    /// Text and binary messages received, reassembled, in arrival order.
    std::vector<std::string> messages() const { return locked([&] { return m_messages; }); }
    /// The frames received with `opcode`, in arrival order.
    std::vector<Frame> frames(int opcode) const { return locked([&] { return framesLocked(opcode); }); }
    /// Every upgrade request read, in any mode.
    std::vector<RequestHead> upgrades() const { return locked([&] { return m_upgrades; }); }

    /// Each waits until its condition holds; false on time-out.
    bool waitForMessages(std::size_t count) const {
        return waitUntil(kPeerWait, [&] { return m_messages.size() >= count; });
    }
    bool waitForFrames(int opcode, std::size_t count) const {
        return waitUntil(kPeerWait, [&] { return framesLocked(opcode).size() >= count; });
    }
    bool waitForUpgrades(std::size_t count) const {
        return waitUntil(kPeerWait, [&] { return m_upgrades.size() >= count; });
    }
    /// Until exactly `count` upgraded connections are open.
    bool waitForOpenConnections(std::size_t count) const {
        return waitUntil(kPeerWait, [&] { return openCountLocked() == count; });
    }

    /// The sends go to the newest open WebSocket connection; each returns
    /// false when there is none or the send failed.
    bool sendText(const std::string& text) { return sendFrame(OP_TEXT, true, text); }
    bool sendFrame(int opcode, bool fin, const std::string& payload) {
        return sendRaw(encodeFrame(opcode, fin, payload));
    }
    /// Bytes as they are, outside any framing.
    bool sendRaw(const std::string& bytes) { return sendRawInPieces(bytes, bytes.size()); }
    /// The same, in pieces of `pieceSize` bytes, one send call each, so that
    /// the client likely reads frames and headers in parts.
    bool sendRawInPieces(const std::string& bytes, std::size_t pieceSize);

    /// The bytes of one unmasked frame, as a server sends it.
    static std::string encodeFrame(int opcode, bool fin, const std::string& payload) {
        return frameHeader(opcode, fin, payload.size()) + payload;
    }
    /// Only the header of a frame that announces `payloadLength` bytes.
    static std::string frameHeader(int opcode, bool fin, uint64_t payloadLength);

    /// Closes every connection (upgraded, refused or silent) without a
    /// CLOSE frame, as a lost network would.
    void dropConnections();

private:
    void serve(Connection& connection) override;
    bool answerUpgrade(Connection& connection, const RequestHead& upgrade);
    /// Reads one frame, unmasked; false at the end of the stream.
    bool readFrame(Connection& connection, Frame& frame);
    /// Records the frame; true when it completed a message (then in `message`).
    bool record(const Frame& frame, std::string& message);
    std::vector<Frame> framesLocked(int opcode) const {
        std::vector<Frame> out;
        for (const auto& frame : m_frames)
            if (frame.opcode == opcode) out.push_back(frame);
        return out;
    }

    // Guarded by the peer's mutex.
    UpgradeMode m_mode = UpgradeMode::ACCEPT;
    int m_refuseStatus = 503;
    bool m_answerPings = true;
    std::string m_greeting;
    std::vector<std::string> m_messages;
    std::vector<Frame> m_frames;
    std::vector<RequestHead> m_upgrades;
};

}  // namespace qeltest
