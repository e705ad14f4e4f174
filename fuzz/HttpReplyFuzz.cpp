// The HTTP reply framing: status line, header fields, Content-Length,
// chunked bodies and bodies ended by the connection, within the limits.
#include "FuzzSupport.h"

#include "HttpReplyReader.h"

#include <cstdlib>
#include <sstream>

namespace {

// The reply bytes as a connection hands them out, up to 7 at a time.
class MemoryConnection {
public:
    MemoryConnection(const uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    int nextByte() { return m_at < m_size ? m_data[m_at++] : std::char_traits<char>::eof(); }
    int readSome(char* buffer, std::streamsize length) {
        const std::size_t n = std::min({static_cast<std::size_t>(length), m_size - m_at, std::size_t{7}});
        std::copy(m_data + m_at, m_data + m_at + n, buffer);
        m_at += n;
        return static_cast<int>(n);
    }

private:
    const uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace qelutil::httpdetail;
    constexpr std::size_t kMaxBody = 1 << 16;
    MemoryConnection connection(data, size);
    ReplyReader<MemoryConnection> reader(connection, kMaxBody);
    std::ostringstream body;
    try {
        Poco::Net::HTTPResponse head;
        const int status = reader.readHead(head);
        if (status < 200 && status != 101) std::abort();  // interim replies are skipped
        replyDate(head, std::chrono::system_clock::now());
        readReplyBody(reader, status, head, body);
    } catch (const std::exception&) {
        // Every framing fault ends the exchange with its reason.
    }
    if (reader.total() > kMaxBody || body.str().size() != reader.total()) std::abort();
    return 0;
}
