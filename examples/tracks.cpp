// Reads the tracks of a media service and then follows one of them over the
// service's WebSocket until it changes, for example against qel-devserver:
//
//   qel-devserver --port 0        (note the "media" address it prints)
//   tracks http://127.0.0.1:PORT /api/
//   qel --base http://127.0.0.1:PORT/api/ update media/tracks/t1 '{"rating":5}'

#include <QelAccess/QelAccess.h>
#include <QelAccessUtility/QelAccessUtility.h>

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>

namespace {

/// An element of a resource, as the accessor builds it from each JSON object.
class Track : public qel::XObject<qel::XObjectDescriptor> {
public:
    explicit Track(qelutil::JsonObject::Shared json) : XObject(std::move(json)) {}
    std::string text() const { return m_pJson ? m_pJson->toString() : "{}"; }
};

/// Lets main wait for a callback that runs on an executor.
class Signal {
public:
    void raise() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_raised = true;
        m_changed.notify_all();
    }
    bool wait(std::chrono::seconds limit) {
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool raised = m_changed.wait_for(lock, limit, [this] { return m_raised; });
        m_raised = false;
        return raised;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_raised = false;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: tracks SERVER_BASE_URI BASE_PATH   (e.g. tracks http://127.0.0.1:8080 /api/)\n";
        return 2;
    }
    const std::string serverBaseUri = argv[1];
    const std::string basePath = argv[2];

    // Where the media service is: one static configuration for every service.
    auto configuration = std::make_shared<qel::ConfigManager>();
    configuration->getDefaultConfig().serverBaseUri = serverBaseUri;
    configuration->getDefaultConfig().serverBasePath = basePath;

    auto loggers = qelutil::LoggerFactory::getDefaultLoggerFactory();
    auto callbacks = std::make_shared<qelutil::SerialTaskExecutor>("callbacks");
    auto http = std::make_shared<qelutil::ThreadPoolTaskExecutor>(2, "http");
    qel::HttpAccessFactory transports(std::make_shared<qelutil::PocoHttpSessionFactory>());
    qel::QelAccessor accessor("media", loggers, callbacks, http,
                              transports.createTpAccess("media", configuration, loggers));

    // 1. Read the resource; the result arrives on the callback executor.
    Signal read;
    bool readOk = false;
    accessor.readResource<Track>(
        qel::XObjectDescriptor("media", "tracks"),
        [&](const std::vector<std::shared_ptr<const Track>>& tracks, std::shared_ptr<const qel::QelResponse>) {
            std::cout << tracks.size() << " tracks, the first: " << (tracks.empty() ? "-" : tracks[0]->text())
                      << std::endl;
            readOk = true;
            read.raise();
        },
        [&](std::shared_ptr<const qel::QelResponse> response) {
            std::cerr << "read failed with status " << response->getStatusCode() << std::endl;
            read.raise();
        });
    if (!read.wait(std::chrono::seconds(10)) || !readOk) return 1;

    // 2. Follow track t1 over the WebSocket of the service's server.
    qel::DefaultWebsocketManagerFactory managers;
    auto manager =
        managers.createWebsocketManager(configuration->getServiceConfiguration("media"), callbacks, loggers);
    Signal connected;
    manager->connectToWebsocketAndThen([&] { connected.raise(); }, [] { std::cerr << "connection lost\n"; });
    if (!connected.wait(std::chrono::seconds(10))) return 1;

    auto track = std::make_shared<qel::XObjectDescriptor>("media", "tracks");
    track->setId("t1");
    Signal update;
    int updates = 0;
    auto subscription = manager->subscribeElement(track, [&](qelutil::JsonObject::Shared element) {
        std::cout << (updates++ == 0 ? "t1 now: " : "t1 changed: ") << element->toString() << std::endl;
        if (updates == 2) update.raise();
    });
    std::cout << "waiting up to 60 s for a change of t1..." << std::endl;
    const bool changed = update.wait(std::chrono::seconds(60));

    // Releasing the handle unsubscribes; the factory disconnects its managers.
    subscription.reset();
    managers.stopAndClearAll();
    return changed ? 0 : 1;
}
