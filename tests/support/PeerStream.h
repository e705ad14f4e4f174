#pragma once

#include "support/RequestHead.h"

#include <Poco/Net/StreamSocket.h>
#include <Poco/String.h>

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

namespace qeltest {

/// The server side of one connection of a scripted peer: buffered reads of
/// lines and byte counts, and complete sends. Socket errors end the stream
/// (false), they are never thrown.
struct PeerStream {
    static constexpr std::size_t MAX_LINE_LENGTH = 16 * 1024;
    static constexpr std::size_t MAX_HEADER_COUNT = 200;

    PeerStream(Poco::Net::StreamSocket s, uint64_t connectionId) : socket(std::move(s)), id(connectionId) {}

    /// Reads more bytes into `buffer`; false at the end of the stream.
    bool fill() {
        if (pos > 0) {
            buffer.erase(0, pos);
            pos = 0;
        }
        char chunk[16 * 1024];
        int n = 0;
        try {
            n = socket.receiveBytes(chunk, sizeof chunk);
        } catch (const std::exception&) {
            return false;
        }
        if (n <= 0) return false;
        buffer.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    /// One line without its CR LF; false at the end of the stream or for a
    /// line longer than MAX_LINE_LENGTH.
    bool readLine(std::string& line) {
        for (;;) {
            const std::size_t end = buffer.find('\n', pos);
            if (end != std::string::npos) {
                line.assign(buffer, pos, end - pos);
                pos = end + 1;
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return true;
            }
            if (buffer.size() - pos > MAX_LINE_LENGTH || !fill()) return false;
        }
    }

    /// Header fields up to the empty line that ends them; false at the end
    /// of the stream, for a line without ":" or for too many fields.
    bool readHeaders(PeerHeaders& headers) {
        std::string line;
        while (readLine(line) && !line.empty()) {
            if (headers.size() == MAX_HEADER_COUNT) return false;
            const std::size_t colon = line.find(':');
            if (colon == std::string::npos) return false;
            headers.emplace_back(line.substr(0, colon), Poco::trim(line.substr(colon + 1)));
        }
        return line.empty();
    }

    bool readBytes(std::size_t count, std::string& out) {
        while (buffer.size() - pos < count)
            if (!fill()) return false;
        out.assign(buffer, pos, count);
        pos += count;
        return true;
    }

    bool sendAll(const std::string& data) {
        std::size_t sent = 0;
        try {
            while (sent < data.size()) {
                const int n = socket.sendBytes(data.data() + sent, static_cast<int>(data.size() - sent), MSG_NOSIGNAL);
                if (n <= 0) return false;
                sent += static_cast<std::size_t>(n);
            }
        } catch (const std::exception&) {
            return false;
        }
        return true;
    }

    Poco::Net::StreamSocket socket;
    const uint64_t id;
    std::string buffer;
    std::size_t pos = 0;
};

}  // namespace qeltest
