#include "support/ScriptedPeer.h"

#include <Poco/Net/SocketAddress.h>
#include <Poco/String.h>

#include <sys/socket.h>

#include <algorithm>
#include <exception>

namespace qeltest {

namespace {

constexpr std::size_t kMaxLineLength = 16 * 1024;
constexpr std::size_t kMaxHeaderCount = 200;

template <typename Action>
void bestEffort(Action action) {
    try {
        action();
    } catch (const std::exception&) {
        // The socket is already shut down or gone.
    }
}

}  // namespace

const std::string* findHeader(const PeerHeaders& headers, const std::string& name) {
    for (const auto& header : headers)
        if (Poco::icompare(header.first, name) == 0) return &header.second;
    return nullptr;
}

std::string RequestHead::header(const std::string& name) const {
    const std::string* value = findHeader(headers, name);
    return value ? *value : std::string();
}

bool ScriptedPeer::Connection::fill() {
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

bool ScriptedPeer::Connection::readLine(std::string& line) {
    for (;;) {
        const std::size_t end = buffer.find('\n', pos);
        if (end != std::string::npos) {
            line.assign(buffer, pos, end - pos);
            pos = end + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return true;
        }
        if (buffer.size() - pos > kMaxLineLength || !fill()) return false;
    }
}

bool ScriptedPeer::Connection::readHead(RequestHead& head) {
    std::string line;
    if (!readLine(line)) return false;
    const std::size_t first = line.find(' ');
    const std::size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second == std::string::npos) return false;
    head.method = line.substr(0, first);
    head.uri = line.substr(first + 1, second - first - 1);
    head.version = line.substr(second + 1);
    while (readLine(line) && !line.empty()) {
        const std::size_t colon = line.find(':');
        if (head.headers.size() == kMaxHeaderCount || colon == std::string::npos) return false;
        head.headers.emplace_back(line.substr(0, colon), Poco::trim(line.substr(colon + 1)));
    }
    return line.empty();
}

bool ScriptedPeer::Connection::readBytes(std::size_t count, std::string& out) {
    while (buffer.size() - pos < count)
        if (!fill()) return false;
    out.assign(buffer, pos, count);
    pos += count;
    return true;
}

bool ScriptedPeer::Connection::send(const std::string& data) {
    std::lock_guard<std::mutex> lock(sendMutex);
    if (closed) return false;
    try {
        for (std::size_t sent = 0; sent < data.size();) {
            const int n = socket.sendBytes(data.data() + sent, static_cast<int>(data.size() - sent), MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

void ScriptedPeer::Connection::shutdown() {
    std::lock_guard<std::mutex> lock(sendMutex);
    if (!closed) bestEffort([this] { socket.shutdown(); });
}

void ScriptedPeer::Connection::close() {
    std::lock_guard<std::mutex> lock(sendMutex);
    if (closed) return;
    closed = true;
    bestEffort([this] { socket.shutdown(); });
    bestEffort([this] { socket.close(); });
}

ScriptedPeer::ScriptedPeer(bool openOnAccept) : m_openOnAccept(openOnAccept) {
    // Without SO_REUSEPORT, so that the ephemeral port is this peer's alone.
    m_listener.bind(Poco::Net::SocketAddress("127.0.0.1", 0), false, false);
    m_listener.listen(64);
    m_port = m_listener.address().port();
}

ScriptedPeer::~ScriptedPeer() { stop(); }

void ScriptedPeer::start() { m_acceptThread = std::thread([this] { acceptLoop(); }); }

std::string ScriptedPeer::baseUri() const { return "http://127.0.0.1:" + std::to_string(m_port); }

std::size_t ScriptedPeer::openCountLocked() const {
    return static_cast<std::size_t>(
        std::count_if(m_connections.begin(), m_connections.end(), [](const auto& c) { return c->open; }));
}

std::size_t ScriptedPeer::openConnectionCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return openCountLocked();
}

void ScriptedPeer::stop() {
    if (m_stopping.exchange(true)) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_changed.notify_all();
    }
    // Wakes the accept loop at once instead of after its poll interval.
    Poco::Net::StreamSocket wake;
    bestEffort([&] { wake.connect(Poco::Net::SocketAddress("127.0.0.1", m_port), Poco::Timespan(1, 0)); });
    if (m_acceptThread.joinable()) m_acceptThread.join();
    m_listener.close();
    std::vector<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        connections.swap(m_connections);
        m_changed.notify_all();
    }
    for (const auto& connection : connections) connection->shutdown();
    for (const auto& connection : connections)
        if (connection->thread.joinable()) connection->thread.join();
}

void ScriptedPeer::acceptLoop() {
    while (!m_stopping) {
        try {
            if (!m_listener.poll(Poco::Timespan(0, 200 * 1000), Poco::Net::Socket::SELECT_READ)) continue;
            if (m_stopping) break;
            Poco::Net::StreamSocket socket = m_listener.acceptConnection();
            socket.setNoDelay(true);
            std::vector<std::shared_ptr<Connection>> ended;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                auto connection = std::make_shared<Connection>(socket, m_nextConnectionId++);
                connection->open = m_openOnAccept;
                connection->thread = std::thread([this, connection] {
                    serve(*connection);
                    connection->close();
                    std::lock_guard<std::mutex> lock(m_mutex);
                    connection->open = false;
                    connection->finished = true;
                    m_changed.notify_all();
                });
                // Ended connections are joined here, so that long tests do
                // not accumulate threads.
                auto split = std::stable_partition(m_connections.begin(), m_connections.end(),
                                                   [](const auto& c) { return !c->finished; });
                ended.assign(split, m_connections.end());
                m_connections.erase(split, m_connections.end());
                m_connections.push_back(connection);
                m_changed.notify_all();
            }
            for (const auto& done : ended) done->thread.join();
        } catch (const std::exception&) {
            // A failed accept leaves the peer listening.
        }
    }
}

}  // namespace qeltest
