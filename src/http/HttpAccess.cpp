#include <QelAccess/HttpAccess.h>

#include "model/SourceLocation.h"

#include <QelAccess/PagingObject.h>
#include <QelAccess/QelException.h>
#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonException.h>
#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/JsonParser.h>
#include <QelAccessUtility/URLEncoder.h>

#include <ostream>
#include <sstream>
#include <stdexcept>
#include <streambuf>

namespace qel {

namespace {

using qelutil::HttpResponse;
using qelutil::ILogger;
using qelutil::JsonObject;

/// Appends what is written to it to a string: the reply body lands in its
/// final place instead of in a stream buffer that is copied out after.
class StringSink : public std::streambuf {
public:
    explicit StringSink(std::string& text) : m_text(text) {}

protected:
    std::streamsize xsputn(const char* data, std::streamsize count) override {
        m_text.append(data, static_cast<std::size_t>(count));
        return count;
    }

    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        m_text.push_back(traits_type::to_char_type(c));
        return c;
    }

private:
    std::string& m_text;
};

// A body's buffer is kept for the thread's next reply up to this capacity;
// a larger one is freed as usual.
constexpr std::size_t SPARE_BODY_CAPACITY = 256 * 1024;
thread_local std::string spareBody;

/// "?" and the query text, or nothing when the query is empty.
std::string withQuery(std::string path, const std::string& query) {
    if (!query.empty()) path += "?" + query;
    return path;
}

std::string bodyText(const XObjectDescriptor& descriptor) {
    std::ostringstream out;
    descriptor.getAsQELBody()->writeTo(out);
    return out.str();
}

std::shared_ptr<std::string> sharedString(const JsonObject& json, const std::string& key) {
    return std::make_shared<std::string>(json.getString(key));
}

struct StatusLine {
    ILogger::LogLevel level;
    const char* text;
};

/// Level and text of the status line of a known status; null text for the
/// statuses that are logged as unknown.
StatusLine statusLine(int status) {
    switch (status) {
        case 200: return {ILogger::INFO, "OK"};
        case 201: return {ILogger::INFO, "CREATED"};
        case 202: return {ILogger::WARNING, "HTTP_ACCEPTED"};
        case 300: return {ILogger::WARNING, "HTTP_MULTIPLE_CHOICES"};
        case 304: return {ILogger::WARNING, "HTTP_NOT_MODIFIED"};
        case 307: return {ILogger::INFO, "HTTP_TEMPORARY_REDIRECT"};
        case 400: return {ILogger::ERROR, "HTTP_BAD_REQUEST"};
        case 401: return {ILogger::WARNING, "HTTP_UNAUTHORIZED"};
        case 403: return {ILogger::ERROR, "HTTP_FORBIDDEN"};
        case 404: return {ILogger::ERROR, "HTTP_NOT_FOUND"};
        case 408: return {ILogger::ERROR, "HTTP_REQUEST_TIMEOUT"};
        case 409: return {ILogger::WARNING, "HTTP_CONFLICT"};
        case 410: return {ILogger::WARNING, "HTTP_GONE"};
        case 500: return {ILogger::WARNING, "HTTP_INTERNAL_SERVER_ERROR"};
        case 501: return {ILogger::WARNING, "HTTP_NOT_IMPLEMENTED"};
        case 503: return {ILogger::WARNING, "HTTP_SERVICE_UNAVAILABLE"};
        case 504: return {ILogger::WARNING, "HTTP_GATEWAY_TIMEOUT"};
        default: return {ILogger::WARNING, nullptr};
    }
}

bool isOneOf(int status, std::initializer_list<int> statuses) {
    for (int s : statuses)
        if (s == status) return true;
    return false;
}

/// Hands every member of the root's "data" array to the provider, in order;
/// null results are kept.
std::vector<IXObject::Unique> provideAll(const ITpAccess::XObjectProvider& provider, const JsonObject& root) {
    std::vector<IXObject::Unique> result;
    if (!root.has("data")) return result;
    const auto data = root.getArray("data");
    const std::size_t count = data->size();
    result.reserve(count);
    for (std::size_t i = 0; i < count; ++i) result.push_back(provider(data->getObject(i)));
    return result;
}

}  // namespace

HttpAccess::HttpAccess(const std::string& serviceName, std::shared_ptr<const IConfigManager> configManager,
                       qelutil::LoggerFactory::shared loggerFactory,
                       qelutil::IHttpSessionFactory::Shared sessionFactory)
    : m_configManager(std::move(configManager)), m_pSessionFactory(std::move(sessionFactory)) {
    if (!m_configManager || !loggerFactory || !m_pSessionFactory)
        throw std::invalid_argument("HttpAccess needs a configuration, a logger factory and a session factory");
    m_serviceDescription = m_configManager->getServiceConfiguration(serviceName);
    logger = std::shared_ptr<ILogger>(loggerFactory->createLogger("HTTPAccess " + m_serviceDescription.serviceName));
}

