#pragma once

#include <QelAccessUtility/JsonObject.h>
#include <QelAccessUtility/LoggerFactory.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qeldev {

/// How a DevServer is set up. The data (origins, services, resources,
/// elements, registry behaviour) comes from `data` when set, else from the
/// JSON file `dataFile` when non-empty, else from the built-in example data.
struct DevServerOptions {
    std::string dataFile;
    qelutil::JsonObject::SharedConst data;
    /// Port of the first origin; 0 asks the system for a free one. The port
    /// the data gives that origin is used only when this is 0.
    uint16_t port = 0;
    /// Worker threads per origin, which also bounds open connections.
    int maxThreads = 16;
    /// Accepted connections waiting for a worker, per origin.
    int maxQueued = 64;
    std::size_t maxBodyBytes = 1024 * 1024;
    std::size_t maxQueryBytes = 4096;
    /// Page size of listings read without "$limit"; the data's "pageSize" wins.
    int64_t defaultPageSize = 100;
    /// Open WebSocket connections per origin. Each runs on a worker of its
    /// own, beside the `maxThreads` HTTP workers; upgrades beyond it get 503.
    int maxWebSockets = 16;
    /// Page size of resource and root subscriptions without "$limit"; 0
    /// takes the listing page size. The data's "wsPageSize" wins.
    int64_t wsPageSize = 0;
    /// Services of the data that start unregistered: served, but not listed
    /// nor resolvable until registerService() (or the admin endpoint) lists them.
    std::vector<std::string> unregistered;
    /// Services of the data moved to an origin of their own, named as the
    /// service, on a free port, so that stopOrigin() can stop them alone.
    std::vector<std::string> ownOrigin;
    /// Source of the server's loggers; the process-wide default when null.
    qelutil::LoggerFactory::shared loggerFactory;
};

/// Where one service can be reached once the server runs.
struct ServiceEndpoint {
    std::string name;
    std::string origin;    ///< "http://127.0.0.1:" + port, no trailing "/"
    std::string basePath;  ///< starts and ends with "/"
    uint16_t port = 0;

    std::string baseUri() const { return origin + basePath; }
};

/// One rule of HTTP fault injection. The first rule that matches a request
/// is applied: it delays the request, then either answers it with `status`
/// and `body` or lets it through. Admin requests are never matched.
struct HttpFault {
    /// Request path without query; a trailing "*" matches every path with
    /// that prefix; empty matches every path.
    std::string path;
    /// Request method, empty for any.
    std::string method;
    /// 0 answers the request normally (after the delay).
    int status = 0;
    /// Reply body (sent as application/json); empty gives a standard envelope.
    std::string body;
    std::chrono::milliseconds delay{0};
    /// How many requests the rule applies to; 0 until cleared.
    int times = 0;
};

/// Opcodes of WebSocket frames, for sending raw frames as a fault.
enum class WebSocketOpcode { CONTINUATION = 0x0, TEXT = 0x1, BINARY = 0x2, CLOSE = 0x8, PING = 0x9, PONG = 0xA };

/// One change of the element data, as reported to change listeners.
struct ElementChange {
    enum Kind { CREATED, UPDATED, DELETED };
    Kind kind = UPDATED;
    std::string service;
    std::string resource;
    std::string id;
    /// The element after the change; null for DELETED.
    qelutil::JsonObject::SharedConst element;
    /// Increases by one with every change of this server's data.
    uint64_t sequence = 0;
};

/// The reference server: a service registry and example services over HTTP
/// and WebSocket, on one or more loopback origins, with fault injection. Usable in-process
/// (tests, benchmarks) and behind the qel-devserver program.
///
/// Thread-safe: every operation may be called from any thread. Data changes
/// made here and over HTTP are reported to change listeners.
class DevServer {
public:
    using ChangeListener = std::function<void(const ElementChange&)>;
    using ListenerId = uint64_t;

    /// Loads the data; throws std::runtime_error for unusable data. The data
    /// operations work from here on, whether the server runs or not.
    explicit DevServer(DevServerOptions options = {});
    ~DevServer();
    DevServer(const DevServer&) = delete;
    DevServer& operator=(const DevServer&) = delete;

    /// Binds every origin on 127.0.0.1 and serves. Throws std::runtime_error
    /// when a port cannot be bound and std::logic_error when running already.
    /// A stopped server may be started again (on fresh ports where the data
    /// asks for port 0); its data is kept.
    void start();
    /// Stops listening, closes open connections and waits for the workers.
    void stop();
    bool isRunning() const;

    /// The addresses below need a running server (std::logic_error otherwise).
    /// "http://127.0.0.1:" + port + the registry's base path.
    std::string registryBaseUri() const;
    /// The services of the data, in data order (not the registry itself).
    std::vector<ServiceEndpoint> services() const;
    /// Throws std::invalid_argument for an unknown name.
    ServiceEndpoint service(const std::string& name) const;
    /// "http://127.0.0.1:" + port of every origin, in data order.
    std::vector<std::string> origins() const;
    /// The one-line JSON announcement of the program:
    /// {"ready":true,"registry":...,"services":{name: base URI, ...}}.
    std::string readyLine() const;

