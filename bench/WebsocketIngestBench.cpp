// Element updates per second through DefaultWebsocketManager2, from a
// WebSocket pusher in this program (POCO server, one ~300-byte JSON data
// message per frame) to the subscription's callback, against a baseline
// measured in the same run: a raw POCO WebSocket client receiving the same
// stream and parsing every message with RapidJSON.
//
//   RawPocoReceiveAndParse    the baseline
//   RawBeastReceiveAndParse   a second baseline, when built with the Boost
//                             headers: the Boost.Beast synchronous client
//                             with the same parse and routing
//   ManagerIngest             receive, split, parse and route, the callback
//                             run inline on the connection thread
//   ManagerEndToEnd           the same, each callback posted to a serial executor
//   ManagerIngest10k          ingest with 10,000 element subscriptions on the
//                             connection, updates spread over all of them
//
// Throughput runs push frames in bursts (one send call per 64 frames) so
// that the receiving side is what is measured; cpu_ns_per_msg is the CPU
// time of the receiving threads per message (the connection thread, and the
// executor's thread end to end). The baseline reads frame by frame as the
// POCO client does (three reads per frame); the manager reads whatever has
// arrived at once and decodes the frames itself. Latency (push to callback,
// p50/p99) is measured separately with frames sent one at a time, paced.
// The subscribe time and the memory per subscription of 10,000
// subscriptions are measured once before the benchmarks. Each benchmark
// runs seven times, interleaved with the others, and the medians are
// compared.

#include <QelAccess/DefaultWebsocketManager2.h>
#include <QelAccess/XObjectDescriptor.h>
#include <QelAccessUtility/LoggerFactory.h>
#include <QelAccessUtility/SerialTaskExecutor.h>

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/WebSocket.h>
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>

#include "BenchSummary.h"

#if defined(QEL_BENCH_BEAST)
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#endif

#include <dirent.h>
#include <malloc.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t BATCH = 2000;           // messages per benchmark iteration
constexpr std::size_t BURST = 64;             // frames per send call in throughput runs
constexpr std::size_t LATENCY_MESSAGES = 4000;
constexpr auto LATENCY_GAP = std::chrono::microseconds(150);
constexpr std::size_t MANY_SUBSCRIPTIONS = 10000;
const char* const THREAD_NAME = "MA_WS_bench";

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// An element update of about 300 bytes carrying its send time.
std::string dataMessage(const std::string& event, std::size_t seq) {
    char data[400];
    std::snprintf(data, sizeof data,
                  R"({"id":"track-%06zu","seq":%zu,"ts":%lld,"name":"Track %zu","artist":"Artist %zu",)"
                  R"("album":"Album %zu","duration":%zu,"rating":4.5,"explicit":false,)"
                  R"("uri":"/media/tracks/track-%06zu","genre":"rock","year":2001})",
                  seq, seq, static_cast<long long>(nowNs()), seq, seq % 7, seq % 13, 120 + seq % 200, seq);
    return R"({"type":"data","event":")" + event + R"(","data":)" + data + "}";
}

std::string frameOf(const std::string& payload) {
    std::string frame;
    frame += static_cast<char>(0x81);
    if (payload.size() < 126) {
        frame += static_cast<char>(payload.size());
    } else {
        frame += static_cast<char>(126);
        frame += static_cast<char>((payload.size() >> 8) & 0xFF);
        frame += static_cast<char>(payload.size() & 0xFF);
    }
    return frame + payload;
}

