#pragma once

#include <QelAccessUtility/JsonObject.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace qelutil {

class JsonParser;

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
/// Before free space is handed out, consumed bytes are compacted away; when
/// less than half the initial length is then free, the buffer grows
/// (doubling) up to the maximum message size, so a receive of up to half the
/// initial length always fits while the buffer is below its maximum. A
/// buffer whose unparsed content alone fills the maximum reports that
/// through isAtMaximum() and, from parseJsonObjects, through its return
/// value. A buffer that grew beyond eight times its initial length returns
/// to the initial length once it is empty.
///
/// Not thread-safe: one receiving thread owns a buffer.
class ReadBuffer {
public:
    static constexpr std::size_t DEFAULT_LENGTH = 64 * 1024;
    static constexpr std::size_t DEFAULT_MAX_MESSAGE_SIZE = 16 * 1024 * 1024;

    /// What parseJsonObjects found besides complete objects.
    enum class ParseResult {
        OK,             ///< objects (possibly none) taken; any tail is an incomplete object
        GARBAGE_DROPPED,///< bytes that can never start an object were dropped (see getLastError())
        OVERSIZED,      ///< an incomplete object fills the maximum message size; the buffer was
                        ///< cleared and the rest of that object is skipped as it arrives
        MALFORMED       ///< a complete object failed to parse and was dropped (see getLastError())
    };

    /// `length` is the initial length (at most `maxMessageSize`); both must
    /// be greater than 0 (std::invalid_argument otherwise).
    explicit ReadBuffer(std::size_t length = DEFAULT_LENGTH,
                        std::size_t maxMessageSize = DEFAULT_MAX_MESSAGE_SIZE);
    ~ReadBuffer();

    ReadBuffer(const ReadBuffer&) = delete;
    ReadBuffer& operator=(const ReadBuffer&) = delete;

    /// Start of the allocated memory.
    char* getBuffer();
    /// Write position: where the next received bytes go. Makes room like
    /// getRemainingBytes(), so the two may be evaluated in either order as
    /// the arguments of one receive call.
    char* getHead();
    /// Free space at the write position. Makes room first (compacting, then
    /// growing up to the maximum), so it is 0 only when the buffer is full at
    /// its maximum size.
    std::size_t getRemainingBytes();
    /// Records that `n` bytes were written at getHead(); n must not exceed
    /// getRemainingBytes() (std::length_error otherwise, nothing recorded).
    void read(std::size_t n);
    /// Bytes buffered and not yet parsed.
    std::size_t getReadBytes() const;
    bool isEmpty() const;
    /// The buffered, unparsed bytes as text (for diagnostics).
    std::string getContent() const;

    /// Allocated length.
    std::size_t getLength() const;
    std::size_t getMaxMessageSize() const;
    /// Must be greater than 0 (std::invalid_argument otherwise). Lowering it
    /// below the content held makes the next parse report OVERSIZED.
    void setMaxMessageSize(std::size_t maxMessageSize);
    /// The unparsed content alone fills the maximum message size.
    bool isAtMaximum() const;
    /// Drops all content and scan state (also the skipping of the rest of an
    /// oversized object) and returns to the initial length.
    void clear();

    /// Appends every complete top-level JSON object held, in arrival order,
    /// and consumes their bytes; an incomplete tail stays and is moved to the
    /// start of the buffer. Whitespace between objects is skipped. Strings,
    /// escaped quotes and braces inside strings are handled. Bytes that cannot
    /// start an object are dropped up to the next '{' (GARBAGE_DROPPED); a
    /// complete object the parser rejects is dropped and the scan goes on with
    /// the next one (MALFORMED); an incomplete object that fills the maximum
    /// message size clears the buffer, and the rest of it is skipped up to its
    /// closing brace as it arrives (OVERSIZED). When several of these
    /// happen in one call, the most severe is returned (OVERSIZED, MALFORMED,
    /// GARBAGE_DROPPED) and getLastError() describes its first occurrence.
    ParseResult parseJsonObjects(std::vector<JsonObject::Shared>& out);

    /// Like parseJsonObjects, but returns the text of each complete object
    /// without parsing it (so MALFORMED is never returned).
    ParseResult splitJsonObjects(std::vector<std::string>& out);

    /// Why the last parse or split call did not return OK; empty after OK.
    const std::string& getLastError() const;

private:
    std::size_t capacity() const;
    void allocate(std::size_t length);
    void makeRoom();
    void compact();
    void grow();
    bool nextObject(const char*& begin, std::size_t& length, ParseResult& result);
    bool skipToObjectStart(ParseResult& result);
    bool scanObject();
    ParseResult finishScan(ParseResult result);
    void report(ParseResult& result, ParseResult problem, const std::string& text);

    std::unique_ptr<char[]> m_data;
    std::size_t m_length = 0;
    std::size_t m_initialLength;
    std::size_t m_head = 0;
    std::size_t m_current = 0;
    std::size_t m_maxMessageSize;
    // Scanner state carried across calls so a long incomplete object is
    // scanned only once. m_depth > 0: an object starts at m_head and is
    // scanned up to m_scanPos.
    std::size_t m_scanPos = 0;
    std::size_t m_depth = 0;
    bool m_inString = false;
    bool m_escape = false;
    bool m_skipping = false;  // discarding the rest of an oversized object
    // The parser's quick text check, made by the same scan: bracket depth and
    // whether the object passed so far.
    std::size_t m_checkDepth = 0;
    bool m_checked = false;
    bool m_parserIsRapid = false;
    std::string m_lastError;
    std::shared_ptr<JsonParser> m_parser;  // created on first parse, then kept
};

}  // namespace qelutil
