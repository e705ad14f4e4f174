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

class DevServer::Impl {
public:
    explicit Impl(DevServerOptions options)
        : options(std::move(options)),
          logger(createLogger(this->options)),
          model(loadModel(this->options)),
          store(model, logger),
          webSockets(store, webSocketSettings(this->options, model), logger) {}

    ~Impl() { stop(); }

    void start() {
        std::lock_guard<std::mutex> lock(mutex);
        if (context) throw std::logic_error("the server runs already");
        std::vector<Poco::Net::ServerSocket> sockets;
        auto next = std::make_unique<ServerContext>(ServerContext{model, store, faults, webSockets, {},
                                                                  options.maxBodyBytes, options.maxQueryBytes, logger});
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
        for (auto& server : servers) stoppers.emplace_back([&server] { server->stop(); });
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

    DevServerOptions options;
    std::shared_ptr<qelutil::ILogger> logger;
    const ServerModel model;
    DataStore store;
    FaultInjector faults;
    WebSocketHub webSockets;  // after the store, whose changes it follows

    mutable std::mutex mutex;  // guards context and servers
    std::unique_ptr<ServerContext> context;
    std::vector<std::unique_ptr<OriginServer>> servers;
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

std::size_t DevServer::webSocketCount() const { return m_impl->webSockets.connectionCount(); }

JsonObject::Shared DevServer::exampleData() { return buildExampleData(); }

}  // namespace qeldev