/// The server side of the one connection of a run: records the events the
/// client subscribes to and pushes updates for them on request.
class Pusher {
public:
    void serve(Poco::Net::WebSocket& ws) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_connected = true;
            m_closed = false;
        }
        std::thread reader([&] { readSubscriptions(ws); });
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [&] { return m_closed || m_pending > 0; });
            if (m_closed) break;
            const std::size_t count = m_pending;
            const bool paced = m_paced;
            m_pending = 0;
            const std::vector<std::string> events = m_events;
            lock.unlock();
            if (paced)
                pushPaced(ws, events, count);
            else
                pushBursts(ws, events, count);
            lock.lock();
        }
        lock.unlock();
        reader.join();
        lock.lock();
        // Cleared here, not at the start: the next client may subscribe
        // before its connection reaches serve().
        m_events.clear();
        m_connected = false;
        m_changed.notify_all();
    }

    bool waitForSubscriptions(std::size_t count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(60), [&] { return m_events.size() >= count; });
    }

    void push(std::size_t count, bool paced) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pending += count;
        m_paced = paced;
        m_changed.notify_all();
    }

    void waitUntilDisconnected() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return !m_connected; });
    }

private:
    void readSubscriptions(Poco::Net::WebSocket& ws) {
        Poco::Buffer<char> buffer(0);
        for (;;) {
            int flags = 0;
            buffer.resize(0);
            int n = 0;
            try {
                n = ws.receiveFrame(buffer, flags);
            } catch (const std::exception&) {
                n = 0;
                flags = 0;
            }
            const int opcode = flags & Poco::Net::WebSocket::FRAME_OP_BITMASK;
            if ((n == 0 && flags == 0) || opcode == Poco::Net::WebSocket::FRAME_OP_CLOSE) break;
            if (opcode != Poco::Net::WebSocket::FRAME_OP_TEXT) continue;
            rapidjson::Document message;
            message.Parse(buffer.begin(), buffer.size());
            if (message.HasParseError() || !message.IsObject() || !message.HasMember("type") ||
                std::string(message["type"].GetString()) != "subscribe")
                continue;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_events.emplace_back(message["event"].GetString());
            m_changed.notify_all();
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        m_changed.notify_all();
    }

    void pushBursts(Poco::Net::WebSocket& ws, const std::vector<std::string>& events, std::size_t count) {
        const int fd = static_cast<int>(ws.impl()->sockfd());
        std::string burst;
        for (std::size_t sent = 0; sent < count;) {
            burst.clear();
            for (std::size_t i = 0; i < BURST && sent < count; ++i, ++sent, ++m_seq)
                burst += frameOf(dataMessage(events[m_seq % events.size()], m_seq));
            for (std::size_t at = 0; at < burst.size();) {
                const ssize_t n = ::send(fd, burst.data() + at, burst.size() - at, MSG_NOSIGNAL);
                if (n <= 0) return;
                at += static_cast<std::size_t>(n);
            }
        }
    }

    void pushPaced(Poco::Net::WebSocket& ws, const std::vector<std::string>& events, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i, ++m_seq) {
            const std::string message = dataMessage(events[m_seq % events.size()], m_seq);
            try {
                ws.sendFrame(message.data(), static_cast<int>(message.size()), Poco::Net::WebSocket::FRAME_TEXT);
            } catch (const std::exception&) {
                return;
            }
            std::this_thread::sleep_for(LATENCY_GAP);
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_events;
    std::size_t m_pending = 0;
    bool m_paced = false;
    bool m_connected = false;
    bool m_closed = false;
    std::size_t m_seq = 0;  // only the serving thread
};

class PushHandler : public Poco::Net::HTTPRequestHandler {
public:
    explicit PushHandler(Pusher& pusher) : m_pusher(pusher) {}
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override {
        Poco::Net::WebSocket ws(request, response);
        ws.setNoDelay(true);
        m_pusher.serve(ws);
    }

private:
    Pusher& m_pusher;
};

class PushHandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    explicit PushHandlerFactory(Pusher& pusher) : m_pusher(pusher) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest&) override {
        return new PushHandler(m_pusher);
    }

private:
    Pusher& m_pusher;
};

