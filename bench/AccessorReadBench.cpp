// Reads per second of QelAccessor::readResource of a 100-element resource
// from a local HTTP server started by this program, against a raw baseline
// measured in the same run: a keep-alive GET of the same path on one
// Poco::Net::HTTPClientSession followed by a RapidJSON parse of the body.
// The accessor is measured with the session factory's keep-alive pooling on
// and off, one read in flight at a time, and with 8 reads in flight on a
// 4-thread pool (the session pool then serves several connections); the
// transport alone is measured on the benchmark's thread, so that its CPU time
// per read compares with the baseline's. Ratios to the baseline are printed at
// the end, and the summary rows that scripts/run-benchmarks collects.

#include <QelAccess/ConfigManager.h>
#include <QelAccess/HttpAccessFactory.h>
#include <QelAccess/QelAccessor.h>
#include <QelAccess/XObject.h>
#include <QelAccessUtility/LoggerFactory.h>
#include <QelAccessUtility/PocoHttpSessionFactory.h>
#include <QelAccessUtility/SerialTaskExecutor.h>
#include <QelAccessUtility/ThreadPoolTaskExecutor.h>

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
#include <Poco/StreamCopier.h>
#include "BenchSummary.h"
#include "RateCollector.h"

#include <benchmark/benchmark.h>
#include <rapidjson/document.h>

#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr std::size_t ELEMENT_COUNT = 100;
const char* const RESOURCE_PATH = "/media/tracks/";

std::string makeResourceBody() {
    std::string body = R"({"status":"ok","type":"resource","service":"media","timestamp":1700000000000,)"
                       R"("paging":{"total":100,"limit":100,"offset":0},"data":[)";
    for (std::size_t i = 0; i < ELEMENT_COUNT; ++i) {
        const std::string id = "track-" + std::to_string(i);
        if (i > 0) body += ",";
        body += R"({"id":")" + id + R"(","name":"Track )" + std::to_string(i) + R"(","uri":"/media/tracks/)" + id +
                R"(","duration":)" + std::to_string(120 + i) +
                R"(,"rating":4.5,"explicit":false,)"
                R"("artist":{"name":"Artist )" +
                std::to_string(i % 7) + R"("}})";
    }
    return body + "]}";
}

class ResourceHandler : public Poco::Net::HTTPRequestHandler {
public:
    explicit ResourceHandler(const std::string& body) : m_body(body) {}
    void handleRequest(Poco::Net::HTTPServerRequest&, Poco::Net::HTTPServerResponse& response) override {
        response.setContentType("application/json");
        response.setContentLength(static_cast<std::streamsize>(m_body.size()));
        response.send().write(m_body.data(), static_cast<std::streamsize>(m_body.size()));
    }

private:
    const std::string& m_body;
};

class ResourceHandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    explicit ResourceHandlerFactory(const std::string& body) : m_body(body) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest&) override {
        return new ResourceHandler(m_body);
    }

private:
    const std::string& m_body;
};

/// The local server every benchmark reads from, started on first use.
class LocalServer {
public:
    LocalServer() : m_body(makeResourceBody()), m_socket(Poco::Net::SocketAddress("127.0.0.1", 0)) {
        auto params = new Poco::Net::HTTPServerParams;
        params->setKeepAlive(true);
        params->setMaxKeepAliveRequests(0);  // unlimited
        params->setMaxThreads(8);  // one per keep-alive connection of the concurrent reads
        m_server = std::make_unique<Poco::Net::HTTPServer>(new ResourceHandlerFactory(m_body), m_socket, params);
        m_server->start();
    }
    ~LocalServer() { m_server->stopAll(true); }

    uint16_t port() const { return m_socket.address().port(); }
    std::string baseUri() const { return "http://127.0.0.1:" + std::to_string(port()); }

    static LocalServer& instance() {
        static LocalServer server;
        return server;
    }

private:
    std::string m_body;
    Poco::Net::ServerSocket m_socket;
    std::unique_ptr<Poco::Net::HTTPServer> m_server;
};

void rawKeepAliveGet(benchmark::State& state) {
    LocalServer& server = LocalServer::instance();
    Poco::Net::HTTPClientSession session("127.0.0.1", server.port());
    session.setKeepAlive(true);
    std::string body;
    for (auto _ : state) {
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, RESOURCE_PATH,
                                       Poco::Net::HTTPMessage::HTTP_1_1);
        session.sendRequest(request);
        Poco::Net::HTTPResponse response;
        std::istream& in = session.receiveResponse(response);
        body.clear();
        Poco::StreamCopier::copyToString(in, body);
        rapidjson::Document document;
        document.Parse(body.data(), body.size());
        if (document.HasParseError() || !document.IsObject() || document["data"].Size() != ELEMENT_COUNT) {
            state.SkipWithError("bad reply");
            return;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

/// An element as applications read them: id, name and uri taken from the
/// JSON, the JSON kept for the rest.
class Track : public qel::XObject<qel::XObjectDescriptor> {
public:
    explicit Track(qelutil::JsonObject::Shared json) : XObject(std::move(json)) {}
};

/// Waits for the callbacks of a number of reads.
class Completion {
public:
    void done(std::size_t count, bool ok) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ok = m_ok && ok && count == ELEMENT_COUNT;
        ++m_done;
        m_changed.notify_one();
    }
    /// True when `reads` callbacks came, each a success with every element.
    bool wait(std::size_t reads) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this, reads] { return m_done >= reads; });
        const bool ok = m_ok;
        m_done = 0;
        m_ok = true;
        return ok;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::size_t m_done = 0;
    bool m_ok = true;
};