// ---- request cycle -------------------------------------------------------

// A reply made while another is alive on the same thread (an object built
// from a read that reads again) just starts with an empty buffer.
HttpAccess::Reply::Reply() {
    body.swap(spareBody);
    body.clear();
}

HttpAccess::Reply::~Reply() {
    if (body.capacity() > spareBody.capacity() && body.capacity() <= SPARE_BODY_CAPACITY) body.swap(spareBody);
}

HttpAccess::Reply HttpAccess::exchange(Method method, const std::string& path, const std::string& requestBody) const {
    auto session = m_pSessionFactory->createSession(m_serviceDescription.serverBaseUri);
    if (!session) throw std::runtime_error("no HTTP session for " + m_serviceDescription.serverBaseUri);
    Reply reply;
    StringSink sink(reply.body);
    std::ostream out(&sink);
    switch (method) {
        case Method::Get: session->get(path, out, reply.http); break;
        case Method::Post: session->post(path, requestBody, out, reply.http); break;
        case Method::Remove: session->remove(path, out, reply.http); break;
    }
    return reply;
}

void HttpAccess::recordStatus(const HttpResponse& http, QelResponse& response) const {
    loggingStatusCode(http.status);
    response.setStatusCode(http.status);
    if (http.location.isValid()) response.setLocation(http.location);
}

void HttpAccess::loggingStatusCode(int status) const {
    if (status == 101) return;
    const StatusLine line = statusLine(status);
    if (!logger->isEnabled(line.level)) return;
    if (line.text)
        logger->write(line.level, std::string("HTTP Response: Status ") + line.text);
    else
        logger->write(line.level, "HTTP Response: Status unknown code " + std::to_string(status));
}

void HttpAccess::buildQelResponseObject(const JsonObject::Shared& json, const std::shared_ptr<QelResponse>& response) {
    const JsonObject& envelope = *json;
    if (envelope.isString("event")) response->setEvent(sharedString(envelope, "event"));
    if (envelope.isString("status")) response->setStatus(sharedString(envelope, "status"));
    if (envelope.isString("message")) response->setMessage(sharedString(envelope, "message"));
    if (envelope.isString("type")) response->setType(sharedString(envelope, "type"));
    if (envelope.isString("service")) response->setService(sharedString(envelope, "service"));
    if (envelope.isLong("timestamp")) response->setTimestamp(std::make_shared<int64_t>(envelope.getLong("timestamp")));
    if (envelope.isObject("paging"))
        response->setPaging(PagingObject::createFromJson(*envelope.getObject("paging"), 0));
}

JsonObject::Shared HttpAccess::parseBody(const std::string& body) {
    return qelutil::JsonFactory::createJsonParser()->parse(body)->getRootObject();
}

std::shared_ptr<std::vector<QelResponse::MultipleChoice>> HttpAccess::parseChoices(const JsonObject& root) {
    auto choices = std::make_shared<std::vector<QelResponse::MultipleChoice>>();
    const auto data = root.getArray("data");
    const std::size_t count = data->size();
    choices->reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto element = data->getObject(i);
        QelResponse::MultipleChoice choice;
        if (element->has("description")) choice.description = sharedString(*element, "description");
        if (element->has("hostAddress")) choice.hostAddress = sharedString(*element, "hostAddress");
        if (element->has("versions")) choice.versions = sharedString(*element, "versions");
        choices->push_back(std::move(choice));
    }
    return choices;
}

// ---- reads ---------------------------------------------------------------

std::vector<IXObject::Unique> HttpAccess::read(XObjectProvider provider, const std::string& path,
                                               std::shared_ptr<QelResponse> response) {
    try {
        if (logger->isDebug()) {
            logger->debug("reading with base uri=" + m_serviceDescription.serverBaseUri);
            logger->debug("reading from path=" + path);
        }
        const Reply reply = exchange(Method::Get, path);
        if (logger->isDebug()) logger->debug("read received response: " + reply.body);
        recordStatus(reply.http, *response);

        std::vector<IXObject::Unique> result;
        if (reply.http.status == HttpResponse::OK && !reply.body.empty()) {
            const auto root = parseBody(reply.body);
            buildQelResponseObject(root, response);
            result = provideAll(provider, *root);
        } else if (reply.http.status == HttpResponse::MULTIPLE_CHOICES) {
            const auto root = parseBody(reply.body);
            if (root->has("data")) response->setMultipleChoices(parseChoices(*root));
        }
        return result;
    } catch (const qelutil::JsonException& e) {
        logger->error(QEL_SOURCE_LOCATION);
        throw QelException("read failed", "JSONException", &e);
    } catch (const std::exception& e) {
        logger->error(QEL_SOURCE_LOCATION);
        throw QelException("read failed", "unknown", &e);
    } catch (...) {
        logger->error(QEL_SOURCE_LOCATION);
        throw QelException("read failed, unknown exception", "unknown");
    }
}