    /// A copy of the element, or null when the resource has no such id.
    /// Unknown service or resource names throw std::invalid_argument here and
    /// in the other data operations.
    qelutil::JsonObject::Shared getElement(const std::string& service, const std::string& resource,
                                           const std::string& id) const;
    /// Copies of the resource's elements in their order.
    std::vector<qelutil::JsonObject::Shared> getElements(const std::string& service,
                                                         const std::string& resource) const;
    /// Stores `element` (it must hold a string "id") in place of the element
    /// with that id, or appends it; returns the stored element, whose "uri"
    /// the server sets.
    qelutil::JsonObject::Shared setElement(const std::string& service, const std::string& resource,
                                           const qelutil::JsonObject& element);
    /// Appends a new element; without "id" the server picks one. Throws
    /// std::invalid_argument when the id is taken or unusable.
    qelutil::JsonObject::Shared createElement(const std::string& service,
                                              const std::string& resource,
                                              const qelutil::JsonObject& element);
    /// Returns whether the element existed.
    bool deleteElement(const std::string& service, const std::string& resource,
                       const std::string& id);

    /// Listeners run on the thread that made the change, after the data is
    /// changed and in the order of the changes; they may read the data but
    /// must not change it, and should return quickly.
    ListenerId addChangeListener(ChangeListener listener);
    void removeChangeListener(ListenerId id);

    void addHttpFault(const HttpFault& fault);
    /// Closes every newly accepted connection, before reading from it, for
    /// `duration` from now.
    void refuseConnections(std::chrono::milliseconds duration);
    /// Removes every HTTP fault, ends a refusal and ends the WebSocket
    /// faults below (stall, refused upgrades, split messages).
    void clearFaults();

    /// Closes every open WebSocket connection at once, without a close frame.
    void dropWebSockets();
    /// For `duration` from now the WebSocket side answers nothing: no
    /// pushes, confirmations or pongs, and upgrade requests wait.
    void stallWebSockets(std::chrono::milliseconds duration);
    /// Answers upgrade requests with `status` (200 to 599) for `duration` from now.
    void refuseWebSocketUpgrades(std::chrono::milliseconds duration, int status = 503);
    /// Sends every later message in frames of at most `frameBytes` payload
    /// bytes; 0 sends each message in one frame again.
    void splitWebSocketMessages(std::size_t frameBytes);
    /// Sends one raw frame to every open WebSocket connection, outside the
    /// protocol (malformed or wrongly typed messages, empty or unsolicited
    /// frames). Returns the number of connections that took it.
    std::size_t sendWebSocketFrame(WebSocketOpcode opcode, const std::string& payload, bool fin = true);
    /// Sends a well-formed data message of exactly `bytes` bytes (at least
    /// the bare message) to every open WebSocket connection, under the event
    /// of its latest subscription. Returns the number of connections reached.
    std::size_t sendOversizedWebSocketMessage(std::size_t bytes);
    /// Open WebSocket connections on all origins.
    std::size_t webSocketCount() const;

    /// How the registry answers the resolution of a service.
    enum class Resolution { ENTRY = 0, REDIRECT = 1, CHOICES = 2 };

    /// Takes the service (of the data, or an entry added by registerEntry)
    /// out of the registry: it is no longer listed and its resolution answers
    /// 404; its data and origin stay. Root subscribers of the registry get
    /// the new listing. Throws std::invalid_argument for an unknown name.
    void unregisterService(const std::string& name);
    /// Lists a service of the data again (or for the first time); root
    /// subscribers get the new listing. Throws std::invalid_argument for an
    /// unknown name. Registering a listed service changes nothing.
    void registerService(const std::string& name);
    /// Lists `entry` (a string "name", not one of the data's services; "uri"
    /// and "port" as the client needs them) as it is, resolvable by its name
    /// (200), in place of an entry of that name added before.
    void registerEntry(const qelutil::JsonObject& entry);
    /// How the resolution of the service answers from now on (the choices
    /// are those of the data, by default one with the service's own address).
    void setResolution(const std::string& service, Resolution answer);

    /// Stops one origin, named by its name or by a service it serves: closes
    /// its listening socket and every HTTP and WebSocket connection on it
    /// (WebSocket connections end without a close frame). The registry stops
    /// with the origin it lives on. Stopping a stopped origin does nothing.
    /// Throws std::invalid_argument for an unknown name and std::logic_error
    /// when the server does not run.
    void stopOrigin(const std::string& name);
    /// Listens on the origin's port again (the one it had); throws
    /// std::runtime_error when the port cannot be bound.
    void startOrigin(const std::string& name);
    bool isOriginRunning(const std::string& name) const;
    /// Moves a service that has an origin of its own (see `ownOrigin`) to
    /// `port` (0: a free one) and returns the port: the origin stops (its
    /// connections close, WebSockets without a close frame) and listens on
    /// the new port; the registry lists the new uri and port, resolution
    /// answers with the new address, and root subscribers of the registry get
    /// the new listing. Throws std::logic_error when the service shares its
    /// origin (or the server does not run), std::invalid_argument for an
    /// unknown name, std::runtime_error when the port cannot be bound.
    uint16_t moveService(const std::string& name, uint16_t port = 0);

    /// The built-in example data in the data file format.
    static qelutil::JsonObject::Shared exampleData();

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace qeldev