// `inFlight` reads are started at once and all awaited in each iteration;
// the HTTP executor has `threads` workers.
void accessorReadResource(benchmark::State& state, bool keepAlive, std::size_t inFlight, std::size_t threads) {
    LocalServer& server = LocalServer::instance();
    auto config = std::make_shared<qel::ConfigManager>();
    config->getDefaultConfig().serverBaseUri = server.baseUri();
    auto loggers = std::make_shared<qelutil::LoggerFactory>(qelutil::ILogger::WARNING);
    qelutil::PocoHttpSessionFactory::Options options;
    options.keepAlive = keepAlive;
    qel::HttpAccessFactory transports(std::make_shared<qelutil::PocoHttpSessionFactory>(options));
    auto http = std::make_shared<qelutil::ThreadPoolTaskExecutor>(threads, "bench-http");
    auto callbacks = std::make_shared<qelutil::SerialTaskExecutor>("bench-callback");
    qel::QelAccessor accessor("media", loggers, callbacks, http, transports.createTpAccess("media", config, loggers));

    Completion completion;
    const qel::XObjectDescriptor descriptor("media", "tracks");
    for (auto _ : state) {
        for (std::size_t i = 0; i < inFlight; ++i) {
            accessor.readResource<Track>(
                descriptor,
                [&completion](const std::vector<std::shared_ptr<const Track>>& tracks,
                              std::shared_ptr<const qel::QelResponse>) { completion.done(tracks.size(), true); },
                [&completion](std::shared_ptr<const qel::QelResponse>) { completion.done(0, false); });
        }
        if (!completion.wait(inFlight)) {
            state.SkipWithError("read failed");
            return;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * inFlight));
}

// The transport's read alone, on the benchmark's thread: separates the cost
// of the exchange and the object building from the two executor hand-offs.
void transportReadResource(benchmark::State& state) {
    LocalServer& server = LocalServer::instance();
    auto config = std::make_shared<qel::ConfigManager>();
    config->getDefaultConfig().serverBaseUri = server.baseUri();
    auto loggers = std::make_shared<qelutil::LoggerFactory>(qelutil::ILogger::WARNING);
    qel::HttpAccessFactory transports(std::make_shared<qelutil::PocoHttpSessionFactory>());
    auto transport = transports.createTpAccess("media", config, loggers);
    const qel::QelResourceDescriptor descriptor("media", "tracks");
    const auto provider = [](qelutil::JsonObject::Shared json) -> qel::IXObject::Unique {
        return std::make_unique<Track>(std::move(json));
    };
    for (auto _ : state) {
        auto response = std::make_shared<qel::QelResponse>();
        if (transport->readResource(provider, descriptor, response).size() != ELEMENT_COUNT) {
            state.SkipWithError("read failed");
            return;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

const char* const BASELINE = "RawKeepAliveGetAndParse";
const char* const POOLED = "AccessorReadResource/pooling_on";
const char* const UNPOOLED = "AccessorReadResource/pooling_off";
const char* const CONCURRENT = "AccessorReadResource/8_in_flight_4_threads";
const char* const TRANSPORT = "HttpAccessReadResource/pooling_on";

void printSummaryRows(const qelbench::RateCollector& reporter) {
    using qelbench::RateCollector;
    const auto& rates = reporter.rates();
    const auto& cpu = reporter.cpuNs();
    const double raw = RateCollector::of(rates, BASELINE);
    const std::string rawName = "raw keep-alive GET + parse";
    qelbench::printSummary({"HttpAccess::readResource CPU/read", rawName + " CPU/read",
                            qelbench::ratioOf(RateCollector::of(cpu, TRANSPORT), RateCollector::of(cpu, BASELINE)),
                            true, 1.3});
    qelbench::printSummary({"HttpAccess::readResource reads/s", rawName,
                            qelbench::ratioOf(RateCollector::of(rates, TRANSPORT), raw), false, 0.85});
    qelbench::printSummary({"QelAccessor::readResource 1 in flight", rawName,
                            qelbench::ratioOf(RateCollector::of(rates, POOLED), raw), false, 0.8});
    qelbench::printSummary({"QelAccessor::readResource 8 in flight, 4 threads", rawName,
                            qelbench::ratioOf(RateCollector::of(rates, CONCURRENT), raw), false, 1.5});
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::RegisterBenchmark(BASELINE, rawKeepAliveGet)->UseRealTime();
    benchmark::RegisterBenchmark(POOLED, accessorReadResource, true, 1, 1)->UseRealTime();
    benchmark::RegisterBenchmark(UNPOOLED, accessorReadResource, false, 1, 1)->UseRealTime();
    benchmark::RegisterBenchmark(CONCURRENT, accessorReadResource, true, 8, 4)->UseRealTime();
    benchmark::RegisterBenchmark(TRANSPORT, transportReadResource)->UseRealTime();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    qelbench::RateCollector reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto& rates = reporter.rates();
    printSummaryRows(reporter);
    const auto baseline = rates.find(BASELINE);
    if (baseline == rates.end() || baseline->second <= 0) return 0;
    std::printf("\nreads/s of a %zu-element resource, ratio to the raw keep-alive GET + parse (%.0f/s):\n",
                ELEMENT_COUNT, baseline->second);
    for (const char* name : {POOLED, UNPOOLED, CONCURRENT, TRANSPORT}) {
        const auto rate = rates.find(name);
        if (rate == rates.end()) continue;
        std::printf("  %-44s %10.0f/s  ratio %.2f\n", name, rate->second, rate->second / baseline->second);
    }
    return 0;
}
