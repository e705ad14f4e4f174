#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/JsonParser.h>
#include <QelAccessUtility/ReadBuffer.h>

#include "JsonBlockScan.h"
#include "JsonSupport.h"
#include "RapidJsonModel.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace qelutil {

namespace {

using namespace jsonblocks;

// The brace scan works on blocks of 64 bytes and looks at braces outside
// strings one by one. A backslash escapes the next byte wherever it stands
// (outside strings it makes the object malformed anyway). The same pass
// makes the parser's quick text check on the object.
struct ScanState {
    std::size_t& depth;
    bool& inString;
    bool& escape;
    // The quick text check: bracket depth of both kinds, and whether every
    // byte so far passed (false: the parser makes its full check).
    std::size_t& checkDepth;
    bool& checked;
};

// Scans `length` (1..BLOCK) of the `available` bytes at `data`; returns the
// offset just past the brace that closes the object, or 0 when it stays
// open (state carried on).
std::size_t scanBlock(const char* data, std::size_t length, std::size_t available, ScanState state) {
    alignas(16) char padded[BLOCK];
    const Masks masks = classify(wholeBlock(data, length, padded));
    bool escapeNext = false;
    const uint64_t escaped = escapedBits(masks.backslash, state.escape, length, escapeNext);

    const uint64_t inString = prefixXor(masks.quote & ~escaped) ^ (state.inString ? ~uint64_t{0} : 0);
    std::size_t end = 0;
    for (uint64_t braces = (masks.open | masks.close) & ~escaped & ~inString; braces != 0; braces &= braces - 1) {
        const unsigned i = lowestBit(braces);
        if (masks.open >> i & 1) {
            ++state.depth;
        } else if (--state.depth == 0) {
            end = i + 1;
            break;
        }
    }
    const std::size_t scanned = end ? end : length;
    if (state.checked) {
        state.checked =
            passesBlockCheck(data, available, masks, escaped, inString, firstBits(scanned), state.checkDepth);
    }
    if (end) {
        state.inString = state.escape = false;
        return end;
    }
    state.inString = (inString >> (length - 1)) & 1;
    state.escape = escapeNext;
    return 0;
}

inline bool isSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

int severity(ReadBuffer::ParseResult result) {
    switch (result) {
        case ReadBuffer::ParseResult::OK: return 0;
        case ReadBuffer::ParseResult::GARBAGE_DROPPED: return 1;
        case ReadBuffer::ParseResult::MALFORMED: return 2;
        case ReadBuffer::ParseResult::OVERSIZED: return 3;
    }
    return 0;
}

// Up to 32 bytes of `text`, non-printable bytes as \xNN, for error messages.
std::string excerpt(const char* text, std::size_t length) {
    static const char hex[] = "0123456789ABCDEF";
    constexpr std::size_t MAX_SHOWN = 32;
    std::string out;
    for (std::size_t i = 0; i < std::min(length, MAX_SHOWN); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        }
    }
    if (length > MAX_SHOWN) out += "...";
    return out;
}

}  // namespace

ReadBuffer::ReadBuffer(std::size_t length, std::size_t maxMessageSize)
    : m_initialLength(std::min(length, maxMessageSize)), m_maxMessageSize(maxMessageSize) {
    if (length == 0 || maxMessageSize == 0)
        throw std::invalid_argument("ReadBuffer: length and maximum message size must be greater than 0");
    allocate(m_initialLength);
}

ReadBuffer::~ReadBuffer() = default;

char* ReadBuffer::getBuffer() { return m_data.get(); }

char* ReadBuffer::getHead() {
    makeRoom();
    return m_data.get() + m_current;
}

std::size_t ReadBuffer::getRemainingBytes() {
    makeRoom();
    return capacity() > m_current ? capacity() - m_current : 0;
}