class PushServer {
public:
    PushServer() : m_socket(Poco::Net::SocketAddress("127.0.0.1", 0)) {
        auto params = new Poco::Net::HTTPServerParams;
        params->setMaxThreads(4);
        m_server = std::make_unique<Poco::Net::HTTPServer>(new PushHandlerFactory(m_pusher), m_socket, params);
        m_server->start();
    }
    ~PushServer() { m_server->stopAll(true); }

    static PushServer& instance() {
        static PushServer server;
        return server;
    }

    Pusher& pusher() { return m_pusher; }
    uint16_t port() const { return m_socket.address().port(); }
    std::string baseUri() const { return "http://127.0.0.1:" + std::to_string(port()); }

private:
    Pusher m_pusher;
    Poco::Net::ServerSocket m_socket;
    std::unique_ptr<Poco::Net::HTTPServer> m_server;
};

// CPU time, in nanoseconds, of the threads of this process named `name`.
int64_t threadCpuNs(const std::string& name) {
    int64_t total = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return 0;
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        const std::string dir = std::string("/proc/self/task/") + entry->d_name;
        std::ifstream comm(dir + "/comm");
        std::string threadName;
        if (!std::getline(comm, threadName) || threadName != name) continue;
        std::ifstream schedstat(dir + "/schedstat");
        int64_t ns = 0;
        if (schedstat >> ns) total += ns;
    }
    closedir(tasks);
    return total;
}

int64_t ownCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

/// Runs every task at once on the posting thread (the connection thread).
class InlineExecutor : public qelutil::ITaskExecutor {
public:
    void execute(qelutil::Task task) override { task.f(); }
};

/// Counts deliveries and keeps their latencies.
class Sink {
public:
    void expect(std::size_t total) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_target = total;
    }
    void delivered(int64_t sentNs) {
        if (m_recordLatency.load(std::memory_order_relaxed)) m_latencies.push_back(nowNs() - sentNs);
        const std::size_t count = ++m_count;
        if (count >= m_target.load(std::memory_order_relaxed)) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_changed.notify_all();
        }
    }
    bool wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(60), [&] { return m_count.load() >= m_target.load(); });
    }
    std::size_t count() const { return m_count; }
    void recordLatency(bool on) { m_recordLatency = on; }
    std::vector<int64_t>& latencies() { return m_latencies; }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::atomic<std::size_t> m_count{0};
    std::atomic<std::size_t> m_target{0};
    std::atomic<bool> m_recordLatency{false};  // set while no delivery runs
    std::vector<int64_t> m_latencies;
};

/// A manager connected to the pusher with `subscriptions` element
/// subscriptions whose callbacks feed `sink`.
struct ManagerClient {
    ManagerClient(std::shared_ptr<qelutil::ITaskExecutor> executor, Sink& sink, std::size_t subscriptions)
        : executor(std::move(executor)) {
        PushServer& server = PushServer::instance();
        qel::IConfigManager::ServiceConfiguration config;
        config.serviceName = "bench";
        config.serverBaseUri = server.baseUri();
        config.serverBasePath = "/qel/";
        config.separatorAfterResource = "/";
        manager = std::make_shared<qel::DefaultWebsocketManager2>(
            config, THREAD_NAME, this->executor, std::make_shared<qelutil::LoggerFactory>(qelutil::ILogger::WARNING));
        std::mutex mutex;
        std::condition_variable connected;
        bool isConnected = false;
        manager->connectToWebsocketAndThen(
            [&] {
                std::lock_guard<std::mutex> lock(mutex);
                isConnected = true;
                connected.notify_all();
            },
            [] {});
        {
            std::unique_lock<std::mutex> lock(mutex);
            connected.wait(lock, [&] { return isConnected; });
        }
        const auto callback = [&sink](qelutil::JsonObject::Shared data) { sink.delivered(data->getLong("ts")); };
        handles.reserve(subscriptions);
        for (std::size_t i = 0; i < subscriptions; ++i) {
            auto descriptor = std::make_shared<qel::XObjectDescriptor>("media", "tracks");
            descriptor->setId("track-" + std::to_string(i));
            handles.push_back(manager->subscribeElement(descriptor, callback));
        }
        server.pusher().waitForSubscriptions(subscriptions);
    }
    ~ManagerClient() {
        handles.clear();
        manager->disconnect();
        PushServer::instance().pusher().waitUntilDisconnected();
    }

