#pragma once

#include "support/ScriptedPeer.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
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
/// messages split over several frames, any frame with any flags, pings and
/// pongs (also empty and unsolicited), CLOSE frames and raw bytes (malformed
/// frames, forged headers). It can drop every connection without a CLOSE
/// frame. The wait helpers block on a condition variable with a deadline.
///
/// Every connection is served by its own thread; all members are
/// thread-safe.
class ScriptedWebSocketPeer : public ScriptedPeer {
public:
    using Headers = PeerHeaders;

    static constexpr int OP_CONTINUATION = 0x0;
    static constexpr int OP_TEXT = 0x1;
    static constexpr int OP_BINARY = 0x2;
    static constexpr int OP_CLOSE = 0x8;
    static constexpr int OP_PING = 0x9;
    static constexpr int OP_PONG = 0xA;

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
        uint64_t connectionId = 0;
    };

    /// One upgrade request as the peer read it.
    struct Upgrade : RequestHead {
        uint64_t connectionId = 0;
    };

    /// Starts listening; upgrades are accepted and pings answered.
    ScriptedWebSocketPeer();
    /// Stops the peer.
    ~ScriptedWebSocketPeer();

    /// Applies to connections accepted afterwards. `refuseStatus` and its
    /// standard reason are sent in REFUSE mode.
    void setUpgradeMode(UpgradeMode mode, int refuseStatus = 503);
    /// Whether client pings are answered with pongs (default true).
    void setAnswerPings(bool answer);
    /// Bytes (frames, usually) sent in the same write as the 101 answer of
    /// every later upgrade, so that they reach the client together with it.
    void setUpgradeGreeting(std::string bytes);

    /// Answers a complete text or binary message from a client at once:
    /// each returned text is sent as one text frame on that connection,
    /// before the next frame is read. Called on the connection's thread,
    /// after the message was recorded; an empty handler answers nothing.
    using MessageHandler = std::function<std::vector<std::string>(const std::string& message)>;
    void setMessageHandler(MessageHandler handler);

    /// Text and binary messages received, reassembled, in arrival order.
    std::vector<std::string> messages() const;
    /// Every frame received, control frames included, in arrival order.
    std::vector<Frame> frames() const;
    /// The frames received with `opcode`.
    std::vector<Frame> frames(int opcode) const;
    /// Every upgrade request read, in any mode.
    std::vector<Upgrade> upgrades() const;
    /// TCP connections accepted so far.
    std::size_t tcpConnectionCount() const;
    /// Forgets the recorded messages and frames.
    void clearReceived();

    /// Each waits until its condition holds; false on time-out.
    bool waitForMessages(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    bool waitForFrames(int opcode, std::size_t count,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    bool waitForUpgrades(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    /// Until exactly `count` upgraded connections are open.
    bool waitForOpenConnections(std::size_t count,
                                std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    bool waitForTcpConnections(std::size_t count,
                               std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    /// The sends go to the newest open WebSocket connection; each returns
    /// false when there is none or the send failed.
    bool sendText(const std::string& text);
    /// One message in several frames: the first a text frame, the others
    /// continuation frames, FIN set only on the last.
    bool sendFragmented(const std::vector<std::string>& parts);
    bool sendFrame(int opcode, bool fin, const std::string& payload);
    bool sendPing(const std::string& payload);
    bool sendPong(const std::string& payload);
    /// A CLOSE frame with a status code and reason.
    bool sendClose(uint16_t code = 1000, const std::string& reason = std::string());
    /// Bytes as they are, outside any framing.
    bool sendRaw(const std::string& bytes);
    /// The same, in pieces of `pieceSize` bytes, one send call each, so that
    /// the client likely reads frames and headers in parts.
    bool sendRawInPieces(const std::string& bytes, std::size_t pieceSize);

    /// The bytes of one unmasked frame, as a server sends it.
    static std::string encodeFrame(int opcode, bool fin, const std::string& payload);
    /// Only the header of a frame that announces `payloadLength` bytes.
    static std::string frameHeader(int opcode, bool fin, uint64_t payloadLength);

    /// Closes every connection (upgraded, refused or silent) without a
    /// CLOSE frame, as a lost network would.
    void dropConnections();

private:
    void serve(Connection& connection) override;
    bool answerUpgrade(Connection& connection, const Upgrade& upgrade, UpgradeMode mode, int refuseStatus);
    void receiveFrames(Connection& connection);
    /// Records the frame; true when it completed a message (then in `message`).
    bool record(Frame frame, std::string& message);
    std::shared_ptr<Connection> newestOpenConnection() const;

    // Guarded by the peer's mutex.
    UpgradeMode m_mode = UpgradeMode::ACCEPT;
    int m_refuseStatus = 503;
    bool m_answerPings = true;
    std::string m_greeting;
    MessageHandler m_messageHandler;
    std::vector<std::string> m_messages;
    std::vector<Frame> m_frames;
    std::vector<Upgrade> m_upgrades;
};

}  // namespace qeltest
