#include "Router.h"

#include "AdminApi.h"
#include "QueryParams.h"
#include "RegistryApi.h"
#include "ServiceApi.h"
#include "Subscriptions.h"

#include <algorithm>

namespace qeldev {

std::vector<std::string> pathSegments(const std::string& path) {
    std::vector<std::string> segments;
    std::size_t start = 0;
    while (start < path.size()) {
        auto end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end == start) throw HttpError(404, "empty path segment");
        segments.push_back(decodeComponent(path.substr(start, end - start)));
        start = end + 1;
    }
    return segments;
}

Router::Router(const ServerContext& context, std::size_t origin) : m_context(context), m_origin(origin) {}

HttpReply Router::route(const Request& request) const {
    if (AdminApi::isAdminPath(request.path)) return AdminApi(m_context).handle(request);
    // Looked up per request: services may move between origins.
    const auto mount = mountHolding(m_context, m_origin, request.path);
    if (!mount) return errorReply(404, "nothing is served at " + request.path);
    const std::string rest =
        request.path.size() > mount->basePath.size() ? request.path.substr(mount->basePath.size()) : std::string();
    const auto segments = pathSegments(rest);
    if (mount->registry) return RegistryApi(m_context).handle(request, segments);
    return ServiceApi(m_context, m_origin, mount->basePath).handle(request, segments);
}

}  // namespace qeldev
