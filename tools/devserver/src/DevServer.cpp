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
#include <fstream>
#include <map>
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

/// The data with each service of `services` on a new origin named as the service.
JsonObject::SharedConst withOwnOrigins(const JsonObject& data, const std::vector<std::string>& services) {
    auto result = data.clone();
    auto origins = data.has("origins") ? data.getArray("origins")->clone() : JsonFactory::createJsonArray();
    if (!data.has("origins")) {
        auto main = JsonFactory::createJsonObject();
        main->setString("name", "main");
        origins->addObject(*main);
    }
    auto list = data.has("services") && data.isArray("services") ? data.getArray("services")
                                                                 : JsonFactory::createJsonArray();
    auto moved = JsonFactory::createJsonArray();
    std::size_t found = 0;
    for (std::size_t i = 0; i < list->size(); ++i) {
        auto service = list->getObject(i)->clone();
        const bool own = service->isString("name") &&
                         std::find(services.begin(), services.end(), service->getString("name")) != services.end();
        if (own) {
            auto origin = JsonFactory::createJsonObject();
            origin->setString("name", service->getString("name"));
            origin->setLong("port", 0);
            origins->addObject(*origin);
            service->setString("origin", service->getString("name"));
            ++found;
        }
        moved->addObject(*service);
    }
    if (found != services.size()) throw std::runtime_error("an origin of its own is asked for an unknown service");
    result->setArray("origins", *origins);
    result->setArray("services", *moved);
    return result;
}

