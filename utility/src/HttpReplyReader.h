#pragma once

// Reading one HTTP/1.1 reply (status line, header fields, and the body as
// its framing announces it) from any byte source, within fixed limits.
// Private to the utility library; the fuzz targets drive it from memory.

#include <Poco/DateTime.h>
#include <Poco/DateTimeParser.h>
#include <Poco/Exception.h>
#include <Poco/Net/HTTPResponse.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <string>

namespace qelutil {
namespace httpdetail {

constexpr std::size_t kCopyBufferSize = 32 * 1024;
constexpr std::size_t kMaxChunkLineLength = 4096;
constexpr std::size_t kMaxHeadLineLength = 16 * 1024;
constexpr int kMaxHeaderFields = 200;

inline bool isForbiddenInRequestLine(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7F;
}

/// `text` with control characters shown as \xNN, for error messages.
inline std::string printable(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string shown;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            shown += "\\x";
            shown += hex[byte >> 4];
            shown += hex[byte & 0x0F];
        } else {
            shown += c;
        }
    }
    return shown;
}

/// A reply that breaks the HTTP framing or the configured limits.
class BadReply : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The Date header as a time point; `fallback` when absent, unparsable or
/// outside the range the system clock can hold.
inline std::chrono::system_clock::time_point replyDate(const Poco::Net::HTTPResponse& reply,
                                                std::chrono::system_clock::time_point fallback) {
    const auto header = reply.find(Poco::Net::HTTPResponse::DATE);
    if (header == reply.end()) return fallback;
    const std::string& text = header->second;
    try {
        Poco::DateTime parsed;
        int zone = 0;
        if (!Poco::DateTimeParser::tryParse(text, parsed, zone)) return fallback;
        parsed.makeUTC(zone);
        const Poco::Timestamp::TimeVal micros = parsed.timestamp().epochMicroseconds();
        using SystemDuration = std::chrono::system_clock::duration;
        constexpr auto limit = std::chrono::duration_cast<std::chrono::microseconds>(SystemDuration::max()).count();
        if (micros >= limit || micros <= -limit) return fallback;
        return std::chrono::system_clock::time_point(
            std::chrono::duration_cast<SystemDuration>(std::chrono::microseconds(micros)));
    } catch (const std::exception&) {
        return fallback;
    }
}

/// Reads one reply from a connection: the status line and headers, then
/// the body as its framing announces it, within the size limit. Parsing the
/// head here (and not in POCO) keeps any three-digit status well-defined and
/// tells exactly whether any reply byte arrived. `Connection` gives
/// `int nextByte()` (EOF at the end) and `int readSome(char*, std::streamsize)`
/// (0 at the end).
template <class Connection>
class ReplyReader {
public:
    ReplyReader(Connection& connection, std::size_t maxBodySize)
        : m_connection(connection), m_max(maxBodySize) {}

    /// Reads status line and headers into `head`, skipping interim 1xx
    /// replies other than 101; returns the status.
    int readHead(Poco::Net::HTTPResponse& head) {
        for (;;) {
            head.clear();
            const int status = statusLine(line(kMaxHeadLineLength, "reply header"), head);
            for (int count = 0;; ++count) {
                const std::string field = line(kMaxHeadLineLength, "reply header");
                if (field.empty()) break;
                if (count == kMaxHeaderFields) throw BadReply("too many header fields");
                addField(field, head);
            }
            if (status >= 200 || status == 101) return status;
        }
    }

    void readFixed(int64_t length, std::ostream& out) {
        if (length < 0) throw BadReply("negative Content-Length");
        if (static_cast<uint64_t>(length) > m_max) throw tooLarge();
        copy(static_cast<uint64_t>(length), out);
    }

    void readUntilClose(std::ostream& out) {
        char buffer[kCopyBufferSize];
        for (;;) {
            const int n = m_connection.readSome(buffer, sizeof buffer);
            if (n <= 0) return;
            append(buffer, static_cast<std::size_t>(n), out);
        }
    }

    void readChunked(std::ostream& out) {
        for (;;) {
            const uint64_t size = chunkSize(line(kMaxChunkLineLength, "chunked body"));
            if (size == 0) break;
            if (size > m_max - m_total) throw tooLarge();
            copy(size, out);
            if (!line(kMaxChunkLineLength, "chunked body").empty()) throw BadReply("chunk not followed by CRLF");
        }
        for (int i = 0; !line(kMaxHeadLineLength, "chunked body").empty(); ++i)
            if (i == kMaxHeaderFields) throw BadReply("too many trailer fields");
    }

