#include <qeldev/DevServer.h>

#include "DataStore.h"
#include "FaultInjector.h"
#include "OriginServer.h"
#include "ServerContext.h"
#include "ServerModel.h"
#include "WebSocketHub.h"

#include <QelAccessUtility/JsonException.h>
#include <QelAccessUtility/JsonFactory.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace qeldev {

using qelutil::JsonFactory;
using qelutil::JsonObject;

namespace {

JsonObject::SharedConst readDataFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read data file " + path);
    std::ostringstream text;
    text << in.rdbuf();
    try {
        return JsonFactory::parseObject(text.str());
    } catch (const qelutil::JsonException& e) {
        throw std::runtime_error("data file " + path + ": " + e.what());
    }
}

ServerModel loadModel(const DevServerOptions& options) {
    if (options.data) return ServerModel::load(*options.data, options.defaultPageSize);
    if (!options.dataFile.empty()) return ServerModel::load(*readDataFile(options.dataFile), options.defaultPageSize);
    return ServerModel::load(*buildExampleData(), options.defaultPageSize);
}

WebSocketSettings webSocketSettings(const DevServerOptions& options, const ServerModel& model) {
    WebSocketSettings settings;
    settings.pageSize = model.wsPageSize > 0 ? model.wsPageSize
                        : options.wsPageSize > 0 ? options.wsPageSize
                                                 : model.pageSize;
    settings.maxConnections = std::max(1, options.maxWebSockets);
    return settings;
}

std::shared_ptr<qelutil::ILogger> createLogger(const DevServerOptions& options) {
    auto factory = options.loggerFactory ? options.loggerFactory : qelutil::LoggerFactory::getDefaultLoggerFactory();
    return std::shared_ptr<qelutil::ILogger>(factory->createLogger("qel-devserver"));
}

}  // namespace

class DevServer::Impl : public ServerControl {
public:
    explicit Impl(DevServerOptions options)
        : options(std::move(options)),
          logger(createLogger(this->options)),
          model(loadModel(this->options)),
          store(model, logger),
          webSockets(store, webSocketSettings(this->options, model), logger) {}

    ~Impl() override {
        endControlThreads();
        stop();
    }

    void start() {
        std::lock_guard<std::mutex> lock(mutex);
        if (context) throw std::logic_error("the server runs already");
        std::vector<Poco::Net::ServerSocket> sockets;
        auto next = std::make_unique<ServerContext>(ServerContext{
            model, store, faults, webSockets, {}, options.maxBodyBytes, options.maxQueryBytes, logger, this});
        for (std::size_t i = 0; i < model.origins.size(); ++i) {
            const uint16_t port = i == 0 && options.port != 0 ? options.port : model.origins[i].port;
            sockets.push_back(OriginServer::bindLoopback(port));
            next->ports.push_back(sockets.back().address().port());
        }
        faults.reopen();
        webSockets.open();
        context = std::move(next);
        for (std::size_t i = 0; i < sockets.size(); ++i) {
            servers.push_back(std::make_unique<OriginServer>(*context, i, sockets[i], options.maxThreads,
                                                             options.maxQueued));
            servers.back()->start();
            logger->info("origin " + model.origins[i].name + " listening on " + context->originUri(i));
        }
    }

    void stop() {
        std::lock_guard<std::mutex> lock(mutex);
        if (!context) return;
        faults.shutdown();
        webSockets.shutdown();
        // Each origin's accept loop takes a moment to notice; stop them side by side.
        std::vector<std::thread> stoppers;
        for (auto& server : servers)
            if (server) stoppers.emplace_back([&server] { server->stop(); });
        for (auto& stopper : stoppers) stopper.join();
        servers.clear();
        context.reset();
        logger->info("stopped");
    }

    const ServerContext& running() const {
        if (!context) throw std::logic_error("the server is not running");
        return *context;
    }

    ServiceEndpoint endpoint(const ServiceDef& service) const {
        const ServerContext& current = running();
        return ServiceEndpoint{service.name, current.originUri(service.origin), service.basePath,
                               current.ports.at(service.origin)};
    }

    const ServiceDef& serviceNamed(const std::string& name) const {
        const ServiceDef* service = model.findService(name);
        if (!service) throw std::invalid_argument("unknown service " + name);
        return *service;
    }