    std::shared_ptr<qelutil::ITaskExecutor> executor;
    std::shared_ptr<qel::DefaultWebsocketManager2> manager;
    std::vector<std::shared_ptr<qel::Subscription>> handles;
};

/// What both baselines do with a message: parse it with RapidJSON and hand
/// the data's send time to the sink; false on a bad message.
template <class Target>
bool parseAndRoute(const char* text, std::size_t length, Target& sink) {
    rapidjson::Document document;
    document.Parse(text, length);
    if (document.HasParseError() || !document.IsObject() || !document.HasMember("data")) return false;
    const auto& data = document["data"];
    if (!data.IsObject() || !data.HasMember("ts") || !data["ts"].IsInt64()) return false;
    sink.delivered(data["ts"].GetInt64());
    return true;
}

/// The baseline: a plain POCO client that subscribes once and parses every
/// message it receives.
struct RawClient {
    RawClient() {
        PushServer& server = PushServer::instance();
        session = std::make_unique<Poco::Net::HTTPClientSession>("127.0.0.1", server.port());
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, "/qel/", Poco::Net::HTTPMessage::HTTP_1_1);
        Poco::Net::HTTPResponse response;
        ws = std::make_unique<Poco::Net::WebSocket>(*session, request, response);
        const std::string subscribe = R"({"type":"subscribe","event":"/qel/media/tracks/raw#0"})";
        ws->sendFrame(subscribe.data(), static_cast<int>(subscribe.size()));
        server.pusher().waitForSubscriptions(1);
    }
    ~RawClient() {
        ws->shutdown();
        ws->close();
        PushServer::instance().pusher().waitUntilDisconnected();
    }

    /// Receives and parses `count` messages; false on a bad message.
    template <class Target>
    bool receive(std::size_t count, Target& sink) {
        for (std::size_t i = 0; i < count; ++i) {
            int flags = 0;
            const int n = ws->receiveFrame(buffer, sizeof buffer, flags);
            if (n <= 0) return false;
            if (!parseAndRoute(buffer, static_cast<std::size_t>(n), sink)) return false;
        }
        return true;
    }

    std::unique_ptr<Poco::Net::HTTPClientSession> session;
    std::unique_ptr<Poco::Net::WebSocket> ws;
    char buffer[64 * 1024];
};

// A raw client's receive loop with the same parse and routing as the manager's.
template <class Client>
void rawReceiveAndParse(benchmark::State& state) {
    Client client;
    Sink sink;
    const int64_t cpuBefore = ownCpuNs();
    for (auto _ : state) {
        PushServer::instance().pusher().push(BATCH, false);
        if (!client.receive(BATCH, sink)) {
            state.SkipWithError("bad message");
            return;
        }
    }
    const double messages = static_cast<double>(state.iterations() * BATCH);
    state.counters["cpu_ns_per_msg"] = static_cast<double>(ownCpuNs() - cpuBefore) / messages;
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * BATCH));
}

#if defined(QEL_BENCH_BEAST)
/// The second baseline: the Boost.Beast synchronous client, subscribing once
/// and parsing and routing every message as the POCO baseline does.
struct BeastClient {
    BeastClient() : ws(io) {
        PushServer& server = PushServer::instance();
        ws.next_layer().connect({boost::asio::ip::make_address("127.0.0.1"), server.port()});
        ws.next_layer().set_option(boost::asio::ip::tcp::no_delay(true));
        ws.handshake("127.0.0.1:" + std::to_string(server.port()), "/qel/");
        ws.text(true);
        const std::string subscribe = R"({"type":"subscribe","event":"/qel/media/tracks/raw#0"})";
        ws.write(boost::asio::buffer(subscribe));
        server.pusher().waitForSubscriptions(1);
    }
    ~BeastClient() {
        // Ends the connection without waiting for a closing handshake, as
        // the POCO baseline does.
        boost::system::error_code ignored;
        ws.next_layer().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
        ws.next_layer().close(ignored);
        PushServer::instance().pusher().waitUntilDisconnected();
    }

