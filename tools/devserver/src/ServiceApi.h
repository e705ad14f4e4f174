#pragma once

#include "Reply.h"
#include "ServerContext.h"

#include <QelAccessUtility/JsonObject.h>

#include <string>
#include <vector>

namespace qeldev {

/// The service interface under one base path of one origin: the root
/// listing, services, resources and elements.
class ServiceApi {
public:
    ServiceApi(const ServerContext& context, std::size_t origin, std::string basePath);

    /// `segments` are the decoded path segments after the base path.
    HttpReply handle(const Request& request, const std::vector<std::string>& segments) const;

private:
    HttpReply root(const Request& request) const;
    HttpReply service(const Request& request, const ServiceDef& service) const;
    HttpReply resource(const Request& request, const ServiceDef& service, const std::string& resource) const;
    HttpReply element(const Request& request, const ServiceDef& service, const std::string& resource,
                      const std::string& id) const;
    HttpReply listResource(const Request& request, const ServiceDef& service, const std::string& resource) const;
    HttpReply createElement(const Request& request, const ServiceDef& service, const std::string& resource) const;
    HttpReply readElement(const Request& request, const ServiceDef& service, const std::string& resource,
                          const std::string& id) const;
    HttpReply updateElement(const Request& request, const ServiceDef& service, const std::string& resource,
                            const std::string& id) const;
    HttpReply deleteElement(const ServiceDef& service, const std::string& resource, const std::string& id) const;
    const ServiceDef* findService(const std::string& name) const;

    const ServerContext& m_context;
    std::size_t m_origin;
    std::string m_basePath;
};

/// The listing entry of a service: "id", "name", "uri" (relative to the
/// origin, or absolute), "port", "description", "serviceCategories",
/// "privileges" and "versions".
qelutil::JsonObject::Shared describeService(const ServerContext& context, const ServiceDef& service,
                                            bool absoluteUri);

/// A request body that must be one JSON object; HttpError 400 otherwise.
qelutil::JsonObject::Shared parseBodyObject(const std::string& body);

}  // namespace qeldev
