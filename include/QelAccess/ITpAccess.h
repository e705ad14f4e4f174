#pragma once

#include <QelAccess/IXObject.h>
#include <QelAccess/QelResourceDescriptor.h>
#include <QelAccess/QelResponse.h>
#include <QelAccess/QelServiceDescriptor.h>
#include <QelAccess/XObjectDescriptor.h>
#include <QelAccessUtility/JsonObject.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qel {

/// The transport of one service: every operation is one blocking exchange
/// with the service's server. The outcome of the exchange (status code,
/// location, reply envelope, multiple choices) is written into the given
/// response record; a reply with an error status is no failure. Failures of
/// the exchange itself (connection, malformed reply, a failing object
/// factory) are thrown as QelException.
class ITpAccess {
public:
    using Shared = std::shared_ptr<ITpAccess>;
    /// Builds one typed object from one JSON object of a reply.
    using XObjectProvider = std::function<IXObject::Unique(qelutil::JsonObject::Shared)>;
    /// Builds the object of a newly created element from its URI.
    using UriObjectProvider = std::function<IXObject::Unique(const std::string&)>;

    virtual ~ITpAccess() = default;

    /// The first element of the resource that matches the descriptor's
    /// filter and query options, or null.
    virtual IXObject::Unique findFirst(XObjectProvider provider, const XObjectDescriptor& descriptor,
                                       std::shared_ptr<QelResponse> response) = 0;
    /// Creates the element described by the descriptor's body; returns the
    /// provider's object for the new element's URI, or null.
    virtual IXObject::Unique createElement(const XObjectDescriptor& descriptor, UriObjectProvider provider,
                                           std::shared_ptr<QelResponse> response) = 0;
    /// The element with the descriptor's id, or null.
    virtual IXObject::Unique getElement(XObjectProvider provider, const XObjectDescriptor& descriptor,
                                        std::shared_ptr<QelResponse> response) = 0;
    virtual void deleteElement(const XObjectDescriptor& descriptor, std::shared_ptr<QelResponse> response) = 0;
    virtual void updateElement(const XObjectDescriptor& descriptor, std::shared_ptr<QelResponse> response) = 0;
    /// The elements of a resource, in reply order.
    virtual std::vector<IXObject::Unique> readResource(XObjectProvider provider,
                                                       const QelResourceDescriptor& descriptor,
                                                       std::shared_ptr<QelResponse> response) = 0;
    /// The resources of a service, in reply order.
    virtual std::vector<IXObject::Unique> readService(XObjectProvider provider, const QelServiceDescriptor& descriptor,
                                                      std::shared_ptr<QelResponse> response) = 0;
    /// The services listed at the server's base path, in reply order.
    virtual std::vector<IXObject::Unique> readRoot(XObjectProvider provider, const XObjectDescriptor& descriptor,
                                                   std::shared_ptr<QelResponse> response) = 0;
    /// Asks a service registry where `serviceName` runs; the answer (redirect
    /// location, multiple choices or envelope) is left in `response`.
    virtual void resolveService(const std::string& serviceName, std::shared_ptr<QelResponse> response) = 0;
};

}  // namespace qel