    bool receive(std::size_t count, Sink& sink) {
        for (std::size_t i = 0; i < count; ++i) {
            buffer.clear();
            boost::system::error_code error;
            ws.read(buffer, error);
            if (error) return false;
            const auto data = buffer.cdata();
            if (!parseAndRoute(static_cast<const char*>(data.data()), data.size(), sink)) return false;
        }
        return true;
    }

    boost::asio::io_context io;
    boost::beast::websocket::stream<boost::asio::ip::tcp::socket> ws;
    boost::beast::flat_buffer buffer;
};

void rawBeastReceiveAndParse(benchmark::State& state) { rawReceiveAndParse<BeastClient>(state); }
#endif

void rawPocoReceiveAndParse(benchmark::State& state) { rawReceiveAndParse<RawClient>(state); }

void managerRun(benchmark::State& state, bool inlineCallbacks, std::size_t subscriptions) {
    Sink sink;
    std::shared_ptr<qelutil::ITaskExecutor> executor;
    if (inlineCallbacks)
        executor = std::make_shared<InlineExecutor>();
    else
        executor = std::make_shared<qelutil::SerialTaskExecutor>("bench-callbacks");
    ManagerClient client(executor, sink, subscriptions);
    const int64_t cpuBefore = threadCpuNs(THREAD_NAME) + threadCpuNs("bench-callbacks");
    std::size_t target = sink.count();
    for (auto _ : state) {
        target += BATCH;
        sink.expect(target);
        PushServer::instance().pusher().push(BATCH, false);
        if (!sink.wait()) {
            state.SkipWithError("updates did not arrive");
            return;
        }
    }
    const int64_t cpuAfter = threadCpuNs(THREAD_NAME) + threadCpuNs("bench-callbacks");
    const double messages = static_cast<double>(state.iterations() * BATCH);
    state.counters["cpu_ns_per_msg"] = static_cast<double>(cpuAfter - cpuBefore) / messages;
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * BATCH));
}

// Console output as usual, plus the rate and CPU per message of every benchmark.
class RateCollector : public benchmark::ConsoleReporter {
public:
    struct Figures {
        double rate = 0;
        double cpuNs = 0;
    };
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.error_occurred) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type != Run::RT_Iteration && !median) continue;
            const auto rate = run.counters.find("items_per_second");
            const auto cpu = run.counters.find("cpu_ns_per_msg");
            if (rate == run.counters.end()) continue;
            const std::string name = run.run_name.function_name;
            if (median || !m_fromMedian[name])
                m_figures[name] = {rate->second.value, cpu == run.counters.end() ? 0 : cpu->second.value};
            m_fromMedian[name] = m_fromMedian[name] || median;
        }
    }
    const std::map<std::string, Figures>& figures() const { return m_figures; }

private:
    std::map<std::string, Figures> m_figures;
    std::map<std::string, bool> m_fromMedian;
};

struct Percentiles {
    double p50Us = 0;
    double p99Us = 0;
};

Percentiles percentiles(std::vector<int64_t> values) {
    if (values.empty()) return {};
    std::sort(values.begin(), values.end());
    const auto at = [&](double q) {
        return static_cast<double>(values[std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()))]) /
               1000.0;
    };
    return {at(0.50), at(0.99)};
}

Percentiles rawLatency() {
    RawClient client;
    Sink sink;
    sink.recordLatency(true);
    PushServer::instance().pusher().push(LATENCY_MESSAGES, true);
    client.receive(LATENCY_MESSAGES, sink);
    return percentiles(sink.latencies());
}