std::vector<IXObject::Unique> HttpAccess::readRoot(XObjectProvider provider, const XObjectDescriptor& descriptor,
                                                   std::shared_ptr<QelResponse> response) {
    const std::string path =
        withQuery(m_serviceDescription.serverBasePath, descriptor.createPropertySearchAndQueryOptionsString());
    return read(std::move(provider), path, std::move(response));
}

std::vector<IXObject::Unique> HttpAccess::readService(XObjectProvider provider, const QelServiceDescriptor& descriptor,
                                                      std::shared_ptr<QelResponse> response) {
    const std::string& service = descriptor.getService();
    const std::string path =
        withQuery(m_serviceDescription.serverBasePath + service + m_configManager->getSeparatorAfterResource(service),
                  descriptor.createPropertySearchAndQueryOptionsString());
    return read(std::move(provider), path, std::move(response));
}

std::vector<IXObject::Unique> HttpAccess::readResource(XObjectProvider provider,
                                                       const QelResourceDescriptor& descriptor,
                                                       std::shared_ptr<QelResponse> response) {
    try {
        const std::string path =
            withQuery(resourcePath(descriptor), descriptor.createPropertySearchAndQueryOptionsString());
        return readResourceExchange(provider, path, response);
    } catch (const std::exception& e) {
        throw QelException("readResource failed", "unknown", &e);
    } catch (...) {
        throw QelException("readResource failed, unknown exception", "unknown");
    }
}

std::vector<IXObject::Unique> HttpAccess::readResourceExchange(const XObjectProvider& provider, const std::string& path,
                                                               const std::shared_ptr<QelResponse>& response) {
    if (logger->isDebug()) logger->debug("readResource request: " + path);
    const Reply reply = exchange(Method::Get, path);
    if (logger->isDebug()) logger->debug("readResource received response: " + reply.body);
    recordStatus(reply.http, *response);
    if (reply.http.status != HttpResponse::OK) return {};
    const auto root = parseBody(reply.body);
    buildQelResponseObject(root, response);
    return provideAll(provider, *root);
}

void HttpAccess::resolveService(const std::string& serviceName, std::shared_ptr<QelResponse> response) {
    const std::string path =
        m_serviceDescription.serverBasePath + serviceName + m_configManager->getSeparatorAfterResource(serviceName);
    read([](const JsonObject::Shared&) { return IXObject::Unique(); }, path, std::move(response));
}

// ---- element operations --------------------------------------------------

std::string HttpAccess::resourcePath(const XObjectDescriptor& descriptor) const {
    const std::string& service = descriptor.getService();
    return m_serviceDescription.serverBasePath + service + "/" + descriptor.getResource() +
           m_configManager->getSeparatorAfterResource(service);
}

std::string HttpAccess::elementPath(const XObjectDescriptor& descriptor) const {
    return withQuery(m_serviceDescription.serverBasePath + descriptor.getService() + "/" + descriptor.getResource() +
                         "/" + qelutil::URLEncoder::encodePathSegment(descriptor.getId().getValue()),
                     descriptor.createQueryOptionsString());
}

IXObject::Unique HttpAccess::findFirst(XObjectProvider provider, const XObjectDescriptor& descriptor,
                                       std::shared_ptr<QelResponse> response) {
    try {
        return findFirstExchange(provider, descriptor, response);
    } catch (const std::exception& e) {
        throw QelException("find first failed", "unknown", &e);
    } catch (...) {
        throw QelException("find first failed, unknown exception", "unknown");
    }
}

IXObject::Unique HttpAccess::findFirstExchange(const XObjectProvider& provider, const XObjectDescriptor& descriptor,
                                               const std::shared_ptr<QelResponse>& response) {
    const std::string path =
        withQuery(resourcePath(descriptor), descriptor.createPropertySearchAndQueryOptionsString());
    if (logger->isDebug()) logger->debug("findFirst request=" + path);
    const Reply reply = exchange(Method::Get, path);
    if (logger->isDebug()) logger->debug("findFirst received response: " + reply.body);
    recordStatus(reply.http, *response);
    if (reply.http.status != HttpResponse::OK) return nullptr;
    const auto root = parseBody(reply.body);
    buildQelResponseObject(root, response);
    if (!root->has("data")) return nullptr;
    const auto data = root->getArray("data");
    if (data->size() == 0) return nullptr;
    return provider(data->getObject(0));
}

