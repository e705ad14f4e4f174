#pragma once

#include <QelAccessUtility/JsonObject.h>

#include <cstddef>
#include <string>
#include <vector>

namespace qelutil {

/// Receive buffer of a message stream that carries concatenated top-level
/// JSON objects. The receiver writes into the free space at the write
/// position and reports how much it wrote:
///
///     n = socket.receive(buffer.getHead(), buffer.getRemainingBytes());
///     buffer.read(n);
///     buffer.parseJsonObjects(objects);
///
/// Layout: [0, head) consumed, [head, current) buffered and not yet parsed,
/// [current, length) free. getHead() is the write position (`current`), so a
/// receive never overwrites an incomplete message held in the buffer.
///
/// When the free space runs out, consumed bytes are compacted away and then
/// the buffer grows (doubling) up to the maximum message size. A buffer
/// whose unparsed content alone fills the maximum reports that through
/// isAtMaximum() and, from parseJsonObjects, through its return value.
class ReadBuffer {
public:
    static constexpr std::size_t DEFAULT_LENGTH = 64 * 1024;
    static constexpr std::size_t DEFAULT_MAX_MESSAGE_SIZE = 16 * 1024 * 1024;

    /// What parseJsonObjects found besides complete objects.
    enum class ParseResult {
        OK,             ///< objects (possibly none) taken; any tail is an incomplete object
        GARBAGE_DROPPED,///< bytes that can never start an object were dropped (see getLastError())
        OVERSIZED,      ///< an incomplete object fills the maximum message size; the buffer was cleared
        MALFORMED       ///< a complete object failed to parse and was dropped (see getLastError())
    };

    explicit ReadBuffer(std::size_t length = DEFAULT_LENGTH,
                        std::size_t maxMessageSize = DEFAULT_MAX_MESSAGE_SIZE);

    ReadBuffer(const ReadBuffer&) = delete;
    ReadBuffer& operator=(const ReadBuffer&) = delete;

    /// Start of the allocated memory.
    char* getBuffer();
    /// Write position: where the next received bytes go.
    char* getHead();
    /// Free space at the write position. Makes room first (compacting, then
    /// growing up to the maximum), so it is 0 only when the buffer is full at
    /// its maximum size.
    std::size_t getRemainingBytes();
    /// Records that `n` bytes were written at getHead(); n must not exceed
    /// getRemainingBytes().
    void read(std::size_t n);
    /// Bytes buffered and not yet parsed.
    std::size_t getReadBytes() const;
    bool isEmpty() const;
    /// The buffered, unparsed bytes as text (for diagnostics).
    std::string getContent() const;

    std::size_t getLength() const;
    std::size_t getMaxMessageSize() const;
    void setMaxMessageSize(std::size_t maxMessageSize);
    bool isAtMaximum() const;
    void clear();

    /// Appends every complete top-level JSON object held, in arrival order,
    /// and consumes their bytes; an incomplete tail stays. Whitespace between
    /// objects is skipped. Strings, escaped quotes and braces inside strings
    /// are handled.
    ParseResult parseJsonObjects(std::vector<JsonObject::Shared>& out);

    /// Like parseJsonObjects, but returns the text of each complete object
    /// without parsing it.
    ParseResult splitJsonObjects(std::vector<std::string>& out);

    const std::string& getLastError() const;

private:
    class Impl;
    std::vector<char> m_data;
    std::size_t m_head = 0;
    std::size_t m_current = 0;
    std::size_t m_maxMessageSize;
    // Scanner state carried across calls so a long incomplete object is
    // scanned only once.
    std::size_t m_scanPos = 0;
    int m_depth = 0;
    bool m_inString = false;
    bool m_escape = false;
    std::string m_lastError;
};

}  // namespace qelutil