/// Hands each send time to a thread of its own, which passes it on to the
/// sink: a raw loop with the one thread hand-off that end-to-end delivery
/// makes, through a mutex and condition variable, waking the thread only
/// when it waits.
class HandOff {
public:
    explicit HandOff(Sink& sink) : m_sink(sink), m_thread([this] { run(); }) {}
    ~HandOff() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }
    void delivered(int64_t sentNs) {
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_queue.push_back(sentNs);
            wake = m_waiting;
        }
        if (wake) m_wake.notify_one();
    }

private:
    void run() {
        std::vector<int64_t> batch;
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_waiting = true;
            m_wake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            m_waiting = false;
            if (m_queue.empty()) return;
            batch.swap(m_queue);
            lock.unlock();
            for (const int64_t sentNs : batch) m_sink.delivered(sentNs);
            batch.clear();
            lock.lock();
        }
    }

    Sink& m_sink;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<int64_t> m_queue;
    bool m_waiting = false;
    bool m_stop = false;
    std::thread m_thread;
};

Percentiles rawHandOffLatency() {
    RawClient client;
    Sink sink;
    sink.recordLatency(true);
    HandOff handOff(sink);
    sink.expect(LATENCY_MESSAGES);
    PushServer::instance().pusher().push(LATENCY_MESSAGES, true);
    client.receive(LATENCY_MESSAGES, handOff);
    sink.wait();
    return percentiles(sink.latencies());
}

Percentiles managerLatency(bool inlineCallbacks) {
    Sink sink;
    std::shared_ptr<qelutil::ITaskExecutor> executor;
    if (inlineCallbacks)
        executor = std::make_shared<InlineExecutor>();
    else
        executor = std::make_shared<qelutil::SerialTaskExecutor>("bench-callbacks");
    ManagerClient client(executor, sink, 1);
    sink.recordLatency(true);
    sink.expect(LATENCY_MESSAGES);
    PushServer::instance().pusher().push(LATENCY_MESSAGES, true);
    sink.wait();
    return percentiles(sink.latencies());
}

// Subscribe time and heap growth of many element subscriptions on one connection.
void measureManySubscriptions() {
    Sink sink;
    const auto heapBefore = mallinfo2().uordblks;
    const auto start = std::chrono::steady_clock::now();
    {
        ManagerClient client(std::make_shared<InlineExecutor>(), sink, MANY_SUBSCRIPTIONS);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const auto heapAfter = mallinfo2().uordblks;
        std::printf("%zu element subscriptions on one connection: subscribed in %.3f s (%.1f us each, until the "
                    "server had them all), heap %.0f bytes per subscription (handle included, and the in-process "
                    "server's copy of the event name)\n\n",
                    MANY_SUBSCRIPTIONS, seconds, seconds * 1e6 / MANY_SUBSCRIPTIONS,
                    static_cast<double>(heapAfter - heapBefore) / MANY_SUBSCRIPTIONS);
    }
}

const char* const BASELINE = "RawPocoReceiveAndParse";
const char* const BEAST = "RawBeastReceiveAndParse";
const char* const INGEST = "ManagerIngest";
const char* const END_TO_END = "ManagerEndToEnd";
const char* const INGEST_10K = "ManagerIngest10k";

}  // namespace

