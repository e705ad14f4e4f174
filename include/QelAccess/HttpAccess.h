#pragma once

#include <QelAccess/IConfigManager.h>
#include <QelAccess/ITpAccess.h>
#include <QelAccessUtility/HttpResponse.h>
#include <QelAccessUtility/IHttpSession.h>
#include <QelAccessUtility/IHttpSessionFactory.h>
#include <QelAccessUtility/ILogger.h>
#include <QelAccessUtility/LoggerFactory.h>

#include <memory>
#include <string>
#include <vector>

namespace qel {

/// The HTTP transport of one service. Every operation takes a fresh session
/// from the session factory for the service's server base URI, so operations
/// may run concurrently on several threads: after construction the object
/// holds no mutable state.
class HttpAccess : public ITpAccess {
public:
    /// Takes the service's configuration from `configManager` once; the
    /// separator after a resource is asked for again on every request.
    /// Throws std::invalid_argument when a handle is null.
    HttpAccess(const std::string& serviceName, std::shared_ptr<const IConfigManager> configManager,
               qelutil::LoggerFactory::shared loggerFactory, qelutil::IHttpSessionFactory::Shared sessionFactory);

    IXObject::Unique findFirst(XObjectProvider provider, const XObjectDescriptor& descriptor,
                               std::shared_ptr<QelResponse> response) override;
    IXObject::Unique createElement(const XObjectDescriptor& descriptor, UriObjectProvider provider,
                                   std::shared_ptr<QelResponse> response) override;
    IXObject::Unique getElement(XObjectProvider provider, const XObjectDescriptor& descriptor,
                                std::shared_ptr<QelResponse> response) override;
    void deleteElement(const XObjectDescriptor& descriptor, std::shared_ptr<QelResponse> response) override;
    void updateElement(const XObjectDescriptor& descriptor, std::shared_ptr<QelResponse> response) override;
    std::vector<IXObject::Unique> readResource(XObjectProvider provider, const QelResourceDescriptor& descriptor,
                                               std::shared_ptr<QelResponse> response) override;
    std::vector<IXObject::Unique> readService(XObjectProvider provider, const QelServiceDescriptor& descriptor,
                                              std::shared_ptr<QelResponse> response) override;
    std::vector<IXObject::Unique> readRoot(XObjectProvider provider, const XObjectDescriptor& descriptor,
                                           std::shared_ptr<QelResponse> response) override;
    void resolveService(const std::string& serviceName, std::shared_ptr<QelResponse> response) override;

protected:
    /// The GET cycle shared by the root, service and resolution reads:
    /// envelope and "data" objects of a 200 reply, choices of a 300 reply.
    /// Failures are thrown as QelException ("read failed").
    std::vector<IXObject::Unique> read(XObjectProvider provider, const std::string& path,
                                       std::shared_ptr<QelResponse> response);

private:
    /// The body grows in a buffer that each thread keeps from its previous
    /// reply, instead of in a fresh string reallocated as the bytes arrive.
    struct Reply {
        Reply();
        Reply(Reply&&) = default;
        ~Reply();
        std::string body;
        qelutil::HttpResponse http;
    };
    enum class Method { Get, Post, Remove };

    Reply exchange(Method method, const std::string& path, const std::string& requestBody = std::string()) const;
    void recordStatus(const qelutil::HttpResponse& http, QelResponse& response) const;
    void loggingStatusCode(int status) const;
    static void buildQelResponseObject(const qelutil::JsonObject::Shared& json,
                                       const std::shared_ptr<QelResponse>& response);
    static qelutil::JsonObject::Shared parseBody(const std::string& body);
    static std::shared_ptr<std::vector<QelResponse::MultipleChoice>> parseChoices(const qelutil::JsonObject& root);

    std::string resourcePath(const XObjectDescriptor& descriptor) const;
    std::string elementPath(const XObjectDescriptor& descriptor) const;
    std::vector<IXObject::Unique> readResourceExchange(const XObjectProvider& provider, const std::string& path,
                                                       const std::shared_ptr<QelResponse>& response);
    IXObject::Unique findFirstExchange(const XObjectProvider& provider, const XObjectDescriptor& descriptor,
                                       const std::shared_ptr<QelResponse>& response);
    IXObject::Unique getElementExchange(const XObjectProvider& provider, const XObjectDescriptor& descriptor,
                                        const std::shared_ptr<QelResponse>& response);
    IXObject::Unique createElementExchange(const XObjectDescriptor& descriptor, const UriObjectProvider& provider,
                                           const std::shared_ptr<QelResponse>& response);
    void updateElementExchange(const XObjectDescriptor& descriptor, const std::shared_ptr<QelResponse>& response);
    void deleteElementExchange(const XObjectDescriptor& descriptor, const std::shared_ptr<QelResponse>& response);

    std::shared_ptr<const IConfigManager> m_configManager;
    IConfigManager::ServiceConfiguration m_serviceDescription;
    qelutil::IHttpSessionFactory::Shared m_pSessionFactory;
    std::shared_ptr<qelutil::ILogger> logger;
};

}  // namespace qel
