#pragma once

#include "Reply.h"
#include "ServerContext.h"

#include <string>
#include <vector>

namespace qeldev {

/// The service registry "ServiceRegistry" at its base path: the listing of
/// registered services and the resolution of one name.
class RegistryApi {
public:
    static const char* const SERVICE_NAME;

    explicit RegistryApi(const ServerContext& context);

    /// `segments` are the decoded path segments after the registry's base path.
    HttpReply handle(const Request& request, const std::vector<std::string>& segments) const;
    /// The entries of the registry listing, unfiltered.
    std::vector<qelutil::JsonObject::SharedConst> entries() const;

private:
    HttpReply listing(const Request& request) const;
    HttpReply resolve(const std::string& name) const;
    HttpReply resolveService(const ServiceDef& service) const;

    const ServerContext& m_context;
};

}  // namespace qeldev