void ReadBuffer::read(std::size_t n) {
    const std::size_t free = capacity() > m_current ? capacity() - m_current : 0;
    if (n > free)
        throw std::length_error("ReadBuffer::read: " + std::to_string(n) + " bytes exceed the free space of " +
                                std::to_string(free) + " bytes");
    m_current += n;
}

std::size_t ReadBuffer::getReadBytes() const { return m_current - m_head; }

bool ReadBuffer::isEmpty() const { return m_current == m_head; }

std::string ReadBuffer::getContent() const { return std::string(m_data.get() + m_head, m_current - m_head); }

std::size_t ReadBuffer::getLength() const { return m_length; }

std::size_t ReadBuffer::getMaxMessageSize() const { return m_maxMessageSize; }

void ReadBuffer::setMaxMessageSize(std::size_t maxMessageSize) {
    if (maxMessageSize == 0) throw std::invalid_argument("ReadBuffer: maximum message size must be greater than 0");
    m_maxMessageSize = maxMessageSize;
}

bool ReadBuffer::isAtMaximum() const { return getReadBytes() >= m_maxMessageSize; }

void ReadBuffer::clear() {
    m_head = m_current = m_scanPos = m_depth = m_checkDepth = 0;
    m_inString = m_escape = m_skipping = m_checked = false;
    const std::size_t length = std::min(m_initialLength, m_maxMessageSize);
    if (m_length != length) allocate(length);
}

const std::string& ReadBuffer::getLastError() const { return m_lastError; }

ReadBuffer::ParseResult ReadBuffer::parseJsonObjects(std::vector<JsonObject::Shared>& out) {
    if (!m_parser) {
        m_parser = JsonFactory::createJsonParser();
        m_parserIsRapid = JsonFactory::getImplementation() == JsonFactory::RAPID_JSON;
    }
    m_lastError.clear();
    ParseResult result = ParseResult::OK;
    const char* begin = nullptr;
    std::size_t length = 0;
    while (nextObject(begin, length, result)) {
        try {
            // An object the scan has checked skips the parser's own check of the text.
            const bool checked = m_checked && m_parserIsRapid && length <= jsonsupport::MAX_TEXT_LENGTH;
            const auto document = checked ? parseCheckedRapidJson(begin, length) : m_parser->parse(begin, length);
            out.push_back(document->getRootObject());
        } catch (const JsonException& e) {
            report(result, ParseResult::MALFORMED,
                   "dropped a malformed JSON object of " + std::to_string(length) + " bytes: " + e.what());
        }
    }
    return finishScan(result);
}

ReadBuffer::ParseResult ReadBuffer::splitJsonObjects(std::vector<std::string>& out) {
    m_lastError.clear();
    ParseResult result = ParseResult::OK;
    const char* begin = nullptr;
    std::size_t length = 0;
    while (nextObject(begin, length, result)) out.emplace_back(begin, length);
    return finishScan(result);
}

std::size_t ReadBuffer::capacity() const { return std::min(m_length, m_maxMessageSize); }

void ReadBuffer::allocate(std::size_t length) {
    // Only called without content: nothing to copy.
    m_data.reset(new char[length]);
    m_length = length;
}

// Idempotent: a second call right after the first changes nothing, so
// getHead() and getRemainingBytes() agree in whichever order they are called.
void ReadBuffer::makeRoom() {
    compact();
    const std::size_t minimumFree = std::max<std::size_t>(1, m_initialLength / 2);
    if (m_length < m_maxMessageSize && m_length - m_current < minimumFree) grow();
}

void ReadBuffer::compact() {
    if (m_head == 0) return;
    std::memmove(m_data.get(), m_data.get() + m_head, m_current - m_head);
    m_current -= m_head;
    m_scanPos = m_scanPos > m_head ? m_scanPos - m_head : 0;
    m_head = 0;
}