IXObject::Unique HttpAccess::getElement(XObjectProvider provider, const XObjectDescriptor& descriptor,
                                        std::shared_ptr<QelResponse> response) {
    if (!descriptor.getId().isValid()) {
        response->setStatusCode(HttpResponse::BAD_REQUEST);
        return nullptr;
    }
    try {
        return getElementExchange(provider, descriptor, response);
    } catch (const std::exception& e) {
        throw QelException("get Element failed", "unknown", &e);
    } catch (...) {
        throw QelException("get Element failed, unknown exception", "unknown");
    }
}

IXObject::Unique HttpAccess::getElementExchange(const XObjectProvider& provider, const XObjectDescriptor& descriptor,
                                                const std::shared_ptr<QelResponse>& response) {
    const std::string path = elementPath(descriptor);
    logger->info("HttpAccess getElement: request: " + path);
    const Reply reply = exchange(Method::Get, path);
    if (logger->isDebug()) logger->debug("getElement received response: " + reply.body);
    recordStatus(reply.http, *response);
    if (reply.http.status != HttpResponse::OK) return nullptr;
    const auto root = parseBody(reply.body);
    buildQelResponseObject(root, response);
    if (!root->has("data")) return nullptr;
    return provider(root->getObject("data"));
}

IXObject::Unique HttpAccess::createElement(const XObjectDescriptor& descriptor, UriObjectProvider provider,
                                           std::shared_ptr<QelResponse> response) {
    try {
        return createElementExchange(descriptor, provider, response);
    } catch (const std::exception& e) {
        throw QelException("createElement failed", "unknown", &e);
    } catch (...) {
        throw QelException("createElement failed, unknown exception", "unknown");
    }
}

IXObject::Unique HttpAccess::createElementExchange(const XObjectDescriptor& descriptor,
                                                   const UriObjectProvider& provider,
                                                   const std::shared_ptr<QelResponse>& response) {
    const std::string path = resourcePath(descriptor);
    const std::string body = bodyText(descriptor);
    if (logger->isDebug()) logger->debug("createElement request: " + path + " " + body);
    const Reply reply = exchange(Method::Post, path, body);
    if (logger->isDebug()) logger->debug("createElement Received response: " + reply.body);
    recordStatus(reply.http, *response);
    if (!isOneOf(reply.http.status, {HttpResponse::OK, HttpResponse::CREATED, HttpResponse::ACCEPTED})) return nullptr;
    buildQelResponseObject(parseBody(reply.body), response);
    // A success reply must name the new element; an absent Location throws here.
    return provider(*reply.http.location);
}

void HttpAccess::updateElement(const XObjectDescriptor& descriptor, std::shared_ptr<QelResponse> response) {
    if (!descriptor.getId().isValid()) {
        response->setStatusCode(HttpResponse::BAD_REQUEST);
        return;
    }
    try {
        updateElementExchange(descriptor, response);
    } catch (const std::exception& e) {
        logger->error(QEL_SOURCE_LOCATION + e.what());
        throw QelException("update Element failed", "unknown", &e);
    } catch (...) {
        logger->error(QEL_SOURCE_LOCATION + "...");
        throw QelException("update Element failed, unknown exception", "unknown");
    }
}

void HttpAccess::updateElementExchange(const XObjectDescriptor& descriptor,
                                       const std::shared_ptr<QelResponse>& response) {
    const std::string path = elementPath(descriptor);
    const std::string body = bodyText(descriptor);
    if (logger->isDebug()) logger->debug("updateElement request: " + path + " " + body);
    const Reply reply = exchange(Method::Post, path, body);
    if (logger->isDebug()) logger->debug("updateElement received response: " + reply.body);
    recordStatus(reply.http, *response);
    if (isOneOf(reply.http.status, {HttpResponse::OK, HttpResponse::ACCEPTED}))
        buildQelResponseObject(parseBody(reply.body), response);
}

void HttpAccess::deleteElement(const XObjectDescriptor& descriptor, std::shared_ptr<QelResponse> response) {
    if (!descriptor.getId().isValid()) {
        response->setStatusCode(HttpResponse::BAD_REQUEST);
        return;
    }
    try {
        deleteElementExchange(descriptor, response);
    } catch (const std::exception& e) {
        throw QelException("delete Element failed", "unknown", &e);
    } catch (...) {
        throw QelException("delete Element failed, unknown exception", "unknown");
    }
}

void HttpAccess::deleteElementExchange(const XObjectDescriptor& descriptor,
                                       const std::shared_ptr<QelResponse>& response) {
    const std::string path = elementPath(descriptor);
    if (logger->isDebug()) logger->debug("deleteElement request: " + path);
    const Reply reply = exchange(Method::Remove, path);
    if (logger->isDebug()) logger->debug("deleteElement received response: " + reply.body);
    recordStatus(reply.http, *response);
    if (isOneOf(reply.http.status, {HttpResponse::OK, HttpResponse::ACCEPTED}))
        buildQelResponseObject(parseBody(reply.body), response);
}

}  // namespace qel
