// An application that finds the media service through the service registry
// and tells what it hears: the service coming and going, and, for as long as
// it runs, every update of the favourite tracks. Run it against qel-devserver:
//
//   qel-devserver --port 0        (note the "registry" address it prints)
//   media_app http://127.0.0.1:PORT/
//
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

    // Standard input ending is the demo's way to say "stop".
    std::thread input([] {
        std::string line;
        while (std::getline(std::cin, line)) {
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
