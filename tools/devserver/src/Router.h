#pragma once

#include "Reply.h"
#include "ServerContext.h"

#include <string>
#include <vector>

namespace qeldev {

/// Sends a request of one origin to the admin endpoint, the registry or the
/// service interface of the longest base path that holds its path.
class Router {
public:
    Router(const ServerContext& context, std::size_t origin);

    HttpReply route(const Request& request) const;

private:
    struct Mount {
        std::string basePath;
        bool registry = false;
    };

    const Mount* mountOf(const std::string& path) const;

    const ServerContext& m_context;
    std::size_t m_origin;
    std::vector<Mount> m_mounts;  // longest base path first
};

/// The decoded segments of `path` (a trailing "/" adds none). Throws
/// HttpError 404 for an empty segment and 400 for a broken escape.
std::vector<std::string> pathSegments(const std::string& path);

}  // namespace qeldev