    /// Body bytes written so far.
    uint64_t total() const { return m_total; }
    /// Whether any byte of a reply has arrived.
    bool anyReceived() const { return m_anyReceived; }

private:
    static int statusLine(const std::string& text, Poco::Net::HTTPResponse& head) {
        // "HTTP/1.1 200 OK": version, three digits, optional reason.
        const std::size_t space = text.find(' ');
        const bool valid = text.compare(0, 5, "HTTP/") == 0 && space != std::string::npos &&
                           text.size() >= space + 4 && (text.size() == space + 4 || text[space + 4] == ' ') &&
                           std::all_of(text.begin() + static_cast<std::ptrdiff_t>(space) + 1,
                                       text.begin() + static_cast<std::ptrdiff_t>(space) + 4,
                                       [](char c) { return c >= '0' && c <= '9'; });
        if (!valid) throw BadReply("invalid status line \"" + printable(text.substr(0, 80)) + "\"");
        head.setVersion(text.substr(0, space));
        return std::stoi(text.substr(space + 1, 3));
    }

    static void addField(const std::string& text, Poco::Net::HTTPResponse& head) {
        const std::size_t colon = text.find(':');
        if (colon == 0 || colon == std::string::npos ||
            std::any_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(colon), isForbiddenInRequestLine))
            throw BadReply("invalid header field \"" + printable(text.substr(0, 80)) + "\"");
        const std::size_t begin = text.find_first_not_of(" \t", colon + 1);
        const std::size_t end = text.find_last_not_of(" \t");
        head.add(text.substr(0, colon), begin == std::string::npos ? std::string() : text.substr(begin, end + 1 - begin));
    }

    BadReply tooLarge() const {
        return BadReply("reply body larger than the limit of " + std::to_string(m_max) + " bytes");
    }

    void append(const char* data, std::size_t n, std::ostream& out) {
        if (n > m_max - m_total) throw tooLarge();
        out.write(data, static_cast<std::streamsize>(n));
        if (!out) throw BadReply("the output stream did not accept the reply body");
        m_total += n;
    }

    void copy(uint64_t length, std::ostream& out) {
        char buffer[kCopyBufferSize];
        uint64_t left = length;
        while (left > 0) {
            const auto want = static_cast<std::streamsize>(std::min<uint64_t>(left, sizeof buffer));
            const int n = m_connection.readSome(buffer, want);
            if (n <= 0)
                throw BadReply("connection closed after " + std::to_string(length - left) + " of " +
                               std::to_string(length) + " body bytes");
            append(buffer, static_cast<std::size_t>(n), out);
            left -= static_cast<uint64_t>(n);
        }
    }

    /// One CRLF- (or LF-) terminated line, without its terminator.
    std::string line(std::size_t maxLength, const char* where) {
        std::string text;
        for (;;) {
            const int c = m_connection.nextByte();
            if (c == std::char_traits<char>::eof()) {
                if (!m_anyReceived) throw BadReply("the server closed the connection without a reply");
                throw BadReply(std::string("connection closed inside the ") + where);
            }
            m_anyReceived = true;
            if (c == '\n') break;
            if (text.size() == maxLength) throw BadReply(std::string("line too long in the ") + where);
            text += static_cast<char>(c);
        }
        if (!text.empty() && text.back() == '\r') text.pop_back();
        return text;
    }

    uint64_t chunkSize(const std::string& text) const {
        uint64_t size = 0;
        std::size_t i = 0;
        for (; i < text.size(); ++i) {
            const char c = text[i];
            int digit;
            if (c >= '0' && c <= '9') digit = c - '0';
            else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
            else break;
            if (size > m_max || size > (std::numeric_limits<uint64_t>::max() >> 4)) throw tooLarge();
            size = size * 16 + static_cast<uint64_t>(digit);
        }
        if (i == 0 || (i < text.size() && text[i] != ';' && text[i] != ' ' && text[i] != '\t'))
            throw BadReply("invalid chunk size line \"" + printable(text.substr(0, 80)) + "\"");
        return size;
    }

    Connection& m_connection;
    const uint64_t m_max;
    uint64_t m_total = 0;
    bool m_anyReceived = false;
};

inline bool hasNoBody(int status) { return status < 200 || status == 204 || status == 304; }

/// Reads the body as the reply frames it; returns whether its end was
/// delimited by the framing (and not by the connection closing).
template <class Connection>
bool readReplyBody(ReplyReader<Connection>& reader, int status, const Poco::Net::HTTPResponse& head,
                   std::ostream& out) {
    if (hasNoBody(status)) return true;  // no body whatever the headers say
    if (head.getChunkedTransferEncoding()) {
        reader.readChunked(out);
        return true;
    }
    if (head.hasContentLength()) {
        reader.readFixed(head.getContentLength64(), out);
        return true;
    }
    reader.readUntilClose(out);
    return false;
}

}  // namespace httpdetail
}  // namespace qelutil
