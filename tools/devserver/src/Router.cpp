#include "Router.h"

#include "AdminApi.h"
#include "QueryParams.h"
#include "RegistryApi.h"
#include "ServiceApi.h"

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

Router::Router(const ServerContext& context, std::size_t origin) : m_context(context), m_origin(origin) {
    if (context.model.registry.origin == origin) m_mounts.push_back({context.model.registry.basePath, true});
    for (const auto& service : context.model.services) {
        const bool known = std::any_of(m_mounts.begin(), m_mounts.end(),
                                       [&](const Mount& mount) { return mount.basePath == service.basePath; });
        if (service.origin == origin && !known) m_mounts.push_back({service.basePath, false});
    }
    std::stable_sort(m_mounts.begin(), m_mounts.end(),
                     [](const Mount& a, const Mount& b) { return a.basePath.size() > b.basePath.size(); });
}

const Router::Mount* Router::mountOf(const std::string& path) const {
    for (const auto& mount : m_mounts) {
        if (path.rfind(mount.basePath, 0) == 0 || path + "/" == mount.basePath) return &mount;
    }
    return nullptr;
}

HttpReply Router::route(const Request& request) const {
    if (AdminApi::isAdminPath(request.path)) return AdminApi(m_context).handle(request);
    const Mount* mount = mountOf(request.path);
    if (!mount) return errorReply(404, "nothing is served at " + request.path);
    const std::string rest =
        request.path.size() > mount->basePath.size() ? request.path.substr(mount->basePath.size()) : std::string();
    const auto segments = pathSegments(rest);
    if (mount->registry) return RegistryApi(m_context).handle(request, segments);
    return ServiceApi(m_context, m_origin, mount->basePath).handle(request, segments);
}

}  // namespace qeldev