void ReadBuffer::grow() {
    const std::size_t length = m_length >= m_maxMessageSize / 2 ? m_maxMessageSize : 2 * m_length;
    std::unique_ptr<char[]> data(new char[length]);
    std::memcpy(data.get(), m_data.get() + m_head, m_current - m_head);
    m_current -= m_head;
    m_scanPos = m_scanPos > m_head ? m_scanPos - m_head : 0;
    m_head = 0;
    m_data = std::move(data);
    m_length = length;
}

// Finds the next complete top-level object and consumes it; `begin` stays
// valid until the buffer is compacted. Whitespace before an object is
// skipped, garbage dropped, and the rest of an oversized object discarded.
bool ReadBuffer::nextObject(const char*& begin, std::size_t& length, ParseResult& result) {
    for (;;) {
        if (m_depth == 0) {
            if (!skipToObjectStart(result)) return false;
            m_depth = m_checkDepth = 1;
            m_scanPos = m_head + 1;
            m_inString = m_escape = false;
            m_checked = true;
        }
        if (!scanObject()) {
            if (m_skipping) m_head = m_current;
            return false;
        }
        if (m_skipping) {
            m_skipping = false;
            m_head = m_scanPos;
            continue;
        }
        begin = m_data.get() + m_head;
        length = m_scanPos - m_head;
        m_head = m_scanPos;
        return true;
    }
}

// Moves m_head to the next '{', skipping whitespace and dropping anything
// else; false when the content runs out first.
bool ReadBuffer::skipToObjectStart(ParseResult& result) {
    const char* const base = m_data.get();
    for (;;) {
        while (m_head < m_current && isSpace(base[m_head])) ++m_head;
        if (m_head == m_current) return false;
        if (base[m_head] == '{') return true;
        const std::size_t available = m_current - m_head;
        const void* brace = std::memchr(base + m_head, '{', available);
        const std::size_t dropped = brace ? static_cast<const char*>(brace) - (base + m_head) : available;
        report(result, ParseResult::GARBAGE_DROPPED,
               "dropped " + std::to_string(dropped) + " bytes that cannot start a JSON object: \"" +
                   excerpt(base + m_head, dropped) + "\"");
        m_head += dropped;
    }
}

// Continues the brace scan of the object at m_head from m_scanPos. True when
// its closing brace was found (m_scanPos just past it); otherwise all
// content has been scanned and the state is kept for the next call.
bool ReadBuffer::scanObject() {
    const ScanState state{m_depth, m_inString, m_escape, m_checkDepth, m_checked};
    for (std::size_t pos = m_scanPos; pos < m_current; pos += BLOCK) {
        const std::size_t length = std::min(BLOCK, m_current - pos);
        if (const std::size_t end = scanBlock(m_data.get() + pos, length, m_current - pos, state)) {
            m_scanPos = pos + end;
            return true;
        }
    }
    m_scanPos = m_current;
    return false;
}

ReadBuffer::ParseResult ReadBuffer::finishScan(ParseResult result) {
    if (m_depth > 0 && !m_skipping && getReadBytes() >= m_maxMessageSize) {
        report(result, ParseResult::OVERSIZED,
               "dropped an incomplete JSON object of " + std::to_string(getReadBytes()) +
                   " bytes: it reaches the maximum message size of " + std::to_string(m_maxMessageSize) + " bytes");
        // The scan state stays, so the rest of the object is recognised and
        // skipped; it is not checked, as it will not be parsed.
        m_head = m_current = m_scanPos = 0;
        m_skipping = true;
        m_checked = false;
        allocate(std::min(m_initialLength, m_maxMessageSize));
        return result;
    }
    compact();
    if (m_current == 0 && m_length > 8 * m_initialLength) allocate(std::min(m_initialLength, m_maxMessageSize));
    return result;
}

void ReadBuffer::report(ParseResult& result, ParseResult problem, const std::string& text) {
    if (severity(problem) <= severity(result)) return;
    result = problem;
    m_lastError = text;
}

}  // namespace qelutil
