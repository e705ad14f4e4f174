// An application that finds the media service through the service registry
// and tells what it hears: the service coming and going, and, for as long as
// it runs, every update of the favourite tracks (an element-registry entry on
// media/tracks for favorite=true) and every track that stops being one. Run
// it against qel-devserver:
//
//   qel-devserver --port 0        (note the "registry" address it prints)
//   media_app http://127.0.0.1:PORT/
//   qel --registry http://127.0.0.1:PORT/ update media/tracks/t7 '{"rating":5}'
//
// A line "list" on its standard input prints the tracks it is subscribed to.
// It runs until its standard input ends (Ctrl-D) or it is interrupted.

#include <QelAccess/QelAccess.h>
#include <QelAccessUtility/QelAccessUtility.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <ctime>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace {

std::atomic<bool> interrupted{false};

/// One line of output at a time, whichever executor thread prints it.
void say(const std::string& text) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::cout << "app: " << text << std::endl;
}

/// A short fixed wait between connection attempts, so the application is
/// back soon after its server.
class QuickRetry : public qelutil::INumberSequence {
public:
    int64_t next() override { return 200; }
    void reset() override {}
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: media_app REGISTRY_URI   (e.g. media_app http://127.0.0.1:8080/)\n";
        return 2;
    }
    std::signal(SIGINT, [](int) { interrupted = true; });
    std::signal(SIGTERM, [](int) { interrupted = true; });

    auto loggers = qelutil::LoggerFactory::getDefaultLoggerFactory();
    loggers->setThreshold(qelutil::ILogger::ERROR);
    auto callbacks = std::make_shared<qelutil::SerialTaskExecutor>("callbacks");
    auto http = std::make_shared<qelutil::ThreadPoolTaskExecutor>(2, "http");
    auto managers = std::make_shared<qel::DefaultWebsocketManagerFactory>();
    managers->setConnectionBackoffPicker([](const std::string&) { return std::make_shared<QuickRetry>(); });

    qel::QelServiceRegistry::Settings settings;
    settings.mode = qel::QelServiceRegistry::DYNAMIC_ONLY;
    settings.httpUri = argv[1];
    auto registry = std::make_shared<qel::QelServiceRegistry>(
        managers, std::make_shared<qel::ConfigManager>(), loggers,
        std::make_shared<qel::HttpAccessFactory>(std::make_shared<qelutil::PocoHttpSessionFactory>()), callbacks, http,
        settings, nullptr);

    say(std::string("waiting for media through the service registry at ") + argv[1]);
    auto objects = std::make_shared<std::atomic<int>>(0);
    registry->addServiceListener(
        "media",
        {[objects](std::shared_ptr<qel::Service>) {
             say("media is available (service object #" + std::to_string(++*objects) + ")");
         },
         [] { say("media is unavailable"); }, nullptr},
        [](std::shared_ptr<qel::QelAccessor> accessor, qel::IWebsocketManager::Shared manager) {
            return std::make_unique<qel::Service>(std::move(accessor), std::move(manager));
        });

    // Keep subscribed to every favourite track, whatever happens to the service.
    auto elements = std::make_shared<qel::ElementRegistry>(
        registry, std::shared_ptr<qelutil::ILogger>(loggers->createLogger("media_app")));
    qel::QelFilter favourites;
    favourites.add("favorite", true);
    auto entry = std::make_shared<qel::ElementRegistryEntry>("media", "tracks");
    entry->withFilter(favourites)
        .subscribeToAll(true)
        .onUpdate([](qelutil::JsonObject::Shared track) {
            std::ostringstream line;
            line << "update " << track->getString("id") << " \"" << (track->isString("name") ? track->getString("name") : "")
                 << "\" rating=" << (track->isDouble("rating") || track->isLong("rating") ? track->getDouble("rating") : 0.0)
                 << " favorite=" << (track->isBool("favorite") && track->getBool("favorite") ? "true" : "false");
            say(line.str());
        })
        .onGone([](const std::string& id) { say("gone " + id); });
    // The server sends only favourites, so a track that stops being one leaves.
    auto resource = std::make_shared<qel::XObjectDescriptor>("media", "tracks");
    resource->getQelFilter() = favourites;
    elements->registerEntry(entry, resource);

    // Standard input ending is the demo's way to say "stop".
    std::thread input([entry] {
        std::string line;
        while (std::getline(std::cin, line)) {
            if (line != "list") continue;
            std::string ids;
            for (const auto& id : entry->getSubscribedUuids()) ids += (ids.empty() ? "" : ", ") + id;
            say("subscribed to " + ids);
        }
        interrupted = true;
    });
    input.detach();
    while (!interrupted) std::this_thread::sleep_for(std::chrono::milliseconds(50));

    say("stopping");
    registry->stop();
    managers->stopAndClearAll();
    callbacks->shutdown();
    http->shutdown();
    return 0;
}
