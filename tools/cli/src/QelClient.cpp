#include "QelClient.h"

#include "Discovery.h"
#include "ReplyEnvelope.h"

#include <QelAccess/ConfigManager.h>
#include <QelAccessUtility/HttpResponse.h>
#include <QelAccessUtility/PocoHttpSessionFactory.h>
#include <QelAccessUtility/SerialTaskExecutor.h>
#include <QelAccessUtility/ThreadPoolTaskExecutor.h>
#include <QelAccessUtility/Uri.h>
#include <QelAccessUtility/UriParser.h>

namespace qelcli {

namespace {

using qel::QelResponse;
using qelutil::HttpResponse;

const char* const REGISTRY_SERVICE = "ServiceRegistry";

std::string withSlashes(std::string path) {
    if (path.empty() || path.front() != '/') path.insert(path.begin(), '/');
    if (path.back() != '/') path += '/';
    return path;
}

std::string originOf(const std::string& host, uint16_t port) {
    const bool ipv6 = host.find(':') != std::string::npos && host.front() != '[';
    return "http://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

Endpoint makeEndpoint(const std::string& host, uint16_t port, const std::string& path) {
    return Endpoint{host, port, originOf(host, port), withSlashes(path)};
}

bool isLocalHost(const std::string& host) {
    return host == "localhost" || host == "127.0.0.1" || host == "[::1]" || host == "::1";
}

/// The text after the last " reason: " of a nested failure text, without
/// the trailing line feed: the cause that started it.
std::string innermostReason(const std::string& text) {
    static const std::string marker = " reason: ";
    const std::size_t at = text.rfind(marker);
    std::string reason = at == std::string::npos ? text : text.substr(at + marker.size());
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
    return reason;
}

Endpoint staticEndpoint(const Options& options) {
    Endpoint endpoint;
    if (!endpointFromUri(options.base, endpoint))
        throw CliError(EXIT_USAGE,
                       "--base needs an http URI such as http://127.0.0.1:8080/api/, got \"" + options.base + "\"");
    if (!options.basePath.empty()) endpoint.basePath = withSlashes(options.basePath);
    return endpoint;
}

Endpoint registryEndpoint(const Options& options) {
    Endpoint endpoint;
    if (!endpointFromUri(options.registry, endpoint))
        throw CliError(EXIT_USAGE,
                       "--registry needs an http URI such as http://127.0.0.1:8080/, got \"" + options.registry + "\"");
    return endpoint;
}

qelutil::IHttpSessionFactory::Shared sessionFactory(int timeoutSeconds) {
    qelutil::PocoHttpSessionFactory::Options options;
    options.connectTimeout = std::chrono::seconds(timeoutSeconds);
    options.receiveTimeout = std::chrono::seconds(timeoutSeconds);
    options.exchangeTimeout = std::chrono::seconds(timeoutSeconds);
    options.userAgent = "qel";
    return std::make_shared<qelutil::PocoHttpSessionFactory>(options);
}

}  // namespace

bool endpointFromUri(const std::string& text, Endpoint& endpoint) {
    qelutil::Uri uri;
    if (!qelutil::UriParser::parseUri(text, uri) || uri.protocol != "http" || uri.host.empty()) return false;
    endpoint = makeEndpoint(uri.host, uri.port, uri.path.substr(0, uri.path.find_first_of("?#")));
    return true;
}

QelClient::QelClient(const Options& options)
    : m_timeoutSeconds(options.timeoutSeconds),
      m_usesRegistry(!options.registry.empty()),
      m_loggerFactory(qelutil::LoggerFactory::getDefaultLoggerFactory()),
      m_replies(std::make_shared<RecordingSessionFactory>(sessionFactory(options.timeoutSeconds))),
      m_transportFactory(m_replies),
      m_callbackExecutor(std::make_shared<qelutil::SerialTaskExecutor>("qel-callback")),
      m_httpExecutor(std::make_shared<qelutil::ThreadPoolTaskExecutor>(1, "qel-http")) {
    if (options.base.empty() && options.registry.empty())
        throw CliError(EXIT_USAGE, "say where the services are: --base URI or --registry URI (see qel --help)");
    m_root = m_usesRegistry ? registryEndpoint(options) : staticEndpoint(options);
}

QelClient::~QelClient() {
    m_discovery.reset();
    // Joined here: queued tasks hold service objects that hold these
    // executors, and must not be the last owners on their own workers.
    m_callbackExecutor->shutdown();
    m_httpExecutor->shutdown();
}

std::chrono::milliseconds QelClient::answerDeadline() const {
    // A connect and a receive time-out, plus room for the callback's delivery.
    return std::chrono::seconds(2 * m_timeoutSeconds + 5);
}

qel::ITpAccess::Shared QelClient::transport(const std::string& service, const Endpoint& endpoint) {
    auto config = std::make_shared<qel::ConfigManager>();
    config->setDefaultConfig(qel::ConfigManager::ServiceConfig(
        endpoint.origin, endpoint.basePath, true, std::chrono::milliseconds(0), std::chrono::milliseconds(0)));
    return m_transportFactory.createTpAccess(service, config, m_loggerFactory);
}

qel::QelAccessor QelClient::accessor(const std::string& service, qel::ITpAccess::Shared transport) {
    return qel::QelAccessor(service, m_loggerFactory, m_callbackExecutor, m_httpExecutor, std::move(transport));
}

Endpoint QelClient::locate(const std::string& service) {
    return m_usesRegistry ? discovery().locate(service, answerDeadline()) : m_root;
}

Discovery& QelClient::discovery() {
    if (!m_usesRegistry) throw CliError(EXIT_USAGE, "finding services needs --registry URI");
    if (!m_discovery) {
        // The factory is a member of this client and outlives the discovery.
        qel::ITpAccessFactory::Shared transports(std::shared_ptr<void>(), &m_transportFactory);
        m_discovery = std::make_unique<Discovery>(m_root.origin, m_loggerFactory, std::move(transports),
                                                  m_callbackExecutor, m_httpExecutor);
    }
    return *m_discovery;
}

std::vector<std::shared_ptr<qel::ServiceRegistryService>> QelClient::readRoot() {
    const std::string name = m_usesRegistry ? REGISTRY_SERVICE : "root";
    qel::QelAccessor root = accessor(name, transport(name, m_root));
    using Services = std::vector<std::shared_ptr<qel::ServiceRegistryService>>;
    Completion<Services> done;
    m_replies->clear();
    root.readRoot(
        qel::XObjectDescriptor(),
        [done](Services services, std::shared_ptr<QelResponse> response) mutable {
            done.succeed(std::move(services), std::move(response));
        },
        [done](std::shared_ptr<const QelResponse> response) mutable { done.fail(std::move(response)); });
    return await(done);
}

Resolution QelClient::resolve(const std::string& service) {
    if (!m_usesRegistry) throw CliError(EXIT_USAGE, "resolving a service needs --registry URI");
    auto response = std::make_shared<QelResponse>();
    m_replies->clear();
    try {
        transport(REGISTRY_SERVICE, m_root)->resolveService(service, response);
    } catch (const std::exception& e) {
        raiseTransportFailure(e);
    }

    Resolution resolution;
    resolution.service = service;
    resolution.status = response->getStatusCode();
    switch (resolution.status) {
        case HttpResponse::OK:
            resolution.answer = "entry";
            resolution.endpoint = endpointFromListing(service);
            break;
        case HttpResponse::TEMPORARY_REDIRECT:
            resolution.answer = "redirect";
            if (!response->getLocation())
                throw CliError(EXIT_SERVER_ERROR, "the registry redirected without a Location");
            resolution.location = *response->getLocation();
            if (!endpointFromUri(resolution.location, resolution.endpoint))
                throw CliError(EXIT_SERVER_ERROR,
                               "the registry redirected to an unusable location: " + resolution.location);
            break;
        case HttpResponse::MULTIPLE_CHOICES:
            resolution.answer = "choice";
            resolution.choices = response->getMultipleChoices();
            resolution.chosen = resolution.choices ? pickChoice(*resolution.choices, resolution.endpoint) : -1;
            if (resolution.chosen < 0) throw CliError(EXIT_SERVER_ERROR, "the registry offered no usable choice");
            break;
        default:
            raiseFailure(*response);
    }
    return resolution;
}

Endpoint QelClient::endpointFromListing(const std::string& service) {
    for (const auto& entry : readRoot()) {
        if (!entry || entry->getName().getValueOr("") != service) continue;
        const std::string path = entry->getPath().getValueOr("/");
        Endpoint endpoint;
        // An entry listed with an absolute uri carries its own origin.
        if (path.find("://") != std::string::npos && endpointFromUri(path, endpoint)) return endpoint;
        return makeEndpoint(entry->getHost().getValueOr(m_root.host), entry->getPort().getValueOr(m_root.port), path);
    }
    throw CliError(EXIT_SERVER_ERROR, "the registry resolved " + service + " but does not list it");
}

int QelClient::pickChoice(const std::vector<QelResponse::MultipleChoice>& choices, Endpoint& endpoint) {
    // A choice on this host wins (the one nearest the end); otherwise the
    // first usable choice of the list.
    int chosen = -1;
    for (int i = static_cast<int>(choices.size()) - 1; i >= 0; --i) {
        Endpoint candidate;
        const auto& address = choices[static_cast<std::size_t>(i)].hostAddress;
        if (!address || !endpointFromUri(*address, candidate)) continue;
        chosen = i;
        endpoint = candidate;
        if (isLocalHost(candidate.host)) break;
    }
    return chosen;
}

void QelClient::raiseFailure(const QelResponse& response) const {
    if (const auto failure = response.getHttpException()) raiseTransportFailure(*failure);
    const int status = response.getStatusCode();
    if (status == HttpResponse::OTHER) throw CliError(EXIT_TRANSPORT, "no reply from the server");
    throw CliError(EXIT_SERVER_ERROR, describeStatus(status, m_replies->lastReply()));
}

void QelClient::raiseTransportFailure(const std::exception& failure) const {
    throw CliError(EXIT_TRANSPORT, "request failed: " + innermostReason(failure.what()));
}

}  // namespace qelcli