ServerModel loadModel(const DevServerOptions& options) {
    JsonObject::SharedConst data = options.data;
    if (!data) data = options.dataFile.empty() ? buildExampleData() : readDataFile(options.dataFile);
    if (!options.ownOrigin.empty()) data = withOwnOrigins(*data, options.ownOrigin);
    return ServerModel::load(*data, options.defaultPageSize);
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

class DevServer::Impl {
public:
    explicit Impl(DevServerOptions options)
        : options(std::move(options)),
          logger(createLogger(this->options)),
          model(loadModel(this->options)),
          store(model, logger),
          webSockets(store, webSocketSettings(this->options, model), logger),
          registry(model, this->options.unregistered) {
        registry.setOnChange([this] { webSockets.registryChanged(); });
    }

    ~Impl() { stop(); }

    void start() {
        std::lock_guard<std::mutex> lock(mutex);
        if (context) throw std::logic_error("the server runs already");
        std::vector<Poco::Net::ServerSocket> sockets;
        auto next = std::make_unique<ServerContext>(ServerContext{model, store, faults, webSockets, registry,
                      std::make_shared<std::vector<std::atomic<uint16_t>>>(model.origins.size()),
                                                                  options.maxBodyBytes, options.maxQueryBytes, logger,
                                                                  {}});
        next->controlOrigin = [this](const std::string& action, const std::string& name, int64_t value) {
            controlLater(action, name, value);
        };
        for (std::size_t i = 0; i < model.origins.size(); ++i) {
            const uint16_t port = i == 0 && options.port != 0 ? options.port : model.origins[i].port;
            sockets.push_back(OriginServer::bindLoopback(port));
            next->ports->at(i).store(sockets.back().address().port());
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
        joinControllers();
        std::lock_guard<std::mutex> lock(mutex);
        if (!context) return;
        faults.shutdown();
        webSockets.shutdown();
        // Each origin's accept loop takes a moment to notice; stop them side by side.
        std::vector<std::thread> stoppers;
        for (auto& server : servers) {
            if (server) stoppers.emplace_back([&server] { server->stop(); });
        }
        for (auto& stopper : stoppers) stopper.join();
        servers.clear();
        heldPorts.clear();
        context.reset();
        logger->info("stopped");
    }

    /// The origin of that name, or else the origin of the service of that name.
    std::size_t originOf(const std::string& name) const {
        for (std::size_t i = 0; i < model.origins.size(); ++i) {
            if (model.origins[i].name == name) return i;
        }
        if (const ServiceDef* service = model.findService(name)) return service->origin;
        throw std::invalid_argument("no origin or service named " + name);
    }

    void stopOrigin(const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex);
        const std::size_t origin = originOf(name);
        const ServerContext& current = running();
        if (!servers.at(origin)) return;
        stopServer(origin, current.port(origin));
        logger->info("origin " + model.origins[origin].name + " stopped");
    }

    void startOrigin(const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex);
        const std::size_t origin = originOf(name);
        const ServerContext& current = running();
        if (servers.at(origin)) return;
        startServer(current, origin, OriginServer::bindLoopback(current.port(origin)));
        logger->info("origin " + model.origins[origin].name + " listening again on " + current.originUri(origin));
    }

    /// Under `mutex`. No client gets in again while the origin's WebSocket
    /// connections end, each through its own thread. The port stays held
    /// until the origin starts again, so that no other socket of this
    /// machine takes it meanwhile.
    void stopServer(std::size_t origin, uint16_t port) {
        servers[origin]->stopAccepting();
        webSockets.dropOrigin(origin);
        servers[origin]->stop();
        servers[origin].reset();
        try {
            heldPorts[origin] = OriginServer::holdPort(port);
        } catch (const std::runtime_error& e) {
            logger->warning(std::string("origin ") + model.origins[origin].name + ": " + e.what());
        }
    }

    /// Under `mutex`.
    void startServer(const ServerContext& current, std::size_t origin, const Poco::Net::ServerSocket& socket) {
        servers[origin] = std::make_unique<OriginServer>(current, origin, socket, options.maxThreads, options.maxQueued);
        servers[origin]->start();
        heldPorts.erase(origin);
    }

    /// Serves the service's origin on `port` (0: a free one) instead: stops
    /// it, binds the new port and starts it there; the registry lists the
    /// new address. The origin must serve this service alone.
    uint16_t moveService(const std::string& name, uint16_t port) {
        uint16_t bound = 0;
        {
            std::lock_guard<std::mutex> lock(mutex);
            const ServiceDef* service = model.findService(name);
            if (!service) throw std::invalid_argument("unknown service " + name);
            const ServerContext& current = running();
            const std::size_t origin = service->origin;
            const bool alone = model.registry.origin != origin &&
                               std::count_if(model.services.begin(), model.services.end(),
                                             [&](const ServiceDef& s) { return s.origin == origin; }) == 1;
            if (!alone) throw std::logic_error("service " + name + " does not have an origin of its own");
            if (servers.at(origin)) stopServer(origin, current.port(origin));
            Poco::Net::ServerSocket socket;
            try {
                socket = OriginServer::bindLoopback(port);
            } catch (const std::runtime_error&) {
                startServer(current, origin, OriginServer::bindLoopback(current.port(origin)));  // stays where it was
                throw;
            }
            bound = socket.address().port();
            current.ports->at(origin).store(bound);
            startServer(current, origin, socket);
            logger->info("service " + name + " moved to " + current.originUri(origin));
        }
        webSockets.registryChanged();
        return bound;
    }

    bool isOriginRunning(const std::string& name) const {
        std::lock_guard<std::mutex> lock(mutex);
        const std::size_t origin = originOf(name);
        return context && servers.at(origin) != nullptr;
    }

    /// Runs an origin action of the admin endpoint on a thread of its own:
    /// the request asking for it may run on the origin it stops.
    void controlLater(const std::string& action, const std::string& name, int64_t value) {
        originOf(name);
        if (action != "stop" && action != "start" && action != "restart" && action != "move")
            throw std::invalid_argument("the action must be stop, start, restart or move");
        if (action == "move" && !model.findService(name)) throw std::invalid_argument("unknown service " + name);
        std::lock_guard<std::mutex> lock(controllerMutex);
        controllers.emplace_back([this, action, name, value] {
            try {
                if (action == "move") {
                    moveService(name, static_cast<uint16_t>(value));
                    return;
                }
                if (action != "start") stopOrigin(name);
                if (action == "restart") std::this_thread::sleep_for(std::chrono::milliseconds(value));
                if (action != "stop") startOrigin(name);
            } catch (const std::exception& e) {
                logger->error("origin " + name + ": " + action + " failed: " + e.what());
            }
        });
    }

    void joinControllers() {
        std::vector<std::thread> pending;
        {
            std::lock_guard<std::mutex> lock(controllerMutex);
            pending.swap(controllers);
        }
        for (auto& thread : pending) thread.join();
    }

    const ServerContext& running() const {
        if (!context) throw std::logic_error("the server is not running");
        return *context;
    }

    ServiceEndpoint endpoint(const ServiceDef& service) const {
        const ServerContext& current = running();
        return ServiceEndpoint{service.name, current.originUri(service.origin), service.basePath,
                               current.port(service.origin)};
    }

    DevServerOptions options;
    std::shared_ptr<qelutil::ILogger> logger;
    const ServerModel model;
    DataStore store;
    FaultInjector faults;
    WebSocketHub webSockets;  // after the store, whose changes it follows
    RegistryState registry;

    std::mutex controllerMutex;  // guards controllers; never held with `mutex`
    std::vector<std::thread> controllers;

    mutable std::mutex mutex;  // guards context and servers
    std::unique_ptr<ServerContext> context;
    /// One per origin, in model order; null while that origin is stopped.
    std::vector<std::unique_ptr<OriginServer>> servers;
    /// The ports of stopped origins, bound but not listening.
    std::map<std::size_t, Poco::Net::ServerSocket> heldPorts;
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
    for (std::size_t i = 0; i < current.model.origins.size(); ++i) result.push_back(current.originUri(i));
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

std::size_t DevServer::webSocketCount() const { return m_impl->webSockets.connectionCount(); }

void DevServer::unregisterService(const std::string& name) {
    if (!m_impl->registry.remove(name) && !m_impl->model.findService(name))
        throw std::invalid_argument("nothing registered as " + name);
}

void DevServer::registerService(const std::string& name) { m_impl->registry.setListed(name, true); }

void DevServer::registerEntry(const JsonObject& entry) { m_impl->registry.addEntry(entry); }

void DevServer::setResolution(const std::string& service, Resolution answer) {
    static const ServiceDef::Resolution kinds[] = {ServiceDef::Resolution::ENTRY, ServiceDef::Resolution::REDIRECT,
                                                   ServiceDef::Resolution::CHOICES};
    m_impl->registry.setResolution(service, kinds[static_cast<int>(answer)]);
}

void DevServer::stopOrigin(const std::string& name) { m_impl->stopOrigin(name); }

void DevServer::startOrigin(const std::string& name) { m_impl->startOrigin(name); }

uint16_t DevServer::moveService(const std::string& name, uint16_t port) { return m_impl->moveService(name, port); }

bool DevServer::isOriginRunning(const std::string& name) const { return m_impl->isOriginRunning(name); }

JsonObject::Shared DevServer::exampleData() { return buildExampleData(); }

}  // namespace qeldev