int main(int argc, char** argv) {
    benchmark::RegisterBenchmark(BASELINE, rawPocoReceiveAndParse)->UseRealTime();
#if defined(QEL_BENCH_BEAST)
    benchmark::RegisterBenchmark(BEAST, rawBeastReceiveAndParse)->UseRealTime();
#endif
    benchmark::RegisterBenchmark(INGEST, managerRun, true, 1)->UseRealTime();
    benchmark::RegisterBenchmark(END_TO_END, managerRun, false, 1)->UseRealTime();
    benchmark::RegisterBenchmark(INGEST_10K, managerRun, true, MANY_SUBSCRIPTIONS)->UseRealTime();
    // The machine may be shared: by default every benchmark runs several
    // times, interleaved with the others, and the medians are compared.
    std::vector<char*> args{argv[0]};
    char repetitions[] = "--benchmark_repetitions=7";
    char interleaving[] = "--benchmark_enable_random_interleaving=true";
    char aggregatesOnly[] = "--benchmark_report_aggregates_only=true";
    char minTime[] = "--benchmark_min_time=0.3";
    for (char* arg : {repetitions, interleaving, aggregatesOnly, minTime}) args.push_back(arg);
    args.insert(args.end(), argv + 1, argv + argc);  // given options override the defaults
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

    measureManySubscriptions();
    RateCollector reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto& figures = reporter.figures();
    const auto baseline = figures.find(BASELINE);
    if (baseline != figures.end() && baseline->second.rate > 0) {
        std::printf("\nmessages/s delivered, ratio to the raw POCO receive + RapidJSON parse (%.0f/s, %.0f ns CPU "
                    "per message):\n",
                    baseline->second.rate, baseline->second.cpuNs);
        for (const char* name : {BEAST, INGEST, END_TO_END, INGEST_10K}) {
            const auto run = figures.find(name);
            if (run == figures.end()) continue;
            std::printf("  %-23s %10.0f/s  ratio %.2f   CPU %5.0f ns/msg, CPU ratio %.2f\n", name, run->second.rate,
                        run->second.rate / baseline->second.rate, run->second.cpuNs,
                        run->second.cpuNs > 0 ? baseline->second.cpuNs / run->second.cpuNs : 0.0);
        }
    }

    const Percentiles raw = rawLatency();
    const Percentiles handOff = rawHandOffLatency();
    const Percentiles ingest = managerLatency(true);
    const Percentiles endToEnd = managerLatency(false);
    std::printf("\npush-to-callback latency, %zu frames sent one at a time every ~%lld us:\n", LATENCY_MESSAGES,
                static_cast<long long>(LATENCY_GAP.count()));
    std::printf("  %-18s p50 %7.1f us  p99 %7.1f us\n", BASELINE, raw.p50Us, raw.p99Us);
    std::printf("  %-18s p50 %7.1f us  p99 %7.1f us  (the raw loop handing each message to a second thread)\n",
                "RawPocoHandOff", handOff.p50Us, handOff.p99Us);
    std::printf("  %-18s p50 %7.1f us  p99 %7.1f us\n", INGEST, ingest.p50Us, ingest.p99Us);
    std::printf("  %-18s p50 %7.1f us  p99 %7.1f us\n", END_TO_END, endToEnd.p50Us, endToEnd.p99Us);

    const auto rate = [&figures](const char* name) {
        const auto run = figures.find(name);
        return run == figures.end() ? 0.0 : run->second.rate;
    };
    qelbench::printSummary({"WebSocket manager ingest", "Boost.Beast receive + parse",
                            qelbench::ratioOf(rate(INGEST), rate(BEAST)), false, 1.0});
    qelbench::printSummary({"WebSocket end to end (serial executor)", "WebSocket manager ingest",
                            qelbench::ratioOf(rate(END_TO_END), rate(INGEST)), false, 0.8});
    qelbench::printSummary({"WebSocket ingest, 10,000 subscriptions", "WebSocket manager ingest",
                            qelbench::ratioOf(rate(INGEST_10K), rate(INGEST)), false, 0.9});
    const bool latencies = raw.p50Us > 0 && endToEnd.p50Us > 0;
    qelbench::printSummary({"WebSocket latency p50, end to end, minus raw", "raw POCO p50 " + std::to_string(raw.p50Us).substr(0, 5) + " us",
                            latencies ? endToEnd.p50Us - raw.p50Us : NAN, true, 10, "us"});
    qelbench::printSummary({"WebSocket latency p99, end to end", "(absolute)", latencies ? endToEnd.p99Us : NAN, true,
                            200, "us"});
    return 0;
}