    void registerService(const std::string& name) override { setListed(serviceNamed(name), true); }
    void unregisterService(const std::string& name) override { setListed(serviceNamed(name), false); }

    void setListed(const ServiceDef& service, bool listed) {
        store.changeRegistry(service.name, [&] { service.listed = listed; });
        logger->info(std::string(listed ? "registered " : "unregistered ") + service.name);
    }

    void moveService(const std::string& name, const std::string& originName) override {
        const ServiceDef& service = serviceNamed(name);
        const std::size_t origin = model.originNamed(originName);
        store.changeRegistry(service.name, [&] { service.origin = origin; });
        logger->info("moved " + service.name + " to origin " + originName);
    }

    void setResolution(const std::string& name, int status) override {
        const ServiceDef& service = serviceNamed(name);
        ServiceDef::Resolution resolution;
        switch (status) {
            case 200: resolution = ServiceDef::Resolution::ENTRY; break;
            case 307: resolution = ServiceDef::Resolution::REDIRECT; break;
            case 300: resolution = ServiceDef::Resolution::CHOICES; break;
            default: throw std::invalid_argument("a resolution answers 200, 307 or 300");
        }
        service.resolution = resolution;
    }

    /// Closes one origin: its listening socket and every connection on it.
    void stopOrigin(std::size_t origin) {
        std::unique_ptr<OriginServer> server;
        {
            std::lock_guard<std::mutex> lock(mutex);
            running();
            server = std::move(servers.at(origin));
        }
        if (!server) return;
        // Stops accepting first, then shuts every connection down (WebSocket
        // ones too): no client gets in again while the origin closes.
        server->stop();
        logger->info("origin " + model.origins[origin].name + " stopped");
    }

    /// Listens on the origin's port again.
    void startOrigin(std::size_t origin) {
        std::lock_guard<std::mutex> lock(mutex);
        const ServerContext& current = running();
        if (servers.at(origin)) return;
        auto socket = OriginServer::bindLoopback(current.ports.at(origin));
        servers[origin] = std::make_unique<OriginServer>(current, origin, socket, options.maxThreads,
                                                         options.maxQueued);
        servers[origin]->start();
        logger->info("origin " + model.origins[origin].name + " listening again on " + current.originUri(origin));
    }

    void startOrigin(const std::string& name) override { startOrigin(model.originNamed(name)); }

    void restartOriginLater(const std::string& name, std::chrono::milliseconds down) override {
        const std::size_t origin = model.originNamed(name);
        std::lock_guard<std::mutex> lock(controlMutex);
        if (controlEnding) return;
        controlThreads.emplace_back([this, origin, down] {
            try {
                stopOrigin(origin);
                if (down.count() < 0) return;
                {
                    std::unique_lock<std::mutex> wait(controlMutex);
                    if (controlWake.wait_for(wait, down, [this] { return controlEnding; })) return;
                }
                startOrigin(origin);
            } catch (const std::exception& e) {
                logger->warning(std::string("restarting an origin failed: ") + e.what());
            }
        });
    }

    void endControlThreads() {
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> lock(controlMutex);
            controlEnding = true;
            threads.swap(controlThreads);
        }
        controlWake.notify_all();
        for (auto& thread : threads) thread.join();
    }

    DevServerOptions options;
    std::shared_ptr<qelutil::ILogger> logger;
    const ServerModel model;
    DataStore store;
    FaultInjector faults;
    WebSocketHub webSockets;  // after the store, whose changes it follows

    mutable std::mutex mutex;  // guards context and servers
    std::unique_ptr<ServerContext> context;
    /// One per origin, in model order; null while the origin is stopped.
    std::vector<std::unique_ptr<OriginServer>> servers;

    std::mutex controlMutex;  // guards the three below; never held with `mutex`
    std::condition_variable controlWake;
    std::vector<std::thread> controlThreads;
    bool controlEnding = false;
};

DevServer::DevServer(DevServerOptions options) : m_impl(std::make_unique<Impl>(std::move(options))) {}

DevServer::~DevServer() = default;

void DevServer::start() { m_impl->start(); }

void DevServer::stop() { m_impl->stop(); }

bool DevServer::isRunning() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->context != nullptr;
}

std::string DevServer::registryBaseUri() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->running().registryBaseUri();
}

std::vector<ServiceEndpoint> DevServer::services() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    std::vector<ServiceEndpoint> endpoints;
    for (const auto& service : m_impl->model.services) endpoints.push_back(m_impl->endpoint(service));
    return endpoints;
}

