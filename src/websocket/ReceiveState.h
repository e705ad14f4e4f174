#pragma once

#include <QelAccess/DefaultWebsocketManager2.h>
#include <QelAccess/WebsocketWatchdog.h>

#include <QelAccessUtility/ReadBuffer.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qel {

// Bytes taken from the socket per read; a read that fills it suggests more.
constexpr std::size_t kChunkSize = 64 * 1024;

/// What the receive phase of one connection owns: the read buffer, the
/// chunk the socket is read into, and the decoding state of the frame
/// being received. Frames are decoded here rather than read one by one
/// through the socket library: one read takes many frames at once, and the
/// loop never blocks in the middle of a frame.
struct DefaultWebsocketManager2::ReceiveState {
    ReceiveState(WebsocketWatchdog* dog, long pollingUs, std::size_t maxMessage)
        : watchdog(dog),
          pollingIntervalUs(pollingUs),
          maxMessageSize(maxMessage),
          readBuffer(std::min(qelutil::ReadBuffer::DEFAULT_LENGTH, maxMessage), maxMessage),
          chunk(new char[kChunkSize]) {}

    WebsocketWatchdog* watchdog;
    const long pollingIntervalUs;
    const std::size_t maxMessageSize;
    qelutil::ReadBuffer readBuffer;
    std::unique_ptr<char[]> chunk;
    bool lastReadFull = false;
    std::vector<qelutil::JsonObject::Shared> objects;
    // Messages received since the buffer began to hold an incomplete document.
    std::size_t messagesIntoIncomplete = 0;

    // The frame header being read: 2 bytes, then the extended length and
    // the mask as the first two announce.
    unsigned char header[14] = {};
    std::size_t headerHave = 0;
    std::size_t headerNeed = 2;
    // The frame whose payload is being read.
    bool inPayload = false;
    int flags = 0;  // first header byte: FIN and opcode
    int opcode = 0;
    bool fin = false;
    bool masked = false;
    uint64_t length = 0;
    uint64_t remaining = 0;
    std::string control;  // payload of a control frame
};

}  // namespace qel