ServiceEndpoint DevServer::service(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    const ServiceDef* service = m_impl->model.findService(name);
    if (!service) throw std::invalid_argument("unknown service " + name);
    return m_impl->endpoint(*service);
}

std::vector<std::string> DevServer::origins() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    const ServerContext& current = m_impl->running();
    std::vector<std::string> result;
    for (std::size_t i = 0; i < current.ports.size(); ++i) result.push_back(current.originUri(i));
    return result;
}

std::string DevServer::readyLine() const {
    auto services = JsonFactory::createJsonObject();
    for (const auto& endpoint : this->services()) services->setString(endpoint.name, endpoint.baseUri());
    auto line = JsonFactory::createJsonObject();
    line->setBool("ready", true);
    line->setString("registry", registryBaseUri());
    line->setObject("services", *services);
    return line->toString();
}

JsonObject::Shared DevServer::getElement(const std::string& service, const std::string& resource,
                                         const std::string& id) const {
    const auto element = m_impl->store.get(service, resource, id);
    return element ? element->clone() : nullptr;
}

std::vector<JsonObject::Shared> DevServer::getElements(const std::string& service,
                                                       const std::string& resource) const {
    std::vector<JsonObject::Shared> copies;
    for (const auto& element : m_impl->store.list(service, resource)) copies.push_back(element->clone());
    return copies;
}

JsonObject::Shared DevServer::setElement(const std::string& service, const std::string& resource,
                                         const JsonObject& element) {
    return m_impl->store.set(service, resource, element)->clone();
}

JsonObject::Shared DevServer::createElement(const std::string& service, const std::string& resource,
                                            const JsonObject& element) {
    return m_impl->store.create(service, resource, element)->clone();
}

bool DevServer::deleteElement(const std::string& service, const std::string& resource, const std::string& id) {
    return m_impl->store.remove(service, resource, id) != nullptr;
}

DevServer::ListenerId DevServer::addChangeListener(ChangeListener listener) {
    return m_impl->store.addListener(std::move(listener));
}

void DevServer::removeChangeListener(ListenerId id) { m_impl->store.removeListener(id); }

void DevServer::addHttpFault(const HttpFault& fault) { m_impl->faults.add(fault); }

void DevServer::refuseConnections(std::chrono::milliseconds duration) { m_impl->faults.refuseFor(duration); }

void DevServer::clearFaults() {
    m_impl->faults.clear();
    m_impl->webSockets.clearFaults();
}

void DevServer::dropWebSockets() { m_impl->webSockets.dropAll(); }

void DevServer::stallWebSockets(std::chrono::milliseconds duration) { m_impl->webSockets.stallFor(duration); }

void DevServer::refuseWebSocketUpgrades(std::chrono::milliseconds duration, int status) {
    m_impl->webSockets.refuseFor(duration, status);
}

void DevServer::splitWebSocketMessages(std::size_t frameBytes) { m_impl->webSockets.splitMessages(frameBytes); }

std::size_t DevServer::sendWebSocketFrame(WebSocketOpcode opcode, const std::string& payload, bool fin) {
    return m_impl->webSockets.sendFrame(static_cast<int>(opcode) | (fin ? 0x80 : 0), payload);
}

std::size_t DevServer::sendOversizedWebSocketMessage(std::size_t bytes) { return m_impl->webSockets.sendPadded(bytes); }

void DevServer::registerService(const std::string& service) { m_impl->registerService(service); }

void DevServer::unregisterService(const std::string& service) { m_impl->unregisterService(service); }

void DevServer::moveService(const std::string& service, const std::string& origin) {
    m_impl->moveService(service, origin);
}

void DevServer::setResolution(const std::string& service, int status) { m_impl->setResolution(service, status); }

void DevServer::stopOrigin(const std::string& origin) { m_impl->stopOrigin(m_impl->model.originNamed(origin)); }

void DevServer::startOrigin(const std::string& origin) { m_impl->startOrigin(origin); }

std::string DevServer::originOf(const std::string& service) const {
    return m_impl->model.origins.at(m_impl->serviceNamed(service).origin).name;
}

std::size_t DevServer::webSocketCount() const { return m_impl->webSockets.connectionCount(); }

JsonObject::Shared DevServer::exampleData() { return buildExampleData(); }

}  // namespace qeldev
